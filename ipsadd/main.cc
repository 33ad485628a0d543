#include <iostream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "ipsadd/ipsadd.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  return ipsadd::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
