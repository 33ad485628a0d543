#include "huffpack/huffpack.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <new>
#include <optional>
#include <span>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/code_unit.h"
#include "common/command_line.h"
#include "common/commit.h"
#include "common/format.h"
#include "common/huffman_code.h"
#include "common/info_record.h"
#include "common/interrupts.h"
#include "common/output_file.h"
#include "common/packed_text.h"
#include "common/script_files.h"

namespace huffpack {

// Every message, in the order the README lists them. All go to standard
// error. The faults of the tables themselves are worded in
// common/huffman_code.cc.
constexpr const char* kUsage =
    "huffpack usage:\n"
    "  huffpack [options] script1 [script2] [script3] ...\n"
    "options, before the scripts (-- ends them):\n"
    "  --bit-order msb|lsb     the first bit of a byte is its most or least\n"
    "                          significant bit (msb)\n"
    "  --align byte|bit        each string starts on a fresh byte, or right\n"
    "                          behind the one before (byte)\n"
    "  --base HEX              added to every pointer (0)\n"
    "  --pointer-bytes 2|3|4   the width of a pointer (4)\n"
    "  --big-endian            pointers high byte first (low byte first)\n";
constexpr const char* kHelpDetails =
    "\n"
    "A script is named by its base name, without an extension. huffpack\n"
    "reads tesk.tbl and tesk.bit from the current folder and each script's\n"
    "S.dte and S.info, and writes S.huf (the packed text) and S.ptr (a\n"
    "pointer to each string) for every script, or, on any fault, none\n"
    "(status 1).\n";
constexpr const char* kUnknownOption = "Unknown option \"%s\".\n";
constexpr const char* kMissingValue = "Option %s needs a value.\n";
constexpr const char* kBadValue = "Invalid value \"%s\" for %s: expected %s.\n";
constexpr const char* kCannotRead = "Could not read %s.\n";
constexpr const char* kOddDte =
    "%s: %lld bytes are not a whole number of code units\n";
constexpr const char* kBadRecord =
    "%s: record %zu at byte %zu has the bad length %d\n";
constexpr const char* kRecordsMismatch =
    "%s: its records add up to %lld bytes, but %s holds %lld\n";
constexpr const char* kCannotBegin = "Could not write %s: %s.\n";
constexpr const char* kNotAFile = "it is not a regular file";
constexpr const char* kReadOnly = "it may not be written";
constexpr const char* kCannotCreate =
    "cannot create a temporary file in %s (%s)";
constexpr const char* kNoLeaf =
    "%s: unit %04X in string %zu has no leaf in tesk.bit\n";
constexpr const char* kPointerTooLarge =
    "%s: the pointer to string %zu, %llX, does not fit in %zu bytes\n";
constexpr const char* kNotDecodedBack =
    "%s: string %zu does not decode back to its units\n";
constexpr const char* kPointerAstray =
    "%s: the pointer to string %zu does not lead to its start\n";
constexpr const char* kCannotWrite = "Could not write %s.\n";
constexpr const char* kOutOfMemory = "Out of memory. Shutting down...\n";
const char* const kInterrupted = "Interrupted. Shutting down...\n";

namespace {

using common::BitWriter;
using common::Format;

// Bytes behind the writer's part of the held buffer, so that the proof
// reads 8 bytes at any held byte in one step.
constexpr std::size_t kReadAhead = 8;

// A script's files.
struct Script {
  std::string dte;
  std::string info;
  std::string huf;
  std::string ptr;
};

// A unit's pattern in one word, as the writer takes it: the pattern's
// length in the low 8 bits (0 where the unit has no leaf), above them its
// bits in stream order, or for a pattern longer than one put takes, its
// leaf.
using UnitCode = std::uint64_t;

unsigned LengthOf(UnitCode code) { return static_cast<unsigned>(code & 0xFF); }
std::uint64_t BitsOf(UnitCode code) { return code >> 8; }

// What packs every script: the layout, each unit's pattern, and the decoder
// that proves the result.
struct Packer {
  Packer(const common::PackedLayout& packed_layout,
         const common::HuffmanCode& huffman_code)
      : layout(packed_layout),
        code(huffman_code),
        codes(common::kUnitValueCount),
        decoder(huffman_code, packed_layout.bit_order) {
    for (std::size_t leaf = 0; leaf < code.leaves.size(); ++leaf) {
      const std::string& pattern = code.leaves[leaf].pattern;
      const std::uint64_t above =
          pattern.size() <= BitWriter::kMaxPut
              ? common::PatternBits(pattern, layout.bit_order)
              : leaf;
      codes[code.leaves[leaf].symbol] = above << 8 | pattern.size();
    }
  }

  common::PackedLayout layout;
  const common::HuffmanCode& code;
  std::vector<UnitCode> codes;  // by unit value
  common::PackedDecoder decoder;
};

struct RunState {
  std::ostream& err;
  const common::RunSettings& settings;
  common::Block read_block;
  common::Block pointer_block;
  common::Block held;              // the packed bits, until they are proven
  std::vector<std::uint8_t> info;  // each script's information file in turn
  // Every finished output, in order, until the commit.
  std::deque<common::OutputFile> outputs;
  std::vector<std::string> output_names;
  // The permission bits the tables share: no output shows more than they
  // and its script's files do.
  std::uint32_t table_permissions = 0777;
};

// Proves, while the packed text is made, that it decodes back. It reads the
// bits the writer holds through the node table (tesk.bit plays no part) and
// compares every unit with the dte unit it stands for, every pointer with
// where the decoder stands when its string begins, and every padding bit
// with 0. Each byte that is full passes the faults' hook once, before it is
// read; the bits of a byte read before it was full are read again once it
// is. Bytes go on to the file only once they are proven.
class Proof {
 public:
  // REQUIRES: `bits` holds its bytes in `buffer`.
  Proof(const Packer& packer, BitWriter& bits,
        std::span<const std::uint8_t> buffer, const Script& script,
        common::Faults* faults)
      : packer_(packer),
        bits_(bits),
        buffer_(buffer),
        script_(script),
        faults_(faults) {}

  // Checks the pointer made for the next string.
  bool CheckPointer(std::span<std::uint8_t> stored) {
    if (faults_ != nullptr) {
      faults_->Made(script_.ptr, pointers_made_ * stored.size(), stored);
    }
    ++pointers_made_;
    const std::optional<std::uint64_t> start = common::PositionOf(
        common::LoadPointer(stored.data(), packer_.layout), packer_.layout);
    return start && *start == position_;
  }

  // The units of the batch that encoding goes through, little-endian.
  void StartBatch(const std::uint8_t* units) {
    units_ = units;
    decoded_ = 0;
  }

  // Decodes the batch's units up to the `encoded` first. With `all` the
  // batch is done, and the decoder must then stand where the writer does.
  bool CatchUp(std::size_t encoded, bool all) {
    if (!OfferAndRecheck()) return false;
    const common::BitReader reader = Reader();
    // Each unit is decoded where the one before it ends by the length of its
    // pattern in tesk.bit. As every decoded length must be that length,
    // decoding from the string's start passes through the same places; and
    // the decodes need not wait for each other.
    const UnitCode* const codes = packer_.codes.data();
    if (!packer_.decoder.GivesAll(
            reader, &position_, units_ + 2 * decoded_, encoded - decoded_,
            [codes](std::uint16_t unit) { return LengthOf(codes[unit]); })) {
      return false;
    }
    decoded_ = encoded;
    NoteUnfinishedByte();
    return !all || position_ == bits_.position();
  }

  // Proves the first `encoded` units of the batch and lets the writer hand
  // the proven bytes on, so that it has room for another pattern.
  bool MakeRoom(std::size_t encoded) {
    if (!CatchUp(encoded, false)) return false;
    bits_.Release(position_ / 8);
    return bits_.room() >= BitWriter::kPutRoom;
  }

  // After a string: with `padded`, the writer went on to a byte boundary,
  // and the bits up to it must be 0.
  bool EndString(bool padded) {
    if (!OfferAndRecheck()) return false;
    const std::uint64_t padding = padded ? (8 - position_ % 8) % 8 : 0;
    if (padding > 0) {
      const common::BitReader reader = Reader();
      if (position_ + padding > reader.end() ||
          reader.Peek(position_, static_cast<unsigned>(padding)) != 0) {
        return false;
      }
      position_ += padding;
    }
    NoteUnfinishedByte();
    return position_ == bits_.position();
  }

 private:
  // The held bits. The reader is given the whole buffer, so that it reads
  // the last held bytes as fast as the others; what lies behind the bits
  // cannot change a decoded unit, as the decoder looks only at the bits
  // before end().
  common::BitReader Reader() const {
    return {packer_.layout.bit_order, buffer_, bits_.held_from(),
            bits_.position()};
  }

  // The bits of a byte that the writer may still add to: the first `count`.
  std::uint8_t FirstBits(unsigned count) const {
    return static_cast<std::uint8_t>(packer_.layout.bit_order ==
                                             common::BitOrder::kMsbFirst
                                         ? 0xFF00 >> count
                                         : (1 << count) - 1);
  }

  // Hands each byte that became full to the hook, then reads the bits that
  // were read of the byte not full at the last catch-up again.
  bool OfferAndRecheck() {
    const std::span<std::uint8_t> held = bits_.held();
    const std::uint64_t first_held = bits_.held_from() / 8;
    const std::uint64_t full = bits_.position() / 8;
    if (faults_ != nullptr && full > offered_) {
      faults_->Made(
          script_.huf, offered_,
          held.subspan(static_cast<std::size_t>(offered_ - first_held),
                       static_cast<std::size_t>(full - offered_)));
    }
    offered_ = full;
    if (unfinished_count_ == 0) return true;
    const std::uint8_t byte =
        held[static_cast<std::size_t>(unfinished_at_ - first_held)];
    return (byte & FirstBits(unfinished_count_)) == unfinished_bits_;
  }

  void NoteUnfinishedByte() {
    unfinished_count_ = static_cast<unsigned>(bits_.position() % 8);
    if (unfinished_count_ == 0) return;
    unfinished_at_ = bits_.position() / 8;
    unfinished_bits_ =
        static_cast<std::uint8_t>(bits_.held()[static_cast<std::size_t>(
                                      unfinished_at_ - bits_.held_from() / 8)] &
                                  FirstBits(unfinished_count_));
  }

  const Packer& packer_;
  BitWriter& bits_;
  std::span<const std::uint8_t> buffer_;
  const Script& script_;
  common::Faults* faults_;
  std::uint64_t position_ = 0;  // where the decoder stands, in bits
  std::uint64_t offered_ = 0;   // bytes handed to the hook
  std::uint64_t pointers_made_ = 0;
  const std::uint8_t* units_ = nullptr;
  std::size_t decoded_ = 0;
  std::uint64_t unfinished_at_ = 0;  // the byte, its bits and how many
  std::uint8_t unfinished_bits_ = 0;
  unsigned unfinished_count_ = 0;
};

// The options and the scripts named, or nullopt after the message.
struct CommandLine {
  common::PackedLayout layout;
  std::vector<std::string> scripts;
};

std::optional<CommandLine> ParseCommandLine(
    const std::vector<std::string>& args, std::ostream& err) {
  const common::LayoutArguments parsed = common::ParseLayoutOptions(args);
  switch (parsed.problem) {
    case common::LayoutArguments::Problem::kNone:
      break;
    case common::LayoutArguments::Problem::kUnknownOption:
      err << Format(kUnknownOption, args[parsed.at].c_str());
      return std::nullopt;
    case common::LayoutArguments::Problem::kMissingValue:
      err << Format(kMissingValue, args[parsed.at].c_str());
      return std::nullopt;
    case common::LayoutArguments::Problem::kBadValue:
      err << Format(kBadValue, args[parsed.at + 1].c_str(),
                    args[parsed.at].c_str(),
                    common::LayoutValuesOf(parsed.option));
      return std::nullopt;
  }
  if (parsed.first_operand == args.size()) {
    err << kUsage;
    return std::nullopt;
  }
  return CommandLine{
      parsed.layout,
      {args.begin() + static_cast<std::ptrdiff_t>(parsed.first_operand),
       args.end()}};
}

// The code both tables describe, or nullopt after the messages.
std::optional<common::HuffmanCode> ReadCode(std::ostream& err,
                                            common::Faults* faults,
                                            std::uint32_t* permissions) {
  const common::CodeTableFiles files = common::ReadCodeTables(faults);
  *permissions = files.permissions;
  if (files.tbl_read != common::ReadResult::kOk) {
    err << Format(kCannotRead, common::kNodeTableName);
  }
  if (files.bit_read != common::ReadResult::kOk) {
    err << Format(kCannotRead, common::kBitPatternTableName);
  }
  if (files.tbl_read != common::ReadResult::kOk ||
      files.bit_read != common::ReadResult::kOk) {
    return std::nullopt;
  }
  return common::VerifyCode(files.tbl, files.bit, err);
}

// Each script once: a name given again, also written another way, names the
// same files.
std::vector<Script> ScriptsOnce(const std::vector<std::string>& names) {
  std::vector<Script> scripts;
  std::vector<std::filesystem::path> seen;
  for (const std::string& name : names) {
    std::error_code ec;
    std::filesystem::path key =
        std::filesystem::absolute(name, ec).lexically_normal();
    if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
    seen.push_back(std::move(key));
    scripts.push_back({common::DteName(name), common::InformationName(name),
                       name + ".huf", name + ".ptr"});
  }
  return scripts;
}

// Reads the information file whole and opens the dte file; returns how many
// records cover it, or nullopt after the message.
std::optional<std::size_t> OpenInputs(const Script& script,
                                      std::vector<std::uint8_t>& info,
                                      common::FileFacts& info_facts,
                                      common::BlockReader& dte, RunState& run) {
  if (common::ReadWholeFile(script.info, info, run.settings.faults,
                            &info_facts) != common::ReadResult::kOk) {
    run.err << Format(kCannotRead, script.info.c_str());
    return std::nullopt;
  }
  std::error_code ec;
  if (dte.Open(script.dte, ec) != common::OpenResult::kOk) {
    run.err << Format(kCannotRead, script.dte.c_str());
    return std::nullopt;
  }
  if (dte.size() % 2 != 0) {
    run.err << Format(kOddDte, script.dte.c_str(),
                      static_cast<long long>(dte.size()));
    return std::nullopt;
  }
  const common::Coverage coverage = common::CoverFile(dte.size(), info);
  switch (coverage.kind) {
    case common::Coverage::Kind::kExact:
      return coverage.needed;
    case common::Coverage::Kind::kBadLength:
      run.err << Format(kBadRecord, script.info.c_str(), coverage.bad_record,
                        (coverage.bad_record - 1) * common::kInfoRecordSize,
                        coverage.bad_length);
      break;
    case common::Coverage::Kind::kMismatch:
      run.err << Format(kRecordsMismatch, script.info.c_str(),
                        static_cast<long long>(coverage.described),
                        script.dte.c_str(), static_cast<long long>(dte.size()));
      break;
  }
  return std::nullopt;
}

// Creates the temporary of one output; false after the message.
bool BeginOutput(common::OutputFile& output, const std::string& name,
                 std::uint32_t limit, std::ostream& err) {
  std::error_code ec;
  switch (output.Begin(name, ec, limit)) {
    case common::OutputProblem::kNone:
      return true;
    case common::OutputProblem::kNotAFile:
      err << Format(kCannotBegin, name.c_str(), kNotAFile);
      break;
    case common::OutputProblem::kReadOnly:
      err << Format(kCannotBegin, name.c_str(), kReadOnly);
      break;
    case common::OutputProblem::kCannotCreate:
      err << Format(
          kCannotBegin, name.c_str(),
          Format(kCannotCreate, common::FolderOf(name).string().c_str(),
                 ec.message().c_str())
              .c_str());
      break;
  }
  return false;
}

// Puts a pattern longer than one Put() takes, piece by piece.
bool PutLongPattern(const std::string& pattern, std::size_t encoded,
                    BitWriter& bits, Proof& proof, common::BitOrder order) {
  for (std::size_t at = 0; at < pattern.size(); at += BitWriter::kMaxPut) {
    const std::string_view piece =
        std::string_view(pattern).substr(at, BitWriter::kMaxPut);
    if (bits.room() < BitWriter::kPutRoom && !proof.MakeRoom(encoded)) {
      return false;
    }
    if (!bits.Put(common::PatternBits(piece, order),
                  static_cast<unsigned>(piece.size()))) {
      return false;
    }
  }
  return true;
}

enum class BatchOutcome { kPacked, kNoLeaf, kNotDecodedBack };

// Encodes `count` units of one string and proves them.
BatchOutcome PackBatch(const std::uint8_t* units, std::size_t count,
                       const Packer& packer, BitWriter& bits, Proof& proof,
                       std::uint16_t* no_leaf) {
  proof.StartBatch(units);
  // In a local, as the writer's byte stores could otherwise be taken to
  // change the vector and make it be read again for every unit.
  const UnitCode* const codes = packer.codes.data();
  std::size_t i = 0;
  while (true) {
    i += bits.PutWhileRoom(count - i, [&](std::size_t j) {
      const UnitCode code = codes[common::ReadLe16(units + 2 * (i + j))];
      return BitWriter::Pattern{BitsOf(code), LengthOf(code)};
    });
    if (i == count) break;
    // No room, no leaf, or a pattern longer than one put takes.
    const std::uint16_t unit = common::ReadLe16(units + 2 * i);
    const UnitCode code = packer.codes[unit];
    if (LengthOf(code) == 0) {
      *no_leaf = unit;
      return BatchOutcome::kNoLeaf;
    }
    if (LengthOf(code) > BitWriter::kMaxPut) {
      if (!PutLongPattern(packer.code.leaves[BitsOf(code)].pattern, i, bits,
                          proof, packer.layout.bit_order)) {
        return BatchOutcome::kNotDecodedBack;
      }
      ++i;
    } else if (!proof.MakeRoom(i)) {
      return BatchOutcome::kNotDecodedBack;
    }
  }
  return proof.CatchUp(count, true) ? BatchOutcome::kPacked
                                    : BatchOutcome::kNotDecodedBack;
}

// Writes the packed strings and their pointers, proving each; false after
// the message.
bool PackStrings(const Script& script, const std::vector<std::uint8_t>& info,
                 std::size_t strings, common::BlockReader& dte,
                 const Packer& packer, common::FileWriter& huf,
                 common::FileWriter& ptr, RunState& run) {
  const common::PackedLayout& layout = packer.layout;
  const bool byte_aligned = layout.alignment == common::Alignment::kByte;
  BitWriter bits(huf, layout.bit_order,
                 run.held.span().first(run.held.size() - kReadAhead));
  Proof proof(packer, bits, run.held, script, run.settings.faults);
  for (std::size_t k = 0; k < strings; ++k) {
    const std::size_t number = k + 1;
    const std::uint64_t pointer = common::PointerTo(bits.position(), layout);
    if (pointer > common::MaxPointer(layout)) {
      run.err << Format(kPointerTooLarge, script.ptr.c_str(), number,
                        static_cast<unsigned long long>(pointer),
                        layout.pointer_bytes);
      return false;
    }
    std::uint8_t stored[common::kMaxPointerBytes];
    common::StorePointer(static_cast<std::uint32_t>(pointer), layout, stored);
    if (!proof.CheckPointer({stored, layout.pointer_bytes})) {
      run.err << Format(kPointerAstray, script.ptr.c_str(), number);
      return false;
    }
    ptr.Write(stored, layout.pointer_bytes);

    std::uint64_t units_left = static_cast<std::uint64_t>(
        common::DecodeInfoRecord(info.data() + k * common::kInfoRecordSize)
            .byteLength /
        2);
    while (units_left > 0) {
      const std::size_t readable = dte.Fill(2);
      if (readable < 2) {
        run.err << Format(kCannotRead, script.dte.c_str());
        return false;
      }
      const std::size_t count = static_cast<std::size_t>(
          std::min<std::uint64_t>(units_left, readable / 2));
      std::uint16_t no_leaf = 0;
      switch (PackBatch(dte.data(), count, packer, bits, proof, &no_leaf)) {
        case BatchOutcome::kPacked:
          break;
        case BatchOutcome::kNoLeaf:
          run.err << Format(kNoLeaf, script.dte.c_str(), no_leaf, number);
          return false;
        case BatchOutcome::kNotDecodedBack:
          run.err << Format(kNotDecodedBack, script.huf.c_str(), number);
          return false;
      }
      dte.Consume(2 * count);
      units_left -= count;
    }
    if (byte_aligned) bits.PadToByte();
    if (!proof.EndString(byte_aligned)) {
      run.err << Format(kNotDecodedBack, script.huf.c_str(), number);
      return false;
    }
  }
  // The last byte is padded with 0 bits.
  bits.PadToByte();
  if (!proof.EndString(true)) {
    run.err << Format(kNotDecodedBack, script.huf.c_str(), strings);
    return false;
  }
  bits.Release(bits.position() / 8);
  if (dte.failed()) {
    run.err << Format(kCannotRead, script.dte.c_str());
    return false;
  }
  return true;
}

// Packs one script into finished temporaries, kept for the commit; false
// after the message.
bool PackScript(const Script& script, const Packer& packer, RunState& run) {
  std::vector<std::uint8_t>& info = run.info;
  common::FileFacts info_facts;
  common::BlockReader dte(run.read_block, run.settings.faults);
  const std::optional<std::size_t> strings =
      OpenInputs(script, info, info_facts, dte, run);
  if (!strings) return false;
  const std::uint32_t limit =
      run.table_permissions & info_facts.permissions & dte.facts().permissions;

  common::OutputFile& huf =
      run.outputs.emplace_back(std::span<std::uint8_t>{}, run.settings.faults);
  common::OutputFile& ptr =
      run.outputs.emplace_back(run.pointer_block, run.settings.faults);
  std::error_code ec;
  bool packed = BeginOutput(huf, script.huf, limit, run.err) &&
                BeginOutput(ptr, script.ptr, limit, run.err) &&
                PackStrings(script, info, *strings, dte, packer, huf.writer(),
                            ptr.writer(), run);
  if (packed && !huf.Finish(ec)) {
    run.err << Format(kCannotWrite, script.huf.c_str());
    packed = false;
  }
  if (packed && !ptr.Finish(ec)) {
    run.err << Format(kCannotWrite, script.ptr.c_str());
    packed = false;
  }
  if (!packed) {
    // Their temporaries go at once, so that no file stays open.
    run.outputs.pop_back();
    run.outputs.pop_back();
    return false;
  }
  run.output_names.push_back(script.huf);
  run.output_names.push_back(script.ptr);
  return true;
}

// Renames every output over its target, all of them as one group.
bool CommitOutputs(RunState& run) {
  std::vector<common::FinishedFile> group;
  for (common::OutputFile& output : run.outputs) {
    group.push_back(output.HandOver());
  }
  common::Commit commit(run.settings.faults);
  commit.Add(std::move(group));
  const common::Commit::Outcome outcome = commit.CommitAll(true).front();
  if (outcome.ec == std::errc::interrupted) {
    run.err << kInterrupted;
    return false;
  }
  if (!outcome.committed) {
    run.err << Format(kCannotWrite, run.output_names[outcome.file].c_str());
    return false;
  }
  return true;
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err, const common::RunSettings& settings) {
  if (args.empty()) {
    err << kUsage;
    return 1;
  }
  if (const std::optional<int> status = common::AnswerHelpOrVersion(
          args, "huffpack", TESK_VERSION, std::string(kUsage) + kHelpDetails,
          out)) {
    return *status;
  }
  const std::optional<CommandLine> command = ParseCommandLine(args, err);
  if (!command) return 1;
  std::uint32_t table_permissions = 0777;
  const std::optional<common::HuffmanCode> code =
      ReadCode(err, settings.faults, &table_permissions);
  if (!code) return 1;

  const Packer packer(command->layout, *code);
  RunState run{
      err,
      settings,
      common::Block(settings.block_size),
      common::Block(settings.block_size),
      common::Block(std::max(settings.block_size, BitWriter::kMinHeld) +
                    kReadAhead),
      {},
      {},
      {},
      table_permissions};
  // Every script is looked at, so that each one's first fault is told.
  bool all_packed = true;
  for (const Script& script : ScriptsOnce(command->scripts)) {
    all_packed = PackScript(script, packer, run) && all_packed;
  }
  if (!all_packed) return 1;
  return CommitOutputs(run) ? 0 : 1;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings) {
  return common::RunReportingOutOfMemory(
      [&] { return RunStages(args, out, err, settings); }, err, kOutOfMemory);
}

}  // namespace huffpack
