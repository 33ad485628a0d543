#include "common/shared_work.h"

#include <algorithm>

namespace common {

std::size_t ThreadsFor(std::size_t items, std::size_t wanted) {
  if (wanted == 0) wanted = std::thread::hardware_concurrency() >= 2 ? 2 : 1;
  return std::max<std::size_t>(1, std::min(items, wanted));
}

}  // namespace common
