// What every program does with --help, -h and --version given as its only
// argument: the usage text or "PROGRAM VERSION" on standard output,
// status 0.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace common {

// Returns the exit status when `args` asked for help or the version, after
// printing it; nullopt otherwise.
std::optional<int> AnswerHelpOrVersion(const std::vector<std::string>& args,
                                       const char* program, const char* version,
                                       const std::string& usage,
                                       std::ostream& out);

}  // namespace common
