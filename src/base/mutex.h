// A mutex that clang's thread-safety analysis knows as a lock, and the
// scoped holder of one. libstdc++'s std::mutex and std::lock_guard carry no
// annotations, so members guarded by them could not be checked. Both cost
// exactly what std::mutex costs; neither is recursive. Any thread may use
// them.
#pragma once

#include <mutex>

#include "base/thread_annotations.h"

namespace quor {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

  // The std::mutex inside, for std::condition_variable, which waits on
  // nothing else; only a holder of this lock may wait on it.
  std::mutex& native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// Holds *mutex for the rest of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->lock(); }
  ~MutexLock() RELEASE() { mutex_->unlock(); }

  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

}  // namespace quor
