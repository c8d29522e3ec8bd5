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
  // Lends the held lock to the wait, which releases and retakes it; the
  // MutexLock still releases it at the end.
  std::unique_lock<std::mutex> lent(mutex_.native(), std::adopt_lock);
  while (generation_ == seen) {
    if (changed_.wait_until(lent, deadline) == std::cv_status::timeout) break;
  }
  lent.release();
}

}  // namespace quor
