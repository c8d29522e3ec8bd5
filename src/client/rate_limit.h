// The download rate cap (--limit-rate): a gate the client's requests pass
// before they are sent.
//
// The client cannot slow a server's sending once a reply is on its way, so
// it caps what it asks for: a request may go when the bytes received since
// the cap began, plus what the requests still unanswered may bring, plus
// the new request's own, stay within the cap's allowance for the time
// passed and a tenth of a second's worth more. Whatever a reply really
// brings is counted once it has arrived, so replies of unknown size (whole
// files) even out. A request larger than that slack waits until the
// allowance has grown enough, so the rate holds from the first request on.
//
// Not locked: the network client keeps it under its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quor {

// "500k", "2M", "1g" or a plain number of bytes per second, as curl reads
// them (k, m, g: 1024, 1024², 1024³, either case). None for anything else,
// 0 and values past 1 TiB/s included.
std::optional<uint64_t> parseRateText(const std::string& text);

class RateGate {
 public:
  using Clock = std::chrono::steady_clock;

  RateGate(uint64_t bytesPerSecond, Clock::time_point start, uint64_t receivedAtStart);

  // received: every byte received so far; inFlight: what the unanswered
  // requests may still bring; request: what the new one may bring.
  static constexpr uint32_t kSlackDivisor = 10;
  bool allows(uint64_t received, uint64_t inFlight, uint64_t request, Clock::time_point now) const;

  uint64_t bytesPerSecond() const { return bytesPerSecond_; }

 private:
  uint64_t allowance(Clock::time_point now) const;

  uint64_t bytesPerSecond_;
  Clock::time_point start_;
  uint64_t receivedAtStart_;
};

}  // namespace quor
