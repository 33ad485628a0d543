#include "huffbuild/huffbuild.h"

#include <algorithm>
#include <new>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/format.h"
#include "common/script_files.h"

namespace huffbuild {
namespace {

using common::Format;

constexpr const char* kUsage =
    "huffbuild usage:\n  huffbuild script1 [script2] [script3] [...]";
constexpr const char* kTableName = common::kNodeTableName;
constexpr const char* kBitName = common::kBitPatternTableName;
constexpr const char* kTableWriteFailed =
    "Could not write target Encoded 'Text' file, tesk.tbl. Shutting down...\n";
constexpr const char* kBitWriteFailed =
    "Could not write target Bit Pattern Table file, tesk.bit. Shutting "
    "down...\n";
constexpr std::size_t kLeafCount = common::kCodeTableSize;

// Reads every named dte file into the census. Returns false, after its
// message, when the run must end.
bool TakeCensus(const std::vector<std::string>& scripts, Census& census,
                std::ostream& out) {
  bool any_read = false;
  for (const std::string& script : scripts) {
    common::BlockReader dte;
    if (!dte.Open(common::DteName(script))) {
      out << Format(
          "Could not open puretext file for script \"%s\". Skipping...\n",
          script.c_str());
      continue;
    }
    if (dte.size() % 2 != 0) {
      out << Format(
          "Dte file for script \"%s\" has an odd length. Shutting down...\n",
          script.c_str());
      return false;
    }
    any_read = true;
    while (dte.remaining() > 0) {
      // Blocks hold whole units: the reader fills to the block size or the
      // end, and both are even.
      const std::size_t readable = dte.Fill(common::BlockReader::kBlockSize);
      if (readable == 0 || readable % 2 != 0) break;
      census.CountUnits(dte.data(), readable);
      dte.Consume(readable);
    }
    if (dte.failed() || dte.remaining() > 0) {
      out << Format(
          "Could not read dte file for script \"%s\". Shutting down...\n",
          script.c_str());
      return false;
    }
  }
  if (!any_read) {
    out << "No dte file could be read. Shutting down...\n";
    return false;
  }
  if (census.distinct() > common::kCodeTableSize) {
    out << Format(
        "Too many distinct code units: %d found, the table holds 1452. "
        "Shutting down...\n",
        census.distinct());
    return false;
  }
  return true;
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              common::DiskQuota* quota) {
  if (args.empty()) {
    out << kUsage;
    return 1;
  }
  if (args.size() == 1 && args[0] == "--help") {
    out << kUsage << "\n";
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    out << "huffbuild " TESK_VERSION "\n";
    return 0;
  }
  Census census;
  if (!TakeCensus(args, census, out)) return 1;
  return WriteTables(BuildNodeTable(census.CompletedNodes()), out, quota);
}

}  // namespace

Census::Census() : counts_(65536, 0) {}

void Census::CountUnits(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const std::uint16_t unit = common::ReadLe16(data + i);
    if (counts_[unit]++ == 0) order_.push_back(unit);
  }
}

std::vector<SymbolNode> Census::CompletedNodes() const {
  std::vector<SymbolNode> nodes;
  nodes.reserve(std::max(order_.size(), kLeafCount));
  for (std::uint16_t unit : order_) {
    nodes.push_back({unit, kLeafMarker, 0, counts_[unit]});
  }
  int filler = kFirstFillerSymbol;
  while (nodes.size() < kLeafCount) {
    while (counts_[static_cast<std::size_t>(filler)] != 0) ++filler;
    nodes.push_back({static_cast<std::uint16_t>(filler), kLeafMarker, 0, 0});
    ++filler;
  }
  return nodes;
}

std::vector<NodeEntry> BuildNodeTable(const std::vector<SymbolNode>& leaves) {
  struct Working {
    std::int64_t count;
    std::int32_t depth;
    std::uint16_t index;
  };
  const auto sorts_before = [](const Working& a, const Working& b) {
    return a.count > b.count || (a.count == b.count && a.depth > b.depth);
  };

  std::vector<NodeEntry> table;
  table.reserve(2 * leaves.size());
  std::vector<Working> working;
  working.reserve(leaves.size());
  for (const SymbolNode& leaf : leaves) {
    working.push_back({leaf.count, leaf.depth,
                       static_cast<std::uint16_t>(table.size())});
    table.push_back({leaf.first, leaf.second});
  }
  std::stable_sort(working.begin(), working.end(), sorts_before);
  while (working.size() > 1) {
    const Working last = working.back();
    working.pop_back();
    const Working before_last = working.back();
    working.pop_back();
    const Working merged{last.count + before_last.count,
                         std::max(last.depth, before_last.depth) + 1,
                         static_cast<std::uint16_t>(table.size())};
    table.push_back({last.index, before_last.index});
    // The rest stays sorted, so a stable sort of the whole working set would
    // put the merged node behind every node that sorts before it or equal
    // to it.
    working.insert(std::upper_bound(working.begin(), working.end(), merged,
                                    sorts_before),
                   merged);
  }
  return table;
}

std::vector<std::string> BitPatterns(const std::vector<NodeEntry>& table,
                                     std::size_t leaf_count) {
  std::vector<std::size_t> parent(table.size(), table.size());
  std::vector<char> branch(table.size(), '0');
  for (std::size_t i = leaf_count; i < table.size(); ++i) {
    if (table[i].first >= i || table[i].second >= i) continue;
    parent[table[i].first] = i;
    parent[table[i].second] = i;
    branch[table[i].second] = '1';
  }
  std::vector<std::string> patterns(leaf_count);
  for (std::size_t leaf = 0; leaf < leaf_count; ++leaf) {
    std::string& pattern = patterns[leaf];
    for (std::size_t node = leaf; parent[node] != table.size();
         node = parent[node]) {
      pattern.push_back(branch[node]);
    }
    std::reverse(pattern.begin(), pattern.end());
  }
  return patterns;
}

int WriteTables(const std::vector<NodeEntry>& table, std::ostream& out,
                common::DiskQuota* quota) {
  const std::vector<std::string> patterns = BitPatterns(table, kLeafCount);
  int longest = 0;
  for (std::size_t leaf = 0; leaf < kLeafCount; ++leaf) {
    const int length = static_cast<int>(patterns[leaf].size());
    if (length > kLongestPattern) {
      out << Format(
          "Pattern for symbol %04X is %d bits long, more than 99. Shutting "
          "down...\n",
          table[leaf].first, length);
      return 1;
    }
    longest = std::max(longest, length);
  }

  common::AtomicFile tbl(kTableName, quota);
  if (!tbl.Open()) {
    out << "Could not open target Encoded 'Text' file, tesk.tbl. Shutting "
           "down...\n";
    return 1;
  }
  tbl.Write(common::EncodeNodeTable(table));

  out << "Building Bit Pattern Table, please be patient...\n";
  common::AtomicFile bit(kBitName, quota);
  if (!bit.Open()) {
    out << "Could not open target Bit Pattern Table file, tesk.bit. Shutting "
           "down...\n";
    return 1;
  }
  std::vector<std::uint8_t> record;
  for (std::size_t leaf = 0; leaf < kLeafCount; ++leaf) {
    record.clear();
    common::AppendBitRecord(record, table[leaf].first, patterns[leaf]);
    bit.Write(record);
    if ((leaf + 1) % 50 == 0) out << ".";
  }

  if (!tbl.Finish()) {
    out << kTableWriteFailed;
    return 1;
  }
  if (!bit.Finish()) {
    out << kBitWriteFailed;
    return 1;
  }
  // The two tables are one result: should the second rename fail, the old
  // node table goes back.
  std::vector<std::uint8_t> old_table;
  const bool had_table =
      common::ReadWholeFile(kTableName, old_table) == common::ReadResult::kOk;
  if (!tbl.Commit()) {
    out << kTableWriteFailed;
    return 1;
  }
  if (!bit.Commit()) {
    if (had_table) {
      common::AtomicFile restore(kTableName);
      if (restore.Open()) {
        restore.Write(old_table);
        if (restore.Finish()) restore.Commit();
      }
    } else {
      std::error_code ec;
      std::filesystem::remove(kTableName, ec);
    }
    out << kBitWriteFailed;
    return 1;
  }
  out << Format("\n\tLongest pattern: %d bits\n", longest);
  return 0;
}

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, common::DiskQuota* quota) {
  (void)err;  // every message of huffbuild goes to standard output
  try {
    return RunStages(args, out, quota);
  } catch (const std::bad_alloc&) {
    out << "Out of memory. Shutting down...\n";
    return 1;
  }
}

}  // namespace huffbuild
