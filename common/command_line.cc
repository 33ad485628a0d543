#include "common/command_line.h"

namespace common {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

}  // namespace

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

std::optional<std::uint64_t> ParseHexNumber(const std::string& text,
                                            std::uint64_t max) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  if (i + 1 < text.size() && text[i] == '0' &&
      (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    i += 2;
  }
  if (i == text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint64_t>(digit);
    if (value > max) return std::nullopt;
  }
  return value;
}

}  // namespace common
