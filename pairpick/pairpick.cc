#include "pairpick/pairpick.h"

#include <algorithm>
#include <climits>
#include <new>

#include "common/bytes.h"
#include "common/format.h"
#include "common/script_files.h"

namespace pairpick {
namespace {

using common::AtomicFile;
using common::BlockReader;
using common::CodeUnit;
using common::Format;
using common::InfoRecord;
using common::kInfoRecordSize;

constexpr const char* kUsage =
    "pairpick usage:\n  pairpick script1 [script2] [script3] ...\n";

// The fixed codes as inclusive ranges; 133 codes in all.
constexpr std::uint16_t kFixedRanges[][2] = {
    {0x0000, 0x0011}, {0x0015, 0x001F}, {0x0021, 0x0023}, {0x0025, 0x0025},
    {0x007F, 0x0080}, {0x00E9, 0x00E9}, {0x0101, 0x0102}, {0x0104, 0x0114},
    {0x0116, 0x011C}, {0x011E, 0x011E}, {0x0120, 0x0126}, {0x0128, 0x0140},
    {0x0142, 0x0146}, {0x0148, 0x014C}, {0x014E, 0x0164}, {0x0169, 0x016B},
    {0x016D, 0x016D}, {0x016F, 0x016F},
};

constexpr std::array<std::uint16_t, kFixedCodeCount> MakeFixedCodes() {
  std::array<std::uint16_t, kFixedCodeCount> codes{};
  std::size_t n = 0;
  for (const auto& range : kFixedRanges) {
    for (unsigned code = range[0]; code <= range[1]; ++code) {
      codes[n++] = static_cast<std::uint16_t>(code);
    }
  }
  return codes;
}

// How far an information file's records cover its puretext file.
struct Coverage {
  enum class Kind { kExact, kBadLength, kMismatch };
  Kind kind = Kind::kExact;
  std::size_t needed = 0;       // records that cover the puretext
  std::size_t bad_record = 0;   // counted from 1, with kBadLength
  long long described = 0;      // with kMismatch
};

Coverage CheckCoverage(std::uint64_t puretext_length,
                       const std::vector<std::uint8_t>& info) {
  Coverage coverage;
  if (puretext_length == 0) return coverage;
  const auto length = static_cast<long long>(puretext_length);
  const std::size_t record_count = info.size() / kInfoRecordSize;
  long long sum = 0;
  for (std::size_t k = 0; k < record_count; ++k) {
    const InfoRecord record =
        common::DecodeInfoRecord(info.data() + k * kInfoRecordSize);
    if (record.byteLength < 0 || record.byteLength % 2 != 0) {
      coverage.kind = Coverage::Kind::kBadLength;
      coverage.bad_record = k + 1;
      return coverage;
    }
    sum += record.byteLength;
    if (sum >= length) {
      coverage.needed = k + 1;
      if (sum > length) {
        coverage.kind = Coverage::Kind::kMismatch;
        coverage.described = sum;
      }
      return coverage;
    }
  }
  coverage.kind = Coverage::Kind::kMismatch;
  coverage.described = sum;
  return coverage;
}

// Re-encodes one script. Returns false for a failure that must end the run
// with status 1; files that cannot be opened are only reported.
bool ReencodeScript(const std::string& script, const SubstitutionTable& table,
                    std::ostream& err, common::DiskQuota* quota) {
  const std::string pure_name = common::PuretextName(script);
  const std::string info_name = common::InformationName(script);
  const std::string dte_name = common::DteName(script);

  BlockReader puretext;
  if (!puretext.Open(pure_name)) {
    err << Format("Could not open puretext file %s. Skipping...\n",
                  pure_name.c_str());
    return true;
  }
  std::vector<std::uint8_t> info;
  switch (common::ReadWholeFile(info_name, info)) {
    case common::ReadResult::kOk:
      break;
    case common::ReadResult::kCannotOpen:
      err << Format("Could not open information file %s. Skipping...\n",
                    info_name.c_str());
      return true;
    case common::ReadResult::kReadError:
      err << Format("Could not read information file %s. Skipping...\n",
                    info_name.c_str());
      return false;
  }
  AtomicFile info_out(info_name, quota);
  if (!info_out.Open()) {
    err << Format("Could not open information file %s. Skipping...\n",
                  info_name.c_str());
    return true;
  }
  AtomicFile dte_out(dte_name, quota);
  if (!dte_out.Open()) {
    err << Format("Could not open dte file %s. Skipping...\n",
                  dte_name.c_str());
    return true;
  }

  if (puretext.size() % 2 != 0) {
    err << Format("Puretext file %s has an odd length. Skipping...\n",
                  pure_name.c_str());
    return false;
  }
  const Coverage coverage = CheckCoverage(puretext.size(), info);
  switch (coverage.kind) {
    case Coverage::Kind::kExact:
      break;
    case Coverage::Kind::kBadLength:
      err << Format(
          "Information file %s has a bad length in record %d. Skipping...\n",
          info_name.c_str(), static_cast<int>(coverage.bad_record));
      return false;
    case Coverage::Kind::kMismatch:
      err << Format(
          "Information file %s describes %lld bytes, but puretext file %s "
          "holds %lld. Skipping...\n",
          info_name.c_str(), coverage.described, pure_name.c_str(),
          static_cast<long long>(puretext.size()));
      return false;
  }

  std::vector<InfoRecord> records(coverage.needed);
  for (std::size_t k = 0; k < records.size(); ++k) {
    records[k] = common::DecodeInfoRecord(info.data() + k * kInfoRecordSize);
  }
  std::size_t bad_record = 0;
  switch (EncodeScript(puretext, table, records, dte_out, &bad_record)) {
    case EncodeResult::kOk:
      break;
    case EncodeResult::kReadError:
      err << Format("Could not read puretext file %s. Skipping...\n",
                    pure_name.c_str());
      return false;
    case EncodeResult::kLengthOverflow:
      err << Format(
          "Information file %s has a bad length in record %d. Skipping...\n",
          info_name.c_str(), static_cast<int>(bad_record + 1));
      return false;
  }
  for (std::size_t k = 0; k < records.size(); ++k) {
    common::EncodeInfoRecord(records[k], info.data() + k * kInfoRecordSize);
  }
  info_out.Write(info);

  if (!dte_out.Finish()) {
    err << Format("Could not write dte file %s. Skipping...\n",
                  dte_name.c_str());
    return false;
  }
  // With an empty puretext nothing describes it, so the information file
  // stays as it is and only the (empty) dte file is written.
  const bool rewrite_info = !records.empty();
  if (rewrite_info && !info_out.Finish()) {
    err << Format("Could not write information file %s. Skipping...\n",
                  info_name.c_str());
    return false;
  }
  // The dte file goes first: until the information file follows, the old
  // one still describes the puretext.
  if (!dte_out.Commit()) {
    err << Format("Could not write dte file %s. Skipping...\n",
                  dte_name.c_str());
    return false;
  }
  if (rewrite_info && !info_out.Commit()) {
    err << Format("Could not write information file %s. Skipping...\n",
                  info_name.c_str());
    return false;
  }
  return true;
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err, common::DiskQuota* quota) {
  if (args.empty()) {
    err << kUsage;
    return 1;
  }
  if (args.size() == 1 && args[0] == "--help") {
    out << kUsage;
    return 0;
  }
  if (args.size() == 1 && args[0] == "--version") {
    out << "pairpick " TESK_VERSION "\n";
    return 0;
  }

  int status = 0;
  PairList pairs;
  for (const std::string& script : args) {
    const std::string pure_name = common::PuretextName(script);
    BlockReader puretext;
    if (!puretext.Open(pure_name)) {
      err << Format("Could not open puretext file %s. Skipping...\n",
                    pure_name.c_str());
    } else if (!SurveyPuretext(puretext, pairs)) {
      err << Format("Could not read puretext file %s. Skipping...\n",
                    pure_name.c_str());
      status = 1;
    }
  }
  const SubstitutionTable table = BuildSubstitutionTable(pairs);
  for (const std::string& script : args) {
    if (!ReencodeScript(script, table, err, quota)) status = 1;
  }
  return status;
}

}  // namespace

const std::array<std::uint16_t, kFixedCodeCount> kFixedCodes = MakeFixedCodes();

std::vector<PairRecord> PairList::records() const {
  std::vector<PairRecord> records;
  records.reserve(order_.size());
  for (std::uint16_t value : order_) records.push_back({value, counts_[value]});
  return records;
}

namespace {

// One survey step at s, which has at least 4 readable bytes; the argument
// unit is passed over unread. Returns the bytes the step takes.
inline std::size_t SurveyStep(const std::uint8_t* s, PairList& pairs) {
  const CodeUnit u1 = common::ReadLe16(s);
  if (!common::IsTextCharacter(u1)) return common::TakesArgument(u1) ? 4 : 2;
  const CodeUnit u2 = common::ReadLe16(s + 2);
  if (common::IsTextCharacter(u2)) {
    pairs.Count(common::PairValue(u1, u2));
    return 4;
  }
  return common::TakesArgument(u2) ? 6 : 4;
}

}  // namespace

bool SurveyPuretext(BlockReader& puretext, PairList& pairs) {
  const std::uint64_t length = puretext.remaining();
  std::uint64_t p = 0;
  // A step needs at least two whole units ahead of it.
  while (p + 3 < length) {
    const std::size_t readable = puretext.Fill(6);
    if (readable < 4) return false;
    const std::uint8_t* d = puretext.data();
    // Whole steps that lie inside the block, with no check per step.
    const std::uint64_t stop = std::min<std::uint64_t>(
        readable >= 6 ? readable - 5 : 0, length - p - 3);
    std::size_t i = 0;
    while (i < stop) i += SurveyStep(d + i, pairs);
    if (i > 0) {
      puretext.Consume(i);
      p += i;
      continue;
    }
    // The last bytes of the file: the step may pass over its end.
    const std::size_t step = SurveyStep(d, pairs);
    if (step <= readable) {
      puretext.Consume(step);
    } else {
      puretext.Skip(step);
    }
    p += step;
  }
  return !puretext.failed();
}

SubstitutionTable BuildSubstitutionTable(const PairList& pairs) {
  std::vector<PairRecord> ranked = pairs.records();
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const PairRecord& a, const PairRecord& b) {
                     return a.count > b.count;
                   });
  SubstitutionTable table;
  std::copy(kFixedCodes.begin(), kFixedCodes.end(), table.entries.begin());
  const std::size_t taken = std::min<std::size_t>(
      ranked.size(), table.entries.size() - kFixedCodes.size());
  for (std::size_t i = 0; i < taken; ++i) {
    table.entries[kFixedCodes.size() + i] = ranked[i].pairValue;
  }
  table.usedLength = static_cast<int>(kFixedCodes.size() + taken);
  for (int i = 0; i < table.usedLength; ++i) {
    table.members.set(table.entries[static_cast<std::size_t>(i)]);
  }
  return table;
}

namespace {

struct Step {
  std::size_t taken;   // puretext bytes
  std::size_t copied;  // dte bytes
};

// Encodes the step at s, which has at least 4 readable bytes and all bytes
// of the step that lie within the file's `file_left` bytes, into o, which
// has room for 6.
inline Step EncodeStep(const std::uint8_t* s, std::uint8_t* o,
                       const SubstitutionTable& table,
                       std::uint64_t file_left) {
  const CodeUnit u1 = common::ReadLe16(s);
  o[0] = s[0];
  if (!common::IsTextCharacter(u1)) {
    o[1] = s[1];
    if (!common::TakesArgument(u1)) return {2, 2};
    o[2] = s[2];
    o[3] = s[3];
    return {4, 4};
  }
  const CodeUnit u2 = common::ReadLe16(s + 2);
  if (common::IsTextCharacter(u2)) {
    // Either the pair unit (first code, second code) or the first character
    // alone; chosen without a branch, as the choice follows no pattern.
    const bool pair = table.IsMember(common::PairValue(u1, u2));
    o[1] = pair ? s[2] : s[1];
    return {pair ? std::size_t{4} : std::size_t{2}, 2};
  }
  o[1] = s[1];
  o[2] = s[2];
  o[3] = s[3];
  if (!common::TakesArgument(u2)) return {4, 4};
  // An argument unit beyond the end of the file is not invented.
  if (file_left < 6) return {6, 4};
  o[4] = s[4];
  o[5] = s[5];
  return {6, 6};
}

}  // namespace

EncodeResult EncodeScript(BlockReader& puretext, const SubstitutionTable& table,
                          std::vector<InfoRecord>& records, AtomicFile& dte,
                          std::size_t* bad_record) {
  // The dte bytes are gathered in blocks, so that a step stores its bytes
  // without a call.
  constexpr std::size_t kOutBlock = 64 * 1024;
  std::vector<std::uint8_t> block(kOutBlock + 8);
  std::uint8_t* const out_begin = block.data();
  std::uint8_t* const out_limit = out_begin + kOutBlock;
  std::uint8_t* o = out_begin;
  std::uint64_t flushed = 0;
  const auto flush = [&] {
    dte.Write(out_begin, static_cast<std::size_t>(o - out_begin));
    flushed += static_cast<std::uint64_t>(o - out_begin);
    o = out_begin;
  };
  const auto out_total = [&] {
    return flushed + static_cast<std::uint64_t>(o - out_begin);
  };

  const std::uint64_t length = puretext.remaining();
  std::uint64_t p = 0;
  std::uint64_t begin = 0;
  EncodeResult result = EncodeResult::kOk;
  for (std::size_t k = 0; k < records.size() && result == EncodeResult::kOk;
       ++k) {
    const std::uint64_t end =
        begin + static_cast<std::uint64_t>(records[k].byteLength);
    const std::uint64_t string_start = out_total();
    while (p + 3 < end) {
      const std::size_t readable = puretext.Fill(6);
      if (readable < 4) {
        result = EncodeResult::kReadError;
        break;
      }
      const std::uint8_t* d = puretext.data();
      // Whole steps that lie inside the block and the string.
      const std::uint64_t stop = std::min<std::uint64_t>(
          readable >= 6 ? readable - 5 : 0, end - p - 3);
      std::size_t i = 0;
      while (i < stop) {
        if (o >= out_limit) flush();
        const Step step = EncodeStep(d + i, o, table, UINT64_MAX);
        i += step.taken;
        o += step.copied;
      }
      if (i > 0) {
        puretext.Consume(i);
        p += i;
        continue;
      }
      // The last bytes of the file.
      if (o >= out_limit) flush();
      const Step step = EncodeStep(d, o, table, length - p);
      if (step.copied > readable) {
        result = EncodeResult::kReadError;
        break;
      }
      o += step.copied;
      if (step.taken <= readable) {
        puretext.Consume(step.taken);
      } else {
        puretext.Skip(step.taken);
      }
      p += step.taken;
    }
    if (result == EncodeResult::kOk && p < end) {
      // One unit of the string is left; it is copied whatever it is.
      if (puretext.Fill(2) < 2) {
        result = EncodeResult::kReadError;
        break;
      }
      if (o >= out_limit) flush();
      o[0] = puretext.data()[0];
      o[1] = puretext.data()[1];
      o += 2;
      puretext.Consume(2);
      p += 2;
    }
    const std::uint64_t written = out_total() - string_start;
    if (written > static_cast<std::uint64_t>(INT32_MAX)) {
      *bad_record = k;
      result = EncodeResult::kLengthOverflow;
      break;
    }
    records[k].byteLength = static_cast<std::int32_t>(written);
    begin = end;
  }
  flush();
  if (result == EncodeResult::kOk && puretext.failed()) {
    result = EncodeResult::kReadError;
  }
  return result;
}

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, common::DiskQuota* quota) {
  try {
    return RunStages(args, out, err, quota);
  } catch (const std::bad_alloc&) {
    err << "Out of memory. Shutting down...\n";
    return 1;
  }
}

}  // namespace pairpick
