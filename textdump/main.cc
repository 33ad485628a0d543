#include <iostream>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/interrupts.h"
#include "textdump/textdump.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  common::InstallInterruptHandlers(2, textdump::kInterrupted);
  return textdump::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
