#include "puremake/puremake.h"

#include <deque>
#include <filesystem>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <variant>

#include "common/block_reader.h"
#include "common/bytes.h"
#include "common/command_line.h"
#include "common/commit.h"
#include "common/format.h"
#include "common/info_record.h"
#include "common/interrupts.h"
#include "common/script_files.h"

namespace puremake {

// Every message, in the order the README lists them. All go to standard
// error. The faults of a table or a script text are worded by the table
// layer (common/table_file.cc) and printed as they are.
constexpr const char* kUsage =
    "puremake usage:\n  puremake table script1 [script2] [script3] ...\n";
constexpr const char* kHelpDetails =
    "\n"
    "A script is named by its base name, without an extension. puremake reads\n"
    "the table file and each script's text, S.txt, and writes S.pure (the\n"
    "puretext) and S.info (the information file, one record per string) for\n"
    "every script, or, on any fault, none: the faults are told with the file,\n"
    "line and column, and nothing is written (status 1).\n";
constexpr const char* kCannotOpen = "Could not open %s file %s.\n";
constexpr const char* kCannotOpenBecause = "Could not open %s file %s: %s.\n";
constexpr const char* kCannotRead = "Could not read %s file %s.\n";
constexpr const char* kRefused = "%s\n";
constexpr const char* kStringTooLong =
    "%s: string %llu holds more than %llu bytes, more than an information "
    "record can describe.\n";
constexpr const char* kTooManyStrings =
    "%s: more than %llu strings, more than information records can number.\n";
constexpr const char* kCannotWrite = "Could not write %s file %s.\n";
constexpr const char* kNothingWritten = "No script was written.\n";
constexpr const char* kOutOfMemory = "Out of memory. Shutting down...\n";
const char* const kInterrupted = "Interrupted. Shutting down...\n";

namespace {

using common::Format;

constexpr const char* kTableKind = "table";
constexpr const char* kScriptKind = "script";
constexpr const char* kPuretextKind = "puretext";
constexpr const char* kInformationKind = "information";
constexpr const char* kNotAFile = "it is not a regular file";

// The text's name for a script argument: the extension appended as given,
// as for the other files of a script (common/script_files.h).
std::string TextName(const std::string& script) { return script + ".txt"; }

struct Script {
  std::string text;
  std::string pure;
  std::string info;
};

// A script's outputs while they are written and until the commit.
struct ScriptOutputs {
  ScriptOutputs(const common::RunSettings& settings,
                std::span<std::uint8_t> pure_buffer,
                std::span<std::uint8_t> info_buffer)
      : pure(pure_buffer, settings.faults),
        info(info_buffer, settings.faults) {}
  common::OutputFile pure;
  common::OutputFile info;
};

struct RunState {
  std::ostream& err;
  const common::RunSettings& settings;
  common::Block read_block;
  // Each script's two outputs are written at once, through these buffers;
  // finished, they need them no longer.
  common::Block pure_block;
  common::Block info_block;
  std::deque<ScriptOutputs> outputs;
  // Once a script failed, the later ones are only checked.
  bool failed = false;
  // The permission bits the table shares with the script being made: its
  // outputs show no more than their inputs.
  std::uint32_t table_permissions = 0777;
  std::uint32_t limit = 0777;
};

// Reads and parses the table; nullopt after the message.
std::optional<common::Table> ReadTable(const std::string& name, RunState& run) {
  std::vector<std::uint8_t> bytes;
  common::FileFacts facts;
  switch (common::ReadWholeFile(name, bytes, run.settings.faults, &facts)) {
    case common::ReadResult::kOk:
      run.table_permissions = facts.permissions;
      break;
    case common::ReadResult::kMissing:
    case common::ReadResult::kDenied:
    case common::ReadResult::kCannotOpen:
      run.err << Format(kCannotOpen, kTableKind, name.c_str());
      return std::nullopt;
    case common::ReadResult::kNotRegular:
      run.err << Format(kCannotOpenBecause, kTableKind, name.c_str(),
                        kNotAFile);
      return std::nullopt;
    case common::ReadResult::kReadError:
      run.err << Format(kCannotRead, kTableKind, name.c_str());
      return std::nullopt;
  }
  std::variant<common::Table, common::Refusal> parsed =
      common::ParseTable(name, bytes);
  if (const auto* refusal = std::get_if<common::Refusal>(&parsed)) {
    run.err << Format(kRefused, refusal->message.c_str());
    return std::nullopt;
  }
  return std::get<common::Table>(std::move(parsed));
}

bool OpenText(const Script& script, common::BlockReader& text, RunState& run) {
  std::error_code ec;
  switch (text.Open(script.text, ec)) {
    case common::OpenResult::kOk:
      run.limit = run.table_permissions & text.facts().permissions;
      return true;
    case common::OpenResult::kMissing:
    case common::OpenResult::kDenied:
    case common::OpenResult::kFailed:
      run.err << Format(kCannotOpen, kScriptKind, script.text.c_str());
      return false;
    case common::OpenResult::kNotRegular:
      run.err << Format(kCannotOpenBecause, kScriptKind, script.text.c_str(),
                        kNotAFile);
      return false;
  }
  return false;
}

// Why an output cannot be written, in words for the message.
std::string ProblemText(common::OutputProblem problem,
                        const common::OutputFile& file,
                        const std::error_code& ec) {
  switch (problem) {
    case common::OutputProblem::kNone:
      break;
    case common::OutputProblem::kNotAFile:
      return kNotAFile;
    case common::OutputProblem::kReadOnly:
      return "it may not be written";
    case common::OutputProblem::kCannotCreate:
      return Format("cannot create a temporary file in %s (%s)",
                    common::FolderOf(file.target()).string().c_str(),
                    ec.message().c_str());
  }
  return "";
}

// Creates the temporary of one output; false after the message.
bool BeginOutput(common::OutputFile& file, const char* kind,
                 const std::string& target, RunState& run) {
  std::error_code ec;
  const common::OutputProblem problem = file.Begin(target, ec, run.limit);
  if (problem == common::OutputProblem::kNone) return true;
  run.err << Format(kCannotOpenBecause, kind, target.c_str(),
                    ProblemText(problem, file, ec).c_str());
  return false;
}

// Creates the temporaries of both outputs; nullptr after the message.
ScriptOutputs* BeginOutputs(const Script& script, RunState& run) {
  ScriptOutputs& outputs =
      run.outputs.emplace_back(run.settings, run.pure_block, run.info_block);
  if (!BeginOutput(outputs.pure, kPuretextKind, script.pure, run) ||
      !BeginOutput(outputs.info, kInformationKind, script.info, run)) {
    run.outputs.pop_back();
    return nullptr;
  }
  return &outputs;
}

// Says what stopped the writer, if anything; false after the message.
bool CheckWriter(const Script& script, const ScriptWriter& writer,
                 RunState& run) {
  const RecordLimits& limits = writer.limits();
  switch (writer.fault()) {
    case ScriptWriter::Fault::kNone:
      return true;
    case ScriptWriter::Fault::kStringTooLong:
      run.err << Format(kStringTooLong, script.text.c_str(),
                        static_cast<unsigned long long>(writer.strings()),
                        static_cast<unsigned long long>(limits.string_bytes));
      return false;
    case ScriptWriter::Fault::kTooManyStrings:
      run.err << Format(kTooManyStrings, script.text.c_str(),
                        static_cast<unsigned long long>(limits.strings));
      return false;
  }
  return false;
}

// Streams the text through the encoder into the writer, a block at a time;
// false after the message.
bool EncodeText(const Script& script, const common::Table& table,
                common::BlockReader& text, ScriptWriter& writer,
                RunState& run) {
  common::ScriptEncoder encoder(table, script.text, writer);
  bool accepted = true;
  while (accepted && text.remaining() > 0) {
    const std::size_t readable = text.Fill(1);
    if (readable == 0) break;
    accepted = encoder.Feed({text.data(), readable});
    text.Consume(readable);
    if (writer.fault() != ScriptWriter::Fault::kNone) {
      return CheckWriter(script, writer, run);
    }
  }
  if (accepted && text.failed()) {
    run.err << Format(kCannotRead, kScriptKind, script.text.c_str());
    return false;
  }
  if (accepted) accepted = encoder.Finish();
  if (!accepted) {
    run.err << Format(kRefused, encoder.refusal()->message.c_str());
    return false;
  }
  return CheckWriter(script, writer, run);
}

bool FinishOutputs(const Script& script, ScriptOutputs& outputs,
                   RunState& run) {
  std::error_code ec;
  if (!outputs.pure.Finish(ec)) {
    run.err << Format(kCannotWrite, kPuretextKind, script.pure.c_str());
    return false;
  }
  if (!outputs.info.Finish(ec)) {
    run.err << Format(kCannotWrite, kInformationKind, script.info.c_str());
    return false;
  }
  return true;
}

// Makes one script's outputs, or, once the run has failed, only checks its
// text. Returns false after the message.
bool MakeScript(const Script& script, const common::Table& table,
                RunState& run) {
  common::BlockReader text(run.read_block, run.settings.faults);
  if (!OpenText(script, text, run)) return false;
  ScriptOutputs* outputs = run.failed ? nullptr : BeginOutputs(script, run);
  bool made = run.failed || outputs != nullptr;
  ScriptWriter writer(outputs ? &outputs->pure.writer() : nullptr,
                      outputs ? &outputs->info.writer() : nullptr);
  made = EncodeText(script, table, text, writer, run) && made;
  if (made && outputs != nullptr) made = FinishOutputs(script, *outputs, run);
  return made;
}

// Renames every script's outputs in, as one group; false after the message.
// REQUIRES: every script was made, in order.
bool CommitScripts(const std::vector<Script>& scripts, RunState& run) {
  std::vector<common::FinishedFile> group;
  for (ScriptOutputs& outputs : run.outputs) {
    group.push_back(outputs.pure.HandOver());
    group.push_back(outputs.info.HandOver());
  }
  common::Commit commit(run.settings.faults);
  commit.Add(std::move(group));
  const common::Commit::Outcome outcome = commit.CommitAll(true).front();
  if (outcome.ec == std::errc::interrupted) {
    run.err << kInterrupted;
    return false;
  }
  if (!outcome.committed) {
    const Script& script = scripts[outcome.file / 2];
    run.err << (outcome.file % 2 == 0
                    ? Format(kCannotWrite, kPuretextKind, script.pure.c_str())
                    : Format(kCannotWrite, kInformationKind,
                             script.info.c_str()));
    run.err << kNothingWritten;
    return false;
  }
  return true;
}

// The scripts named, each once: a script named again (by another name of
// the same files, too) would only be made twice.
std::vector<Script> NamedScripts(const std::vector<std::string>& names) {
  std::vector<Script> scripts;
  std::set<std::string> seen;
  for (const std::string& name : names) {
    Script script{TextName(name), common::PuretextName(name),
                  common::InformationName(name)};
    std::error_code ec;
    const std::filesystem::path absolute =
        std::filesystem::absolute(script.pure, ec);
    const std::string key =
        ec ? script.pure : absolute.lexically_normal().string();
    if (seen.insert(key).second) scripts.push_back(std::move(script));
  }
  return scripts;
}

int RunStages(const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err, const common::RunSettings& settings) {
  if (const std::optional<int> status = common::AnswerHelpOrVersion(
          args, "puremake", TESK_VERSION, std::string(kUsage) + kHelpDetails,
          out)) {
    return *status;
  }
  if (args.size() < 2) {
    err << kUsage;
    return 1;
  }
  RunState run{err,
               settings,
               common::Block(settings.block_size),
               common::Block(settings.block_size),
               common::Block(settings.block_size),
               {}};
  const std::optional<common::Table> table = ReadTable(args[0], run);
  if (!table) {
    err << kNothingWritten;
    return 1;
  }
  const std::vector<Script> scripts =
      NamedScripts({args.begin() + 1, args.end()});
  for (const Script& script : scripts) {
    if (!MakeScript(script, *table, run)) run.failed = true;
  }
  if (run.failed) {
    err << kNothingWritten;
    return 1;
  }
  return CommitScripts(scripts, run) ? 0 : 1;
}

}  // namespace

void ScriptWriter::PutUnit(common::CodeUnit unit) {
  if (fault_ != Fault::kNone) return;
  string_bytes_ += 2;
  if (string_bytes_ > limits_.string_bytes) {
    fault_ = Fault::kStringTooLong;
    return;
  }
  if (pure_ == nullptr) return;
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(unit),
                                 static_cast<std::uint8_t>(unit >> 8)};
  pure_->Write(bytes, 2);
}

void ScriptWriter::EndString() {
  if (fault_ != Fault::kNone) return;
  if (strings_ == limits_.strings) {
    fault_ = Fault::kTooManyStrings;
    return;
  }
  if (info_ != nullptr) {
    std::uint8_t record[common::kInfoRecordSize];
    common::EncodeInfoRecord({static_cast<std::uint32_t>(strings_),
                              static_cast<std::int32_t>(string_bytes_)},
                             record);
    info_->Write(record, common::kInfoRecordSize);
  }
  ++strings_;
  string_bytes_ = 0;
}

int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings) {
  return common::RunReportingOutOfMemory(
      [&] { return RunStages(args, out, err, settings); }, err, kOutOfMemory);
}

}  // namespace puremake
