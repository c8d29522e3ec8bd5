// update_server: serves the update data folder to updaters over ENet.
// Logs to update_server.log in the current folder and to the console.
// Ends cleanly on SIGINT or SIGTERM.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "log/log.h"
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
  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  startLog("update_server.log");
  int code = runUpdateServer(options, stopRequested);
  flushLog();
  return code;
}
