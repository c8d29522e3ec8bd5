#include "update/web_server.h"

#include <condition_variable>

#include "dataset/layout.h"

#include "base/mutex.h"

namespace quor {
namespace {

inline constexpr size_t kMaxPointerBytes = 256;

// The pointer's answer, waited for on the update mode's thread.
class PointerFetch final : public HttpHandler {
 public:
  bool onHead(const HttpHead& head) override EXCLUDES(lock_) {
    MutexLock lock(&lock_);
    status_ = head.status;
    return head.status == 200;
  }
  bool onBody(const uint8_t* data, size_t size) override EXCLUDES(lock_) {
    MutexLock lock(&lock_);
    if (body_.size() + size > kMaxPointerBytes) return false;
    body_.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  void onEnd(Status status) override EXCLUDES(lock_) {
    MutexLock lock(&lock_);
    ended_ = true;
    end_ = std::move(status);
    changed_.notify_all();
  }
  // Waits for the end; the status code (0 without an answer), the body,
  // and why the transfer failed.
  int await(std::string* body, Status* end) EXCLUDES(lock_) {
    MutexLock lock(&lock_);
    while (!ended_) changed_.wait(lock_);
    *body = body_;
    *end = end_;
    return status_;
  }

 private:
  Mutex lock_;
  std::condition_variable_any changed_;
  int status_ GUARDED_BY(lock_) = 0;
  std::string body_ GUARDED_BY(lock_);
  bool ended_ GUARDED_BY(lock_) = false;
  Status end_ GUARDED_BY(lock_);
};

}  // namespace

bool readReleasePointer(const std::string& text, std::string* release) {
  std::string name = text;
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  if (!isReleaseId(name)) return false;
  *release = name;
  return true;
}

Status openWebServer(const std::string& url, bool signedOnly, size_t transfers,
                     WebServer* server) {
  if (isPlainHttpUrl(url) && !signedOnly) {
    return Status::invalid(url + " is plain http, and without " + std::string(kPublicKeyFile) +
                           " the updater cannot tell a forged file from a real one there");
  }
  HttpClientOptions options;
  options.maxConnections = transfers != 0 ? transfers : kDefaultWebTransfers;
  std::unique_ptr<HttpClient> client;
  Status made = createHttpClient(options, &client);
  if (!made.ok()) return made;
  std::string base = url.back() == '/' ? url : url + "/";
  PointerFetch fetch;
  HttpRequest request;
  request.url = base + kCurrentReleaseName;
  request.noCache = true;
  if (!client->start(request, &fetch)) return Status::ioError("the HTTP client stopped");
  std::string body;
  Status end;
  int status = fetch.await(&body, &end);
  std::string release;
  if (status == 200 && end.ok() && readReleasePointer(body, &release)) {
    server->dataUrl = base + release + "/";
  } else if (status == 404) {
    server->dataUrl = base;
  } else if (status == 0) {
    return Status::ioError(end.message());
  } else if (status == 200) {
    return Status::corrupt(request.url + ": not the name of a release");
  } else {
    return Status::ioError(request.url + " was answered " + std::to_string(status));
  }
  server->client = std::move(client);
  return Status();
}

}  // namespace quor
