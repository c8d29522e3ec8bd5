// The web servers of the HTTP tests, fetched from with libcurl against the
// system trust store, as the player fetches.
#include "nginx_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "http_fetch.h"

namespace quor::testing {
namespace {

using Fetched = HttpFetched;

// range: "a-b" for a Range request.
Fetched fetch(const std::string& url, const std::string& range = "", long timeoutMs = 20000) {
  HttpRequest request;
  request.range = range;
  request.timeoutMs = timeoutMs;
  request.http2 = true;
  return httpFetch(url, request);
}

std::string bytesOf(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes = randomBytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

class NginxServerTest : public ::testing::Test {
 protected:
  void SetUp() override { curl_global_init(CURL_GLOBAL_DEFAULT); }
  void TearDown() override { curl_global_cleanup(); }
};

TEST_F(NginxServerTest, ServesWholeFilesRangesAndFailures) {
  NginxServer server;
  std::string content = bytesOf(5000, 1);
  writeFile(server.root() + "/1.compressed", content);

  Fetched whole = fetch(server.url() + "1.compressed");
  ASSERT_EQ(whole.result, CURLE_OK) << curl_easy_strerror(whole.result);
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.httpVersion, CURL_HTTP_VERSION_2_0);
  EXPECT_TRUE(whole.body == content);
  Fetched piece = fetch(server.url() + "1.compressed", "10-19");
  EXPECT_EQ(piece.status, 206);
  EXPECT_EQ(piece.body, content.substr(10, 10));
  EXPECT_EQ(fetch(server.url() + "missing").status, 404);
  server.waitForOriginRequests(3, 5000);
  EXPECT_EQ(server.originHitsFor("/1.compressed"), 2);
  EXPECT_EQ(server.originRequests().at(1).range, "bytes=10-19");

  NginxOptions options;
  options.root = server.root();
  options.ignoreRange = true;
  NginxServer ignoring(options);
  Fetched ignored = fetch(ignoring.url() + "1.compressed", "10-19");
  EXPECT_EQ(ignored.status, 200);
  EXPECT_EQ(ignored.body.size(), content.size());

  options.ignoreRange = false;
  options.tls = false;
  NginxServer plain(options);
  EXPECT_EQ(plain.url().rfind("http://localhost:", 0), 0u);
  EXPECT_EQ(fetch(plain.url() + "1.compressed", "0-0").body, content.substr(0, 1));

  options.tls = true;
  options.unavailable = true;
  NginxServer down(options);
  EXPECT_EQ(fetch(down.url() + "1.compressed").status, 503);

  StallingTcpServer stalling;
  EXPECT_EQ(fetch(stalling.url() + "1.compressed", "", 300).result, CURLE_OPERATION_TIMEDOUT);
  EXPECT_GE(stalling.accepted(), 1);

  try {
    options.originDirectives = "no_such_directive on;";
    NginxServer broken(options);
    ADD_FAILURE() << "nginx started with a bad directive";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("no_such_directive"), std::string::npos) << error.what();
  }
}

TEST_F(NginxServerTest, EdgeFetchesEachSliceFromTheOriginOnce) {
  NginxOptions options;
  options.edge = true;
  NginxServer server(options);
  const size_t size = (5 << 20) / 2 + 5;  // three 1 MiB slices
  std::string content = bytesOf(size, 2);
  writeFile(server.root() + "/7.compressed", content);
  writeFile(server.root() + "/current", "0123456789abcdef\n");

  for (int round = 0; round < 2; ++round) {
    Fetched whole = fetch(server.edgeUrl() + "7.compressed");
    ASSERT_EQ(whole.result, CURLE_OK) << curl_easy_strerror(whole.result);
    EXPECT_EQ(whole.status, 200);
    EXPECT_TRUE(whole.body == content);
  }
  Fetched across = fetch(server.edgeUrl() + "7.compressed", "1048570-1048589");
  EXPECT_EQ(across.status, 206);
  EXPECT_EQ(across.body, content.substr(1048570, 20));
  server.waitForOriginRequests(3, 5000);
  EXPECT_EQ(server.originHitsFor("/7.compressed"), 3);
  EXPECT_EQ(server.originBytes()["/7.compressed"], size);
  EXPECT_EQ(server.originRequests().at(0).range, "bytes=0-1048575");

  // The pointer to the release is never cached.
  EXPECT_EQ(fetch(server.edgeUrl() + "current").body, "0123456789abcdef\n");
  EXPECT_EQ(fetch(server.edgeUrl() + "current").status, 200);
  server.waitForOriginRequests(5, 5000);
  EXPECT_EQ(server.originHitsFor("/current"), 2);

  // Eight players at once on a file the edge has not seen.
  std::string other = bytesOf(size, 3);
  writeFile(server.root() + "/8.compressed", other);
  std::vector<Fetched> players(8);
  std::vector<std::thread> threads;
  for (Fetched& player : players) {
    threads.emplace_back([&] { player = fetch(server.edgeUrl() + "8.compressed"); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const Fetched& player : players) EXPECT_TRUE(player.body == other);
  EXPECT_TRUE(server.originRepeats().empty()) << server.originRepeats().front();
  EXPECT_EQ(server.originBytes()["/8.compressed"], size);
}

}  // namespace
}  // namespace quor::testing
