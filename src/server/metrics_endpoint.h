// update_server's HTTP endpoint for operators (--metrics ADDRESS:PORT).
//   GET /metrics  200, the counters of server/server_metrics.h in
//                 Prometheus' text format;
//   GET /healthz  200 "ok" while healthy() says the server serves (its
//                 data folder readable), else 503 with the reason;
//   anything else 404.
// libmicrohttpd serves it on a thread of its own, at most kMaxScrapers
// connections at once, each dropped after kScrapeTimeoutSeconds idle: the
// ENet thread never waits for it. Linux only for now: the Windows build
// has no libmicrohttpd.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/status.h"
#include "server/server_metrics.h"

namespace quor {

inline constexpr unsigned kMaxScrapers = 8;
inline constexpr unsigned kScrapeTimeoutSeconds = 5;

class MetricsEndpoint {
 public:
  // healthy returns "" when healthy, else why not; called on the
  // endpoint's thread, so it must be safe there.
  using HealthCheck = std::function<std::string()>;

  // Listens on address (a dotted IPv4 address) and port; port 0 takes a
  // free one (port() tells which). metrics and healthy must outlive the
  // endpoint.
  static Status start(const std::string& address, uint16_t port, const ServerMetrics& metrics,
                      HealthCheck healthy, std::unique_ptr<MetricsEndpoint>* endpoint);
  // Stops the thread; a scrape in progress is cut.
  ~MetricsEndpoint();

  uint16_t port() const { return port_; }

  struct State;  // the daemon's, reached from its callback

 private:
  MetricsEndpoint() = default;
  std::unique_ptr<State> state_;
  uint16_t port_ = 0;
};

}  // namespace quor
