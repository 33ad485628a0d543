#include "common/huffman_code.h"

#include <algorithm>
#include <string>

#include "common/code_unit.h"
#include "common/file_io.h"
#include "common/format.h"

namespace common {
namespace {

// True when the patterns' Kraft sum, the sum of 2^-length, is exactly 1.
bool KraftSumIsOne(const std::vector<BitRecord>& leaves) {
  std::vector<std::uint64_t> at_length(kPatternFieldSize, 0);
  for (const BitRecord& leaf : leaves) ++at_length[leaf.pattern.size()];
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
bool VerifyBitPatternTable(const std::vector<std::uint8_t>& bit,
                           HuffmanCode& code, std::ostream& err) {
  if (bit.empty() || bit.size() % kBitRecordSize != 0) {
    err << Format(
        "tesk.bit: %zu bytes are not a whole number of 102-byte "
        "records\n",
        bit.size());
    return false;
  }
  const std::size_t n = bit.size() / kBitRecordSize;
  code.leaf_of.assign(kUnitValueCount, -1);
  for (std::size_t leaf = 0; leaf < n; ++leaf) {
    std::optional<BitRecord> record =
        DecodeBitRecord(bit.data() + leaf * kBitRecordSize);
    // Every unit must cost at least one bit, or a decoder could not tell
    // how many of it a string holds: so a code has at least two leaves.
    if (!record || record->pattern.empty()) {
      err << Format(
          "tesk.bit: the record for leaf %zu at byte %zu has a bad "
          "pattern field\n",
          leaf, leaf * kBitRecordSize + 2);
      return false;
    }
    std::int32_t& slot = code.leaf_of[record->symbol];
    if (slot >= 0) {
      err << Format(
          "tesk.bit: the record for leaf %zu at byte %zu repeats "
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
      err << Format(
          "tesk.bit: the pattern of leaf %zu at byte %zu is a "
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
bool VerifyNodeTable(const std::vector<std::uint8_t>& tbl, HuffmanCode& code,
                     std::ostream& err) {
  const std::size_t n = code.leaves.size();
  if (tbl.size() % kNodeEntrySize != 0 ||
      tbl.size() / kNodeEntrySize != 2 * n - 1) {
    err << Format("tesk.tbl: %zu bytes, but a tree of %zu leaves takes %zu\n",
                  tbl.size(), n, (2 * n - 1) * kNodeEntrySize);
    return false;
  }
  code.table = DecodeNodeTable(tbl);
  std::vector<int> parents(code.table.size(), 0);
  for (std::size_t i = 0; i < code.table.size(); ++i) {
    const NodeEntry& entry = code.table[i];
    if (i < n) {
      if (entry.first != code.leaves[i].symbol || entry.second != kLeafMarker) {
        err << Format(
            "tesk.tbl: entry %zu at byte %zu is not the leaf of "
            "symbol %04X\n",
            i, i * kNodeEntrySize, code.leaves[i].symbol);
        return false;
      }
      continue;
    }
    if (entry.first >= i || entry.second >= i || entry.first == entry.second) {
      err << Format(
          "tesk.tbl: entry %zu at byte %zu does not name two "
          "earlier entries as its children\n",
          i, i * kNodeEntrySize);
      return false;
    }
    for (std::uint16_t child : {entry.first, entry.second}) {
      if (++parents[child] > 1) {
        err << Format(
            "tesk.tbl: entry %u at byte %zu is the child of more "
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
      err << Format(
          "tesk.bit: the pattern of leaf %zu (symbol %04X) leads "
          "to entry %zu of tesk.tbl, not to the leaf itself\n",
          leaf, code.leaves[leaf].symbol, node);
      return false;
    }
  }
  return true;
}

}  // namespace

CodeTableFiles ReadCodeTables(Faults* faults) {
  CodeTableFiles files;
  FolderLock lock;
  std::error_code ec;
  lock.Acquire(".", true, ec);  // reading goes on without it where it fails
  FileFacts tbl_facts;
  FileFacts bit_facts;
  files.tbl_read = ReadWholeFile(kNodeTableName, files.tbl, faults, &tbl_facts);
  files.bit_read =
      ReadWholeFile(kBitPatternTableName, files.bit, faults, &bit_facts);
  files.permissions = tbl_facts.permissions & bit_facts.permissions;
  return files;
}

std::optional<HuffmanCode> VerifyCode(const std::vector<std::uint8_t>& tbl,
                                      const std::vector<std::uint8_t>& bit,
                                      std::ostream& err) {
  HuffmanCode code;
  if (!VerifyBitPatternTable(bit, code, err)) return std::nullopt;
  if (!VerifyNodeTable(tbl, code, err)) return std::nullopt;
  return code;
}

}  // namespace common
