#include "common/atomic_file.h"

#include <system_error>

#include "common/file_io.h"

namespace common {

namespace fs = std::filesystem;

bool DiskQuota::Take(std::uint64_t n) {
  if (n > left_) {
    left_ = 0;
    return false;
  }
  left_ -= n;
  return true;
}

AtomicFile::AtomicFile(const fs::path& target, DiskQuota* quota)
    : target_(target), quota_(quota) {
  std::error_code ec;
  if (fs::is_symlink(target_, ec)) {
    fs::path resolved = fs::weakly_canonical(target_, ec);
    if (!ec) target_ = resolved;
  }
  temp_ = target_;
  temp_ += kTempSuffix;
}

AtomicFile::~AtomicFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (created_ && !committed_) {
    std::error_code ec;
    fs::remove(temp_, ec);
  }
}

bool AtomicFile::Open() {
  std::error_code ec;
  if (fs::exists(target_, ec)) {
    // The rename must not get round a target that could not be written.
    if (!MayWrite(target_)) return false;
  }
  fs::remove(temp_, ec);
  file_ = OpenFile(temp_, "wb");
  if (file_ == nullptr) return false;
  created_ = true;
  buffer_.resize(kBufferSize);
  return true;
}

void AtomicFile::WriteSlow(const std::uint8_t* data, std::size_t n) {
  FlushBuffer();
  if (n >= buffer_.size()) {
    Put(data, n);
  } else {
    std::memcpy(buffer_.data(), data, n);
    used_ = n;
  }
}

void AtomicFile::FlushBuffer() {
  Put(buffer_.data(), used_);
  used_ = 0;
}

void AtomicFile::Put(const std::uint8_t* data, std::size_t n) {
  if (failed_ || n == 0) return;
  if (file_ == nullptr || (quota_ != nullptr && !quota_->Take(n)) ||
      std::fwrite(data, 1, n, file_) != n) {
    failed_ = true;
  }
}

bool AtomicFile::Finish() {
  if (file_ == nullptr) return false;
  FlushBuffer();
  if (std::fflush(file_) != 0 || !SyncFile(file_)) failed_ = true;
  if (std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

bool AtomicFile::Commit() {
  if (!created_ || failed_ || file_ != nullptr) return false;
  std::error_code ec;
  const fs::file_status status = fs::status(target_, ec);
  if (!ec && fs::exists(status)) {
    fs::permissions(temp_, status.permissions(), ec);
    if (ec) return false;
  }
  RenameOver(temp_, target_, ec);
  committed_ = !ec;
  return committed_;
}

}  // namespace common
