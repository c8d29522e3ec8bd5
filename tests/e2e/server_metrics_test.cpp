// update_server's endpoint for operators, end to end: what a player's
// install leaves in /metrics (as promtool reads it), that scrapers which
// stall or flood hold up no player and the endpoint recovers from them,
// and /healthz while the data set is there and once its manifest is gone.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "http_fetch.h"
#include "server/metrics_endpoint.h"
#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

using Fetched = HttpFetched;

Fetched fetch(const std::string& url) {
  HttpRequest request;
  request.timeoutMs = 10000;
  return httpFetch(url, request);
}

// A connection to the endpoint on 127.0.0.1:port, sending without waiting.
int connectTo(uint16_t port) {
  int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fcntl(socket, F_SETFL, O_NONBLOCK);
  return socket;
}

// Every connection the endpoint takes at once, each with half a request,
// and one more flooding it with header bytes until it stops reading.
std::vector<int> stallAndFlood(uint16_t port) {
  std::vector<int> sockets;
  for (unsigned i = 0; i < kMaxScrapers; ++i) {
    sockets.push_back(connectTo(port));
    EXPECT_EQ(send(sockets.back(), "GET /metr", 9, 0), 9);
  }
  sockets.push_back(connectTo(port));
  std::string flood = "GET /metrics HTTP/1.1\r\nX-Junk: " + std::string(1 << 20, 'a');
  (void)!send(sockets.back(), flood.data(), flood.size(), MSG_NOSIGNAL);
  return sockets;
}

// The value of one metric in a scrape; -1 when it is not there.
long long metric(const std::string& scrape, const std::string& name) {
  std::smatch found;
  if (!std::regex_search(scrape, found, std::regex("\n" + name + " ([0-9]+)\n"))) return -1;
  return std::stoll(found[1]);
}

TEST(ServerMetrics, AnInstallShowsInTheMetricsAndHealthFollowsTheDataSet) {
  UpdateScenario scenario;
  scenario.publish(versionOne(), versionTwo());
  scenario.startServer("", {"--metrics", "127.0.0.1:0"});
  ASSERT_TRUE(scenario.server()->waitForOutput("/metrics and /healthz"));
  std::smatch found;
  std::string output = scenario.serverOutput();
  ASSERT_TRUE(std::regex_search(output, found, std::regex("http://127\\.0\\.0\\.1:([0-9]+)/metrics")));
  std::string base = "http://127.0.0.1:" + found[1].str();
  EXPECT_EQ(fetch(base + "/healthz").body, "ok\n");

  std::vector<int> hostile = stallAndFlood(static_cast<uint16_t>(std::stoi(found[1].str())));
  std::string player = scenario.makePlayer("v1", versionOne());
  ASSERT_EQ(scenario.runUpdater(player).exitCode, 0);
  // Stalled scrapers are dropped after their idle time; the next is served.
  Fetched scraped = fetch(base + "/metrics");
  for (int socket : hostile) close(socket);
  ASSERT_EQ(scraped.status, 200);
  const std::string prefix = "quor_update_server_";
  EXPECT_GE(metric(scraped.body, prefix + "connects_total"), 1);
  EXPECT_GE(metric(scraped.body, prefix + "whole_replies_total") +
                metric(scraped.body, prefix + "range_replies_total"),
            4);  // the manifest, the index and the files
  EXPECT_GT(metric(scraped.body, prefix + "sent_bytes_total"), 0);
  EXPECT_EQ(metric(scraped.body, prefix + "serving"), 1);
  EXPECT_GT(metric(scraped.body, prefix + "data_files"), 4);
  if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
    std::string file = scenario.root() / "scrape.txt";
    writeFile(file, scraped.body);
    EXPECT_EQ(std::system(("promtool check metrics < '" + file + "'").c_str()), 0) << scraped.body;
  }

  fs::remove(scenario.dataFolder() + "/manifest.manifest");
  Fetched sick = fetch(base + "/healthz");
  EXPECT_EQ(sick.status, 503);
  EXPECT_NE(sick.body.find("manifest.manifest"), std::string::npos);
}

}  // namespace
}  // namespace quor::testing
