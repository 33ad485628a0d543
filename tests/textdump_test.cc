#include "textdump/textdump.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>
#include <streambuf>

#include "common/block_reader.h"
#include "common/code_unit.h"
#include "common/faults.h"
#include "common/format.h"
#include "huffbuild/huffbuild.h"
#include "huffpack/huffpack.h"
#include "pairpick/pairpick.h"
#include "puremake/puremake.h"
#include "tests/message_cases.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using common::CodeUnit;
using testing_support::Bytes;
using testing_support::Info;
using testing_support::ReadBytes;
using testing_support::Snapshot;
using testing_support::UnitBytes;
using testing_support::Units;
using testing_support::WriteBytes;
using UnitList = std::vector<CodeUnit>;

// No text begins another: letters, a line break as text, '}' and hex
// digits beside written units, and codes that end strings or take an
// argument (one of them both).
constexpr std::string_view kPrefixFreeTable =
    "1F30=0\n"
    "1F41=A\n"
    "1F42=B\n"
    "1F46=F\n"
    "1F7D=}\n"
    "1F20= \n"
    "1F80=\xC3\xA9\n"
    "1F5C=\\\\\n"
    "0001=\\n\n"
    "/0000=[end]\n"
    "0002=[wait]\n"
    "0110=[name]\n"
    "/0210=[ask]\n"
    "/0005=[page]\\n\n";

// Texts that begin others, with every character (the line break too) an
// entry of its own, so that longest match never stops where nothing
// matches.
constexpr std::string_view kPairTable =
    "1F41=A\n"
    "1F42=B\n"
    "1F43=C\n"
    "1F20= \n"
    "0141=AB\n"
    "0241=ABC\n"
    "0142=BA\n"
    "0143=A B\n"
    "0144=\\nA\n"
    "0001=\\n\n"
    "/0000=[end]\n"
    "0110=[name]\n";

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Read blocks and text held for output of a few bytes put every unit next
// to an edge; the default block is what the program uses.
constexpr std::size_t kBlockSizes[] = {common::BlockReader::kMinBlockSize, 9,
                                       13, common::BlockReader::kBlockSize};

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Dump(const std::vector<std::string>& args,
             std::size_t block_size = common::BlockReader::kBlockSize,
             common::Faults* faults = nullptr) {
  std::ostringstream out, err;
  const int status = textdump::Run(args, out, err, {faults, block_size});
  return {status, out.str(), err.str()};
}

Outcome Make(const std::vector<std::string>& args,
             std::size_t block_size = common::BlockReader::kBlockSize) {
  std::ostringstream out, err;
  const int status = puremake::Run(args, out, err, {nullptr, block_size});
  return {status, out.str(), err.str()};
}

// Records that cut `units` into strings of random lengths.
Bytes RandomRecords(std::mt19937& random, std::size_t units) {
  Bytes info;
  std::uint32_t number = 0;
  while (units > 0) {
    const std::size_t length = std::min<std::size_t>(units, random() % 6);
    const Bytes record =
        Info({{number++, static_cast<std::int32_t>(length * 2)}});
    info.insert(info.end(), record.begin(), record.end());
    units -= length;
  }
  return info;
}

// Mostly the table's units, now and then any value; arguments are drawn
// alike.
UnitList RandomUnits(std::mt19937& random, const std::vector<CodeUnit>& table,
                     std::size_t max_length) {
  UnitList units(random() % (max_length + 1));
  for (CodeUnit& unit : units) {
    const std::size_t pick = random() % (table.size() + 2);
    unit = pick < table.size() ? table[pick]
                               : static_cast<CodeUnit>(random() & 0xFFFF);
  }
  return units;
}

std::vector<CodeUnit> UnitsOf(std::string_view table) {
  std::vector<CodeUnit> units;
  std::istringstream lines{std::string(table)};
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t at = line[0] == '/' ? 1 : 0;
    units.push_back(
        static_cast<CodeUnit>(std::stoul(line.substr(at, 4), nullptr, 16)));
  }
  return units;
}

class TextdumpTest : public testing_support::TempDirTest {};

TEST_F(TextdumpTest, WritesTheTextOfEachSource) {
  struct Case {
    const char* name;
    const char* from;  // nullptr: the default
    UnitList units;
    std::string_view text;
  };
  const Case kCases[] = {
      {"empty file", nullptr, {}, ""},
      {"named units and a line break after each end unit",
       nullptr,
       {0x1F41, 0x0000, 0x1F42, 0x0001, 0x0005, 0x1F46},
       "A[end]\nB\n[page]\n\nF"},
      {"units the table lacks, by value",
       "pure",
       {0x1F43, 0x1234, 0x4241},
       "{1F43}{1234}{4241}"},
      {"arguments by value, a string ended after its argument",
       "pure",
       {0x0110, 0x1F41, 0x0210, 0x0000, 0x1F42, 0x0110},
       "[name]{1F41}[ask]{0000}\nB[name]"},
      {"a pair unit as its two characters",
       "dte",
       {0x4241, 0x0000},
       "AB[end]\n"},
      {"named units, arguments and unnamed characters stay single",
       "dte",
       {0x1F41, 0x0002, 0x0110, 0x4241, 0x1F43, 0x2E41},
       "A[wait][name]{4241}{1F43}A{1F2E}"},
  };
  WriteBytes("t.tbl", Text(kPrefixFreeTable));
  for (const std::size_t block_size : kBlockSizes) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(testing::Message() << c.name << ", block of " << block_size);
      const std::string file =
          c.from != nullptr && std::string_view(c.from) == "dte" ? "a.dte"
                                                                 : "a.pure";
      for (const char* name : {"a.pure", "a.dte"}) fs::remove(name);
      WriteBytes(file, UnitBytes(c.units));
      // A surplus record behind those that cover the file is not read.
      Bytes info = Info({{7, static_cast<std::int32_t>(c.units.size() * 2)}});
      const Bytes surplus = Info({{8, -3}});
      info.insert(info.end(), surplus.begin(), surplus.end());
      WriteBytes("a.info", info);
      std::vector<std::string> args = {"t.tbl", "a"};
      if (c.from != nullptr) args.insert(args.begin(), {"--from", c.from});
      const auto before = Snapshot(".");
      const Outcome outcome = Dump(args, block_size);
      EXPECT_EQ(outcome.status, 0) << outcome.err;
      EXPECT_EQ(outcome.err, "");
      EXPECT_EQ(outcome.out, c.text);
      EXPECT_EQ(Snapshot("."), before);
    }
  }
}

TEST_F(TextdumpTest, MessagesAndStatuses) {
  for (const std::size_t block_size :
       {common::BlockReader::kMinBlockSize, common::BlockReader::kBlockSize}) {
    SCOPED_TRACE(block_size);
    testing_support::CheckMessages(
        testing_support::TextdumpMessages(),
        [&](const std::vector<std::string>& args) {
          const Outcome outcome = Dump(args, block_size);
          return testing_support::RunResult{outcome.status, outcome.out,
                                            outcome.err};
        });
  }
}

TEST_F(TextdumpTest, OddFilesAtTheNamesAreRefused) {
  struct Case {
    const char* folder;
    std::string message;
  };
  const Case kCases[] = {
      {"t.tbl", "Could not open table file t.tbl: it is not a regular file.\n"},
      {"a.pure",
       "Could not open puretext file a.pure: it is not a regular file.\n"},
      {"a.info",
       "Could not open information file a.info: it is not a regular file.\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.folder);
    for (const auto& entry : fs::directory_iterator(".")) {
      fs::remove_all(entry.path());
    }
    for (const auto& [name, bytes] :
         {std::pair<std::string, Bytes>{"t.tbl", Text(kPrefixFreeTable)},
          {"a.pure", Units({0x1F41})},
          {"a.info", Info({{0, 2}})}}) {
      if (name != c.folder) WriteBytes(name, bytes);
    }
    fs::create_directory(c.folder);
    const Outcome outcome = Dump({"t.tbl", "a"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, c.message);
  }
}

TEST_F(TextdumpTest, FilesThatCannotBeReadAreReported) {
  struct Case {
    const char* file;  // cut short right after it was measured
    std::string message;
  };
  const Case kCases[] = {
      {"a.pure", "Could not read puretext file a.pure.\n"},
      {"a.info", "Could not read information file a.info.\n"},
      {"t.tbl", "Could not read table file t.tbl.\n"},
  };
  for (const Case& c : kCases) {
    for (const std::size_t block_size : {common::BlockReader::kMinBlockSize,
                                         common::BlockReader::kBlockSize}) {
      SCOPED_TRACE(testing::Message() << c.file << ", block of " << block_size);
      WriteBytes("t.tbl", Text(kPrefixFreeTable));
      WriteBytes("a.pure", Units({0x1F41, 0x1F42, 0x1F41, 0x1F42, 0x1F41}));
      WriteBytes("a.info", Info({{0, 4}, {1, 6}}));
      common::Faults faults;
      faults.AfterOpen([&](const fs::path& path) {
        if (path == c.file) fs::resize_file(path, 2);
      });
      const Outcome outcome = Dump({"t.tbl", "a"}, block_size, &faults);
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(outcome.err, c.message);
    }
  }
}

// Takes `room` characters, then fails every write, as a full disk or a
// closed pipe at standard output does.
class FullBuffer : public std::streambuf {
 public:
  explicit FullBuffer(std::size_t room) : room_(room) {}

 protected:
  int_type overflow(int_type c) override {
    if (room_ == 0) return traits_type::eof();
    --room_;
    return traits_type::not_eof(c);
  }

 private:
  std::size_t room_;
};

TEST_F(TextdumpTest, TextThatCannotBeWrittenIsReported) {
  WriteBytes("t.tbl", Text(kPrefixFreeTable));
  const UnitList units(100, 0x1F41);
  WriteBytes("a.pure", UnitBytes(units));
  WriteBytes("a.info", Info({{0, 200}}));
  for (const std::size_t room : {0, 5, 99, 100}) {
    for (const std::size_t block_size : {common::BlockReader::kMinBlockSize,
                                         common::BlockReader::kBlockSize}) {
      SCOPED_TRACE(testing::Message()
                   << room << " characters, block of " << block_size);
      FullBuffer buffer(room);
      std::ostream out(&buffer);
      std::ostringstream err;
      const int status =
          textdump::Run({"t.tbl", "a"}, out, err, {nullptr, block_size});
      EXPECT_EQ(status, room < 100 ? 1 : 0);
      EXPECT_EQ(
          err.str(),
          room < 100 ? "Could not write the text to standard output.\n" : "");
    }
  }
}

// Texts in the form textdump writes, at the edges of that form.
TEST_F(TextdumpTest, TextsInTheDumpedFormComeBackThroughBothPrograms) {
  struct Case {
    std::string_view table;
    std::string_view text;
  };
  const Case kCases[] = {
      {kPrefixFreeTable, ""},
      {kPrefixFreeTable, "[end]\n"},
      {kPrefixFreeTable, "A[end]\n\nB[end]\n\n\n"},
      {kPrefixFreeTable, "[page]\n\n[page]\n\nA"},
      {kPrefixFreeTable, "[name]{0000}[ask]{1F41}\n[ask]{0000}\n[name]"},
      {kPrefixFreeTable, "[ask]"},
      {kPrefixFreeTable, "{1F43}}{0041}0F{FFFF}\xC3\xA9\\A"},
      {kPrefixFreeTable, "[name]{0110}[name]{0000}[wait][end]\n"},
      {kPairTable, "ABCA[end]\nBA \nA"},
      {kPairTable, "A B\nA[end]\n\nAB[name]{0141}C"},
  };
  for (const std::size_t block_size : kBlockSizes) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(testing::Message()
                   << "text \"" << c.text << "\", block of " << block_size);
      WriteBytes("t.tbl", Text(c.table));
      WriteBytes("a.txt", Text(c.text));
      const Outcome made = Make({"t.tbl", "a"}, block_size);
      ASSERT_EQ(made.status, 0) << made.err;
      const Outcome dumped = Dump({"t.tbl", "a"}, block_size);
      EXPECT_EQ(dumped.status, 0) << dumped.err;
      EXPECT_EQ(dumped.out, c.text);
    }
  }
}

// Writes a puretext of `units`, with records that cut it anywhere, and
// dumps it.
std::string DumpUnits(const UnitList& units, std::mt19937& random,
                      std::size_t block_size) {
  WriteBytes("x.pure", UnitBytes(units));
  WriteBytes("x.info", RandomRecords(random, units.size()));
  const Outcome dumped = Dump({"t.tbl", "x"}, block_size);
  EXPECT_EQ(dumped.status, 0) << dumped.err;
  return dumped.out;
}

// Makes script `name` from `text`; returns its puretext.
Bytes MakeFromText(const std::string& name, const std::string& text,
                   std::size_t block_size) {
  WriteBytes(name + ".txt", Text(text));
  const Outcome made = Make({"t.tbl", name}, block_size);
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.err, "");
  return ReadBytes(name + ".pure");
}

TEST_F(TextdumpTest, PuretextMadeFromItsTextIsTheSameWhenNoTextBeginsAnother) {
  WriteBytes("t.tbl", Text(kPrefixFreeTable));
  const std::vector<CodeUnit> table = UnitsOf(kPrefixFreeTable);
  std::mt19937 random(20251211);
  for (int round = 0; round < 60; ++round) {
    const std::size_t block_size = kBlockSizes[round % std::size(kBlockSizes)];
    const UnitList units = RandomUnits(random, table, 40);
    const std::string text = DumpUnits(units, random, block_size);
    SCOPED_TRACE(testing::Message()
                 << "text \"" << text << "\", block of " << block_size);
    // puremake(textdump(x)) == x
    ASSERT_EQ(MakeFromText("y", text, block_size), UnitBytes(units));
    // textdump(puremake(t)) == t, for t in the form textdump writes
    const Outcome again = Dump({"t.tbl", "y"}, block_size);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, text);
  }
}

TEST_F(TextdumpTest, PuretextMadeFromItsTextDumpsTheSameWhenTextsBeginOthers) {
  WriteBytes("t.tbl", Text(kPairTable));
  const std::vector<CodeUnit> table = UnitsOf(kPairTable);
  std::mt19937 random(7);
  bool shorter = false;
  for (int round = 0; round < 60; ++round) {
    const std::size_t block_size = kBlockSizes[round % std::size(kBlockSizes)];
    const UnitList units = RandomUnits(random, table, 40);
    const std::string text = DumpUnits(units, random, block_size);
    SCOPED_TRACE(testing::Message()
                 << "text \"" << text << "\", block of " << block_size);
    const Bytes made = MakeFromText("y", text, block_size);
    shorter = shorter || made.size() < units.size() * 2;
    // textdump(puremake(textdump(x))) == textdump(x)
    const Outcome again = Dump({"t.tbl", "y"}, block_size);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, text);
  }
  // Longest match found a shorter encoding now and then.
  EXPECT_TRUE(shorter);
}

// A table like the example's: characters 0x20 to 0x7E but '[', ']' and
// '{', and control codes whose high byte is below 0x20.
std::string ExampleLikeTable() {
  std::string table =
      "/0000=[end]\n0001=\\n\n0002=[wait]\n0010=[name]\n0110=[item]\n";
  for (int code = 0x20; code < 0x7F; ++code) {
    if (code == '[' || code == ']' || code == '{') continue;
    table += common::Format("1F%02X=", code);
    table += code == '\\' ? std::string("\\\\") : std::string(1, char(code));
    table += "\n";
  }
  return table;
}

// The whole road: text, puremake, pairpick, then the dte file dumps back to
// the text, and so does the packed text that huffbuild's tables and
// huffpack make of it, in every layout.
TEST_F(TextdumpTest, TextComesBackAlongTheWholeRoad) {
  WriteBytes("t.tbl", Text(ExampleLikeTable()));
  std::mt19937 random(20251212);
  const CodeUnit kCodes[] = {0x0000, 0x0001, 0x0002, 0x0010, 0x0110};
  for (int round = 0; round < 12; ++round) {
    const std::size_t block_size = kBlockSizes[round % std::size(kBlockSizes)];
    SCOPED_TRACE(testing::Message()
                 << "round " << round << ", block of " << block_size);
    // Two scripts, so that the pairs chosen are those of both.
    std::vector<std::string> texts;
    for (const char* script : {"a", "b"}) {
      UnitList units;
      const std::size_t length = random() % 400;
      while (units.size() < length) {
        const unsigned pick = random() % 100;
        if (pick < 70) {
          // Mostly a few letters, so that pairs repeat.
          units.push_back(
              static_cast<CodeUnit>(0x1F00 | "etaoin sr"[pick % 9]));
        } else if (pick < 85) {
          units.push_back(static_cast<CodeUnit>(0x1F20 + random() % 0x5F));
        } else {
          const CodeUnit code = kCodes[random() % std::size(kCodes)];
          units.push_back(code);
          if (common::TakesArgument(code)) {
            units.push_back(static_cast<CodeUnit>(random() & 0xFFFF));
          }
        }
      }
      texts.push_back(DumpUnits(units, random, block_size));
      MakeFromText(script, texts.back(), block_size);
    }
    std::ostringstream out, err;
    ASSERT_EQ(pairpick::Run({"a", "b"}, out, err, {nullptr, block_size}), 0)
        << err.str();
    EXPECT_LT(fs::file_size("a.dte") + fs::file_size("b.dte"),
              fs::file_size("a.pure") + fs::file_size("b.pure"));
    ASSERT_EQ(huffbuild::Run({"a", "b"}, out, err), 0) << out.str();
    const std::vector<std::vector<std::string>> kLayouts = {
        {},
        {"--bit-order", "lsb"},
        {"--align", "bit", "--base", "1F4000"},
        {"--bit-order", "lsb", "--align", "bit", "--pointer-bytes", "3",
         "--big-endian"},
        {"--pointer-bytes", "2", "--big-endian", "--base", "10"}};
    const std::vector<std::string>& layout = kLayouts[round % kLayouts.size()];
    std::vector<std::string> pack = layout;
    pack.insert(pack.end(), {"a", "b"});
    ASSERT_EQ(huffpack::Run(pack, out, err, {nullptr, block_size}), 0)
        << err.str();
    for (const auto& [script, text] :
         {std::pair{"a", texts[0]}, std::pair{"b", texts[1]}}) {
      const Outcome dumped =
          Dump({"--from", "dte", "t.tbl", script}, block_size);
      EXPECT_EQ(dumped.status, 0) << dumped.err;
      EXPECT_EQ(dumped.out, text) << script;
      std::vector<std::string> args = {"--from", "huf"};
      args.insert(args.end(), layout.begin(), layout.end());
      args.insert(args.end(), {"t.tbl", script});
      const Outcome unpacked = Dump(args, block_size);
      EXPECT_EQ(unpacked.status, 0) << unpacked.err;
      EXPECT_EQ(unpacked.out, text) << script;
    }
  }
}

// The codes that make a pair unit read back as something else: a second
// character code of 0x1F makes a text character, a first code of 0x10 an
// argument-taking code, and two codes that spell a control code the table
// names make that code.
TEST_F(TextdumpTest, PairsOfUnsafeCodesDoNotDumpBackFromTheDteFile) {
  struct Case {
    const char* name;
    std::string table;
    std::string text;
  };
  const std::string kLetters = "1F41=A\n1F42=B\n/0000=[end]\n";
  const Case kCases[] = {
      {"second code 1F", kLetters + "1F1F=~\n", "A~[end]\n"},
      {"first code 10", kLetters + "1F10=~\n", "~A[end]\n"},
      {"codes that spell a named control code", kLetters + "4241=[x]\n",
       "AB[end]\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    WriteBytes("t.tbl", Text(c.table));
    MakeFromText("a", c.text, common::BlockReader::kBlockSize);
    std::ostringstream out, err;
    ASSERT_EQ(pairpick::Run({"a"}, out, err), 0) << err.str();
    EXPECT_EQ(fs::file_size("a.dte"), 4u);  // the pair, then [end]
    const Outcome dumped = Dump({"--from", "dte", "t.tbl", "a"});
    EXPECT_EQ(dumped.status, 0) << dumped.err;
    EXPECT_NE(dumped.out, c.text);
  }
}

}  // namespace
