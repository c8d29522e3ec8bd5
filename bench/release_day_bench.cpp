// Load of many players at once for bench/release_day_bench.sh: PLAYERS players on
// 127.0.0.1, each one ENet host with CONNECTIONS connections to
// update_server (the first with connect data 0, the others marked as extra
// connections, as a client with several connections marks them), serviced
// by a few threads. Each player asks for the manifest and the files of LIST
// (one "name size" per line), at most two requests open per connection,
// every reply's size checked.
//
//   release_day_bench once PORT PLAYERS CONNECTIONS LIST
//     every player fetches the list once; prints how many finished, could
//     not connect or failed, and the players' times (min/median/max)
//   release_day_bench fair PORT PLAYERS CONNECTIONS LIST SECONDS [ONE_CONNECTION_PLAYERS]
//     every player fetches the list over and over for SECONDS; prints the
//     players' throughput (min/median/max, max/min). The last
//     ONE_CONNECTION_PLAYERS players use one connection only, and their
//     median is printed beside the others'.
// Every wait is bounded (a player gives up after 60 s without a reply).
#include <enet/enet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "dataset/layout.h"
#include "protocol/extra_connections.h"
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

struct Connection {
  ENetPeer* peer = nullptr;
  bool up = false;
  bool gone = false;
  std::vector<std::string> open;  // requests sent, not answered
};

struct Player {
  const std::vector<Served>* served = nullptr;  // what every player fetches
  ENetHost* host = nullptr;
  std::vector<Connection> connections;
  std::deque<std::string> wanted;
  uint64_t bytes = 0;
  bool refused = false;  // no connection got in
  bool failed = false;
  bool finished = false;
  Clock::time_point lastReply;
  double seconds = 0;
};

void want(Player& player) {
  player.wanted.push_back(kManifestName);
  for (const Served& file : *player.served) player.wanted.push_back(file.name);
}

size_t expectedSize(const Player& player, const std::string& name) {
  for (const Served& file : *player.served) {
    if (file.name == name) return file.size;
  }
  return SIZE_MAX;  // the manifest: any size
}

void open(Player& player, uint16_t port, int connections) {
  player.host = enet_host_create(nullptr, static_cast<size_t>(connections), kChannelCount, 0, 0);
  if (player.host == nullptr) {
    player.failed = true;
    return;
  }
  raiseTransportLimits(player.host);
  // Several connections share the host's one socket: ENet's 256 KiB would
  // overflow with a window of data on each.
  enet_socket_set_option(player.host->socket, ENET_SOCKOPT_RCVBUF, 4 << 20);
  ENetAddress address{};
  enet_address_set_host_ip(&address, "127.0.0.1");
  address.port = port;
  for (int i = 0; i < connections; ++i) {
    Connection connection;
    connection.peer = enet_host_connect(player.host, &address, kChannelCount, i == 0 ? 0 : kExtraConnectionData);
    connection.gone = connection.peer == nullptr;
    player.connections.push_back(connection);
  }
  player.lastReply = Clock::now();
}

Connection* connectionOf(Player& player, ENetPeer* peer) {
  for (Connection& connection : player.connections) {
    if (connection.peer == peer) return &connection;
  }
  return nullptr;
}

void request(Player& player) {
  for (Connection& connection : player.connections) {
    while (connection.up && connection.open.size() < 2 && !player.wanted.empty()) {
      Bytes message = player.wanted.front() == kManifestName ? buildManifestRequest()
                                                             : buildFileRequest(player.wanted.front());
      enet_peer_send(connection.peer, kFileUpdateChannel,
                     enet_packet_create(message.data(), message.size(), ENET_PACKET_FLAG_RELIABLE));
      connection.open.push_back(player.wanted.front());
      player.wanted.pop_front();
    }
  }
}

bool allGone(const Player& player) {
  return std::all_of(player.connections.begin(), player.connections.end(),
                     [](const Connection& c) { return c.gone; });
}

void onReceive(Player& player, Connection& connection, const ENetEvent& event, bool again) {
  std::optional<FileReply> reply = decodeFileReply(ByteSpan(event.packet->data, event.packet->dataLength));
  if (!reply) return;
  auto it = std::find(connection.open.begin(), connection.open.end(), reply->path);
  size_t expected = expectedSize(player, reply->path);
  if (it == connection.open.end() || (expected != SIZE_MAX && expected != reply->content.size())) {
    player.failed = true;
    return;
  }
  connection.open.erase(it);
  player.bytes += reply->content.size();
  player.lastReply = Clock::now();
  bool idle = player.wanted.empty() &&
              std::all_of(player.connections.begin(), player.connections.end(),
                          [](const Connection& c) { return c.open.empty(); });
  if (idle && again) want(player);
  if (idle && !again) player.finished = true;
}

// Handles what the player's host has; true when anything happened.
bool service(Player& player, bool again, Clock::time_point start) {
  if (player.host == nullptr || player.finished || player.failed) return false;
  bool any = false;
  ENetEvent event;
  while (enet_host_service(player.host, &event, 0) > 0) {
    any = true;
    Connection* connection = connectionOf(player, event.peer);
    if (connection == nullptr) continue;
    if (event.type == ENET_EVENT_TYPE_CONNECT) connection->up = true;
    if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
      // A refused or dropped connection: its open requests go to the others.
      for (const std::string& name : connection->open) player.wanted.push_front(name);
      connection->open.clear();
      connection->up = false;
      connection->gone = true;
    }
    if (event.type == ENET_EVENT_TYPE_RECEIVE) {
      onReceive(player, *connection, event, again);
      enet_packet_destroy(event.packet);
    }
  }
  request(player);
  if (player.finished) player.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (allGone(player)) {
    player.refused = std::none_of(player.connections.begin(), player.connections.end(),
                                  [](const Connection& c) { return c.up || !c.open.empty(); }) &&
                     player.bytes == 0;
    player.failed = true;
  }
  if (Clock::now() - player.lastReply > std::chrono::seconds(60)) player.failed = true;
  return any;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s once|fair PORT PLAYERS CONNECTIONS LIST [SECONDS [ONE_CONNECTION_PLAYERS]]\n",
                 argv[0]);
    return 2;
  }
  bool fair = std::string(argv[1]) == "fair";
  uint16_t port = static_cast<uint16_t>(std::atoi(argv[2]));
  int playerCount = std::atoi(argv[3]);
  int connections = std::atoi(argv[4]);
  double seconds = argc > 6 ? std::atof(argv[6]) : 0;
  int single = argc > 7 ? std::atoi(argv[7]) : 0;
  std::vector<Served> served;
  std::ifstream list(argv[5]);
  for (Served file; list >> file.name >> file.size;) served.push_back(file);
  if (served.empty() || playerCount < 1 || connections < 1 || enet_initialize() != 0) return 2;

  std::vector<Player> players(static_cast<size_t>(playerCount));
  Clock::time_point start = Clock::now();
  for (size_t i = 0; i < players.size(); ++i) {
    bool one = static_cast<int>(i) >= playerCount - single;
    players[i].served = &served;
    open(players[i], port, one ? 1 : connections);
    want(players[i]);
  }
  Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::atomic<bool> stop{false};
  const size_t kThreads = 4;
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!stop.load()) {
        bool any = false;
        bool pending = false;
        for (size_t i = t; i < players.size(); i += kThreads) {
          any |= service(players[i], fair, start);
          pending |= !players[i].finished && !players[i].failed;
        }
        if ((fair && Clock::now() >= end) || (!fair && !pending)) break;
        if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  int finished = 0, refused = 0, failed = 0;
  std::vector<double> rates, singleRates, times;
  for (size_t i = 0; i < players.size(); ++i) {
    const Player& player = players[i];
    finished += player.finished;
    refused += player.refused;
    failed += player.failed && !player.refused;
    double rate = static_cast<double>(player.bytes) / 1e6 / elapsed;
    (static_cast<int>(i) >= playerCount - single ? singleRates : rates).push_back(rate);
    if (player.finished) times.push_back(player.seconds);
  }
  if (fair) {
    std::vector<double> all = rates;
    all.insert(all.end(), singleRates.begin(), singleRates.end());
    std::sort(all.begin(), all.end());
    std::printf("players %d, MB/s per player: min %.2f median %.2f max %.2f, max/min %.2f, total %.1f MB/s\n",
                playerCount, all.front(), median(all), all.back(), all.front() > 0 ? all.back() / all.front() : 0.0,
                [&] { double sum = 0; for (double r : all) sum += r; return sum; }());
    if (single > 0) {
      std::printf("median MB/s: %d-connection players %.2f, 1-connection players %.2f, ratio %.2f\n", connections,
                  median(rates), median(singleRates), median(singleRates) > 0 ? median(rates) / median(singleRates) : 0.0);
    }
    return failed + refused == 0 ? 0 : 1;
  }
  std::sort(times.begin(), times.end());
  std::printf("players %d: finished %d, could not connect %d, failed %d; seconds to finish: min %.1f median %.1f max %.1f\n",
              playerCount, finished, refused, failed, times.empty() ? 0 : times.front(), median(times),
              times.empty() ? 0 : times.back());
  for (Player& player : players) {
    if (player.host != nullptr) enet_host_destroy(player.host);
  }
  return finished == playerCount ? 0 : 1;
}
