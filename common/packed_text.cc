#include "common/packed_text.h"

#include <algorithm>
#include <cstring>

#include "common/command_line.h"

namespace common {
namespace {

constexpr std::uint64_t kMaxBase = 0xFFFFFFFF;

struct OptionName {
  const char* name;
  LayoutOption option;
};
constexpr OptionName kOptionNames[] = {
    {"--bit-order", LayoutOption::kBitOrder},
    {"--align", LayoutOption::kAlign},
    {"--base", LayoutOption::kBase},
    {"--pointer-bytes", LayoutOption::kPointerBytes},
    {"--big-endian", LayoutOption::kBigEndian},
};

// Sets the option's value; false when the value is not one it takes.
bool SetOption(LayoutOption option, const std::string& value,
               PackedLayout& layout) {
  switch (option) {
    case LayoutOption::kBitOrder:
      if (value != "msb" && value != "lsb") return false;
      layout.bit_order =
          value == "msb" ? BitOrder::kMsbFirst : BitOrder::kLsbFirst;
      return true;
    case LayoutOption::kAlign:
      if (value != "byte" && value != "bit") return false;
      layout.alignment = value == "byte" ? Alignment::kByte : Alignment::kBit;
      return true;
    case LayoutOption::kBase: {
      const std::optional<std::uint64_t> base = ParseHexNumber(value, kMaxBase);
      if (!base) return false;
      layout.base = static_cast<std::uint32_t>(*base);
      return true;
    }
    case LayoutOption::kPointerBytes:
      if (value != "2" && value != "3" && value != "4") return false;
      layout.pointer_bytes = static_cast<std::size_t>(value[0] - '0');
      return true;
    case LayoutOption::kBigEndian:
    case LayoutOption::kNone:
      break;
  }
  return false;
}

}  // namespace

const char* LayoutValuesOf(LayoutOption option) {
  switch (option) {
    case LayoutOption::kBitOrder:
      return "msb or lsb";
    case LayoutOption::kAlign:
      return "byte or bit";
    case LayoutOption::kBase:
      return "a hexadecimal number from 0 to FFFFFFFF";
    case LayoutOption::kPointerBytes:
      return "2, 3 or 4";
    case LayoutOption::kBigEndian:
    case LayoutOption::kNone:
      break;
  }
  return "";
}

LayoutArguments ParseLayoutOptions(const std::vector<std::string>& args) {
  LayoutArguments parsed;
  std::size_t i = 0;
  while (i < args.size()) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    const auto known = std::find_if(
        std::begin(kOptionNames), std::end(kOptionNames),
        [&](const OptionName& option) { return arg == option.name; });
    parsed.at = i;
    if (known == std::end(kOptionNames)) {
      parsed.problem = LayoutArguments::Problem::kUnknownOption;
      parsed.option = LayoutOption::kNone;
      return parsed;
    }
    parsed.option = known->option;
    if (known->option == LayoutOption::kBigEndian) {
      parsed.layout.big_endian = true;
      ++i;
      continue;
    }
    if (i + 1 == args.size()) {
      parsed.problem = LayoutArguments::Problem::kMissingValue;
      return parsed;
    }
    if (!SetOption(known->option, args[i + 1], parsed.layout)) {
      parsed.problem = LayoutArguments::Problem::kBadValue;
      return parsed;
    }
    i += 2;
  }
  parsed.first_operand = i;
  parsed.at = 0;
  parsed.option = LayoutOption::kNone;
  return parsed;
}

std::uint64_t PatternBits(std::string_view pattern, BitOrder order) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::uint64_t bit = pattern[i] == '1' ? 1 : 0;
    bits = order == BitOrder::kMsbFirst ? (bits << 1) | bit : bits | bit << i;
  }
  return bits;
}

std::uint64_t BitReader::WordNearTheEnd(BitOrder order,
                                        std::span<const std::uint8_t> bytes,
                                        std::size_t index) {
  std::uint8_t word[8] = {};
  if (index < bytes.size()) {
    std::memcpy(word, bytes.data() + index,
                std::min<std::size_t>(8, bytes.size() - index));
  }
  return order == BitOrder::kMsbFirst ? ReadBe64(word) : ReadLe64(word);
}

PackedDecoder::PackedDecoder(const HuffmanCode& code, BitOrder order)
    : order_(order),
      table_(code.table),
      lookup_(std::size_t{1} << kLookupBits) {
  const std::uint16_t root = static_cast<std::uint16_t>(table_.size() - 1);
  for (std::size_t run = 0; run < lookup_.size(); ++run) {
    // The run's bits, first bit first, as Peek() gives them.
    std::uint16_t node = root;
    unsigned taken = 0;
    while (taken < kLookupBits && table_[node].second != kLeafMarker) {
      const unsigned shift =
          order == BitOrder::kMsbFirst ? kLookupBits - 1 - taken : taken;
      node = (run >> shift) & 1 ? table_[node].second : table_[node].first;
      ++taken;
    }
    lookup_[run] = table_[node].second == kLeafMarker
                       ? LeafEntry(table_[node].first, taken)
                       : node;
  }
}

unsigned PackedDecoder::DecodeBelow(BitReader bits, std::uint64_t position,
                                    std::uint16_t node,
                                    std::uint16_t* unit) const {
  std::uint64_t at = position + kLookupBits;
  // The bits below are read 32 at a time, or as many as are left.
  while (at < bits.end()) {
    const unsigned count =
        static_cast<unsigned>(std::min<std::uint64_t>(32, bits.end() - at));
    const std::uint64_t word = bits.Peek(at, count);
    for (unsigned i = 0; i < count; ++i) {
      const unsigned shift = order_ == BitOrder::kMsbFirst ? count - 1 - i : i;
      node = (word >> shift) & 1 ? table_[node].second : table_[node].first;
      if (table_[node].second == kLeafMarker) {
        *unit = table_[node].first;
        return static_cast<unsigned>(at + i + 1 - position);
      }
    }
    at += count;
  }
  return 0;
}

bool PackedDecoder::GivesApart(const BitReader& bits, std::uint64_t position,
                               std::uint16_t unit, unsigned length) const {
  return Gives(bits, position, unit, length);
}

std::size_t PackedDecoder::DecodeUnits(const BitReader& bits,
                                       std::uint64_t* position,
                                       std::size_t count,
                                       std::uint16_t* units) const {
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned length = Decode(bits, *position, units + i);
    if (length == 0) return i;
    *position += length;
  }
  return count;
}

void BitWriter::Release(std::uint64_t keep_from) {
  const std::size_t handed =
      static_cast<std::size_t>(keep_from - held_from_ / 8);
  out_.Write(held_.data(), handed);
  // The byte not yet full moves along with the full ones.
  const std::size_t kept = full_ - handed + (pending_ > 0 ? 1 : 0);
  std::memmove(held_.data(), held_.data() + handed, kept);
  full_ -= handed;
  held_from_ += 8 * std::uint64_t{handed};
}

}  // namespace common
