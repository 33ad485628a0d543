#include "chainreport/chainreport.h"

#include <algorithm>
#include <deque>
#include <new>

#include "common/block_reader.h"
#include "common/code_unit.h"
#include "common/command_line.h"
#include "common/file_io.h"
#include "common/bytes.h"
#include "common/format.h"
#include "common/info_record.h"
#include "common/script_files.h"

namespace chainreport {
namespace {

using common::Format;
using common::kBitRecordSize;
using common::kLeafMarker;
using common::kNodeEntrySize;

constexpr const char* kUsage =
    "chainreport usage:\n  chainreport script1 [script2] [script3] ...\n";
constexpr int kBarWidth = 50;

// True when the patterns' Kraft sum, the sum of 2^-length, is exactly 1.
bool KraftSumIsOne(const std::vector<common::BitRecord>& leaves) {
  std::vector<std::uint64_t> at_length(common::kPatternFieldSize, 0);
  for (const common::BitRecord& leaf : leaves) ++at_length[leaf.pattern.size()];
  // Adds up from the longest length, carrying pairs of 2^-l into 2^-(l-1).
  std::uint64_t carry = 0;
  for (std::size_t length = at_length.size() - 1; length > 0; --length) {
    const std::uint64_t total = at_length[length] + carry;
    if (total % 2 != 0) return false;
    carry = total / 2;
  }
  return at_length[0] == 0 && carry == 1;
}

bool IsPrefix(const std::string& a, const std::string& b) {
  return a.size() <= b.size() && b.compare(0, a.size(), a) == 0;
}

// Checks what tesk.bit says on its own: whole records, well-formed patterns,
// distinct symbols, a prefix-free code with a Kraft sum of 1.
bool VerifyBitPatternTable(const std::vector<std::uint8_t>& bit, Code& code,
                           std::ostream& err) {
  if (bit.empty() || bit.size() % kBitRecordSize != 0) {
    err << Format("tesk.bit: %zu bytes are not a whole number of 102-byte "
                  "records\n",
                  bit.size());
    return false;
  }
  const std::size_t n = bit.size() / kBitRecordSize;
  code.leaf_of.assign(common::kUnitValueCount, -1);
  for (std::size_t leaf = 0; leaf < n; ++leaf) {
    std::optional<common::BitRecord> record =
        common::DecodeBitRecord(bit.data() + leaf * kBitRecordSize);
    if (!record || (record->pattern.empty() && n > 1)) {
      err << Format("tesk.bit: the record for leaf %zu at byte %zu has a bad "
                    "pattern field\n",
                    leaf, leaf * kBitRecordSize + 2);
      return false;
    }
    std::int32_t& slot = code.leaf_of[record->symbol];
    if (slot >= 0) {
      err << Format("tesk.bit: the record for leaf %zu at byte %zu repeats "
                    "the symbol %04X of leaf %d\n",
                    leaf, leaf * kBitRecordSize, record->symbol, slot);
      return false;
    }
    slot = static_cast<std::int32_t>(leaf);
    code.leaves.push_back(std::move(*record));
  }
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return code.leaves[a].pattern < code.leaves[b].pattern;
  });
  // In sorted order a pattern that is a prefix of another stands right
  // before some pattern it is a prefix of.
  for (std::size_t i = 1; i < n; ++i) {
    const std::size_t a = order[i - 1];
    const std::size_t b = order[i];
    if (IsPrefix(code.leaves[a].pattern, code.leaves[b].pattern)) {
      err << Format("tesk.bit: the pattern of leaf %zu at byte %zu is a "
                    "prefix of the pattern of leaf %zu\n",
                    a, a * kBitRecordSize + 2, b);
      return false;
    }
  }
  if (!KraftSumIsOne(code.leaves)) {
    err << "tesk.bit: the Kraft sum of the patterns is not exactly 1\n";
    return false;
  }
  return true;
}

// Checks that tesk.tbl is a tree over the leaves of tesk.bit whose
// root-to-leaf paths are exactly their patterns.
bool VerifyNodeTable(const std::vector<std::uint8_t>& tbl, Code& code,
                     std::ostream& err) {
  const std::size_t n = code.leaves.size();
  if (tbl.size() % kNodeEntrySize != 0 ||
      tbl.size() / kNodeEntrySize != 2 * n - 1) {
    err << Format("tesk.tbl: %zu bytes, but a tree of %zu leaves takes %zu\n",
                  tbl.size(), n, (2 * n - 1) * kNodeEntrySize);
    return false;
  }
  code.table = common::DecodeNodeTable(tbl);
  std::vector<int> parents(code.table.size(), 0);
  for (std::size_t i = 0; i < code.table.size(); ++i) {
    const common::NodeEntry& entry = code.table[i];
    if (i < n) {
      if (entry.first != code.leaves[i].symbol || entry.second != kLeafMarker) {
        err << Format("tesk.tbl: entry %zu at byte %zu is not the leaf of "
                      "symbol %04X\n",
                      i, i * kNodeEntrySize, code.leaves[i].symbol);
        return false;
      }
      continue;
    }
    if (entry.first >= i || entry.second >= i || entry.first == entry.second) {
      err << Format("tesk.tbl: entry %zu at byte %zu does not name two "
                    "earlier entries as its children\n",
                    i, i * kNodeEntrySize);
      return false;
    }
    for (std::uint16_t child : {entry.first, entry.second}) {
      if (++parents[child] > 1) {
        err << Format("tesk.tbl: entry %u at byte %zu is the child of more "
                      "than one entry\n",
                      child, std::size_t{child} * kNodeEntrySize);
        return false;
      }
    }
  }
  // n - 1 inner entries name 2n - 2 children, each at most once: every
  // entry but the root is a child, and the entries form one tree.
  for (std::size_t leaf = 0; leaf < n; ++leaf) {
    std::size_t node = code.table.size() - 1;
    for (char bit : code.leaves[leaf].pattern) {
      if (code.table[node].second == kLeafMarker) break;
      node = bit == '0' ? code.table[node].first : code.table[node].second;
    }
    if (node != leaf) {
      err << Format("tesk.bit: the pattern of leaf %zu (symbol %04X) leads "
                    "to entry %zu of tesk.tbl, not to the leaf itself\n",
                    leaf, code.leaves[leaf].symbol, node);
      return false;
    }
  }
  return true;
}

// Decodes a run of bits through the node table and compares what comes out
// with the units that went in. Decoding starts again at the root after every
// unit, so a unit's bits always decode the same way: once its walk has given
// back exactly the unit, that is remembered for the leaf.
class DecodeCheck {
 public:
  explicit DecodeCheck(const Code& code)
      : code_(code),
        root_(code.table.size() - 1),
        node_(root_),
        decodes_to_itself_(code.leaves.size(), false) {}

  // Encodes `unit` (which has a leaf) and decodes as far as its bits go.
  // Returns false with *wrong set on a unit that decodes differently.
  bool Feed(std::uint16_t unit, std::uint16_t* wrong) {
    const std::size_t leaf = static_cast<std::size_t>(code_.leaf_of[unit]);
    const bool at_unit_start = node_ == root_ && pending_.empty();
    if (at_unit_start && decodes_to_itself_[leaf]) return true;
    pending_.push_back(unit);
    for (char bit : code_.leaves[leaf].pattern) {
      const common::NodeEntry& entry = code_.table[node_];
      node_ = bit == '0' ? entry.first : entry.second;
      if (code_.table[node_].second != kLeafMarker) continue;
      const std::uint16_t decoded = code_.table[node_].first;
      node_ = root_;
      if (pending_.empty() || pending_.front() != decoded) {
        *wrong = decoded;
        return false;
      }
      pending_.pop_front();
    }
    if (at_unit_start && AtStringEnd()) decodes_to_itself_[leaf] = true;
    return true;
  }
  // True when the bits of the string ended on a whole unit.
  bool AtStringEnd() const { return node_ == root_ && pending_.empty(); }

 private:
  const Code& code_;
  std::size_t root_;
  std::size_t node_;
  std::deque<std::uint16_t> pending_;
  std::vector<bool> decodes_to_itself_;
};

std::string Percent(std::int64_t part, std::int64_t whole) {
  if (whole == 0) return "-";
  return Format("%.1f%%", 100.0 * static_cast<double>(part) /
                              static_cast<double>(whole));
}

void PrintReport(const std::vector<ScriptFigures>& rows, const Code& code,
                 const std::vector<std::int64_t>& uses, std::ostream& out) {
  int width = 6;
  for (const ScriptFigures& row : rows) {
    width = std::max(width, static_cast<int>(row.script.size()));
  }
  out << Format("%-*s %8s %12s %12s %14s %12s %7s\n", width, "script",
                "strings", "puretext", "dte", "encoded bits", "bytes",
                "ratio");
  ScriptFigures total;
  total.script = "total";
  const auto print_row = [&](const ScriptFigures& row) {
    out << Format("%-*s %8lld %12lld %12lld %14lld %12lld %7s\n", width,
                  row.script.c_str(), static_cast<long long>(row.strings),
                  static_cast<long long>(row.puretext_bytes),
                  static_cast<long long>(row.dte_bytes),
                  static_cast<long long>(row.encoded_bits),
                  static_cast<long long>(row.encoded_bytes),
                  Percent(row.encoded_bytes, row.puretext_bytes).c_str());
  };
  for (const ScriptFigures& row : rows) {
    print_row(row);
    total.strings += row.strings;
    total.puretext_bytes += row.puretext_bytes;
    total.dte_bytes += row.dte_bytes;
    total.encoded_bits += row.encoded_bits;
    total.encoded_bytes += row.encoded_bytes;
  }
  print_row(total);

  std::size_t in_use = 0;
  std::size_t longest = 0;
  std::int64_t units = 0;
  std::vector<std::int64_t> symbols_at(common::kPatternFieldSize, 0);
  std::vector<std::int64_t> uses_at(common::kPatternFieldSize, 0);
  for (const common::BitRecord& leaf : code.leaves) {
    const std::int64_t used = uses[leaf.symbol];
    const std::size_t length = leaf.pattern.size();
    ++symbols_at[length];
    uses_at[length] += used;
    units += used;
    if (used > 0) {
      ++in_use;
      longest = std::max(longest, length);
    }
  }
  out << Format("\nLeaves in use: %zu of %zu\n", in_use, code.leaves.size());
  out << Format("Longest pattern in use: %zu bits\n", longest);
  out << Format("Mean pattern length, weighted by use: %.2f bits\n",
                units == 0 ? 0.0
                           : static_cast<double>(total.encoded_bits) /
                                 static_cast<double>(units));

  out << Format("\nPattern lengths:\n%5s %8s %12s\n", "bits", "symbols",
                "uses");
  const std::int64_t most = *std::max_element(uses_at.begin(), uses_at.end());
  for (std::size_t length = 0; length < symbols_at.size(); ++length) {
    if (symbols_at[length] == 0) continue;
    int bar = 0;
    if (uses_at[length] > 0) {
      bar = std::max<int>(1, static_cast<int>((uses_at[length] * kBarWidth +
                                               most / 2) / most));
    }
    out << Format("%5zu %8lld %12lld", length,
                  static_cast<long long>(symbols_at[length]),
                  static_cast<long long>(uses_at[length]));
    if (bar > 0) out << "  " << std::string(static_cast<std::size_t>(bar), '#');
    out << "\n";
  }
}

// Reads both tables under a shared lock of their folder, so that a
// huffbuild committing meanwhile cannot hand over one old and one new table.
bool ReadTables(std::vector<std::uint8_t>& tbl, std::vector<std::uint8_t>& bit,
                std::ostream& err) {
  common::FolderLock lock;
  std::error_code ec;
  lock.Acquire(".", true, ec);  // reading goes on without it where it fails
  bool readable = true;
  for (auto [name, bytes] : {std::pair{common::kNodeTableName, &tbl},
                             std::pair{common::kBitPatternTableName, &bit}}) {
    if (common::ReadWholeFile(name, *bytes) != common::ReadResult::kOk) {
      err << Format("Could not read %s.\n", name);
      readable = false;
    }
  }
  return readable;
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err, const common::RunSettings& settings) {
  if (args.empty()) {
    err << kUsage;
    return 1;
  }
  if (const std::optional<int> status = common::AnswerHelpOrVersion(
          args, "chainreport", TESK_VERSION, kUsage, out)) {
    return *status;
  }
  std::vector<std::uint8_t> tbl;
  std::vector<std::uint8_t> bit;
  if (!ReadTables(tbl, bit, err)) return 1;
  const std::optional<Code> code = VerifyCode(tbl, bit, err);
  if (!code) return 1;

  int status = 0;
  std::vector<std::int64_t> uses(common::kUnitValueCount, 0);
  std::vector<ScriptFigures> rows;
  std::vector<std::uint8_t> block(settings.block_size);
  for (const std::string& script : args) {
    std::optional<ScriptFigures> row = CheckScript(script, *code, uses, err, block);
    if (row) {
      rows.push_back(std::move(*row));
    } else {
      status = 1;
    }
  }
  if (!rows.empty()) PrintReport(rows, *code, uses, out);
  return status;
}

}  // namespace

std::optional<Code> VerifyCode(const std::vector<std::uint8_t>& tbl,
                               const std::vector<std::uint8_t>& bit,
                               std::ostream& err) {
  Code code;
  if (!VerifyBitPatternTable(bit, code, err)) return std::nullopt;
  if (!VerifyNodeTable(tbl, code, err)) return std::nullopt;
  return code;
}

std::optional<ScriptFigures> CheckScript(const std::string& script,
                                         const Code& code,
                                         std::vector<std::int64_t>& uses,
                                         std::ostream& err,
                                         std::span<std::uint8_t> block) {
  const std::string pure_name = common::PuretextName(script);
  const std::string info_name = common::InformationName(script);
  const std::string dte_name = common::DteName(script);
  ScriptFigures figures;
  figures.script = script;

  common::NativeFile puretext;
  std::error_code ec;
  std::uint64_t puretext_size = 0;
  if (common::NativeFile::OpenForReading(pure_name, puretext, ec) !=
          common::OpenResult::kOk ||
      !puretext.Measure(&puretext_size, nullptr, ec)) {
    err << Format("Could not read %s.\n", pure_name.c_str());
    return std::nullopt;
  }
  figures.puretext_bytes = static_cast<std::int64_t>(puretext_size);
  std::vector<std::uint8_t> info;
  if (common::ReadWholeFile(info_name, info) != common::ReadResult::kOk) {
    err << Format("Could not read %s.\n", info_name.c_str());
    return std::nullopt;
  }
  common::BlockReader dte(block);
  if (dte.Open(dte_name, ec) != common::OpenResult::kOk) {
    err << Format("Could not read %s.\n", dte_name.c_str());
    return std::nullopt;
  }
  const auto dte_length = static_cast<std::int64_t>(dte.size());
  figures.dte_bytes = dte_length;
  if (dte_length % 2 != 0) {
    err << Format("%s: %lld bytes are not a whole number of code units\n",
                  dte_name.c_str(), static_cast<long long>(dte_length));
    return std::nullopt;
  }

  // The records that cover the dte file, as pairpick rewrote them.
  const common::Coverage coverage = common::CoverFile(dte.size(), info);
  if (coverage.kind == common::Coverage::Kind::kBadLength) {
    err << Format("%s: record %zu at byte %zu has the bad length %d\n",
                  info_name.c_str(), coverage.bad_record,
                  (coverage.bad_record - 1) * common::kInfoRecordSize,
                  coverage.bad_length);
    return std::nullopt;
  }
  if (coverage.kind == common::Coverage::Kind::kMismatch) {
    err << Format("%s: its records add up to %lld bytes, but %s holds %lld\n",
                  info_name.c_str(), static_cast<long long>(coverage.described),
                  dte_name.c_str(), static_cast<long long>(dte_length));
    return std::nullopt;
  }
  std::vector<std::int64_t> lengths(coverage.needed);
  for (std::size_t k = 0; k < lengths.size(); ++k) {
    lengths[k] = common::DecodeInfoRecord(info.data() + k * common::kInfoRecordSize)
                     .byteLength;
  }
  figures.strings = static_cast<std::int64_t>(lengths.size());

  DecodeCheck check(code);
  std::int64_t position = 0;
  for (std::size_t k = 0; k < lengths.size(); ++k) {
    const std::int64_t begin = position;
    std::int64_t bits = 0;
    std::int64_t left = lengths[k];
    while (left > 0) {
      const std::size_t readable = dte.Fill(2);
      if (readable < 2) {
        err << Format("Could not read %s.\n", dte_name.c_str());
        return std::nullopt;
      }
      // Whole units of this string that the block holds.
      const std::size_t take = static_cast<std::size_t>(
          std::min<std::int64_t>(left, static_cast<std::int64_t>(readable & ~std::size_t{1})));
      const std::uint8_t* d = dte.data();
      for (std::size_t i = 0; i < take; i += 2, position += 2) {
        const std::uint16_t unit = common::ReadLe16(d + i);
        const std::int32_t leaf = code.leaf_of[unit];
        if (leaf < 0) {
          err << Format("%s: unit %04X at byte %lld has no leaf in tesk.bit\n",
                        dte_name.c_str(), unit, static_cast<long long>(position));
          return std::nullopt;
        }
        std::uint16_t wrong = 0;
        if (!check.Feed(unit, &wrong)) {
          err << Format("%s: string %zu does not decode back: unit %04X at "
                        "byte %lld comes out as %04X\n",
                        dte_name.c_str(), k + 1, unit,
                        static_cast<long long>(position), wrong);
          return std::nullopt;
        }
        ++uses[unit];
        bits += static_cast<std::int64_t>(
            code.leaves[static_cast<std::size_t>(leaf)].pattern.size());
      }
      dte.Consume(take);
      left -= static_cast<std::int64_t>(take);
    }
    if (!check.AtStringEnd()) {
      err << Format("%s: the bits of string %zu at byte %lld end inside the "
                    "tree\n",
                    dte_name.c_str(), k + 1, static_cast<long long>(begin));
      return std::nullopt;
    }
    figures.encoded_bits += bits;
    figures.encoded_bytes += (bits + 7) / 8;
  }
  return figures;
}

const char* const kInterrupted = "Interrupted. Shutting down...\n";

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings) {
  try {
    return RunStages(args, out, err, settings);
  } catch (const std::bad_alloc&) {
    err << "Out of memory. Shutting down...\n";
    return 1;
  }
}

}  // namespace chainreport
