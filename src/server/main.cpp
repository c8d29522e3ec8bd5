// update_server: serves the update data folder to updaters over ENet.
// Logs to update_server.log in the current folder and to the console.
// Ends cleanly on SIGINT or SIGTERM.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include "dataset/layout.h"
#include "log/log.h"
#include "platform/native_path.h"
#ifndef _WIN32
#include "server/metrics_endpoint.h"
#endif
#include "server/server_metrics.h"
#include "server/server_options.h"
#include "server/update_server.h"

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void requestStop(int) { stopRequested.store(true); }

}  // namespace

int main(int argc, char** argv) {
  using namespace quor;
  ServerOptions options;
  Status parsed = parseServerOptions(std::vector<std::string>(argv + 1, argv + argc), options);
  if (!parsed.ok()) {
    std::fprintf(stderr, "update_server: %s\n%s", parsed.message().c_str(), serverUsage().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(serverUsage().c_str(), stdout);
    return 0;
  }
#ifdef _WIN32
  if (!options.metricsAddress.empty()) {
    // Refused, not ignored: an operator who asked for health checks must
    // not get a server that silently answers none.
    std::fputs("update_server: --metrics is not available in the Windows build\n", stderr);
    return 2;
  }
#endif
  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  startLog("update_server.log");
  ServerMetrics metrics;
#ifndef _WIN32
  std::unique_ptr<MetricsEndpoint> endpoint;
  if (!options.metricsAddress.empty()) {
    std::string manifest = options.dataFolder + "/" + kManifestName;
    // Healthy: listening, with the data set's manifest there to serve:
    // a plain file whose first byte reads (a folder made unreadable, or a
    // manifest gone or replaced by a folder, is not healthy).
    auto healthy = [&metrics, manifest]() -> std::string {
      if (metrics.serving.load() == 0) return "not serving";
      std::error_code error;
      std::filesystem::path path = toNativePath(manifest);
      std::ifstream file(path, std::ios::binary);
      if (!std::filesystem::is_regular_file(path, error) || !file || file.get() == EOF) {
        return "the data set has no readable " + std::string(kManifestName);
      }
      return "";
    };
    Status started = MetricsEndpoint::start(options.metricsAddress, options.metricsPort, metrics,
                                            healthy, &endpoint);
    if (!started.ok()) {
      logError(started.message());
      flushLog();
      return 1;
    }
    logLine("Metrics and health on http://" + options.metricsAddress + ":" +
            std::to_string(endpoint->port()) + "/metrics and /healthz");
  }
#endif
  int code = runUpdateServer(options, stopRequested, metrics);
#ifndef _WIN32
  endpoint.reset();  // before the metrics it reads
#endif
  flushLog();
  return code;
}
