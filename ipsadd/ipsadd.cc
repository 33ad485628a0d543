#include "ipsadd/ipsadd.h"

#include <algorithm>
#include <filesystem>
#include <new>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/format.h"

namespace ipsadd {
namespace {

using common::Format;

constexpr const char* kUsage =
    "ipsadd usage:\n  ipsadd datafile offset\n    datafile - file to link "
    "in.\n    offset - where to link it.\n";
constexpr const char* kIpsName = "tesk.ips";
constexpr const char* kCannotOpenIps = "Could not open IPS file to add data.\n";
constexpr const char* kCannotWriteIps =
    "Could not write IPS file; it was left unchanged.\n";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Copies `n` bytes from `from` to `to`. Returns false on a short read.
bool CopyBytes(common::BlockReader& from, std::uint64_t n,
               common::AtomicFile& to) {
  while (n > 0) {
    const std::size_t readable = from.Fill(1);
    if (readable == 0) return false;
    const std::size_t step =
        static_cast<std::size_t>(std::min<std::uint64_t>(readable, n));
    to.Write(from.data(), step);
    from.Consume(step);
    n -= step;
  }
  return true;
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              common::DiskQuota* quota) {
  if (args.size() == 1 && args[0] == "--help") {
    out << kUsage;
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    out << "ipsadd " TESK_VERSION "\n";
    return 0;
  }
  if (args.size() != 2) {
    out << kUsage;
    return 1;
  }
  const std::string& data_name = args[0];
  const std::string& offset_text = args[1];

  std::uint32_t offset = 0;
  switch (ParseOffset(offset_text, &offset)) {
    case OffsetResult::kOk:
      break;
    case OffsetResult::kInvalid:
      out << Format(
          "Invalid offset \"%s\": expected a hexadecimal number from 0 to "
          "FFFFFF.\n",
          offset_text.c_str());
      return 1;
    case OffsetResult::kEndMarker:
      out << "Offset 454F46 cannot be used: IPS reads it as the end marker.\n";
      return 1;
  }
  common::BlockReader data;
  if (!data.Open(data_name)) {
    out << Format("Could not open data file \"%s\".\n", data_name.c_str());
    return 1;
  }
  if (data.size() == 0) {
    out << Format("Data file \"%s\" is empty; nothing to add.\n",
                  data_name.c_str());
    return 1;
  }
  const std::optional<std::vector<RecordSpan>> records =
      PlanRecords(offset, data.size());
  if (!records) {
    out << Format(
        "Data file \"%s\" does not fit: a record would start above FFFFFF.\n",
        data_name.c_str());
    return 1;
  }

  // The new content goes to a temporary beside tesk.ips: its old bytes,
  // then the records. Only a complete file replaces it.
  common::AtomicFile ips(kIpsName, quota);
  if (!ips.Open()) {
    out << kCannotOpenIps;
    return 1;
  }
  std::error_code ec;
  if (std::filesystem::exists(kIpsName, ec)) {
    common::BlockReader old;
    if (!old.Open(kIpsName)) {
      out << kCannotOpenIps;
      return 1;
    }
    if (!CopyBytes(old, old.size(), ips) || old.failed()) {
      out << kCannotWriteIps;
      return 1;
    }
  }
  for (const RecordSpan& record : *records) {
    std::vector<std::uint8_t> header;
    common::AppendBe24(header, record.offset);
    common::AppendBe16(header, static_cast<std::uint16_t>(record.size));
    ips.Write(header);
    if (!CopyBytes(data, record.size, ips)) {
      out << Format("Could not read data file \"%s\".\n", data_name.c_str());
      return 1;
    }
  }
  if (data.failed()) {
    out << Format("Could not read data file \"%s\".\n", data_name.c_str());
    return 1;
  }
  if (!ips.Finish() || !ips.Commit()) {
    out << kCannotWriteIps;
    return 1;
  }
  return 0;
}

}  // namespace

OffsetResult ParseOffset(const std::string& text, std::uint32_t* offset) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  if (i + 1 < text.size() && text[i] == '0' &&
      (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    i += 2;
  }
  if (i == text.size()) return OffsetResult::kInvalid;
  std::uint32_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return OffsetResult::kInvalid;
    value = value * 16 + static_cast<std::uint32_t>(digit);
    if (value > kMaxOffset) return OffsetResult::kInvalid;
  }
  if (value == kEndMarkerOffset) return OffsetResult::kEndMarker;
  *offset = value;
  return OffsetResult::kOk;
}

std::optional<std::vector<RecordSpan>> PlanRecords(std::uint32_t offset,
                                                   std::uint64_t size) {
  std::vector<RecordSpan> records;
  std::uint64_t start = offset;
  while (size > 0) {
    if (start > kMaxOffset) return std::nullopt;
    std::uint64_t length = std::min<std::uint64_t>(size, kMaxRecordSize);
    // The next record must not start where patchers see the end marker.
    if (length < size && start + length == kEndMarkerOffset) --length;
    records.push_back({static_cast<std::uint32_t>(start),
                       static_cast<std::uint32_t>(length)});
    start += length;
    size -= length;
  }
  return records;
}

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, common::DiskQuota* quota) {
  (void)err;  // every message of ipsadd goes to standard output
  try {
    return RunStages(args, out, quota);
  } catch (const std::bad_alloc&) {
    out << "Out of memory. Shutting down...\n";
    return 1;
  }
}

}  // namespace ipsadd
