#include "create/memory_budget.h"

#include <algorithm>

namespace quor {

MemoryBudget::MemoryBudget(uint64_t total) : total_(total), free_(total) {}

uint64_t MemoryBudget::take(uint64_t bytes) {
  bytes = std::min(bytes, total_);
  MutexLock lock(&mutex_);
  const uint64_t ticket = nextTicket_++;
  while (serving_ != ticket || free_ < bytes) changed_.wait(mutex_);
  free_ -= bytes;
  ++serving_;
  changed_.notify_all();  // the next ticket may fit too
  return bytes;
}

void MemoryBudget::give(uint64_t bytes) {
  {
    MutexLock lock(&mutex_);
    free_ += bytes;
  }
  changed_.notify_all();
}

}  // namespace quor
