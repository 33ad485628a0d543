// Work shared by two threads. The scripts of a run are read and checked
// each on its own until their results are added up, so where the machine
// has a second core, a second thread takes scripts too, and a run of many
// scripts takes about half the time.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "common/interrupts.h"

namespace common {

// How many threads share a run of `items`: `wanted` where it is not 0,
// else two where the machine has a second core; never more than the items.
std::size_t ThreadsFor(std::size_t items, std::size_t wanted);

// Calls work(item, thread) for every item from 0 up to `count`, each once,
// on `threads` threads, this one among them as thread 0. A thread that is
// free takes the next item no one has taken; `thread` says which one runs
// it, so that each may keep buffers of its own. When `work` throws, no
// further item is taken, and the first exception is thrown again here once
// every thread is done. Where a second thread cannot be started, this one
// does all.
template <typename Work>
void ShareWork(std::size_t count, std::size_t threads, Work work) {
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
  for (std::size_t thread = 1; thread < threads; ++thread) {
    try {
      others.emplace_back([&take, thread] {
        KeepInterruptsFromThisThread();
        take(thread);
      });
    } catch (const std::system_error&) {
      break;  // the threads started so far share the items
    }
  }
  take(0);
  for (std::thread& other : others) other.join();
  for (const std::exception_ptr& exception : thrown) {
    if (exception) std::rethrow_exception(exception);
  }
}

}  // namespace common
