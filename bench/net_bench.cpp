// One updater-like client for the network benchmark: connects through the
// network client, requests every name of a list through the request pump
// and takes the replies in the pump's order, polling every 2 ms as the
// update run does. Prints one line:
//   files N bytes B start S end E
// with S and E in seconds since the epoch (transfer phase only).
//
// usage: net_bench PORT LIST   (LIST: lines of "name size")

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <unordered_map>

#include "log/log.h"
#include "client/network_client.h"
#include "update/enet_source.h"
#include "update/request_pump.h"
#include "platform/sleep.h"
#include "update/file_update_controller.h"

namespace {

double epochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quor;
  if (argc != 3) {
    std::fprintf(stderr, "usage: net_bench PORT LIST\n");
    return 2;
  }
  std::unordered_map<std::string, std::string> pending;
  std::unordered_map<std::string, uint64_t> sizes;
  std::ifstream list(argv[2]);
  std::string name;
  uint64_t size = 0;
  while (list >> name >> size) {
    pending["./" + name] = name;
    sizes[name] = size;
  }
  startLog("net_bench_" + std::to_string(::getpid()) + ".log");
  {
    std::ofstream config("servers.config." + std::to_string(::getpid()));
    config << "bench\n127.0.0.1\n" << argv[1] << "\n";
  }
  if (createNetworkClient() == nullptr) return 1;
  FileUpdateController controller;
  registerController(&controller);
  if (!connectToServer("servers.config." + std::to_string(::getpid()), "")) return 1;
  std::thread network(networkThreadMain);

  std::atomic<int32_t> outstanding{0};
  std::atomic<bool> stop{false};
  double start = epochSeconds();
  EnetSource source;
  std::thread pump([&] { runRequestPump(pending, outstanding, stop, source); });
  uint64_t bytes = 0;
  size_t files = 0;
  int status = 0;
  for (const auto& [path, wanted] : pending) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::optional<ReceivedFile> reply;
    while (!(reply = controller.takeReceivedFile(wanted))) {
      sleepMs(2);
      if (std::chrono::steady_clock::now() > deadline) break;
    }
    if (!reply || reply->size != sizes[wanted]) {
      std::fprintf(stderr, "missing or short reply for %s\n", wanted.c_str());
      status = 1;
      break;
    }
    outstanding.fetch_sub(1);
    bytes += reply->size;
    ++files;
  }
  double end = epochSeconds();
  stop = true;
  pump.join();
  networkRunning = false;
  network.join();
  shutdownNetworkClient();
  std::printf("files %zu bytes %llu start %.6f end %.6f\n", files, static_cast<unsigned long long>(bytes), start,
              end);
  flushLog();
  return status;
}
