#include "chainreport/chainreport.h"

#include <algorithm>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <sstream>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/code_unit.h"
#include "common/command_line.h"
#include "common/file_io.h"
#include "common/format.h"
#include "common/huffman_code.h"
#include "common/info_record.h"
#include "common/script_files.h"
#include "common/shared_work.h"

namespace chainreport {

// Every message, in the order the README lists them: the report goes to
// standard output, the rest to standard error. The faults of the tables
// themselves are worded in common/huffman_code.cc.
constexpr const char* kUsage =
    "chainreport usage:\n  chainreport script1 [script2] [script3] ...\n";
constexpr const char* kHelpDetails =
    "\n"
    "A script is named by its base name, without an extension. chainreport\n"
    "reads each script's S.pure, S.info and S.dte and tesk.tbl and tesk.bit\n"
    "from the current folder, reports their sizes, and checks that they\n"
    "belong together and that the tables decode the text. It writes nothing;\n"
    "any fault, a missing file included, ends with status 1.\n";
constexpr const char* kHeader =
    "Bytes as the game holds them, each string from a byte of its own; the "
    "total adds tesk.tbl (%zu bytes).\n";
constexpr const char* kCannotRead = "Could not read %s.\n";
constexpr const char* kOddDte =
    "%s: %lld bytes are not a whole number of code units\n";
constexpr const char* kBadRecord =
    "%s: record %zu at byte %zu has the bad length %d\n";
constexpr const char* kRecordsMismatch =
    "%s: its records add up to %lld bytes, but %s holds %lld\n";
constexpr const char* kNoLeaf =
    "%s: unit %04X at byte %lld has no leaf in tesk.bit\n";
constexpr const char* kNotFromPuretext =
    "%s: string %zu is not what pairpick makes of %s: %s\n";
constexpr const char* kPairReadsAsSomethingElse =
    "%s: string %zu: the pair unit of the character codes %02X,%02X reads as "
    "%s (%lld times in all)\n";
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

// Opens the script's puretext and dte files for reading and reads the
// information file whole. Returns false after the message.
bool OpenScriptFiles(const std::string& script, ScriptFigures& figures,
                     std::vector<std::uint8_t>& info,
                     common::BlockReader& puretext, common::BlockReader& dte,
                     std::ostream& err) {
  const std::string pure_name = common::PuretextName(script);
  const std::string info_name = common::InformationName(script);
  const std::string dte_name = common::DteName(script);
  std::error_code ec;
  if (puretext.Open(pure_name, ec) != common::OpenResult::kOk) {
    err << Format(kCannotRead, pure_name.c_str());
    return false;
  }
  figures.puretext_bytes = static_cast<std::int64_t>(puretext.size());
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

// Where each string of the dte file ends, from the records that cover it as
// pairpick rewrote them, into `string_ends`; false after the message.
bool CoverDte(const std::string& script, const std::vector<std::uint8_t>& info,
              std::uint64_t dte_length, std::vector<std::uint64_t>& string_ends,
              std::ostream& err) {
  const std::string info_name = common::InformationName(script);
  const std::string dte_name = common::DteName(script);
  if (dte_length % 2 != 0) {
    err << Format(kOddDte, dte_name.c_str(),
                  static_cast<long long>(dte_length));
    return false;
  }
  const common::Coverage coverage = common::CoverFile(dte_length, info);
  switch (coverage.kind) {
    case common::Coverage::Kind::kExact:
      break;
    case common::Coverage::Kind::kBadLength:
      err << Format(kBadRecord, info_name.c_str(), coverage.bad_record,
                    (coverage.bad_record - 1) * common::kInfoRecordSize,
                    coverage.bad_length);
      return false;
    case common::Coverage::Kind::kMismatch:
      err << Format(kRecordsMismatch, info_name.c_str(),
                    static_cast<long long>(coverage.described),
                    dte_name.c_str(), static_cast<long long>(dte_length));
      return false;
  }
  string_ends.clear();
  string_ends.reserve(coverage.needed);
  std::uint64_t end = 0;
  for (std::size_t k = 0; k < coverage.needed; ++k) {
    end += static_cast<std::uint64_t>(
        common::DecodeInfoRecord(info.data() + k * common::kInfoRecordSize)
            .byteLength);
    string_ends.push_back(end);
  }
  return true;
}

// A unit's leaf, as the walk takes it: the length of its pattern in the low
// 8 bits (a pattern holds at most 99 bits), 0 where the unit has no leaf;
// above them the leaf's place in the code, where its uses are counted.
using UnitLeaf = std::uint32_t;

unsigned LengthOf(UnitLeaf leaf) { return leaf & 0xFF; }
std::size_t IndexOf(UnitLeaf leaf) { return leaf >> 8; }

// How far a run of plain steps went: the bytes it took of each file and
// the bits of the dte units it took.
struct PlainRun {
  std::size_t pure_bytes = 0;
  std::size_t dte_bytes = 0;
  std::int64_t bits = 0;
};

// Takes the steps of pairpick that need no choice and no care from the
// puretext at `p` and the dte units at `d`, while a step starts at or before
// puretext byte `p_limit` and before dte byte `d_end`, and ends by dte byte
// `left`: a pair of characters and its pair unit (or the first character
// alone), a control code with its argument, or a character with the control
// code behind it and that code's argument. Counts each dte unit's use and
// bits (`lengths` holds each unit's pattern length). Stops before anything
// else: a unit with no leaf, a pair unit that needs a choice or reads as
// something else, a unit other than pairpick's.
//
// Plain locals only, so that the loop keeps everything in registers.
PlainRun PlainSteps(const std::uint8_t* p, std::size_t p_limit,
                    const std::uint8_t* d, std::size_t d_end,
                    std::uint64_t left, const UnitLeaf* leaves,
                    std::int64_t* uses) {
  std::int64_t bits = 0;
  std::size_t pi = 0;
  std::size_t di = 0;
  while (pi <= p_limit && di < d_end) {
    const std::uint16_t u1 = common::ReadLe16(p + pi);
    const std::uint16_t u2 = common::ReadLe16(p + pi + 2);
    const std::uint16_t x = common::ReadLe16(d + di);
    const UnitLeaf leaf = leaves[x];
    if (LengthOf(leaf) == 0) break;
    if (common::IsTextCharacter(u1) && common::IsTextCharacter(u2)) {
      const std::uint16_t pair_unit = static_cast<std::uint16_t>(
          common::CharacterCode(u2) << 8 | common::CharacterCode(u1));
      if (common::IsTextCharacter(pair_unit) ||
          common::TakesArgument(pair_unit)) {
        break;
      }
      // The pair unit or the first character alone, whichever the dte file
      // holds. This pair unit never reads as a character and the first
      // character always does, so the dte unit alone says which it must
      // be: the next step's place in the puretext waits on no puretext
      // load.
      const bool paired = !common::IsTextCharacter(x);
      if (x != (paired ? pair_unit : u1)) break;
      pi += paired ? 4 : 2;
      di += 2;
      bits += LengthOf(leaf);
      ++uses[IndexOf(leaf)];
      continue;
    }
    if (x != u1) break;
    const std::size_t units = !common::IsTextCharacter(u1)
                                  ? (common::TakesArgument(u1) ? 2 : 1)
                                  : (common::TakesArgument(u2) ? 3 : 2);
    if (di + 2 * units > left) break;
    bool same = true;
    for (std::size_t k = 1; k < units; ++k) {
      const std::uint16_t unit = common::ReadLe16(d + di + 2 * k);
      same = same && unit == common::ReadLe16(p + pi + 2 * k) &&
             LengthOf(leaves[unit]) != 0;
    }
    if (!same) break;
    for (std::size_t k = 0; k < units; ++k) {
      const UnitLeaf unit_leaf = leaves[common::ReadLe16(d + di + 2 * k)];
      bits += LengthOf(unit_leaf);
      ++uses[IndexOf(unit_leaf)];
    }
    pi += 2 * units;
    di += 2 * units;
  }
  return {pi, di, bits};
}

// Replays pairpick over a script beside its dte file: every dte unit must be
// what pairpick makes of the puretext, so a stale or foreign dte file is a
// fault. On the way it finds every pair unit that a decoder reading the unit
// classes would take for something else.
//
// The dte file says which pairs were substituted, with one exception: a pair
// whose second code is 0x1F is written as the unit of its first character
// alone, and a string's last unit may be a character copied alone. There
// the next dte unit decides, whether it can start the step after the pair or
// the step at the 0x1F character; where both can (the character 0x1F
// repeated), the replay tries one way and comes back for the other if the
// dte file later disagrees.
class Replay {
 public:
  // `string_ends` holds where each string of the dte file ends;
  // `leaves` holds each unit's leaf; `uses` counts each leaf's uses.
  Replay(const std::string& script, common::BlockReader& puretext,
         common::BlockReader& dte,
         const std::vector<std::uint64_t>& string_ends,
         const std::vector<UnitLeaf>& leaves, ScriptFigures& figures,
         std::vector<std::int64_t>& uses, std::ostream& err)
      : dte_name_(common::DteName(script)),
        pure_name_(common::PuretextName(script)),
        puretext_(puretext),
        dte_(dte),
        string_ends_(string_ends),
        leaves_(leaves),
        figures_(figures),
        uses_(uses),
        err_(err) {}

  // Walks the strings, counting each unit's bits. Returns false after the
  // message for the first fault, or after one line per colliding pair.
  bool Run() {
    for (;;) {
      const Outcome outcome = Step();
      if (no_leaf_) return false;
      if (outcome == Outcome::kDone) {
        EndStrings(string_ends_.size());
        return ReportCollisions();
      }
      if (outcome == Outcome::kReadFailed) return false;
      if (outcome == Outcome::kMismatch && !Backtrack()) {
        err_ << first_fault_;
        return false;
      }
    }
  }

 private:
  enum class Outcome { kGoOn, kDone, kMismatch, kReadFailed };

  // Where the replay stands; a choice saves it to come back to.
  struct State {
    std::uint64_t pure_position = 0;
    std::uint64_t dte_position = 0;
    std::size_t string = 0;  // index of the string being walked
    bool past_end = false;
    std::size_t collisions = 0;
  };

  // A limit on coming back, against a file made to defeat it.
  static constexpr int kMaxBacktracks = 100000;

  // One pairpick step, checked against the dte units it must have made.
  Outcome Step() {
    while (state_.string < string_ends_.size() &&
           dte_.position() == string_ends_[state_.string]) {
      ++state_.string;
    }
    if (state_.string == string_ends_.size()) {
      if (puretext_.remaining() == 0 || state_.past_end) return Outcome::kDone;
      state_.string = std::max<std::size_t>(state_.string, 1) - 1;
      return Mismatch(Format("it ends at byte %lld of the puretext's %lld",
                             static_cast<long long>(puretext_.position()),
                             static_cast<long long>(puretext_.size())));
    }
    if (FastSteps()) return Outcome::kGoOn;
    std::uint16_t u[4];
    const std::size_t have = PeekPuretext(u);
    std::uint16_t d;
    if (!PeekDte(0, &d)) return Outcome::kReadFailed;
    // A unit the tables lack is named as such, before any mismatch.
    if (LengthOf(leaves_[d]) == 0) {
      Tally(dte_.position(), d);
      return Outcome::kReadFailed;
    }
    if (have == 0) return Mismatch("it goes on past the end of the puretext");
    // pairpick copies a string's last unit alone.
    const bool last_of_string =
        dte_.position() + 2 == string_ends_[state_.string];
    if (!common::IsTextCharacter(u[0])) {
      // A control code, then its argument if it takes one.
      Outcome outcome = Take(u[0]);
      if (outcome != Outcome::kGoOn || !common::TakesArgument(u[0]) ||
          last_of_string) {
        return outcome;
      }
      return TakeArgument(u, have, 1);
    }
    if (have >= 2 && common::IsTextCharacter(u[1])) {
      return TextPair(u, have, d);
    }
    // A character, then the control code it is consumed with, and that
    // code's argument.
    Outcome outcome = Take(u[0]);
    if (outcome != Outcome::kGoOn || last_of_string || have < 2) return outcome;
    outcome = Take(u[1]);
    if (outcome != Outcome::kGoOn || !common::TakesArgument(u[1])) {
      return outcome;
    }
    return TakeArgument(u, have, 2);
  }

  // The steps that need no choice and no care, as long as they lie inside
  // both blocks and the string: the steps of nearly every text, taken
  // without a call each. Anything else stops them, and Step() takes it.
  // Returns whether any was taken.
  bool FastSteps() {
    // A step reads at most 6 bytes of each file, and starts before the
    // string's last unit (which pairpick copies alone); a step of several
    // dte units must also end inside the string.
    constexpr std::size_t kStep = 6;
    const std::uint64_t left = string_ends_[state_.string] - dte_.position();
    const std::size_t pure_readable = puretext_.Fill(4 * kStep);
    const std::size_t dte_readable = dte_.Fill(4 * kStep);
    if (pure_readable < kStep || dte_readable < kStep || left < 4) return false;
    const std::uint8_t* p = puretext_.data();
    const std::uint8_t* d = dte_.data();
    const std::size_t p_limit = pure_readable - kStep;
    const std::size_t d_end = static_cast<std::size_t>(
        std::min<std::uint64_t>(dte_readable - kStep + 2, left - 2));
    // Units met for the first time are tallied on the way, the others
    // (after coming back) afterwards.
    const bool tally = dte_.position() == tallied_ && !no_leaf_;
    if (tally) EndStrings(state_.string);
    const PlainRun run =
        PlainSteps(p, p_limit, d, d_end, left, leaves_.data(), uses_.data());
    const std::size_t pi = run.pure_bytes;
    const std::size_t di = run.dte_bytes;
    const std::int64_t bits = run.bits;
    if (tally) {
      string_bits_ += bits;
      tallied_ += di;
    } else {
      // Undo: these units are tallied once, below, where they are new.
      for (std::size_t i = 0; i < di; i += 2) {
        --uses_[IndexOf(leaves_[common::ReadLe16(d + i)])];
      }
      TallyRun(d, di);
    }
    puretext_.Consume(pi);
    dte_.Consume(di);
    return pi > 0;
  }

  // Counts each dte unit once, whichever way the replay goes (a unit's cost
  // does not depend on it): its use, and its bits in its string. A unit
  // with no leaf is a fault.
  void Tally(std::uint64_t position, std::uint16_t unit) {
    if (position < tallied_ || no_leaf_) return;
    std::size_t string = tally_string_;
    while (string < string_ends_.size() && position >= string_ends_[string]) {
      ++string;
    }
    EndStrings(string);
    const UnitLeaf leaf = leaves_[unit];
    const unsigned length = LengthOf(leaf);
    if (length == 0) {
      err_ << Format(kNoLeaf, dte_name_.c_str(), unit,
                     static_cast<long long>(position));
      no_leaf_ = true;
      return;
    }
    ++uses_[IndexOf(leaf)];
    string_bits_ += length;
    tallied_ = position + 2;
  }

  // Tallies the `n` bytes of dte units at `d`, the next ones of the dte
  // file, all in one string.
  void TallyRun(const std::uint8_t* d, std::size_t n) {
    const std::uint64_t position = dte_.position();
    if (n == 0) return;
    if (position != tallied_) {
      for (std::size_t i = 0; i < n; i += 2) {
        Tally(position + i, common::ReadLe16(d + i));
      }
      return;
    }
    Tally(position, common::ReadLe16(d));  // closes the strings before
    if (no_leaf_) return;
    std::int64_t bits = 0;
    std::size_t i = 2;
    for (; i < n; i += 2) {
      const UnitLeaf leaf = leaves_[common::ReadLe16(d + i)];
      if (LengthOf(leaf) == 0) break;
      ++uses_[IndexOf(leaf)];
      bits += LengthOf(leaf);
    }
    string_bits_ += bits;
    tallied_ = position + i;
    if (i < n) Tally(position + i, common::ReadLe16(d + i));
  }

  // Closes the tally of the strings before `string`: each starts on a byte
  // of its own.
  void EndStrings(std::size_t string) {
    while (tally_string_ < string) {
      figures_.encoded_bits += string_bits_;
      figures_.encoded_bytes += (string_bits_ + 7) / 8;
      string_bits_ = 0;
      ++tally_string_;
    }
  }

  // The argument unit u[i], which is not invented past the file's end.
  Outcome TakeArgument(const std::uint16_t* u, std::size_t have,
                       std::size_t i) {
    if (i >= have) {
      state_.past_end = true;
      return Outcome::kGoOn;
    }
    return Take(u[i]);
  }

  // Two characters: their pair unit, or the first character alone.
  Outcome TextPair(const std::uint16_t* u, std::size_t have, std::uint16_t d) {
    const std::uint16_t pair_unit = PairUnit(u[0], u[1]);
    if (pair_unit != u[0]) {
      return d == pair_unit ? TakePair(pair_unit) : Take(u[0]);
    }
    // The pair unit is the first character's unit: the next dte unit must
    // start the step after the pair, or the step at the second character.
    std::uint16_t next = 0;
    bool after_pair = have == 2 && puretext_.remaining() == 4;
    bool after_first = !after_pair;
    if (dte_.remaining() >= 4) {
      if (!PeekDte(1, &next)) return Outcome::kReadFailed;
      after_pair = StartsStep(next, u, have, 2);
      after_first = StartsStep(next, u, have, 1);
    }
    if (after_pair && after_first) {
      // Both can go on: the pair first, the character on coming back.
      choices_.push_back(state_);
      choices_.back().pure_position = puretext_.position();
      choices_.back().dte_position = dte_.position();
    }
    return after_pair ? TakePair(pair_unit) : Take(u[0]);
  }

  static std::uint16_t PairUnit(std::uint16_t first, std::uint16_t second) {
    return static_cast<std::uint16_t>(common::CharacterCode(second) << 8 |
                                      common::CharacterCode(first));
  }

  // True when `unit` can be the first dte unit of a step at u[r].
  static bool StartsStep(std::uint16_t unit, const std::uint16_t* u,
                         std::size_t have, std::size_t r) {
    if (r >= have) return false;
    if (unit == u[r]) return true;
    return r + 1 < have && common::IsTextCharacter(u[r]) &&
           common::IsTextCharacter(u[r + 1]) &&
           unit == PairUnit(u[r], u[r + 1]);
  }

  // Takes one dte unit, the pair unit of two puretext characters.
  Outcome TakePair(std::uint16_t pair_unit) {
    Tally(dte_.position(), pair_unit);
    dte_.Consume(2);
    puretext_.Consume(4);
    // The second code 0x1F gives the unit of the first character; the first
    // code 0x10 gives a unit that reads as an argument-taking code.
    if (common::IsTextCharacter(pair_unit) ||
        common::TakesArgument(pair_unit)) {
      collisions_.resize(state_.collisions);
      collisions_.push_back({pair_unit, state_.string + 1});
      ++state_.collisions;
    }
    return Outcome::kGoOn;
  }

  // Takes one dte unit, which must be `unit`, and one puretext unit.
  Outcome Take(std::uint16_t unit) {
    std::uint16_t d;
    if (!PeekDte(0, &d)) return Outcome::kReadFailed;
    if (d != unit) {
      return Mismatch(
          Format("at byte %lld it holds %04X, where pairpick "
                 "makes %04X of the puretext at byte %lld",
                 static_cast<long long>(dte_.position()), d, unit,
                 static_cast<long long>(puretext_.position())));
    }
    Tally(dte_.position(), d);
    dte_.Consume(2);
    puretext_.Consume(2);
    return Outcome::kGoOn;
  }

  // Up to four puretext units from the current position.
  std::size_t PeekPuretext(std::uint16_t* u) {
    const std::size_t wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(8, puretext_.remaining() & ~std::uint64_t{1}));
    const std::size_t readable = std::min(puretext_.Fill(wanted), wanted);
    for (std::size_t i = 0; 2 * i + 1 < readable; ++i) {
      u[i] = common::ReadLe16(puretext_.data() + 2 * i);
    }
    return readable / 2;
  }

  // The dte unit `ahead` units on; false after the message when it cannot
  // be read.
  bool PeekDte(std::size_t ahead, std::uint16_t* d) {
    const std::size_t wanted = 2 * ahead + 2;
    if (dte_.Fill(wanted) < wanted || puretext_.failed()) {
      err_ << Format(kCannotRead,
                     (puretext_.failed() ? pure_name_ : dte_name_).c_str());
      return false;
    }
    *d = common::ReadLe16(dte_.data() + 2 * ahead);
    return true;
  }

  Outcome Mismatch(const std::string& where) {
    if (first_fault_.empty()) {
      first_fault_ =
          Format(kNotFromPuretext, dte_name_.c_str(), state_.string + 1,
                 pure_name_.c_str(), where.c_str());
    }
    return Outcome::kMismatch;
  }

  // Goes back to the last choice and takes its other way. False when there
  // is none left.
  bool Backtrack() {
    if (choices_.empty() || ++backtracks_ > kMaxBacktracks) return false;
    state_ = choices_.back();
    choices_.pop_back();
    puretext_.Seek(state_.pure_position);
    dte_.Seek(state_.dte_position);
    std::uint16_t u[4];
    PeekPuretext(u);
    const Outcome outcome = Take(u[0]);
    return outcome == Outcome::kGoOn;
  }

  // One line per pair unit that reads as something else; false if any.
  bool ReportCollisions() {
    collisions_.resize(state_.collisions);
    std::map<std::uint16_t, std::pair<std::size_t, std::int64_t>> by_unit;
    for (const auto& [unit, string] : collisions_) {
      auto [it, added] = by_unit.try_emplace(unit, string, 0);
      ++it->second.second;
    }
    for (const auto& [unit, first_and_count] : by_unit) {
      const unsigned c1 = unit & 0xFFu;
      const unsigned c2 = unit >> 8u;
      const std::string reads_as = common::IsTextCharacter(unit)
                                       ? Format("the text character %02X", c1)
                                       : Format("the argument-taking code %04X",
                                                static_cast<unsigned>(unit));
      err_ << Format(kPairReadsAsSomethingElse, dte_name_.c_str(),
                     first_and_count.first, c1, c2, reads_as.c_str(),
                     static_cast<long long>(first_and_count.second));
    }
    return by_unit.empty();
  }

  const std::string dte_name_;
  const std::string pure_name_;
  common::BlockReader& puretext_;
  common::BlockReader& dte_;
  const std::vector<std::uint64_t>& string_ends_;
  const std::vector<UnitLeaf>& leaves_;
  ScriptFigures& figures_;
  std::vector<std::int64_t>& uses_;
  std::ostream& err_;
  // The tally: dte bytes counted so far, the string they reached and the
  // bits of its units counted so far.
  std::uint64_t tallied_ = 0;
  std::size_t tally_string_ = 0;
  std::int64_t string_bits_ = 0;
  bool no_leaf_ = false;
  State state_;
  std::vector<State> choices_;
  int backtracks_ = 0;
  // Each pair unit that reads as something else, with its string; those
  // beyond state_.collisions were undone by coming back.
  std::vector<std::pair<std::uint16_t, std::size_t>> collisions_;
  std::string first_fault_;
};

// What a thread's check of its scripts reuses, so that no script pays for
// memory of its own, and the uses of each leaf over its scripts.
struct ScriptBuffers {
  ScriptBuffers(std::size_t block_size, std::size_t leaf_count)
      : pure_block(block_size), dte_block(block_size), uses(leaf_count, 0) {}
  common::Block pure_block;
  common::Block dte_block;
  std::vector<std::uint8_t> info;
  std::vector<std::uint64_t> string_ends;
  std::vector<std::int64_t> uses;  // by leaf
};

// Reads one script's files and checks them against the code and each
// other, adding each leaf's uses to buffers.uses. Returns nullopt after the
// faults.
std::optional<ScriptFigures> CheckScript(const std::string& script,
                                         const std::vector<UnitLeaf>& leaves,
                                         ScriptBuffers& buffers,
                                         std::ostream& err) {
  ScriptFigures figures;
  figures.script = script;
  common::BlockReader puretext(buffers.pure_block);
  common::BlockReader dte(buffers.dte_block);
  if (!OpenScriptFiles(script, figures, buffers.info, puretext, dte, err) ||
      !CoverDte(script, buffers.info, dte.size(), buffers.string_ends, err)) {
    return std::nullopt;
  }
  figures.strings = static_cast<std::int64_t>(buffers.string_ends.size());
  if (!Replay(script, puretext, dte, buffers.string_ends, leaves, figures,
              buffers.uses, err)
           .Run()) {
    return std::nullopt;
  }
  return figures;
}

// What checking the scripts found: a row for each sound script, the uses of
// each leaf over them all, and the exit status.
struct CheckedScripts {
  std::vector<ScriptFigures> rows;
  std::vector<std::int64_t> uses;  // by leaf
  int status = 0;
};

// Checks every script on `threads` threads, each with buffers and counts of
// its own, made by the thread itself; each script's faults are told in the
// scripts' order as soon as those before it are done.
CheckedScripts CheckScripts(const std::vector<std::string>& scripts,
                            const std::vector<UnitLeaf>& leaves,
                            std::size_t leaf_count, std::size_t block_size,
                            std::size_t threads,
                            common::MessagesInOrder& faults) {
  std::vector<std::optional<ScriptFigures>> rows(scripts.size());
  std::vector<std::optional<ScriptBuffers>> buffers(threads);
  common::ShareWork(
      scripts.size(), threads, [&](std::size_t script, std::size_t thread) {
        if (!buffers[thread]) buffers[thread].emplace(block_size, leaf_count);
        std::ostringstream told;
        rows[script] =
            CheckScript(scripts[script], leaves, *buffers[thread], told);
        faults.Done(script, told.str());
      });
  CheckedScripts checked;
  for (std::optional<ScriptFigures>& row : rows) {
    if (row) {
      checked.rows.push_back(std::move(*row));
    } else {
      checked.status = 1;
    }
  }
  checked.uses.assign(leaf_count, 0);
  for (const std::optional<ScriptBuffers>& thread : buffers) {
    if (!thread) continue;
    for (std::size_t index = 0; index < leaf_count; ++index) {
      checked.uses[index] += thread->uses[index];
    }
  }
  return checked;
}

std::string Percent(std::int64_t part, std::int64_t whole) {
  if (whole == 0) return "-";
  return Format("%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

// Prints a row per script and the total row, which adds the node table
// that the game holds beside the text; returns the total of the scripts.
ScriptFigures PrintRows(const std::vector<ScriptFigures>& rows,
                        std::size_t table_bytes, std::ostream& out) {
  int width = 6;
  for (const ScriptFigures& row : rows) {
    width = std::max(width, static_cast<int>(row.script.size()));
  }
  out << Format(kHeader, table_bytes);
  out << Format("%-*s %8s %12s %12s %14s %12s %7s\n", width, "script",
                "strings", "puretext", "dte", "encoded bits", "bytes", "ratio");
  ScriptFigures total;
  total.script = "total";
  const auto print_row = [&](const ScriptFigures& row, std::int64_t extra) {
    out << Format(
        "%-*s %8lld %12lld %12lld %14lld %12lld %7s\n", width,
        row.script.c_str(), static_cast<long long>(row.strings),
        static_cast<long long>(row.puretext_bytes),
        static_cast<long long>(row.dte_bytes),
        static_cast<long long>(row.encoded_bits),
        static_cast<long long>(row.encoded_bytes + extra),
        Percent(row.encoded_bytes + extra, row.puretext_bytes).c_str());
  };
  for (const ScriptFigures& row : rows) {
    print_row(row, 0);
    total.strings += row.strings;
    total.puretext_bytes += row.puretext_bytes;
    total.dte_bytes += row.dte_bytes;
    total.encoded_bits += row.encoded_bits;
    total.encoded_bytes += row.encoded_bytes;
  }
  print_row(total, static_cast<std::int64_t>(table_bytes));
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
  for (std::size_t index = 0; index < code.leaves.size(); ++index) {
    const common::BitRecord& leaf = code.leaves[index];
    const std::int64_t used = uses[index];
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
          args, "chainreport", TESK_VERSION, std::string(kUsage) + kHelpDetails,
          out)) {
    return *status;
  }
  std::vector<std::uint8_t> tbl;
  std::vector<std::uint8_t> bit;
  if (!ReadTables(tbl, bit, err)) return 1;
  const std::optional<common::HuffmanCode> code =
      common::VerifyCode(tbl, bit, err);
  if (!code) return 1;

  std::vector<UnitLeaf> leaves(common::kUnitValueCount, 0);
  for (std::size_t index = 0; index < code->leaves.size(); ++index) {
    const common::BitRecord& leaf = code->leaves[index];
    leaves[leaf.symbol] =
        static_cast<UnitLeaf>(index << 8 | leaf.pattern.size());
  }
  // The replay looks four puretext units ahead.
  const std::size_t block_size = std::max<std::size_t>(settings.block_size, 16);
  common::MessagesInOrder faults(args.size(), err);
  const CheckedScripts checked =
      CheckScripts(args, leaves, code->leaves.size(), block_size,
                   common::ThreadsFor(args.size(), settings.threads), faults);
  if (checked.rows.empty()) return checked.status;
  const ScriptFigures total = PrintRows(checked.rows, tbl.size(), out);
  PrintHistogram(BuildHistogram(*code, checked.uses), code->leaves.size(),
                 total.encoded_bits, out);
  return checked.status;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings) {
  return common::RunReportingOutOfMemory(
      [&] { return RunStages(args, out, err, settings); }, err, kOutOfMemory);
}

}  // namespace chainreport
