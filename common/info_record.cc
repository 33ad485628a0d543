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
