// connectToServer and connectToNextServer: the walk through the server
// list.

#include "log/log.h"
#include "net/messages.h"
#include "net/network_client.h"
#include "net/server_walk.h"
#include "platform/host_addresses.h"

namespace quor {
namespace {

enum class Attempt { kConnected, kFailed, kNoPeers };

std::string failedAttemptLine(const ServerEntry& entry) {
  return "|||| Failed to connect to server \"" + entry.name + "\" (" + entry.host + ") on port " +
         entry.port + "!";
}

// One connection attempt; on failure the peer is reset. A host that did
// not resolve fails without any connection being made.
Attempt tryTarget(NetworkClient& client, const ServerTarget& target) EXCLUDES(client.enetLock) {
  if (!target.address) return Attempt::kFailed;
  ENetAddress address{*target.address, target.port};
  MutexLock lock(&client.enetLock);
  auto start = ConnectionClock::now();
  ENetPeer* peer = enet_host_connect(client.host, &address, kChannelCount, 0);
  if (peer == nullptr) return Attempt::kNoPeers;
  ENetEvent event;
  if (enet_host_service(client.host, &event, kConnectWaitMs) > 0 &&
      event.type == ENET_EVENT_TYPE_CONNECT) {
    client.connections.add(peer, true);
    client.connections.connectTook(ConnectionClock::now() - start);
    return Attempt::kConnected;
  }
  enet_peer_reset(peer);
  return Attempt::kFailed;
}

bool hasHost(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  return client.host != nullptr;
}

}  // namespace

bool connectToNextServer(ServerWalk& walk) {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr || !hasHost(*client)) return false;
  client->serverName.clear();
  if (!walk.listFound()) {
    logError(walk.listPath() + " not found, no idea where to connect...");
    return false;
  }
  while (std::optional<ServerTarget> target = walk.next()) {
    client->serverName = target->entry.name;
    switch (tryTarget(*client, *target)) {
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

bool connectToServer(std::string path, std::string preferredName) {
  ServerWalk walk(path, std::move(preferredName), resolveHostAddresses, freshWalkSeed());
  return connectToNextServer(walk);
}

}  // namespace quor
