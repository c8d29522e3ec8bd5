#include "server/drain_watch.h"

#include <algorithm>

namespace quor {

DrainWatch::DrainWatch(size_t slotCount, DrainLimits limits) : limits_(limits), windows_(slotCount) {}

void DrainWatch::reset(size_t slot) { windows_[slot] = Window{}; }

bool DrainWatch::stalled(size_t slot, Clock::time_point now, uint64_t inFlight,
                         const std::function<uint64_t()>& acknowledged) {
  Window& window = windows_[slot];
  if (inFlight == 0) {
    window.start.reset();
    return false;
  }
  if (window.start && now - *window.start < limits_.window) return false;
  uint64_t done = acknowledged();
  if (window.start) {
    double seconds = std::chrono::duration<double>(now - *window.start).count();
    auto due = std::min<uint64_t>(window.inFlightAtStart,
                                  static_cast<uint64_t>(seconds * double(limits_.bytesPerSecond)));
    if (done - window.acknowledgedAtStart < due) return true;
  }
  window = Window{now, done, inFlight};
  return false;
}

}  // namespace quor
