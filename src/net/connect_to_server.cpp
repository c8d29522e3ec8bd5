// connectToServer: the walk through the server list.

#include <fstream>

#include "log/log.h"
#include "net/messages.h"
#include "net/network_client.h"
#include "net/server_list.h"
#include "platform/native_path.h"

namespace quor {
namespace {

enum class Attempt { kConnected, kFailed, kNoPeers };

std::string failedAttemptLine(const ServerEntry& entry) {
  return "|||| Failed to connect to server \"" + entry.name + "\" (" + entry.host + ") on port " +
         entry.port + "!";
}

// One connection attempt; on failure the peer is reset and cleared. A host
// text that does not resolve fails without any connection being made.
Attempt tryEntry(NetworkClient& client, const ServerEntry& entry) EXCLUDES(client.enetLock) {
  ENetAddress address{};
  if (enet_address_set_host(&address, entry.host.c_str()) < 0) return Attempt::kFailed;
  address.port = parsePortText(entry.port);

  MutexLock lock(&client.enetLock);
  ENetPeer* peer = enet_host_connect(client.host, &address, kChannelCount, 0);
  if (peer == nullptr) return Attempt::kNoPeers;
  ENetEvent event;
  if (enet_host_service(client.host, &event, kConnectWaitMs) > 0 &&
      event.type == ENET_EVENT_TYPE_CONNECT) {
    client.connections.add(peer, true);
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

bool connectToServer(std::string path, std::string preferredName) {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr || !hasHost(*client)) return false;
  client->serverName.clear();
  std::ifstream list(toNativePath(path), std::ios::binary);
  if (!list) {
    logError(path + " not found, no idea where to connect...");
    return false;
  }
  while (std::optional<ServerEntry> entry = readServerEntry(list)) {
    client->serverName = entry->name;
    if (!preferredName.empty() && preferredName != entry->name) continue;
    switch (tryEntry(*client, *entry)) {
      case Attempt::kConnected:
        logLine("Connection to server succesful!", 0);
        return true;
      case Attempt::kNoPeers:
        logError("|||| No available peers for initiating an ENet connection.");
        return false;
      case Attempt::kFailed:
        logLine(failedAttemptLine(*entry), 0);
        client->serverName.clear();
        break;
    }
  }
  return false;
}

}  // namespace quor
