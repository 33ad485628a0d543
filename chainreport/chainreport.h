// chainreport: reports what pairpick and huffbuild did to each script and
// proves that the tables decode it. It reads each script's .pure, .info and
// .dte files and tesk.tbl and tesk.bit, prints per script and in total how
// large the text is at every stage, and a histogram of the pattern lengths
// in use. It checks that the information file describes the dte file, that
// the tables form one sound prefix code whose root-to-leaf paths are the
// bit patterns, and that every string, encoded and decoded again, gives back
// its units. It writes no file.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "common/run_settings.h"
#include "common/tables.h"

namespace chainreport {

// The Huffman code as the two tables describe it, once verified.
struct Code {
  std::vector<common::NodeEntry> table;
  std::vector<common::BitRecord> leaves;
  std::vector<std::int32_t> leaf_of;  // by unit value; -1 where no leaf
};

// Checks that the Bit Pattern Table and the node table describe one prefix
// code. Returns nullopt after printing the first fault found on `err`.
std::optional<Code> VerifyCode(const std::vector<std::uint8_t>& tbl,
                               const std::vector<std::uint8_t>& bit,
                               std::ostream& err);

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

// Reads one script's files and checks them against the code, adding each
// unit's occurrences to `uses` (65536 entries). Returns nullopt after
// printing the first fault found on `err`.
std::optional<ScriptFigures> CheckScript(const std::string& script,
                                         const Code& code,
                                         std::vector<std::int64_t>& uses,
                                         std::ostream& err,
                                         std::span<std::uint8_t> block);

// Printed when an interrupt ends the run.
extern const char* const kInterrupted;

// Runs the program on `args` (the arguments without the program name);
// returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings = {});

}  // namespace chainreport
