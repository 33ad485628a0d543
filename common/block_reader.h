// Reading a file front to back in large blocks, so that memory stays flat
// however large the file is and no system call is made per code unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace common {

class BlockReader {
 public:
  static constexpr std::size_t kBlockSize = 256 * 1024;

  BlockReader() = default;
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;
  ~BlockReader();

  // Opens path for binary reading and measures it. Returns false if it
  // cannot be opened or measured.
  bool Open(const std::filesystem::path& path);

  // The length measured at Open; reading never goes beyond it.
  std::uint64_t size() const { return size_; }
  // Bytes consumed so far.
  std::uint64_t position() const { return position_; }
  std::uint64_t remaining() const { return size_ - position_; }

  // Makes at least min(n, remaining()) bytes readable at data() and returns
  // how many are readable; fewer only when a read failed. Ask for the least
  // that is needed: when fewer than n bytes are buffered, the rest is moved
  // to the front of the buffer before the next block is read.
  // REQUIRES: n <= kBlockSize.
  std::size_t Fill(std::size_t n) {
    return end_ - begin_ >= n ? end_ - begin_ : Refill();
  }
  const std::uint8_t* data() const { return buffer_.data() + begin_; }

  // REQUIRES: n is no more than Fill() made readable.
  void Consume(std::size_t n) {
    begin_ += n;
    position_ += n;
  }

  // Passes over n bytes, or over all that remain if fewer do.
  void Skip(std::uint64_t n);

  // True once a read returned less than the measured length promised.
  bool failed() const { return failed_; }

 private:
  std::size_t Refill();

  std::FILE* file_ = nullptr;
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
  bool failed_ = false;
};

enum class ReadResult { kOk, kCannotOpen, kReadError };

// Reads a whole (small) file, such as an information file.
ReadResult ReadWholeFile(const std::filesystem::path& path,
                         std::vector<std::uint8_t>& bytes);

}  // namespace common
