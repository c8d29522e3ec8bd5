// One HTTP request with libcurl and its whole answer, for the tests that
// talk to a web server or to update_server's metrics endpoint (Linux
// only: the Windows tests fetch through WinHTTP's own tests).
#pragma once

#include <curl/curl.h>

#include <string>

namespace quor::testing {

struct HttpRequest {
  std::string method = "GET";
  std::string range;      // "a-b" for a Range request
  long timeoutMs = 20000;
  bool http2 = false;     // offer HTTP/2 over TLS
};

struct HttpFetched {
  CURLcode result = CURLE_OK;
  long status = 0;        // 0 when no answer came
  long httpVersion = 0;
  std::string body;
};

HttpFetched httpFetch(const std::string& url, const HttpRequest& request = {});

}  // namespace quor::testing
