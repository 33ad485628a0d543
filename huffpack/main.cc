#include <iostream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/interrupts.h"
#include "huffpack/huffpack.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  common::InstallInterruptHandlers(2, huffpack::kInterrupted);
  return huffpack::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
