// Web servers for the HTTP tests (Linux only): nginx on free ports of
// 127.0.0.1, as an origin serving a folder and optionally a caching edge in
// front of it, the way a CDN sits in front of a publisher's web host; and a
// TCP server that accepts and never answers, a mirror that stalls.
//
// Every NginxServer is its own nginx process (no master) with its config,
// pid file, logs, temporary and cache folders in a fresh temporary folder,
// so servers of tests that run in parallel never meet. HTTPS servers
// present the test certificates of testCertsFolder(), whose CA
// scripts/test.sh installs into the system trust store.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace quor::testing {

// The folder holding ca.pem, server.pem and server.key: $QUOR_TEST_CERTS,
// else build/test-certs of the source tree, where scripts/test.sh makes
// them. Throws when it holds no server.pem.
std::string testCertsFolder();

struct NginxOptions {
  // The folder served at "/"; empty: a fresh one of the server's own,
  // root(), for the test to fill.
  std::string root;
  // HTTPS with HTTP/2 (and HTTP/1.1) on the test certificate for
  // localhost; false: plain HTTP/1.1.
  bool tls = true;
  // The origin ignores Range (nginx's max_ranges 0): every GET is a 200
  // with the whole file.
  bool ignoreRange = false;
  // The origin answers every request with 503.
  bool unavailable = false;
  // A second server in front of the origin, edgeUrl(): a cache that fetches
  // from the origin in 1 MiB slices (one ranged origin request per slice
  // it lacks), keeps 200 and 206 answers an hour, and lets one request
  // per slice through at a time (the others wait for the cache), over
  // HTTPS checked against ca.pem when tls is set. The edge's own Range
  // handling is nginx's.
  bool edge = false;
  // nginx directives added to the origin's server block ("etag off;").
  std::string originDirectives;
};

// One request that the origin answered, as its access log tells it.
struct OriginRequest {
  std::string method;
  std::string uri;    // the path, without the query; bytes outside ASCII as "\xXX"
  std::string range;  // the Range header; empty when there was none
  int status = 0;
  uint64_t bodyBytes = 0;
};

// Cache headers, as a publisher sets them for the release layout: a path
// ending in "/current" is sent with "Cache-Control: no-cache" (the edge
// never caches it), every other file with "Cache-Control: public,
// max-age=31536000, immutable".
// One thread uses an object; each origin* call reads the whole access log.
class NginxServer {
 public:
  // Starts nginx and waits (at most 10 s) until every port accepts TCP;
  // a port found taken is tried again with others. Throws, with nginx's
  // error log, when nginx does not come up (a bad directive, a missing
  // certificate).
  explicit NginxServer(NginxOptions options = {});
  // Stops nginx (SIGTERM; SIGKILL after 10 s) and removes its folder.
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // The origin's port and base URL, "https://localhost:PORT/" (a host
  // name, which Wine's HTTP stack needs; localhost is 127.0.0.1 here).
  uint16_t port() const { return port_; }
  std::string url() const;
  // The edge's; 0 and "" without one.
  uint16_t edgePort() const { return edgePort_; }
  std::string edgeUrl() const;
  // The folder served.
  const std::string& root() const { return root_; }

  // Every request the origin has answered, in order. nginx logs a request
  // just after its last byte went out, so a test that waits for a count
  // uses waitForOriginRequests.
  std::vector<OriginRequest> originRequests() const;
  // Origin requests per URI (each slice the edge fetched is one).
  std::map<std::string, int> originHits() const;
  int originHitsFor(const std::string& uri) const;
  // Body bytes the origin sent per URI: at most the file's size when each
  // byte of it went out at most once.
  std::map<std::string, uint64_t> originBytes() const;
  // "URI Range" of every request the origin answered more than once (the
  // same file, or the same slice of it), leaving out the "/current" files,
  // which no cache keeps: empty when the edge fetched each piece once.
  std::vector<std::string> originRepeats() const;
  // Polls (every 10 ms, at most timeoutMs) until the origin's log holds
  // at least count requests.
  bool waitForOriginRequests(size_t count, int timeoutMs) const;

  // nginx's error log so far.
  std::string errorLog() const;

 private:
  bool start();
  std::string config() const;

  NginxOptions options_;
  TempDir dir_;
  std::string root_;
  uint16_t port_ = 0;
  uint16_t edgePort_ = 0;
  std::unique_ptr<BackgroundProcess> process_;
};

// Accepts TCP connections on a free port of 127.0.0.1 and never reads or
// writes; closes them when it goes away. A thread of its own accepts.
class StallingTcpServer {
 public:
  StallingTcpServer();
  ~StallingTcpServer();
  StallingTcpServer(const StallingTcpServer&) = delete;
  StallingTcpServer& operator=(const StallingTcpServer&) = delete;

  uint16_t port() const { return port_; }
  // "https://localhost:PORT/"
  std::string url() const;
  // Connections accepted so far.
  int accepted() const { return accepted_.load(); }

 private:
  void acceptLoop();

  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

}  // namespace quor::testing
