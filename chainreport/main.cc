#include <iostream>
#include <string>
#include <vector>

#include "chainreport/chainreport.h"

int main(int argc, char** argv) {
  return chainreport::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
