// Fitting the number of connections to the line they share.
//
// The client opens connections by the round trip alone: enough windows of
// 64 KiB to fill a fast line at that distance. On a slow line their windows
// together overflow the queue in front of it: datagrams are dropped in
// bursts, ENet's resend waits double, and the line idles between them
// while every request waits. Measured at 50 ms on a 10 Mbit/s line: 16
// connections carried 0.68 MB/s, one carried 1.19, and for the first 25 s
// of a run almost nothing came at all.
//
// What shows it: the connections that have requests waiting move less
// than a quarter of what their windows allow over the round trip measured
// unloaded. Then the client keeps windows for twice what the line held
// (at least 2 connections). Random loss on a fast line looks alike at first, but
// there fewer connections carry less: a step that loses more than a fifth
// of the rate is taken back, and no step down is taken after that.
// Connections that all fill their windows are doubled again, up to the
// count the round trip chose.
//
// Plain arithmetic fed by the network thread once per pass; not locked
// (the network client keeps it under its own lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "client/connection_set.h"

namespace quor {

// What the network thread sees on one pass.
struct LineSample {
  ConnectionClock::time_point now;
  uint64_t receivedBytes = 0;  // every byte received so far
  size_t open = 0;             // connected connections
  size_t busy = 0;             // of those, the ones with requests waiting
};

class ConnectionFit {
 public:
  // Each connection keeps at most this much reliable data in flight.
  static constexpr uint64_t kWindowBytes = 64 * 1024;
  // Rates are judged over spans of this length, each begun once the count
  // has settled.
  static constexpr ConnectionClock::duration kMeasureTime = std::chrono::seconds(3);
  // A count the set does not reach by then (a connect refused) is taken as
  // what it reached.
  static constexpr ConnectionClock::duration kSettleTime = std::chrono::seconds(10);

  // roundTrip: measured before the load (the connect); most: the count the
  // round trip chose, which the set has at first.
  ConnectionFit(ConnectionClock::duration roundTrip, size_t most, const LineSample& first);

  // Takes one pass's look; returns the count to move to when it changes.
  std::optional<size_t> observe(const LineSample& sample);

 private:
  struct Span {
    ConnectionClock::time_point start;
    uint64_t bytesAtStart = 0;
    uint32_t samples = 0;
    uint64_t busySum = 0;
    uint32_t allBusySamples = 0;
  };
  void startSpan(const LineSample& sample);
  std::optional<size_t> judge(double bytesPerSecond, double meanBusy, bool allBusy, size_t open);

  double roundTripSeconds_;
  size_t most_;
  size_t target_;
  ConnectionClock::time_point changedAt_;
  Span span_;
  // Set after a step down until the span after it is judged.
  size_t trimmedFrom_ = 0;
  double rateBeforeTrim_ = 0;
  bool trimsStopped_ = false;
};

}  // namespace quor
