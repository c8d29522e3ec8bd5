// The bookkeeping behind lines that a peer can cause at will (a malformed
// packet, a refused request): of each kind of line, the first kBurst in
// an interval pass; the rest are counted, and once the interval has ended
// the count comes back as one summary for the log to write. So a flood
// costs one line per kind and interval, not one per packet.
//
// Memory: one entry per kind seen in the current interval, at most
// kMaxKinds; beyond that, new kinds share one entry. Plain bookkeeping,
// not locked: the log keeps it under its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quor {

class RepeatLimit {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr uint32_t kBurst = 20;
  static constexpr Clock::duration kInterval = std::chrono::seconds(5);
  static constexpr size_t kMaxKinds = 4096;

  struct Summary {
    uint64_t leftOut = 0;
    std::string lastText;  // the last line left out
  };

  // Whether a line of kind may be written now; when not, it is counted.
  bool admit(const std::string& kind, const std::string& text, Clock::time_point now);

  // Removes the kinds whose interval has ended (every kind when all) and
  // returns a summary for each that left lines out.
  std::vector<Summary> takeEnded(Clock::time_point now, bool all = false);

  // Whether some kind has lines left out that no summary told yet.
  bool pending() const { return kindsLeavingOut_ != 0; }

 private:
  struct Kind {
    Clock::time_point since;
    uint32_t passed = 0;
    Summary leftOut;
  };
  std::unordered_map<std::string, Kind> kinds_;
  size_t kindsLeavingOut_ = 0;
};

}  // namespace quor
