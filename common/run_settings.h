// What a caller may set for a run in place of the defaults: tests hand in
// faults and blocks of a few bytes, so that every failure path and every
// block edge is crossed on purpose. A program's main() uses the defaults.
#pragma once

#include <cstddef>

#include "common/block_reader.h"
#include "common/faults.h"

namespace common {

struct RunSettings {
  Faults* faults = nullptr;
  // The size of each read block and output buffer of the run.
  // REQUIRES: at least BlockReader::kMinBlockSize.
  std::size_t block_size = BlockReader::kBlockSize;
  // How many threads may share the run's scripts; 0 lets the machine say
  // (ThreadsFor in common/shared_work.h).
  std::size_t threads = 0;
};

}  // namespace common
