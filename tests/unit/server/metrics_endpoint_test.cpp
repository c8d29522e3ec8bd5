// The operators' endpoint: the metrics as Prometheus reads them (checked
// by promtool where it is installed), the health answer, and what else a
// client may send.
#ifndef _WIN32
#include "server/metrics_endpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "http_fetch.h"
#include "test_support.h"

namespace quor {
namespace {

using Fetched = testing::HttpFetched;

Fetched get(uint16_t port, const std::string& path, const char* method = "GET") {
  testing::HttpRequest request;
  request.method = method;
  request.timeoutMs = 10000;
  return testing::httpFetch("http://127.0.0.1:" + std::to_string(port) + path, request);
}

TEST(MetricsEndpoint, ServesMetricsPromtoolAcceptsAndHealthFollowsTheServer) {
  ServerMetrics metrics;
  metrics.connects += 3;
  metrics.sentBytes += 123456789012ULL;
  metrics.connections = 2;
  std::atomic<bool> healthy{true};
  std::unique_ptr<MetricsEndpoint> endpoint;
  ASSERT_TRUE(MetricsEndpoint::start("127.0.0.1", 0, metrics,
                                     [&] { return healthy ? std::string() : std::string("no manifest"); },
                                     &endpoint)
                  .ok());
  ASSERT_NE(endpoint->port(), 0);

  Fetched scraped = get(endpoint->port(), "/metrics");
  EXPECT_EQ(scraped.status, 200);
  EXPECT_NE(scraped.body.find("\nquor_update_server_connects_total 3\n"), std::string::npos);
  EXPECT_NE(scraped.body.find("\nquor_update_server_sent_bytes_total 123456789012\n"), std::string::npos);
  EXPECT_NE(scraped.body.find("\nquor_update_server_connections 2\n"), std::string::npos);
  if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
    testing::TempDir dir;
    testing::writeFile(dir / "metrics.txt", scraped.body);
    std::string check = "promtool check metrics < '" + std::string(dir / "metrics.txt") + "' 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << scraped.body;
  }

  EXPECT_EQ(get(endpoint->port(), "/healthz").body, "ok\n");
  healthy = false;
  Fetched sick = get(endpoint->port(), "/healthz");
  EXPECT_EQ(sick.status, 503);
  EXPECT_EQ(sick.body, "no manifest\n");
  EXPECT_EQ(get(endpoint->port(), "/other").status, 404);
  EXPECT_EQ(get(endpoint->port(), "/metrics", "POST").status, 405);

  // A second endpoint on the same port is refused; a bad address too.
  std::unique_ptr<MetricsEndpoint> clash;
  EXPECT_FALSE(MetricsEndpoint::start("127.0.0.1", endpoint->port(), metrics, [] { return std::string(); }, &clash).ok());
  EXPECT_FALSE(MetricsEndpoint::start("localhost:9", 0, metrics, [] { return std::string(); }, &clash).ok());
}

}  // namespace
}  // namespace quor
#endif
