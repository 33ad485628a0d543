// Packed text: a script's strings with every dte unit replaced by its bit
// pattern from the Bit Pattern Table, packed into bytes, and a pointer to
// where each string starts. huffpack writes them; a decoder reads a string
// by following its bits through the node table from its pointer on.
//
// SCRIPT.huf: the strings in order, no header. The bits of a byte follow
//   each other from its most significant bit down (BitOrder::kMsbFirst) or
//   from its least significant bit up (kLsbFirst). With Alignment::kByte
//   each string starts on a fresh byte and the unused bits of its last byte
//   are 0; with kBit each string starts at the bit behind the one before.
//   The last byte is padded with 0 bits.
// SCRIPT.ptr: one pointer per string, in order, no header: pointer_bytes
//   (2, 3 or 4) bytes each, little-endian or, with big_endian, high byte
//   first. A pointer is the base plus where its string starts in SCRIPT.huf,
//   counted in bytes (kByte) or in bits (kBit).
//
// Bits in stream order: a run of up to 64 bits is held in an integer with
// its first bit as the most significant of the run (kMsbFirst) or as bit 0
// (kLsbFirst), the way the run lies in the bytes; packing and reading are
// then a shift.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/huffman_code.h"
#include "common/output_file.h"
#include "common/tables.h"

namespace common {

enum class BitOrder { kMsbFirst, kLsbFirst };
enum class Alignment { kByte, kBit };

inline constexpr std::size_t kMaxPointerBytes = 4;

struct PackedLayout {
  BitOrder bit_order = BitOrder::kMsbFirst;
  Alignment alignment = Alignment::kByte;
  std::uint32_t base = 0;
  std::size_t pointer_bytes = 4;
  bool big_endian = false;
  bool operator==(const PackedLayout&) const = default;
};

// The options that set a layout on a command line, and their values:
//   --bit-order msb|lsb, --align byte|bit, --base HEX (0 to FFFFFFFF, as
//   ParseHexNumber reads it), --pointer-bytes 2|3|4, --big-endian.
enum class LayoutOption {
  kNone,
  kBitOrder,
  kAlign,
  kBase,
  kPointerBytes,
  kBigEndian
};

struct LayoutArguments {
  enum class Problem { kNone, kUnknownOption, kMissingValue, kBadValue };
  PackedLayout layout;
  Problem problem = Problem::kNone;
  // The first argument behind the options (and behind "--").
  std::size_t first_operand = 0;
  // With a problem: the option's argument (its value follows it) and which
  // option it is.
  std::size_t at = 0;
  LayoutOption option = LayoutOption::kNone;
};

// Reads the layout options at the front of `args`. They end at "--", which
// is passed over, or at the first argument that does not start with '-' or
// is "-" alone. Of an option given twice, the last counts.
LayoutArguments ParseLayoutOptions(const std::vector<std::string>& args);

// The values an option takes, as a message names them ("msb or lsb" for
// --bit-order); "" for an option that takes none.
const char* LayoutValuesOf(LayoutOption option);

// The pointer to a string that starts at bit `position`: the base plus the
// position counted in bytes or bits. It may be larger than pointer_bytes
// hold. REQUIRES: with Alignment::kByte, position is a multiple of 8.
inline std::uint64_t PointerTo(std::uint64_t position,
                               const PackedLayout& layout) {
  return layout.base +
         (layout.alignment == Alignment::kByte ? position / 8 : position);
}

// The largest pointer that pointer_bytes bytes hold.
inline std::uint64_t MaxPointer(const PackedLayout& layout) {
  return (std::uint64_t{1} << (8 * layout.pointer_bytes)) - 1;
}

// The bit where a pointer's string starts; nullopt when it lies below the
// base.
inline std::optional<std::uint64_t> PositionOf(std::uint32_t pointer,
                                               const PackedLayout& layout) {
  if (pointer < layout.base) return std::nullopt;
  const std::uint64_t offset = pointer - layout.base;
  return layout.alignment == Alignment::kByte ? offset * 8 : offset;
}

// REQUIRES: pointer <= MaxPointer(layout); pointer_bytes writable bytes at
// p.
inline void StorePointer(std::uint32_t pointer, const PackedLayout& layout,
                         std::uint8_t* p) {
  const std::size_t n = layout.pointer_bytes;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t byte = layout.big_endian ? n - 1 - i : i;
    p[i] = static_cast<std::uint8_t>(pointer >> (8 * byte));
  }
}

// REQUIRES: pointer_bytes readable bytes at p.
inline std::uint32_t LoadPointer(const std::uint8_t* p,
                                 const PackedLayout& layout) {
  const std::size_t n = layout.pointer_bytes;
  std::uint32_t pointer = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t byte = layout.big_endian ? n - 1 - i : i;
    pointer |= static_cast<std::uint32_t>(p[i]) << (8 * byte);
  }
  return pointer;
}

// The bits of a pattern ('0' and '1', the first bit first) in stream order.
// REQUIRES: pattern.size() <= 64.
std::uint64_t PatternBits(std::string_view pattern, BitOrder order);

// Reads bits of packed text that lie in memory: `bytes` hold the bits from
// bit `first` of the packed text on, and only those before `end` count.
class BitReader {
 public:
  // REQUIRES: first is a multiple of 8; first <= end.
  BitReader(BitOrder order, std::span<const std::uint8_t> bytes,
            std::uint64_t first, std::uint64_t end)
      : order_(order), bytes_(bytes), first_(first), end_(end) {}

  std::uint64_t end() const { return end_; }

  // Bits from positions before this one are read by PeekWithin(): eight
  // bytes from the position's byte on lie within the bytes.
  std::uint64_t within_end() const {
    return bytes_.size() < 8 ? first_ : first_ + 8 * (bytes_.size() - 7);
  }

  // Peek() in the order kOrder for a position before within_end().
  template <BitOrder kOrder>
  std::uint64_t PeekWithin(std::uint64_t position, unsigned count) const {
    const std::uint64_t offset = position - first_;
    const std::uint8_t* const at =
        bytes_.data() + static_cast<std::size_t>(offset / 8);
    return BitsOfWord<kOrder>(
        kOrder == BitOrder::kMsbFirst ? ReadBe64(at) : ReadLe64(at),
        static_cast<unsigned>(offset % 8), count);
  }

  // The `count` bits from bit `position` on, in stream order; bits past
  // the bytes read as 0. REQUIRES: first <= position; 1 <= count <= 57.
  std::uint64_t Peek(std::uint64_t position, unsigned count) const {
    const bool msb_first = order_ == BitOrder::kMsbFirst;
    if (position < within_end()) {
      return msb_first ? PeekWithin<BitOrder::kMsbFirst>(position, count)
                       : PeekWithin<BitOrder::kLsbFirst>(position, count);
    }
    const std::uint64_t offset = position - first_;
    const std::uint64_t word =
        WordNearTheEnd(order_, bytes_, static_cast<std::size_t>(offset / 8));
    const unsigned shift = static_cast<unsigned>(offset % 8);
    return msb_first ? BitsOfWord<BitOrder::kMsbFirst>(word, shift, count)
                     : BitsOfWord<BitOrder::kLsbFirst>(word, shift, count);
  }

 private:
  // The `count` bits of a word of eight bytes in stream order, from bit
  // `shift` of its first byte on.
  template <BitOrder kOrder>
  static std::uint64_t BitsOfWord(std::uint64_t word, unsigned shift,
                                  unsigned count) {
    if constexpr (kOrder == BitOrder::kMsbFirst) {
      return (word << shift) >> (64 - count);
    } else {
      return (word >> shift) & ((std::uint64_t{1} << count) - 1);
    }
  }

  // The eight bytes from `index` on as one word in stream order, with 0 for
  // those past the end. It takes no reader, so that a reader on the stack is
  // never handed away and its fields stay in registers.
  static std::uint64_t WordNearTheEnd(BitOrder order,
                                      std::span<const std::uint8_t> bytes,
                                      std::size_t index);

  BitOrder order_;
  std::span<const std::uint8_t> bytes_;
  std::uint64_t first_;
  std::uint64_t end_;
};

// Decodes packed text through the node table: from the root (the last
// entry) a 0 bit goes to the child named in `first`, a 1 to the one named in
// `second`, until a leaf (second field kLeafMarker), whose `first` is the
// unit. A table of every run of kLookupBits bits, walked once from the root,
// takes a short pattern in one step; a longer one goes on node by node.
class PackedDecoder {
 public:
  static constexpr unsigned kLookupBits = 12;

  // REQUIRES: `code` passed VerifyCode.
  PackedDecoder(const HuffmanCode& code, BitOrder order);

  // Decodes the unit whose pattern starts at bit `position` into *unit and
  // returns the pattern's length; 0 when the bits end (at bits.end())
  // before its leaf.
  unsigned Decode(const BitReader& bits, std::uint64_t position,
                  std::uint16_t* unit) const {
    const std::uint32_t entry = lookup_[bits.Peek(position, kLookupBits)];
    if ((entry & kLeaf) == 0) {
      return DecodeBelow(bits, position, static_cast<std::uint16_t>(entry),
                         unit);
    }
    const unsigned length = (entry >> 16) & 0xFF;
    if (position + length > bits.end()) return 0;
    *unit = static_cast<std::uint16_t>(entry);
    return length;
  }

  // True when decoding at bit `position` gives `unit` from a pattern of
  // `length` bits, all before bits.end(). The same as Decode() and a
  // comparison, but for a short pattern one comparison in all.
  bool Gives(const BitReader& bits, std::uint64_t position, std::uint16_t unit,
             unsigned length) const {
    const std::uint32_t entry = lookup_[bits.Peek(position, kLookupBits)];
    if (entry == LeafEntry(unit, length)) {
      return position + length <= bits.end();
    }
    std::uint16_t decoded = 0;
    return (entry & kLeaf) == 0 &&
           DecodeBelow(bits, position, static_cast<std::uint16_t>(entry),
                       &decoded) == length &&
           decoded == unit;
  }

  // True when decoding from bit *position on gives the `count` units at
  // `units` (little-endian) one after the other, each from a pattern of
  // length_of(unit) bits, all before bits.end(), and then moves *position
  // past them (else it says nothing). The same as Gives() for each unit in
  // turn; as each unit's place follows from the lengths alone, no decode
  // waits for the one before it.
  template <typename LengthOf>
  bool GivesAll(const BitReader& bits, std::uint64_t* position,
                const std::uint8_t* units, std::size_t count,
                LengthOf length_of) const {
    return order_ == BitOrder::kMsbFirst
               ? GivesRun<BitOrder::kMsbFirst>(bits, position, units, count,
                                               length_of)
               : GivesRun<BitOrder::kLsbFirst>(bits, position, units, count,
                                               length_of);
  }

  // Decodes up to `count` units from bit *position on into `units`, moving
  // *position past each; returns how many, fewer only where the bits end.
  std::size_t DecodeUnits(const BitReader& bits, std::uint64_t* position,
                          std::size_t count, std::uint16_t* units) const;

 private:
  // An entry of the lookup table: kLeaf, the pattern's length (bits 16 to
  // 23) and the unit (bits 0 to 15) when kLookupBits or fewer bits reach a
  // leaf; else the node they reach (bits 0 to 15).
  static constexpr std::uint32_t kLeaf = 1u << 24;
  static constexpr std::uint32_t LeafEntry(std::uint16_t unit,
                                           unsigned length) {
    return kLeaf | length << 16 | unit;
  }

  // A short pattern is found in the lookup table, the others by Gives();
  // that the last unit ends before bits.end() says the same of every one.
  template <BitOrder kOrder, typename LengthOf>
  bool GivesRun(const BitReader& bits, std::uint64_t* position,
                const std::uint8_t* units, std::size_t count,
                LengthOf& length_of) const {
    const std::uint32_t* const lookup = lookup_.data();
    const std::uint64_t within_end = bits.within_end();
    std::uint64_t at = *position;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint16_t unit = ReadLe16(units + 2 * i);
      const unsigned length = length_of(unit);
      if (at >= within_end ||
          lookup[bits.PeekWithin<kOrder>(at, kLookupBits)] !=
              LeafEntry(unit, length)) [[unlikely]] {
        if (!GivesApart(bits, at, unit, length)) {
          *position = at;
          return false;
        }
      }
      at += length;
    }
    *position = at;
    return at <= bits.end();
  }

  // Gives(), kept out of GivesRun()'s loop so that the loop keeps its
  // values in registers.
  bool GivesApart(const BitReader& bits, std::uint64_t position,
                  std::uint16_t unit, unsigned length) const;

  // Goes on from `node`, kLookupBits below the root. It takes the reader by
  // value, for the reason WordNearTheEnd() takes none.
  unsigned DecodeBelow(BitReader bits, std::uint64_t position,
                       std::uint16_t node, std::uint16_t* unit) const;

  BitOrder order_;
  std::vector<NodeEntry> table_;
  std::vector<std::uint32_t> lookup_;
};

// Packs bits into bytes for a FileWriter. The bytes are held in a buffer
// until Release() hands them on, so that they can be read (and checked)
// first; the last held byte holds the bits of a byte not yet full, followed
// by 0 bits.
class BitWriter {
 public:
  // The most bits one pattern may have here, and the room in bytes that
  // putting one needs.
  static constexpr unsigned kMaxPut = 56;
  static constexpr std::size_t kPutRoom = 8;
  static constexpr std::size_t kMinHeld = 32;

  // A pattern to put: its bits in stream order and how many there are.
  struct Pattern {
    std::uint64_t bits;
    unsigned length;
  };

  // REQUIRES: held.size() >= kMinHeld; `held` and `out` outlive the writer.
  BitWriter(FileWriter& out, BitOrder order, std::span<std::uint8_t> held)
      : out_(out), order_(order), held_(held) {}
  BitWriter(const BitWriter&) = delete;
  BitWriter& operator=(const BitWriter&) = delete;

  // Appends `length` bits given in stream order; false, appending nothing,
  // when room() is less than kPutRoom or the length is not 1 to kMaxPut.
  // REQUIRES: no bit set above the `length`.
  [[nodiscard]] bool Put(std::uint64_t bits, unsigned length) {
    return PutWhileRoom(1, [&](std::size_t) {
             return Pattern{bits, length};
           }) == 1;
  }

  // Appends the patterns that pattern(i) gives for i from 0 up to `count`,
  // as long as there is room for them; stops before one of length 0 or
  // longer than kMaxPut. Returns how many it appended. The loop keeps the
  // writer's state in locals, which is what makes it fast.
  template <typename PatternOf>
  std::size_t PutWhileRoom(std::size_t count, PatternOf pattern) {
    // Each pattern fills at most 7 bytes and needs 8 free: room / 8 fit.
    const std::size_t n = std::min(count, room() / kPutRoom);
    return order_ == BitOrder::kMsbFirst
               ? PutRun<BitOrder::kMsbFirst>(n, pattern)
               : PutRun<BitOrder::kLsbFirst>(n, pattern);
  }

  // Appends 0 bits up to the next byte boundary.
  void PadToByte() {
    if (pending_ == 0) return;
    ++full_;
    pending_ = 0;
    pending_bits_ = 0;
  }

  // The bits appended so far.
  std::uint64_t position() const {
    return held_from_ + 8 * std::uint64_t{full_} + pending_;
  }
  // Bytes free for appending.
  std::size_t room() const { return held_.size() - full_; }
  // The held bytes: the bits from held_from() up to position(), and 0 bits
  // behind them in the last byte.
  std::span<std::uint8_t> held() {
    return held_.first(full_ + (pending_ > 0 ? 1 : 0));
  }
  // Where the held bytes begin, in bits; a multiple of 8.
  std::uint64_t held_from() const { return held_from_; }

  // Hands the held bytes before byte `keep_from` of the packed text to the
  // FileWriter and keeps the others.
  // REQUIRES: held_from() / 8 <= keep_from <= position() / 8.
  void Release(std::uint64_t keep_from);

 private:
  // Each pattern is stored with the bits before it that do not fill a byte,
  // as 8 bytes; the whole bytes among them stay, the rest is stored again
  // with the next pattern.
  template <BitOrder kOrder, typename PatternOf>
  std::size_t PutRun(std::size_t n, PatternOf& pattern) {
    std::uint8_t* at = held_.data() + full_;
    std::uint64_t pending_bits = pending_bits_;
    unsigned pending = pending_;
    std::size_t i = 0;
    for (; i < n; ++i) {
      const Pattern next = pattern(i);
      if (next.length - 1 >= kMaxPut) break;
      pending += next.length;
      if constexpr (kOrder == BitOrder::kMsbFirst) {
        pending_bits = (pending_bits << next.length) | next.bits;
        StoreBe64(at, pending_bits << (64 - pending));
      } else {
        pending_bits |= next.bits << (pending - next.length);
        StoreLe64(at, pending_bits);
        pending_bits >>= 8 * (pending / 8);
      }
      at += pending / 8;
      pending %= 8;
    }
    full_ = static_cast<std::size_t>(at - held_.data());
    pending_bits_ = pending_bits;
    pending_ = pending;
    return i;
  }

  FileWriter& out_;
  BitOrder order_;
  std::span<std::uint8_t> held_;
  std::uint64_t held_from_ = 0;
  std::size_t full_ = 0;            // held bytes that are full
  std::uint64_t pending_bits_ = 0;  // the bits of the byte not yet full
  unsigned pending_ = 0;            // how many, 0 to 7
};

}  // namespace common
