#include "pairpick/pairpick.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "common/bytes.h"
#include "common/code_unit.h"
#include "common/commit.h"
#include "common/faults.h"
#include "tests/message_cases.h"
#include "tests/test_support.h"

namespace pairpick {
void PrintTo(const PairRecord& r, std::ostream* os) {
  *os << std::hex << "{0x" << r.pairValue << ", " << std::dec << r.count << "}";
}
}  // namespace pairpick

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::Info;
using testing_support::InfoLengths;
using testing_support::ReadBytes;
using testing_support::Snapshot;
using testing_support::UnitBytes;
using testing_support::Units;
using testing_support::WriteBytes;

// The text character with character code c.
constexpr std::uint16_t T(std::uint8_t c) { return 0x1F00 | c; }

using Strings = std::vector<std::vector<std::uint16_t>>;

Bytes Concat(const Strings& strings) {
  Bytes bytes;
  for (const auto& s : strings) {
    const Bytes b = UnitBytes(s);
    bytes.insert(bytes.end(), b.begin(), b.end());
  }
  return bytes;
}

Bytes InfoFor(const Strings& strings) {
  Bytes info;
  std::uint32_t carried = 0xC0DE0000;
  for (const auto& s : strings) {
    const Bytes record =
        Info({{carried++, static_cast<std::int32_t>(s.size() * 2)}});
    info.insert(info.end(), record.begin(), record.end());
  }
  return info;
}

pairpick::SubstitutionTable TableWith(const std::vector<std::uint16_t>& pairs) {
  pairpick::PairList list;
  for (std::uint16_t value : pairs) list.Count(value);
  return pairpick::BuildSubstitutionTable(list);
}

// Read blocks and output buffers of a few bytes put every step next to an
// edge; the default block is what the programs use.
constexpr std::size_t kBlockSizes[] = {common::BlockReader::kMinBlockSize, 9,
                                       13, common::BlockReader::kBlockSize};

class PairpickTest : public testing_support::TempDirTest {
 protected:
  int Run(std::vector<std::string> args, common::Faults* faults = nullptr,
          std::size_t block_size = common::BlockReader::kBlockSize) {
    out_.str("");
    err_.str("");
    return pairpick::Run(args, out_, err_, {faults, block_size});
  }
  void WriteScript(const std::string& name, const Strings& strings) {
    WriteBytes(name + ".pure", Concat(strings));
    WriteBytes(name + ".info", InfoFor(strings));
  }
  std::vector<pairpick::PairRecord> Survey(const Bytes& puretext,
                                           std::size_t block_size) {
    WriteBytes("survey.pure", puretext);
    Bytes block(block_size);
    common::BlockReader reader(block);
    std::error_code ec;
    EXPECT_EQ(reader.Open("survey.pure", ec), common::OpenResult::kOk);
    pairpick::PairList list;
    EXPECT_TRUE(pairpick::SurveyPuretext(reader, list));
    return list.records();
  }
  // The dte bytes of `puretext` cut into strings by `records`, whose
  // lengths become the new ones.
  Bytes Encode(const Bytes& puretext, const pairpick::SubstitutionTable& table,
               std::vector<common::InfoRecord>& records,
               std::size_t block_size) {
    WriteBytes("s.pure", puretext);
    Bytes read_block(block_size), write_block(block_size);
    common::BlockReader reader(read_block);
    std::error_code ec;
    EXPECT_EQ(reader.Open("s.pure", ec), common::OpenResult::kOk);
    common::OutputFile dte(write_block);
    EXPECT_EQ(dte.Begin("s.dte", ec), common::OutputProblem::kNone);
    std::size_t bad = 0;
    EXPECT_EQ(
        pairpick::EncodeScript(reader, table, records, dte.writer(), &bad),
        pairpick::EncodeResult::kOk);
    EXPECT_TRUE(dte.Finish(ec));
    common::Commit commit;
    commit.Add({dte.HandOver()});
    EXPECT_TRUE(commit.CommitAll().front().committed);
    return ReadBytes("s.dte");
  }
  std::ostringstream out_, err_;
};

TEST_F(PairpickTest, SurveyCountsPairsWithoutOverlapAndPassesOverArguments) {
  struct Case {
    const char* name;
    Bytes puretext;
    std::vector<pairpick::PairRecord> pairs;
  };
  const Case kCases[] = {
      {"third character stays unpaired",
       Units({T(0x41), T(0x42), T(0x43)}),
       {{0x4142, 1}}},
      {"no overlap",
       Units({T(0x41), T(0x42), T(0x43), T(0x44)}),
       {{0x4142, 1}, {0x4344, 1}}},
      {"character consumed with the control code behind it",
       Units({T(0x41), 0x0001, T(0x42), T(0x43)}),
       {{0x4243, 1}}},
      {"argument after a character and its code",
       Units({T(0x41), 0x0010, T(0x42), T(0x43), T(0x44)}),
       {{0x4344, 1}}},
      {"argument of a leading code",
       Units({0x0010, T(0x41), T(0x42), T(0x43)}),
       {{0x4243, 1}}},
      {"any high byte takes an argument",
       Units({0x2010, T(0x41), 0x0110, T(0x42), T(0x43), T(0x44)}),
       {{0x4344, 1}}},
      {"0x1F10 is a character",
       Units({T(0x10), T(0x10), T(0x10), T(0x10)}),
       {{0x1010, 2}}},
      {"odd trailing byte never examined",
       {0x41, 0x1F, 0x42, 0x1F, 0x43},
       {{0x4142, 1}}},
      {"three bytes count nothing", {0x41, 0x1F, 0x42}, {}},
      {"first-met order, counts summed",
       Units({T(0x61), T(0x62), T(0x80), T(0x81), T(0x61), T(0x62), 0x0005,
              T(0x80), T(0x81)}),
       {{0x6162, 2}, {0x8081, 2}}},
  };
  for (std::size_t block_size : kBlockSizes) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(testing::Message() << c.name << ", block of " << block_size);
      EXPECT_EQ(Survey(c.puretext, block_size), c.pairs);
    }
  }
}

TEST(SubstitutionTable, FixedCodesAreTheValuesThatAreNotLeftOut) {
  // The values up to 0x016F that are not fixed codes.
  const std::pair<int, int> kGaps[] = {
      {0x12, 0x14},   {0x20, 0x20},   {0x24, 0x24},   {0x26, 0x7E},
      {0x81, 0xE8},   {0xEA, 0x100},  {0x103, 0x103}, {0x115, 0x115},
      {0x11D, 0x11D}, {0x11F, 0x11F}, {0x127, 0x127}, {0x141, 0x141},
      {0x147, 0x147}, {0x14D, 0x14D}, {0x165, 0x168}, {0x16C, 0x16C},
      {0x16E, 0x16E}};
  std::vector<std::uint16_t> expected;
  for (int v = 0; v <= 0x16F; ++v) {
    bool gap = false;
    for (const auto& [lo, hi] : kGaps) gap = gap || (v >= lo && v <= hi);
    if (!gap) expected.push_back(static_cast<std::uint16_t>(v));
  }
  ASSERT_EQ(expected.size(), 133u);

  const pairpick::SubstitutionTable table = TableWith({});
  EXPECT_EQ(table.usedLength, 133);
  EXPECT_TRUE(
      std::equal(expected.begin(), expected.end(), table.entries.begin()));
  for (std::size_t i = 133; i < table.entries.size(); ++i) {
    ASSERT_EQ(table.entries[i], 0) << i;
  }
  for (int v = 0; v < 65536; ++v) {
    const bool fixed = std::binary_search(expected.begin(), expected.end(), v);
    ASSERT_EQ(table.IsMember(static_cast<std::uint16_t>(v)), fixed) << v;
  }
}

TEST(SubstitutionTable, MostFrequentPairsFillItInFirstMetOrderOnTies) {
  pairpick::PairList list;
  // 1200 pairs counted three times, then 300 counted twice that straddle the
  // cut-off (met in falling value order), then 500 counted once; a pair met
  // last with the highest count still comes first.
  std::vector<std::uint16_t> thrice, twice, once;
  for (int i = 0; i < 1200; ++i)
    thrice.push_back(static_cast<std::uint16_t>(0x2000 + i));
  for (int i = 0; i < 300; ++i)
    twice.push_back(static_cast<std::uint16_t>(0x9000 - i));
  for (int i = 0; i < 500; ++i)
    once.push_back(static_cast<std::uint16_t>(0xA000 + i));
  for (std::uint16_t v : once) list.Count(v);
  for (std::uint16_t v : twice) {
    list.Count(v);
    list.Count(v);
  }
  for (std::uint16_t v : thrice) {
    list.Count(v);
    list.Count(v);
    list.Count(v);
  }
  for (int i = 0; i < 9; ++i) list.Count(0xFFFE);

  const pairpick::SubstitutionTable table =
      pairpick::BuildSubstitutionTable(list);
  EXPECT_EQ(table.usedLength, 1452);
  EXPECT_EQ(table.entries[133], 0xFFFE);
  for (int i = 0; i < 1200; ++i) ASSERT_EQ(table.entries[134 + i], thrice[i]);
  for (int i = 0; i < 118; ++i) ASSERT_EQ(table.entries[1334 + i], twice[i]);
  EXPECT_TRUE(table.IsMember(twice[117]));  // in entry 1451, the last one
  EXPECT_FALSE(table.IsMember(twice[118]));
  EXPECT_FALSE(table.IsMember(once[0]));
}

TEST(SubstitutionTable, CountedPairEqualToAFixedCodeTakesAPlaceToo) {
  const pairpick::SubstitutionTable none = TableWith({});
  EXPECT_TRUE(none.IsMember(0x0102));  // member without being counted
  const pairpick::SubstitutionTable one = TableWith({0x0102});
  EXPECT_EQ(one.usedLength, 134);
  EXPECT_EQ(one.entries[133], 0x0102);
  EXPECT_EQ(one.entries[134], 0);
  EXPECT_FALSE(one.IsMember(0x0000 + 0x8081));
  EXPECT_TRUE(TableWith({0x8081}).IsMember(0x8081));
}

TEST_F(PairpickTest, ReencodingOfStrings) {
  struct Case {
    const char* name;
    Strings strings;
    std::vector<std::uint16_t> members;
    Bytes dte;
    std::vector<std::int32_t> lengths;
  };
  const Case kCases[] = {
      {"pair substituted", {{T(0x41), T(0x42)}}, {0x4142}, {0x41, 0x42}, {2}},
      {"pair not a member",
       {{T(0x41), T(0x42)}},
       {},
       {0x41, 0x1F, 0x42, 0x1F},
       {4}},
      {"last character copied alone",
       {{T(0x41), T(0x42), T(0x43)}},
       {0x4142},
       {0x41, 0x42, 0x43, 0x1F},
       {4}},
      {"greedy from the left",
       {{T(0x41), T(0x42), T(0x43)}},
       {0x4243},
       {0x41, 0x1F, 0x42, 0x43},
       {4}},
      {"no pair across strings",
       {{T(0x41)}, {T(0x42)}},
       {0x4142},
       {0x41, 0x1F, 0x42, 0x1F},
       {2, 2}},
      {"argument copied, then the character alone",
       {{0x0010, T(0x41), T(0x42)}},
       {0x4142},
       {0x10, 0x00, 0x41, 0x1F, 0x42, 0x1F},
       {6}},
      {"argument spills into the next string",
       {{T(0x41), 0x0010}, {0x0005, T(0x42)}},
       {},
       {0x41, 0x1F, 0x10, 0x00, 0x05, 0x00, 0x42, 0x1F},
       {6, 2}},
      {"last code copied alone, its argument paired in the next string",
       {{0x0005, 0x0010}, {T(0x41), T(0x42)}},
       {0x4142},
       {0x05, 0x00, 0x10, 0x00, 0x41, 0x42},
       {4, 2}},
      {"spill swallows a whole string",
       {{T(0x41), 0x0110}, {T(0x42)}, {T(0x43), T(0x44)}},
       {0x4344},
       {0x41, 0x1F, 0x10, 0x01, 0x42, 0x1F, 0x43, 0x44},
       {6, 0, 2}},
      {"empty string between",
       {{T(0x41), T(0x42)}, {}, {T(0x41), T(0x42)}},
       {0x4142},
       {0x41, 0x42, 0x41, 0x42},
       {2, 0, 2}},
      {"argument past the end of the file is not invented",
       {{T(0x41), 0x0010}},
       {},
       {0x41, 0x1F, 0x10, 0x00},
       {4}},
      {"fixed code is substituted",
       {{T(0x01), T(0x02)}},
       {},
       {0x01, 0x02},
       {2}},
  };
  for (std::size_t block_size : kBlockSizes) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(testing::Message() << c.name << ", block of " << block_size);
      std::vector<common::InfoRecord> records;
      for (const auto& s : c.strings) {
        records.push_back({0, static_cast<std::int32_t>(s.size() * 2)});
      }
      EXPECT_EQ(
          Encode(Concat(c.strings), TableWith(c.members), records, block_size),
          c.dte);
      std::vector<std::int32_t> lengths;
      for (const auto& r : records) lengths.push_back(r.byteLength);
      EXPECT_EQ(lengths, c.lengths);
    }
  }
}

// Undoes the substitution of one dte string the way a reader of the game's
// text would: characters in the tests' scripts have codes 0x20 to 0x7E, so a
// pair unit is any unit whose high byte lies there.
void DecodeString(const Bytes& dte, std::size_t begin, std::size_t end,
                  std::vector<std::uint16_t>& text) {
  std::size_t q = begin;
  while (q < end) {
    const std::uint16_t unit = common::ReadLe16(dte.data() + q);
    const int high = unit >> 8;
    if (high >= 0x20 && high <= 0x7E) {
      text.push_back(T(static_cast<std::uint8_t>(unit & 0xFF)));
      text.push_back(T(static_cast<std::uint8_t>(high)));
    } else {
      text.push_back(unit);
      // A code that is not the string's last unit carries its argument.
      if (common::TakesArgument(unit) && q + 4 <= end) {
        q += 2;
        text.push_back(common::ReadLe16(dte.data() + q));
      }
    }
    q += 2;
  }
}

TEST_F(PairpickTest, UndoingTheSubstitutionGivesBackThePuretext) {
  std::mt19937 random(20261210);
  const std::uint16_t kControls[] = {0x0001, 0x0002, 0x0105, 0x0010, 0x0110};
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::string> names;
    std::vector<Bytes> puretexts;
    for (int script = 0; script < 3; ++script) {
      Strings strings(random() % 40);
      for (auto& s : strings) {
        s.resize(random() % 30);
        for (auto& unit : s) {
          const unsigned pick = random() % 100;
          if (pick < 85) {
            // Mostly a few letters, so that pairs repeat.
            unit = T(static_cast<std::uint8_t>(pick < 70
                                                   ? "etaoinshr "[random() % 10]
                                                   : 0x20 + random() % 0x5F));
          } else {
            unit = kControls[random() % 5];
          }
        }
      }
      names.push_back(std::string("s").append(std::to_string(script)));
      WriteScript(names.back(), strings);
      puretexts.push_back(Concat(strings));
    }
    std::vector<Bytes> prepared;
    for (const std::string& name : names)
      prepared.push_back(ReadBytes(name + ".info"));
    // Every block size gives the same bytes, and they undo to the puretext.
    std::vector<Bytes> first_outputs;
    for (std::size_t block_size : kBlockSizes) {
      SCOPED_TRACE(block_size);
      for (std::size_t i = 0; i < names.size(); ++i)
        WriteBytes(names[i] + ".info", prepared[i]);
      ASSERT_EQ(Run(names, nullptr, block_size), 0) << err_.str();
      EXPECT_EQ(err_.str(), "");
      std::vector<Bytes> outputs;
      for (std::size_t i = 0; i < names.size(); ++i) {
        const Bytes dte = ReadBytes(names[i] + ".dte");
        const Bytes info = ReadBytes(names[i] + ".info");
        outputs.push_back(dte);
        outputs.push_back(info);
        std::vector<std::uint16_t> text;
        std::size_t begin = 0;
        for (std::int32_t length : InfoLengths(info)) {
          ASSERT_GE(length, 0);
          ASSERT_LE(begin + static_cast<std::size_t>(length), dte.size());
          DecodeString(dte, begin, begin + static_cast<std::size_t>(length),
                       text);
          begin += static_cast<std::size_t>(length);
        }
        EXPECT_EQ(begin, dte.size());
        EXPECT_EQ(UnitBytes(text), puretexts[i]);
      }
      if (first_outputs.empty()) first_outputs = outputs;
      EXPECT_EQ(outputs, first_outputs);
    }
  }
}

TEST_F(PairpickTest,
       RewritesLengthsAndKeepsEverythingElseOfTheInformationFile) {
  WriteBytes("a.pure", Units({T(0x41), T(0x42), T(0x41), T(0x42)}));
  // Covering record, a surplus record with a length no one checks, and
  // three trailing bytes that make no record.
  Bytes info = Info({{0x01020304, 8}, {0x0A0B0C0D, -3}});
  info.insert(info.end(), {0xAA, 0xBB, 0xCC});
  WriteBytes("a.info", info);
  ASSERT_EQ(Run({"a"}), 0) << err_.str();
  Bytes expected = Info({{0x01020304, 4}, {0x0A0B0C0D, -3}});
  expected.insert(expected.end(), {0xAA, 0xBB, 0xCC});
  EXPECT_EQ(ReadBytes("a.info"), expected);
  EXPECT_EQ(ReadBytes("a.dte"), (Bytes{0x41, 0x42, 0x41, 0x42}));
}

TEST_F(PairpickTest, EmptyPuretextGivesEmptyDteAndLeavesInformationFile) {
  WriteBytes("a.pure", {});
  WriteBytes("a.info", Info({{7, 12}}));
  WriteBytes("a.dte", {1, 2, 3});
  ASSERT_EQ(Run({"a"}), 0);
  EXPECT_EQ(ReadBytes("a.dte"), Bytes{});
  EXPECT_EQ(ReadBytes("a.info"), Info({{7, 12}}));
}

TEST_F(PairpickTest, MessagesAndStatuses) {
  testing_support::CheckMessages(
      testing_support::PairpickMessages(),
      [](const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int status = pairpick::Run(args, out, err);
        return testing_support::RunResult{status, out.str(), err.str()};
      });
}

TEST_F(PairpickTest, RefusedScriptLeavesItsFilesAndTheOthersGoOn) {
  WriteBytes("a.pure", Units({T(0x41), T(0x42), T(0x43)}));
  WriteBytes("a.info", Info({{1, 2}, {2, 2}}));
  WriteBytes("a.dte", {0xD7, 0xE0});
  WriteScript("b", {{T(0x61), T(0x62)}});
  EXPECT_EQ(Run({"a", "b"}), 1);
  EXPECT_EQ(ReadBytes("a.dte"), (Bytes{0xD7, 0xE0}));
  EXPECT_EQ(ReadBytes("a.info"), Info({{1, 2}, {2, 2}}));
  EXPECT_EQ(ReadBytes("b.dte"), (Bytes{0x61, 0x62}));
}

TEST_F(PairpickTest, ScriptNamedTwiceIsRefusedOnceItsLengthsChanged) {
  WriteScript("a", {{T(0x41), T(0x42), T(0x41), T(0x42)}});
  EXPECT_EQ(Run({"a", "a"}), 1);
  EXPECT_EQ(err_.str(),
            "Information file a.info describes 4 bytes, but puretext file "
            "a.pure holds 8. Skipping...\n");
  EXPECT_EQ(ReadBytes("a.dte"), (Bytes{0x41, 0x42, 0x41, 0x42}));
  EXPECT_EQ(InfoLengths(ReadBytes("a.info")), std::vector<std::int32_t>{4});
}

TEST_F(PairpickTest, FullDiskAtAnyByteLeavesBothFilesAsTheyWere) {
  const Strings kScript = {{T(0x41), T(0x42), 0x0001}, {T(0x41), T(0x42)}};
  WriteScript("a", kScript);
  WriteBytes("a.dte", {0xD7});
  const auto before = Snapshot(".");
  const std::uint64_t kNeeded = 6 + 16;  // new dte and information file
  for (std::size_t block_size :
       {common::BlockReader::kMinBlockSize, common::BlockReader::kBlockSize}) {
    for (std::uint64_t space = 0; space < kNeeded; ++space) {
      SCOPED_TRACE(testing::Message()
                   << space << " bytes free, block of " << block_size);
      common::Faults faults;
      faults.LimitSpace(space);
      EXPECT_EQ(Run({"a"}, &faults, block_size), 1);
      EXPECT_EQ(err_.str(),
                space < 6 ? "Could not write dte file a.dte. Skipping...\n"
                          : "Could not write information file a.info. "
                            "Skipping...\n");
      EXPECT_EQ(Snapshot("."), before);
    }
  }
  common::Faults enough;
  enough.LimitSpace(kNeeded);
  EXPECT_EQ(Run({"a"}, &enough), 0);
  EXPECT_EQ(ReadBytes("a.dte"), (Bytes{0x41, 0x42, 0x01, 0x00, 0x41, 0x42}));
}

TEST_F(PairpickTest, FailedCommitOfOneScriptLeavesItWholeAndTheOthersWritten) {
  // The renames in: a.dte, a.info, b.dte, b.info.
  const char* kMessages[] = {
      "Could not write dte file a.dte. Skipping...\n",
      "Could not write information file a.info. Skipping...\n",
      "Could not write dte file b.dte. Skipping...\n",
      "Could not write information file b.info. Skipping...\n"};
  for (int nth = 0; nth < 4; ++nth) {
    SCOPED_TRACE(nth);
    WriteScript("a", {{T(0x41), T(0x42)}});
    WriteScript("b", {{T(0x43), T(0x44)}});
    WriteBytes("a.dte", {0xD7});
    WriteBytes("b.dte", {0xE0});
    const Bytes old_info = ReadBytes("a.info");
    common::Faults faults;
    faults.FailAt(common::FaultPoint::kRename, nth);
    EXPECT_EQ(Run({"a", "b"}, &faults), 1);
    EXPECT_EQ(err_.str(), kMessages[nth]);
    const bool a_failed = nth < 2;
    EXPECT_EQ(ReadBytes("a.dte"), a_failed ? Bytes{0xD7} : (Bytes{0x41, 0x42}));
    EXPECT_EQ(ReadBytes("a.info"),
              a_failed ? old_info : Info({{0xC0DE0000, 2}}));
    EXPECT_EQ(ReadBytes("b.dte"), a_failed ? (Bytes{0x43, 0x44}) : Bytes{0xE0});
    EXPECT_EQ(ReadBytes("b.info"),
              a_failed ? Info({{0xC0DE0000, 2}}) : old_info);
    EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
  }
}

TEST_F(PairpickTest, MissingFilesAreSkippedAndUnwritableOnesRefused) {
  WriteScript("nodte", {{T(0x41)}});
  fs::create_directory("nodte.dte");
  WriteBytes("noinfo.pure", Units({T(0x41)}));
  WriteScript("good", {{T(0x61)}});
  EXPECT_EQ(Run({"missing", "noinfo", "good"}), 0);
  EXPECT_EQ(err_.str(),
            "Could not open puretext file missing.pure. Skipping...\n"
            "Could not open puretext file missing.pure. Skipping...\n"
            "Could not open information file noinfo.info. Skipping...\n");
  EXPECT_EQ(out_.str(), "");
  EXPECT_FALSE(fs::exists("noinfo.dte"));
  EXPECT_EQ(ReadBytes("good.dte"), Units({T(0x61)}));
  // An output that cannot be written fails the run, naming the cause.
  EXPECT_EQ(Run({"nodte", "good"}), 1);
  EXPECT_EQ(err_.str(),
            "Could not open dte file nodte.dte: it is not a regular file. "
            "Skipping...\n");
  EXPECT_EQ(ReadBytes("nodte.info"), InfoFor({{T(0x41)}}));
}

TEST_F(PairpickTest, TemporaryThatCannotBeCreatedFailsTheRunWithItsCause) {
  WriteScript("a", {{T(0x41), T(0x42)}});
  WriteBytes("a.dte", {0xD7});
  const auto before = Snapshot(".");
  for (int nth : {0, 1}) {
    common::Faults faults;
    faults.FailAt(common::FaultPoint::kCreate, nth);
    EXPECT_EQ(Run({"a"}, &faults), 1);
    const std::string file =
        nth == 0 ? "information file a.info" : "dte file a.dte";
    EXPECT_EQ(err_.str().substr(0, err_.str().find(':')),
              "Could not open " + file);
    EXPECT_NE(err_.str().find("cannot create a temporary file in ."),
              std::string::npos)
        << err_.str();
    EXPECT_EQ(Snapshot("."), before);
  }
}

TEST_F(PairpickTest, ScriptWhosePuretextCannotBeReadIsNotWritten) {
  WriteScript("a", {{T(0x41), T(0x42), T(0x41), T(0x42)}});
  WriteScript("b", {{T(0x41), T(0x42)}});
  const auto before = Snapshot(".");
  // The survey's read of a.pure fails; b goes on.
  common::Faults faults;
  faults.AfterOpen([](const fs::path& path) {
    if (path == "a.pure") fs::resize_file(path, 2);
  });
  EXPECT_EQ(Run({"a", "b"}, &faults), 1);
  EXPECT_EQ(err_.str(), "Could not read puretext file a.pure. Skipping...\n");
  fs::remove("b.dte");
  WriteScript("b", {{T(0x41), T(0x42)}});
  WriteBytes("a.pure", Units({T(0x41), T(0x42), T(0x41), T(0x42)}));
  EXPECT_EQ(Snapshot("."), before);
}

TEST_F(PairpickTest, ReadFailuresAreReportedAndChangeNothing) {
  struct Case {
    const char* name;
    const char* file;  // cut short right after it opens
    int opening;       // which opening of it, from 0
    std::string message;
  };
  const Case kCases[] = {
      {"puretext in the survey", "a.pure", 0,
       "Could not read puretext file a.pure. Skipping...\n"},
      {"puretext when re-encoding", "a.pure", 1,
       "Could not read puretext file a.pure. Skipping...\n"},
      {"information file", "a.info", 0,
       "Could not read information file a.info. Skipping...\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    WriteScript("a",
                {{T(0x41), T(0x42), T(0x43), T(0x44)}, {T(0x45), T(0x46)}});
    const auto before = Snapshot(".");
    int openings = 0;
    common::Faults faults;
    faults.AfterOpen([&](const fs::path& path) {
      if (path == c.file && openings++ == c.opening) fs::resize_file(path, 4);
    });
    EXPECT_EQ(Run({"a"}, &faults, common::BlockReader::kMinBlockSize), 1);
    EXPECT_EQ(err_.str(), c.message);
    fs::remove("a.pure");
    fs::remove("a.info");
    WriteScript("a",
                {{T(0x41), T(0x42), T(0x43), T(0x44)}, {T(0x45), T(0x46)}});
    EXPECT_EQ(Snapshot("."), before);
  }
}

TEST_F(PairpickTest, NamesThatAreDevicesOnWindowsAndLongPathsAreScripts) {
  // A folder path of over 260 characters, and a name of 248.
  fs::path deep = fs::current_path();
  for (int i = 0; i < 6; ++i)
    deep /= std::string(50, static_cast<char>('a' + i));
#if defined(_WIN32)
  fs::create_directories(fs::path(L"\\\\?\\" + deep.wstring()));
#else
  fs::create_directories(deep);
#endif
  const std::vector<std::string> kNames = {"aux",
                                           "con",
                                           "nul",
                                           "prn",
                                           "com1",
                                           "lpt1",
                                           (deep / "intro").string(),
                                           std::string(248, 'n')};
  for (const std::string& name : kNames) {
    SCOPED_TRACE(name);
    WriteScript(name, {{T(0x41), T(0x42), T(0x41), T(0x42)}});
    EXPECT_EQ(Run({name}), 0) << err_.str();
    EXPECT_EQ(err_.str(), "");
    EXPECT_EQ(ReadBytes(name + ".dte"), (Bytes{0x41, 0x42, 0x41, 0x42}));
    EXPECT_EQ(InfoLengths(ReadBytes(name + ".info")),
              std::vector<std::int32_t>{4});
  }
  EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
}

TEST_F(PairpickTest, ReadOnlyInformationFileIsRefusedAndKeepsItsBytes) {
  if (testing_support::RunningAsRoot()) {
    GTEST_SKIP() << "root may write a read-only file";
  }
  WriteScript("a", {{T(0x41), T(0x42)}});
  fs::permissions("a.info", fs::perms::owner_read);
  EXPECT_EQ(Run({"a"}), 1);
  EXPECT_EQ(err_.str(),
            "Could not open information file a.info: it may not be written. "
            "Skipping...\n");
  EXPECT_EQ(ReadBytes("a.info"), InfoFor({{T(0x41), T(0x42)}}));
  EXPECT_FALSE(fs::exists("a.dte"));
}

// Windows keeps no permission bits beyond read-only.
#if !defined(_WIN32)
TEST_F(PairpickTest, RewrittenInformationFileKeepsItsPermissionBits) {
  WriteScript("a", {{T(0x41), T(0x42)}});
  const fs::perms kPerms =
      fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read;
  fs::permissions("a.info", kPerms);
  ASSERT_EQ(Run({"a"}), 0);
  EXPECT_EQ(fs::status("a.info").permissions() & fs::perms::all, kPerms);
}
#endif

#if !defined(_WIN32)
TEST_F(PairpickTest, OutputsShowNoMoreThanTheirInputs) {
  WriteScript("a", {{T(0x41), T(0x42)}});
  fs::permissions("a.pure", fs::perms(0600));
  fs::permissions("a.info", fs::perms(0640));
  ASSERT_EQ(Run({"a"}), 0) << err_.str();
  EXPECT_EQ(fs::status("a.dte").permissions() & fs::perms::all,
            fs::perms(0600));
  EXPECT_EQ(fs::status("a.info").permissions() & fs::perms::all,
            fs::perms(0600));
}
#endif

TEST_F(PairpickTest, OutOfMemoryIsReported) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP()
      << "AddressSanitizer aborts on an allocation that cannot succeed";
#else
  std::ifstream overcommit("/proc/sys/vm/overcommit_memory");
  std::string mode;
  if (overcommit >> mode && mode == "1")
    GTEST_SKIP() << "memory is overcommitted";
  // Two TiB of information file (sparse) cannot be held.
  WriteBytes("a.pure", Units({T(0x41), T(0x42)}));
  WriteBytes("a.info", {});
  std::error_code ec;
  fs::resize_file("a.info", std::uintmax_t{2} << 40, ec);
  if (ec)
    GTEST_SKIP() << "this file system holds no 2 TiB file: " << ec.message();
  EXPECT_EQ(Run({"a"}), 1);
  EXPECT_EQ(err_.str(), "Out of memory. Shutting down...\n");
  EXPECT_FALSE(fs::exists("a.dte"));
#endif
}

}  // namespace
