#include "common/command_line.h"

namespace common {

std::optional<int> AnswerHelpOrVersion(const std::vector<std::string>& args,
                                       const char* program, const char* version,
                                       const std::string& usage,
                                       std::ostream& out) {
  if (args.size() != 1) return std::nullopt;
  if (args[0] == "--help" || args[0] == "-h") {
    out << usage;
    return 0;
  }
  if (args[0] == "--version") {
    out << program << " " << version << "\n";
    return 0;
  }
  return std::nullopt;
}

}  // namespace common
