#include "client/connection_fit.h"

#include <algorithm>
#include <cmath>

namespace quor {
namespace {

constexpr size_t kFewest = 2;
// Shares of what the busy connections' windows carry in a round trip.
constexpr double kTrimBelow = 0.25;
constexpr double kGrowAbove = 0.75;
// A step down keeps windows for twice what the line held: room for its
// rate to show, while an overfull queue empties.
constexpr double kKeptWindowsPerHeld = 2;
// A span counts as all busy when every connection had requests waiting on
// this share of the passes: otherwise the run, not the line, set the rate.
constexpr double kAllBusyShare = 0.9;
constexpr double kKeptAfterTrim = 0.8;

}  // namespace

ConnectionFit::ConnectionFit(ConnectionClock::duration roundTrip, size_t most,
                             const LineSample& first)
    : roundTripSeconds_(std::chrono::duration<double>(roundTrip).count()),
      most_(most),
      target_(most),
      changedAt_(first.now) {
  startSpan(first);
}

void ConnectionFit::startSpan(const LineSample& sample) {
  span_ = Span{sample.now, sample.receivedBytes, 0, 0, 0};
}

std::optional<size_t> ConnectionFit::observe(const LineSample& sample) {
  if (sample.open != target_) {
    if (sample.now - changedAt_ < kSettleTime) {
      startSpan(sample);
      return std::nullopt;
    }
    target_ = sample.open;
    trimmedFrom_ = 0;
  }
  ++span_.samples;
  span_.busySum += sample.busy;
  if (sample.busy >= sample.open) ++span_.allBusySamples;
  auto elapsed = sample.now - span_.start;
  if (elapsed < kMeasureTime) return std::nullopt;
  double rate = double(sample.receivedBytes - span_.bytesAtStart) /
                std::chrono::duration<double>(elapsed).count();
  double meanBusy = double(span_.busySum) / span_.samples;
  bool allBusy = span_.allBusySamples >= kAllBusyShare * span_.samples;
  startSpan(sample);

  std::optional<size_t> next;
  if (trimmedFrom_ != 0 && rate < kKeptAfterTrim * rateBeforeTrim_) {
    trimsStopped_ = true;
    next = trimmedFrom_;
  } else {
    next = judge(rate, meanBusy, allBusy, sample.open);
  }
  trimmedFrom_ = 0;
  if (next) {
    if (*next < sample.open) {
      trimmedFrom_ = sample.open;
      rateBeforeTrim_ = rate;
    }
    target_ = *next;
    changedAt_ = sample.now;
  }
  return next;
}

std::optional<size_t> ConnectionFit::judge(double bytesPerSecond, double meanBusy, bool allBusy,
                                           size_t open) {
  if (meanBusy < 1 || roundTripSeconds_ <= 0) return std::nullopt;
  double inFlight = bytesPerSecond * roundTripSeconds_;  // what the line held
  double used = inFlight / (double(kWindowBytes) * meanBusy);
  if (used < kTrimBelow && !trimsStopped_ && open > kFewest) {
    auto needed = static_cast<size_t>(std::ceil(kKeptWindowsPerHeld * inFlight / kWindowBytes));
    needed = std::max(needed, kFewest);
    if (needed < open) return needed;
    return std::nullopt;
  }
  if (used > kGrowAbove && allBusy && open < most_) return std::min(most_, open * 2);
  return std::nullopt;
}

}  // namespace quor
