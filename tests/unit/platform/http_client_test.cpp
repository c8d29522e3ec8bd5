#include "platform/http_client.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "test_support.h"
#ifndef _WIN32
#include "nginx_server.h"
#endif

namespace quor {
namespace {

using namespace std::chrono_literals;

// Records what a transfer hands on and checks the contract's order: head
// at most once and first, body only after it, end exactly once and last.
class Recorder : public HttpHandler {
 public:
  // onBody answers false once the body holds this many bytes.
  size_t stopAfter = SIZE_MAX;
  // While closed, the first onBody waits (bounded) for open().
  bool gated = false;

  bool onHead(const HttpHead& head) override {
    std::lock_guard<std::mutex> lock(mutex_);
    orderKept_ = orderKept_ && heads_ == 0 && ends_ == 0;
    ++heads_;
    head_ = head;
    changed_.notify_all();
    return true;
  }
  bool onBody(const uint8_t* data, size_t size) override {
    std::unique_lock<std::mutex> lock(mutex_);
    orderKept_ = orderKept_ && heads_ == 1 && ends_ == 0;
    body_.append(reinterpret_cast<const char*>(data), size);
    changed_.wait_for(lock, 10s, [this] { return !gated; });
    return body_.size() < stopAfter;
  }
  void onEnd(Status status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++ends_;
    status_ = std::move(status);
    changed_.notify_all();
  }

  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    gated = false;
    changed_.notify_all();
  }
  bool waitForHead() { return waitFor([this] { return heads_ > 0 || ends_ > 0; }); }
  // Waits for the end, then a little longer for a second one that must
  // not come.
  bool ended() {
    if (!waitFor([this] { return ends_ > 0; })) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, 20ms, [this] { return ends_ > 1; }) && orderKept_;
  }
  const HttpHead& head() const { return head_; }
  const std::string& body() const { return body_; }
  const Status& status() const { return status_; }

 private:
  template <typename Done>
  bool waitFor(Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 60s, done);
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int heads_ = 0;
  int ends_ = 0;
  bool orderKept_ = true;
  HttpHead head_;
  std::string body_;
  Status status_;
};

std::unique_ptr<HttpClient> makeClient(size_t connections) {
  HttpClientOptions options;
  options.maxConnections = connections;
  // Far beyond every wait of the tests: only a cancel ends a stalled one.
  options.stallTimeoutMs = 600000;
  std::unique_ptr<HttpClient> client;
  Status status = createHttpClient(options, &client);
  EXPECT_TRUE(status.ok()) << status.message();
  return client;
}

HttpRequest get(const std::string& url, bool noCache = false) {
  HttpRequest request;
  request.url = url;
  request.noCache = noCache;
  return request;
}

HttpRequest rangeOf(const std::string& url, uint64_t first, uint64_t last, const std::string& ifRange) {
  HttpRequest request = get(url);
  request.range = {first, last};
  request.ifRange = ifRange;
  return request;
}

#ifdef _WIN32
using Socket = SOCKET;
void closeSocket(Socket socket) { closesocket(socket); }
#else
using Socket = int;
void closeSocket(Socket socket) { close(socket); }
#endif

// A TCP server on 127.0.0.1 that takes one request and never answers it.
class SilentServer {
 public:
  SilentServer() {
#ifdef _WIN32
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
#endif
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 && listen(listener_, 4) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~SilentServer() {
    if (accepted_) closeSocket(peer_);
    closeSocket(listener_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/current"; }
  // Waits (bounded) until a request's whole head has come.
  bool takeRequest() {
    if (!readable(listener_)) return false;
    peer_ = accept(listener_, nullptr, nullptr);
    accepted_ = true;
    std::string head;
    char buffer[512];
    while (head.find("\r\n\r\n") == std::string::npos) {
      int size = readable(peer_) ? static_cast<int>(recv(peer_, buffer, sizeof(buffer), 0)) : 0;
      if (size <= 0) return false;
      head.append(buffer, static_cast<size_t>(size));
    }
    return true;
  }

 private:
  static bool readable(Socket socket) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval limit{30, 0};
    return select(static_cast<int>(socket) + 1, &set, nullptr, nullptr, &limit) == 1;
  }

  Socket listener_;
  Socket peer_{};
  bool accepted_ = false;
  int port_ = 0;
};

// Port 1 of 127.0.0.1: nothing listens there.
const char kRefusedUrl[] = "http://127.0.0.1:1/manifest.manifest";

TEST(HttpClientTest, RefusedQueuedCancelledAndDestroyedRequestsEachEndOnce) {
  // The handlers outlive the client, whatever assertion ends the test.
  Recorder refused;
  std::vector<Recorder> cancelled(5);
  std::vector<Recorder> destroyed(3);
  SilentServer silent;
  std::unique_ptr<HttpClient> client = makeClient(1);
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->start(get(kRefusedUrl), &refused));
  ASSERT_TRUE(refused.ended());
  EXPECT_FALSE(refused.status().ok());
  EXPECT_NE(refused.status().message().find(kRefusedUrl), std::string::npos) << refused.status().message();
  EXPECT_EQ(refused.head().status, 0);

  // One connection, held by a request that waits for its answer: the
  // others wait in the queue when cancelled.
  ASSERT_TRUE(client->start(get(silent.url()), &cancelled[0]));
  for (size_t i = 1; i < cancelled.size(); ++i) ASSERT_TRUE(client->start(get(kRefusedUrl), &cancelled[i]));
  ASSERT_TRUE(silent.takeRequest());
  client->cancelAll();
  for (Recorder& recorder : cancelled) {
    ASSERT_TRUE(recorder.ended());
    EXPECT_FALSE(recorder.status().ok());
  }

  for (Recorder& recorder : destroyed) ASSERT_TRUE(client->start(get(kRefusedUrl), &recorder));
  client.reset();
  for (Recorder& recorder : destroyed) EXPECT_TRUE(recorder.ended());
  EXPECT_EQ(refused.body(), "");
}

// A web server serving the folder QUOR_TEST_HTTP_ROOT at QUOR_TEST_HTTP_URL;
// on Linux without them, an nginx of the test's own over HTTPS.
class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* url = std::getenv("QUOR_TEST_HTTP_URL");
    const char* root = std::getenv("QUOR_TEST_HTTP_ROOT");
    std::string urlText = url != nullptr ? url : "", rootText = root != nullptr ? root : "";
#ifndef _WIN32
    if (url == nullptr || root == nullptr) {
      nginx_ = std::make_unique<testing::NginxServer>();
      urlText = nginx_->url().substr(0, nginx_->url().size() - 1);
      rootText = nginx_->root();
    }
#endif
    if (urlText.empty() || rootText.empty()) {
      GTEST_SKIP() << "QUOR_TEST_HTTP_URL and QUOR_TEST_HTTP_ROOT not set";
    }
    base_ = urlText + "/http_client_test";
    content_ = testing::randomBytes(300 * 1024 + 7, 28);
    testing::writeFile(rootText + "/http_client_test/piece.bin", content_);
  }
#ifndef _WIN32
  std::unique_ptr<testing::NginxServer> nginx_;
#endif

  std::string text(size_t first, size_t last) const {
    return std::string(content_.begin() + first, content_.begin() + last + 1);
  }

  std::string base_;
  std::vector<uint8_t> content_;
};

TEST_F(HttpServerTest, WholeRangedMissingRedirectedAndStoppedTransfers) {
  const std::string url = base_ + "/piece.bin";
  const std::string total = std::to_string(content_.size());
  Recorder whole, ranged, otherEtag, missing, folder, stopped;
  std::unique_ptr<HttpClient> client = makeClient(2);
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->start(get(url), &whole));
  ASSERT_TRUE(whole.ended());
  ASSERT_TRUE(whole.status().ok()) << whole.status().message();
  EXPECT_EQ(whole.head().status, 200);
  EXPECT_EQ(whole.head().contentLength, content_.size());
  EXPECT_EQ(whole.body(), text(0, content_.size() - 1));
  EXPECT_FALSE(whole.head().etag.empty());
  EXPECT_GE(client->bytesReceived(), content_.size());

  ASSERT_TRUE(client->start(rangeOf(url, 1000, 70999, whole.head().etag), &ranged));
  // A changed file (another ETag) comes whole.
  ASSERT_TRUE(client->start(rangeOf(url, 1000, 70999, "\"other\""), &otherEtag));
  ASSERT_TRUE(client->start(get(base_ + "/missing.bin", true), &missing));
  ASSERT_TRUE(client->start(get(base_), &folder));
  stopped.stopAfter = 1;
  ASSERT_TRUE(client->start(get(url), &stopped));
  for (Recorder* recorder : {&ranged, &otherEtag, &missing, &folder, &stopped}) ASSERT_TRUE(recorder->ended());

  ASSERT_TRUE(ranged.status().ok()) << ranged.status().message();
  EXPECT_EQ(ranged.head().status, 206);
  EXPECT_EQ(ranged.head().contentRange, "bytes 1000-70999/" + total);
  EXPECT_EQ(ranged.body(), text(1000, 70999));
  EXPECT_EQ(otherEtag.head().status, 200);
  EXPECT_EQ(otherEtag.body().size(), content_.size());
  EXPECT_TRUE(missing.status().ok()) << missing.status().message();
  EXPECT_EQ(missing.head().status, 404);
  // The folder's address without its slash: the redirect is not followed.
  EXPECT_EQ(folder.head().status, 301);
  EXPECT_FALSE(stopped.status().ok());
  EXPECT_LT(stopped.body().size(), content_.size());
}

TEST_F(HttpServerTest, CancelAllEndsTheRunningAndTheQueuedTransfers) {
  const std::string url = base_ + "/piece.bin";
  std::vector<Recorder> recorders(6);
  recorders[0].gated = true;
  std::unique_ptr<HttpClient> client = makeClient(2);
  ASSERT_TRUE(client);
  for (Recorder& recorder : recorders) ASSERT_TRUE(client->start(get(url), &recorder));
  ASSERT_TRUE(recorders[0].waitForHead());
  client->cancelAll();
  recorders[0].open();
  for (Recorder& recorder : recorders) ASSERT_TRUE(recorder.ended());
  EXPECT_FALSE(recorders[0].status().ok());
  EXPECT_LT(recorders[0].body().size(), content_.size());
}

}  // namespace
}  // namespace quor
