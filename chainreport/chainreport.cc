#include "chainreport/chainreport.h"

#include <algorithm>
#include <new>
#include <optional>
#include <span>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/code_unit.h"
#include "common/command_line.h"
#include "common/file_io.h"
#include "common/format.h"
#include "common/huffman_code.h"
#include "common/info_record.h"
#include "common/script_files.h"

namespace chainreport {

// Every message, in the order the README lists them: the report goes to
// standard output, the rest to standard error. The faults of the tables
// themselves are worded in common/huffman_code.cc.
constexpr const char* kUsage =
    "chainreport usage:\n  chainreport script1 [script2] [script3] ...\n";
constexpr const char* kCannotRead = "Could not read %s.\n";
constexpr const char* kOddDte =
    "%s: %lld bytes are not a whole number of code units\n";
constexpr const char* kBadRecord =
    "%s: record %zu at byte %zu has the bad length %d\n";
constexpr const char* kRecordsMismatch =
    "%s: its records add up to %lld bytes, but %s holds %lld\n";
constexpr const char* kNoLeaf =
    "%s: unit %04X at byte %lld has no leaf in tesk.bit\n";
constexpr const char* kOutOfMemory = "Out of memory. Shutting down...\n";
const char* const kInterrupted = "Interrupted. Shutting down...\n";

namespace {

using common::Format;

constexpr int kBarWidth = 50;

// What one script measures after the chain.
struct ScriptFigures {
  std::string script;
  std::int64_t strings = 0;
  std::int64_t puretext_bytes = 0;
  std::int64_t dte_bytes = 0;
  std::int64_t encoded_bits = 0;
  // The encoded bits of each string rounded up to whole bytes, as each
  // string begins on a byte of its own.
  std::int64_t encoded_bytes = 0;
};

// Reads both tables; false after a message for each that cannot be read.
bool ReadTables(std::vector<std::uint8_t>& tbl, std::vector<std::uint8_t>& bit,
                std::ostream& err) {
  common::CodeTableFiles files = common::ReadCodeTables();
  if (files.tbl_read != common::ReadResult::kOk) {
    err << Format(kCannotRead, common::kNodeTableName);
  }
  if (files.bit_read != common::ReadResult::kOk) {
    err << Format(kCannotRead, common::kBitPatternTableName);
  }
  tbl = std::move(files.tbl);
  bit = std::move(files.bit);
  return files.tbl_read == common::ReadResult::kOk &&
         files.bit_read == common::ReadResult::kOk;
}

// Opens the script's files: the puretext is only measured, the information
// file read whole, the dte file opened for reading. Returns false after the
// message.
bool OpenScriptFiles(const std::string& script, ScriptFigures& figures,
                     std::vector<std::uint8_t>& info, common::BlockReader& dte,
                     std::ostream& err) {
  const std::string pure_name = common::PuretextName(script);
  const std::string info_name = common::InformationName(script);
  const std::string dte_name = common::DteName(script);
  common::NativeFile puretext;
  std::error_code ec;
  std::uint64_t puretext_size = 0;
  if (common::NativeFile::OpenForReading(pure_name, puretext, ec) !=
          common::OpenResult::kOk ||
      !puretext.Measure(&puretext_size, nullptr, ec)) {
    err << Format(kCannotRead, pure_name.c_str());
    return false;
  }
  figures.puretext_bytes = static_cast<std::int64_t>(puretext_size);
  if (common::ReadWholeFile(info_name, info) != common::ReadResult::kOk) {
    err << Format(kCannotRead, info_name.c_str());
    return false;
  }
  if (dte.Open(dte_name, ec) != common::OpenResult::kOk) {
    err << Format(kCannotRead, dte_name.c_str());
    return false;
  }
  figures.dte_bytes = static_cast<std::int64_t>(dte.size());
  return true;
}

// The lengths of the strings of the dte file, from the records that cover
// it as pairpick rewrote them; nullopt after the message.
std::optional<std::vector<std::int64_t>> CoverDte(
    const std::string& script, const std::vector<std::uint8_t>& info,
    std::uint64_t dte_length, std::ostream& err) {
  const std::string info_name = common::InformationName(script);
  const std::string dte_name = common::DteName(script);
  if (dte_length % 2 != 0) {
    err << Format(kOddDte, dte_name.c_str(),
                  static_cast<long long>(dte_length));
    return std::nullopt;
  }
  const common::Coverage coverage = common::CoverFile(dte_length, info);
  switch (coverage.kind) {
    case common::Coverage::Kind::kExact:
      break;
    case common::Coverage::Kind::kBadLength:
      err << Format(kBadRecord, info_name.c_str(), coverage.bad_record,
                    (coverage.bad_record - 1) * common::kInfoRecordSize,
                    coverage.bad_length);
      return std::nullopt;
    case common::Coverage::Kind::kMismatch:
      err << Format(kRecordsMismatch, info_name.c_str(),
                    static_cast<long long>(coverage.described),
                    dte_name.c_str(), static_cast<long long>(dte_length));
      return std::nullopt;
  }
  std::vector<std::int64_t> lengths(coverage.needed);
  for (std::size_t k = 0; k < lengths.size(); ++k) {
    lengths[k] =
        common::DecodeInfoRecord(info.data() + k * common::kInfoRecordSize)
            .byteLength;
  }
  return lengths;
}

// Counts the encoded bits of each string and each unit's uses; false after
// the message when a unit has no leaf or a read fails.
bool EncodeStrings(const std::string& script,
                   const std::vector<std::int64_t>& lengths,
                   const common::HuffmanCode& code, common::BlockReader& dte,
                   ScriptFigures& figures, std::vector<std::int64_t>& uses,
                   std::ostream& err) {
  const std::string dte_name = common::DteName(script);
  std::int64_t position = 0;
  for (const std::int64_t length : lengths) {
    std::int64_t bits = 0;
    std::int64_t left = length;
    while (left > 0) {
      const std::size_t readable = dte.Fill(2);
      if (readable < 2) {
        err << Format(kCannotRead, dte_name.c_str());
        return false;
      }
      // Whole units of this string that the block holds.
      const std::size_t take = static_cast<std::size_t>(std::min<std::int64_t>(
          left, static_cast<std::int64_t>(readable & ~std::size_t{1})));
      const std::uint8_t* d = dte.data();
      for (std::size_t i = 0; i < take; i += 2, position += 2) {
        const std::uint16_t unit = common::ReadLe16(d + i);
        const std::int32_t leaf = code.leaf_of[unit];
        if (leaf < 0) {
          err << Format(kNoLeaf, dte_name.c_str(), unit,
                        static_cast<long long>(position));
          return false;
        }
        ++uses[unit];
        bits += static_cast<std::int64_t>(
            code.leaves[static_cast<std::size_t>(leaf)].pattern.size());
      }
      dte.Consume(take);
      left -= static_cast<std::int64_t>(take);
    }
    figures.encoded_bits += bits;
    figures.encoded_bytes += (bits + 7) / 8;
  }
  return true;
}

// Reads one script's files and checks them against the code, adding each
// unit's occurrences to `uses`. Returns nullopt after the first fault.
std::optional<ScriptFigures> CheckScript(const std::string& script,
                                         const common::HuffmanCode& code,
                                         std::vector<std::int64_t>& uses,
                                         std::span<std::uint8_t> block,
                                         std::ostream& err) {
  ScriptFigures figures;
  figures.script = script;
  std::vector<std::uint8_t> info;
  common::BlockReader dte(block);
  if (!OpenScriptFiles(script, figures, info, dte, err)) return std::nullopt;
  const std::optional<std::vector<std::int64_t>> lengths =
      CoverDte(script, info, dte.size(), err);
  if (!lengths) return std::nullopt;
  figures.strings = static_cast<std::int64_t>(lengths->size());
  if (!EncodeStrings(script, *lengths, code, dte, figures, uses, err))
    return std::nullopt;
  return figures;
}

std::string Percent(std::int64_t part, std::int64_t whole) {
  if (whole == 0) return "-";
  return Format("%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

// Prints a row per script and the total row; returns the total.
ScriptFigures PrintRows(const std::vector<ScriptFigures>& rows,
                        std::ostream& out) {
  int width = 6;
  for (const ScriptFigures& row : rows) {
    width = std::max(width, static_cast<int>(row.script.size()));
  }
  out << Format("%-*s %8s %12s %12s %14s %12s %7s\n", width, "script",
                "strings", "puretext", "dte", "encoded bits", "bytes", "ratio");
  ScriptFigures total;
  total.script = "total";
  const auto print_row = [&](const ScriptFigures& row) {
    out << Format("%-*s %8lld %12lld %12lld %14lld %12lld %7s\n", width,
                  row.script.c_str(), static_cast<long long>(row.strings),
                  static_cast<long long>(row.puretext_bytes),
                  static_cast<long long>(row.dte_bytes),
                  static_cast<long long>(row.encoded_bits),
                  static_cast<long long>(row.encoded_bytes),
                  Percent(row.encoded_bytes, row.puretext_bytes).c_str());
  };
  for (const ScriptFigures& row : rows) {
    print_row(row);
    total.strings += row.strings;
    total.puretext_bytes += row.puretext_bytes;
    total.dte_bytes += row.dte_bytes;
    total.encoded_bits += row.encoded_bits;
    total.encoded_bytes += row.encoded_bytes;
  }
  print_row(total);
  return total;
}

// The code's leaves by pattern length, weighted by use.
struct Histogram {
  std::vector<std::int64_t> symbols_at =
      std::vector<std::int64_t>(common::kPatternFieldSize, 0);
  std::vector<std::int64_t> uses_at =
      std::vector<std::int64_t>(common::kPatternFieldSize, 0);
  std::size_t in_use = 0;
  std::size_t longest = 0;
  std::int64_t units = 0;
};

Histogram BuildHistogram(const common::HuffmanCode& code,
                         const std::vector<std::int64_t>& uses) {
  Histogram histogram;
  for (const common::BitRecord& leaf : code.leaves) {
    const std::int64_t used = uses[leaf.symbol];
    const std::size_t length = leaf.pattern.size();
    ++histogram.symbols_at[length];
    histogram.uses_at[length] += used;
    histogram.units += used;
    if (used > 0) {
      ++histogram.in_use;
      histogram.longest = std::max(histogram.longest, length);
    }
  }
  return histogram;
}

void PrintHistogram(const Histogram& histogram, std::size_t leaves,
                    std::int64_t encoded_bits, std::ostream& out) {
  out << Format("\nLeaves in use: %zu of %zu\n", histogram.in_use, leaves);
  out << Format("Longest pattern in use: %zu bits\n", histogram.longest);
  out << Format("Mean pattern length, weighted by use: %.2f bits\n",
                histogram.units == 0
                    ? 0.0
                    : static_cast<double>(encoded_bits) /
                          static_cast<double>(histogram.units));
  out << Format("\nPattern lengths:\n%5s %8s %12s\n", "bits", "symbols",
                "uses");
  const std::int64_t most =
      *std::max_element(histogram.uses_at.begin(), histogram.uses_at.end());
  for (std::size_t length = 0; length < histogram.symbols_at.size(); ++length) {
    if (histogram.symbols_at[length] == 0) continue;
    const std::int64_t used = histogram.uses_at[length];
    int bar = 0;
    if (used > 0) {
      bar = std::max<int>(
          1, static_cast<int>((used * kBarWidth + most / 2) / most));
    }
    out << Format("%5zu %8lld %12lld", length,
                  static_cast<long long>(histogram.symbols_at[length]),
                  static_cast<long long>(used));
    if (bar > 0) out << "  " << std::string(static_cast<std::size_t>(bar), '#');
    out << "\n";
  }
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err, const common::RunSettings& settings) {
  if (args.empty()) {
    err << kUsage;
    return 1;
  }
  if (const std::optional<int> status = common::AnswerHelpOrVersion(
          args, "chainreport", TESK_VERSION, kUsage, out)) {
    return *status;
  }
  std::vector<std::uint8_t> tbl;
  std::vector<std::uint8_t> bit;
  if (!ReadTables(tbl, bit, err)) return 1;
  const std::optional<common::HuffmanCode> code =
      common::VerifyCode(tbl, bit, err);
  if (!code) return 1;

  int status = 0;
  std::vector<std::int64_t> uses(common::kUnitValueCount, 0);
  std::vector<ScriptFigures> rows;
  std::vector<std::uint8_t> block(settings.block_size);
  for (const std::string& script : args) {
    std::optional<ScriptFigures> row =
        CheckScript(script, *code, uses, block, err);
    if (row) {
      rows.push_back(std::move(*row));
    } else {
      status = 1;
    }
  }
  if (rows.empty()) return status;
  const ScriptFigures total = PrintRows(rows, out);
  PrintHistogram(BuildHistogram(*code, uses), code->leaves.size(),
                 total.encoded_bits, out);
  return status;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings) {
  try {
    return RunStages(args, out, err, settings);
  } catch (const std::bad_alloc&) {
    err << kOutOfMemory;
    return 1;
  }
}

}  // namespace chainreport
