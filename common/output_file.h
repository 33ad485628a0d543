// Writing a new version of a file. The bytes go to a temporary beside the
// target, made for this run alone: its name carries the program's process id
// and a random part (TARGET.<pid>-<random>.tesk-tmp, the target's name cut
// short if it is long), it is created exclusively (never following or opening
// anything already there), and it has its permission bits from the start:
// those of the target where the user owns it (another user's bits are never
// taken over), never wider than the program's inputs, set-id bits never. A
// finished temporary is handed to a Commit (common/commit.h), which renames it
// over its target; one that is never handed over is removed.
//
// Only a regular file, or a symbolic link, is replaced: the rename replaces a
// link itself and never follows it. A folder, device, FIFO or socket at the
// target is refused, and so is a file its permission bits or read-only
// attribute keep the user from writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <system_error>

#include "common/faults.h"
#include "common/file_io.h"

namespace common {

inline constexpr const char* kTempSuffix = ".tesk-tmp";
inline constexpr const char* kAsideSuffix = ".tesk-old";

// A name beside `target` for this run alone, ending in `suffix`.
std::filesystem::path UniqueNameBeside(const std::filesystem::path& target,
                                       const char* suffix);
// The process id in a name that UniqueNameBeside made with `suffix`, or 0.
int ProcessIdInName(const std::string& name, const char* suffix);

// Buffered writing to an open file; a failure is remembered and reported by
// Flush().
class FileWriter {
 public:
  // An empty buffer writes every call through at once.
  explicit FileWriter(std::span<std::uint8_t> buffer, Faults* faults = nullptr)
      : buffer_(buffer), faults_(faults) {}

  void Attach(NativeFile* file) { file_ = file; }

  void Write(const std::uint8_t* data, std::size_t n) {
    if (n <= buffer_.size() - used_) {
      if (n > 0) std::memcpy(buffer_.data() + used_, data, n);
      used_ += n;
    } else {
      WriteSlow(data, n);
    }
  }
  void Write(std::span<const std::uint8_t> bytes) {
    Write(bytes.data(), bytes.size());
  }
  // Lends the free end of the buffer, at least n bytes of it, to be filled
  // in place and then counted with Advance().
  // REQUIRES: n <= the buffer's size.
  std::span<std::uint8_t> Lend(std::size_t n) {
    if (buffer_.size() - used_ < n) Drain();
    return buffer_.subspan(used_);
  }
  // REQUIRES: n is no more than the last Lend() lent.
  void Advance(std::size_t n) { used_ += n; }

  // Writes out what is buffered. Returns false if any write failed.
  bool Flush(std::error_code& ec);
  std::uint64_t bytes_written() const { return written_ + used_; }

 private:
  void WriteSlow(const std::uint8_t* data, std::size_t n);
  void Drain();
  void Put(const std::uint8_t* data, std::size_t n);

  std::span<std::uint8_t> buffer_;
  Faults* faults_;
  NativeFile* file_ = nullptr;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;
  std::error_code error_;
};

// Why an output could not be begun.
enum class OutputProblem {
  kNone,
  kNotAFile,      // a folder, device, FIFO or socket is at the target
  kReadOnly,      // the user may not write the target
  kCannotCreate,  // the temporary cannot be created (ec says why)
};

// A finished temporary and the target it replaces, ready for a Commit.
struct FinishedFile {
  std::filesystem::path target;
  std::filesystem::path temporary;
};

class OutputFile {
 public:
  explicit OutputFile(std::span<std::uint8_t> buffer = {},
                      Faults* faults = nullptr)
      : writer_(buffer, faults), faults_(faults) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Removes a temporary that was never handed over.
  ~OutputFile();

  // Looks at the target and creates the temporary beside it. The new file
  // has the permission bits of a target the user owns (or those the system
  // gives a new file), less any bit that `limit` lacks: a program passes the
  // bits its inputs share, so that no output shows more than they do.
  OutputProblem Begin(const std::filesystem::path& target, std::error_code& ec,
                      std::uint32_t limit = 0777);
  const std::filesystem::path& target() const { return target_; }
  const std::filesystem::path& temporary() const { return temp_; }

  FileWriter& writer() { return writer_; }
  void Write(std::span<const std::uint8_t> bytes) { writer_.Write(bytes); }

  // Writes out what is buffered and closes the temporary, syncing it first
  // where files are synced one by one. Returns false if any write failed.
  bool Finish(std::error_code& ec);
  // REQUIRES: Finish() returned true. The temporary is the Commit's now.
  FinishedFile HandOver();

 private:
  std::filesystem::path target_;
  std::filesystem::path temp_;
  NativeFile file_;
  FileWriter writer_;
  Faults* faults_;
  bool handed_over_ = false;
};

}  // namespace common
