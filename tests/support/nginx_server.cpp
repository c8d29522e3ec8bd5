#include "nginx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <stdexcept>

namespace quor::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char kNginx[] = "/usr/sbin/nginx";
constexpr int kStartSeconds = 10;
constexpr int kStartAttempts = 20;

uint16_t randomPort() {
  static std::mt19937 generator(std::random_device{}());
  return static_cast<uint16_t>(20000 + generator() % 40000);
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool acceptsTcp(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address = loopback(port);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return connected;
}

std::string baseUrl(bool tls, uint16_t port) {
  return std::string(tls ? "https" : "http") + "://localhost:" + std::to_string(port) + "/";
}

// nginx logs an empty variable as "-".
std::string logValue(const std::string& field) { return field == "-" ? std::string() : field; }

}  // namespace

std::string testCertsFolder() {
  const char* set = std::getenv("QUOR_TEST_CERTS");
  std::string folder = set != nullptr && *set != '\0' ? set : QUOR_TEST_CERTS_DEFAULT;
  if (!exists(folder + "/server.pem")) {
    throw std::runtime_error("no test certificates in " + folder +
                             ": run scripts/test.sh once (it makes them), or point "
                             "QUOR_TEST_CERTS at a folder of ensure_test_ca");
  }
  return folder;
}

NginxServer::NginxServer(NginxOptions options)
    : options_(std::move(options)), root_(options_.root.empty() ? dir_ / "www" : options_.root) {
  fs::create_directories(root_);
  fs::create_directories(dir_ / "temp");
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (start()) return;
    std::string log = errorLog();
    process_.reset();
    // Another program took a port first: try others. Anything else is a
    // fault of the config or the machine, which trying again will not mend.
    if (log.find("Address already in use") == std::string::npos) {
      throw std::runtime_error("nginx did not start:\n" + log);
    }
  }
  throw std::runtime_error("nginx found no free port");
}

NginxServer::~NginxServer() { process_.reset(); }

bool NginxServer::start() {
  port_ = randomPort();
  edgePort_ = 0;
  while (options_.edge && (edgePort_ == 0 || edgePort_ == port_)) edgePort_ = randomPort();
  writeFile(dir_ / "nginx.conf", config());
  std::error_code ec;
  fs::remove(dir_ / "nginx.pid", ec);
  fs::remove(dir_ / "error.log", ec);
  process_ = std::make_unique<BackgroundProcess>(
      std::vector<std::string>{kNginx, "-p", dir_.path() + "/", "-c", dir_ / "nginx.conf", "-e",
                               dir_ / "error.log"},
      dir_.path());
  // nginx writes its pid file once it holds every listening socket.
  auto deadline = Clock::now() + std::chrono::seconds(kStartSeconds);
  while (Clock::now() < deadline && process_->running()) {
    if (exists(dir_ / "nginx.pid") && acceptsTcp(port_) && (edgePort_ == 0 || acceptsTcp(edgePort_))) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (process_->running()) {
    process_.reset();
    throw std::runtime_error("nginx did not listen within " + std::to_string(kStartSeconds) +
                             " s:\n" + errorLog());
  }
  return false;
}

std::string NginxServer::config() const {
  const std::string dir = dir_.path();
  const std::string listen = options_.tls ? " ssl http2;\n" : ";\n";
  std::ostringstream c;
  c << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
    << "pid " << dir << "/nginx.pid;\n"
    << "error_log " << dir << "/error.log warn;\n"
    << "events { worker_connections 1024; }\n"
    << "http {\n"
    << "  default_type application/octet-stream;\n"
    << "  sendfile on;\n"
    << "  access_log off;\n"
    << "  client_body_temp_path " << dir << "/temp/body;\n"
    << "  proxy_temp_path " << dir << "/temp/proxy;\n"
    << "  fastcgi_temp_path " << dir << "/temp/fastcgi;\n"
    << "  uwsgi_temp_path " << dir << "/temp/uwsgi;\n"
    << "  scgi_temp_path " << dir << "/temp/scgi;\n"
    << "  log_format origin escape=default "
       "'$request_method\\t$uri\\t$status\\t$body_bytes_sent\\t$http_range';\n"
    << "  log_format edge escape=default "
       "'$request_method\\t$uri\\t$status\\t$body_bytes_sent\\t$http_range\\t$upstream_cache_status';\n"
    << "  map $uri $cache_control {\n"
    << "    ~/current$ \"no-cache\";\n"
    << "    default \"public, max-age=31536000, immutable\";\n"
    << "  }\n";
  if (options_.tls) {
    std::string certs = testCertsFolder();
    c << "  ssl_certificate " << certs << "/server.pem;\n"
      << "  ssl_certificate_key " << certs << "/server.key;\n";
  }
  c << "  server {\n"
    << "    listen 127.0.0.1:" << port_ << listen << "    server_name localhost;\n"
    << "    root " << root_ << ";\n"
    << "    access_log " << dir << "/origin_access.log origin;\n"
    << "    add_header Cache-Control $cache_control;\n"
    << (options_.ignoreRange ? "    max_ranges 0;\n" : "")
    << (options_.unavailable ? "    location / { return 503; }\n" : "")
    << "    " << options_.originDirectives << "\n"
    << "  }\n";
  if (options_.edge) {
    c << "  proxy_cache_path " << dir
      << "/cache levels=1:2 keys_zone=edge:4m inactive=1h use_temp_path=off;\n"
      << "  server {\n"
      << "    listen 127.0.0.1:" << edgePort_ << listen << "    server_name localhost;\n"
      << "    access_log " << dir << "/edge_access.log edge;\n"
      << "    location / {\n"
      << "      slice 1m;\n"
      << "      proxy_cache edge;\n"
      << "      proxy_cache_key $uri$is_args$args$slice_range;\n"
      << "      proxy_set_header Range $slice_range;\n"
      << "      proxy_cache_valid 200 206 1h;\n"
      // Players asking at once for a slice not yet cached wait for the
      // first one's fetch instead of all going to the origin.
      << "      proxy_cache_lock on;\n"
      << "      proxy_cache_lock_timeout 60s;\n"
      << "      proxy_cache_lock_age 60s;\n"
      << "      proxy_http_version 1.1;\n"
      << "      proxy_pass " << (options_.tls ? "https" : "http") << "://127.0.0.1:" << port_ << ";\n";
    if (options_.tls) {
      c << "      proxy_ssl_trusted_certificate " << testCertsFolder() << "/ca.pem;\n"
        << "      proxy_ssl_verify on;\n"
        << "      proxy_ssl_name localhost;\n"
        << "      proxy_ssl_server_name on;\n";
    }
    c << "      add_header X-Cache-Status $upstream_cache_status;\n"
      << "    }\n"
      << "  }\n";
  }
  c << "}\n";
  return c.str();
}

std::string NginxServer::url() const { return baseUrl(options_.tls, port_); }

std::string NginxServer::edgeUrl() const {
  return edgePort_ == 0 ? std::string() : baseUrl(options_.tls, edgePort_);
}

std::string NginxServer::errorLog() const {
  std::string log = readFile(dir_ / "error.log");
  if (process_ != nullptr) log += process_->output();
  return log;
}

std::vector<OriginRequest> NginxServer::originRequests() const {
  std::vector<OriginRequest> requests;
  std::istringstream log(readFile(dir_ / "origin_access.log"));
  std::string line;
  while (std::getline(log, line)) {
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    if (fields.size() != 5) continue;  // a line still being written
    OriginRequest request;
    request.method = fields[0];
    request.uri = fields[1];
    request.status = std::atoi(fields[2].c_str());
    request.bodyBytes = std::strtoull(fields[3].c_str(), nullptr, 10);
    request.range = logValue(fields[4]);
    requests.push_back(request);
  }
  return requests;
}

std::map<std::string, int> NginxServer::originHits() const {
  std::map<std::string, int> hits;
  for (const OriginRequest& request : originRequests()) ++hits[request.uri];
  return hits;
}

int NginxServer::originHitsFor(const std::string& uri) const {
  std::map<std::string, int> hits = originHits();
  auto found = hits.find(uri);
  return found == hits.end() ? 0 : found->second;
}

std::map<std::string, uint64_t> NginxServer::originBytes() const {
  std::map<std::string, uint64_t> bytes;
  for (const OriginRequest& request : originRequests()) bytes[request.uri] += request.bodyBytes;
  return bytes;
}

std::vector<std::string> NginxServer::originRepeats() const {
  std::map<std::string, int> pieces;
  const std::string pointer = "/current";
  for (const OriginRequest& request : originRequests()) {
    bool isPointer = request.uri.size() >= pointer.size() &&
                     request.uri.compare(request.uri.size() - pointer.size(), pointer.size(), pointer) == 0;
    if (!isPointer) ++pieces[request.uri + " " + request.range];
  }
  std::vector<std::string> repeats;
  for (const auto& [piece, count] : pieces) {
    if (count > 1) repeats.push_back(piece);
  }
  return repeats;
}

bool NginxServer::waitForOriginRequests(size_t count, int timeoutMs) const {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (originRequests().size() < count) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

StallingTcpServer::StallingTcpServer() {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  // Port 0: the system picks a free one, so no retrying is needed.
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof(address);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) close(listener_);
    throw std::runtime_error("no listening socket for the stalling server");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { acceptLoop(); });
}

StallingTcpServer::~StallingTcpServer() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

std::string StallingTcpServer::url() const { return baseUrl(true, port_); }

void StallingTcpServer::acceptLoop() {
  std::vector<int> held;
  while (!stop_) {
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, 20) <= 0) continue;
    int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) continue;
    held.push_back(connection);
    ++accepted_;
  }
  for (int connection : held) close(connection);
}

}  // namespace quor::testing
