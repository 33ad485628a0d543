// Code units: the 16-bit values that puretext and dte files are made of.
//
// A file is a flat run of units, each stored little-endian (low byte first),
// with no header, marker or terminator. A unit is classified by its value:
//   text character        high byte 0x1F; its low byte is the character code
//   argument-taking code  any other unit whose low byte is 0x10; the next two
//                         bytes are its argument unit, never classified
//   other control code    every other value
#pragma once

#include <cstddef>
#include <cstdint>

namespace common {

using CodeUnit = std::uint16_t;

// Size of pairpick's substitution table and the exact number of leaves of
// huffbuild's tree.
inline constexpr int kCodeTableSize = 1452;

// How many values a 16-bit unit (or a pair value) can take: the size of
// every table indexed by one.
inline constexpr std::size_t kUnitValueCount = 65536;

inline constexpr bool IsTextCharacter(CodeUnit unit) {
  return (unit >> 8) == 0x1F;
}

inline constexpr bool TakesArgument(CodeUnit unit) {
  return !IsTextCharacter(unit) && (unit & 0xFF) == 0x10;
}

inline constexpr std::uint8_t CharacterCode(CodeUnit unit) {
  return static_cast<std::uint8_t>(unit & 0xFF);
}

// The pair value of two adjacent text characters: first code * 256 + second
// code. It lives only inside pairpick; the pair unit written for it is the
// bytes (first code, second code), so read back it is the value byte-swapped.
inline constexpr std::uint16_t PairValue(CodeUnit first, CodeUnit second) {
  return static_cast<std::uint16_t>((CharacterCode(first) << 8) |
                                    CharacterCode(second));
}

}  // namespace common
