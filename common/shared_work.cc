#include "common/shared_work.h"

#include <algorithm>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#include <sys/resource.h>
#endif

namespace common {
namespace {

// Cores this process may run on.
std::size_t CoresAllowed() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<std::size_t>(CPU_COUNT(&set));
  }
#endif
  return std::thread::hardware_concurrency();
}

// Whether a second thread may keep its files open and its buffers beside
// the first's: a limit of a few dozen open files, or on the address space
// (a thread's stack alone takes megabytes of it), is kept for one thread.
bool RoomForTwo() {
#if defined(__linux__)
  constexpr rlim_t kFilesEnough = 64;
  constexpr rlim_t kAddressSpaceEnough = rlim_t{256} << 20;
  struct rlimit files;
  struct rlimit address_space;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < kFilesEnough) {
    return false;
  }
  if (getrlimit(RLIMIT_AS, &address_space) == 0 &&
      address_space.rlim_cur != RLIM_INFINITY &&
      address_space.rlim_cur < kAddressSpaceEnough) {
    return false;
  }
#endif
  return true;
}

}  // namespace

std::size_t ThreadsFor(std::size_t items, std::size_t wanted) {
  if (wanted == 0) {
    wanted = CoresAllowed() >= 2 && RoomForTwo() ? 2 : 1;
  }
  return std::max<std::size_t>(1, std::min(items, wanted));
}

MessagesInOrder::MessagesInOrder(std::size_t count, std::ostream& out)
    : out_(out), waiting_(count) {}

void MessagesInOrder::Done(std::size_t item, std::string messages,
                           bool ends_run) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  waiting_[item] = Waiting{std::move(messages), ends_run};
  bool wrote = false;
  while (told_ < waiting_.size() && waiting_[told_] && !ended_) {
    const Waiting& next = *waiting_[told_];
    wrote = wrote || !next.messages.empty();
    out_ << next.messages;
    ended_ = next.ends_run;
    waiting_[told_].reset();
    ++told_;
  }
  if (wrote) out_.flush();
}

}  // namespace common
