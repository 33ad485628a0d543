#include "textdump/textdump.h"

#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/code_unit.h"
#include "common/command_line.h"
#include "common/file_io.h"
#include "common/format.h"
#include "common/huffman_code.h"
#include "common/info_record.h"
#include "common/packed_text.h"
#include "common/script_files.h"
#include "common/table_file.h"

namespace textdump {

// Every message, in the order the README lists them. The text goes to
// standard output, every message to standard error. The faults of a table
// are worded by the table layer (common/table_file.cc) and printed as they
// are.
constexpr const char* kUsage =
    "textdump usage:\n"
    "  textdump [--from pure|dte|huf] [layout options] table script\n"
    "layout options, with --from huf, as huffpack took them:\n"
    "  --bit-order msb|lsb  --align byte|bit  --base HEX\n"
    "  --pointer-bytes 2|3|4  --big-endian\n";
constexpr const char* kHelpDetails =
    "\n"
    "A script is named by its base name, without an extension. textdump\n"
    "writes the script's text to standard output, in the form puremake reads,\n"
    "through the table file; it never writes a file. It reads S.pure and\n"
    "S.info (--from pure, the default), S.dte and S.info (--from dte), or\n"
    "S.huf, S.ptr and S.info with tesk.tbl and tesk.bit from the current\n"
    "folder (--from huf), each pair unit written as its two characters.\n";
constexpr const char* kUnknownSource =
    "Unknown source \"%s\" after --from: expected pure, dte or huf.\n";
constexpr const char* kUnknownOption = "Unknown option \"%s\".\n";
constexpr const char* kMissingValue = "Option %s needs a value.\n";
constexpr const char* kBadValue = "Invalid value \"%s\" for %s: expected %s.\n";
constexpr const char* kCannotOpen = "Could not open %s file %s.\n";
constexpr const char* kCannotOpenBecause = "Could not open %s file %s: %s.\n";
constexpr const char* kCannotRead = "Could not read %s file %s.\n";
constexpr const char* kRefused = "%s\n";
constexpr const char* kOddLength =
    "%s: %llu bytes are not a whole number of code units.\n";
constexpr const char* kBadRecord = "%s: record %zu has the bad length %d.\n";
constexpr const char* kRecordsMismatch =
    "%s: its records add up to %lld bytes, but %s holds %llu.\n";
constexpr const char* kPointerCount =
    "%s: it holds %zu pointers, but %s describes %zu strings.\n";
constexpr const char* kBrokenPointer =
    "%s: %zu bytes are not a whole number of %zu-byte pointers.\n";
constexpr const char* kPointerAstray =
    "%s: the pointer to string %zu, %X, does not lead into %s.\n";
constexpr const char* kStringCutShort =
    "%s: string %zu ends after %zu of its %zu units.\n";
constexpr const char* kCannotWriteText =
    "Could not write the text to standard output.\n";
constexpr const char* kOutOfMemory = "Out of memory. Shutting down...\n";
const char* const kInterrupted = "Interrupted. Shutting down...\n";

namespace {

using common::Format;

constexpr const char* kTableKind = "table";
constexpr const char* kInformationKind = "information";
constexpr const char* kPackedKind = "packed text";
constexpr const char* kPointerKind = "pointer";
constexpr const char* kNotAFile = "it is not a regular file";

struct RunState {
  std::ostream& err;
  const common::RunSettings& settings;
  common::Block read_block;
  // With --from huf: how huffpack packed the text.
  common::PackedLayout layout;
};

// Decoded text on its way to standard output, written out a block at a
// time.
class TextOutput {
 public:
  TextOutput(const common::Table& table, common::DecodeMode mode,
             std::ostream& out, std::size_t block_size)
      : decoder_(table, mode), out_(out), block_size_(block_size) {
    text_.reserve(block_size_ + kLongestUnitText);
  }

  void Put(common::CodeUnit unit) {
    decoder_.Put(unit, text_);
    if (text_.size() >= block_size_) Flush();
  }
  // False once a write to the stream failed.
  bool good() const { return out_.good(); }
  // Writes out what is held; false when any write failed.
  bool Finish() {
    Flush();
    out_.flush();
    return out_.good();
  }

 private:
  // Room for the text of one unit beyond a block, so that the buffer
  // rarely grows: a pair unit's two characters, each a few bytes.
  static constexpr std::size_t kLongestUnitText = 64;

  void Flush() {
    out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
    text_.clear();
  }

  common::ScriptDecoder decoder_;
  std::ostream& out_;
  std::size_t block_size_;
  std::string text_;
};

// One way to read a script's units, chosen with --from.
struct Source {
  const char* name;
  // How its units read back as text.
  common::DecodeMode mode;
  // Takes the options before the operands other than --from; false after
  // the message.
  bool (*take_options)(std::span<const std::string> options, RunState& run);
  // Opens the script's files and puts its units, in order, into `output`;
  // false after the message.
  bool (*dump)(const std::string& script, TextOutput& output, RunState& run);
};

bool TakeNoOptions(std::span<const std::string> options, RunState& run) {
  if (options.empty()) return true;
  if (options[0].starts_with("-")) {
    run.err << Format(kUnknownOption, options[0].c_str());
  } else {
    run.err << kUsage;
  }
  return false;
}

// Reads a file of the given kind whole; false after the message.
bool ReadWhole(const std::string& name, const char* kind,
               std::vector<std::uint8_t>& bytes, RunState& run) {
  switch (common::ReadWholeFile(name, bytes, run.settings.faults)) {
    case common::ReadResult::kOk:
      return true;
    case common::ReadResult::kMissing:
    case common::ReadResult::kDenied:
    case common::ReadResult::kCannotOpen:
      run.err << Format(kCannotOpen, kind, name.c_str());
      return false;
    case common::ReadResult::kNotRegular:
      run.err << Format(kCannotOpenBecause, kind, name.c_str(), kNotAFile);
      return false;
    case common::ReadResult::kReadError:
      run.err << Format(kCannotRead, kind, name.c_str());
      return false;
  }
  return false;
}

// Opens a file of units and reads its information file whole, both under a
// shared lock of their folder, so that a run committing the two meanwhile
// cannot hand over one old and one new. False after the message.
bool OpenUnitsAndInformation(const std::string& name, const char* kind,
                             const std::string& info_name,
                             common::BlockReader& units,
                             std::vector<std::uint8_t>& info, RunState& run) {
  common::FolderLock lock;
  std::error_code ec;
  // Reading goes on without the lock where it cannot be taken.
  lock.Acquire(common::FolderOf(name), true, ec);
  switch (units.Open(name, ec)) {
    case common::OpenResult::kOk:
      break;
    case common::OpenResult::kMissing:
    case common::OpenResult::kDenied:
    case common::OpenResult::kFailed:
      run.err << Format(kCannotOpen, kind, name.c_str());
      return false;
    case common::OpenResult::kNotRegular:
      run.err << Format(kCannotOpenBecause, kind, name.c_str(), kNotAFile);
      return false;
  }
  return ReadWhole(info_name, kInformationKind, info, run);
}

// Checks that the information file describes the whole file, in whole
// units; false after the message.
bool CheckCoverage(const std::string& name, const std::string& info_name,
                   std::uint64_t length, const std::vector<std::uint8_t>& info,
                   RunState& run) {
  if (length % 2 != 0) {
    run.err << Format(kOddLength, name.c_str(),
                      static_cast<unsigned long long>(length));
    return false;
  }
  const common::Coverage coverage = common::CoverFile(length, info);
  switch (coverage.kind) {
    case common::Coverage::Kind::kExact:
      return true;
    case common::Coverage::Kind::kBadLength:
      run.err << Format(kBadRecord, info_name.c_str(), coverage.bad_record,
                        coverage.bad_length);
      return false;
    case common::Coverage::Kind::kMismatch:
      run.err << Format(kRecordsMismatch, info_name.c_str(),
                        static_cast<long long>(coverage.described),
                        name.c_str(), static_cast<unsigned long long>(length));
      return false;
  }
  return false;
}

// Dumps a flat file of units that an information file describes: the
// strings are read back to back, as the table ends them.
bool DumpUnitFile(const std::string& name, const char* kind,
                  const std::string& script, TextOutput& output,
                  RunState& run) {
  const std::string info_name = common::InformationName(script);
  common::BlockReader units(run.read_block, run.settings.faults);
  std::vector<std::uint8_t> info;
  if (!OpenUnitsAndInformation(name, kind, info_name, units, info, run) ||
      !CheckCoverage(name, info_name, units.size(), info, run)) {
    return false;
  }
  while (units.remaining() > 0 && output.good()) {
    const std::size_t readable = units.Fill(2);
    if (readable < 2) break;
    const std::size_t whole = readable & ~std::size_t{1};
    const std::uint8_t* data = units.data();
    for (std::size_t i = 0; i < whole; i += 2) {
      output.Put(common::ReadLe16(data + i));
    }
    units.Consume(whole);
  }
  if (units.failed() || (units.remaining() > 0 && output.good())) {
    run.err << Format(kCannotRead, kind, name.c_str());
    return false;
  }
  return true;
}

bool DumpPuretext(const std::string& script, TextOutput& output,
                  RunState& run) {
  return DumpUnitFile(common::PuretextName(script), "puretext", script, output,
                      run);
}

bool DumpDte(const std::string& script, TextOutput& output, RunState& run) {
  return DumpUnitFile(common::DteName(script), "dte", script, output, run);
}

// The layout options of packed text; false after the message.
bool TakeLayoutOptions(std::span<const std::string> options, RunState& run) {
  const std::vector<std::string> args(options.begin(), options.end());
  const common::LayoutArguments parsed = common::ParseLayoutOptions(args);
  switch (parsed.problem) {
    case common::LayoutArguments::Problem::kNone:
      break;
    case common::LayoutArguments::Problem::kUnknownOption:
      run.err << Format(kUnknownOption, args[parsed.at].c_str());
      return false;
    case common::LayoutArguments::Problem::kMissingValue:
      run.err << Format(kMissingValue, args[parsed.at].c_str());
      return false;
    case common::LayoutArguments::Problem::kBadValue:
      run.err << Format(kBadValue, args[parsed.at + 1].c_str(),
                        args[parsed.at].c_str(),
                        common::LayoutValuesOf(parsed.option));
      return false;
  }
  if (parsed.first_operand != args.size()) {
    run.err << kUsage;
    return false;
  }
  run.layout = parsed.layout;
  return true;
}

// The lengths, in units, of the strings the information file describes,
// one for each pointer; nullopt after the message.
std::optional<std::vector<std::size_t>> StringUnits(
    const std::string& info_name, const std::string& ptr_name,
    const std::vector<std::uint8_t>& info, std::size_t strings, RunState& run) {
  const std::size_t records = info.size() / common::kInfoRecordSize;
  if (records != strings) {
    run.err << Format(kPointerCount, ptr_name.c_str(), strings,
                      info_name.c_str(), records);
    return std::nullopt;
  }
  std::vector<std::size_t> units(strings);
  for (std::size_t k = 0; k < strings; ++k) {
    const std::int32_t length =
        common::DecodeInfoRecord(info.data() + k * common::kInfoRecordSize)
            .byteLength;
    if (length < 0 || length % 2 != 0) {
      run.err << Format(kBadRecord, info_name.c_str(), k + 1, length);
      return std::nullopt;
    }
    units[k] = static_cast<std::size_t>(length / 2);
  }
  return units;
}

// Decodes SCRIPT.huf at the pointers of SCRIPT.ptr through tesk.tbl, as the
// game reads it: each string from its pointer on, as many units as its
// record in SCRIPT.info says. The packed text of the script is held whole,
// as pointers may lead anywhere in it.
bool DumpPackedText(const std::string& script, TextOutput& output,
                    RunState& run) {
  const std::string huf_name = script + ".huf";
  const std::string ptr_name = script + ".ptr";
  const std::string info_name = common::InformationName(script);
  std::vector<std::uint8_t> huf;
  std::vector<std::uint8_t> ptr;
  std::vector<std::uint8_t> info;
  std::optional<common::HuffmanCode> code;
  {
    // The tables as one pair, and the script's files as one set.
    const common::CodeTableFiles tables =
        common::ReadCodeTables(run.settings.faults);
    for (const auto& [read, name] :
         {std::pair{tables.tbl_read, common::kNodeTableName},
          std::pair{tables.bit_read, common::kBitPatternTableName}}) {
      if (read != common::ReadResult::kOk) {
        run.err << Format(kCannotOpen, kTableKind, name);
        return false;
      }
    }
    code = common::VerifyCode(tables.tbl, tables.bit, run.err);
    if (!code) return false;
    common::FolderLock lock;
    std::error_code ec;
    lock.Acquire(common::FolderOf(huf_name), true, ec);
    if (!ReadWhole(ptr_name, kPointerKind, ptr, run) ||
        !ReadWhole(info_name, kInformationKind, info, run) ||
        !ReadWhole(huf_name, kPackedKind, huf, run)) {
      return false;
    }
  }
  const common::PackedLayout& layout = run.layout;
  if (ptr.size() % layout.pointer_bytes != 0) {
    run.err << Format(kBrokenPointer, ptr_name.c_str(), ptr.size(),
                      layout.pointer_bytes);
    return false;
  }
  const std::size_t strings = ptr.size() / layout.pointer_bytes;
  const std::optional<std::vector<std::size_t>> units =
      StringUnits(info_name, ptr_name, info, strings, run);
  if (!units) return false;

  const common::PackedDecoder decoder(*code, layout.bit_order);
  const common::BitReader bits(layout.bit_order, huf, 0,
                               std::uint64_t{huf.size()} * 8);
  std::vector<std::uint16_t> decoded(run.settings.block_size);
  for (std::size_t k = 0; k < strings && output.good(); ++k) {
    const std::uint32_t pointer =
        common::LoadPointer(ptr.data() + k * layout.pointer_bytes, layout);
    const std::optional<std::uint64_t> start =
        common::PositionOf(pointer, layout);
    if (!start || *start > bits.end()) {
      run.err << Format(kPointerAstray, ptr_name.c_str(), k + 1, pointer,
                        huf_name.c_str());
      return false;
    }
    std::uint64_t position = *start;
    std::size_t done = 0;
    while (done < (*units)[k]) {
      const std::size_t want = std::min(decoded.size(), (*units)[k] - done);
      const std::size_t got =
          decoder.DecodeUnits(bits, &position, want, decoded.data());
      for (std::size_t i = 0; i < got; ++i) output.Put(decoded[i]);
      done += got;
      if (got < want) {
        run.err << Format(kStringCutShort, huf_name.c_str(), k + 1, done,
                          (*units)[k]);
        return false;
      }
    }
  }
  return true;
}

// The sources, the first the default. Another source is one more row: its
// name, how its units decode, its options and its reader.
constexpr Source kSources[] = {
    {"pure", common::DecodeMode::kPlain, TakeNoOptions, DumpPuretext},
    {"dte", common::DecodeMode::kDte, TakeNoOptions, DumpDte},
    {"huf", common::DecodeMode::kDte, TakeLayoutOptions, DumpPackedText},
};

struct CommandLine {
  const Source* source = &kSources[0];
  // The arguments before the operands, other than --from and its value.
  std::vector<std::string> options;
  std::string table;
  std::string script;
};

// The source named after --from; nullptr after the message.
const Source* FindSource(const std::string& name, std::ostream& err) {
  for (const Source& source : kSources) {
    if (name == source.name) return &source;
  }
  err << Format(kUnknownSource, name.c_str());
  return nullptr;
}

// Options come first, then the two operands: TABLE SCRIPT. Returns nullopt
// after the message.
std::optional<CommandLine> ParseCommandLine(
    const std::vector<std::string>& args, std::ostream& err) {
  if (args.size() < 2) {
    err << kUsage;
    return std::nullopt;
  }
  const std::size_t operands = args.size() - 2;
  if (args[operands].starts_with("--") ||
      args[operands + 1].starts_with("--")) {
    err << kUsage;
    return std::nullopt;
  }
  CommandLine line;
  line.table = args[operands];
  line.script = args[operands + 1];
  for (std::size_t i = 0; i < operands; ++i) {
    if (args[i] != "--from") {
      line.options.push_back(args[i]);
      continue;
    }
    if (++i == operands) {
      err << kUsage;
      return std::nullopt;
    }
    line.source = FindSource(args[i], err);
    if (line.source == nullptr) return std::nullopt;
  }
  return line;
}

// Reads and parses the table; nullopt after the message.
std::optional<common::Table> ReadTable(const std::string& name, RunState& run) {
  std::vector<std::uint8_t> bytes;
  if (!ReadWhole(name, kTableKind, bytes, run)) return std::nullopt;
  std::variant<common::Table, common::Refusal> parsed =
      common::ParseTable(name, bytes);
  if (const auto* refusal = std::get_if<common::Refusal>(&parsed)) {
    run.err << Format(kRefused, refusal->message.c_str());
    return std::nullopt;
  }
  return std::get<common::Table>(std::move(parsed));
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err, const common::RunSettings& settings) {
  if (const std::optional<int> status = common::AnswerHelpOrVersion(
          args, "textdump", TESK_VERSION, std::string(kUsage) + kHelpDetails,
          out)) {
    return *status;
  }
  const std::optional<CommandLine> line = ParseCommandLine(args, err);
  if (!line) return 1;
  RunState run{err, settings, common::Block(settings.block_size), {}};
  if (!line->source->take_options(line->options, run)) return 1;
  const std::optional<common::Table> table = ReadTable(line->table, run);
  if (!table) return 1;
  TextOutput output(*table, line->source->mode, out, settings.block_size);
  // The text decoded before a fault is written all the same, whatever the
  // block size, so that the reader sees where the script went wrong.
  const bool dumped = line->source->dump(line->script, output, run);
  if (!output.Finish()) {
    err << kCannotWriteText;
    return 1;
  }
  return dumped ? 0 : 1;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings) {
  return common::RunReportingOutOfMemory(
      [&] { return RunStages(args, out, err, settings); }, err, kOutOfMemory);
}

}  // namespace textdump
