// Work shared by two threads. The scripts of a run are read and checked
// each on its own until their results are added up, so where the machine
// has a second core, a second thread takes scripts too, and a run of many
// scripts takes about half the time.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/interrupts.h"

namespace common {

// How many threads share a run of `items`: `wanted` where it is not 0,
// else two where the program may run on a second core and its limits on
// open files and memory leave room for both; never more than the items.
std::size_t ThreadsFor(std::size_t items, std::size_t wanted);

// Tells the messages of a shared run's items on `out` in the items' order,
// each item's as soon as it and every item before it are done, so that
// what was found is out before an interrupt ends the program. Nothing is
// told after an item that ends the run. Any thread may call it, once for
// each item.
class MessagesInOrder {
 public:
  MessagesInOrder(std::size_t count, std::ostream& out);

  void Done(std::size_t item, std::string messages, bool ends_run = false);

 private:
  // An item done and not yet told.
  struct Waiting {
    std::string messages;
    bool ends_run;
  };
  std::mutex mutex_;
  std::ostream& out_;
  std::vector<std::optional<Waiting>> waiting_;  // by item
  std::size_t told_ = 0;
  bool ended_ = false;
};

// Calls work(item, thread) for every item from 0 up to `count`, each once,
// on `threads` threads, this one among them as thread 0. A thread that is
// free takes the next item no one has taken, so each thread takes its items
// in their order; `thread` says which one runs it, so that each may keep
// buffers of its own. When `work` throws, no further item is taken, and
// once every thread is done the exception is thrown again here (of several,
// the one of the lowest-numbered thread). Where another thread cannot be
// started, those started do all. The other threads start with interrupts
// held off, and keep them so, so that an interrupt reaches this thread.
template <typename Work>
void ShareWork(std::size_t count, std::size_t threads, Work work) {
  threads = std::max<std::size_t>(threads, 1);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::vector<std::exception_ptr> thrown(threads);
  const auto take = [&](std::size_t thread) {
    try {
      while (!stop.load(std::memory_order_relaxed)) {
        const std::size_t item = next.fetch_add(1, std::memory_order_relaxed);
        if (item >= count) break;
        work(item, thread);
      }
    } catch (...) {
      thrown[thread] = std::current_exception();
      stop = true;
    }
  };
  std::vector<std::thread> others;
  others.reserve(threads - 1);
  {
    // A thread starts with the interrupts its maker holds off.
    const InterruptsHeld held;
    for (std::size_t thread = 1; thread < threads; ++thread) {
      try {
        others.emplace_back([&take, thread] { take(thread); });
      } catch (const std::system_error&) {
        break;  // the threads started so far share the items
      }
    }
  }
  take(0);
  for (std::thread& other : others) other.join();
  for (const std::exception_ptr& exception : thrown) {
    if (exception) std::rethrow_exception(exception);
  }
}

}  // namespace common
