#include "chainreport/chainreport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <sstream>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/tables.h"
#include "huffbuild/huffbuild.h"
#include "pairpick/pairpick.h"
#include "tests/message_cases.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::Info;
using testing_support::ReadBytes;
using testing_support::Snapshot;
using testing_support::Units;
using testing_support::WriteBytes;

class ChainreportTest : public testing_support::TempDirTest {
 protected:
  int Run(std::vector<std::string> args,
          std::size_t block_size = common::BlockReader::kBlockSize) {
    out_.str("");
    err_.str("");
    return chainreport::Run(args, out_, err_, {nullptr, block_size});
  }
  // The example script carried through pairpick and huffbuild.
  void MakeExampleChain() {
    for (const char* ext : {".pure", ".info"}) {
      fs::copy_file(fs::path(EXAMPLES_DIR) / (std::string("intro") + ext),
                    std::string("intro") + ext);
    }
    std::ostringstream ignored;
    ASSERT_EQ(pairpick::Run({"intro"}, ignored, ignored), 0);
    ASSERT_EQ(huffbuild::Run({"intro"}, ignored, ignored), 0);
  }
  std::ostringstream out_, err_;
};

TEST_F(ChainreportTest, FiguresOfAHandCheckedScript) {
  // A 1, B 01, C 001, D 000 over the units 0x1F41 to 0x1F44.
  const std::vector<common::NodeEntry> kTable = {{0x1F41, 0xFFFF},
                                                 {0x1F42, 0xFFFF},
                                                 {0x1F43, 0xFFFF},
                                                 {0x1F44, 0xFFFF},
                                                 {3, 2},
                                                 {4, 1},
                                                 {5, 0}};
  WriteBytes("tesk.tbl", common::EncodeNodeTable(kTable));
  Bytes bit;
  const char* kPatterns[] = {"1", "01", "001", "000"};
  for (int i = 0; i < 4; ++i)
    common::AppendBitRecord(bit, kTable[static_cast<std::size_t>(i)].first,
                            kPatterns[i]);
  WriteBytes("tesk.bit", bit);
  // Strings A A B (4 bits: 1 byte), empty, C D (6 bits: 1 byte); the
  // surplus record behind them is not read. No pair was substituted, so
  // the dte file is the puretext.
  WriteBytes("s.dte", Units({0x1F41, 0x1F41, 0x1F42, 0x1F43, 0x1F44}));
  WriteBytes("s.pure", Units({0x1F41, 0x1F41, 0x1F42, 0x1F43, 0x1F44}));
  WriteBytes("s.info", Info({{0, 6}, {0, 0}, {0, 4}, {0, -7}}));
  const auto before = Snapshot(".");

  ASSERT_EQ(Run({"s"}), 0) << err_.str();
  EXPECT_EQ(err_.str(), "");
  EXPECT_EQ(out_.str(),
            "Bytes as the game holds them, each string from a byte of its "
            "own; the total adds tesk.tbl (28 bytes).\n"
            "script  strings     puretext          dte   encoded bits        "
            "bytes   ratio\n"
            "s             3           10           10             10       "
            "     2   20.0%\n"
            "total         3           10           10             10       "
            "    30  300.0%\n"
            "\n"
            "Leaves in use: 4 of 4\n"
            "Longest pattern in use: 3 bits\n"
            "Mean pattern length, weighted by use: 2.00 bits\n"
            "\n"
            "Pattern lengths:\n"
            " bits  symbols         uses\n"
            "    1        1            2  " +
                std::string(50, '#') +
                "\n"
                "    2        1            1  " +
                std::string(25, '#') +
                "\n"
                "    3        2            2  " +
                std::string(50, '#') + "\n");
  EXPECT_EQ(Snapshot("."), before);  // it writes nothing
}

TEST_F(ChainreportTest, ExampleChainVerifies) {
  MakeExampleChain();
  ASSERT_EQ(Run({"intro", "intro"}), 0) << err_.str();
  const std::size_t header = out_.str().find("\nscript ");
  EXPECT_EQ(out_.str().find("intro "), out_.str().find('\n', header + 1) + 1);
  EXPECT_NE(out_.str().find("\ntotal        80         9924         5408"),
            std::string::npos)
      << out_.str();
}

// A pair unit is written as its two character codes, so some read as
// something else to a decoder that goes by the unit classes.
TEST_F(ChainreportTest, PairUnitsThatReadAsSomethingElseAreFaults) {
  // "A" then the character 0x1F, and the character 0x10 then "B", many times:
  // pairpick substitutes both pairs.
  std::vector<std::uint16_t> units;
  for (int i = 0; i < 30; ++i) {
    units.insert(units.end(), {0x1F41, 0x1F1F, 0x0001, 0x1F10, 0x1F42, 0x0001});
  }
  Bytes pure;
  for (std::uint16_t unit : units) common::AppendLe16(pure, unit);
  WriteBytes("c.pure", pure);
  WriteBytes("c.info", Info({{0, static_cast<std::int32_t>(pure.size() / 2)},
                             {1, static_cast<std::int32_t>(pure.size() / 2)}}));
  std::ostringstream ignored;
  ASSERT_EQ(pairpick::Run({"c"}, ignored, ignored), 0);
  ASSERT_EQ(huffbuild::Run({"c"}, ignored, ignored), 0);
  EXPECT_EQ(Run({"c"}), 1);
  EXPECT_EQ(err_.str(),
            "c.dte: string 1: the pair unit of the character codes 41,1F "
            "reads as the text character 41 (30 times in all)\n"
            "c.dte: string 1: the pair unit of the character codes 10,42 "
            "reads as the argument-taking code 4210 (30 times in all)\n");
  EXPECT_EQ(out_.str(), "");
}

// Whatever pairpick substitutes, the replay follows it: a fresh chain is
// never taken for a stale one, also where pairs end in the character 0x1F.
TEST_F(ChainreportTest, ReplayFollowsEveryFreshChain) {
  std::mt19937 random(1452);
  const std::uint16_t kUnits[] = {0x1F1F, 0x1F1F, 0x1F41, 0x1F42, 0x1F00,
                                  0x0001, 0x0010, 0x1F10, 0x0110};
  int collisions = 0;
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::int32_t> lengths;
    Bytes pure;
    for (int string = 0; string < 1 + static_cast<int>(random() % 6);
         ++string) {
      const int length = static_cast<int>(random() % 12);
      for (int i = 0; i < length; ++i) {
        common::AppendLe16(pure, kUnits[random() % std::size(kUnits)]);
      }
      lengths.push_back(2 * length);
    }
    Bytes info;
    for (std::int32_t length : lengths) {
      const Bytes record = Info({{0, length}});
      info.insert(info.end(), record.begin(), record.end());
    }
    WriteBytes("r.pure", pure);
    WriteBytes("r.info", info);
    std::ostringstream ignored;
    ASSERT_EQ(pairpick::Run({"r"}, ignored, ignored), 0);
    ASSERT_EQ(huffbuild::Run({"r"}, ignored, ignored), 0);
    const int status = Run({"r"});
    EXPECT_EQ(err_.str().find("is not what pairpick makes"), std::string::npos)
        << err_.str();
    // Independently: a decoder that goes by the unit classes (any other
    // unit is a pair unit here, as the only other code is 0x0001) gets the
    // puretext back exactly when no pair unit reads as something else.
    const Bytes dte = ReadBytes("r.dte");
    Bytes decoded;
    for (std::size_t q = 0; q + 1 < dte.size(); q += 2) {
      const std::uint16_t unit = common::ReadLe16(dte.data() + q);
      if (common::IsTextCharacter(unit) || unit == 0x0001) {
        common::AppendLe16(decoded, unit);
      } else if (common::TakesArgument(unit)) {
        common::AppendLe16(decoded, unit);
        if (q + 3 < dte.size()) {
          q += 2;
          common::AppendLe16(decoded, common::ReadLe16(dte.data() + q));
        }
      } else {
        common::AppendLe16(decoded,
                           static_cast<std::uint16_t>(0x1F00 | (unit & 0xFF)));
        common::AppendLe16(decoded,
                           static_cast<std::uint16_t>(0x1F00 | (unit >> 8)));
      }
    }
    EXPECT_EQ(status != 0, decoded != pure) << err_.str();
    if (status != 0) ++collisions;
    // Blocks of a few bytes put the replay's steps and its going back at
    // every edge, and change nothing.
    const std::string out = out_.str();
    const std::string err = err_.str();
    EXPECT_EQ(Run({"r"}, 16), status);
    EXPECT_EQ(out_.str(), out);
    EXPECT_EQ(err_.str(), err);
  }
  std::cout << "[          ] " << collisions
            << " of 80 chains had pair units that read as something else\n";
}

TEST_F(ChainreportTest, EachDamageIsCaughtWithTheFileAndPlace) {
  const auto change_file = [](const char* name,
                              const std::function<void(Bytes&)>& change) {
    Bytes bytes = ReadBytes(name);
    change(bytes);
    WriteBytes(name, bytes);
  };
  struct Case {
    const char* name;
    std::function<void()> damage;
    std::string message;  // the start of the one line printed
  };
  const Case kCases[] = {
      {"flipped pattern bit",
       [&] {
         change_file("tesk.bit", [](Bytes& b) {
           std::size_t last = 2;
           while (b[last + 1] != 0) ++last;
           b[last] ^= 1;  // '0' <-> '1'
         });
       },
       "tesk.bit: the pattern of leaf "},
      {"cut node table",
       [&] {
         change_file("tesk.tbl", [](Bytes& b) { b.resize(b.size() - 4); });
       },
       "tesk.tbl: 11608 bytes, but a tree of 1452 leaves takes 11612\n"},
      {"swapped children of the root",
       [&] {
         change_file("tesk.tbl", [](Bytes& b) {
           std::rotate(b.end() - 4, b.end() - 2, b.end());
         });
       },
       "tesk.bit: the pattern of leaf 0 ("},
      {"child named twice",
       [&] {
         change_file("tesk.tbl", [](Bytes& b) {
           const std::size_t second_merge = 4 * 1453;
           b[second_merge] = b[4 * 1452];
           b[second_merge + 1] = b[4 * 1452 + 1];
         });
       },
       "tesk.tbl: entry "},
      {"repeated symbol",
       [&] {
         change_file("tesk.bit", [](Bytes& b) {
           b[102] = b[0];
           b[103] = b[1];
         });
       },
       "tesk.bit: the record for leaf 1 at byte 102 repeats the symbol "},
      {"dte unit the table lacks",
       [&] {
         change_file("intro.dte", [](Bytes& b) {
           b[0] = 0xFE;
           b[1] = 0xFF;
         });
       },
       "intro.dte: unit FFFE at byte 0 has no leaf in tesk.bit\n"},
      {"lengths that do not add up",
       [&] {
         change_file("intro.info", [](Bytes& b) {
           b[4] = static_cast<std::uint8_t>(b[4] + 2);
         });
       },
       "intro.info: its records add up to 2706 bytes, but intro.dte holds "
       "2704\n"},
      {"length that is no whole unit",
       [&] {
         change_file("intro.info", [](Bytes& b) {
           b[12] = 3;
           b[13] = 0;
         });
       },
       "intro.info: record 2 at byte 8 has the bad length 3\n"},
      {"odd dte file",
       [&] { change_file("intro.dte", [](Bytes& b) { b.push_back(0); }); },
       "intro.dte: 2705 bytes are not a whole number of code units\n"},
      {"missing Bit Pattern Table", [] { fs::remove("tesk.bit"); },
       "Could not read tesk.bit.\n"},
      {"missing puretext", [] { fs::remove("intro.pure"); },
       "Could not read intro.pure.\n"},
      {"puretext edited after pairpick",
       [&] { change_file("intro.pure", [](Bytes& b) { b[200] ^= 0x01; }); },
       "intro.dte: string 2 is not what pairpick makes of intro.pure: at "
       "byte "},
      {"dte of another script",
       [&] {
         change_file("intro.pure", [](Bytes& b) {
           b.insert(b.begin(), {0x41, 0x1F});
         });
       },
       "intro.dte: string 1 is not what pairpick makes of intro.pure: at "
       "byte 0 it holds "},
      {"puretext longer than the dte file says",
       [&] {
         change_file("intro.pure", [](Bytes& b) {
           b.insert(b.end(), {0x01, 0x00});
         });
       },
       "intro.dte: string 40 is not what pairpick makes of intro.pure: it "
       "ends at byte 4962 of the puretext's 4964\n"},
  };
  MakeExampleChain();
  ASSERT_EQ(fs::file_size("intro.dte"), 2704u);
  const auto good = Snapshot(".");
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    for (const auto& [name, bytes] : good) WriteBytes(name, bytes);
    c.damage();
    const auto damaged = Snapshot(".");
    EXPECT_EQ(Run({"intro"}), 1);
    const std::string err = err_.str();
    EXPECT_EQ(err.substr(0, c.message.size()), c.message);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(out_.str(), "");
    EXPECT_EQ(Snapshot("."), damaged);
  }
}

TEST_F(ChainreportTest, ScriptsSharedByTwoThreadsReportAsOnOne) {
  MakeExampleChain();
  // Copies of the example, some damaged: each fault names its script, in
  // the scripts' order, and two threads report byte for byte what one does.
  std::vector<std::string> scripts;
  for (int i = 0; i < 12; ++i) {
    const std::string name = std::string("s").append(std::to_string(i));
    for (const char* ext : {".pure", ".info", ".dte"}) {
      fs::copy_file(std::string("intro") + ext, name + ext);
    }
    scripts.push_back(name);
  }
  fs::remove("s3.dte");
  Bytes dte = ReadBytes("s6.dte");
  dte.resize(dte.size() - 2);
  WriteBytes("s6.dte", dte);
  dte = ReadBytes("s9.dte");
  dte[0] ^= 1;
  WriteBytes("s9.dte", dte);
  fs::remove("s10.info");
  scripts.push_back("intro");
  const auto run = [&](std::size_t threads) {
    std::ostringstream out, err;
    const int status = chainreport::Run(
        scripts, out, err, {nullptr, common::BlockReader::kBlockSize, threads});
    return testing_support::RunResult{status, out.str(), err.str()};
  };
  const testing_support::RunResult one = run(1);
  EXPECT_EQ(one.status, 1);
  std::size_t at = 0;
  for (const char* name : {"s3.", "s6.", "s9.", "s10."}) {
    const std::size_t found = one.err.find(name, at);
    ASSERT_NE(found, std::string::npos) << name << "\n" << one.err;
    at = found;
  }
  EXPECT_NE(one.out.find("\ns11 "), std::string::npos) << one.out;
  for (int round = 0; round < 10; ++round) {
    const testing_support::RunResult two = run(2);
    EXPECT_EQ(two.status, one.status);
    EXPECT_EQ(two.out, one.out);
    EXPECT_EQ(two.err, one.err);
  }
}

TEST_F(ChainreportTest, MessagesAndStatuses) {
  testing_support::CheckMessages(
      testing_support::ChainreportMessages(),
      [](const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int status = chainreport::Run(args, out, err);
        return testing_support::RunResult{status, out.str(), err.str()};
      });
}

}  // namespace
