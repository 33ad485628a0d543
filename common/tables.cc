#include "common/tables.h"

#include "common/bytes.h"

namespace common {

std::vector<std::uint8_t> EncodeNodeTable(const std::vector<NodeEntry>& table) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(table.size() * kNodeEntrySize);
  for (const NodeEntry& entry : table) {
    AppendLe16(bytes, entry.first);
    AppendLe16(bytes, entry.second);
  }
  return bytes;
}

std::vector<NodeEntry> DecodeNodeTable(const std::vector<std::uint8_t>& bytes) {
  std::vector<NodeEntry> table;
  table.reserve(bytes.size() / kNodeEntrySize);
  for (std::size_t i = 0; i + kNodeEntrySize <= bytes.size();
       i += kNodeEntrySize) {
    table.push_back(
        {ReadLe16(bytes.data() + i), ReadLe16(bytes.data() + i + 2)});
  }
  return table;
}

void AppendBitRecord(std::vector<std::uint8_t>& out, std::uint16_t symbol,
                     const std::string& pattern) {
  AppendLe16(out, symbol);
  out.insert(out.end(), pattern.begin(), pattern.end());
  out.resize(out.size() + kPatternFieldSize - pattern.size(), 0);
}

std::optional<BitRecord> DecodeBitRecord(const std::uint8_t* p) {
  BitRecord record;
  record.symbol = ReadLe16(p);
  const std::uint8_t* field = p + 2;
  std::size_t length = 0;
  while (length < kPatternFieldSize &&
         (field[length] == '0' || field[length] == '1')) {
    ++length;
  }
  if (length == kPatternFieldSize) return std::nullopt;
  for (std::size_t k = length; k < kPatternFieldSize; ++k) {
    if (field[k] != 0) return std::nullopt;
  }
  record.pattern.assign(field, field + length);
  return record;
}

}  // namespace common
