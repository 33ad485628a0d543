// chainreport: reports what pairpick and huffbuild did to each script and
// proves that the tables decode it. It reads each script's .pure, .info and
// .dte files and tesk.tbl and tesk.bit, prints per script and in total how
// large the text is at every stage, and a histogram of the pattern lengths
// in use. It checks that the information file describes the dte file, that
// every dte unit has a leaf, and that the tables form one sound prefix code
// whose root-to-leaf paths are the bit patterns (common/huffman_code.h says
// why that proves every string decodes back). It writes no file.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "common/run_settings.h"

namespace chainreport {

// Printed when an interrupt ends the run.
extern const char* const kInterrupted;

// Runs the program on `args` (the arguments without the program name);
// returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings = {});

}  // namespace chainreport
