#include <iostream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/interrupts.h"
#include "puremake/puremake.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  common::InstallInterruptHandlers(2, puremake::kInterrupted);
  return puremake::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
