// How long the update run waits for one reply (the manifest or a file).
//
// A reply has not come when the server has sent nothing for the time limit
// (14 s). Counting from the request alone would make any file that takes
// longer than that to transfer, a large one over a slow line, fail on every
// run, and the updater would restart for ever. So the clock starts again
// whenever kProgressBytes more have arrived from the server: a reply on its
// way keeps the wait going, while ENet's keep-alive traffic (well under
// 100 bytes a second) does not. No wait outlasts kLongestReplyWait, so a
// server that trickles data without ever finishing cannot hold the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace quor {

inline constexpr std::chrono::milliseconds kReplyTimeLimit{14000};
inline constexpr std::chrono::milliseconds kLongestReplyWait{30 * 60 * 1000};
inline constexpr uint64_t kProgressBytes = 64 * 1024;

struct ReplyWait {
  // Implicit, so that a plain time limit serves where a ReplyWait is asked.
  ReplyWait(std::chrono::milliseconds idleLimit = kReplyTimeLimit);

  std::chrono::milliseconds idleLimit;
  std::chrono::milliseconds longest = kLongestReplyWait;
  uint64_t progressBytes = kProgressBytes;
  // Bytes received from the server so far (UpdateSource::bytesReceived);
  // left as it is, none ever come, and only time ends a wait.
  std::function<uint64_t()> receivedBytes;
  // When set and true, the server is gone and no reply can come: the wait
  // ends at once. Update mode sets it; left empty, only time ends a wait.
  std::function<bool()> serverGone;
};

// The clock of one wait, started when the wait begins.
class ReplyWaitClock {
 public:
  using Clock = std::chrono::steady_clock;

  ReplyWaitClock(const ReplyWait& wait, Clock::time_point now);

  // True once more than idleLimit has passed since the start or since the
  // last progress, or more than longest since the start, or once the
  // server is gone.
  bool expired(Clock::time_point now);

 private:
  const ReplyWait& wait_;
  Clock::time_point start_;
  Clock::time_point lastProgress_;
  uint64_t bytesAtLastProgress_;
};

}  // namespace quor
