#include <iostream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/interrupts.h"
#include "pairpick/pairpick.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  common::InstallInterruptHandlers(2, pairpick::kInterrupted);
  return pairpick::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
