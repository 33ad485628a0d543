// puremake and textdump on arbitrary text, units and tables, with the round
// trips between them and the chain through pairpick.
//
// Input: one mode byte, then the payload.
//   bits 0-1  the table: 0 one in which no text begins another, 1 one in
//             which texts begin others but every character has an entry of
//             its own, 2 one like the example's, 3 one from the input (two
//             bytes of length n, then n bytes of table file)
//   bits 2-4  the block size
//   bit 5     0: the payload is a script text for puremake; 1: it picks
//             units (a byte below 0xF0 picks an entry of the table, any
//             other takes the next two bytes as a unit) for a puretext
//             whose records cut it where the payload says.
// What must hold:
//   - a refused puremake run leaves the old outputs and says why; an
//     accepted one numbers its strings from 0 and its records cover the
//     puretext;
//   - textdump dumps whatever puretext a table names;
//   - where no text begins another, puremake(textdump(x)) == x and
//     textdump(puremake(t)) == t for text in the form textdump writes;
//   - where texts begin others but every character has an entry, the
//     puretext made from a dump dumps to the same text;
//   - with the example's kind of table, and every control code named,
//     the dte file that pairpick makes dumps to the same text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/bytes.h"
#include "common/code_unit.h"
#include "common/format.h"
#include "common/info_record.h"
#include "common/table_file.h"
#include "fuzz/fuzz_support.h"
#include "pairpick/pairpick.h"
#include "puremake/puremake.h"
#include "textdump/textdump.h"

namespace {

using common::CodeUnit;
using fuzz_support::Bytes;
using fuzz_support::Check;

constexpr std::string_view kPrefixFreeTable =
    "1F30=0\n1F41=A\n1F42=B\n1F46=F\n1F7D=}\n1F20= \n1F80=\xC3\xA9\n"
    "1F5C=\\\\\n0001=\\n\n/0000=[end]\n0002=[wait]\n0110=[name]\n"
    "/0210=[ask]\n/0005=[page]\\n\n";

constexpr std::string_view kPairTable =
    "1F41=A\n1F42=B\n1F43=C\n1F20= \n0141=AB\n0241=ABC\n0142=BA\n"
    "0143=A B\n0144=\\nA\n0001=\\n\n/0000=[end]\n0110=[name]\n";

// Characters 0x20 to 0x7E but '[', ']' and '{', and control codes whose
// high byte is below 0x20: no pair of characters spells another unit.
std::string ExampleTable() {
  std::string table =
      "/0000=[end]\n0001=\\n\n0002=[wait]\n0003=[clear]\n0010=[name]\n"
      "0110=[item]\n0210=[num]\n0310=[color]\n";
  for (int code = 0x20; code < 0x7F; ++code) {
    if (code == '[' || code == ']' || code == '{') continue;
    table += common::Format("1F%02X=", code);
    table += code == '\\' ? std::string("\\\\")
                          : std::string(1, static_cast<char>(code));
    table += "\n";
  }
  return table;
}

enum class TableKind { kPrefixFree, kPairs, kExample, kFromInput };

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

struct Runner {
  std::size_t block_size;

  Outcome Make(const std::vector<std::string>& args) const {
    std::ostringstream out, err;
    const int status = puremake::Run(args, out, err, {nullptr, block_size});
    return {status, out.str(), err.str()};
  }
  Outcome Dump(const std::vector<std::string>& args) const {
    std::ostringstream out, err;
    const int status = textdump::Run(args, out, err, {nullptr, block_size});
    return {status, out.str(), err.str()};
  }
  Outcome Pick(const std::vector<std::string>& args) const {
    std::ostringstream out, err;
    const int status = pairpick::Run(args, out, err, {nullptr, block_size});
    return {status, out.str(), err.str()};
  }
};

Bytes AsBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::vector<CodeUnit> UnitsOf(const Bytes& bytes) {
  std::vector<CodeUnit> units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(common::ReadLe16(bytes.data() + i));
  }
  return units;
}

// True when no entry's text begins another's (an equal text included).
bool PrefixFree(const common::Table& table) {
  std::vector<std::string_view> texts;
  for (const common::TableEntry& entry : table.entries()) {
    texts.push_back(entry.text);
  }
  std::sort(texts.begin(), texts.end());
  for (std::size_t i = 1; i < texts.size(); ++i) {
    if (texts[i].starts_with(texts[i - 1])) return false;
  }
  return true;
}

// True when every unit that is no argument is named by the table, is a
// character whose code is 0x20 or more, or takes an argument: then no
// pair unit reads back as anything but its two characters.
bool PairsReadBack(const common::Table& table,
                   const std::vector<CodeUnit>& units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const CodeUnit unit = units[i];
    if (common::TakesArgument(unit)) {
      ++i;
    } else if (table.Find(unit) == nullptr &&
               !(common::IsTextCharacter(unit) &&
                 common::CharacterCode(unit) >= 0x20)) {
      return false;
    }
  }
  return true;
}

// The information file puremake must have written for `pure`.
void CheckRecords(const Bytes& pure, const Bytes& info) {
  Check(info.size() % common::kInfoRecordSize == 0, "a partial record");
  std::int64_t sum = 0;
  for (std::size_t k = 0; k * common::kInfoRecordSize < info.size(); ++k) {
    const common::InfoRecord record =
        common::DecodeInfoRecord(info.data() + k * common::kInfoRecordSize);
    Check(record.carriedWord == k, "strings not numbered from 0");
    Check(record.byteLength > 0 && record.byteLength % 2 == 0,
          "a string of a bad length");
    sum += record.byteLength;
  }
  Check(sum == static_cast<std::int64_t>(pure.size()),
        "records that do not cover the puretext");
}

// Dumps script `name`; the dump must succeed.
std::string MustDump(const Runner& run, const char* from, const char* name) {
  const Outcome dumped = run.Dump({"--from", from, "t.tbl", name});
  Check(dumped.status == 0 && dumped.err.empty(), "a dump failed");
  return dumped.out;
}

// Runs the round trips from the puretext of script "a", whose dump is
// `text`.
void CheckRoundTrips(const Runner& run, TableKind kind,
                     const common::Table& table, const std::string& text) {
  const Bytes pure = fuzz_support::ReadFile("a.pure");
  fuzz_support::WriteFile("b.txt", AsBytes(text));
  const Outcome made = run.Make({"t.tbl", "b"});
  const bool prefix_free = PrefixFree(table);
  const bool must_accept = prefix_free || kind == TableKind::kPairs;
  Check(made.status == 0 || !must_accept, "a dump was refused");
  if (made.status == 0) {
    Check(made.err.empty() && made.out.empty(), "a message on success");
    const Bytes remade = fuzz_support::ReadFile("b.pure");
    CheckRecords(remade, fuzz_support::ReadFile("b.info"));
    if (prefix_free) {
      Check(remade == pure, "puremake(textdump(x)) != x");
    }
    if (must_accept) {
      Check(MustDump(run, "pure", "b") == text,
            "textdump(puremake(textdump(x))) != textdump(x)");
    }
  }
  // The chain starts from a script puremake made, whose strings end where
  // the table ends them: pairpick reads a code that takes an argument at
  // the end of a string as one without.
  if (kind == TableKind::kExample && made.status == 0 &&
      PairsReadBack(table, UnitsOf(pure))) {
    Check(run.Pick({"b"}).status == 0, "pairpick refused a made script");
    Check(MustDump(run, "dte", "b") == text,
          "the dte file does not dump to the text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  fuzz_support::EnterScratchDirectory("text-fuzz");
  const auto kind = static_cast<TableKind>(data[0] & 3);
  const std::size_t kBlockSizes[] = {
      8, 9, 10, 11, 13, 16, 64, common::BlockReader::kBlockSize};
  const Runner run{kBlockSizes[(data[0] >> 2) & 7]};
  const bool units_mode = (data[0] & 0x20) != 0;
  std::span<const std::uint8_t> payload(data + 1, size - 1);

  Bytes table_bytes;
  switch (kind) {
    case TableKind::kPrefixFree:
      table_bytes = AsBytes(kPrefixFreeTable);
      break;
    case TableKind::kPairs:
      table_bytes = AsBytes(kPairTable);
      break;
    case TableKind::kExample:
      table_bytes = AsBytes(ExampleTable());
      break;
    case TableKind::kFromInput: {
      if (payload.size() < 2) return 0;
      const std::size_t n = std::min<std::size_t>(payload.size() - 2,
                                                  payload[0] | payload[1] << 8);
      table_bytes.assign(payload.begin() + 2, payload.begin() + 2 + n);
      payload = payload.subspan(2 + n);
      break;
    }
  }
  fuzz_support::WriteFile("t.tbl", table_bytes);
  std::variant<common::Table, common::Refusal> parsed =
      common::ParseTable("t.tbl", table_bytes);
  const common::Table* table = std::get_if<common::Table>(&parsed);
  Check(table != nullptr || kind == TableKind::kFromInput,
        "a fixed table was refused");

  const Bytes kOldPure = {1, 2}, kOldInfo = {3};
  fuzz_support::WriteFile("a.pure", kOldPure);
  fuzz_support::WriteFile("a.info", kOldInfo);
  std::string text;
  if (!units_mode) {
    fuzz_support::WriteFile("a.txt", Bytes(payload.begin(), payload.end()));
    const Outcome made = run.Make({"t.tbl", "a"});
    fuzz_support::CheckNoTemporaries();
    Check(made.out.empty(), "puremake wrote to standard output");
    if (made.status != 0) {
      Check(fuzz_support::ReadFile("a.pure") == kOldPure &&
                fuzz_support::ReadFile("a.info") == kOldInfo,
            "a refused run changed an output");
      Check(!made.err.empty(), "a refusal without a message");
      return 0;
    }
    Check(table != nullptr, "a refused table was used");
    Check(made.err.empty(), "a message on success");
    CheckRecords(fuzz_support::ReadFile("a.pure"),
                 fuzz_support::ReadFile("a.info"));
    text = MustDump(run, "pure", "a");
  } else {
    // Units picked by the payload, and records that cut them anywhere.
    Bytes pure, info;
    std::int32_t string_bytes = 0;
    const auto end_string = [&] {
      std::uint8_t record[common::kInfoRecordSize];
      common::EncodeInfoRecord({0, string_bytes}, record);
      info.insert(info.end(), record, record + common::kInfoRecordSize);
      string_bytes = 0;
    };
    for (std::size_t i = 0; i < payload.size(); ++i) {
      const std::uint8_t pick = payload[i];
      if (pick < 0xF0 && table != nullptr && !table->entries().empty()) {
        common::AppendLe16(
            pure, table->entries()[pick % table->entries().size()].unit);
      } else if (i + 2 < payload.size()) {
        pure.insert(pure.end(),
                    payload.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                    payload.begin() + static_cast<std::ptrdiff_t>(i) + 3);
        i += 2;
      } else {
        continue;
      }
      string_bytes += 2;
      if (pick % 5 == 0) end_string();
    }
    if (string_bytes > 0) end_string();
    fuzz_support::WriteFile("a.pure", pure);
    fuzz_support::WriteFile("a.dte", pure);
    fuzz_support::WriteFile("a.info", info);
    const Outcome dumped = run.Dump({"t.tbl", "a"});
    Check(dumped.status == (table != nullptr ? 0 : 1),
          "a dump failed, or used a refused table");
    // Any units dump as dte, too.
    const Outcome as_dte = run.Dump({"--from", "dte", "t.tbl", "a"});
    Check(as_dte.status == dumped.status, "a dte dump failed");
    if (table == nullptr) return 0;
    text = dumped.out;
  }
  CheckRoundTrips(run, kind, *table, text);
  fuzz_support::CheckNoTemporaries();
  return 0;
}
