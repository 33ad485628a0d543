#include "common/packed_text.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "common/bytes.h"
#include "tests/test_support.h"

namespace {

using common::Alignment;
using common::BitOrder;
using common::PackedLayout;
using testing_support::Bytes;
using testing_support::ReadBytes;

constexpr BitOrder kOrders[] = {BitOrder::kMsbFirst, BitOrder::kLsbFirst};

// Packs '0' and '1' into bytes the plain way, bit by bit, the last byte
// padded with 0 bits.
Bytes PackByHand(const std::string& bits, BitOrder order) {
  Bytes bytes((bits.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] != '1') continue;
    const unsigned shift = order == BitOrder::kMsbFirst
                               ? 7 - static_cast<unsigned>(i % 8)
                               : static_cast<unsigned>(i % 8);
    bytes[i / 8] = static_cast<std::uint8_t>(bytes[i / 8] | 1u << shift);
  }
  return bytes;
}

std::string RandomBits(std::mt19937& random, std::size_t n) {
  std::string bits;
  for (std::size_t i = 0; i < n; ++i) bits.push_back(random() % 2 ? '1' : '0');
  return bits;
}

TEST(LayoutOptions, AreReadUpToTheFirstScript) {
  using Problem = common::LayoutArguments::Problem;
  using Option = common::LayoutOption;
  struct Case {
    std::vector<std::string> args;
    Problem problem;
    std::size_t first_operand;  // with a problem: the option's argument
    Option option;
    PackedLayout layout;
  };
  const PackedLayout kDefault;
  const Case kCases[] = {
      {{}, Problem::kNone, 0, Option::kNone, kDefault},
      {{"intro", "--base", "5"}, Problem::kNone, 0, Option::kNone, kDefault},
      {{"--bit-order", "lsb", "--align", "bit", "--base", "1F4000",
        "--pointer-bytes", "3", "--big-endian", "a", "b"},
       Problem::kNone,
       9,
       Option::kNone,
       {BitOrder::kLsbFirst, Alignment::kBit, 0x1F4000, 3, true}},
      {{"--bit-order", "msb", "--align", "byte", "--pointer-bytes", "2", "x"},
       Problem::kNone,
       6,
       Option::kNone,
       {BitOrder::kMsbFirst, Alignment::kByte, 0, 2, false}},
      {{"--base", "10", "--base", "0xFFFFFFFF", "--", "--base"},
       Problem::kNone,
       5,
       Option::kNone,
       {BitOrder::kMsbFirst, Alignment::kByte, 0xFFFFFFFF, 4, false}},
      {{"--", "--"}, Problem::kNone, 1, Option::kNone, kDefault},
      {{"-", "x"}, Problem::kNone, 0, Option::kNone, kDefault},
      {{"--big-endian", "--bits", "x"},
       Problem::kUnknownOption,
       1,
       Option::kNone,
       {}},
      {{"-h", "x"}, Problem::kUnknownOption, 0, Option::kNone, {}},
      {{"--base=10", "x"}, Problem::kUnknownOption, 0, Option::kNone, {}},
      {{"--align"}, Problem::kMissingValue, 0, Option::kAlign, {}},
      {{"--big-endian", "--base"},
       Problem::kMissingValue,
       1,
       Option::kBase,
       {}},
      {{"--bit-order", "MSB", "x"},
       Problem::kBadValue,
       0,
       Option::kBitOrder,
       {}},
      {{"--align", "bytes", "x"}, Problem::kBadValue, 0, Option::kAlign, {}},
      {{"--base", "100000000", "x"}, Problem::kBadValue, 0, Option::kBase, {}},
      {{"--base", "-1", "x"}, Problem::kBadValue, 0, Option::kBase, {}},
      {{"--base", "", "x"}, Problem::kBadValue, 0, Option::kBase, {}},
      {{"--pointer-bytes", "1", "x"},
       Problem::kBadValue,
       0,
       Option::kPointerBytes,
       {}},
      {{"--pointer-bytes", "04", "x"},
       Problem::kBadValue,
       0,
       Option::kPointerBytes,
       {}},
  };
  for (const Case& c : kCases) {
    std::string trace;
    for (const std::string& arg : c.args) trace += "[" + arg + "]";
    SCOPED_TRACE(trace);
    const common::LayoutArguments parsed = common::ParseLayoutOptions(c.args);
    EXPECT_EQ(parsed.problem, c.problem);
    EXPECT_EQ(parsed.option, c.option);
    if (c.problem == Problem::kNone) {
      EXPECT_EQ(parsed.first_operand, c.first_operand);
      EXPECT_EQ(parsed.layout, c.layout);
    } else {
      EXPECT_EQ(parsed.at, c.first_operand);
    }
  }
}

TEST(Pointers, HaveTheirWidthAndByteOrder) {
  struct Case {
    std::size_t width;
    bool big_endian;
    Bytes bytes;
    std::uint32_t value;
  };
  const Case kCases[] = {
      {2, false, {0x0D, 0x0C}, 0x0C0D},
      {2, true, {0x0C, 0x0D}, 0x0C0D},
      {3, false, {0x0D, 0x0C, 0x0B}, 0x0B0C0D},
      {3, true, {0x0B, 0x0C, 0x0D}, 0x0B0C0D},
      {4, false, {0x0D, 0x0C, 0x0B, 0x0A}, 0x0A0B0C0D},
      {4, true, {0x0A, 0x0B, 0x0C, 0x0D}, 0x0A0B0C0D},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message()
                 << c.width << " bytes, big-endian " << c.big_endian);
    PackedLayout layout;
    layout.pointer_bytes = c.width;
    layout.big_endian = c.big_endian;
    std::uint8_t stored[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    common::StorePointer(c.value, layout, stored);
    EXPECT_EQ(Bytes(stored, stored + c.width), c.bytes);
    for (std::size_t i = c.width; i < 4; ++i) EXPECT_EQ(stored[i], 0xEE);
    EXPECT_EQ(common::LoadPointer(c.bytes.data(), layout), c.value);
    EXPECT_EQ(common::MaxPointer(layout),
              (std::uint64_t{1} << (8 * c.width)) - 1);
  }
}

TEST(Pointers, CountBytesOrBitsFromTheBase) {
  PackedLayout bytes;
  bytes.base = 0x1F4000;
  PackedLayout bits = bytes;
  bits.alignment = Alignment::kBit;
  EXPECT_EQ(common::PointerTo(0, bytes), 0x1F4000u);
  EXPECT_EQ(common::PointerTo(8 * 0x123, bytes), 0x1F4123u);
  EXPECT_EQ(common::PointerTo(0x123, bits), 0x1F4123u);
  EXPECT_EQ(common::PositionOf(0x1F4123, bytes), 8 * 0x123u);
  EXPECT_EQ(common::PositionOf(0x1F4123, bits), 0x123u);
  EXPECT_EQ(common::PositionOf(0x1F3FFF, bits), std::nullopt);
  // A pointer may be larger than the widest one; the caller checks.
  bits.base = 0xFFFFFFFF;
  EXPECT_EQ(common::PointerTo(2, bits), 0x100000001u);
}

TEST(PatternBits, LieInStreamOrder) {
  EXPECT_EQ(common::PatternBits("1101", BitOrder::kMsbFirst), 0b1101u);
  EXPECT_EQ(common::PatternBits("1101", BitOrder::kLsbFirst), 0b1011u);
  EXPECT_EQ(common::PatternBits("0001", BitOrder::kMsbFirst), 1u);
  EXPECT_EQ(common::PatternBits("0001", BitOrder::kLsbFirst), 8u);
  EXPECT_EQ(common::PatternBits(std::string(64, '1'), BitOrder::kLsbFirst),
            ~std::uint64_t{0});
}

class BitWriterTest : public testing_support::TempDirTest {
 protected:
  // Puts the patterns through a BitWriter with a held buffer of
  // `held_size` bytes, releasing at random; returns the file's bytes.
  Bytes Write(const std::vector<std::string>& patterns, BitOrder order,
              std::size_t held_size, std::mt19937& random) {
    Bytes buffer(8), held(held_size);
    common::OutputFile out(buffer);
    std::error_code ec;
    EXPECT_EQ(out.Begin("bits", ec), common::OutputProblem::kNone);
    {
      common::BitWriter writer(out.writer(), order, held);
      std::uint64_t position = 0;
      for (const std::string& pattern : patterns) {
        const std::uint64_t low = writer.held_from() / 8;
        const std::uint64_t high = writer.position() / 8;
        if (writer.room() < common::BitWriter::kPutRoom) {
          writer.Release(high);
        } else if (random() % 4 == 0) {
          writer.Release(low + random() % (high - low + 1));
        }
        if (pattern == "pad") {
          writer.PadToByte();
          position = (position + 7) / 8 * 8;
        } else {
          EXPECT_TRUE(writer.Put(common::PatternBits(pattern, order),
                                 static_cast<unsigned>(pattern.size())));
          position += pattern.size();
        }
        EXPECT_EQ(writer.position(), position);
        // The held bytes end with the unfinished one, 0 behind its bits.
        EXPECT_EQ(writer.held_from() + 8 * writer.held().size(),
                  (position + 7) / 8 * 8);
      }
      writer.PadToByte();
      writer.Release(writer.position() / 8);
    }
    EXPECT_TRUE(out.Finish(ec));
    return ReadBytes(out.temporary());
  }
};

TEST_F(BitWriterTest, PacksHandCheckedBits) {
  struct Case {
    std::vector<std::string> patterns;
    Bytes msb;
    Bytes lsb;
  };
  const Case kCases[] = {
      {{"01", "1", "000"}, {0x60}, {0x06}},
      {{"011000", "pad", "0011", "pad", "00001"},
       {0x60, 0x30, 0x08},
       {0x06, 0x0C, 0x10}},
      {{"011000", "0011", "00001"}, {0x60, 0xC2}, {0x06, 0x43}},
      {{"11111111", "pad", "1"}, {0xFF, 0x80}, {0xFF, 0x01}},
      {{"1" + std::string(54, '0') + "1"},
       {0x80, 0, 0, 0, 0, 0, 0x01},
       {0x01, 0, 0, 0, 0, 0, 0x80}},
      {{"pad"}, {}, {}},
  };
  std::mt19937 random(7);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.patterns.front());
    EXPECT_EQ(Write(c.patterns, BitOrder::kMsbFirst, 32, random), c.msb);
    EXPECT_EQ(Write(c.patterns, BitOrder::kLsbFirst, 32, random), c.lsb);
  }
}

TEST(BitWriter, PutsNothingWithoutRoom) {
  Bytes held(common::BitWriter::kMinHeld);
  common::FileWriter out({});
  common::BitWriter writer(out, BitOrder::kMsbFirst, held);
  std::size_t puts = 0;
  while (writer.Put(0x5A5A5A5A5A5A5A, 56)) ++puts;
  // 8 free bytes are needed; each put fills 7.
  EXPECT_EQ(puts, (held.size() - common::BitWriter::kPutRoom) / 7 + 1);
  EXPECT_EQ(writer.position(), 56 * puts);
  EXPECT_LT(writer.room(), common::BitWriter::kPutRoom);
  EXPECT_FALSE(writer.Put(0, 57));
}

TEST_F(BitWriterTest, WritesWhatPackingByHandGivesWhateverTheBuffer) {
  std::mt19937 random(1452);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> patterns;
    std::string all;
    for (int i = 0; i < 300; ++i) {
      if (random() % 20 == 0) {
        patterns.push_back("pad");
        all.resize((all.size() + 7) / 8 * 8, '0');
        continue;
      }
      const std::size_t length =
          1 + (random() % 8 == 0 ? random() % common::BitWriter::kMaxPut
                                 : random() % 12);
      patterns.push_back(RandomBits(random, length));
      all += patterns.back();
    }
    for (BitOrder order : kOrders) {
      for (std::size_t held : {32u, 33u, 4096u}) {
        SCOPED_TRACE(testing::Message()
                     << "round " << round << ", held " << held << ", lsb "
                     << (order == BitOrder::kLsbFirst));
        EXPECT_EQ(Write(patterns, order, held, random), PackByHand(all, order));
      }
    }
  }
}

TEST(BitReader, PeeksTheBitsThatPackingByHandPutThere) {
  std::mt19937 random(99);
  const std::string bits = RandomBits(random, 200);
  for (BitOrder order : kOrders) {
    const Bytes bytes = PackByHand(bits, order);
    // The reader's bytes start at byte 3 of the packed text.
    const std::span<const std::uint8_t> held =
        std::span(bytes).subspan(3, bytes.size() - 3);
    const common::BitReader reader(order, held, 24, 200);
    for (std::uint64_t position = 24; position < 200; ++position) {
      for (unsigned count = 1; count <= 57; ++count) {
        std::string expected = bits.substr(position, count);
        expected.resize(count, '0');  // past the bytes: 0
        ASSERT_EQ(reader.Peek(position, count),
                  common::PatternBits(expected, order))
            << position << " " << count;
      }
    }
  }
}

common::HuffmanCode ChainCode(std::size_t n) {
  const auto [tbl, bit] = testing_support::ChainCode(n, 0x1F00);
  std::ostringstream faults;
  std::optional<common::HuffmanCode> code =
      common::VerifyCode(tbl, bit, faults);
  EXPECT_TRUE(code) << faults.str();
  return code ? *code : common::HuffmanCode{};
}

TEST(PackedDecoder, DecodesShortAndLongPatternsAndStopsWhereTheBitsEnd) {
  const common::HuffmanCode code = ChainCode(80);
  std::mt19937 random(5);
  for (BitOrder order : kOrders) {
    SCOPED_TRACE(order == BitOrder::kMsbFirst ? "msb" : "lsb");
    // Mostly short patterns, some longer than the lookup table and than
    // the 32 bits read at a time below it.
    std::vector<std::uint16_t> units;
    std::vector<std::uint64_t> ends;
    std::string bits;
    for (int i = 0; i < 400; ++i) {
      const std::size_t leaf = random() % 4 == 0 ? random() % 80 : random() % 6;
      units.push_back(code.leaves[leaf].symbol);
      bits += code.leaves[leaf].pattern;
      ends.push_back(bits.size());
    }
    const Bytes bytes = PackByHand(bits, order);
    const common::PackedDecoder decoder(code, order);
    const common::BitReader whole(order, bytes, 0, bits.size());
    std::vector<std::uint16_t> decoded(units.size() + 1);
    std::uint64_t position = 0;
    EXPECT_EQ(
        decoder.DecodeUnits(whole, &position, units.size() + 1, decoded.data()),
        units.size());
    decoded.pop_back();
    EXPECT_EQ(decoded, units);
    EXPECT_EQ(position, bits.size());

    // Runs of units at once, as huffpack proves its text: the first k
    // units are given where the bits end with them, but not one bit
    // before, nor with any bit changed; with no bytes behind the bits, and
    // with bytes behind them that are 0 or left over from before.
    Bytes little_endian;
    for (std::uint16_t unit : units) {
      little_endian.push_back(static_cast<std::uint8_t>(unit));
      little_endian.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    std::map<std::uint16_t, unsigned> lengths;
    for (const common::BitRecord& leaf : code.leaves) {
      lengths[leaf.symbol] = static_cast<unsigned>(leaf.pattern.size());
    }
    const auto gives_all = [&](const Bytes& held, std::size_t k,
                               std::uint64_t end) {
      const common::BitReader reader(order, held, 0, end);
      std::uint64_t at = 0;
      const bool given = decoder.GivesAll(
          reader, &at, little_endian.data(), k,
          [&](std::uint16_t unit) { return lengths.at(unit); });
      EXPECT_TRUE(!given || at == (k == 0 ? 0 : ends[k - 1]));
      return given;
    };
    for (std::uint8_t behind : {0x00, 0xFF}) {
      for (std::size_t spare : {std::size_t{0}, std::size_t{8}}) {
        SCOPED_TRACE(testing::Message() << spare << " behind, " << +behind);
        const auto held = [&](const std::string& pattern_bits) {
          Bytes packed = PackByHand(pattern_bits, order);
          packed.resize(packed.size() + spare, behind);
          return packed;
        };
        const Bytes all = held(bits);
        for (std::size_t k = 1; k <= units.size(); k += 7) {
          ASSERT_TRUE(gives_all(all, k, ends[k - 1])) << k;
          ASSERT_FALSE(gives_all(all, k, ends[k - 1] - 1)) << k;
        }
        for (std::size_t bit = 0; bit < bits.size(); bit += 5) {
          std::string changed = bits;
          changed[bit] = changed[bit] == '0' ? '1' : '0';
          EXPECT_FALSE(gives_all(held(changed), units.size(), bits.size()))
              << bit;
        }
      }
    }

    // Cut one bit short of each unit's end, the unit is not there.
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
      const common::BitReader cut(order, bytes, 0, ends[i] - 1);
      std::uint16_t unit = 0;
      ASSERT_EQ(decoder.Decode(cut, start, &unit), 0u) << i;
      EXPECT_FALSE(decoder.Gives(cut, start, units[i],
                                 static_cast<unsigned>(ends[i] - start)));
      const common::BitReader exact(order, bytes, 0, ends[i]);
      ASSERT_EQ(decoder.Decode(exact, start, &unit), ends[i] - start) << i;
      EXPECT_EQ(unit, units[i]);
      const auto length = static_cast<unsigned>(ends[i] - start);
      EXPECT_TRUE(decoder.Gives(exact, start, units[i], length));
      EXPECT_FALSE(decoder.Gives(
          exact, start, static_cast<std::uint16_t>(units[i] ^ 1), length));
      start = ends[i];
    }
  }
}

}  // namespace
