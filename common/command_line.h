// What the programs share about their command lines: --help, -h and
// --version given as the only argument (the usage text or "PROGRAM VERSION"
// on standard output, status 0), and hexadecimal numbers.
#pragma once

#include <cstdint>
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

// Reads a hexadecimal number: optional leading white space, an optional
// '+', an optional 0x or 0X and one or more hexadecimal digits, nothing after
// them. Returns nullopt when the text is not one or its value is above
// `max`. REQUIRES: max < 2^60.
std::optional<std::uint64_t> ParseHexNumber(const std::string& text,
                                            std::uint64_t max);

}  // namespace common
