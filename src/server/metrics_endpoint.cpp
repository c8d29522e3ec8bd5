#include "server/metrics_endpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstring>

namespace quor {

struct MetricsEndpoint::State {
  const ServerMetrics* metrics = nullptr;
  HealthCheck healthy;
  MHD_Daemon* daemon = nullptr;
};

namespace {

MHD_Result answer(MHD_Connection* connection, unsigned status, const std::string& body,
                  const char* contentType) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result handle(void* context, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void**) {
  auto* state = static_cast<MetricsEndpoint::State*>(context);
  // A body is never read: anything uploaded is refused with the answer.
  if (*uploadSize != 0) *uploadSize = 0;
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", "text/plain");
  }
  if (std::strcmp(url, "/metrics") == 0) {
    return answer(connection, MHD_HTTP_OK, renderMetrics(*state->metrics),
                  "text/plain; version=0.0.4; charset=utf-8");
  }
  if (std::strcmp(url, "/healthz") == 0) {
    std::string why = state->healthy();
    return why.empty() ? answer(connection, MHD_HTTP_OK, "ok\n", "text/plain")
                       : answer(connection, MHD_HTTP_SERVICE_UNAVAILABLE, why + "\n", "text/plain");
  }
  return answer(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
}

}  // namespace

Status MetricsEndpoint::start(const std::string& address, uint16_t port,
                              const ServerMetrics& metrics, HealthCheck healthy,
                              std::unique_ptr<MetricsEndpoint>* endpoint) {
  sockaddr_in bind{};
  bind.sin_family = AF_INET;
  bind.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &bind.sin_addr) != 1) {
    return Status::invalid("--metrics: " + address + " is no IPv4 address");
  }
  std::unique_ptr<MetricsEndpoint> made(new MetricsEndpoint);
  made->state_ = std::make_unique<State>();
  made->state_->metrics = &metrics;
  made->state_->healthy = std::move(healthy);
  made->state_->daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO, port, nullptr, nullptr, &handle,
      made->state_.get(), MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&bind),
      MHD_OPTION_CONNECTION_LIMIT, kMaxScrapers, MHD_OPTION_CONNECTION_TIMEOUT,
      kScrapeTimeoutSeconds, MHD_OPTION_END);
  if (made->state_->daemon == nullptr) {
    return Status::ioError("--metrics: cannot listen on " + address + ":" + std::to_string(port));
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(made->state_->daemon, MHD_DAEMON_INFO_BIND_PORT);
  made->port_ = info != nullptr ? info->port : port;
  *endpoint = std::move(made);
  return {};
}

MetricsEndpoint::~MetricsEndpoint() {
  if (state_ && state_->daemon != nullptr) MHD_stop_daemon(state_->daemon);
}

}  // namespace quor
