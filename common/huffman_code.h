// The Huffman code that the node table (tesk.tbl) and the Bit Pattern Table
// (tesk.bit) describe together, checked before anything relies on it.
//
// Why a checked code always decodes what it encodes: the patterns are
// prefix-free with a Kraft sum of exactly 1, and each one, followed from the
// root of tesk.tbl ('0' to the child in `first`, '1' to the one in
// `second`), leads to its own leaf. Decoding an encoded unit walks exactly
// that path again, from the root, and ends on the unit's leaf at the unit's
// last bit; so every string decodes back to its units and ends on a whole
// unit. Nothing beyond these checks is needed to prove a round trip.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <vector>

#include "common/block_reader.h"
#include "common/faults.h"
#include "common/tables.h"

namespace common {

struct HuffmanCode {
  std::vector<NodeEntry> table;
  std::vector<BitRecord> leaves;
  std::vector<std::int32_t> leaf_of;  // by unit value; -1 where no leaf
};

// tesk.tbl and tesk.bit of the current folder as read whole, and how each
// read went.
struct CodeTableFiles {
  std::vector<std::uint8_t> tbl;
  std::vector<std::uint8_t> bit;
  ReadResult tbl_read = ReadResult::kOk;
  ReadResult bit_read = ReadResult::kOk;
  // The permission bits both tables share.
  std::uint32_t permissions = 0777;
};

// Reads both tables under a shared lock of the current folder, so that a
// huffbuild committing meanwhile cannot hand over one old and one new table.
CodeTableFiles ReadCodeTables(Faults* faults = nullptr);

// Checks that the two tables describe one prefix code of at least two
// leaves. Returns nullopt after printing the first fault found on `err`,
// as "FILE: what is wrong, where".
std::optional<HuffmanCode> VerifyCode(const std::vector<std::uint8_t>& tbl,
                                      const std::vector<std::uint8_t>& bit,
                                      std::ostream& err);

}  // namespace common
