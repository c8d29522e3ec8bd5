#include "update/apply_pool.h"

#include <algorithm>
#include <utility>

namespace quor {

unsigned ApplyPool::workersForThisMachine() {
  return std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
}

ApplyPool::ApplyPool(unsigned workers) {
  for (unsigned i = 0; i < std::max(workers, 1u); ++i) workers_.emplace_back([this] { work(); });
}

ApplyPool::~ApplyPool() {
  {
    MutexLock lock(&lock_);
    stopping_ = true;
    queued_.clear();
  }
  changed_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool ApplyPool::hasRoomFor(size_t heldBytes) {
  if (inFlight_ == 0) return true;
  return inFlight_ < kMaxJobsInFlight && heldBytes_ + heldBytes <= kMaxHeldBytes;
}

uint64_t ApplyPool::submit(std::string key, size_t heldBytes, Job job) {
  uint64_t ticket;
  {
    MutexLock lock(&lock_);
    std::unique_lock<std::mutex> lent(lock_.native(), std::adopt_lock);
    while (!hasRoomFor(heldBytes)) changed_.wait(lent);
    lent.release();
    ticket = nextTicket_++;
    queued_.push_back({ticket, std::move(key), heldBytes, std::move(job)});
    ++open_;
    ++inFlight_;
    heldBytes_ += heldBytes;
  }
  changed_.notify_all();
  return ticket;
}

std::vector<ApplyPool::Finished> ApplyPool::takeFinished(bool wait) {
  MutexLock lock(&lock_);
  std::unique_lock<std::mutex> lent(lock_.native(), std::adopt_lock);
  while (wait && finished_.empty() && !failure_ && open_ != 0) changed_.wait(lent);
  lent.release();
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  open_ -= finished_.size();
  return std::exchange(finished_, {});
}

size_t ApplyPool::open() {
  MutexLock lock(&lock_);
  return open_;
}

std::deque<ApplyPool::Queued>::iterator ApplyPool::nextRunnable() {
  auto next = queued_.begin();
  while (next != queued_.end() && runningKeys_.count(next->key) != 0) ++next;
  return next;
}

void ApplyPool::work() {
  for (;;) {
    Queued job;
    {
      MutexLock lock(&lock_);
      std::unique_lock<std::mutex> lent(lock_.native(), std::adopt_lock);
      while (!stopping_ && nextRunnable() == queued_.end()) changed_.wait(lent);
      lent.release();
      if (stopping_) return;
      auto next = nextRunnable();
      job = std::move(*next);
      queued_.erase(next);
      runningKeys_.insert(job.key);
    }
    Finished finished{job.ticket};
    std::exception_ptr thrown;
    try {
      finished.outcome = job.job();
    } catch (...) {
      thrown = std::current_exception();
    }
    job.job = nullptr;  // the data it held goes before the room is made
    {
      MutexLock lock(&lock_);
      runningKeys_.erase(job.key);
      --inFlight_;
      heldBytes_ -= job.heldBytes;
      if (thrown) {
        if (!failure_) failure_ = thrown;
        --open_;
      } else {
        finished_.push_back(finished);
      }
    }
    changed_.notify_all();
  }
}

std::string applyKey(const std::string& path) {
  std::string key = path;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace quor
