#include "update/reply_wait.h"


namespace quor {

ReplyWait::ReplyWait(std::chrono::milliseconds idleLimit)
    : idleLimit(idleLimit), receivedBytes([] { return uint64_t{0}; }) {}

ReplyWaitClock::ReplyWaitClock(const ReplyWait& wait, Clock::time_point now)
    : wait_(wait), start_(now), lastProgress_(now), bytesAtLastProgress_(wait.receivedBytes()) {}

bool ReplyWaitClock::expired(Clock::time_point now) {
  if (wait_.serverGone && wait_.serverGone()) return true;
  uint64_t received = wait_.receivedBytes();
  if (received - bytesAtLastProgress_ >= wait_.progressBytes) {
    lastProgress_ = now;
    bytesAtLastProgress_ = received;
  }
  return now - lastProgress_ > wait_.idleLimit || now - start_ > wait_.longest;
}

}  // namespace quor
