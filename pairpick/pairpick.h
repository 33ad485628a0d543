// pairpick: replaces the most frequent pairs of adjacent text characters by
// single pair units. It surveys the puretext files of all scripts, fills a
// substitution table of kCodeTableSize codes (kFixedCodes, then the most
// frequent pairs), then re-encodes each script into its dte file and writes
// the strings' new lengths into its information file.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "common/block_reader.h"
#include "common/code_unit.h"
#include "common/info_record.h"
#include "common/output_file.h"
#include "common/run_settings.h"

namespace pairpick {

inline constexpr int kFixedCodeCount = 133;
extern const std::array<std::uint16_t, kFixedCodeCount> kFixedCodes;

struct PairRecord {
  std::uint16_t pairValue = 0;
  std::int64_t count = 0;
  bool operator==(const PairRecord&) const = default;
};

// Every pair counted so far: a count per pair value, and the values in the
// order in which they were first met.
class PairList {
 public:
  PairList() : counts_(common::kUnitValueCount, 0) {}
  void Count(std::uint16_t pair_value) {
    if (counts_[pair_value]++ == 0) order_.push_back(pair_value);
  }
  // One record per pair value met, in first-met order.
  std::vector<PairRecord> records() const;

 private:
  std::vector<std::int64_t> counts_;
  std::vector<std::uint16_t> order_;
};

// Counts the pairs of one puretext file, without overlap: after a pair the
// scan goes on behind its second character, a text character followed by a
// control code is consumed with it, and argument units are passed over.
// Returns false if a read failed.
bool SurveyPuretext(common::BlockReader& puretext, PairList& pairs);

struct SubstitutionTable {
  std::array<std::uint16_t, common::kCodeTableSize> entries{};
  int usedLength = 0;
  // Entries 0 to usedLength - 1 as a set of pair values.
  std::bitset<common::kUnitValueCount> members;

  bool IsMember(std::uint16_t pair_value) const { return members[pair_value]; }
};

// The fixed codes, then the pair values by count, highest first; pairs of
// equal count keep the order in which they were first met.
SubstitutionTable BuildSubstitutionTable(const PairList& pairs);

enum class EncodeResult { kOk, kReadError, kLengthOverflow };

// Re-encodes the strings that `records` describe, which must cover the
// puretext exactly with even, non-negative lengths. Writes the dte bytes to
// `dte` and sets each record's byteLength to its string's new length. On
// kLengthOverflow, *bad_record is the record whose new length does not fit.
// REQUIRES: `dte` has a buffer of at least BlockReader::kMinBlockSize bytes.
EncodeResult EncodeScript(common::BlockReader& puretext,
                          const SubstitutionTable& table,
                          std::vector<common::InfoRecord>& records,
                          common::FileWriter& dte, std::size_t* bad_record);

// Printed when an interrupt ends the run.
extern const char* const kInterrupted;

// Runs the program on `args` (the arguments without the program name);
// returns the exit status.
int Run(const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err, const common::RunSettings& settings = {});

}  // namespace pairpick
