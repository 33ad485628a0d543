#include "common/info_record.h"

#include "common/bytes.h"

namespace common {

InfoRecord DecodeInfoRecord(const std::uint8_t* p) {
  return {ReadLe32(p), static_cast<std::int32_t>(ReadLe32(p + 4))};
}

void EncodeInfoRecord(const InfoRecord& record, std::uint8_t* p) {
  StoreLe32(p, record.carriedWord);
  StoreLe32(p + 4, static_cast<std::uint32_t>(record.byteLength));
}

}  // namespace common

namespace common {

Coverage CoverFile(std::uint64_t file_length,
                   std::span<const std::uint8_t> info) {
  Coverage coverage;
  const auto length = static_cast<std::int64_t>(file_length);
  const std::size_t record_count = info.size() / kInfoRecordSize;
  std::int64_t sum = 0;
  for (std::size_t k = 0; k < record_count && sum < length; ++k) {
    const InfoRecord record =
        DecodeInfoRecord(info.data() + k * kInfoRecordSize);
    if (record.byteLength < 0 || record.byteLength % 2 != 0) {
      coverage.kind = Coverage::Kind::kBadLength;
      coverage.bad_record = k + 1;
      coverage.bad_length = record.byteLength;
      return coverage;
    }
    sum += record.byteLength;
    coverage.needed = k + 1;
  }
  if (sum != length) {
    coverage.kind = Coverage::Kind::kMismatch;
    coverage.described = sum;
  }
  return coverage;
}

}  // namespace common
