// Reading a file front to back in large blocks, so that memory stays flat
// however large the file is and no system call is made per code unit. The
// block is a buffer the caller owns and hands to every reader in turn, so
// that a run over many files touches its memory once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <system_error>
#include <vector>

#include "common/faults.h"
#include "common/file_io.h"

namespace common {

// A block the run owns and lends to one reader or writer after another. Its
// bytes start undefined: no time goes into zeroing what is read over.
class Block {
 public:
  explicit Block(std::size_t size)
      : data_(new std::uint8_t[size]), size_(size) {}
  std::span<std::uint8_t> span() const { return {data_.get(), size_}; }
  operator std::span<std::uint8_t>() const { return span(); }
  operator std::span<const std::uint8_t>() const { return span(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_;
};

class BlockReader {
 public:
  static constexpr std::size_t kBlockSize = 256 * 1024;
  // The smallest block: room for the longest step a reader takes at once.
  static constexpr std::size_t kMinBlockSize = 8;

  // REQUIRES: block.size() >= kMinBlockSize; the block outlives the reader.
  explicit BlockReader(std::span<std::uint8_t> block, Faults* faults = nullptr)
      : block_(block), faults_(faults) {}
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // Opens path for reading (a regular file only, without blocking) and
  // measures the open file.
  OpenResult Open(const std::filesystem::path& path, std::error_code& ec);

  // The length measured at Open; reading never goes beyond it.
  std::uint64_t size() const { return facts_.size; }
  // What the open descriptor told at Open.
  const FileFacts& facts() const { return facts_; }
  // Bytes consumed so far.
  std::uint64_t position() const { return position_; }
  std::uint64_t remaining() const { return facts_.size - position_; }

  // Makes at least min(n, remaining()) bytes readable at data() and returns
  // how many are readable; fewer only when a read failed. Ask for the least
  // that is needed: when fewer than n bytes are buffered, the rest is moved
  // to the front of the block before the next part is read.
  // REQUIRES: n <= the block's size.
  std::size_t Fill(std::size_t n) {
    return end_ - begin_ >= n ? end_ - begin_ : Refill();
  }
  const std::uint8_t* data() const { return block_.data() + begin_; }

  // REQUIRES: n is no more than Fill() made readable.
  void Consume(std::size_t n) {
    begin_ += n;
    position_ += n;
  }

  // Passes over n bytes, or over all that remain if fewer do.
  void Skip(std::uint64_t n);

  // Goes back (or on) to `position`, reading again from there. A position
  // still in the block costs nothing.
  // REQUIRES: position <= size().
  void Seek(std::uint64_t position);

  // True once a read failed or gave less than the measured length promised.
  bool failed() const { return failed_; }

 private:
  std::size_t Refill();

  std::span<std::uint8_t> block_;
  Faults* faults_;
  NativeFile file_;
  FileFacts facts_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t position_ = 0;
  bool failed_ = false;
};

enum class ReadResult {
  kOk,
  kMissing,
  kDenied,
  kNotRegular,
  kCannotOpen,
  kReadError
};

// Reads a whole (small) file, such as an information file or a table, as
// OpenForReading() opens it; what its descriptor told goes to *facts, the
// system's reason for a failure to *error.
ReadResult ReadWholeFile(const std::filesystem::path& path,
                         std::vector<std::uint8_t>& bytes,
                         Faults* faults = nullptr, FileFacts* facts = nullptr,
                         std::error_code* error = nullptr);

}  // namespace common
