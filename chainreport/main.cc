#include <iostream>
#include <string>
#include <vector>

#include "chainreport/chainreport.h"
#include "common/file_io.h"
#include "common/interrupts.h"

int main(int argc, char** argv) {
  common::UseBinaryStandardStreams();
  common::InstallInterruptHandlers(2, chainreport::kInterrupted);
  return chainreport::Run({argv + 1, argv + argc}, std::cout, std::cerr);
}
