// Jobs run on several threads whose results are taken in order: the
// results, and anything done with them (log lines, a manifest), come out
// the same whatever the count of threads.
#pragma once

#include <cstddef>
#include <functional>

namespace quor {

// Calls job(i) for i = 0 … count − 1 on `threads` threads of its own (at
// least one, at most count), each thread taking the next index when it is
// free, and calls commit(i) on the calling thread in index order, each as
// soon as job(i) and every commit before it are done. When a commit returns
// false no further job starts and the call returns false once the running
// ones have ended; otherwise it returns true after the last commit.
// job runs on several threads at once, with different indexes; commit only
// on the caller's. Costs `threads` threads for the length of the call; when
// not one can be started, the jobs run on the calling thread.
bool runOrderedJobs(size_t count, unsigned threads, const std::function<void(size_t)>& job,
                    const std::function<bool(size_t)>& commit);

}  // namespace quor
