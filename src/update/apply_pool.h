// Applies received update data on threads of its own while the update run
// goes on fetching: turning data into a game file (inflating or patching,
// the checksums, the write) costs more CPU than receiving it, and on the
// run's one thread it bounded the install's rate (on loopback over HTTPS
// the run's thread was busy all the time while the network's was not).
//
// The run's thread submits jobs and takes their outcomes; the jobs run on
// the pool's threads, at most `workers` at once, in the order submitted
// unless a key holds one back. Two jobs of one key never run at once: the
// run keys a job by its game path with letter case folded, since two
// spellings of a name on a file system that ignores case share a file and
// its temporary copy.
//
// Memory: the jobs queued or running, with the data they hold; submit
// waits while kMaxJobsInFlight are or their data would pass kMaxHeldBytes
// (a larger job waits until it is the only one).
// A job's exception reaches the run's thread through takeFinished.
//
// Every operation but the destructor is for one thread, the run's.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "base/mutex.h"
#include "update/file_apply.h"

namespace quor {

class ApplyPool {
 public:
  using Job = std::function<ApplyOutcome()>;
  struct Finished {
    uint64_t ticket = 0;
    ApplyOutcome outcome = ApplyOutcome::kNotWritten;
  };

  static constexpr size_t kMaxJobsInFlight = 8;
  static constexpr size_t kMaxHeldBytes = 64u << 20;

  // Threads for the machine: its cores, at least 2 and at most 4 (more
  // only wait on the disk and each holds its buffers).
  static unsigned workersForThisMachine();

  explicit ApplyPool(unsigned workers);
  // Waits for the jobs running; those not started are dropped.
  ~ApplyPool();
  ApplyPool(const ApplyPool&) = delete;
  ApplyPool& operator=(const ApplyPool&) = delete;

  // Queues job, waiting first for room (see above); returns its ticket.
  uint64_t submit(std::string key, size_t heldBytes, Job job) EXCLUDES(lock_);
  // The outcomes of the jobs finished since the last call, in the order
  // they finished. With wait, blocks until there is at least one while
  // any job is open. Rethrows the exception of a job that threw.
  std::vector<Finished> takeFinished(bool wait) EXCLUDES(lock_);
  // Jobs submitted whose outcome has not been taken.
  size_t open() EXCLUDES(lock_);

 private:
  struct Queued {
    uint64_t ticket;
    std::string key;
    size_t heldBytes;
    Job job;
  };

  void work() EXCLUDES(lock_);
  // The first queued job whose key is not running; end() when none.
  std::deque<Queued>::iterator nextRunnable() REQUIRES(lock_);
  bool hasRoomFor(size_t heldBytes) REQUIRES(lock_);

  Mutex lock_;
  std::condition_variable changed_;  // waits on lock_.native()
  std::deque<Queued> queued_ GUARDED_BY(lock_);
  std::unordered_set<std::string> runningKeys_ GUARDED_BY(lock_);
  std::vector<Finished> finished_ GUARDED_BY(lock_);
  std::exception_ptr failure_ GUARDED_BY(lock_);
  size_t open_ GUARDED_BY(lock_) = 0;       // submitted, outcome not taken
  size_t inFlight_ GUARDED_BY(lock_) = 0;   // queued or running
  size_t heldBytes_ GUARDED_BY(lock_) = 0;
  uint64_t nextTicket_ GUARDED_BY(lock_) = 1;
  bool stopping_ GUARDED_BY(lock_) = false;
  std::vector<std::thread> workers_;  // last: they start once the rest is set up
};

// The key under which applies of path never run at once: path with ASCII
// letters folded to lower case.
std::string applyKey(const std::string& path);

}  // namespace quor
