#include "client/rate_limit.h"

namespace quor {

std::optional<uint64_t> parseRateText(const std::string& text) {
  constexpr uint64_t kMostBytesPerSecond = uint64_t{1} << 40;
  if (text.empty() || text.size() > 16) return std::nullopt;
  uint64_t value = 0;
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
    ++digits;
  }
  if (digits == 0 || digits + 1 < text.size()) return std::nullopt;
  uint64_t unit = 1;
  if (digits < text.size()) {
    switch (text[digits]) {
      case 'k': case 'K': unit = uint64_t{1} << 10; break;
      case 'm': case 'M': unit = uint64_t{1} << 20; break;
      case 'g': case 'G': unit = uint64_t{1} << 30; break;
      default: return std::nullopt;
    }
  }
  if (value == 0 || value > kMostBytesPerSecond / unit) return std::nullopt;
  return value * unit;
}

RateGate::RateGate(uint64_t bytesPerSecond, Clock::time_point start, uint64_t receivedAtStart)
    : bytesPerSecond_(bytesPerSecond), start_(start), receivedAtStart_(receivedAtStart) {}

uint64_t RateGate::allowance(Clock::time_point now) const {
  if (now <= start_) return 0;
  auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - start_).count();
  // In microseconds and bytes: exact for rates up to 1 TiB/s over weeks.
  return static_cast<uint64_t>(static_cast<double>(bytesPerSecond_) * static_cast<double>(elapsed) / 1e6);
}

bool RateGate::allows(uint64_t received, uint64_t inFlight, uint64_t request,
                      Clock::time_point now) const {
  uint64_t got = received >= receivedAtStart_ ? received - receivedAtStart_ : 0;
  return got + inFlight + request <= allowance(now) + bytesPerSecond_ / kSlackDivisor;
}

}  // namespace quor
