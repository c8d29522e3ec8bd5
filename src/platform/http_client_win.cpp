// http_client.h through WinHTTP (winhttp.dll): a small pool of threads,
// maxConnections workers, each taking the next queued request and running
// it from connect to the body's last byte before it takes another. A
// worker drives its request with WinHTTP's asynchronous calls one after
// the other, waiting for each one's callback (class Transfer), so that
// cancelAll can wake it at once: closing a handle does not end a
// synchronous call that waits for the network everywhere (Wine's does
// not). The worker then closes its own handle, which ends the call.
// WinHTTP keeps connections alive between requests to the same server and
// multiplexes HTTP/2 where both sides offer it. Proxies: the system's
// settings, auto-proxy included (WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
// Windows 8.1 and later); before that, the user's fixed proxy when there
// is one, else WinHTTP's own setting (a proxy auto-config script of the
// user's is not read there).
//
// Handler calls come from the workers, one at a time: every call is made
// under one lock, so a slow handler holds up the others' deliveries (not
// their receiving). cancelAll never waits and never calls a handler: it
// wakes the running transfers and marks the queued requests cancelled,
// and the workers end them all.
//
// Costs: maxConnections threads for the client's life; per transfer one
// 64 KiB receive buffer and a few WinHTTP handles; one queue entry per
// waiting request. A cancelled call that WinHTTP does not end at once
// (Wine's waits on) keeps its transfer's buffer until WinHTTP gives up on
// it, at the latest after the stall timeout.
#include "platform/http_client.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <condition_variable>
#include <deque>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "platform/native_path.h"

namespace quor {
namespace {

constexpr size_t kReceiveBufferSize = 64 * 1024;

// UTF-8 to and from the UTF-16 that WinHTTP takes; the path conversions
// do exactly that.
std::wstring widen(const std::string& text) { return toNativePath(text).native(); }
std::string narrow(const std::wstring& text) { return fromNativePath(text); }

const char* errorText(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_TIMEOUT: return "timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "host name not found";
    case ERROR_WINHTTP_CANNOT_CONNECT: return "cannot connect";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "connection lost";
    case ERROR_WINHTTP_INVALID_URL:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: return "not an http or https URL";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "invalid response";
    case ERROR_WINHTTP_SECURE_INVALID_CA: return "certificate not trusted";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID: return "certificate for another host";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: return "certificate expired or not yet valid";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT: return "TLS failed";
    default: return nullptr;
  }
}

Status transferError(const std::string& url, const char* step, DWORD error) {
  const char* text = errorText(error);
  return Status::ioError("GET " + url + ": " + (text != nullptr ? text : std::string(step) + " failed") +
                         " (WinHTTP error " + std::to_string(error) + ")");
}

Status cancelledStatus(const std::string& url) { return Status::ioError("GET " + url + ": cancelled"); }

int timeoutMs(uint32_t ms) { return static_cast<int>(std::min<uint32_t>(ms, INT_MAX)); }

// A WinHTTP handle, closed when it goes.
class OwnedHandle {
 public:
  explicit OwnedHandle(HINTERNET handle) : handle_(handle) {}
  ~OwnedHandle() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

struct UrlParts {
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring pathAndQuery;
  bool secure = false;
};

Status crackUrl(const std::string& url, UrlParts* parts) {
  std::wstring wide = widen(url);
  URL_COMPONENTS components{};
  components.dwStructSize = sizeof(components);
  components.dwHostNameLength = static_cast<DWORD>(-1);
  components.dwUrlPathLength = static_cast<DWORD>(-1);
  components.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (wide.empty() || !WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &components)) {
    return transferError(url, "reading the URL", GetLastError());
  }
  if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS) {
    return Status::invalid("GET " + url + ": not an http or https URL");
  }
  parts->host.assign(components.lpszHostName, components.dwHostNameLength);
  parts->port = components.nPort;
  parts->pathAndQuery.assign(components.lpszUrlPath, components.dwUrlPathLength);
  if (components.lpszExtraInfo != nullptr) {
    parts->pathAndQuery.append(components.lpszExtraInfo, components.dwExtraInfoLength);
  }
  if (parts->pathAndQuery.empty()) parts->pathAndQuery = L"/";
  parts->secure = components.nScheme == INTERNET_SCHEME_HTTPS;
  return {};
}

std::wstring requestHeaders(const HttpRequest& request) {
  std::string headers;
  if (request.range) {
    headers += "Range: bytes=" + std::to_string(request.range->first) + "-" +
               std::to_string(request.range->second) + "\r\n";
    if (!request.ifRange.empty()) headers += "If-Range: " + request.ifRange + "\r\n";
  }
  if (request.noCache) headers += "Cache-Control: no-cache\r\n";
  return widen(headers);
}

// The text of one response header; false when the response has none.
bool queryHeader(HINTERNET request, DWORD info, std::string* value) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return false;
  std::wstring wide(size / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, wide.data(), &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  wide.resize(size / sizeof(wchar_t));
  *value = narrow(wide);
  return true;
}

HttpHead queryHead(HINTERNET request) {
  HttpHead head;
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    head.status = static_cast<int>(status);
  }
  // As text: the number form is 32 bits wide.
  std::string length;
  uint64_t value = 0;
  if (queryHeader(request, WINHTTP_QUERY_CONTENT_LENGTH, &length)) {
    auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), value);
    if (error == std::errc() && end == length.data() + length.size()) head.contentLength = value;
  }
  queryHeader(request, WINHTTP_QUERY_CONTENT_RANGE, &head.contentRange);
  queryHeader(request, WINHTTP_QUERY_ETAG, &head.etag);
  queryHeader(request, WINHTTP_QUERY_LAST_MODIFIED, &head.lastModified);
  return head;
}

// The asynchronous session, with the system's proxy settings.
HINTERNET openSession(const std::wstring& agent) {
  HINTERNET session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
  if (session != nullptr) return session;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
  if (WinHttpGetIEProxyConfigForCurrentUser(&user) && user.lpszProxy != nullptr) {
    session = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, user.lpszProxy,
                          user.lpszProxyBypass != nullptr ? user.lpszProxyBypass : WINHTTP_NO_PROXY_BYPASS,
                          WINHTTP_FLAG_ASYNC);
  }
  for (LPWSTR text : {user.lpszAutoConfigUrl, user.lpszProxy, user.lpszProxyBypass}) {
    if (text != nullptr) GlobalFree(text);
  }
  if (session != nullptr) return session;
  return WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                     WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
}

bool setOption(HINTERNET handle, DWORD option, DWORD value) {
  return WinHttpSetOption(handle, option, &value, sizeof(value));
}

Status configureSession(HINTERNET session, const HttpClientOptions& options) {
  int connect = timeoutMs(options.connectTimeoutMs);
  int stall = timeoutMs(options.stallTimeoutMs);
  // Resolving counts as connecting; sending and every receive as stalling.
  if (!WinHttpSetTimeouts(session, connect, connect, stall, stall) ||
      !setOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, static_cast<DWORD>(stall))) {
    return Status::ioError("cannot set WinHTTP's timeouts (error " + std::to_string(GetLastError()) + ")");
  }
  // Each request also disables redirects; older systems know no policy.
  setOption(session, WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_NEVER);
  setOption(session, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, static_cast<DWORD>(options.maxConnections));
  // Windows 10 1607 and later; elsewhere HTTP/1.1 only.
  setOption(session, WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, WINHTTP_PROTOCOL_FLAG_HTTP2);
  return {};
}

// One transfer's meeting point with WinHTTP's callback: a worker starts
// an asynchronous call and waits here until the callback reports its end
// or cancel() wakes the worker first. Shared by the worker and the
// request handle (the handle's share goes with its HANDLE_CLOSING), since
// a cancelled call may still complete into the buffer after the worker
// has left.
class Transfer {
 public:
  Transfer() : buffer(kReceiveBufferSize) {}

  // Runs call, an asynchronous WinHTTP call, to its end: ok, its error,
  // or cancelled. bytes gets what a read delivered.
  template <typename Call>
  Status await(const std::string& url, const char* step, Call call, DWORD* bytes = nullptr);
  void complete(DWORD error, DWORD bytes) EXCLUDES(mutex_);
  void cancel() EXCLUDES(mutex_);
  bool cancelled() EXCLUDES(mutex_);

  std::vector<uint8_t> buffer;

 private:
  Mutex mutex_;
  std::condition_variable changed_;
  bool pending_ GUARDED_BY(mutex_) = false;
  bool cancelled_ GUARDED_BY(mutex_) = false;
  DWORD error_ GUARDED_BY(mutex_) = 0;
  DWORD bytes_ GUARDED_BY(mutex_) = 0;
};

template <typename Call>
Status Transfer::await(const std::string& url, const char* step, Call call, DWORD* bytes) {
  {
    MutexLock lock(&mutex_);
    if (cancelled_) return cancelledStatus(url);
    pending_ = true;
  }
  // The callback may come before the call returns, on this thread too.
  if (!call()) {
    DWORD error = GetLastError();
    return cancelled() ? cancelledStatus(url) : transferError(url, step, error);
  }
  MutexLock lock(&mutex_);
  std::unique_lock<std::mutex> lent(mutex_.native(), std::adopt_lock);
  // WinHTTP's timeouts bound the wait.
  while (pending_ && !cancelled_) changed_.wait(lent);
  lent.release();
  if (cancelled_) return cancelledStatus(url);
  if (error_ != 0) return transferError(url, step, error_);
  if (bytes != nullptr) *bytes = bytes_;
  return {};
}

void Transfer::complete(DWORD error, DWORD bytes) {
  {
    MutexLock lock(&mutex_);
    pending_ = false;
    error_ = error;
    bytes_ = bytes;
  }
  changed_.notify_all();
}

void Transfer::cancel() {
  {
    MutexLock lock(&mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

bool Transfer::cancelled() {
  MutexLock lock(&mutex_);
  return cancelled_;
}

// The context value of a request handle: its share of the transfer.
using TransferShare = std::shared_ptr<Transfer>;

void CALLBACK onWinHttpStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  if (context == 0) return;  // the session's and connections' own
  auto* share = reinterpret_cast<TransferShare*>(context);
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: (*share)->complete(0, 0); break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: (*share)->complete(0, length); break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      (*share)->complete(std::max<DWORD>(static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError, 1), 0);
      break;
    // The handle's last call.
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: delete share; break;
    default: break;
  }
}

// A request handle whose callbacks reach transfer; closed when it goes,
// which ends a call still running.
class RequestHandle {
 public:
  RequestHandle(HINTERNET connection, const UrlParts& url, const std::shared_ptr<Transfer>& transfer) {
    handle_ = WinHttpOpenRequest(connection, L"GET", url.pathAndQuery.c_str(), nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, url.secure ? WINHTTP_FLAG_SECURE : 0);
    if (handle_ == nullptr) return;
    auto* share = new TransferShare(transfer);
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(share);
    if (!WinHttpSetOption(handle_, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context))) {
      delete share;
      WinHttpCloseHandle(handle_);
      handle_ = nullptr;
    }
  }
  ~RequestHandle() {
    if (handle_ != nullptr) WinHttpCloseHandle(handle_);
  }
  RequestHandle(const RequestHandle&) = delete;
  RequestHandle& operator=(const RequestHandle&) = delete;
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_ = nullptr;
};

struct Job {
  HttpRequest request;
  HttpHandler* handler = nullptr;
  // The client's cancel count when the request was queued.
  uint64_t epoch = 0;
};

class WinHttpClient final : public HttpClient {
 public:
  WinHttpClient(HINTERNET session, size_t workers) : session_(session), active_(workers) {}
  ~WinHttpClient() override;

  void startWorkers();
  bool start(const HttpRequest& request, HttpHandler* handler) override;
  void cancelAll() override;
  uint64_t bytesReceived() override { return bytesReceived_.load(std::memory_order_relaxed); }

 private:
  void workerMain(size_t slot);
  // The next job and its transfer (cancelled already when the job is
  // older than the last cancelAll); false when the client stops.
  bool takeJob(size_t slot, Job* job, std::shared_ptr<Transfer>* transfer) EXCLUDES(mutex_);
  void finishJob(size_t slot) EXCLUDES(mutex_);
  Status run(const Job& job, const std::shared_ptr<Transfer>& transfer);
  Status exchange(const Job& job, Transfer* transfer, HINTERNET request);
  Status readBody(const Job& job, Transfer* transfer, HINTERNET request, const HttpHead& head);

  bool deliverHead(const Job& job, const HttpHead& head) EXCLUDES(handlerMutex_);
  bool deliverBody(const Job& job, const uint8_t* data, size_t size) EXCLUDES(handlerMutex_);
  void deliverEnd(const Job& job, Status status) EXCLUDES(handlerMutex_);

  const HINTERNET session_;
  Mutex mutex_;
  std::condition_variable queued_;
  std::deque<Job> queue_ GUARDED_BY(mutex_);
  // Each worker's transfer; empty while it waits for a job.
  std::vector<std::shared_ptr<Transfer>> active_ GUARDED_BY(mutex_);
  uint64_t epoch_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;
  // Held for every handler call, so that they come one at a time.
  Mutex handlerMutex_;
  std::atomic<uint64_t> bytesReceived_{0};
  std::vector<std::thread> workers_;
};

WinHttpClient::~WinHttpClient() {
  {
    MutexLock lock(&mutex_);
    stopping_ = true;
  }
  cancelAll();
  for (std::thread& worker : workers_) worker.join();
  // Handles closed before still get their HANDLE_CLOSING; the shares
  // those free hold nothing of the client.
  WinHttpCloseHandle(session_);
}

void WinHttpClient::startWorkers() {
  size_t count = 0;
  {
    MutexLock lock(&mutex_);
    count = active_.size();
  }
  for (size_t slot = 0; slot < count; ++slot) workers_.emplace_back([this, slot] { workerMain(slot); });
}

bool WinHttpClient::start(const HttpRequest& request, HttpHandler* handler) {
  {
    MutexLock lock(&mutex_);
    if (stopping_) return false;
    queue_.push_back(Job{request, handler, epoch_});
  }
  queued_.notify_one();
  return true;
}

void WinHttpClient::cancelAll() {
  {
    MutexLock lock(&mutex_);
    ++epoch_;
    for (const std::shared_ptr<Transfer>& transfer : active_) {
      if (transfer) transfer->cancel();
    }
  }
  // The workers end the queued requests, now older than the epoch.
  queued_.notify_all();
}

void WinHttpClient::workerMain(size_t slot) {
  Job job;
  std::shared_ptr<Transfer> transfer;
  while (takeJob(slot, &job, &transfer)) {
    Status status = run(job, transfer);
    finishJob(slot);
    transfer.reset();
    deliverEnd(job, std::move(status));
  }
}

bool WinHttpClient::takeJob(size_t slot, Job* job, std::shared_ptr<Transfer>* transfer) {
  MutexLock lock(&mutex_);
  std::unique_lock<std::mutex> lent(mutex_.native(), std::adopt_lock);
  // The queue empties before a stopping worker leaves: every request gets
  // its end.
  while (queue_.empty() && !stopping_) queued_.wait(lent);
  lent.release();
  if (queue_.empty()) return false;
  *job = std::move(queue_.front());
  queue_.pop_front();
  *transfer = std::make_shared<Transfer>();
  if (job->epoch != epoch_) (*transfer)->cancel();
  active_[slot] = *transfer;
  return true;
}

void WinHttpClient::finishJob(size_t slot) {
  MutexLock lock(&mutex_);
  active_[slot].reset();
}

Status WinHttpClient::run(const Job& job, const std::shared_ptr<Transfer>& transfer) {
  if (transfer->cancelled()) return cancelledStatus(job.request.url);
  UrlParts url;
  Status status = crackUrl(job.request.url, &url);
  if (!status.ok()) return status;
  // No network traffic yet: sending the request connects.
  OwnedHandle connection(WinHttpConnect(session_, url.host.c_str(), url.port, 0));
  if (connection.get() == nullptr) return transferError(job.request.url, "connect", GetLastError());
  RequestHandle request(connection.get(), url, transfer);
  if (request.get() == nullptr) return transferError(job.request.url, "opening the request", GetLastError());
  return exchange(job, transfer.get(), request.get());
}

Status WinHttpClient::exchange(const Job& job, Transfer* transfer, HINTERNET request) {
  const std::string& url = job.request.url;
  if (!setOption(request, WINHTTP_OPTION_DISABLE_FEATURE, WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES)) {
    return transferError(url, "disabling redirects", GetLastError());
  }
  std::wstring headers = requestHeaders(job.request);
  if (!headers.empty() && !WinHttpAddRequestHeaders(request, headers.c_str(), static_cast<DWORD>(headers.size()),
                                                    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
    return transferError(url, "adding the headers", GetLastError());
  }
  Status status = transfer->await(url, "sending the request", [&] {
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
  });
  if (status.ok()) {
    status = transfer->await(url, "receiving the response", [&] { return WinHttpReceiveResponse(request, nullptr); });
  }
  if (!status.ok()) return status;
  HttpHead head = queryHead(request);
  if (transfer->cancelled() || !deliverHead(job, head)) return cancelledStatus(url);
  return readBody(job, transfer, request, head);
}

Status WinHttpClient::readBody(const Job& job, Transfer* transfer, HINTERNET request, const HttpHead& head) {
  uint64_t received = 0;
  for (;;) {
    DWORD size = 0;
    Status status = transfer->await(
        job.request.url, "receiving the body",
        [&] {
          return WinHttpReadData(request, transfer->buffer.data(), static_cast<DWORD>(transfer->buffer.size()),
                                 nullptr);
        },
        &size);
    if (!status.ok()) return status;
    if (size == 0) break;
    received += size;
    bytesReceived_.fetch_add(size, std::memory_order_relaxed);
    if (transfer->cancelled() || !deliverBody(job, transfer->buffer.data(), size)) {
      return cancelledStatus(job.request.url);
    }
  }
  if (head.contentLength && received != *head.contentLength) {
    return Status::ioError("GET " + job.request.url + ": the body ended after " + std::to_string(received) +
                           " of " + std::to_string(*head.contentLength) + " bytes");
  }
  return {};
}

bool WinHttpClient::deliverHead(const Job& job, const HttpHead& head) {
  MutexLock lock(&handlerMutex_);
  return job.handler->onHead(head);
}

bool WinHttpClient::deliverBody(const Job& job, const uint8_t* data, size_t size) {
  MutexLock lock(&handlerMutex_);
  return job.handler->onBody(data, size);
}

void WinHttpClient::deliverEnd(const Job& job, Status status) {
  MutexLock lock(&handlerMutex_);
  job.handler->onEnd(std::move(status));
}

}  // namespace

Status createHttpClient(const HttpClientOptions& options, std::unique_ptr<HttpClient>* client) {
  HINTERNET session = openSession(widen(options.userAgent));
  if (session == nullptr) {
    return Status::ioError("cannot start WinHTTP (error " + std::to_string(GetLastError()) + ")");
  }
  Status status = configureSession(session, options);
  if (status.ok() && WinHttpSetStatusCallback(session, onWinHttpStatus,
                                              WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                              0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    status = Status::ioError("cannot set WinHTTP's callback (error " + std::to_string(GetLastError()) + ")");
  }
  if (!status.ok()) {
    WinHttpCloseHandle(session);
    return status;
  }
  auto winClient = std::make_unique<WinHttpClient>(session, std::max<size_t>(options.maxConnections, 1));
  winClient->startWorkers();
  *client = std::move(winClient);
  return {};
}

}  // namespace quor
