// puremake: makes each script's puretext and information file from its text.
// It reads a table file (common/table_file.h says what a table and a script
// text hold), then each SCRIPT.txt, and writes SCRIPT.pure, the script's code
// units, and SCRIPT.info, one information record per string: the string's
// number from 0 as its carried word, and its length in bytes. The text
// streams through in blocks, so memory stays flat however long a script is.
// All or nothing: every script's text is checked, and only when all of them
// pass are the outputs of all of them renamed in, as one commit group.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "common/code_unit.h"
#include "common/output_file.h"
#include "common/run_settings.h"
#include "common/table_file.h"

namespace puremake {

// What an information record can describe: byteLength is a signed 32-bit
// number, and the carried word numbers strings with 32 bits.
struct RecordLimits {
  std::uint64_t string_bytes = INT32_MAX;
  std::uint64_t strings = std::uint64_t{1} << 32;
};

// Receives a script's units and strings from a ScriptEncoder: the units go
// to the puretext writer, little-endian, and a record per string to the
// information writer. Without writers it only counts, for a run that checks
// a script it will not write. After a fault it takes nothing more.
class ScriptWriter : public common::EncodeSink {
 public:
  enum class Fault { kNone, kStringTooLong, kTooManyStrings };

  ScriptWriter(common::FileWriter* pure, common::FileWriter* info,
               RecordLimits limits = {})
      : pure_(pure), info_(info), limits_(limits) {}

  void PutUnit(common::CodeUnit unit) override;
  void EndString() override;

  Fault fault() const { return fault_; }
  const RecordLimits& limits() const { return limits_; }
  // Strings ended so far; with kStringTooLong, the number of the string at
  // fault.
  std::uint64_t strings() const { return strings_; }

 private:
  common::FileWriter* pure_;
  common::FileWriter* info_;
  RecordLimits limits_;
  std::uint64_t string_bytes_ = 0;
  std::uint64_t strings_ = 0;
  Fault fault_ = Fault::kNone;
};

// Printed when an interrupt ends the run.
extern const char* const kInterrupted;

// Runs the program on `args` (the arguments without the program name);
// returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings = {});

}  // namespace puremake
