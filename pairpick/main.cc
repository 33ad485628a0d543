#include <iostream>
#include <string>
#include <vector>

#include "pairpick/pairpick.h"

int main(int argc, char** argv) {
  return pairpick::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
