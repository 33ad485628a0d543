#include "common/block_reader.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "common/file_io.h"

namespace common {

BlockReader::~BlockReader() {
  if (file_ != nullptr) std::fclose(file_);
}

bool BlockReader::Open(const std::filesystem::path& path) {
  file_ = OpenFile(path, "rb");
  if (file_ == nullptr) return false;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  size_ = size;
  buffer_.resize(kBlockSize);
  return true;
}

std::size_t BlockReader::Refill() {
  const std::size_t kept = end_ - begin_;
  if (file_ == nullptr || failed_) return kept;
  std::memmove(buffer_.data(), buffer_.data() + begin_, kept);
  begin_ = 0;
  end_ = kept;
  const std::uint64_t unread = size_ - position_ - kept;
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(buffer_.size() - kept, unread));
  if (want > 0) {
    const std::size_t got = std::fread(buffer_.data() + end_, 1, want, file_);
    end_ += got;
    if (got < want) failed_ = true;
  }
  return end_ - begin_;
}

void BlockReader::Skip(std::uint64_t n) {
  while (n > 0) {
    const std::size_t readable = Fill(1);
    if (readable == 0) return;
    const std::size_t step =
        static_cast<std::size_t>(std::min<std::uint64_t>(readable, n));
    Consume(step);
    n -= step;
  }
}

ReadResult ReadWholeFile(const std::filesystem::path& path,
                         std::vector<std::uint8_t>& bytes) {
  BlockReader reader;
  if (!reader.Open(path)) return ReadResult::kCannotOpen;
  bytes.clear();
  bytes.reserve(static_cast<std::size_t>(reader.size()));
  while (reader.remaining() > 0) {
    const std::size_t readable = reader.Fill(BlockReader::kBlockSize);
    if (readable == 0) return ReadResult::kReadError;
    bytes.insert(bytes.end(), reader.data(), reader.data() + readable);
    reader.Consume(readable);
  }
  return ReadResult::kOk;
}

}  // namespace common
