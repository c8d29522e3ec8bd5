// What update_server counts for its operators, and their text in
// Prometheus' exposition format (version 0.0.4) for GET /metrics
// (server/metrics_endpoint.h).
//
// The ENet thread updates the counters with relaxed atomic adds; the
// endpoint's thread reads them whenever a scraper asks. No lock is shared,
// so a slow or flooding scraper can never hold up a player. A scrape may
// see one counter a moment ahead of another; each is exact on its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace quor {

struct ServerMetrics {
  // Counters, only ever going up.
  std::atomic<uint64_t> connects{0};
  std::atomic<uint64_t> disconnects{0};
  std::atomic<uint64_t> sentBytes{0};         // reply bytes handed to ENet
  std::atomic<uint64_t> wholeReplies{0};      // FileReplies with content
  std::atomic<uint64_t> rangeReplies{0};      // FileRangeReplies with content
  std::atomic<uint64_t> refusedRequests{0};   // names not served: empty replies
  std::atomic<uint64_t> busyRequests{0};      // answered busy: no room in the queues
  std::atomic<uint64_t> droppedRequests{0};   // not understood, or over a limit
  std::atomic<uint64_t> stalledClosed{0};     // connections closed as stalled
  std::atomic<uint64_t> idleClosed{0};        // connections closed as idle
  // Gauges.
  std::atomic<int64_t> connections{0};
  std::atomic<int64_t> queuedReplyBytes{0};   // waiting in the reply scheduler
  std::atomic<int64_t> freeSlots{0};          // peers the host can still take
  std::atomic<int64_t> dataFiles{0};          // in the folder served
  std::atomic<int64_t> dataBytes{0};
  std::atomic<int64_t> startTimeSeconds{0};   // since 1970
  std::atomic<int64_t> serving{0};            // 1 while the server listens
};

// Every metric with its HELP and TYPE lines, names prefixed
// "quor_update_server_", counters ending "_total", sizes "_bytes".
std::string renderMetrics(const ServerMetrics& metrics);

}  // namespace quor
