#include <iostream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "huffbuild/huffbuild.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  return huffbuild::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
