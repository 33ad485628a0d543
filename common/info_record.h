// The information file: one 8-byte record per string of a script, in string
// order, with no header. Each record, little-endian:
//   carriedWord  4 bytes  carried over unchanged; no program interprets it
//   byteLength   4 bytes  signed; the string's length in bytes
// Records hold no offsets: a string begins where the strings before it end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace common {

inline constexpr std::size_t kInfoRecordSize = 8;

struct InfoRecord {
  std::uint32_t carriedWord = 0;
  std::int32_t byteLength = 0;
};

// REQUIRES: kInfoRecordSize readable bytes at p.
InfoRecord DecodeInfoRecord(const std::uint8_t* p);

// REQUIRES: kInfoRecordSize writable bytes at p.
void EncodeInfoRecord(const InfoRecord& record, std::uint8_t* p);

}  // namespace common
