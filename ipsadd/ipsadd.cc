#include "ipsadd/ipsadd.h"

#include <algorithm>
#include <new>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/command_line.h"
#include "common/commit.h"
#include "common/format.h"
#include "common/interrupts.h"

namespace ipsadd {

// Every message, in the order the README lists them. All go to standard
// output.
constexpr const char* kUsage =
    "ipsadd usage:\n  ipsadd datafile offset\n    datafile - file to link "
    "in.\n    offset - where to link it.\n";
constexpr const char* kHelpDetails =
    "\n"
    "The offset is hexadecimal, from 0 to FFFFFF (1F4000 or 0x1F4000). The\n"
    "data file is appended as IPS records to tesk.ips in the current folder,\n"
    "which is made if it is missing. A complete patch is the five bytes\n"
    "PATCH, the records of tesk.ips, and the three bytes EOF.\n";
constexpr const char* kInvalidOffset =
    "Invalid offset \"%s\": expected a hexadecimal number from 0 to FFFFFF.\n";
constexpr const char* kEndMarker =
    "Offset 454F46 cannot be used: IPS reads it as the end marker.\n";
constexpr const char* kCannotOpenData = "Could not open data file \"%s\".\n";
constexpr const char* kDataNotAFile =
    "Data file \"%s\" is not a regular file.\n";
constexpr const char* kEmptyData =
    "Data file \"%s\" is empty; nothing to add.\n";
constexpr const char* kDataDoesNotFit =
    "Data file \"%s\" does not fit: a record would start above FFFFFF.\n";
constexpr const char* kCannotOpenIps = "Could not open IPS file to add data.\n";
constexpr const char* kCannotReadData = "Could not read data file \"%s\".\n";
constexpr const char* kCannotWriteIps =
    "Could not write IPS file; it was left unchanged.\n";
constexpr const char* kOutOfMemory = "Out of memory. Shutting down...\n";
const char* const kInterrupted = "Interrupted. Shutting down...\n";

namespace {

using common::Format;

constexpr const char* kIpsName = "tesk.ips";

// The offset operand, or nullopt after its message.
std::optional<std::uint32_t> TakeOffset(const std::string& text,
                                        std::ostream& out) {
  std::uint32_t offset = 0;
  switch (ParseOffset(text, &offset)) {
    case OffsetResult::kOk:
      return offset;
    case OffsetResult::kInvalid:
      out << Format(kInvalidOffset, text.c_str());
      break;
    case OffsetResult::kEndMarker:
      out << kEndMarker;
      break;
  }
  return std::nullopt;
}

// Opens the data file and plans its records, or returns nullopt after the
// message.
std::optional<std::vector<RecordSpan>> OpenData(const std::string& name,
                                                std::uint32_t offset,
                                                common::BlockReader& data,
                                                std::ostream& out) {
  std::error_code ec;
  switch (data.Open(name, ec)) {
    case common::OpenResult::kOk:
      break;
    case common::OpenResult::kMissing:
    case common::OpenResult::kDenied:
    case common::OpenResult::kFailed:
      out << Format(kCannotOpenData, name.c_str());
      return std::nullopt;
    case common::OpenResult::kNotRegular:
      out << Format(kDataNotAFile, name.c_str());
      return std::nullopt;
  }
  if (data.size() == 0) {
    out << Format(kEmptyData, name.c_str());
    return std::nullopt;
  }
  std::optional<std::vector<RecordSpan>> records =
      PlanRecords(offset, data.size());
  if (!records) out << Format(kDataDoesNotFit, name.c_str());
  return records;
}

// Copies `n` bytes from `from` to `to`. Returns false on a short read.
bool CopyBytes(common::BlockReader& from, std::uint64_t n,
               common::FileWriter& to) {
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

// Appends the records to tesk.ips; it is left as it was on any failure.
bool AppendRecords(const std::string& data_name, common::BlockReader& data,
                   const std::vector<RecordSpan>& records, std::ostream& out,
                   const common::RunSettings& settings) {
  common::Block buffer(settings.block_size);
  const auto write = [&](common::FileWriter& ips) {
    for (const RecordSpan& record : records) {
      std::vector<std::uint8_t> header;
      common::AppendBe24(header, record.offset);
      common::AppendBe16(header, static_cast<std::uint16_t>(record.size));
      ips.Write(header);
      if (!CopyBytes(data, record.size, ips)) return false;
    }
    return !data.failed();
  };
  const common::AppendResult result = common::AppendInPlace(
      kIpsName, buffer, write, true, settings.faults, data.facts().permissions);
  if (result.ec == std::errc::interrupted) {
    out << kInterrupted;
    return false;
  }
  switch (result.outcome) {
    case common::AppendOutcome::kDone:
      return true;
    case common::AppendOutcome::kCannotOpen:
      out << kCannotOpenIps;
      break;
    case common::AppendOutcome::kWriteFailed:
      out << kCannotWriteIps;
      break;
    case common::AppendOutcome::kSourceFailed:
      out << Format(kCannotReadData, data_name.c_str());
      break;
  }
  return false;
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              const common::RunSettings& settings) {
  if (const std::optional<int> status = common::AnswerHelpOrVersion(
          args, "ipsadd", TESK_VERSION, std::string(kUsage) + kHelpDetails,
          out)) {
    return *status;
  }
  if (args.size() != 2) {
    out << kUsage;
    return 1;
  }
  const std::string& data_name = args[0];
  const std::optional<std::uint32_t> offset = TakeOffset(args[1], out);
  if (!offset) return 1;
  common::Block block(settings.block_size);
  common::BlockReader data(block, settings.faults);
  const std::optional<std::vector<RecordSpan>> records =
      OpenData(data_name, *offset, data, out);
  if (!records) return 1;
  return AppendRecords(data_name, data, *records, out, settings) ? 0 : 1;
}

}  // namespace

OffsetResult ParseOffset(const std::string& text, std::uint32_t* offset) {
  const std::optional<std::uint64_t> value =
      common::ParseHexNumber(text, kMaxOffset);
  if (!value) return OffsetResult::kInvalid;
  if (*value == kEndMarkerOffset) return OffsetResult::kEndMarker;
  *offset = static_cast<std::uint32_t>(*value);
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
        std::ostream& /*err*/, const common::RunSettings& settings) {
  // Every message of ipsadd goes to standard output.
  return common::RunReportingOutOfMemory(
      [&] { return RunStages(args, out, settings); }, out, kOutOfMemory);
}

}  // namespace ipsadd
