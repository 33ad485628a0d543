// ipsadd: appends a data file to the IPS file tesk.ips as records at a
// hexadecimal offset. Each record is
//   offset  3 bytes, big-endian
//   size    2 bytes, big-endian, 1 to 65535
//   data    `size` bytes
// Data longer than 65535 bytes becomes consecutive records. No header and no
// end marker are written; records go behind whatever the file holds, in
// place, so that a patch built from many data files costs what its bytes
// cost (common/commit.h keeps a failed or killed append from showing).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/run_settings.h"

namespace ipsadd {

inline constexpr std::uint32_t kMaxOffset = 0xFFFFFF;
// The offset whose three bytes spell "EOF", the end marker.
inline constexpr std::uint32_t kEndMarkerOffset = 0x454F46;
inline constexpr std::uint32_t kMaxRecordSize = 0xFFFF;

enum class OffsetResult { kOk, kInvalid, kEndMarker };

// Accepts optional leading white space, an optional '+', an optional 0x or
// 0X and one or more hexadecimal digits, nothing after them, with a value
// from 0 to kMaxOffset.
OffsetResult ParseOffset(const std::string& text, std::uint32_t* offset);

struct RecordSpan {
  std::uint32_t offset;
  std::uint32_t size;
};

// Splits `size` bytes at `offset` into records of at most kMaxRecordSize
// bytes; no record starts at kEndMarkerOffset. Returns nullopt when a record
// would have to start above kMaxOffset.
std::optional<std::vector<RecordSpan>> PlanRecords(std::uint32_t offset,
                                                   std::uint64_t size);

// Printed when an interrupt ends the run.
extern const char* const kInterrupted;

// Runs the program on `args` (the operands without the program name);
// returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings = {});

}  // namespace ipsadd
