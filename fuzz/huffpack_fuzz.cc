// huffpack on arbitrary strings, codes and layouts.
//
// Input: a layout byte (bit order, alignment, byte order, pointer width,
// block size), a base byte (one of a few bases, or with its top bit the
// next 4 bytes as the base), a damage byte (bit 0: change one bit of the
// packed text through the faults' hook, at the bit the next 2 bytes say;
// bit 1: change a byte of tesk.tbl; bit 2: make the last length of the
// information file wrong; bits 3 to 7: the share of the strings' units the
// code is built from, so that later units may have no leaf), then the
// strings: a byte below 0x10 ends a string, any other byte is a unit.
//
// A run is accepted exactly when nothing is wrong: every unit has a leaf,
// every pointer fits, the packed text was not changed, the inputs are
// sound. An accepted run's SCRIPT.huf reads back, bit by bit through
// tesk.tbl from every pointer of SCRIPT.ptr, to the strings; a refused one
// leaves every file as it was.
#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/faults.h"
#include "common/tables.h"
#include "fuzz/fuzz_support.h"
#include "huffbuild/huffbuild.h"
#include "huffpack/huffpack.h"

namespace {

using fuzz_support::Bytes;
using fuzz_support::Check;
using Strings = std::vector<std::vector<std::uint16_t>>;

const Bytes kOldHuf = {0xD7, 0xE0};
const Bytes kOldPtr = {0x0D};

struct Layout {
  bool lsb_first;
  bool bit_aligned;
  bool big_endian;
  std::size_t width;
  std::uint32_t base;
};

// A unit for an input byte: characters, pair units and control codes.
std::uint16_t UnitOf(std::uint8_t b) {
  if (b < 0x80) return static_cast<std::uint16_t>(0x1F00 | b);
  if (b < 0xE0) return static_cast<std::uint16_t>(b << 8 | 0x61);
  return static_cast<std::uint16_t>(0x0010 + 0x100 * (b - 0xE0));
}

// Builds a code over the units met (at least two leaves) as huffbuild
// builds it, and writes both tables; false when a pattern is too long.
// Counted in a map, as a table of every unit value would cost more than
// the run.
bool WriteCode(const Strings& strings, std::size_t units_used) {
  std::map<std::uint16_t, std::int64_t> counts;
  std::vector<huffbuild::SymbolNode> leaves;
  std::size_t n = 0;
  for (const auto& s : strings) {
    for (std::uint16_t unit : s) {
      if (n++ >= units_used) break;
      if (counts[unit]++ == 0) leaves.push_back({unit, 0xFFFF, 0, 0});
    }
  }
  for (auto& leaf : leaves) leaf.count = counts[leaf.first];
  for (std::uint16_t filler = 38; leaves.size() < 2; ++filler) {
    if (counts.count(filler) == 0) leaves.push_back({filler, 0xFFFF, 0, 0});
  }
  const std::vector<common::NodeEntry> table =
      huffbuild::BuildNodeTable(leaves);
  const std::vector<std::string> patterns =
      huffbuild::BitPatterns(table, leaves.size());
  Bytes bit;
  for (std::size_t leaf = 0; leaf < leaves.size(); ++leaf) {
    if (patterns[leaf].size() >= common::kPatternFieldSize) return false;
    common::AppendBitRecord(bit, table[leaf].first, patterns[leaf]);
  }
  fuzz_support::WriteFile("tesk.tbl", common::EncodeNodeTable(table));
  fuzz_support::WriteFile("tesk.bit", bit);
  return true;
}

// The bit of the packed text at `i`.
int BitAt(const Bytes& huf, const Layout& layout, std::uint64_t i) {
  const unsigned shift = layout.lsb_first ? i % 8 : 7 - i % 8;
  return (huf[i / 8] >> shift) & 1;
}

// Reads every string back from its pointer, bit by bit through tesk.tbl.
void CheckReadsBack(const Strings& strings, const Layout& layout) {
  const Bytes tbl = fuzz_support::ReadFile("tesk.tbl");
  const Bytes huf = fuzz_support::ReadFile("a.huf");
  const Bytes ptr = fuzz_support::ReadFile("a.ptr");
  Check(ptr.size() == strings.size() * layout.width, "pointer count");
  const auto field = [&](std::size_t entry, int which) {
    return common::ReadLe16(tbl.data() + 4 * entry + 2 * which);
  };
  std::uint64_t next = 0;
  for (std::size_t k = 0; k < strings.size(); ++k) {
    std::uint64_t pointer = 0;
    for (std::size_t b = 0; b < layout.width; ++b) {
      const std::size_t shift = layout.big_endian ? layout.width - 1 - b : b;
      pointer |= std::uint64_t{ptr[k * layout.width + b]} << (8 * shift);
    }
    Check(pointer >= layout.base, "a pointer below the base");
    std::uint64_t position =
        (pointer - layout.base) * (layout.bit_aligned ? 1 : 8);
    Check(position == next, "a string does not start where it should");
    for (std::uint16_t unit : strings[k]) {
      std::size_t node = tbl.size() / 4 - 1;
      while (field(node, 1) != 0xFFFF) {
        Check(position < 8 * huf.size(), "a string runs past the end");
        node = field(node, BitAt(huf, layout, position++));
      }
      Check(field(node, 0) == unit, "a unit does not decode back");
    }
    while (!layout.bit_aligned && position % 8 != 0) {
      Check(BitAt(huf, layout, position++) == 0, "padding is not 0");
    }
    next = position;
  }
  while (next % 8 != 0) Check(BitAt(huf, layout, next++) == 0, "last padding");
  Check(next == 8 * huf.size(), "bytes behind the last string");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 5) return 0;
  fuzz_support::EnterScratchDirectory("huffpack-fuzz");
  const std::uint32_t kBases[] = {0,        0x100,      0x1F4000,   0xFFF0,
                                  0xFFFF00, 0xFFFFFFF0, 0x7FFFFFFF, 0xFFFFFF80};
  const std::size_t kWidths[] = {2, 3, 4, 4};
  const std::size_t kBlockSizes[] = {8, 9, 13, 64, 8, 17, 256 * 1024, 31};
  Layout layout{(data[0] & 1) != 0, (data[0] & 2) != 0, (data[0] & 4) != 0,
                kWidths[(data[0] >> 3) & 3], kBases[data[1] & 7]};
  const std::size_t block_size = kBlockSizes[data[0] >> 5];
  std::size_t p = 2;
  if ((data[1] & 0x80) != 0 && size >= p + 4) {
    layout.base = common::ReadLe32(data + p);
    p += 4;
  }
  if (p + 3 > size) return 0;
  const std::uint8_t damage = data[p];
  const std::uint64_t flip_at = data[p + 1] | data[p + 2] << 8;
  p += 3;

  Strings strings(1);
  std::size_t total_units = 0;
  for (; p < size; ++p) {
    if (data[p] < 0x10) {
      strings.emplace_back();
    } else {
      strings.back().push_back(UnitOf(data[p]));
      ++total_units;
    }
  }
  // Records behind the last unit cover nothing: they are no strings.
  while (!strings.empty() && strings.back().empty()) strings.pop_back();

  const std::size_t units_used =
      (damage >> 3) == 31 ? total_units : total_units * (damage >> 3) / 31;
  if (!WriteCode(strings, units_used)) return 0;
  Bytes dte, info;
  for (const auto& s : strings) {
    for (std::uint16_t unit : s) common::AppendLe16(dte, unit);
    std::uint8_t record[8];
    common::StoreLe32(record, 0xC0DE);
    common::StoreLe32(record + 4, static_cast<std::uint32_t>(2 * s.size()));
    info.insert(info.end(), record, record + 8);
  }
  const bool bad_info = (damage & 4) != 0 && !info.empty();
  if (bad_info) info[info.size() - 4] ^= 2;
  const bool bad_table = (damage & 2) != 0;
  if (bad_table) {
    Bytes tbl = fuzz_support::ReadFile("tesk.tbl");
    tbl[flip_at % tbl.size()] ^= static_cast<std::uint8_t>(1 + damage % 255);
    fuzz_support::WriteFile("tesk.tbl", tbl);
  }
  fuzz_support::WriteFile("a.dte", dte);
  fuzz_support::WriteFile("a.info", info);
  fuzz_support::WriteFile("a.huf", kOldHuf);
  fuzz_support::WriteFile("a.ptr", kOldPtr);

  // What the run must find wrong, worked out on its own: units without a
  // leaf, and pointers beyond the width.
  const Bytes bit = fuzz_support::ReadFile("tesk.bit");
  std::map<std::uint16_t, std::size_t> length_of;
  for (std::size_t i = 0; i + common::kBitRecordSize <= bit.size();
       i += common::kBitRecordSize) {
    length_of[common::ReadLe16(bit.data() + i)] =
        common::DecodeBitRecord(bit.data() + i)->pattern.size();
  }
  bool no_leaf = false;
  bool too_wide = false;
  std::uint64_t position = 0;
  const std::uint64_t widest = (std::uint64_t{1} << (8 * layout.width)) - 1;
  for (const auto& s : strings) {
    const std::uint64_t pointer =
        layout.base + (layout.bit_aligned ? position : position / 8);
    too_wide = too_wide || pointer > widest;
    for (std::uint16_t unit : s) {
      no_leaf = no_leaf || length_of.count(unit) == 0;
      position += length_of.count(unit) != 0 ? length_of[unit] : 0;
    }
    if (!layout.bit_aligned) position = (position + 7) / 8 * 8;
  }

  bool flipped = false;
  common::Faults faults;
  if ((damage & 1) != 0) {
    faults.BeforeCheck([&](const std::filesystem::path& output,
                           std::uint64_t offset,
                           std::span<std::uint8_t> bytes) {
      const std::uint64_t byte = flip_at / 8;
      if (output != "a.huf" || byte < offset || byte >= offset + bytes.size())
        return;
      bytes[byte - offset] ^= static_cast<std::uint8_t>(1u << (flip_at % 8));
      flipped = true;
    });
  }
  std::vector<std::string> args;
  if (layout.lsb_first) args.insert(args.end(), {"--bit-order", "lsb"});
  if (layout.bit_aligned) args.insert(args.end(), {"--align", "bit"});
  if (layout.big_endian) args.push_back("--big-endian");
  std::ostringstream base;
  base << std::hex << layout.base;
  args.insert(args.end(), {"--pointer-bytes", std::to_string(layout.width),
                           "--base", base.str(), "a"});
  std::ostringstream out, err;
  const int status = huffpack::Run(args, out, err, {&faults, block_size});
  fuzz_support::CheckNoTemporaries();
  Check(out.str().empty(), "huffpack wrote to standard output");
  if (status != 0) {
    Check(fuzz_support::ReadFile("a.huf") == kOldHuf &&
              fuzz_support::ReadFile("a.ptr") == kOldPtr,
          "a refused run changed an output");
    Check(!err.str().empty(), "a refusal without a message");
    Check(no_leaf || too_wide || flipped || bad_table || bad_info,
          "a sound script was refused");
    return 0;
  }
  Check(err.str().empty(), "a message on success");
  Check(!flipped, "a changed bit was written");
  Check(!bad_info, "lengths that do not add up were accepted");
  if (!bad_table) {
    Check(!no_leaf, "a unit without a leaf was accepted");
    Check(!too_wide, "a pointer that does not fit was accepted");
  }
  CheckReadsBack(strings, layout);
  return 0;
}
