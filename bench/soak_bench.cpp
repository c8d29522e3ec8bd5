// Load for the server soak (bench/soak_bench.sh): CLIENTS threads, each in a loop
// for SECONDS: connect to update_server on 127.0.0.1:PORT, fetch the
// manifest and FILES_PER_VISIT files named in LIST, check every reply's
// size, disconnect. Every wait is bounded. Prints the visits made and any
// failure; exits non-zero when a visit failed.
//
//   soak_bench PORT SECONDS CLIENTS LIST FILES_PER_VISIT
//   (LIST: one "name size" per line)
#include <enet/enet.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dataset/layout.h"
#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"
#include "protocol/transport_limits.h"

namespace {

using namespace quor;
using Clock = std::chrono::steady_clock;

struct Served {
  std::string name;
  size_t size;
};

struct Totals {
  std::atomic<uint64_t> visits{0};
  std::atomic<uint64_t> files{0};
  std::atomic<uint64_t> bytes{0};
  std::atomic<uint64_t> failures{0};
  std::atomic<uint64_t> refusedConnects{0};
  std::atomic<uint64_t> droppedConnections{0};
};

// One visit: connect, fetch, disconnect. False when anything went wrong.
bool visit(uint16_t port, const std::vector<Served>& wanted, Totals& totals) {
  ENetHost* host = enet_host_create(nullptr, 1, kChannelCount, 0, 0);
  if (host == nullptr) return false;
  raiseTransportLimits(host);
  ENetAddress address{};
  enet_address_set_host_ip(&address, "127.0.0.1");
  address.port = port;
  ENetPeer* peer = enet_host_connect(host, &address, kChannelCount, 0);
  ENetEvent event;
  bool ok = peer != nullptr && enet_host_service(host, &event, 5000) > 0 &&
            event.type == ENET_EVENT_TYPE_CONNECT;
  std::multimap<std::string, size_t> expected;  // a name may be wanted twice
  if (!ok) ++totals.refusedConnects;
  if (ok) {
    auto send = [&](const Bytes& bytes) {
      enet_peer_send(peer, kFileUpdateChannel,
                     enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE));
    };
    send(buildManifestRequest());
    expected.emplace(kManifestName, SIZE_MAX);  // any size
    for (const Served& file : wanted) {
      send(buildFileRequest(file.name));
      expected.emplace(file.name, file.size);
    }
    enet_host_flush(host);
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (ok && !expected.empty() && Clock::now() < deadline) {
      if (enet_host_service(host, &event, 10) <= 0) continue;
      if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
        ++totals.droppedConnections;
        ok = false;
      }
      if (event.type != ENET_EVENT_TYPE_RECEIVE) continue;
      std::optional<FileReply> reply =
          decodeFileReply(ByteSpan(event.packet->data, event.packet->dataLength));
      if (reply) {
        auto it = expected.find(reply->path);
        if (it == expected.end() ||
            (it->second != SIZE_MAX && it->second != reply->content.size())) {
          ok = false;
        } else {
          totals.bytes += reply->content.size();
          ++totals.files;
          expected.erase(it);
        }
      }
      enet_packet_destroy(event.packet);
    }
    ok = ok && expected.empty();
    enet_peer_disconnect(peer, 0);
    auto until = Clock::now() + std::chrono::seconds(3);
    bool gone = false;
    while (!gone && Clock::now() < until) {
      if (enet_host_service(host, &event, 10) <= 0) continue;
      if (event.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(event.packet);
      gone = event.type == ENET_EVENT_TYPE_DISCONNECT;
    }
    if (!gone) enet_peer_reset(peer);
  }
  enet_host_destroy(host);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s PORT SECONDS CLIENTS LIST FILES_PER_VISIT\n", argv[0]);
    return 2;
  }
  uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
  int seconds = std::atoi(argv[2]);
  int clients = std::atoi(argv[3]);
  size_t perVisit = static_cast<size_t>(std::atoi(argv[5]));
  std::vector<Served> served;
  std::ifstream list(argv[4]);
  for (Served file; list >> file.name >> file.size;) served.push_back(file);
  if (served.empty() || enet_initialize() != 0) return 2;

  Totals totals;
  auto end = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      std::mt19937 random(static_cast<uint32_t>(c) + 1);
      while (Clock::now() < end) {
        std::vector<Served> wanted;
        for (size_t i = 0; i < perVisit; ++i) wanted.push_back(served[random() % served.size()]);
        if (visit(port, wanted, totals)) {
          ++totals.visits;
        } else {
          ++totals.failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::printf(
      "visits %llu, files %llu, bytes %llu, failed visits %llu (no connection %llu, dropped "
      "%llu)\n",
      static_cast<unsigned long long>(totals.visits.load()),
      static_cast<unsigned long long>(totals.files.load()),
      static_cast<unsigned long long>(totals.bytes.load()),
      static_cast<unsigned long long>(totals.failures.load()),
      static_cast<unsigned long long>(totals.refusedConnects.load()),
      static_cast<unsigned long long>(totals.droppedConnections.load()));
  return totals.failures == 0 ? 0 : 1;
}
