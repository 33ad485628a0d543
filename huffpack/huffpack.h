// huffpack: writes each script's text as the game reads it. It reads
// tesk.tbl and tesk.bit and, for each script, its dte file and its
// information file as pairpick left them (their lengths are the dte
// lengths), and writes SCRIPT.huf, the strings with every unit replaced by
// its bit pattern, packed into bytes, and SCRIPT.ptr, a pointer to where
// each string starts (the layouts are in common/packed_text.h). Before it
// commits anything it has decoded what it wrote through tesk.tbl and found
// every string as it was; either every script of the run is written, or
// none.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "common/run_settings.h"

namespace huffpack {

// Printed when an interrupt ends the run.
extern const char* const kInterrupted;

// Runs the program on `args` (the arguments without the program name);
// returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings = {});

}  // namespace huffpack
