// Faults that tests ask for, to show that every failure leaves the files as
// they were: a disk that fills up at a chosen byte, a chosen create, sync or
// rename that fails, a hook that may change an input right after it was
// opened, and one that may change bytes a program made before it checks
// them. A run that is handed no Faults has none.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <system_error>

namespace common {

enum class FaultPoint {
  kCreate,  // creating a temporary, a journal or a new file
  kSync,    // putting written bytes or a folder's entries on the disk
  kLink,    // giving a target a second name before it is replaced
  kRename,  // renaming a file aside, in or back
  kCount,
};

// What CrashAt() throws; only tests catch it.
struct SimulatedCrash {};

class Faults {
 public:
  // The outputs together may take `bytes`; a write that does not fit fails
  // as it would on a full disk.
  void LimitSpace(std::uint64_t bytes) { space_ = bytes; }
  // The nth operation (from 0) at `point` in the run fails.
  void FailAt(FaultPoint point, int nth) { fail_at_[Index(point)] = nth; }
  // Every operation at `point` fails.
  void FailAlways(FaultPoint point) { fail_at_[Index(point)] = kEvery; }
  // The run stops at the nth operation (from 0) at `point`, before it, as
  // if it were killed there: SimulatedCrash is thrown, and from then on no
  // file is cleaned up, as nothing is after a real kill.
  void CrashAt(FaultPoint point, int nth) { crash_at_[Index(point)] = nth; }
  bool crashed() const { return crashed_; }
  // Called with an input's name right after it was opened.
  void AfterOpen(std::function<void(const std::filesystem::path&)> hook) {
    after_open_ = std::move(hook);
  }
  // Called with bytes made for an output, where they go in it and the
  // output's name, before the program checks them: a test may change them,
  // as a faulty encoder would.
  using MadeBytesHook = std::function<void(
      const std::filesystem::path&, std::uint64_t, std::span<std::uint8_t>)>;
  void BeforeCheck(MadeBytesHook hook) { before_check_ = std::move(hook); }

  // Takes n bytes of the space; false, leaving none, when they do not fit.
  bool TakeSpace(std::uint64_t n) {
    if (!space_) return true;
    if (n > *space_) {
      space_ = 0;
      return false;
    }
    *space_ -= n;
    return true;
  }
  // Counts an operation at `point`; true, with `ec` set, when it must fail.
  bool Fails(FaultPoint point, std::error_code& ec) {
    const int n = counts_[Index(point)]++;
    if (n == crash_at_[Index(point)]) {
      crashed_ = true;
      throw SimulatedCrash{};
    }
    if (n != fail_at_[Index(point)] && fail_at_[Index(point)] != kEvery)
      return false;
    ec = std::make_error_code(std::errc::io_error);
    return true;
  }
  void Opened(const std::filesystem::path& path) {
    if (after_open_) after_open_(path);
  }
  void Made(const std::filesystem::path& output, std::uint64_t offset,
            std::span<std::uint8_t> bytes) {
    if (before_check_) before_check_(output, offset, bytes);
  }

 private:
  static constexpr int kEvery = -2;
  static std::size_t Index(FaultPoint point) {
    return static_cast<std::size_t>(point);
  }
  std::optional<std::uint64_t> space_;
  std::array<int, static_cast<std::size_t>(FaultPoint::kCount)> fail_at_{
      -1, -1, -1, -1};
  std::array<int, static_cast<std::size_t>(FaultPoint::kCount)> crash_at_{
      -1, -1, -1, -1};
  std::array<int, static_cast<std::size_t>(FaultPoint::kCount)> counts_{};
  bool crashed_ = false;
  std::function<void(const std::filesystem::path&)> after_open_;
  MadeBytesHook before_check_;
};

}  // namespace common
