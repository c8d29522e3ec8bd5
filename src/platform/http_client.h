// HTTP(S) transfers through the system's HTTP library: libcurl's multi
// interface on Linux (HTTP/2 where the server offers it, proxies from the
// usual environment variables), WinHTTP on Windows (the system's proxy
// settings, auto-proxy included). Nothing here knows what is fetched; the
// update data source (update/http_source.h) gives the requests their
// meaning.
//
// TLS is checked as a browser checks it, against the system's trust
// store, and there is no way to turn that off. Redirects are not followed:
// an update data folder is where its URL says.
//
// One HttpClient runs its transfers on a thread of its own, at most
// maxConnections at once (HTTP/2 streams share a connection); further
// requests wait their turn in the order given. A transfer ends with an
// error when connecting takes longer than connectTimeoutMs, or when no
// byte comes for stallTimeoutMs.
//
// Threads: start, cancelAll and the destructor may be called from any
// thread, but not from a handler. Handler calls happen on the client's
// threads, one at a time, each transfer's in the order head, body...,
// end; end is called exactly once for every request started, cancelled
// or not, at the latest before the destructor returns (which cancels what
// is left). Memory: one receive buffer per
// transfer; a body is handed on as it comes, never gathered.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/status.h"

namespace quor {

struct HttpRequest {
  std::string url;
  // Bytes first..last (inclusive) only: "Range: bytes=first-last".
  std::optional<std::pair<uint64_t, uint64_t>> range;
  // Sent as If-Range with the range when not empty: an ETag or a date.
  std::string ifRange;
  // "Cache-Control: no-cache": a cache must ask the origin first.
  bool noCache = false;
};

struct HttpHead {
  int status = 0;
  std::optional<uint64_t> contentLength;
  // "Content-Range: bytes first-last/total", as sent; empty without one.
  std::string contentRange;
  std::string etag;
  std::string lastModified;
};

class HttpHandler {
 public:
  virtual ~HttpHandler() = default;
  // The response's head. False stops the transfer (end then reports it
  // as cancelled, which the handler asked for).
  virtual bool onHead(const HttpHead& head) = 0;
  // A part of the body; false stops the transfer.
  virtual bool onBody(const uint8_t* data, size_t size) = 0;
  // The transfer is over: ok when the whole body came; otherwise why not.
  // The handler may be destroyed once this returns.
  virtual void onEnd(Status status) = 0;
};

struct HttpClientOptions {
  size_t maxConnections = 4;
  uint32_t connectTimeoutMs = 10000;
  uint32_t stallTimeoutMs = 20000;
  // Sent as User-Agent.
  std::string userAgent = "quor-updater";
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;
  // Queues request; handler must live until its onEnd. False (and no
  // handler call) when the client cannot take requests any more.
  virtual bool start(const HttpRequest& request, HttpHandler* handler) = 0;
  // Ends every transfer, started or waiting, soon; each handler gets its
  // onEnd. Returns at once, without waiting for them.
  virtual void cancelAll() = 0;
  // Bytes of bodies received so far, every transfer together.
  virtual uint64_t bytesReceived() = 0;
};

// A client with its thread running; an error when the library cannot be
// set up.
Status createHttpClient(const HttpClientOptions& options, std::unique_ptr<HttpClient>* client);

// Whether url is an http:// or https:// URL (the scheme in any case), the
// form a server list entry names a web location with.
bool isHttpUrl(const std::string& url);
bool isPlainHttpUrl(const std::string& url);

}  // namespace quor
