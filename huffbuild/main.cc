#include <iostream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/interrupts.h"
#include "huffbuild/huffbuild.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  common::InstallInterruptHandlers(1, huffbuild::kInterrupted);
  return huffbuild::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
