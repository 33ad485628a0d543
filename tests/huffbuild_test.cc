#include "huffbuild/huffbuild.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <queue>
#include <random>
#include <set>
#include <sstream>

#include "common/bytes.h"
#include "common/commit.h"
#include "common/faults.h"
#include "tests/message_cases.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using huffbuild::NodeEntry;
using huffbuild::SymbolNode;
using testing_support::Bytes;
using testing_support::ReadBytes;
using testing_support::Snapshot;
using testing_support::UnitBytes;
using testing_support::Units;
using testing_support::WriteBytes;

constexpr std::size_t kLeaves = common::kCodeTableSize;

std::vector<SymbolNode> Leaves(const std::vector<std::int64_t>& counts) {
  std::vector<SymbolNode> leaves;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    leaves.push_back(
        {static_cast<std::uint16_t>(0x4000 + i), 0xFFFF, 0, counts[i]});
  }
  return leaves;
}

// Follows a pattern from the root ('0' = first, '1' = second) and returns
// the entry it ends on, or -1 if it leaves the tree or stops short of a leaf.
int Decode(const std::vector<NodeEntry>& table, const std::string& pattern) {
  std::size_t node = table.size() - 1;
  for (char bit : pattern) {
    if (table[node].second == huffbuild::kLeafMarker) return -1;
    node = bit == '0' ? table[node].first : table[node].second;
    if (node >= table.size()) return -1;
  }
  return table[node].second == huffbuild::kLeafMarker ? static_cast<int>(node)
                                                      : -1;
}

// The cost (sum of count x length) of an optimal prefix code, by the
// textbook priority-queue construction.
std::int64_t OptimalCost(const std::vector<std::int64_t>& counts) {
  std::priority_queue<std::int64_t, std::vector<std::int64_t>, std::greater<>>
      queue(counts.begin(), counts.end());
  std::int64_t cost = 0;
  while (queue.size() > 1) {
    const std::int64_t a = queue.top();
    queue.pop();
    const std::int64_t b = queue.top();
    queue.pop();
    cost += a + b;
    queue.push(a + b);
  }
  return cost;
}

// Checks the properties every code the program builds must have.
void ExpectSoundCode(const std::vector<NodeEntry>& table,
                     const std::vector<std::int64_t>& counts) {
  const std::size_t n = counts.size();
  ASSERT_EQ(table.size(), 2 * n - 1);
  const std::vector<std::string> patterns = huffbuild::BitPatterns(table, n);
  std::size_t longest = 0;
  std::int64_t cost = 0;
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_FALSE(patterns[i].empty());
    EXPECT_EQ(Decode(table, patterns[i]), static_cast<int>(i));
    longest = std::max(longest, patterns[i].size());
    cost += counts[i] * static_cast<std::int64_t>(patterns[i].size());
  }
  ASSERT_LT(longest, 63u);
  // Kraft sum exactly 1: the sum of 2^(longest - length) is 2^longest.
  std::uint64_t kraft = 0;
  for (const std::string& p : patterns)
    kraft += std::uint64_t{1} << (longest - p.size());
  EXPECT_EQ(kraft, std::uint64_t{1} << longest);
  // Prefix-free: in sorted order a prefix would stand right before.
  std::vector<std::string> sorted = patterns;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    EXPECT_NE(sorted[i].rfind(sorted[i - 1], 0), 0u) << sorted[i - 1];
  }
  EXPECT_EQ(cost, OptimalCost(counts));
}

TEST(Census, CountsUnitsInOrderOfFirstAppearanceThenFillers) {
  huffbuild::Census census;
  const Bytes first = {0x41, 0x1F, 0x00, 0x01, 0x41, 0x1F};
  const Bytes second = {0x26, 0x00, 0x00, 0x01, 0x42, 0x1F};
  census.CountUnits(first.data(), first.size());
  census.CountUnits(second.data(), second.size());
  EXPECT_EQ(census.distinct(), 4);
  const std::vector<SymbolNode> nodes = census.CompletedNodes();
  ASSERT_EQ(nodes.size(), kLeaves);
  const std::uint16_t kSymbols[] = {0x1F41, 0x0100, 0x0026, 0x1F42};
  const std::int64_t kCounts[] = {2, 2, 1, 1};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(nodes[i].first, kSymbols[i]);
    EXPECT_EQ(nodes[i].count, kCounts[i]);
    EXPECT_EQ(nodes[i].second, 0xFFFF);
  }
  // Fillers pass over 38 (0x0026), which the dte file holds.
  EXPECT_EQ(nodes[4].first, 39);
  EXPECT_EQ(nodes[4].count, 0);
  // 1448 fillers from 39, passing over 256 (0x0100) as well.
  EXPECT_EQ(nodes.back().first, 39 + 1448);
}

// Units of a few hundred values, some far more frequent than others.
Bytes SkewedUnits(unsigned seed, std::size_t count) {
  std::mt19937 random(seed);
  std::vector<std::uint16_t> units(count);
  for (auto& unit : units)
    unit = static_cast<std::uint16_t>(0x1F00 + random() % 40 * random() % 300);
  return UnitBytes(units);
}

void ExpectSameNodes(const huffbuild::Census& expected,
                     const huffbuild::Census& census) {
  const std::vector<SymbolNode> a = expected.CompletedNodes();
  const std::vector<SymbolNode> b = census.CompletedNodes();
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].first, b[i].first) << i;
    ASSERT_EQ(a[i].count, b[i].count) << i;
  }
}

TEST(Census, FoldedCountsAreTheSameCounts) {
  const Bytes bytes = SkewedUnits(38, 5000);
  huffbuild::Census whole;
  huffbuild::Census folded(3);
  whole.CountUnits(bytes.data(), bytes.size());
  for (std::size_t i = 0; i < bytes.size(); i += 6) {
    folded.CountUnits(bytes.data() + i,
                      std::min<std::size_t>(6, bytes.size() - i));
  }
  ExpectSameNodes(whole, folded);
}

TEST(Census, CombinedCensusesAreTheWholeRunsHoweverTwoThreadsSharedIt) {
  // Six files whose units overlap, taken by two threads in every way they
  // may be; folded or not.
  std::vector<Bytes> files;
  for (unsigned file = 0; file < 6; ++file) {
    files.push_back(SkewedUnits(100 + file, 300 + 50 * file));
  }
  for (std::uint64_t fold_every : {std::uint64_t{3}, std::uint64_t{1} << 31}) {
    huffbuild::Census whole(fold_every);
    for (const Bytes& file : files) whole.CountUnits(file.data(), file.size());
    for (unsigned taken_by = 0; taken_by < 64; ++taken_by) {
      std::vector<std::optional<huffbuild::Census>> censuses(2);
      std::vector<huffbuild::FileCensus> shared;
      for (std::size_t file = 0; file < files.size(); ++file) {
        const std::size_t thread = taken_by >> file & 1;
        huffbuild::Census& census = censuses[thread]
                                        ? *censuses[thread]
                                        : censuses[thread].emplace(fold_every);
        huffbuild::FileCensus counted{
            thread, static_cast<std::size_t>(census.distinct()), 0};
        census.CountUnits(files[file].data(), files[file].size());
        counted.met_to = static_cast<std::size_t>(census.distinct());
        shared.push_back(counted);
      }
      SCOPED_TRACE(taken_by);
      ExpectSameNodes(whole,
                      huffbuild::CombineCensuses(std::move(censuses), shared));
    }
  }
}

TEST(Census, FullCensusGetsNoFillerAndFillersNeverRepeatAUnit) {
  std::vector<std::uint16_t> units;
  for (int i = 0; i < 1451; ++i)
    units.push_back(static_cast<std::uint16_t>(38 + 2 * i));
  huffbuild::Census census;
  Bytes bytes = UnitBytes(units);
  census.CountUnits(bytes.data(), bytes.size());
  std::vector<SymbolNode> nodes = census.CompletedNodes();
  ASSERT_EQ(nodes.size(), kLeaves);
  EXPECT_EQ(nodes.back().first, 39);
  std::set<std::uint16_t> symbols;
  for (const SymbolNode& node : nodes) symbols.insert(node.first);
  EXPECT_EQ(symbols.size(), kLeaves);

  const Bytes one_more = Units({0x7777});
  census.CountUnits(one_more.data(), one_more.size());
  nodes = census.CompletedNodes();
  ASSERT_EQ(nodes.size(), kLeaves);
  EXPECT_EQ(nodes.back().first, 0x7777);
}

TEST(NodeTable, MergesTheTwoNodesThatSortLast) {
  // A, B, C, D with counts 8, 4, 2, 1: codes A 1, B 01, C 001, D 000.
  const std::vector<NodeEntry> table =
      huffbuild::BuildNodeTable(Leaves({8, 4, 2, 1}));
  const std::vector<NodeEntry> kExpected = {{0x4000, 0xFFFF},
                                            {0x4001, 0xFFFF},
                                            {0x4002, 0xFFFF},
                                            {0x4003, 0xFFFF},
                                            {3, 2},
                                            {4, 1},
                                            {5, 0}};
  EXPECT_EQ(table, kExpected);
  EXPECT_EQ(huffbuild::BitPatterns(table, 4),
            (std::vector<std::string>{"1", "01", "001", "000"}));
}

TEST(NodeTable, TiesResolvedReproducibly) {
  // A leaf and a merged node of equal count: the leaf is taken first.
  EXPECT_EQ(huffbuild::BuildNodeTable(Leaves({2, 1, 1}))[4], (NodeEntry{0, 3}));
  // Equal nodes keep their order in the working array: 0,1,2,3 of count 1
  // merge as {3,2}, then {1,0}, and the second merged node sorts behind the
  // first.
  const std::vector<NodeEntry> table =
      huffbuild::BuildNodeTable(Leaves({1, 1, 1, 1}));
  EXPECT_EQ(std::vector<NodeEntry>(table.begin() + 4, table.end()),
            (std::vector<NodeEntry>{{3, 2}, {1, 0}, {5, 4}}));
}

TEST(NodeTable, FillersFormTheirOwnSubtreeFirst) {
  for (std::size_t fillers : {8u, 5u}) {
    SCOPED_TRACE(fillers);
    std::vector<std::int64_t> counts(kLeaves - fillers);
    for (std::size_t i = 0; i < counts.size(); ++i)
      counts[i] = 1 + static_cast<std::int64_t>(i % 7);
    counts.resize(kLeaves, 0);
    const std::vector<NodeEntry> table =
        huffbuild::BuildNodeTable(Leaves(counts));
    // The first merges join fillers only.
    for (std::size_t m = 0; m < fillers - 1; ++m) {
      const NodeEntry& merge = table[kLeaves + m];
      for (std::uint16_t child : {merge.first, merge.second}) {
        EXPECT_TRUE(child >= kLeaves - fillers) << "merge " << m;
      }
    }
    const std::vector<std::string> patterns =
        huffbuild::BitPatterns(table, kLeaves);
    std::set<std::size_t> lengths;
    for (std::size_t i = kLeaves - fillers; i < kLeaves; ++i)
      lengths.insert(patterns[i].size());
    if (fillers == 8) {
      EXPECT_EQ(lengths.size(), 1u);  // a full subtree of height 3
    }
    ExpectSoundCode(table, counts);
  }
}

TEST(NodeTable, RandomCountsGiveAnOptimalPrefixFreeCode) {
  std::mt19937_64 random(1452);
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE(round);
    const std::size_t n =
        round < 5 ? 2 + static_cast<std::size_t>(round) : kLeaves;
    std::vector<std::int64_t> counts(n);
    const int shape = round % 3;
    for (auto& c : counts) {
      const std::uint64_t r = random();
      c = shape == 0   ? static_cast<std::int64_t>(r % 1000)
          : shape == 1 ? static_cast<std::int64_t>(1 + r % 3)
                       : static_cast<std::int64_t>(
                             (r % 1000000) * (r % 1000000) / 1000 % 5000000);
    }
    ExpectSoundCode(huffbuild::BuildNodeTable(Leaves(counts)), counts);
  }
}

class HuffbuildTest : public testing_support::TempDirTest {
 protected:
  int Run(std::vector<std::string> args, common::Faults* faults = nullptr,
          std::size_t block_size = common::BlockReader::kBlockSize) {
    out_.str("");
    err_.str("");
    return huffbuild::Run(args, out_, err_, {faults, block_size});
  }
  static std::vector<std::uint16_t> BitSymbols() {
    const Bytes bit = ReadBytes("tesk.bit");
    std::vector<std::uint16_t> symbols;
    for (std::size_t i = 0; i + 1 < bit.size();
         i += huffbuild::kBitRecordSize) {
      symbols.push_back(common::ReadLe16(bit.data() + i));
    }
    return symbols;
  }
  std::ostringstream out_, err_;
};

const std::string kProgress =
    "Building Bit Pattern Table, please be patient...\n" + std::string(29, '.');

TEST_F(HuffbuildTest, WritesBothTablesAndReportsTheLongestPattern) {
  WriteBytes("a.dte", {0x41, 0x1F, 0x00, 0x01, 0x41, 0x1F, 0x41, 0x1F});
  WriteBytes("b.dte", {0x00, 0x01, 0x42, 0x1F});
  ASSERT_EQ(Run({"a", "b", "a"}), 0);
  EXPECT_EQ(err_.str(), "");

  const Bytes tbl = ReadBytes("tesk.tbl");
  const Bytes bit = ReadBytes("tesk.bit");
  ASSERT_EQ(tbl.size(), 11612u);
  ASSERT_EQ(bit.size(), 148104u);
  std::vector<NodeEntry> table;
  for (std::size_t i = 0; i < tbl.size(); i += 4) {
    table.push_back({common::ReadLe16(tbl.data() + i),
                     common::ReadLe16(tbl.data() + i + 2)});
  }
  // Symbols in census order, low byte first; a script named twice counts
  // twice; fillers from 38 on.
  const std::vector<std::uint16_t> symbols = BitSymbols();
  EXPECT_EQ(std::vector<std::uint16_t>(symbols.begin(), symbols.begin() + 4),
            (std::vector<std::uint16_t>{0x1F41, 0x0100, 0x1F42, 38}));
  EXPECT_EQ(bit[102], 0x00);
  EXPECT_EQ(bit[103], 0x01);

  std::size_t longest = 0;
  for (std::size_t leaf = 0; leaf < kLeaves; ++leaf) {
    const std::uint8_t* field = bit.data() + leaf * 102 + 2;
    const std::string pattern(reinterpret_cast<const char*>(field));
    ASSERT_LT(pattern.size(), 100u);
    for (std::size_t k = pattern.size(); k < 100; ++k) ASSERT_EQ(field[k], 0);
    EXPECT_EQ(Decode(table, pattern), static_cast<int>(leaf));
    EXPECT_EQ(table[leaf].first, symbols[leaf]);
    longest = std::max(longest, pattern.size());
  }
  // The most frequent unit (0x1F41, 6 times) has the shortest pattern.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bit.data() + 2)), "1");
  EXPECT_EQ(out_.str(), kProgress + "\n\tLongest pattern: " +
                            std::to_string(longest) + " bits\n");
}

TEST_F(HuffbuildTest, EmptyDteFileGivesFillersOnly) {
  WriteBytes("a.dte", {});
  ASSERT_EQ(Run({"a"}), 0);
  const std::vector<std::uint16_t> symbols = BitSymbols();
  ASSERT_EQ(symbols.size(), kLeaves);
  EXPECT_EQ(symbols.front(), 38);
  EXPECT_EQ(symbols.back(), 1489);
}

TEST_F(HuffbuildTest, MissingScriptsAreSkippedInOrder) {
  WriteBytes("b.dte", Units({0x1F41}));
  ASSERT_EQ(Run({"a", "b", "c"}), 0);
  const std::string kSkips =
      "Could not open puretext file for script \"a\". Skipping...\n"
      "Could not open puretext file for script \"c\". Skipping...\n";
  EXPECT_EQ(out_.str().substr(0, kSkips.size() + kProgress.size()),
            kSkips + kProgress);
}

TEST_F(HuffbuildTest, MessagesAndStatuses) {
  testing_support::CheckMessages(
      testing_support::HuffbuildMessages(),
      [](const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int status = huffbuild::Run(args, out, err);
        return testing_support::RunResult{status, out.str(), err.str()};
      });
}

TEST_F(HuffbuildTest, PatternTooLongForItsFieldIsRefused) {
  // A chain: every merge takes the next leaf, so leaf 0 lies 1451 deep.
  std::vector<NodeEntry> table;
  for (std::size_t i = 0; i < kLeaves; ++i)
    table.push_back({static_cast<std::uint16_t>(0x100 + i), 0xFFFF});
  table.push_back({0, 1});
  for (std::size_t i = 2; i < kLeaves; ++i) {
    table.push_back({static_cast<std::uint16_t>(table.size() - 1),
                     static_cast<std::uint16_t>(i)});
  }
  EXPECT_FALSE(huffbuild::WriteTables(table, out_));
  EXPECT_EQ(out_.str(),
            "Pattern for symbol 0100 is 1451 bits long, more than 99. Shutting "
            "down...\n");
  EXPECT_TRUE(Snapshot(".").empty());
}

TEST_F(HuffbuildTest, FailedWriteLeavesBothTablesAsTheyWere) {
  WriteBytes("a.dte", Units({0x1F41, 0x0001}));
  WriteBytes("tesk.tbl", {1, 2, 3, 4});
  WriteBytes("tesk.bit", {5, 6, 7});
  const auto before = Snapshot(".");
  const std::string kTableFailed =
      "\nCould not write target Encoded 'Text' file, tesk.tbl. Shutting "
      "down...\n";
  const std::string kBitsFailed =
      "\nCould not write target Bit Pattern Table file, tesk.bit. Shutting "
      "down...\n";
  for (std::uint64_t space : {0u, 11611u, 11612u, 11612u + 148103u}) {
    SCOPED_TRACE(space);
    common::Faults faults;
    faults.LimitSpace(space);
    EXPECT_EQ(Run({"a"}, &faults), 1);
    EXPECT_EQ(out_.str(),
              kProgress + (space < 11612 ? kTableFailed : kBitsFailed));
    EXPECT_EQ(Snapshot("."), before);
  }
  // Renames: tesk.tbl in, tesk.bit in (their old files get second names).
  for (int nth : {0, 1}) {
    SCOPED_TRACE(nth);
    common::Faults faults;
    faults.FailAt(common::FaultPoint::kRename, nth);
    EXPECT_EQ(Run({"a"}, &faults), 1);
    EXPECT_EQ(out_.str(), kProgress + (nth == 0 ? kTableFailed : kBitsFailed));
    EXPECT_EQ(Snapshot("."), before);
    EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
  }
}

TEST_F(HuffbuildTest, ReadFailureOfADteFileChangesNothing) {
  WriteBytes("a.dte", Units({0x1F41, 0x0001, 0x1F42, 0x1F43, 0x0005}));
  WriteBytes("tesk.tbl", {1, 2, 3, 4});
  const auto before = Snapshot(".");
  common::Faults faults;
  faults.AfterOpen([](const fs::path& path) { fs::resize_file(path, 4); });
  EXPECT_EQ(Run({"a"}, &faults, common::BlockReader::kMinBlockSize), 1);
  EXPECT_EQ(out_.str(),
            "Could not read dte file for script \"a\". Shutting down...\n");
  WriteBytes("a.dte", Units({0x1F41, 0x0001, 0x1F42, 0x1F43, 0x0005}));
  EXPECT_EQ(Snapshot("."), before);
}

TEST_F(HuffbuildTest, BlockSizeChangesNoByte) {
  std::vector<std::uint16_t> units;
  for (int i = 0; i < 5000; ++i)
    units.push_back(static_cast<std::uint16_t>(0x1F00 + (i * 7) % 300));
  WriteBytes("a.dte", UnitBytes(units));
  ASSERT_EQ(Run({"a"}), 0);
  const Bytes tbl = ReadBytes("tesk.tbl");
  const Bytes bit = ReadBytes("tesk.bit");
  for (std::size_t block_size :
       {std::size_t{8}, std::size_t{10}, std::size_t{4096}}) {
    SCOPED_TRACE(block_size);
    ASSERT_EQ(Run({"a"}, nullptr, block_size), 0) << out_.str();
    EXPECT_EQ(ReadBytes("tesk.tbl"), tbl);
    EXPECT_EQ(ReadBytes("tesk.bit"), bit);
  }
}

TEST_F(HuffbuildTest, ScriptsSharedByTwoThreadsBuildWhatOneBuilds) {
  // Scripts whose units overlap, so that the order of first appearance over
  // the run decides ties; some missing (told, and passed over) and, in a
  // second run, one that ends the run: its message is the last one told.
  std::mt19937 random(38);
  std::vector<std::string> scripts;
  for (int i = 0; i < 16; ++i) {
    const std::string name = std::string("s").append(std::to_string(i));
    scripts.push_back(name);
    if (i % 5 == 3) continue;
    std::vector<std::uint16_t> units(200 + random() % 400);
    for (auto& unit : units)
      unit = static_cast<std::uint16_t>(0x1F00 + (i * 37 + random() % 60));
    WriteBytes(name + ".dte", UnitBytes(units));
  }
  struct Built {
    int status;
    std::string out;
    Bytes tbl, bit;
  };
  const auto run = [&](std::size_t threads) {
    std::ostringstream out, err;
    const int status = huffbuild::Run(
        scripts, out, err, {nullptr, common::BlockReader::kBlockSize, threads});
    EXPECT_EQ(err.str(), "");
    return Built{status, out.str(), ReadBytes("tesk.tbl"),
                 ReadBytes("tesk.bit")};
  };
  for (bool ending : {false, true}) {
    SCOPED_TRACE(ending);
    if (ending) WriteBytes("s9.dte", {0x41});
    const Built one = run(1);
    EXPECT_EQ(one.status, ending ? 1 : 0) << one.out;
    EXPECT_NE(one.out.find("s8"), std::string::npos) << one.out;
    EXPECT_EQ(one.out.find("s13") == std::string::npos, ending) << one.out;
    for (int round = 0; round < 10; ++round) {
      const Built two = run(2);
      EXPECT_EQ(two.status, one.status);
      EXPECT_EQ(two.out, one.out);
      ASSERT_EQ(two.tbl, one.tbl);
      ASSERT_EQ(two.bit, one.bit);
    }
  }
}

TEST_F(HuffbuildTest, TargetsThatCannotBeWrittenAreReported) {
  WriteBytes("a.dte", Units({0x1F41}));
  fs::create_directory("tesk.bit");
  EXPECT_EQ(Run({"a"}), 1);
  EXPECT_EQ(out_.str(),
            "Building Bit Pattern Table, please be patient...\n"
            "Could not open target Bit Pattern Table file, tesk.bit. Shutting "
            "down...\n");
  EXPECT_FALSE(fs::exists("tesk.tbl"));
  fs::remove("tesk.bit");
  fs::create_directory("tesk.tbl");
  EXPECT_EQ(Run({"a"}), 1);
  EXPECT_EQ(out_.str(),
            "Could not open target Encoded 'Text' file, tesk.tbl. Shutting "
            "down...\n");
  EXPECT_FALSE(fs::exists("tesk.bit"));
}

}  // namespace
