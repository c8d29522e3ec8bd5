// connectToServer and connectToNextServer: the walk through the server
// list.

#include <chrono>

#include "log/log.h"
#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"
#include "client/network_client.h"
#include "client/server_walk.h"
#include "platform/host_addresses.h"

namespace quor {
namespace {

enum class Attempt { kConnected, kFailed, kNoPeers };

std::string failedAttemptLine(const ServerEntry& entry) {
  return "|||| Failed to connect to server \"" + entry.name + "\" (" + entry.host + ") on port " +
         entry.port + "!";
}

enum class ConnectWait { kConnected, kTimedOut, kLost };

// Waits until deadline for peer's own connect. The host, like any ENet
// host, takes connects on its port from anyone: a stranger that connects
// meanwhile is reset at once, and whatever arrives is dropped unread, so
// only the server the updater asked for can answer.
ConnectWait awaitOwnConnect(ENetHost* host, ENetPeer* peer, ConnectionClock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      ConnectionClock::now());
    if (left.count() <= 0) return ConnectWait::kTimedOut;
    ENetEvent event;
    int result = enet_host_service(host, &event, static_cast<enet_uint32>(left.count()));
    if (result <= 0) return ConnectWait::kTimedOut;
    switch (event.type) {
      case ENET_EVENT_TYPE_CONNECT:
        if (event.peer == peer) return ConnectWait::kConnected;
        enet_peer_reset(event.peer);
        break;
      case ENET_EVENT_TYPE_RECEIVE:
        enet_packet_destroy(event.packet);
        break;
      case ENET_EVENT_TYPE_DISCONNECT:
        if (event.peer == peer) return ConnectWait::kLost;
        break;
      default:
        break;
    }
  }
}

// A far server's late answer to an earlier attempt's connect reaches the
// peer slot that attempt left, now used by the next attempt, and ENet
// drops that attempt as answered wrongly; it is made again, a few times
// at most, within the same wait.
constexpr int kConnectsPerAttempt = 3;

// One connection attempt; on failure the peer is reset. A host that did
// not resolve fails without any connection being made.
Attempt tryTarget(NetworkClient& client, const ServerTarget& target, uint32_t waitMs)
    EXCLUDES(client.enetLock) {
  if (!target.address) return Attempt::kFailed;
  ENetAddress address{*target.address, target.port};
  MutexLock lock(&client.enetLock);
  auto start = ConnectionClock::now();
  auto deadline = start + std::chrono::milliseconds(waitMs);
  for (int connect = 0; connect < kConnectsPerAttempt; ++connect) {
    ENetPeer* peer = enet_host_connect(client.host, &address, kChannelCount, 0);
    if (peer == nullptr) return Attempt::kNoPeers;
    ConnectWait waited = awaitOwnConnect(client.host, peer, deadline);
    if (waited == ConnectWait::kConnected) {
      client.connections.add(peer, true);
      client.connections.connectTook(ConnectionClock::now() - start);
      return Attempt::kConnected;
    }
    enet_peer_reset(peer);
    if (waited == ConnectWait::kTimedOut) break;
  }
  return Attempt::kFailed;
}

bool hasHost(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  return client.host != nullptr;
}

}  // namespace

bool connectToNextServer(ServerWalk& walk, uint32_t connectWaitMs) {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr || !hasHost(*client)) return false;
  client->serverName.clear();
  if (!walk.listFound()) {
    logError(walk.listPath() + " not found, no idea where to connect...");
    return false;
  }
  while (std::optional<ServerTarget> target = walk.next()) {
    client->serverName = target->entry.name;
    switch (tryTarget(*client, *target, connectWaitMs)) {
      case Attempt::kConnected:
        logLine("Connection to server succesful!", 0);
        return true;
      case Attempt::kNoPeers:
        logError("|||| No available peers for initiating an ENet connection.");
        return false;
      case Attempt::kFailed:
        // A name of several servers fails only when none of them answers.
        if (target->lastOfEntry) {
          logLine(failedAttemptLine(target->entry), 0);
        } else {
          logLine("|||| No answer from " + describeServer(*target) + "; trying its next address",
                  0);
        }
        client->serverName.clear();
        break;
    }
  }
  return false;
}

bool reconnectToServer(const ServerTarget& target) {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr || !hasHost(*client)) return false;
  client->serverName = target.entry.name;
  if (tryTarget(*client, target, kConnectWaitMs) == Attempt::kConnected) return true;
  client->serverName.clear();
  return false;
}

bool connectToServer(std::string path, std::string preferredName) {
  ServerWalk walk(path, std::move(preferredName), resolveHostAddresses, freshWalkSeed());
  return connectToNextServer(walk);
}

}  // namespace quor
