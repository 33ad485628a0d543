#include "huffbuild/huffbuild.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <optional>
#include <sstream>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/command_line.h"
#include "common/commit.h"
#include "common/file_io.h"
#include "common/format.h"
#include "common/interrupts.h"
#include "common/output_file.h"
#include "common/script_files.h"
#include "common/shared_work.h"

namespace huffbuild {

// Every message, in the order the README lists them. All go to standard
// output.
constexpr const char* kUsage =
    "huffbuild usage:\n  huffbuild script1 [script2] [script3] [...]";
constexpr const char* kHelpDetails =
    "\n\n"
    "A script is named by its base name, without an extension. huffbuild\n"
    "reads each script's S.dte (as pairpick wrote it) and writes one Huffman\n"
    "code over all of them to the current folder: tesk.tbl, the node table\n"
    "the game's decoder walks, and tesk.bit, the Bit Pattern Table.\n";
// Said when a script's dte file is missing. It speaks of the puretext file
// although the dte file is meant: it is the program's own text, which build
// scripts match, so it stays as it is.
constexpr const char* kCannotOpenDte =
    "Could not open puretext file for script \"%s\". Skipping...\n";
constexpr const char* kDteNotAFile =
    "Dte file for script \"%s\" is not a regular file. Shutting down...\n";
constexpr const char* kOddDte =
    "Dte file for script \"%s\" has an odd length. Shutting down...\n";
constexpr const char* kCannotReadDte =
    "Could not read dte file for script \"%s\". Shutting down...\n";
constexpr const char* kNothingRead =
    "No dte file could be read. Shutting down...\n";
constexpr const char* kTooManyUnits =
    "Too many distinct code units: %d found, the table holds 1452. Shutting "
    "down...\n";
constexpr const char* kPatternTooLong =
    "Pattern for symbol %04X is %d bits long, more than 99. Shutting down...\n";
constexpr const char* kCannotOpenTable =
    "Could not open target Encoded 'Text' file, tesk.tbl. Shutting down...\n";
constexpr const char* kBuilding =
    "Building Bit Pattern Table, please be patient...\n";
constexpr const char* kCannotOpenBits =
    "Could not open target Bit Pattern Table file, tesk.bit. Shutting "
    "down...\n";
constexpr const char* kCannotWriteTable =
    "Could not write target Encoded 'Text' file, tesk.tbl. Shutting down...\n";
constexpr const char* kCannotWriteBits =
    "Could not write target Bit Pattern Table file, tesk.bit. Shutting "
    "down...\n";
constexpr const char* kLongestPatternIs = "\n\tLongest pattern: %d bits\n";
constexpr const char* kOutOfMemory = "Out of memory. Shutting down...\n";
const char* const kInterrupted = "Interrupted. Shutting down...\n";

namespace {

using common::Format;

constexpr std::size_t kLeafCount = common::kCodeTableSize;
constexpr int kRecordsPerDot = 50;

// Reads one dte file into the census. Returns false, after its message,
// when the run must end; *read says whether the file was there.
bool CountDteFile(const std::string& script, common::BlockReader& dte,
                  Census& census, bool* read, std::uint32_t* limit,
                  std::ostream& out) {
  std::error_code ec;
  switch (dte.Open(common::DteName(script), ec)) {
    case common::OpenResult::kOk:
      break;
    case common::OpenResult::kMissing:
    case common::OpenResult::kDenied:
      out << Format(kCannotOpenDte, script.c_str());
      return true;
    case common::OpenResult::kFailed:
      // Not missing: the system could not open it (no descriptors left,
      // an I/O error), which no run may take for success.
      out << Format(kCannotReadDte, script.c_str());
      return false;
    case common::OpenResult::kNotRegular:
      out << Format(kDteNotAFile, script.c_str());
      return false;
  }
  if (dte.size() % 2 != 0) {
    out << Format(kOddDte, script.c_str());
    return false;
  }
  *read = true;
  *limit &= dte.facts().permissions;
  while (dte.remaining() > 0) {
    // The reader fills to the block's size or the file's end; both are
    // even, so every block holds whole units.
    const std::size_t readable = dte.Fill(2);
    if (readable == 0 || readable % 2 != 0) break;
    census.CountUnits(dte.data(), readable);
    dte.Consume(readable);
  }
  if (dte.failed() || dte.remaining() > 0) {
    out << Format(kCannotReadDte, script.c_str());
    return false;
  }
  return true;
}

// A second thread pays for its census and block only where the run reads
// much: 32 MiB of dte files or more, as the first few named foretell. A
// file that cannot be opened counts as empty; the files are opened and
// measured again when they are read.
bool WorthSharing(const std::vector<std::string>& scripts) {
  constexpr std::size_t kLookedAt = 4;
  constexpr std::uint64_t kEnough = std::uint64_t{32} << 20;
  const std::size_t looked_at = std::min(kLookedAt, scripts.size());
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < looked_at; ++i) {
    common::NativeFile file;
    common::FileFacts facts;
    std::error_code ec;
    if (common::NativeFile::OpenForReading(common::DteName(scripts[i]), file,
                                           ec,
                                           &facts) == common::OpenResult::kOk) {
      seen += facts.size;
    }
  }
  return looked_at > 0 && seen / looked_at * scripts.size() >= kEnough;
}

// What reading one dte file found.
struct DteCount {
  bool go_on = true;  // false: the run ends here
  bool read = false;
  std::uint32_t permissions = 0777;
  FileCensus census;
};

// Counts every named dte file on `threads` threads, each with a census and
// block of its own (the first thread's block is `block`), and tells each
// file's messages in the files' order, up to the first file that ends the
// run; returns nullopt there. The census is the one a single thread takes.
std::optional<Census> CountDteFiles(const std::vector<std::string>& scripts,
                                    std::size_t threads,
                                    std::span<std::uint8_t> block,
                                    bool* any_read, std::uint32_t* limit,
                                    common::MessagesInOrder& messages,
                                    const common::RunSettings& settings) {
  std::vector<DteCount> counts(scripts.size());
  std::vector<std::optional<Census>> censuses(threads);
  std::vector<std::optional<common::Block>> blocks(threads);
  // No file after one that ends the run counts, as on one thread; one that
  // another thread took meanwhile is counted in vain. This spares reading
  // the files that no thread took yet.
  std::atomic<std::size_t> ended_at{scripts.size()};
  common::ShareWork(
      scripts.size(), threads, [&](std::size_t script, std::size_t thread) {
        if (script > ended_at.load()) return;
        Census& own =
            censuses[thread] ? *censuses[thread] : censuses[thread].emplace();
        const std::span<std::uint8_t> own_block =
            thread == 0
                ? block
                : (blocks[thread] ? *blocks[thread]
                                  : blocks[thread].emplace(block.size()))
                      .span();
        // An even block keeps every read to whole units.
        common::BlockReader dte(
            own_block.first(own_block.size() & ~std::size_t{1}),
            settings.faults);
        DteCount& count = counts[script];
        std::ostringstream told;
        count.census.thread = thread;
        count.census.met_from = static_cast<std::size_t>(own.distinct());
        count.go_on = CountDteFile(scripts[script], dte, own, &count.read,
                                   &count.permissions, told);
        count.census.met_to = static_cast<std::size_t>(own.distinct());
        messages.Done(script, told.str(), !count.go_on);
        if (!count.go_on) {
          std::size_t ended = ended_at.load();
          while (script < ended &&
                 !ended_at.compare_exchange_weak(ended, script)) {
          }
        }
      });
  std::vector<FileCensus> files;
  files.reserve(counts.size());
  for (const DteCount& count : counts) {
    if (!count.go_on) return std::nullopt;
    *any_read = *any_read || count.read;
    *limit &= count.permissions;
    files.push_back(count.census);
  }
  // The first file is always counted, so one census at least is there.
  return CombineCensuses(std::move(censuses), files);
}

// Reads every named dte file into a census. Returns nullopt, after its
// message, when the run must end.
// *limit keeps the permission bits all dte files share: the tables show no
// more than they do.
std::optional<Census> TakeCensus(const std::vector<std::string>& scripts,
                                 std::span<std::uint8_t> block,
                                 std::uint32_t* limit, std::ostream& out,
                                 const common::RunSettings& settings) {
  // The faults' hook counts on one thread.
  std::size_t threads = 1;
  if (settings.faults == nullptr &&
      (settings.threads != 0 || WorthSharing(scripts))) {
    threads = common::ThreadsFor(scripts.size(), settings.threads);
  }
  common::MessagesInOrder messages(scripts.size(), out);
  bool any_read = false;
  std::optional<Census> census = CountDteFiles(
      scripts, threads, block, &any_read, limit, messages, settings);
  if (!census) return std::nullopt;
  if (!any_read) {
    out << kNothingRead;
    return std::nullopt;
  }
  if (census->distinct() > common::kCodeTableSize) {
    out << Format(kTooManyUnits, census->distinct());
    return std::nullopt;
  }
  return census;
}

// The longest pattern, or nullopt after the message when one does not fit
// its field.
std::optional<int> LongestPattern(const std::vector<NodeEntry>& table,
                                  const std::vector<std::string>& patterns,
                                  std::ostream& out) {
  int longest = 0;
  for (std::size_t leaf = 0; leaf < kLeafCount; ++leaf) {
    const int length = static_cast<int>(patterns[leaf].size());
    if (length > kLongestPattern) {
      out << Format(kPatternTooLong, table[leaf].first, length);
      return std::nullopt;
    }
    longest = std::max(longest, length);
  }
  return longest;
}

bool WriteNodeTable(const std::vector<NodeEntry>& table,
                    common::OutputFile& tbl, std::uint32_t limit,
                    std::ostream& out) {
  std::error_code ec;
  if (tbl.Begin(common::kNodeTableName, ec, limit) !=
      common::OutputProblem::kNone) {
    out << kCannotOpenTable;
    return false;
  }
  tbl.Write(common::EncodeNodeTable(table));
  return true;
}

// Writes the Bit Pattern Table with a dot for every 50 records.
bool WriteBitPatternTable(const std::vector<NodeEntry>& table,
                          const std::vector<std::string>& patterns,
                          common::OutputFile& bit, std::uint32_t limit,
                          std::ostream& out) {
  out << kBuilding;
  std::error_code ec;
  if (bit.Begin(common::kBitPatternTableName, ec, limit) !=
      common::OutputProblem::kNone) {
    out << kCannotOpenBits;
    return false;
  }
  std::vector<std::uint8_t> record;
  for (std::size_t leaf = 0; leaf < kLeafCount; ++leaf) {
    record.clear();
    common::AppendBitRecord(record, table[leaf].first, patterns[leaf]);
    bit.Write(record);
    if ((leaf + 1) % kRecordsPerDot == 0) out << ".";
  }
  return true;
}

// Finishes both tables and renames them over the old ones as one group.
// Failures follow the dots, so their messages start on a line of their own.
bool CommitTables(common::OutputFile& tbl, common::OutputFile& bit,
                  std::ostream& out, const common::RunSettings& settings) {
  std::error_code ec;
  if (!tbl.Finish(ec)) {
    out << "\n" << kCannotWriteTable;
    return false;
  }
  if (!bit.Finish(ec)) {
    out << "\n" << kCannotWriteBits;
    return false;
  }
  common::Commit commit(settings.faults);
  commit.Add({tbl.HandOver(), bit.HandOver()});
  const common::Commit::Outcome outcome = commit.CommitAll(true).front();
  if (outcome.ec == std::errc::interrupted) {
    out << "\n" << kInterrupted;
    return false;
  }
  if (!outcome.committed) {
    out << "\n" << (outcome.file == 0 ? kCannotWriteTable : kCannotWriteBits);
    return false;
  }
  return true;
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              const common::RunSettings& settings) {
  if (args.empty()) {
    out << kUsage;
    return 1;
  }
  if (const std::optional<int> status = common::AnswerHelpOrVersion(
          args, "huffbuild", TESK_VERSION, std::string(kUsage) + kHelpDetails,
          out)) {
    return *status;
  }
  // One block serves the reading of the dte files, then the writing.
  const common::Block block(settings.block_size);
  std::uint32_t limit = 0777;
  const std::optional<Census> census =
      TakeCensus(args, block, &limit, out, settings);
  if (!census) return 1;
  return WriteTables(BuildNodeTable(census->CompletedNodes()), block, out,
                     settings, limit)
             ? 0
             : 1;
}

}  // namespace

Census::Census(std::uint64_t fold_every)
    : recent_(common::kUnitValueCount, 0), fold_every_(fold_every) {}

void Census::CountUnits(const std::uint8_t* data, std::size_t size) {
  if (recent_units_ + size / 2 > fold_every_) Fold();
  recent_units_ += size / 2;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const std::uint16_t unit = common::ReadLe16(data + i);
    if (recent_[unit]++ == 0) order_.push_back(unit);
  }
}

void Census::Fold() {
  folded_.resize(common::kUnitValueCount, 0);
  for (std::size_t unit = 0; unit < recent_.size(); ++unit) {
    if (recent_[unit] == 0) continue;
    folded_[unit] += recent_[unit] - 1;
    recent_[unit] = 1;
  }
  recent_units_ = 0;
}

Census CombineCensuses(std::vector<std::optional<Census>> censuses,
                       const std::vector<FileCensus>& files) {
  std::vector<bool> met(common::kUnitValueCount, false);
  std::vector<std::uint16_t> order;
  for (const FileCensus& file : files) {
    const std::span<const std::uint16_t> first_met =
        censuses[file.thread]->order();
    for (std::size_t i = file.met_from; i < file.met_to; ++i) {
      if (!met[first_met[i]]) order.push_back(first_met[i]);
      met[first_met[i]] = true;
    }
  }
  std::optional<Census> census;
  for (std::optional<Census>& counted : censuses) {
    if (!counted) continue;
    if (!census) {
      census = std::move(counted);
    } else {
      census->Absorb(*counted, order);
    }
  }
  return std::move(*census);
}

void Census::Absorb(const Census& other, std::vector<std::uint16_t> order) {
  for (std::uint16_t unit : other.order_) {
    const std::int64_t total = Count(unit) + other.Count(unit);
    if (folded_.empty() && total <= UINT32_MAX) {
      recent_[unit] = static_cast<std::uint32_t>(total);
    } else {
      // A unit met has a recent count of 1 at least.
      folded_.resize(common::kUnitValueCount, 0);
      folded_[unit] = total - 1;
      recent_[unit] = 1;
    }
  }
  order_ = std::move(order);
  // A recent count may now be near its 32 bits: counting on folds first.
  recent_units_ = fold_every_;
}

std::int64_t Census::Count(std::uint16_t unit) const {
  return recent_[unit] + (folded_.empty() ? 0 : folded_[unit]);
}

std::vector<SymbolNode> Census::CompletedNodes() const {
  std::vector<SymbolNode> nodes;
  nodes.reserve(std::max(order_.size(), kLeafCount));
  for (std::uint16_t unit : order_) {
    nodes.push_back({unit, kLeafMarker, 0, Count(unit)});
  }
  int filler = kFirstFillerSymbol;
  while (nodes.size() < kLeafCount) {
    while (recent_[static_cast<std::size_t>(filler)] != 0) ++filler;
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
    working.push_back(
        {leaf.count, leaf.depth, static_cast<std::uint16_t>(table.size())});
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
    working.insert(
        std::upper_bound(working.begin(), working.end(), merged, sorts_before),
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

bool WriteTables(const std::vector<NodeEntry>& table, std::ostream& out,
                 const common::RunSettings& settings) {
  return WriteTables(table, common::Block(settings.block_size), out, settings);
}

bool WriteTables(const std::vector<NodeEntry>& table,
                 std::span<std::uint8_t> buffer, std::ostream& out,
                 const common::RunSettings& settings, std::uint32_t limit) {
  const std::vector<std::string> patterns = BitPatterns(table, kLeafCount);
  const std::optional<int> longest = LongestPattern(table, patterns, out);
  if (!longest) return false;
  // The node table goes out in one write; the Bit Pattern Table record by
  // record through the buffer.
  common::OutputFile tbl({}, settings.faults);
  common::OutputFile bit(buffer, settings.faults);
  if (!WriteNodeTable(table, tbl, limit, out)) return false;
  if (!WriteBitPatternTable(table, patterns, bit, limit, out)) return false;
  if (!CommitTables(tbl, bit, out, settings)) return false;
  out << Format(kLongestPatternIs, *longest);
  return true;
}

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& /*err*/, const common::RunSettings& settings) {
  // Every message of huffbuild goes to standard output.
  return common::RunReportingOutOfMemory(
      [&] { return RunStages(args, out, settings); }, out, kOutOfMemory);
}

}  // namespace huffbuild
