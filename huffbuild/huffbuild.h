// huffbuild: builds one Huffman code over the code units of the dte files of
// all scripts named on its command line, completed with filler symbols to
// exactly kCodeTableSize leaves, and writes it as the node table tesk.tbl and
// the Bit Pattern Table tesk.bit (their layouts are in common/tables.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "common/code_unit.h"
#include "common/run_settings.h"
#include "common/tables.h"

namespace huffbuild {

using common::kBitRecordSize;
using common::kLeafMarker;
using common::NodeEntry;

inline constexpr int kFirstFillerSymbol = 38;
// The pattern field keeps a terminating zero byte behind the pattern.
inline constexpr int kLongestPattern =
    static_cast<int>(common::kPatternFieldSize) - 1;

struct SymbolNode {
  std::uint16_t first = 0;
  std::uint16_t second = kLeafMarker;
  std::int32_t depth = 0;
  std::int64_t count = 0;
};

// How often each code unit occurs, with the units in order of first
// appearance.
class Census {
 public:
  // The recent counts are folded into the totals after `fold_every` units
  // at most (a test folds after a few).
  explicit Census(std::uint64_t fold_every = std::uint64_t{1} << 31);
  // REQUIRES: size is even; the bytes are little-endian code units.
  void CountUnits(const std::uint8_t* data, std::size_t size);
  int distinct() const { return static_cast<int>(order_.size()); }
  // The units met, in order of first appearance.
  std::span<const std::uint16_t> order() const { return order_; }

  // Adds the counts of `other`, the census of other dte files of the same
  // run, and puts the units in `order`, which holds every unit either met,
  // each once. Units counted afterwards are counted on top.
  void Absorb(const Census& other, std::vector<std::uint16_t> order);
  // The units met, in order of first appearance, followed by filler symbols
  // of count 0 up to kCodeTableSize nodes in all. Each filler takes the next
  // value from kFirstFillerSymbol on that no unit met holds.
  std::vector<SymbolNode> CompletedNodes() const;

 private:
  // Adds the recent counts to the totals, before they could overflow.
  void Fold();
  std::int64_t Count(std::uint16_t unit) const;

  // By unit value: the recent counts, 32 bits each so that the table stays
  // small, and (once more than 2^31 units were counted) the totals before.
  // A unit met has a recent count of 1 at least.
  std::vector<std::uint32_t> recent_;
  std::vector<std::int64_t> folded_;
  std::uint64_t recent_units_ = 0;
  std::uint64_t fold_every_;
  std::vector<std::uint16_t> order_;
};

// Where threads share a run's census: the thread that counted a dte file,
// and where the units it met first lie in that thread's census order (from
// `met_from` up to `met_to`).
struct FileCensus {
  std::size_t thread = 0;
  std::size_t met_from = 0;
  std::size_t met_to = 0;
};

// The census of a whole run from the censuses of the threads that shared it,
// `files` in the order the files were named: the units come in their order
// of first appearance over the files in that order, as in one census that
// counts them all. As a thread takes its files in that order too, the units
// a file met first in its thread's census hold, in order, every unit it met
// first in the run. REQUIRES: the threads that counted files have a census;
// one thread at least did.
Census CombineCensuses(std::vector<std::optional<Census>> censuses,
                       const std::vector<FileCensus>& files);

// Builds the Huffman tree over the leaves: each step merges the working node
// that sorts last (L) with the one before it (P), where larger counts and
// then larger depths sort first and equal nodes keep their order. Returns
// the node table: the leaves, then one entry {L, P} per merge.
std::vector<NodeEntry> BuildNodeTable(const std::vector<SymbolNode>& leaves);

// The bit pattern of each of the first `leaf_count` entries, from the root
// down. REQUIRES: `table` is a tree whose inner entries follow the leaves.
std::vector<std::string> BitPatterns(const std::vector<NodeEntry>& table,
                                     std::size_t leaf_count);

// Writes tesk.tbl and tesk.bit for a node table of kCodeTableSize leaves,
// printing the progress messages on `out`. Returns false after its message
// when the tables could not be written; both then stay as they were.
bool WriteTables(const std::vector<NodeEntry>& table, std::ostream& out,
                 const common::RunSettings& settings = {});
// The same, writing through `buffer`; the tables have no permission bit
// that `limit` lacks.
bool WriteTables(const std::vector<NodeEntry>& table,
                 std::span<std::uint8_t> buffer, std::ostream& out,
                 const common::RunSettings& settings,
                 std::uint32_t limit = 0777);

// Printed when an interrupt ends the run.
extern const char* const kInterrupted;

// Runs the program on `args` (the arguments without the program name);
// returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings = {});

}  // namespace huffbuild
