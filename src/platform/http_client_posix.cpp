// HttpClient over libcurl's multi interface. One thread runs the multi
// handle: it takes queued requests while fewer than maxConnections
// transfers run, polls, and hands every transfer's head, body and end to
// its handler. HTTP/2 is asked for over TLS, so the transfers to one
// server share a connection as streams where it offers it; otherwise each
// has a connection of its own, kept for the next request.

#include <curl/curl.h>

#include <atomic>
#include <cctype>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "base/mutex.h"
#include "platform/http_client.h"

namespace quor {
namespace {

// libcurl's global set-up, once per process, before any thread uses it.
void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool startsWithField(const std::string& line, const char* field, std::string* value) {
  size_t length = std::char_traits<char>::length(field);
  if (line.size() < length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != field[i]) return false;
  }
  size_t begin = line.find_first_not_of(" \t", length);
  size_t end = line.find_last_not_of(" \t\r\n");
  *value = begin == std::string::npos || end < begin ? "" : line.substr(begin, end - begin + 1);
  return true;
}

struct Transfer {
  HttpHandler* handler = nullptr;
  std::string url;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  HttpHead head;
  bool headGiven = false;
  bool stoppedByHandler = false;
  std::atomic<uint64_t>* received = nullptr;
  // The client's count of cancels, and its value when the transfer began:
  // a cancel stops the transfer at its next bytes.
  const std::atomic<uint64_t>* cancels = nullptr;
  uint64_t cancelsAtStart = 0;
  char error[CURL_ERROR_SIZE] = {};
};

// Every response line; a new status line (after a 100 Continue, say)
// starts the head afresh.
size_t onHeaderLine(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  std::string line(data, size * count);
  std::string value;
  if (line.rfind("HTTP/", 0) == 0) {
    transfer->head = HttpHead{};
  } else if (startsWithField(line, "content-length:", &value)) {
    char* end = nullptr;
    unsigned long long length = std::strtoull(value.c_str(), &end, 10);
    if (!value.empty() && end != nullptr && *end == '\0') transfer->head.contentLength = length;
  } else if (startsWithField(line, "content-range:", &value)) {
    transfer->head.contentRange = value;
  } else if (startsWithField(line, "etag:", &value)) {
    transfer->head.etag = value;
  } else if (startsWithField(line, "last-modified:", &value)) {
    transfer->head.lastModified = value;
  }
  return size * count;
}

bool giveHead(Transfer& transfer) {
  if (transfer.headGiven) return true;
  transfer.headGiven = true;
  long status = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  transfer.head.status = static_cast<int>(status);
  if (transfer.handler->onHead(transfer.head)) return true;
  transfer.stoppedByHandler = true;
  return false;
}

size_t onBodyData(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t bytes = size * count;
  transfer->received->fetch_add(bytes);
  if (transfer->cancels->load() != transfer->cancelsAtStart) {
    transfer->stoppedByHandler = true;
    return 0;
  }
  if (!giveHead(*transfer)) return 0;
  if (bytes == 0) return 0;
  if (transfer->handler->onBody(reinterpret_cast<const uint8_t*>(data), bytes)) return bytes;
  transfer->stoppedByHandler = true;
  return 0;
}

Status cancelled(const std::string& url) { return Status::ioError("GET " + url + ": cancelled"); }

class CurlClient final : public HttpClient {
 public:
  CurlClient(const HttpClientOptions& options, CURLM* multi) : options_(options), multi_(multi) {
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, long(options_.maxConnections));
    thread_ = std::thread([this] { run(); });
  }

  ~CurlClient() override {
    cancelAll();
    {
      MutexLock lock(&lock_);
      stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    thread_.join();
    curl_multi_cleanup(multi_);
  }

  bool start(const HttpRequest& request, HttpHandler* handler) override EXCLUDES(lock_) {
    {
      MutexLock lock(&lock_);
      if (stopping_) return false;
      queued_.push_back({request, handler});
    }
    curl_multi_wakeup(multi_);
    return true;
  }

  void cancelAll() override EXCLUDES(lock_) {
    {
      MutexLock lock(&lock_);
      ++cancelsAsked_;
      cancelCount_.store(cancelsAsked_);
    }
    curl_multi_wakeup(multi_);
  }

  uint64_t bytesReceived() override { return received_.load(); }

 private:
  struct Queued {
    HttpRequest request;
    HttpHandler* handler;
  };

  void run() EXCLUDES(lock_) {
    for (;;) {
      uint64_t cancels;
      std::deque<Queued> starting;
      {
        MutexLock lock(&lock_);
        if (stopping_) break;
        cancels = cancelsAsked_;
        while (!queued_.empty() && active_.size() + starting.size() < options_.maxConnections &&
               cancels == cancelsDone_) {
          starting.push_back(std::move(queued_.front()));
          queued_.pop_front();
        }
      }
      if (cancels != cancelsDoneSeen()) {
        endEverything();
        finishCancel(cancels);
        continue;
      }
      for (Queued& next : starting) begin(next);
      int running = 0;
      curl_multi_perform(multi_, &running);
      collectFinished();
      // A transfer that just ended freed a place: a request queued for one
      // starts now, not at the next socket event or wakeup (up to 100 ms
      // away when nothing else runs).
      if (!requestWaitingForPlace()) curl_multi_poll(multi_, nullptr, 0, 100, nullptr);
    }
    endEverything();
  }

  bool requestWaitingForPlace() EXCLUDES(lock_) {
    MutexLock lock(&lock_);
    return !queued_.empty() && active_.size() < options_.maxConnections;
  }

  uint64_t cancelsDoneSeen() EXCLUDES(lock_) {
    MutexLock lock(&lock_);
    return cancelsDone_;
  }

  void finishCancel(uint64_t cancels) EXCLUDES(lock_) {
    MutexLock lock(&lock_);
    cancelsDone_ = cancels;
  }

  void begin(const Queued& queued) {
    auto transfer = std::make_unique<Transfer>();
    transfer->handler = queued.handler;
    transfer->url = queued.request.url;
    transfer->cancels = &cancelCount_;
    transfer->cancelsAtStart = cancelCount_.load();
    transfer->received = &received_;
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
      queued.handler->onEnd(Status::outOfMemory("no memory for an HTTP transfer"));
      return;
    }
    transfer->easy = easy;
    configure(*transfer, queued.request);
    curl_multi_add_handle(multi_, easy);
    active_.emplace(easy, std::move(transfer));
  }

  void configure(Transfer& transfer, const HttpRequest& request) {
    CURL* easy = transfer.easy;
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(options_.connectTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, long((options_.stallTimeoutMs + 999) / 1000));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, options_.userAgent.c_str());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.error);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeaderLine);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBodyData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    if (request.range) {
      std::string range =
          std::to_string(request.range->first) + "-" + std::to_string(request.range->second);
      curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());  // libcurl copies it
      if (!request.ifRange.empty()) {
        transfer.headers =
            curl_slist_append(transfer.headers, ("If-Range: " + request.ifRange).c_str());
      }
    }
    if (request.noCache) {
      transfer.headers = curl_slist_append(transfer.headers, "Cache-Control: no-cache");
    }
    if (transfer.headers != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
  }

  void collectFinished() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      auto found = active_.find(message->easy_handle);
      if (found == active_.end()) continue;
      std::unique_ptr<Transfer> transfer = std::move(found->second);
      active_.erase(found);
      end(*transfer, outcome(*transfer, message->data.result));
    }
  }

  Status outcome(Transfer& transfer, CURLcode result) {
    if (transfer.stoppedByHandler) return cancelled(transfer.url);
    if (result != CURLE_OK) {
      std::string detail = transfer.error[0] != '\0' ? transfer.error : curl_easy_strerror(result);
      return Status::ioError("GET " + transfer.url + ": " + detail);
    }
    // A response without a body still has its head.
    if (!giveHead(transfer)) return cancelled(transfer.url);
    return Status();
  }

  void end(Transfer& transfer, Status status) {
    curl_multi_remove_handle(multi_, transfer.easy);
    curl_easy_cleanup(transfer.easy);
    curl_slist_free_all(transfer.headers);
    transfer.handler->onEnd(std::move(status));
  }

  // Ends the running transfers and those still queued, each with its end.
  void endEverything() EXCLUDES(lock_) {
    for (auto& entry : active_) end(*entry.second, cancelled(entry.second->url));
    active_.clear();
    std::deque<Queued> waiting;
    {
      MutexLock lock(&lock_);
      waiting.swap(queued_);
    }
    for (Queued& queued : waiting) queued.handler->onEnd(cancelled(queued.request.url));
  }

  const HttpClientOptions options_;
  CURLM* const multi_;
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> cancelCount_{0};
  // The client's thread only.
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> active_;

  Mutex lock_;
  std::deque<Queued> queued_ GUARDED_BY(lock_);
  uint64_t cancelsAsked_ GUARDED_BY(lock_) = 0;
  uint64_t cancelsDone_ GUARDED_BY(lock_) = 0;
  bool stopping_ GUARDED_BY(lock_) = false;
  std::thread thread_;
};

}  // namespace

Status createHttpClient(const HttpClientOptions& options, std::unique_ptr<HttpClient>* client) {
  initCurlOnce();
  CURLM* multi = curl_multi_init();
  if (multi == nullptr) return Status::outOfMemory("libcurl could not be set up");
  HttpClientOptions sane = options;
  if (sane.maxConnections == 0) sane.maxConnections = 1;
  *client = std::make_unique<CurlClient>(sane, multi);
  return Status();
}

}  // namespace quor
