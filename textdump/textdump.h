// textdump: writes a script's text to standard output in the form puremake
// reads, through a table file (common/table_file.h): a unit the table names
// as its text, any other as {HHHH}, an argument always as {HHHH}, and a line
// break after each unit that ends a string. It never writes a file, so a
// translated text cannot be overwritten by mistake.
//
// The units come from one of a script's files, chosen with --from:
//   pure  SCRIPT.pure, with SCRIPT.info (the default)
//   dte   SCRIPT.dte, with SCRIPT.info; each pair unit is written as its two
//         characters
// The information file must describe the file exactly.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "common/run_settings.h"

namespace textdump {

// Printed when an interrupt ends the run.
extern const char* const kInterrupted;

// Runs the program on `args` (the arguments without the program name);
// returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings = {});

}  // namespace textdump
