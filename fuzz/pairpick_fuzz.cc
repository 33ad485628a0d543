// pairpick on arbitrary puretext and information bytes.
//
// Input: one mode byte (its lowest bit the mode, the next three the block
// size, the next whether the chain goes on to chainreport), a 2-byte length n,
// n bytes of information file, and the rest for the puretext. In raw mode the
// bytes are used as they are. In text mode each puretext byte picks a unit from
// an alphabet in which pair units can be told from every other unit, so that
// the test can undo the substitution and compare with the puretext.
//
// When the chain goes on, huffbuild and chainreport run over the same files
// with the same block size after pairpick: chainreport must take pairpick's dte
// file for what it is, and fault only pair units that read as something else,
// which the text mode's alphabet never makes.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "chainreport/chainreport.h"
#include "common/bytes.h"
#include "common/code_unit.h"
#include "fuzz/fuzz_support.h"
#include "huffbuild/huffbuild.h"
#include "pairpick/pairpick.h"

namespace {

using fuzz_support::Bytes;
using fuzz_support::Check;

const Bytes kOldDte = {0xD7, 0xE0, 0x0D};

std::uint16_t TextModeUnit(std::uint8_t b) {
  if (b < 0xC0)
    return static_cast<std::uint16_t>(0x1F20 + b % 0x5F);  // characters
  const std::uint16_t kCodes[] = {0x0000, 0x0001, 0x0002,
                                  0x0105, 0x0010, 0x0110};
  return kCodes[b % 6];
}

// Undoes the substitution of one string (see TextModeUnit): a unit whose
// high byte is 0x20 to 0x7E is a pair unit; a code that is not the string's
// last unit carries its argument.
void Undo(const Bytes& dte, std::size_t q, std::size_t end, Bytes& text) {
  while (q < end) {
    const std::uint16_t unit = common::ReadLe16(dte.data() + q);
    const int high = unit >> 8;
    if (high >= 0x20 && high <= 0x7E) {
      common::AppendLe16(text,
                         static_cast<std::uint16_t>(0x1F00 | (unit & 0xFF)));
      common::AppendLe16(text, static_cast<std::uint16_t>(0x1F00 | high));
    } else {
      common::AppendLe16(text, unit);
      if (common::TakesArgument(unit) && q + 4 <= end) {
        q += 2;
        common::AppendLe16(text, common::ReadLe16(dte.data() + q));
      }
    }
    q += 2;
  }
}

// Builds the tables over the dte file and checks chainreport's verdict on
// pairpick's files.
void CheckChainreport(bool text_mode, std::size_t block_size) {
  std::ostringstream out, err;
  if (huffbuild::Run({"a"}, out, err, {nullptr, block_size}) != 0) return;
  out.str("");
  err.str("");
  const int status = chainreport::Run({"a"}, out, err, {nullptr, block_size});
  if (status == 0) {
    Check(err.str().empty(), "chainreport: a message on success");
    return;
  }
  Check(!text_mode, "chainreport faulted a text-mode chain");
  // Every line names a pair unit that reads as something else.
  std::istringstream lines(err.str());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    Check(line.find(" reads as ") != std::string::npos,
          "chainreport faulted pairpick's own dte file");
    ++count;
  }
  Check(count > 0, "chainreport failed without a message");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 3) return 0;
  fuzz_support::EnterScratchDirectory("pairpick-fuzz");
  const bool text_mode = data[0] & 1;
  const std::size_t info_size =
      std::min<std::size_t>(size - 3, data[1] | (data[2] << 8));
  const Bytes info(data + 3, data + 3 + info_size);
  Bytes pure;
  for (std::size_t i = 3 + info_size; i < size; ++i) {
    if (text_mode) {
      common::AppendLe16(pure, TextModeUnit(data[i]));
    } else {
      pure.push_back(data[i]);
    }
  }
  fuzz_support::WriteFile("a.pure", pure);
  fuzz_support::WriteFile("a.info", info);
  fuzz_support::WriteFile("a.dte", kOldDte);

  // Blocks of a few bytes put the steps at every edge.
  const std::size_t kBlockSizes[] = {
      8, 9, 10, 11, 13, 16, 64, common::BlockReader::kBlockSize};
  const std::size_t block_size = kBlockSizes[(data[0] >> 1) & 7];
  std::ostringstream out, err;
  const int status = pairpick::Run({"a"}, out, err, {nullptr, block_size});
  const Bytes dte = fuzz_support::ReadFile("a.dte");
  const Bytes new_info = fuzz_support::ReadFile("a.info");
  fuzz_support::CheckNoTemporaries();
  Check(out.str().empty(), "pairpick wrote to standard output");
  if (status != 0) {
    Check(dte == kOldDte && new_info == info, "a refused script was changed");
    Check(!err.str().empty(), "a refusal without a message");
    return 0;
  }
  Check(err.str().empty(), "a message on success");
  Check(new_info.size() == info.size(),
        "the information file changed its size");
  Check(dte.size() % 2 == 0, "odd dte file");
  if (pure.empty()) {
    Check(dte.empty() && new_info == info, "empty puretext");
    return 0;
  }
  // The rewritten records cover the dte file exactly; the rest is kept.
  std::int64_t old_sum = 0;
  std::size_t begin = 0;
  Bytes undone;
  std::size_t k = 0;
  for (; old_sum < static_cast<std::int64_t>(pure.size()); ++k) {
    Check((k + 1) * 8 <= info.size(), "records ran out on an accepted script");
    old_sum +=
        static_cast<std::int32_t>(common::ReadLe32(info.data() + k * 8 + 4));
    Check(common::ReadLe32(new_info.data() + k * 8) ==
              common::ReadLe32(info.data() + k * 8),
          "a carried word changed");
    const auto length = static_cast<std::int32_t>(
        common::ReadLe32(new_info.data() + k * 8 + 4));
    Check(length >= 0 && length % 2 == 0, "a bad new length");
    Check(begin + static_cast<std::size_t>(length) <= dte.size(),
          "lengths pass the dte end");
    Undo(dte, begin, begin + static_cast<std::size_t>(length), undone);
    begin += static_cast<std::size_t>(length);
  }
  Check(old_sum == static_cast<std::int64_t>(pure.size()),
        "accepted lengths that do not add up");
  Check(begin == dte.size(), "new lengths do not add up to the dte length");
  Check(std::equal(new_info.begin() + static_cast<std::ptrdiff_t>(k * 8),
                   new_info.end(),
                   info.begin() + static_cast<std::ptrdiff_t>(k * 8)),
        "surplus records changed");
  if (text_mode) {
    // A final argument unit past the end of the file is not invented.
    if (undone.size() == pure.size() + 2) undone.resize(pure.size());
    Check(undone == pure,
          "undoing the substitution does not give back the puretext");
  }
  if ((data[0] & 0x10) != 0) CheckChainreport(text_mode, block_size);
  return 0;
}
