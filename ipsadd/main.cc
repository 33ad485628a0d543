#include <iostream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/interrupts.h"
#include "ipsadd/ipsadd.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  common::InstallInterruptHandlers(1, ipsadd::kInterrupted);
  return ipsadd::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
