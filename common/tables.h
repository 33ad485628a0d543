// The two files that describe the Huffman code, written by huffbuild.
//
// The node table (tesk.tbl): 4 bytes per entry, in index order, no header.
//   first   2 bytes LE  leaf: the symbol;  inner node: index of one child
//   second  2 bytes LE  leaf: kLeafMarker; inner node: index of the other
//   The leaves come first, every inner entry stands after both of its
//   children, and the last entry is the root.
//
// The Bit Pattern Table (tesk.bit): one 102-byte record per leaf, in leaf
// order, no header.
//   symbol   2 bytes LE
//   pattern  kPatternFieldSize bytes: '0' and '1' from the root down to the
//            leaf, then zero bytes (at least one). '0' is the branch to the
//            child named in `first`, '1' the one named in `second`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace common {

inline constexpr const char* kNodeTableName = "tesk.tbl";
inline constexpr const char* kBitPatternTableName = "tesk.bit";

inline constexpr std::uint16_t kLeafMarker = 0xFFFF;
inline constexpr std::size_t kNodeEntrySize = 4;
inline constexpr std::size_t kPatternFieldSize = 100;
inline constexpr std::size_t kBitRecordSize = 2 + kPatternFieldSize;

struct NodeEntry {
  std::uint16_t first = 0;
  std::uint16_t second = 0;
  bool operator==(const NodeEntry&) const = default;
};

struct BitRecord {
  std::uint16_t symbol = 0;
  std::string pattern;
};

std::vector<std::uint8_t> EncodeNodeTable(const std::vector<NodeEntry>& table);

// REQUIRES: bytes.size() is a multiple of kNodeEntrySize.
std::vector<NodeEntry> DecodeNodeTable(const std::vector<std::uint8_t>& bytes);

// REQUIRES: pattern holds at most kPatternFieldSize - 1 characters.
void AppendBitRecord(std::vector<std::uint8_t>& out, std::uint16_t symbol,
                     const std::string& pattern);

// REQUIRES: kBitRecordSize readable bytes at p. Returns nullopt when the
// pattern field is not '0's and '1's followed by zero bytes only.
std::optional<BitRecord> DecodeBitRecord(const std::uint8_t* p);

}  // namespace common
