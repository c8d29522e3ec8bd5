// Which connections do not take their data: a peer that asks for many
// pieces and then barely reads (acknowledging just enough to keep ENet
// from timing out) would otherwise hold its share of the server's bounds
// and its slot for as long as it likes, and the idle sweep never closes a
// connection with data in flight.
//
// A connection with data in flight is looked at over windows of
// DrainLimits::window: in each, what was in flight when it began must be
// acknowledged, or at least bytesPerSecond for the window's length,
// whichever is less; the slowest line a player may have still passes.
//
// Cost: O(1) per look; acknowledged() is asked at most twice per window.
// Not locked: the server's thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace quor {

struct DrainLimits {
  std::chrono::steady_clock::duration window = std::chrono::seconds(20);
  // 64 kbit/s: a 1 MiB piece in about two minutes.
  uint64_t bytesPerSecond = 8u << 10;
};

class DrainWatch {
 public:
  using Clock = std::chrono::steady_clock;

  DrainWatch(size_t slotCount, DrainLimits limits = {});

  // A new peer took the slot, or its peer left.
  void reset(size_t slot);

  // True when the peer of slot, with inFlight bytes in flight now, did not
  // drain enough in the window that ends now. acknowledged tells how many
  // of its bytes it has acknowledged since the slot's reset, in total.
  bool stalled(size_t slot, Clock::time_point now, uint64_t inFlight,
               const std::function<uint64_t()>& acknowledged);

  const DrainLimits& limits() const { return limits_; }

 private:
  struct Window {
    std::optional<Clock::time_point> start;
    uint64_t acknowledgedAtStart = 0;
    uint64_t inFlightAtStart = 0;
  };

  DrainLimits limits_;
  std::vector<Window> windows_;
};

}  // namespace quor
