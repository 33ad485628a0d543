#include "pairpick/pairpick.h"

#include <algorithm>
#include <climits>
#include <new>
#include <optional>

#include "common/bytes.h"
#include "common/command_line.h"
#include "common/commit.h"
#include "common/format.h"
#include "common/interrupts.h"
#include "common/script_files.h"

namespace pairpick {

// Every message, in the order the README lists them. All go to standard
// error.
constexpr const char* kUsage =
    "pairpick usage:\n  pairpick script1 [script2] [script3] ...\n";
constexpr const char* kHelpDetails =
    "\n"
    "A script is named by its base name, without an extension. For each\n"
    "script S pairpick reads S.pure (the puretext) and S.info (the\n"
    "information file), writes S.dte and rewrites the string lengths in\n"
    "S.info. Keep the prepared information files: a rewritten one no longer\n"
    "describes the puretext. Name all the game's scripts on one command\n"
    "line, so that they share one table. A missing file is skipped (status\n"
    "0); any other fault ends with status 1, that script's files as they\n"
    "were.\n";
constexpr const char* kCannotOpenPuretext =
    "Could not open puretext file %s. Skipping...\n";
constexpr const char* kCannotOpenPuretextBecause =
    "Could not open puretext file %s: %s. Skipping...\n";
constexpr const char* kCannotOpenInformation =
    "Could not open information file %s. Skipping...\n";
constexpr const char* kCannotOpenInformationBecause =
    "Could not open information file %s: %s. Skipping...\n";
constexpr const char* kCannotOpenDteBecause =
    "Could not open dte file %s: %s. Skipping...\n";
constexpr const char* kPuretextNotAFile =
    "Puretext file %s is not a regular file. Skipping...\n";
constexpr const char* kInformationNotAFile =
    "Information file %s is not a regular file. Skipping...\n";
constexpr const char* kOddPuretext =
    "Puretext file %s has an odd length. Skipping...\n";
constexpr const char* kBadLength =
    "Information file %s has a bad length in record %d. Skipping...\n";
constexpr const char* kLengthMismatch =
    "Information file %s describes %lld bytes, but puretext file %s holds "
    "%lld. Skipping...\n";
constexpr const char* kCannotReadPuretext =
    "Could not read puretext file %s. Skipping...\n";
constexpr const char* kCannotReadInformation =
    "Could not read information file %s. Skipping...\n";
constexpr const char* kCannotWriteDte =
    "Could not write dte file %s. Skipping...\n";
constexpr const char* kCannotWriteInformation =
    "Could not write information file %s. Skipping...\n";
constexpr const char* kOutOfMemory = "Out of memory. Shutting down...\n";
const char* const kInterrupted = "Interrupted. Shutting down...\n";

namespace {

using common::BlockReader;
using common::CodeUnit;
using common::Format;
using common::InfoRecord;
using common::kInfoRecordSize;

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

// Walks the code units of the next `count` bytes of a puretext file step by
// step, until fewer than two whole units of them remain. `stepper` takes one
// step at a time:
//   std::size_t Step(const std::uint8_t* s, std::uint64_t file_left)
//     takes the step at s, where at least 6 bytes, or all `file_left` bytes
//     left in the file, are readable; returns the bytes it takes, which may
//     reach past `count` and, at the file's end, past the file;
//   std::uint64_t Room()  how many bytes the next run of steps may take;
//   void Done()           after each run of steps.
// Steps that lie inside the block run without a check each; only at the
// file's end is a step taken on its own. Returns the bytes taken, or nullopt
// when a read failed.
template <typename Stepper>
std::optional<std::uint64_t> WalkSteps(BlockReader& reader, std::uint64_t count,
                                       Stepper& stepper) {
  std::uint64_t p = 0;
  while (p + 3 < count) {
    const std::size_t readable = reader.Fill(6);
    if (readable < std::min<std::uint64_t>(6, reader.remaining())) {
      return std::nullopt;
    }
    const std::uint8_t* d = reader.data();
    // A step takes at most 6 bytes, so one that starts below readable - 5
    // lies inside the block.
    const std::uint64_t stop = std::min<std::uint64_t>(
        {readable >= 6 ? readable - 5 : 0, count - p - 3, stepper.Room()});
    std::size_t i = 0;
    while (i < stop) i += stepper.Step(d + i, UINT64_MAX);
    if (i == 0) {
      // The last bytes of the file: the step may pass over its end.
      i = stepper.Step(d, reader.remaining());
    }
    stepper.Done();
    if (i <= readable) {
      reader.Consume(i);
    } else {
      reader.Skip(i);
    }
    p += i;
  }
  return p;
}

class SurveyStepper {
 public:
  explicit SurveyStepper(PairList& pairs) : pairs_(pairs) {}

  // The argument unit is passed over unread.
  std::size_t Step(const std::uint8_t* s, std::uint64_t) {
    const CodeUnit u1 = common::ReadLe16(s);
    if (!common::IsTextCharacter(u1)) return common::TakesArgument(u1) ? 4 : 2;
    const CodeUnit u2 = common::ReadLe16(s + 2);
    if (common::IsTextCharacter(u2)) {
      pairs_.Count(common::PairValue(u1, u2));
      return 4;
    }
    return common::TakesArgument(u2) ? 6 : 4;
  }
  std::uint64_t Room() const { return UINT64_MAX; }
  void Done() {}

 private:
  PairList& pairs_;
};

class EncodeStepper {
 public:
  EncodeStepper(const SubstitutionTable& table, common::FileWriter& out)
      : table_(table), out_(out) {}

  // Encodes the step at s into the lent buffer. No step writes more bytes
  // than it takes, which is what Room() relies on.
  std::size_t Step(const std::uint8_t* s, std::uint64_t file_left) {
    std::uint8_t* o = o_;
    const CodeUnit u1 = common::ReadLe16(s);
    o[0] = s[0];
    if (!common::IsTextCharacter(u1)) {
      o[1] = s[1];
      if (!common::TakesArgument(u1)) return Wrote(2, 2);
      o[2] = s[2];
      o[3] = s[3];
      return Wrote(4, 4);
    }
    const CodeUnit u2 = common::ReadLe16(s + 2);
    if (common::IsTextCharacter(u2)) {
      // Either the pair unit (first code, second code) or the first
      // character alone; chosen without a branch, as the choice follows no
      // pattern.
      const bool pair = table_.IsMember(common::PairValue(u1, u2));
      o[1] = pair ? s[2] : s[1];
      return Wrote(pair ? 4 : 2, 2);
    }
    o[1] = s[1];
    o[2] = s[2];
    o[3] = s[3];
    if (!common::TakesArgument(u2)) return Wrote(4, 4);
    // An argument unit beyond the end of the file is not invented.
    if (file_left < 6) return Wrote(6, 4);
    o[4] = s[4];
    o[5] = s[5];
    return Wrote(6, 6);
  }
  // Room for the steps: the lent buffer, less one step of 6 bytes.
  std::uint64_t Room() {
    if (static_cast<std::size_t>(end_ - o_) < BlockReader::kMinBlockSize) {
      out_.Advance(static_cast<std::size_t>(o_ - begin_));
      const std::span<std::uint8_t> lent =
          out_.Lend(BlockReader::kMinBlockSize);
      begin_ = o_ = lent.data();
      end_ = lent.data() + lent.size();
    }
    return static_cast<std::uint64_t>(end_ - o_) - 6;
  }
  // Counts what the steps wrote and gives the lent buffer back, so that the
  // writer may be used between runs of steps.
  void Done() {
    out_.Advance(static_cast<std::size_t>(o_ - begin_));
    begin_ = o_ = end_ = nullptr;
  }

 private:
  std::size_t Wrote(std::size_t taken, std::size_t copied) {
    o_ += copied;
    return taken;
  }

  const SubstitutionTable& table_;
  common::FileWriter& out_;
  std::uint8_t* begin_ = nullptr;
  std::uint8_t* o_ = nullptr;
  std::uint8_t* end_ = nullptr;
};

enum class ScriptOutcome { kWritten, kSkipped, kRefused };

// A script's names and what the survey made of it.
struct Script {
  std::string pure;
  std::string info;
  std::string dte;
  bool refused = false;
};

struct RunState {
  std::ostream& err;
  const common::RunSettings& settings;
  common::Block read_block;
  common::Block write_block;
  common::Commit commit;
  std::vector<const Script*> committing;  // by commit group
};

// Surveys every script. A script whose puretext cannot be read is refused:
// it must not be written with a table that lacks its pairs.
PairList SurveyScripts(std::vector<Script>& scripts, RunState& run) {
  PairList pairs;
  for (Script& script : scripts) {
    BlockReader puretext(run.read_block, run.settings.faults);
    std::error_code ec;
    switch (puretext.Open(script.pure, ec)) {
      case common::OpenResult::kOk:
        if (!SurveyPuretext(puretext, pairs)) {
          run.err << Format(kCannotReadPuretext, script.pure.c_str());
          script.refused = true;
        }
        break;
      case common::OpenResult::kMissing:
      case common::OpenResult::kDenied:
        run.err << Format(kCannotOpenPuretext, script.pure.c_str());
        break;
      case common::OpenResult::kFailed:
        run.err << Format(kCannotOpenPuretextBecause, script.pure.c_str(),
                          ec.message().c_str());
        script.refused = true;
        break;
      case common::OpenResult::kNotRegular:
        run.err << Format(kPuretextNotAFile, script.pure.c_str());
        script.refused = true;
        break;
    }
  }
  return pairs;
}

// Opens the puretext and reads the information file whole. Returns nullopt
// when the script may go on, else how it ended, after the message.
std::optional<ScriptOutcome> OpenInputs(const Script& script,
                                        BlockReader& puretext,
                                        std::vector<std::uint8_t>& info,
                                        common::FileFacts& info_facts,
                                        RunState& run) {
  std::error_code ec;
  switch (puretext.Open(script.pure, ec)) {
    case common::OpenResult::kOk:
      break;
    case common::OpenResult::kMissing:
    case common::OpenResult::kDenied:
      run.err << Format(kCannotOpenPuretext, script.pure.c_str());
      return ScriptOutcome::kSkipped;
    case common::OpenResult::kFailed:
      run.err << Format(kCannotOpenPuretextBecause, script.pure.c_str(),
                        ec.message().c_str());
      return ScriptOutcome::kRefused;
    case common::OpenResult::kNotRegular:
      run.err << Format(kPuretextNotAFile, script.pure.c_str());
      return ScriptOutcome::kRefused;
  }
  switch (common::ReadWholeFile(script.info, info, run.settings.faults,
                                &info_facts, &ec)) {
    case common::ReadResult::kOk:
      return std::nullopt;
    case common::ReadResult::kMissing:
    case common::ReadResult::kDenied:
      run.err << Format(kCannotOpenInformation, script.info.c_str());
      return ScriptOutcome::kSkipped;
    case common::ReadResult::kCannotOpen:
      run.err << Format(kCannotOpenInformationBecause, script.info.c_str(),
                        ec.message().c_str());
      return ScriptOutcome::kRefused;
    case common::ReadResult::kNotRegular:
      run.err << Format(kInformationNotAFile, script.info.c_str());
      return ScriptOutcome::kRefused;
    case common::ReadResult::kReadError:
      run.err << Format(kCannotReadInformation, script.info.c_str());
      return ScriptOutcome::kRefused;
  }
  return ScriptOutcome::kRefused;
}

// Why an output cannot be written, in words for the message.
std::string ProblemText(common::OutputProblem problem,
                        const common::OutputFile& file,
                        const std::error_code& ec) {
  switch (problem) {
    case common::OutputProblem::kNone:
      break;
    case common::OutputProblem::kNotAFile:
      return "it is not a regular file";
    case common::OutputProblem::kReadOnly:
      return "it may not be written";
    case common::OutputProblem::kCannotCreate:
      return Format("cannot create a temporary file in %s (%s)",
                    common::FolderOf(file.target()).string().c_str(),
                    ec.message().c_str());
  }
  return "";
}

// The records that cover the puretext, or nullopt after the message.
std::optional<std::vector<InfoRecord>> CoverPuretext(
    const Script& script, std::uint64_t puretext_length,
    const std::vector<std::uint8_t>& info, RunState& run) {
  if (puretext_length % 2 != 0) {
    run.err << Format(kOddPuretext, script.pure.c_str());
    return std::nullopt;
  }
  const common::Coverage coverage = common::CoverFile(puretext_length, info);
  switch (coverage.kind) {
    case common::Coverage::Kind::kExact:
      break;
    case common::Coverage::Kind::kBadLength:
      run.err << Format(kBadLength, script.info.c_str(),
                        static_cast<int>(coverage.bad_record));
      return std::nullopt;
    case common::Coverage::Kind::kMismatch:
      run.err << Format(kLengthMismatch, script.info.c_str(),
                        static_cast<long long>(coverage.described),
                        script.pure.c_str(),
                        static_cast<long long>(puretext_length));
      return std::nullopt;
  }
  std::vector<InfoRecord> records(coverage.needed);
  for (std::size_t k = 0; k < records.size(); ++k) {
    records[k] = common::DecodeInfoRecord(info.data() + k * kInfoRecordSize);
  }
  return records;
}

// Encodes the dte file and writes both outputs; an empty puretext leaves
// the information file as it is, as nothing describes it.
ScriptOutcome WriteOutputs(const Script& script, BlockReader& puretext,
                           const SubstitutionTable& table,
                           std::vector<InfoRecord>& records,
                           std::vector<std::uint8_t>& info,
                           common::OutputFile& dte_out,
                           common::OutputFile& info_out, RunState& run) {
  std::size_t bad_record = 0;
  switch (
      EncodeScript(puretext, table, records, dte_out.writer(), &bad_record)) {
    case EncodeResult::kOk:
      break;
    case EncodeResult::kReadError:
      run.err << Format(kCannotReadPuretext, script.pure.c_str());
      return ScriptOutcome::kRefused;
    case EncodeResult::kLengthOverflow:
      run.err << Format(kBadLength, script.info.c_str(),
                        static_cast<int>(bad_record + 1));
      return ScriptOutcome::kRefused;
  }
  std::error_code ec;
  if (!dte_out.Finish(ec)) {
    run.err << Format(kCannotWriteDte, script.dte.c_str());
    return ScriptOutcome::kRefused;
  }
  if (!records.empty()) {
    for (std::size_t k = 0; k < records.size(); ++k) {
      common::EncodeInfoRecord(records[k], info.data() + k * kInfoRecordSize);
    }
    info_out.Write(info);
    if (!info_out.Finish(ec)) {
      run.err << Format(kCannotWriteInformation, script.info.c_str());
      return ScriptOutcome::kRefused;
    }
  }
  // The dte file goes first; should the information file not follow, the
  // old one still describes the puretext.
  std::vector<common::FinishedFile> group = {dte_out.HandOver()};
  if (!records.empty()) group.push_back(info_out.HandOver());
  run.commit.Add(std::move(group));
  run.committing.push_back(&script);
  return ScriptOutcome::kWritten;
}

// Re-encodes one script into temporaries and hands them to the run's commit.
ScriptOutcome ReencodeScript(const Script& script,
                             const SubstitutionTable& table, RunState& run) {
  BlockReader puretext(run.read_block, run.settings.faults);
  std::vector<std::uint8_t> info;
  common::FileFacts info_facts;
  if (const std::optional<ScriptOutcome> ended =
          OpenInputs(script, puretext, info, info_facts, run)) {
    return *ended;
  }

  // The information file is written whole, straight from `info`. Neither
  // output may show more than the inputs it comes from.
  const std::uint32_t limit =
      puretext.facts().permissions & info_facts.permissions;
  common::OutputFile info_out({}, run.settings.faults);
  common::OutputFile dte_out(run.write_block, run.settings.faults);
  std::error_code ec;
  common::OutputProblem problem = info_out.Begin(script.info, ec, limit);
  if (problem != common::OutputProblem::kNone) {
    run.err << Format(kCannotOpenInformationBecause, script.info.c_str(),
                      ProblemText(problem, info_out, ec).c_str());
    return ScriptOutcome::kRefused;
  }
  problem = dte_out.Begin(script.dte, ec, limit);
  if (problem != common::OutputProblem::kNone) {
    run.err << Format(kCannotOpenDteBecause, script.dte.c_str(),
                      ProblemText(problem, dte_out, ec).c_str());
    return ScriptOutcome::kRefused;
  }

  std::optional<std::vector<InfoRecord>> records =
      CoverPuretext(script, puretext.size(), info, run);
  if (!records) return ScriptOutcome::kRefused;
  return WriteOutputs(script, puretext, table, *records, info, dte_out,
                      info_out, run);
}

// Renames the finished scripts' files over their targets; returns false if
// any script could not be committed. `last` when nothing follows.
bool CommitScripts(RunState& run, bool last) {
  const std::vector<common::Commit::Outcome> outcomes =
      run.commit.CommitAll(last);
  const std::vector<const Script*> committed = std::move(run.committing);
  run.committing.clear();
  const bool interrupted = std::any_of(outcomes.begin(), outcomes.end(),
                                       [](const common::Commit::Outcome& o) {
                                         return o.ec == std::errc::interrupted;
                                       });
  if (interrupted) {
    run.err << kInterrupted;
    return false;
  }
  bool all = true;
  for (std::size_t g = 0; g < outcomes.size(); ++g) {
    if (outcomes[g].committed) continue;
    const Script& script = *committed[g];
    run.err << (outcomes[g].file == 0
                    ? Format(kCannotWriteDte, script.dte.c_str())
                    : Format(kCannotWriteInformation, script.info.c_str()));
    all = false;
  }
  return all;
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err, const common::RunSettings& settings) {
  if (args.empty()) {
    err << kUsage;
    return 1;
  }
  if (const std::optional<int> status = common::AnswerHelpOrVersion(
          args, "pairpick", TESK_VERSION, std::string(kUsage) + kHelpDetails,
          out)) {
    return *status;
  }
  std::vector<Script> scripts;
  for (const std::string& name : args) {
    scripts.push_back({common::PuretextName(name),
                       common::InformationName(name), common::DteName(name)});
  }
  RunState run{err,
               settings,
               common::Block(settings.block_size),
               common::Block(settings.block_size),
               common::Commit(settings.faults),
               {}};

  bool all_written = true;
  const SubstitutionTable table =
      BuildSubstitutionTable(SurveyScripts(scripts, run));
  for (const Script& script : scripts) {
    if (script.refused) {
      all_written = false;
      continue;
    }
    // A script named again sees what the run made of it before.
    if (run.commit.Replaces(script.pure) || run.commit.Replaces(script.info) ||
        run.commit.Replaces(script.dte)) {
      all_written = CommitScripts(run, false) && all_written;
    }
    if (ReencodeScript(script, table, run) == ScriptOutcome::kRefused) {
      all_written = false;
    }
  }
  all_written = CommitScripts(run, true) && all_written;
  return all_written ? 0 : 1;
}

}  // namespace

const std::array<std::uint16_t, kFixedCodeCount> kFixedCodes = MakeFixedCodes();

std::vector<PairRecord> PairList::records() const {
  std::vector<PairRecord> records;
  records.reserve(order_.size());
  for (std::uint16_t value : order_) records.push_back({value, counts_[value]});
  return records;
}

bool SurveyPuretext(BlockReader& puretext, PairList& pairs) {
  SurveyStepper stepper(pairs);
  return WalkSteps(puretext, puretext.remaining(), stepper).has_value() &&
         !puretext.failed();
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

EncodeResult EncodeScript(BlockReader& puretext, const SubstitutionTable& table,
                          std::vector<InfoRecord>& records,
                          common::FileWriter& dte, std::size_t* bad_record) {
  EncodeStepper stepper(table, dte);
  std::uint64_t p = 0;
  std::uint64_t begin = 0;
  for (std::size_t k = 0; k < records.size(); ++k) {
    const std::uint64_t end =
        begin + static_cast<std::uint64_t>(records[k].byteLength);
    const std::uint64_t string_start = dte.bytes_written();
    if (p + 3 < end) {
      const std::optional<std::uint64_t> taken =
          WalkSteps(puretext, end - p, stepper);
      if (!taken) return EncodeResult::kReadError;
      p += *taken;
    }
    if (p < end) {
      // One unit of the string is left; it is copied whatever it is.
      if (puretext.Fill(2) < 2) return EncodeResult::kReadError;
      dte.Write(puretext.data(), 2);
      puretext.Consume(2);
      p += 2;
    }
    const std::uint64_t written = dte.bytes_written() - string_start;
    if (written > static_cast<std::uint64_t>(INT32_MAX)) {
      *bad_record = k;
      return EncodeResult::kLengthOverflow;
    }
    records[k].byteLength = static_cast<std::int32_t>(written);
    begin = end;
  }
  return puretext.failed() ? EncodeResult::kReadError : EncodeResult::kOk;
}

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings) {
  return common::RunReportingOutOfMemory(
      [&] { return RunStages(args, out, err, settings); }, err, kOutOfMemory);
}

}  // namespace pairpick
