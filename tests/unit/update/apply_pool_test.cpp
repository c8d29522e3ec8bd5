// The apply pool: jobs of other keys run side by side, two of one key
// (letter case folded) never do; every outcome comes back once, and a
// job's exception reaches the caller.
#include "update/apply_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <new>
#include <thread>

namespace quor {
namespace {

using namespace std::chrono_literals;

std::map<uint64_t, ApplyOutcome> takeAll(ApplyPool& pool) {
  std::map<uint64_t, ApplyOutcome> outcomes;
  while (pool.open() != 0) {
    for (const ApplyPool::Finished& finished : pool.takeFinished(true)) {
      EXPECT_TRUE(outcomes.emplace(finished.ticket, finished.outcome).second);
    }
  }
  return outcomes;
}

TEST(ApplyPool, KeysKeepSpellingsOfOneNameApartWhileOthersRunSideBySide) {
  ApplyPool pool(2);
  // The second job of another key starts while the first still runs: the
  // first waits for it (bounded, so a pool that ran them one by one fails
  // rather than hangs).
  std::promise<void> secondStarted;
  auto started = secondStarted.get_future();
  bool overlapped = false;
  uint64_t first = pool.submit(applyKey("data/a.pak"), 0, [&] {
    overlapped = started.wait_for(10s) == std::future_status::ready;
    return ApplyOutcome::kWritten;
  });
  uint64_t second = pool.submit(applyKey("data/b.pak"), 0, [&] {
    secondStarted.set_value();
    return ApplyOutcome::kPatched;
  });
  std::map<uint64_t, ApplyOutcome> outcomes = takeAll(pool);
  EXPECT_TRUE(overlapped);
  EXPECT_EQ(outcomes.at(first), ApplyOutcome::kWritten);
  EXPECT_EQ(outcomes.at(second), ApplyOutcome::kPatched);

  // Many jobs under two spellings of one name: never two at once.
  EXPECT_EQ(applyKey("Data/README.TXT"), applyKey("data/readme.txt"));
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  for (int i = 0; i < 40; ++i) {
    pool.submit(applyKey(i % 2 ? "Data/README.TXT" : "data/readme.txt"), 1000, [&] {
      int now = ++running;
      most = std::max(most.load(), now);
      std::this_thread::sleep_for(1ms);
      --running;
      return ApplyOutcome::kNotWritten;
    });
  }
  EXPECT_EQ(takeAll(pool).size(), 40u);
  EXPECT_EQ(most.load(), 1);
}

TEST(ApplyPool, AJobsExceptionReachesTheCaller) {
  ApplyPool pool(1);
  pool.submit("a", 0, []() -> ApplyOutcome { throw std::bad_alloc(); });
  pool.submit("b", 0, [] { return ApplyOutcome::kWritten; });
  EXPECT_THROW(takeAll(pool), std::bad_alloc);
}

}  // namespace
}  // namespace quor
