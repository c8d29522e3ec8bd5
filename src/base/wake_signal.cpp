#include "base/wake_signal.h"

namespace quor {

uint64_t WakeSignal::generation() {
  MutexLock lock(&mutex_);
  return generation_;
}

void WakeSignal::notify() {
  {
    MutexLock lock(&mutex_);
    ++generation_;
  }
  changed_.notify_all();
}

void WakeSignal::waitFor(uint64_t seen, std::chrono::microseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock lock(&mutex_);
  while (generation_ == seen) {
    if (changed_.wait_until(mutex_, deadline) == std::cv_status::timeout) return;
  }
}

}  // namespace quor
