#include <iostream>
#include <string>
#include <vector>

#include "huffbuild/huffbuild.h"

int main(int argc, char** argv) {
  return huffbuild::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
