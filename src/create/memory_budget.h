// The memory that the files create mode has in progress may take together.
// A file takes its share before it reads anything and gives it back when it
// is done, so several threads never hold more than one budget between them.
// Shares are granted in the order they were asked for: a large one waits
// only until enough is given back, never for ever behind smaller ones.
// Any thread may call these.
#pragma once

#include <condition_variable>
#include <cstdint>

#include "base/mutex.h"

namespace quor {

class MemoryBudget {
 public:
  explicit MemoryBudget(uint64_t total);
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Waits until every share asked for earlier was granted and `bytes` are
  // free, then takes them. A share larger than the whole budget counts as
  // the whole budget (it waits until nothing else is taken). Returns what
  // was taken, for give().
  uint64_t take(uint64_t bytes) EXCLUDES(mutex_);
  void give(uint64_t bytes) EXCLUDES(mutex_);

 private:
  const uint64_t total_;
  Mutex mutex_;
  std::condition_variable_any changed_;
  uint64_t free_ GUARDED_BY(mutex_);
  uint64_t nextTicket_ GUARDED_BY(mutex_) = 0;  // of the next take
  uint64_t serving_ GUARDED_BY(mutex_) = 0;     // the ticket whose turn it is
};

// A share of a budget held for the holder's lifetime.
class MemoryShare {
 public:
  MemoryShare(MemoryBudget& budget, uint64_t bytes)
      : budget_(budget), bytes_(budget.take(bytes)) {}
  ~MemoryShare() { budget_.give(bytes_); }
  MemoryShare(const MemoryShare&) = delete;
  MemoryShare& operator=(const MemoryShare&) = delete;

 private:
  MemoryBudget& budget_;
  const uint64_t bytes_;
};

}  // namespace quor
