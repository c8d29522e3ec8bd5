#include "create/ordered_jobs.h"

#include <algorithm>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <vector>

#include "base/mutex.h"

namespace quor {
namespace {

class OrderedJobs {
 public:
  OrderedJobs(size_t count, const std::function<void(size_t)>& job)
      : count_(count), job_(job), done_(count, false) {}

  // Runs jobs until none is left or the run was stopped.
  void work() EXCLUDES(mutex_) {
    for (;;) {
      size_t index;
      {
        MutexLock lock(&mutex_);
        if (stopped_ || next_ == count_) return;
        index = next_++;
      }
      job_(index);
      {
        MutexLock lock(&mutex_);
        done_[index] = true;
      }
      finished_.notify_all();
    }
  }

  void waitFor(size_t index) EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    while (!done_[index]) finished_.wait(mutex_);
  }

  void stop() EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    stopped_ = true;
  }

 private:
  const size_t count_;
  const std::function<void(size_t)>& job_;
  Mutex mutex_;
  std::condition_variable_any finished_;  // a job is done
  size_t next_ GUARDED_BY(mutex_) = 0;    // the next index to start
  bool stopped_ GUARDED_BY(mutex_) = false;
  std::vector<bool> done_ GUARDED_BY(mutex_);
};

}  // namespace

bool runOrderedJobs(size_t count, unsigned threads, const std::function<void(size_t)>& job,
                    const std::function<bool(size_t)>& commit) {
  OrderedJobs jobs(count, job);
  std::vector<std::thread> workers;
  size_t wanted = std::min<size_t>(std::max(threads, 1u), count);
  for (size_t i = 0; i < wanted; ++i) {
    try {
      workers.emplace_back([&jobs] { jobs.work(); });
    } catch (const std::system_error&) {
      break;  // the threads already started share the work
    }
  }
  bool committed = true;
  for (size_t index = 0; index < count; ++index) {
    if (workers.empty()) {
      job(index);
    } else {
      jobs.waitFor(index);
    }
    if (!commit(index)) {
      committed = false;
      jobs.stop();
      break;
    }
  }
  for (std::thread& worker : workers) worker.join();
  return committed;
}

}  // namespace quor
