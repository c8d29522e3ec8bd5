// connectToServer and connectToNextServer: the walk through the server
// list.

#include <algorithm>
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

// A connect whose wait ran out is not reset but left connecting in its
// slot. A far server's late answer to it then reaches that slot: were the
// slot free, ENet would give it to the next connect, take the late answer
// as a wrong answer to that one and drop it, again with each answer the
// server sends once more, so a far server could never be reached twice in
// a row. A late answer from the server being tried is taken as its
// connection; any other connect is reset. A few are kept at most, so the
// slots for the connections stay free.
constexpr size_t kMaxWaitedOutConnects = kClientPeerSlots / 2;

bool sameAddress(const ENetAddress& a, const ENetAddress& b) {
  return a.host == b.host && a.port == b.port;
}

// Takes peer off the waited-out list; false when it was not on it.
bool forgetWaitedOut(NetworkClient& client, ENetPeer* peer) REQUIRES(client.enetLock) {
  auto& waited = client.waitedOutConnects;
  auto found = std::find(waited.begin(), waited.end(), peer);
  if (found == waited.end()) return false;
  waited.erase(found);
  return true;
}

void keepWaitedOut(NetworkClient& client, ENetPeer* peer) REQUIRES(client.enetLock) {
  auto& waited = client.waitedOutConnects;
  if (waited.size() >= kMaxWaitedOutConnects) {
    enet_peer_reset(waited.front());
    waited.erase(waited.begin());
  }
  waited.push_back(peer);
}

void giveUpWaitedOut(NetworkClient& client) REQUIRES(client.enetLock) {
  for (ENetPeer* peer : client.waitedOutConnects) enet_peer_reset(peer);
  client.waitedOutConnects.clear();
}

// Waits until deadline for the connect of peer, or of a waited-out connect
// to the same address, and returns the peer that connected (null when
// none did). The host, like any ENet host, takes connects on its port from
// anyone: a stranger that connects meanwhile is reset at once, and
// whatever arrives is dropped unread, so only the server the updater
// asked for can answer.
ENetPeer* awaitOwnConnect(NetworkClient& client, ENetPeer* peer,
                          ConnectionClock::time_point deadline) REQUIRES(client.enetLock) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      ConnectionClock::now());
    if (left.count() <= 0) return nullptr;
    ENetEvent event;
    int result = enet_host_service(client.host, &event, static_cast<enet_uint32>(left.count()));
    if (result <= 0) return nullptr;
    switch (event.type) {
      case ENET_EVENT_TYPE_CONNECT:
        if (event.peer == peer) return peer;
        if (forgetWaitedOut(client, event.peer) && sameAddress(event.peer->address, peer->address))
          return event.peer;
        enet_peer_reset(event.peer);
        break;
      case ENET_EVENT_TYPE_RECEIVE:
        enet_packet_destroy(event.packet);
        break;
      case ENET_EVENT_TYPE_DISCONNECT:
        if (event.peer == peer) return nullptr;
        forgetWaitedOut(client, event.peer);
        break;
      default:
        break;
    }
  }
}

// One connection attempt. A host that did not resolve fails without any
// connection being made.
Attempt tryTarget(NetworkClient& client, const ServerTarget& target, uint32_t waitMs)
    EXCLUDES(client.enetLock) {
  if (!target.address) return Attempt::kFailed;
  ENetAddress address{*target.address, target.port};
  MutexLock lock(&client.enetLock);
  auto start = ConnectionClock::now();
  ENetPeer* peer = enet_host_connect(client.host, &address, kChannelCount, 0);
  if (peer == nullptr) return Attempt::kNoPeers;
  ENetPeer* connected = awaitOwnConnect(client, peer, start + std::chrono::milliseconds(waitMs));
  if (connected == nullptr) {
    if (peer->state != ENET_PEER_STATE_DISCONNECTED && peer->state != ENET_PEER_STATE_ZOMBIE) {
      keepWaitedOut(client, peer);
    } else {
      enet_peer_reset(peer);
    }
    return Attempt::kFailed;
  }
  if (connected != peer) enet_peer_reset(peer);
  giveUpWaitedOut(client);
  client.connections.add(connected, true);
  client.connections.connectTook(ConnectionClock::now() - start);
  return Attempt::kConnected;
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
    if (target->web) return true;
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
