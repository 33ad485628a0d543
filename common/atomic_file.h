// Replacing a file all at once. The new content goes to a temporary file
// beside the target (the target's name plus kTempSuffix); only Commit()
// renames it over the target, so a failed or interrupted run leaves the
// target either as it was or complete. An uncommitted temporary is removed
// when the AtomicFile goes away, and a temporary left behind by a killed run
// is replaced by the next run that writes the same target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace common {

inline constexpr const char* kTempSuffix = ".tesk-tmp";

// Simulated free space: every block written draws from it, and a write that
// does not fit fails as it would on a full disk. Tests use it to make writes
// fail at any chosen byte.
class DiskQuota {
 public:
  explicit DiskQuota(std::uint64_t bytes) : left_(bytes) {}
  // Returns false, and leaves nothing, when n bytes do not fit.
  bool Take(std::uint64_t n);

 private:
  std::uint64_t left_;
};

class AtomicFile {
 public:
  static constexpr std::size_t kBufferSize = 256 * 1024;

  // A target that is a symbolic link is resolved, so that the link keeps
  // pointing at the new content.
  explicit AtomicFile(const std::filesystem::path& target,
                      DiskQuota* quota = nullptr);
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  // Creates the temporary. Returns false when the target exists but may not
  // be written (as opening it for writing would fail), or when the
  // temporary cannot be created.
  bool Open();

  // Buffered; a failure is remembered and reported by Finish().
  void Write(const std::uint8_t* data, std::size_t n) {
    if (n == 0) return;
    if (n <= buffer_.size() - used_) {
      std::memcpy(buffer_.data() + used_, data, n);
      used_ += n;
    } else {
      WriteSlow(data, n);
    }
  }
  void Write(const std::vector<std::uint8_t>& bytes) {
    Write(bytes.data(), bytes.size());
  }

  // Writes out what is buffered, puts it on the disk and closes the
  // temporary. Returns false if any write failed.
  bool Finish();

  // REQUIRES: Finish() returned true. Gives the temporary the permission
  // bits of an existing target and renames it over the target.
  bool Commit();

  const std::filesystem::path& target() const { return target_; }

 private:
  void WriteSlow(const std::uint8_t* data, std::size_t n);
  void FlushBuffer();
  void Put(const std::uint8_t* data, std::size_t n);

  std::filesystem::path target_;
  std::filesystem::path temp_;
  DiskQuota* quota_;
  std::FILE* file_ = nullptr;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
  bool created_ = false;
  bool failed_ = false;
  bool committed_ = false;
};

}  // namespace common
