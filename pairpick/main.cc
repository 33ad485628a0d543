#include <iostream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "pairpick/pairpick.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  return pairpick::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
