#include "common/block_reader.h"

#include <algorithm>
#include <cstring>

namespace common {

OpenResult BlockReader::Open(const std::filesystem::path& path,
                             std::error_code& ec) {
  const OpenResult result =
      NativeFile::OpenForReading(path, file_, ec, &facts_);
  if (result != OpenResult::kOk) return result;
  begin_ = end_ = 0;
  position_ = 0;
  failed_ = false;
  if (faults_ != nullptr) faults_->Opened(path);
  return OpenResult::kOk;
}

std::size_t BlockReader::Refill() {
  const std::size_t kept = end_ - begin_;
  if (!file_.is_open() || failed_) return kept;
  std::memmove(block_.data(), block_.data() + begin_, kept);
  begin_ = 0;
  end_ = kept;
  const std::uint64_t unread = facts_.size - position_ - kept;
  std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(block_.size() - kept, unread));
  while (want > 0) {
    std::error_code ec;
    const std::size_t got = file_.Read(block_.data() + end_, want, ec);
    if (got == 0) {
      // The file is shorter than it was when measured, or cannot be read.
      failed_ = true;
      break;
    }
    end_ += got;
    want -= got;
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

void BlockReader::Seek(std::uint64_t position) {
  const std::uint64_t block_start = position_ - begin_;
  if (position >= block_start && position <= block_start + end_) {
    begin_ = static_cast<std::size_t>(position - block_start);
    position_ = position;
    return;
  }
  std::error_code ec;
  if (!file_.Seek(position, ec)) failed_ = true;
  begin_ = end_ = 0;
  position_ = position;
}

ReadResult ReadWholeFile(const std::filesystem::path& path,
                         std::vector<std::uint8_t>& bytes, Faults* faults,
                         FileFacts* facts, std::error_code* error) {
  NativeFile file;
  std::error_code own_error;
  std::error_code& ec = error != nullptr ? *error : own_error;
  FileFacts own_facts;
  if (facts == nullptr) facts = &own_facts;
  const std::uint64_t& size = facts->size;
  switch (NativeFile::OpenForReading(path, file, ec, facts)) {
    case OpenResult::kOk:
      break;
    case OpenResult::kMissing:
      return ReadResult::kMissing;
    case OpenResult::kDenied:
      return ReadResult::kDenied;
    case OpenResult::kNotRegular:
      return ReadResult::kNotRegular;
    case OpenResult::kFailed:
      return ReadResult::kCannotOpen;
  }
  if (faults != nullptr) faults->Opened(path);
  bytes.resize(static_cast<std::size_t>(size));
  std::size_t have = 0;
  while (have < bytes.size()) {
    const std::size_t got =
        file.Read(bytes.data() + have, bytes.size() - have, ec);
    if (got == 0) return ReadResult::kReadError;
    have += got;
  }
  return ReadResult::kOk;
}

}  // namespace common
