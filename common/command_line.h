// What the programs share about their command lines: --help, -h and
// --version given as the only argument (the usage text or "PROGRAM VERSION"
// on standard output, status 0), the report of a run out of memory, and
// hexadecimal numbers.
#pragma once

#include <cstdint>
#include <new>
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

// Runs `stages` (a program's run, once its arguments are taken), so that an
// allocation that fails anywhere in it ends the run with `out_of_memory` on
// `messages` and status 1.
template <typename Stages>
int RunReportingOutOfMemory(Stages stages, std::ostream& messages,
                            const char* out_of_memory) {
  try {
    return stages();
  } catch (const std::bad_alloc&) {
    messages << out_of_memory;
    return 1;
  }
}

// Reads a hexadecimal number: optional leading white space, an optional
// '+', an optional 0x or 0X and one or more hexadecimal digits, nothing after
// them. Returns nullopt when the text is not one or its value is above
// `max`. REQUIRES: max < 2^60.
std::optional<std::uint64_t> ParseHexNumber(const std::string& text,
                                            std::uint64_t max);

}  // namespace common
