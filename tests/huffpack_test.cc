#include "huffpack/huffpack.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>

#include "common/bytes.h"
#include "common/commit.h"
#include "common/faults.h"
#include "huffbuild/huffbuild.h"
#include "tests/message_cases.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::Bytes;
using testing_support::ReadBytes;
using testing_support::Snapshot;
using testing_support::UnitBytes;
using testing_support::WriteBytes;

using Strings = std::vector<std::vector<std::uint16_t>>;

constexpr std::uint16_t A = 0x1F41, B = 0x1F42, C = 0x1F43, D = 0x1F44;

// Read blocks and held bits of a few bytes put every step next to an edge;
// the default block is what the program uses.
constexpr std::size_t kBlockSizes[] = {common::BlockReader::kMinBlockSize, 9,
                                       13, common::BlockReader::kBlockSize};

// How SCRIPT.huf and SCRIPT.ptr are laid out, as the options say it.
struct Layout {
  bool lsb_first = false;
  bool bit_aligned = false;
  std::uint32_t base = 0;
  std::size_t pointer_bytes = 4;
  bool big_endian = false;

  std::vector<std::string> Args() const {
    std::vector<std::string> args;
    if (lsb_first) args.insert(args.end(), {"--bit-order", "lsb"});
    if (bit_aligned) args.insert(args.end(), {"--align", "bit"});
    std::ostringstream base_text;
    base_text << std::hex << base;
    args.insert(args.end(), {"--base", base_text.str(), "--pointer-bytes",
                             std::to_string(pointer_bytes)});
    if (big_endian) args.push_back("--big-endian");
    return args;
  }
};

std::string Describe(const Layout& layout) {
  std::string text;
  for (const std::string& arg : layout.Args()) text += arg + " ";
  return text;
}

// Every bit order and alignment, each with several bases, widths and byte
// orders.
std::vector<Layout> AllLayouts() {
  std::vector<Layout> layouts;
  for (bool lsb_first : {false, true}) {
    for (bool bit_aligned : {false, true}) {
      layouts.push_back({lsb_first, bit_aligned, 0x100, 2, false});
      layouts.push_back({lsb_first, bit_aligned, 0x1F4000, 3, true});
      layouts.push_back({lsb_first, bit_aligned, 0xFFFF0000, 4, false});
      layouts.push_back({lsb_first, bit_aligned, 0, 4, true});
    }
  }
  return layouts;
}

// Reads SCRIPT.huf back at every pointer of SCRIPT.ptr as the README says a
// game's decoder reads the tables: from the root, the last entry of
// tesk.tbl, a 0 bit goes to the entry in the first field, a 1 to the one in
// the second, until a leaf (second field FFFF), whose first field is the
// unit. Returns what differs from `strings`, or "" when nothing does: the
// units, where each string starts (right behind the one before, or on the
// next byte), padding bits that are not 0, a file longer than its bits.
std::string ReadBack(const std::string& script, const Layout& layout,
                     const Strings& strings) {
  const Bytes tbl = ReadBytes("tesk.tbl");
  const Bytes huf = ReadBytes(script + ".huf");
  const Bytes ptr = ReadBytes(script + ".ptr");
  const std::size_t width = layout.pointer_bytes;
  if (ptr.size() != strings.size() * width) {
    return "the pointer file has " + std::to_string(ptr.size()) + " bytes";
  }
  const auto bit_at = [&](std::uint64_t i) {
    const unsigned shift = layout.lsb_first ? i % 8 : 7 - i % 8;
    return (huf[i / 8] >> shift) & 1;
  };
  const auto field = [&](std::size_t entry, int which) {
    return common::ReadLe16(tbl.data() + 4 * entry + 2 * which);
  };
  const std::uint64_t bit_count = 8 * std::uint64_t{huf.size()};
  std::uint64_t next = 0;  // where the next string must start
  for (std::size_t k = 0; k < strings.size(); ++k) {
    const std::string where = "string " + std::to_string(k + 1) + ": ";
    std::uint64_t pointer = 0;
    for (std::size_t b = 0; b < width; ++b) {
      const std::size_t shift = layout.big_endian ? width - 1 - b : b;
      pointer |= std::uint64_t{ptr[k * width + b]} << (8 * shift);
    }
    if (pointer < layout.base) return where + "pointer below the base";
    std::uint64_t position =
        (pointer - layout.base) * (layout.bit_aligned ? 1 : 8);
    if (position != next) return where + "does not start where it should";
    for (std::size_t u = 0; u < strings[k].size(); ++u) {
      std::size_t node = tbl.size() / 4 - 1;
      while (field(node, 1) != 0xFFFF) {
        if (position >= bit_count) return where + "runs past the end";
        node = field(node, bit_at(position++));
      }
      if (field(node, 0) != strings[k][u]) {
        return where + "unit " + std::to_string(u) + " differs";
      }
    }
    while (!layout.bit_aligned && position % 8 != 0) {
      if (bit_at(position++) != 0) return where + "padding is not 0";
    }
    next = position;
  }
  while (next % 8 != 0) {
    if (bit_at(next++) != 0) return "the last byte's padding is not 0";
  }
  if (next != bit_count) return "bytes behind the last string";
  return "";
}

class HuffpackTest : public testing_support::TempDirTest {
 protected:
  int Run(std::vector<std::string> args, common::Faults* faults = nullptr,
          std::size_t block_size = common::BlockReader::kBlockSize) {
    out_.str("");
    err_.str("");
    return huffpack::Run(args, out_, err_, {faults, block_size});
  }
  int Run(const Layout& layout, const std::vector<std::string>& scripts,
          common::Faults* faults = nullptr,
          std::size_t block_size = common::BlockReader::kBlockSize) {
    std::vector<std::string> args = layout.Args();
    args.insert(args.end(), scripts.begin(), scripts.end());
    return Run(args, faults, block_size);
  }
  // A dte file and an information file whose lengths are its strings'.
  static void WriteScript(const std::string& name, const Strings& strings) {
    Bytes dte, info;
    std::uint32_t carried = 0xC0DE0000;
    for (const auto& s : strings) {
      const Bytes units = UnitBytes(s);
      dte.insert(dte.end(), units.begin(), units.end());
      const Bytes record = testing_support::Info(
          {{carried++, static_cast<std::int32_t>(units.size())}});
      info.insert(info.end(), record.begin(), record.end());
    }
    WriteBytes(name + ".dte", dte);
    WriteBytes(name + ".info", info);
  }
  static void WriteSmallCode() {
    WriteBytes("tesk.tbl", testing_support::SmallNodeTable());
    WriteBytes("tesk.bit", testing_support::SmallBitPatternTable());
  }
  // tesk.tbl and tesk.bit for the named scripts, as huffbuild makes them.
  static void BuildTables(const std::vector<std::string>& scripts) {
    std::ostringstream ignored;
    ASSERT_EQ(huffbuild::Run(scripts, ignored, ignored), 0) << ignored.str();
  }
  std::ostringstream out_, err_;
};

// The README's example: B A D, an empty string, C A, D B.
const Strings kReadmeStrings = {{B, A, D}, {}, {C, A}, {D, B}};

TEST_F(HuffpackTest, TheReadmeExampleGivesTheseBytes) {
  struct Case {
    std::vector<std::string> options;
    Bytes huf;
    Bytes ptr;
  };
  const Case kCases[] = {
      {{},
       {0x60, 0x30, 0x08},
       {0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}},
      {{"--bit-order", "lsb"},
       {0x06, 0x0C, 0x10},
       {0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}},
      {{"--align", "bit"},
       {0x60, 0xC2},
       {0, 0, 0, 0, 6, 0, 0, 0, 6, 0, 0, 0, 10, 0, 0, 0}},
      {{"--align", "bit", "--bit-order", "lsb"},
       {0x06, 0x43},
       {0, 0, 0, 0, 6, 0, 0, 0, 6, 0, 0, 0, 10, 0, 0, 0}},
      {{"--pointer-bytes", "2", "--base", "8000"},
       {0x60, 0x30, 0x08},
       {0x00, 0x80, 0x01, 0x80, 0x01, 0x80, 0x02, 0x80}},
      {{"--pointer-bytes", "2", "--big-endian", "--base", "8000"},
       {0x60, 0x30, 0x08},
       {0x80, 0x00, 0x80, 0x01, 0x80, 0x01, 0x80, 0x02}},
      {{"--pointer-bytes", "3", "--big-endian", "--base", "1F4000"},
       {0x60, 0x30, 0x08},
       {0x1F, 0x40, 0x00, 0x1F, 0x40, 0x01, 0x1F, 0x40, 0x01, 0x1F, 0x40,
        0x02}},
      {{"--align", "bit", "--pointer-bytes", "2", "--big-endian", "--base",
        "FFF0"},
       {0x60, 0xC2},
       {0xFF, 0xF0, 0xFF, 0xF6, 0xFF, 0xF6, 0xFF, 0xFA}},
  };
  WriteSmallCode();
  WriteScript("intro", kReadmeStrings);
  for (const Case& c : kCases) {
    for (std::size_t block_size : kBlockSizes) {
      std::vector<std::string> args = c.options;
      args.push_back("intro");
      SCOPED_TRACE(testing::Message()
                   << args.front() << ", block of " << block_size);
      ASSERT_EQ(Run(args, nullptr, block_size), 0) << err_.str();
      EXPECT_EQ(out_.str() + err_.str(), "");
      EXPECT_EQ(ReadBytes("intro.huf"), c.huf);
      EXPECT_EQ(ReadBytes("intro.ptr"), c.ptr);
    }
  }
}

// Strings of every kind: empty ones, one-unit ones, a long one, many short
// ones, over units used often and rarely, so that patterns run from short
// to longer than the decoder's lookup.
Strings VariedStrings(std::mt19937& random) {
  std::vector<std::uint16_t> alphabet;
  for (int i = 0; i < 120; ++i) {
    alphabet.push_back(static_cast<std::uint16_t>(i % 3 == 0 ? 0x1F20 + i
                                                  : i % 3 == 1
                                                      ? 0x6100 + i
                                                      : 0x0010 + 0x100 * i));
  }
  const auto unit = [&] {
    // Squaring skews the choice towards the first units.
    const double r = static_cast<double>(random() % 10000) / 10000.0;
    return alphabet[static_cast<std::size_t>(r * r * r * 120)];
  };
  Strings strings = {{}, {unit()}, {}, {unit()}};
  strings.emplace_back(2000);
  for (auto& u : strings.back()) u = unit();
  for (int i = 0; i < 300; ++i) {
    strings.emplace_back(random() % 10 == 0 ? 0 : random() % 13);
    for (auto& u : strings.back()) u = unit();
  }
  strings.push_back({unit()});  // the last one covers the end of the file
  return strings;
}

TEST_F(HuffpackTest, AReferenceDecoderReadsEveryStringBackInEveryLayout) {
  std::mt19937 random(20261211);
  const Strings strings = VariedStrings(random);
  WriteScript("s", strings);
  BuildTables({"s"});
  const auto tables = Snapshot(".");
  for (const Layout& layout : AllLayouts()) {
    Bytes first_huf, first_ptr;
    for (std::size_t block_size : kBlockSizes) {
      SCOPED_TRACE(Describe(layout) + "block of " + std::to_string(block_size));
      ASSERT_EQ(Run(layout, {"s"}, nullptr, block_size), 0) << err_.str();
      EXPECT_EQ(out_.str() + err_.str(), "");
      EXPECT_EQ(ReadBack("s", layout, strings), "");
      // Every block size gives the same bytes.
      if (first_huf.empty()) {
        first_huf = ReadBytes("s.huf");
        first_ptr = ReadBytes("s.ptr");
      }
      EXPECT_EQ(ReadBytes("s.huf"), first_huf);
      EXPECT_EQ(ReadBytes("s.ptr"), first_ptr);
      EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
    }
  }
  // The inputs stay as they were.
  for (const auto& [name, bytes] : tables) EXPECT_EQ(ReadBytes(name), bytes);
}

TEST_F(HuffpackTest, TheReferenceDecoderNoticesEveryKindOfDamage) {
  WriteSmallCode();
  WriteScript("intro", kReadmeStrings);
  for (const Layout& layout : AllLayouts()) {
    SCOPED_TRACE(Describe(layout));
    ASSERT_EQ(Run(layout, {"intro"}), 0) << err_.str();
    ASSERT_EQ(ReadBack("intro", layout, kReadmeStrings), "");
    const Bytes huf = ReadBytes("intro.huf");
    const Bytes ptr = ReadBytes("intro.ptr");
    for (std::size_t bit = 0; bit < 8 * huf.size(); ++bit) {
      Bytes damaged = huf;
      damaged[bit / 8] =
          static_cast<std::uint8_t>(damaged[bit / 8] ^ (1u << (bit % 8)));
      WriteBytes("intro.huf", damaged);
      EXPECT_NE(ReadBack("intro", layout, kReadmeStrings), "") << bit;
    }
    Bytes longer = huf;
    longer.push_back(0);
    WriteBytes("intro.huf", longer);
    EXPECT_NE(ReadBack("intro", layout, kReadmeStrings), "");
    WriteBytes("intro.huf", huf);
    for (std::size_t byte = 0; byte < ptr.size(); ++byte) {
      Bytes damaged = ptr;
      damaged[byte] ^= 0x01;
      WriteBytes("intro.ptr", damaged);
      EXPECT_NE(ReadBack("intro", layout, kReadmeStrings), "") << byte;
    }
  }
}

// The proof: bytes changed after they were made, as a faulty encoder would
// make them, are never written.
TEST_F(HuffpackTest,
       PackedBytesThatDoNotDecodeBackAreRefusedAndNothingWritten) {
  std::mt19937 random(3);
  Strings strings = {{A, B}, {}, {D, D, C, A, B, B, A}};
  strings.emplace_back(150);
  for (auto& u : strings.back())
    u = static_cast<std::uint16_t>(A + random() % 4);
  strings.push_back({C});
  WriteSmallCode();
  WriteScript("a", strings);
  WriteBytes("a.huf", {0xD7});
  WriteBytes("a.ptr", {0xE0});
  const auto before = Snapshot(".");
  for (const Layout& layout : AllLayouts()) {
    if (layout.base != 0) continue;
    // Blocks of 8 bytes hold 32 bytes of packed bits at a time; the default
    // block holds them all, and every seventh bit is enough there.
    for (std::size_t block_size :
         {std::size_t{8}, common::BlockReader::kBlockSize}) {
      const std::size_t step = block_size == 8 ? 1 : 7;
      SCOPED_TRACE(Describe(layout) + "block of " + std::to_string(block_size));
      ASSERT_EQ(Run(layout, {"a"}, nullptr, block_size), 0);
      const std::size_t huf_bits = 8 * fs::file_size("a.huf");
      for (const auto& s : before) WriteBytes(s.first, s.second);
      // Each bit of the packed text, then each byte of the pointers.
      for (std::size_t target = 0; target < huf_bits + 4 * strings.size();
           target += step) {
        const bool in_huf = target < huf_bits;
        int changed = 0;
        common::Faults faults;
        faults.BeforeCheck([&](const fs::path& output, std::uint64_t offset,
                               std::span<std::uint8_t> bytes) {
          const std::uint64_t at = in_huf ? target / 8 : target - huf_bits;
          if (output != (in_huf ? "a.huf" : "a.ptr") || at < offset ||
              at >= offset + bytes.size()) {
            return;
          }
          bytes[at - offset] ^= in_huf ? 1u << (target % 8) : 0x80u;
          ++changed;
        });
        EXPECT_EQ(Run(layout, {"a"}, &faults, block_size), 1) << target;
        EXPECT_EQ(changed, 1) << target;
        const std::string err = err_.str();
        if (in_huf) {
          EXPECT_EQ(err.substr(0, 14), "a.huf: string ") << err;
          EXPECT_NE(err.find(" does not decode back to its units\n"),
                    std::string::npos)
              << err;
        } else {
          EXPECT_EQ(err, "a.ptr: the pointer to string " +
                             std::to_string((target - huf_bits) / 4 + 1) +
                             " does not lead to its start\n");
        }
        ASSERT_EQ(Snapshot("."), before) << target;
      }
    }
  }
}

TEST_F(HuffpackTest, PatternsLongerThanOnePutArePackedPieceByPiece) {
  // Patterns of 1 to 79 bits; units 0x1F00 + i.
  const auto [tbl, bit] = testing_support::ChainCode(80, 0x1F00);
  WriteBytes("tesk.tbl", tbl);
  WriteBytes("tesk.bit", bit);
  std::mt19937 random(79);
  Strings strings;
  for (int i = 0; i < 40; ++i) {
    strings.emplace_back(random() % 9);
    for (auto& u : strings.back()) {
      u = static_cast<std::uint16_t>(
          0x1F00 + (random() % 3 == 0 ? 50 + random() % 30 : random() % 4));
    }
  }
  strings.push_back({0x1F4F});
  WriteScript("deep", strings);
  for (const Layout& layout : AllLayouts()) {
    if (layout.pointer_bytes == 2) continue;
    for (std::size_t block_size : kBlockSizes) {
      SCOPED_TRACE(Describe(layout) + "block of " + std::to_string(block_size));
      ASSERT_EQ(Run(layout, {"deep"}, nullptr, block_size), 0) << err_.str();
      EXPECT_EQ(ReadBack("deep", layout, strings), "");
    }
  }
}

TEST_F(HuffpackTest, PointerThatDoesNotFitIsRefusedAndChangesNothing) {
  struct Case {
    std::vector<std::string> options;
    int status;
    std::string err;
  };
  // Strings of 1, 2 and 3 bits: pointers base, +1, +2 in bytes, base, +1,
  // +3 in bits.
  const Case kCases[] = {
      {{"--pointer-bytes", "2", "--base", "FFFD"}, 0, ""},
      {{"--pointer-bytes", "2", "--base", "FFFE"},
       1,
       "a.ptr: the pointer to string 3, 10000, does not fit in 2 bytes\n"},
      {{"--align", "bit", "--pointer-bytes", "2", "--base", "FFFC"}, 0, ""},
      {{"--align", "bit", "--pointer-bytes", "2", "--base", "FFFD"},
       1,
       "a.ptr: the pointer to string 3, 10000, does not fit in 2 bytes\n"},
      {{"--pointer-bytes", "3", "--base", "FFFFFE"},
       1,
       "a.ptr: the pointer to string 3, 1000000, does not fit in 3 bytes\n"},
      {{"--align", "bit", "--base", "FFFFFFFE"},
       1,
       "a.ptr: the pointer to string 3, 100000001, does not fit in 4 bytes\n"},
      {{"--base", "FFFFFFFD"}, 0, ""},
  };
  WriteSmallCode();
  WriteScript("a", {{A}, {B}, {C}});
  WriteBytes("a.huf", {0xD7});
  WriteBytes("a.ptr", {0xE0});
  const auto before = Snapshot(".");
  for (const Case& c : kCases) {
    std::vector<std::string> args = c.options;
    args.push_back("a");
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(Run(args), c.status);
    EXPECT_EQ(err_.str(), c.err);
    if (c.status != 0) {
      EXPECT_EQ(Snapshot("."), before);
    } else {
      for (const auto& s : before) WriteBytes(s.first, s.second);
    }
    EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
  }
}

TEST_F(HuffpackTest, EveryScriptOfTheRunIsWrittenOrNone) {
  WriteSmallCode();
  WriteScript("a", {{A, B}});
  WriteScript("b", {{C}, {D, 0x1F45}});
  WriteBytes("b.huf", {0xD7});
  const auto before = Snapshot(".");
  EXPECT_EQ(Run({"a", "b"}), 1);
  EXPECT_EQ(err_.str(),
            "b.dte: unit 1F45 in string 2 has no leaf in tesk.bit\n");
  EXPECT_EQ(Snapshot("."), before);

  // A commit that fails at any file leaves every one as it was.
  WriteScript("b", {{C}, {D}});
  const auto good = Snapshot(".");
  const char* kFiles[] = {"a.huf", "a.ptr", "b.huf", "b.ptr"};
  for (int nth = 0; nth < 4; ++nth) {
    SCOPED_TRACE(nth);
    common::Faults faults;
    faults.FailAt(common::FaultPoint::kRename, nth);
    EXPECT_EQ(Run({"a", "b"}, &faults), 1);
    EXPECT_EQ(err_.str(),
              std::string("Could not write ") + kFiles[nth] + ".\n");
    EXPECT_EQ(Snapshot("."), good);
    EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
  }
  EXPECT_EQ(Run({"a", "b"}), 0);
  EXPECT_EQ(ReadBytes("a.huf"), Bytes{0xA0});
  EXPECT_EQ(ReadBytes("b.huf"), (Bytes{0x20, 0x00}));
}

TEST_F(HuffpackTest, ScriptNamedTwiceIsPackedOnce) {
  WriteSmallCode();
  WriteScript("a", kReadmeStrings);
  fs::create_directory("sub");
  EXPECT_EQ(Run({"a", "sub/../a", "a"}), 0) << err_.str();
  EXPECT_EQ(ReadBack("a", {}, kReadmeStrings), "");
  EXPECT_TRUE(testing_support::NoCommitLeftovers("."));
}

TEST_F(HuffpackTest, EmptyDteFileGivesEmptyOutputs) {
  WriteSmallCode();
  WriteBytes("a.dte", {});
  WriteBytes("a.info", testing_support::Info({{7, 0}, {8, 12}}));
  EXPECT_EQ(Run({"a"}), 0);
  EXPECT_EQ(ReadBytes("a.huf"), Bytes{});
  EXPECT_EQ(ReadBytes("a.ptr"), Bytes{});
  // Records behind those that cover the dte file, empty ones too, have no
  // string: as for pairpick, they are not the script's.
  WriteScript("b", {{A}, {}});
  EXPECT_EQ(Run({"b"}), 0);
  EXPECT_EQ(ReadBytes("b.ptr"), (Bytes{0, 0, 0, 0}));
}

TEST_F(HuffpackTest, FullDiskAtAnyByteChangesNothing) {
  WriteSmallCode();
  WriteScript("a", kReadmeStrings);  // 3 packed bytes, 16 pointer bytes
  WriteBytes("a.huf", {0xD7});
  const auto before = Snapshot(".");
  for (std::size_t block_size : {std::size_t{8}, std::size_t{256 * 1024}}) {
    for (std::uint64_t space = 0; space < 3 + 16; ++space) {
      SCOPED_TRACE(testing::Message()
                   << space << " bytes free, block of " << block_size);
      common::Faults faults;
      faults.LimitSpace(space);
      EXPECT_EQ(Run({"a"}, &faults, block_size), 1);
      // Blocks of 8 bytes write the first 8 pointer bytes before the packed
      // bytes, whose file is finished first.
      const bool packed_bytes_fail = space < (block_size == 8 ? 3 + 8 : 3);
      EXPECT_EQ(err_.str(), packed_bytes_fail ? "Could not write a.huf.\n"
                                              : "Could not write a.ptr.\n");
      EXPECT_EQ(Snapshot("."), before);
    }
  }
  common::Faults enough;
  enough.LimitSpace(3 + 16);
  EXPECT_EQ(Run({"a"}, &enough), 0);
}

TEST_F(HuffpackTest, OutputsThatCannotBeWrittenAreRefusedWithTheirCause) {
  WriteSmallCode();
  WriteScript("a", kReadmeStrings);
  fs::create_directory("a.huf");
  const auto before = Snapshot(".");
  EXPECT_EQ(Run({"a"}), 1);
  EXPECT_EQ(err_.str(), "Could not write a.huf: it is not a regular file.\n");
  fs::remove("a.huf");
  common::Faults faults;
  faults.FailAt(common::FaultPoint::kCreate, 1);
  EXPECT_EQ(Run({"a"}, &faults), 1);
  const std::string kCannotCreate =
      "Could not write a.ptr: cannot create a temporary file in . (";
  EXPECT_EQ(err_.str().substr(0, kCannotCreate.size()), kCannotCreate);
  EXPECT_EQ(Snapshot("."), before);
  if (!testing_support::RunningAsRoot()) {
    WriteBytes("a.ptr", {1, 2});
    fs::permissions("a.ptr", fs::perms::owner_read);
    EXPECT_EQ(Run({"a"}), 1);
    EXPECT_EQ(err_.str(), "Could not write a.ptr: it may not be written.\n");
    EXPECT_FALSE(fs::exists("a.huf"));
  }
}

TEST_F(HuffpackTest, DteFileCutShortWhileItIsReadChangesNothing) {
  WriteSmallCode();
  WriteScript("a", {{A, B, C, D, A, B}, {C, D, A}});
  const auto before = Snapshot(".");
  common::Faults faults;
  faults.AfterOpen([](const fs::path& path) {
    if (path == "a.dte") fs::resize_file(path, 10);
  });
  EXPECT_EQ(Run({"a"}, &faults, common::BlockReader::kMinBlockSize), 1);
  EXPECT_EQ(err_.str(), "Could not read a.dte.\n");
  WriteScript("a", {{A, B, C, D, A, B}, {C, D, A}});
  EXPECT_EQ(Snapshot("."), before);
}

TEST_F(HuffpackTest, MessagesAndStatuses) {
  testing_support::CheckMessages(
      testing_support::HuffpackMessages(),
      [](const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int status = huffpack::Run(args, out, err);
        return testing_support::RunResult{status, out.str(), err.str()};
      });
}

}  // namespace
