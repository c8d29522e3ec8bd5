// A wake-up call from one thread to others that would otherwise poll.
//
// A waiter reads generation() before it checks its condition and passes it
// to waitFor, so a notify() that comes between the check and the wait is
// not lost. Waits are always bounded: a waiter still looks at its condition
// at least once per limit, whoever forgets to notify.
//
// Cost: notify() takes the mutex and wakes every waiter; meant for events
// that come at most some thousands of times a second. Any thread may call
// every operation.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>

#include "base/mutex.h"

namespace quor {

class WakeSignal {
 public:
  WakeSignal() = default;
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  uint64_t generation() EXCLUDES(mutex_);
  void notify() EXCLUDES(mutex_);
  // Returns once notify() has been called after generation() returned
  // seen, or after limit.
  void waitFor(uint64_t seen, std::chrono::microseconds limit) EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  // Not condition_variable_any: that one allocates a shared mutex of its
  // own when it is made and takes it on every wait and notify.
  std::condition_variable changed_;
  uint64_t generation_ GUARDED_BY(mutex_) = 0;
};

}  // namespace quor
