// The information file: one 8-byte record per string of a script, in string
// order, with no header. Each record, little-endian:
//   carriedWord  4 bytes  carried over unchanged; no program interprets it
//   byteLength   4 bytes  signed; the string's length in bytes
// Records hold no offsets: a string begins where the strings before it end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

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

// How the first records of an information file cover a file of strings
// (a puretext or dte file): record by record, until their lengths reach
// the file's length. Records behind those are not looked at.
struct Coverage {
  enum class Kind {
    kExact,      // the first `needed` records add up to the file's length
    kBadLength,  // a record before that has a negative or odd length
    kMismatch,   // the records run out, or the last one reaches past the end
  };
  Kind kind = Kind::kExact;
  std::size_t needed = 0;
  std::size_t bad_record = 0;   // counted from 1, with kBadLength
  std::int32_t bad_length = 0;  // with kBadLength
  std::int64_t described = 0;   // what the records add up to, with kMismatch
};

Coverage CoverFile(std::uint64_t file_length,
                   std::span<const std::uint8_t> info);

}  // namespace common
