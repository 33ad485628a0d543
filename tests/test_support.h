// Helpers shared by the tests: a fresh working directory per test, and
// files made from bytes, code units and information records.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// Makes a fresh directory, current for the test's duration, and removes it.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path previous_;
};

// Writes and reads through the programs' own file layer, so that names that
// are special elsewhere (aux, con on Windows) are plain files here too.
void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
// Returns the file's bytes; fails the test if it cannot be read.
Bytes ReadBytes(const std::filesystem::path& path);
// True when no temporary, old file or journal of a commit is in `dir`.
bool NoCommitLeftovers(const std::filesystem::path& dir);

// Code units as little-endian bytes.
Bytes Units(std::initializer_list<std::uint16_t> units);
Bytes UnitBytes(const std::vector<std::uint16_t>& units);

// Information records {carriedWord, byteLength} as bytes.
Bytes Info(
    std::initializer_list<std::pair<std::uint32_t, std::int32_t>> records);
// The byteLength fields of an information file.
std::vector<std::int32_t> InfoLengths(const Bytes& info);

// The tables (tesk.tbl, then tesk.bit) of a code whose leaf i, of symbol
// first_symbol + i, has the pattern of i '1's and a '0' (the last leaf only
// '1's): patterns from 1 to n - 1 bits.
std::pair<Bytes, Bytes> ChainCode(std::size_t n, std::uint16_t first_symbol);

// Every file in the directory, by name, with its bytes.
std::vector<std::pair<std::string, Bytes>> Snapshot(
    const std::filesystem::path& dir);

bool RunningAsRoot();

}  // namespace testing_support
