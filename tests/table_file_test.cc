#include "common/table_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace {

using common::CodeUnit;
using common::DecodeMode;
using common::Refusal;
using common::Table;
using common::TextFault;
using Units = std::vector<CodeUnit>;
using Strings = std::vector<Units>;

// Letters with a pair and a triple that begin one another, codes, an
// argument-taking code that also ends a string, and a text given twice.
constexpr std::string_view kTable =
    "\xEF\xBB\xBF# letters, then codes\r\n"
    "1F41=A\r\n"
    "1F42=B\n"
    "1f43=C\n"
    "0141=AB\n"
    "0241=ABC\n"
    "1F44=\xC3\xA9\n"          // e acute, two bytes
    "1F45=\xE6\x97\xA5\n"      // a CJK character, three bytes
    "1F46=\xF0\x9D\x84\x9E\n"  // a musical symbol, four bytes
    "/1F2E=.\n"
    "\n"
    "0001=\\n\n"
    "/0002=[end]\n"
    "0003=[wait]\n"
    "0110=[name]\n"
    "/0210=[ask]\n"
    "0004=\\\\\n"
    "0005=A";

// No text begins another; '}', hex digits and a line break as text sit next
// to written units, and one end unit's text ends in a line break.
constexpr std::string_view kPrefixFreeTable =
    "1F30=0\n"
    "1F31=1\n"
    "1F41=A\n"
    "1F46=F\n"
    "1F61=a\n"
    "1F7D=}\n"
    "1F5D=]\n"
    "1F20= \n"
    "1F80=\xC3\xA9\n"
    "1F81=\xE6\x97\xA5\n"
    "1F82=\xF0\x9D\x84\x9E\n"
    "1F83=\\\\\n"
    "0001=\\n\n"
    "/0002=[end]\n"
    "0003=[wait]\n"
    "0110=[name]\n"
    "/0210=[ask]\n"
    "/0005=[page]\\n\n";

// Texts that begin others; every character outside the codes' brackets has
// an entry of its own.
constexpr std::string_view kPairTable =
    "1F41=A\n"
    "1F42=B\n"
    "1F43=C\n"
    "1F20= \n"
    "1F44=\xC3\xA9\n"
    "0141=AB\n"
    "0241=ABC\n"
    "0142=BA\n"
    "0143=CA\n"
    "0144=A B\n"
    "0145=\xC3\xA9"
    "A\n"
    "0146=\\nA\n"
    "0001=\\n\n"
    "/0002=[end]\n"
    "0003=[wait]\n"
    "0110=[name]\n"
    "/0210=[ask]\n";

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Table MustParse(std::string_view text) {
  std::variant<Table, Refusal> parsed =
      common::ParseTable("test.tbl", AsBytes(text));
  if (const Refusal* refusal = std::get_if<Refusal>(&parsed)) {
    ADD_FAILURE() << refusal->message;
    return Table();
  }
  return std::get<Table>(std::move(parsed));
}

std::optional<Refusal> ParseRefusal(std::string_view text) {
  std::variant<Table, Refusal> parsed =
      common::ParseTable("test.tbl", AsBytes(text));
  if (const Refusal* refusal = std::get_if<Refusal>(&parsed)) return *refusal;
  return std::nullopt;
}

// What an encoder gave: whole strings, units of a string not yet ended,
// and the refusal, if any.
struct Encoded {
  Strings strings;
  Units open;
  std::optional<Refusal> refusal;
  bool operator==(const Encoded&) const = default;
};

void PrintTo(const Encoded& encoded, std::ostream* os) {
  *os << std::hex << std::uppercase;
  for (const Units& string : encoded.strings) {
    *os << "[";
    for (const CodeUnit unit : string) *os << " " << unit;
    *os << " ] ";
  }
  *os << "open:";
  for (const CodeUnit unit : encoded.open) *os << " " << unit;
  if (encoded.refusal) *os << " refused: " << encoded.refusal->message;
}

class Collector : public common::EncodeSink {
 public:
  void PutUnit(CodeUnit unit) override { encoded_.open.push_back(unit); }
  void EndString() override {
    EXPECT_FALSE(encoded_.open.empty());
    encoded_.strings.push_back(std::move(encoded_.open));
    encoded_.open.clear();
  }
  Encoded& encoded() { return encoded_; }

 private:
  Encoded encoded_;
};

std::size_t LongestText(const Table& table) {
  std::size_t longest = 0;
  for (const common::TableEntry& entry : table.entries()) {
    longest = std::max(longest, entry.text.size());
  }
  return longest;
}

// Feeds `text` in chunks of `chunk` bytes, checking after each that the
// encoder holds back no more than a pending match may need.
Encoded EncodeInChunks(const Table& table, std::string_view text,
                       std::size_t chunk) {
  const std::size_t held_at_most =
      std::max<std::size_t>(LongestText(table), 6) + 4;
  Collector sink;
  common::ScriptEncoder encoder(table, "test.txt", sink);
  bool accepted = true;
  for (std::size_t at = 0; accepted && at < text.size(); at += chunk) {
    accepted = encoder.Feed(AsBytes(text.substr(at, chunk)));
    EXPECT_LE(encoder.pending_bytes(), held_at_most) << "after byte " << at;
  }
  if (accepted) accepted = encoder.Finish();
  EXPECT_EQ(accepted, !encoder.refusal().has_value());
  sink.encoded().refusal = encoder.refusal();
  return sink.encoded();
}

// Encodes `text` whole, and checks that every chunk size gives the same.
Encoded EncodeEveryWay(const Table& table, std::string_view text) {
  const Encoded whole =
      EncodeInChunks(table, text, std::max<std::size_t>(text.size(), 1));
  for (std::size_t chunk = 1; chunk < text.size(); ++chunk) {
    EXPECT_EQ(EncodeInChunks(table, text, chunk), whole)
        << "chunks of " << chunk;
  }
  return whole;
}

std::string Decode(const Table& table, const Units& units,
                   DecodeMode mode = DecodeMode::kPlain) {
  common::ScriptDecoder decoder(table, mode);
  std::string text;
  for (const CodeUnit unit : units) decoder.Put(unit, text);
  return text;
}

Units Flatten(const Encoded& encoded) {
  Units units;
  for (const Units& string : encoded.strings) {
    units.insert(units.end(), string.begin(), string.end());
  }
  units.insert(units.end(), encoded.open.begin(), encoded.open.end());
  return units;
}

// The strings of `units`: each ends after an end unit, or after the
// argument of one that takes an argument.
Strings SplitStrings(const Table& table, const Units& units) {
  Strings strings;
  Units string;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const CodeUnit unit = units[i];
    string.push_back(unit);
    if (common::TakesArgument(unit) && i + 1 < units.size()) {
      string.push_back(units[++i]);
    }
    if (table.EndsString(unit)) {
      strings.push_back(std::move(string));
      string.clear();
    }
  }
  if (!string.empty()) strings.push_back(std::move(string));
  return strings;
}

// Mostly units of `table`, a few of any value; arguments are drawn alike.
Units RandomUnits(std::mt19937& random, const Table& table,
                  std::size_t max_length) {
  std::uniform_int_distribution<std::size_t> length(0, max_length);
  std::uniform_int_distribution<std::size_t> pick(0,
                                                  table.entries().size() + 2);
  std::uniform_int_distribution<unsigned> any(0, 0xFFFF);
  Units units(length(random));
  for (CodeUnit& unit : units) {
    const std::size_t index = pick(random);
    unit = index < table.entries().size() ? table.entries()[index].unit
                                          : static_cast<CodeUnit>(any(random));
  }
  return units;
}

TEST(TableFile, ReadsEntriesInFileOrder) {
  const Table table = MustParse(kTable);
  struct Expected {
    CodeUnit unit;
    std::string_view text;
    bool ends_string;
    std::uint64_t line;
  };
  const Expected kExpected[] = {
      {0x1F41, "A", false, 2},
      {0x1F42, "B", false, 3},
      {0x1F43, "C", false, 4},
      {0x0141, "AB", false, 5},
      {0x0241, "ABC", false, 6},
      {0x1F44, "\xC3\xA9", false, 7},
      {0x1F45, "\xE6\x97\xA5", false, 8},
      {0x1F46, "\xF0\x9D\x84\x9E", false, 9},
      {0x1F2E, ".", true, 10},
      {0x0001, "\n", false, 12},
      {0x0002, "[end]", true, 13},
      {0x0003, "[wait]", false, 14},
      {0x0110, "[name]", false, 15},
      {0x0210, "[ask]", true, 16},
      {0x0004, "\\", false, 17},
      {0x0005, "A", false, 18},
  };
  ASSERT_EQ(table.entries().size(), std::size(kExpected));
  for (std::size_t i = 0; i < std::size(kExpected); ++i) {
    const Expected& expected = kExpected[i];
    SCOPED_TRACE(testing::Message() << "entry " << i);
    const common::TableEntry& entry = table.entries()[i];
    EXPECT_EQ(entry.unit, expected.unit);
    EXPECT_EQ(entry.text, expected.text);
    EXPECT_EQ(entry.ends_string, expected.ends_string);
    EXPECT_EQ(entry.line, expected.line);
    EXPECT_EQ(table.Find(expected.unit), &entry);
    EXPECT_EQ(table.EndsString(expected.unit), expected.ends_string);
  }
  EXPECT_EQ(table.Find(0x1F47), nullptr);
  EXPECT_FALSE(table.EndsString(0x1F47));
}

TEST(TableFile, RefusesBadLinesWithTheirPlace) {
  struct Case {
    std::string_view table;
    TextFault fault;
    std::uint64_t line;
    std::uint64_t column;
    std::string_view message;
  };
  const Case kCases[] = {
      {"1F41=A\n1F42\n", TextFault::kMissingEquals, 2, 0,
       "test.tbl:2: missing '=' (a line reads HHHH=text or /HHHH=text)"},
      {"1F41=A\r\n 1F42\r\n", TextFault::kMissingEquals, 2, 0, ""},
      {"1F4=A", TextFault::kBadUnit, 1, 0,
       "test.tbl:1: expected exactly four hex digits before '='"},
      {"1F411=A", TextFault::kBadUnit, 1, 0, ""},
      {"1G41=A", TextFault::kBadUnit, 1, 0, ""},
      {"=A", TextFault::kBadUnit, 1, 0, ""},
      {"/=A", TextFault::kBadUnit, 1, 0, ""},
      {" 1F41=A", TextFault::kBadUnit, 1, 0, ""},
      {"//1F41=A", TextFault::kBadUnit, 1, 0, ""},
      {"1F41=A\n\xEF\xBB\xBF"
       "1F42=B",
       TextFault::kBadUnit, 2, 0, ""},
      {"# x\n\n/1F41=", TextFault::kEmptyText, 3, 0,
       "test.tbl:3: unit 1F41 has no text"},
      {"1F41=a\\tb", TextFault::kBadEscape, 1, 7,
       "test.tbl:1:7: bad escape (a backslash begins only \\n or \\\\)"},
      {"1F41=ab\\", TextFault::kBadEscape, 1, 8, ""},
      {"1F41=\\\\\\", TextFault::kBadEscape, 1, 8, ""},
      {"1F41=\xC3\xA9\xE6\x97\xA5\\N\n", TextFault::kBadEscape, 1, 8, ""},
      {"1F41=a{b", TextFault::kReservedCharacter, 1, 7,
       "test.tbl:1:7: a text may not hold '{', which begins a unit written "
       "{HHHH} in a script"},
      {"1F41={1F42}", TextFault::kReservedCharacter, 1, 6, ""},
      {"1F41=a\rb\n", TextFault::kReservedCharacter, 1, 7,
       "test.tbl:1:7: a text may not hold a carriage return, since a script "
       "reads CRLF as LF"},
      {"1F41=\xEF\xBB\xBFx", TextFault::kReservedCharacter, 1, 6,
       "test.tbl:1:6: a text may not begin with U+FEFF, which a script skips "
       "as a byte-order mark"},
      {"1F41=A\n\n0001=B\n/1f41=C", TextFault::kUnitGivenTwice, 4, 0,
       "test.tbl:4: unit 1F41 is given twice (first on line 1)"},
      {"1F41=\xC3", TextFault::kInvalidUtf8, 1, 6,
       "test.tbl:1:6: invalid UTF-8"},
      {"1F41=\xC3\n1F42=B", TextFault::kInvalidUtf8, 1, 6, ""},
      {"1F41=\xC0\xAF", TextFault::kInvalidUtf8, 1, 6, ""},          // overlong
      {"1F41=\xE0\x80\xAF", TextFault::kInvalidUtf8, 1, 6, ""},      // overlong
      {"1F41=\xF0\x80\x80\xAF", TextFault::kInvalidUtf8, 1, 6, ""},  // overlong
      {"# \xC3\xA9\xED\xA0\x80", TextFault::kInvalidUtf8, 1, 4,
       ""},  // surrogate
      {"1F41=A\n1F42=\xF4\x90\x80\x80", TextFault::kInvalidUtf8, 2, 6, ""},
      {"1F41=\x80", TextFault::kInvalidUtf8, 1, 6, ""},
      {"\xFF", TextFault::kInvalidUtf8, 1, 1, ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "table \"" << c.table << "\"");
    const std::optional<Refusal> refusal = ParseRefusal(c.table);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->fault, c.fault);
    EXPECT_EQ(refusal->line, c.line);
    EXPECT_EQ(refusal->column, c.column);
    if (!c.message.empty()) {
      EXPECT_EQ(refusal->message, c.message);
    }
  }
}

TEST(TableFile, AcceptsTheEdgesOfValidLines) {
  struct Case {
    std::string_view table;
    CodeUnit unit;
    std::string_view text;
  };
  const Case kCases[] = {
      {"abCD==", 0xABCD, "="},
      {"0000=a=b", 0x0000, "a=b"},
      {"FFFF=}]", 0xFFFF, "}]"},
      {"1F41=\\n\\\\n", 0x1F41, "\n\\n"},
      {"1F41= #x", 0x1F41, " #x"},
      {"1F41=\xF4\x8F\xBF\xBF", 0x1F41, "\xF4\x8F\xBF\xBF"},  // U+10FFFF
      {"1F41=x\xEF\xBB\xBF", 0x1F41, "x\xEF\xBB\xBF"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "table \"" << c.table << "\"");
    const Table table = MustParse(c.table);
    ASSERT_EQ(table.entries().size(), 1u);
    EXPECT_EQ(table.entries()[0].unit, c.unit);
    EXPECT_EQ(table.entries()[0].text, c.text);
  }
}

TEST(ScriptEncoder, ReadsTextByLongestMatchIntoStrings) {
  struct Case {
    std::string_view text;
    Strings strings;
  };
  const Case kCases[] = {
      {"", {}},
      {"\xEF\xBB\xBF", {}},
      {"A", {{0x1F41}}},  // 0005 has the same text, later
      {"ABCA", {{0x0241, 0x1F41}}},
      {"ABA", {{0x0141, 0x1F41}}},
      {"BAC", {{0x1F42, 0x1F41, 0x1F43}}},
      {"A[end]\nB", {{0x1F41, 0x0002}, {0x1F42}}},
      {"A[end]B[end]\n", {{0x1F41, 0x0002}, {0x1F42, 0x0002}}},
      {"[end]\n\nA", {{0x0002}, {0x0001, 0x1F41}}},
      {"[end]", {{0x0002}}},
      {"A[end]\r\nB\r\n", {{0x1F41, 0x0002}, {0x1F42, 0x0001}}},
      {"\xEF\xBB\xBF"
       "A\n",
       {{0x1F41, 0x0001}}},
      {"A.\nB.", {{0x1F41, 0x1F2E}, {0x1F42, 0x1F2E}}},
      {"{0141}{1f41}{aBcD}", {{0x0141, 0x1F41, 0xABCD}}},
      {"{0002}\nA", {{0x0002}, {0x1F41}}},
      {"[name]{0007}A", {{0x0110, 0x0007, 0x1F41}}},
      {"[name]{0002}\nA", {{0x0110, 0x0002, 0x0001, 0x1F41}}},
      {"[ask]{1F41}\nB", {{0x0210, 0x1F41}, {0x1F42}}},
      {"{0210}{0003}[end]", {{0x0210, 0x0003}, {0x0002}}},
      {"{0110}{0110}{0110}", {{0x0110, 0x0110, 0x0110}}},
      {"A[name]", {{0x1F41, 0x0110}}},
      {"[ask]", {{0x0210}}},
      {"\xC3\xA9\xE6\x97\xA5\xF0\x9D\x84\x9E\\",
       {{0x1F44, 0x1F45, 0x1F46, 0x0004}}},
  };
  const Table table = MustParse(kTable);
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
    const Encoded encoded = EncodeEveryWay(table, c.text);
    EXPECT_FALSE(encoded.refusal.has_value()) << encoded.refusal->message;
    EXPECT_EQ(encoded.strings, c.strings);
    EXPECT_TRUE(encoded.open.empty());
  }
}

TEST(ScriptEncoder, RefusesWithLineColumnAndTheTextAtFault) {
  // No line break has a text here, and "ab" hides "a" before "bc".
  constexpr std::string_view kSmallTable =
      "1F61=a\n1F62=b\n0161=ab\n0162=bc\n/0002=[end]\n";
  const std::string long_stretch(45, 'x');
  const std::string stretch_of_40 = std::string(40, 'x') + "A";
  struct Case {
    std::string_view table;
    std::string_view text;
    TextFault fault;
    std::uint64_t line;
    std::uint64_t column;
    std::string message;
  };
  const Case kCases[] = {
      {kTable, "AxyB", TextFault::kUnmatchedText, 1, 2,
       "test.txt:1:2: no table text matches \"xy\""},
      {kTable, "A\nB\n\xC3\xA9x\xE6\x97\xA5", TextFault::kUnmatchedText, 3, 2,
       "test.txt:3:2: no table text matches \"x\""},
      {kTable, "\xE6\x97\xA5\xE6\x97\xA5xy\n", TextFault::kUnmatchedText, 1, 3,
       "test.txt:1:3: no table text matches \"xy\""},
      {kTable, "{12G4}", TextFault::kUnmatchedText, 1, 1,
       "test.txt:1:1: no table text matches \"{12G4}\""},
      {kTable, "A{", TextFault::kUnmatchedText, 1, 2,
       "test.txt:1:2: no table text matches \"{\""},
      {kTable, "A{01}B", TextFault::kUnmatchedText, 1, 2,
       "test.txt:1:2: no table text matches \"{01}\""},
      {kTable, "A\r", TextFault::kUnmatchedText, 1, 2,
       "test.txt:1:2: no table text matches \"\\r\""},
      {kTable, "A\r\r\nB", TextFault::kUnmatchedText, 1, 2,
       "test.txt:1:2: no table text matches \"\\r\""},
      {kTable, "A\xEF\xBB\xBF", TextFault::kUnmatchedText, 1, 2,
       "test.txt:1:2: no table text matches \"\xEF\xBB\xBF\""},
      {kTable, "x\\y", TextFault::kUnmatchedText, 1, 1,
       "test.txt:1:1: no table text matches \"x\""},
      {kTable, long_stretch, TextFault::kUnmatchedText, 1, 1,
       "test.txt:1:1: no table text matches \"" + std::string(40, 'x') +
           "\"..."},
      {kTable, stretch_of_40, TextFault::kUnmatchedText, 1, 1,
       "test.txt:1:1: no table text matches \"" + std::string(40, 'x') + "\""},
      {kSmallTable, "x\ny", TextFault::kUnmatchedText, 1, 1,
       "test.txt:1:1: no table text matches \"x\\n\""},
      {kSmallTable, "a\n", TextFault::kUnmatchedText, 1, 2,
       "test.txt:1:2: no table text matches \"\\n\""},
      {kSmallTable, "a[end]\n\n", TextFault::kUnmatchedText, 2, 1,
       "test.txt:2:1: no table text matches \"\\n\""},
      {kSmallTable, "abc", TextFault::kUnmatchedText, 1, 3,
       "test.txt:1:3: no table text matches \"c\""},
      {kTable, "[name]A", TextFault::kMissingArgument, 1, 7,
       "test.txt:1:7: unit 0110 takes an argument, written {HHHH}"},
      {kTable, "A[ask]{12", TextFault::kMissingArgument, 1, 7,
       "test.txt:1:7: unit 0210 takes an argument, written {HHHH}"},
      {kTable, "B\n{0110}\n", TextFault::kMissingArgument, 2, 7,
       "test.txt:2:7: unit 0110 takes an argument, written {HHHH}"},
      {kTable, "[name][name]", TextFault::kMissingArgument, 1, 7, ""},
      {kTable, "A\xC3(", TextFault::kInvalidUtf8, 1, 2,
       "test.txt:1:2: invalid UTF-8"},
      {kTable, "AB\r\n\xC0\xAF", TextFault::kInvalidUtf8, 2, 1, ""},
      {kTable, "\xED\xA0\x80", TextFault::kInvalidUtf8, 1, 1, ""},
      {kTable, "\xF4\x90\x80\x80", TextFault::kInvalidUtf8, 1, 1, ""},
      {kTable, "\xE6\x97\xA5\xE6\x97", TextFault::kInvalidUtf8, 1, 2, ""},
      {kTable, "[name]\x80", TextFault::kInvalidUtf8, 1, 7, ""},
      {kTable, "A\r\xFF", TextFault::kUnmatchedText, 1, 2, ""},
      {kTable, "x\xFF", TextFault::kUnmatchedText, 1, 1,
       "test.txt:1:1: no table text matches \"x\""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
    const Table table = MustParse(c.table);
    const Encoded encoded = EncodeEveryWay(table, c.text);
    ASSERT_TRUE(encoded.refusal.has_value());
    EXPECT_EQ(encoded.refusal->fault, c.fault);
    EXPECT_EQ(encoded.refusal->line, c.line);
    EXPECT_EQ(encoded.refusal->column, c.column);
    if (!c.message.empty()) {
      EXPECT_EQ(encoded.refusal->message, c.message);
    }
  }
}

TEST(ScriptDecoder, WritesNamedUnitsAsTextAndOthersByValue) {
  struct Case {
    DecodeMode mode;
    Units units;
    std::string_view text;
  };
  constexpr DecodeMode kPlain = DecodeMode::kPlain;
  constexpr DecodeMode kDte = DecodeMode::kDte;
  const Case kCases[] = {
      {kPlain, {}, ""},
      {kPlain, {0x1F41, 0x0141, 0x0241, 0x0005}, "AABABCA"},
      {kPlain, {0x1F47, 0xABCD, 0x4443}, "{1F47}{ABCD}{4443}"},
      {kPlain, {0x0002, 0x1F41}, "[end]\nA"},
      {kPlain, {0x1F42, 0x1F2E, 0x0001, 0x0004}, "B.\n\n\\"},
      {kPlain, {0x0110, 0x1F41, 0x1F42}, "[name]{1F41}B"},
      {kPlain, {0x0210, 0x0002, 0x1F41}, "[ask]{0002}\nA"},
      {kPlain, {0x0110}, "[name]"},
      {kPlain, {0x0210}, "[ask]"},
      {kPlain, {0x0310, 0x0001, 0x0001}, "{0310}{0001}\n"},
      {kPlain, {0x0110, 0x0110, 0x0110, 0x0210}, "[name]{0110}[name]{0210}"},
      {kDte, {0x1F41, 0x0141, 0x0002}, "AAB[end]\n"},
      {kDte, {0x4443}, "C\xC3\xA9"},
      {kDte, {0x4746}, "\xF0\x9D\x84\x9E{1F47}"},
      {kDte, {0x2E41, 0x4241}, "A.\nAB"},
      {kDte, {0x0007}, "{1F07}{1F00}"},
      {kDte, {0x1F47, 0x1F10}, "{1F47}{1F10}"},
      {kDte, {0x0310, 0x4241, 0x4241}, "{0310}{4241}AB"},
      {kDte, {0x0110, 0x4443}, "[name]{4443}"},
  };
  const Table table = MustParse(kTable);
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "expected \"" << c.text << "\"");
    EXPECT_EQ(Decode(table, c.units, c.mode), c.text);
  }
}

TEST(TableFileRoundTrip, DecodedUnitsEncodeBackWhenNoTextBeginsAnother) {
  const Table table = MustParse(kPrefixFreeTable);
  std::mt19937 random(20240611);
  for (int round = 0; round < 400; ++round) {
    const Units units = RandomUnits(random, table, 40);
    const std::string text = Decode(table, units);
    SCOPED_TRACE(testing::Message() << "text \"" << text << "\"");
    const Encoded encoded =
        round < 12
            ? EncodeEveryWay(table, text)
            : EncodeInChunks(table, text, 1 + random() % (text.size() + 1));
    ASSERT_FALSE(encoded.refusal.has_value()) << encoded.refusal->message;
    EXPECT_EQ(encoded.strings, SplitStrings(table, units));
    EXPECT_TRUE(encoded.open.empty());
  }
}

TEST(TableFileRoundTrip, DecodedTextDecodesTheSameAfterEncoding) {
  struct Case {
    std::string_view name;
    std::string_view table;
  };
  const Case kCases[] = {{"prefix-free", kPrefixFreeTable},
                         {"pairs", kPairTable}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const Table table = MustParse(c.table);
    std::mt19937 random(7);
    for (int round = 0; round < 400; ++round) {
      const std::string text = Decode(table, RandomUnits(random, table, 40));
      SCOPED_TRACE(testing::Message() << "text \"" << text << "\"");
      const Encoded encoded =
          round < 12
              ? EncodeEveryWay(table, text)
              : EncodeInChunks(table, text, 1 + random() % (text.size() + 1));
      ASSERT_FALSE(encoded.refusal.has_value()) << encoded.refusal->message;
      EXPECT_EQ(Decode(table, Flatten(encoded)), text);
    }
  }
}

TEST(TableFileRoundTrip, PairTextsEncodeShorterAndDecodeTheSame) {
  const Table table = MustParse(kPairTable);
  const Units units = {0x1F41, 0x1F42, 0x1F43, 0x1F41, 0x0002,
                       0x1F42, 0x1F41, 0x1F20, 0x0001, 0x1F41};
  const std::string text = Decode(table, units);
  ASSERT_EQ(text,
            "ABCA[end]\nBA \n"
            "A");
  const Encoded encoded = EncodeEveryWay(table, text);
  const Strings shorter = {{0x0241, 0x1F41, 0x0002}, {0x0142, 0x1F20, 0x0146}};
  EXPECT_EQ(encoded.strings, shorter);
  EXPECT_EQ(Decode(table, Flatten(encoded)), text);
}

// Every unit's text, next to each other unit's, reads back as written: a
// written unit such as {0031} is never taken for text "{", "0", "0", ...
TEST(TableFileRoundTrip, EveryPairOfUnitsEncodesBack) {
  const Table table = MustParse(kPrefixFreeTable);
  Units sample = {0x1F47, 0x0031, 0x007D, 0xFFFF, 0x0000, 0x1F10, 0x0310};
  for (const common::TableEntry& entry : table.entries()) {
    sample.push_back(entry.unit);
  }
  for (const CodeUnit first : sample) {
    for (const CodeUnit second : sample) {
      const Units units = {first, second, 0x1F7D};
      const std::string text = Decode(table, units);
      SCOPED_TRACE(testing::Message() << "text \"" << text << "\"");
      const Encoded encoded = EncodeEveryWay(table, text);
      ASSERT_FALSE(encoded.refusal.has_value()) << encoded.refusal->message;
      EXPECT_EQ(encoded.strings, SplitStrings(table, units));
    }
  }
}

}  // namespace
