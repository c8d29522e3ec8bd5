#include "net/network_client.h"

#include <mutex>
#include <vector>

#include "log/log.h"
#include "net/dispatch.h"
#include "net/messages.h"
#include "net/transport_limits.h"
#include "platform/sleep.h"

namespace quor {

std::atomic<NetworkClient*> theNetworkClient{nullptr};
std::atomic<bool> networkRunning{true};

namespace {

constexpr uint32_t kServicePauseMs = 2;

void initializeEnetOnce() {
  // ENet is never deinitialised: the host may be created again in the
  // same process, and the process end releases the rest.
  static std::once_flag once;
  std::call_once(once, [] { enet_initialize(); });
}

// Queues one reliable packet on the file update channel, if connected.
bool sendToServer(const Bytes& message) {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return false;
  MutexLock lock(&client->enetLock);
  if (client->peer == nullptr) return false;
  ENetPacket* packet = enet_packet_create(message.data(), message.size(), ENET_PACKET_FLAG_RELIABLE);
  if (packet == nullptr) return false;
  if (enet_peer_send(client->peer, kFileUpdateChannel, packet) < 0) {
    enet_packet_destroy(packet);
    return false;
  }
  return true;
}

// One ENet event, taken under the lock. A disconnect clears peer at once,
// so no sender can use it while the event is being handled.
int nextEvent(NetworkClient& client, ENetEvent& event) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  if (client.host == nullptr) return 0;
  int result = enet_host_service(client.host, &event, 0);
  if (result > 0 && event.type == ENET_EVENT_TYPE_DISCONNECT) client.peer = nullptr;
  // ENet's own total is 32 bits and left to the program to reset.
  client.receivedBytes.fetch_add(client.host->totalReceivedData);
  client.host->totalReceivedData = 0;
  return result;
}

// Handled without the lock, so a controller operation may itself send.
void handleEvent(NetworkClient& client, ENetEvent& event) EXCLUDES(client.enetLock) {
  switch (event.type) {
    case ENET_EVENT_TYPE_RECEIVE: {
      dispatch(client, event.channelID, ByteSpan(event.packet->data, event.packet->dataLength));
      MutexLock lock(&client.enetLock);
      enet_packet_destroy(event.packet);
      break;
    }
    case ENET_EVENT_TYPE_DISCONNECT:
      if (client.controller != nullptr) client.controller->onDisconnected();
      logLine("Disconnected from the server!", 0);
      break;
    default:
      break;
  }
}

// Waits up to 2 ms for the next datagram without holding the lock, so a
// reply is handled as soon as it arrives instead of after a fixed pause.
void awaitTraffic(NetworkClient& client) EXCLUDES(client.enetLock) {
  ENetSocket socket;
  {
    MutexLock lock(&client.enetLock);
    if (client.host == nullptr) {
      socket = ENET_SOCKET_NULL;
    } else {
      socket = client.host->socket;
    }
  }
  enet_uint32 condition = ENET_SOCKET_WAIT_RECEIVE;
  if (socket == ENET_SOCKET_NULL || enet_socket_wait(socket, &condition, kServicePauseMs) < 0) {
    sleepMs(kServicePauseMs);
  }
}

// Services the host until it has no more events; an error ends the pass.
void servicePass(NetworkClient& client) EXCLUDES(client.enetLock) {
  ENetEvent event;
  while (nextEvent(client, event) > 0) handleEvent(client, event);
}

// The client's ENet host; false when it cannot be created. The client is
// not published yet, so the lock is never contended; it is taken all the
// same so that host is only ever used under it.
bool createHost(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  client.host = enet_host_create(nullptr, kClientPeerSlots, kChannelCount, 0, 0);
  if (client.host == nullptr) return false;
  raiseTransportLimits(client.host);
  return true;
}

// Starts the disconnect of the peer, if any, and sends what is queued.
// False when there is no host.
bool disconnectAndFlush(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  if (client.peer != nullptr) enet_peer_disconnect(client.peer, 0);
  if (client.host == nullptr) return false;
  enet_host_flush(client.host);
  return true;
}

void destroyHost(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  enet_host_destroy(client.host);
  client.host = nullptr;
  client.peer = nullptr;
}

}  // namespace

NetworkClient* createNetworkClient() {
  initializeEnetOnce();
  auto* client = new NetworkClient;
  if (!createHost(*client)) {
    logError("An error occurred while trying to create an ENet client host.\n");
    delete client;
    return nullptr;
  }
  theNetworkClient.store(client);
  return client;
}

void registerController(ClientController* controller) {
  if (NetworkClient* client = theNetworkClient.load()) client->controller = controller;
}

void networkThreadMain() {
  while (networkRunning.load()) {
    NetworkClient* client = theNetworkClient.load();
    if (client == nullptr) return;
    servicePass(*client);
    awaitTraffic(*client);
  }
}

uint64_t bytesReceivedFromServer() {
  NetworkClient* client = theNetworkClient.load();
  return client != nullptr ? client->receivedBytes.load() : 0;
}

bool sendFileRequest(std::string name) { return sendToServer(buildFileRequest(name)); }

bool sendManifestRequest() { return sendToServer(buildManifestRequest()); }

bool sendRangeHello() { return sendToServer(buildRangeHello(RangeHello{})); }

bool sendFileRangeRequest(const std::string& name, uint64_t offset, uint32_t length) {
  FileRangeRequest request;
  request.name = name;
  request.offset = offset;
  request.length = length;
  return sendToServer(buildFileRangeRequest(request));
}

void shutdownNetworkClient() {
  NetworkClient* client = theNetworkClient.exchange(nullptr);
  if (client == nullptr) return;
  if (disconnectAndFlush(*client)) {
    sleepMs(kShutdownFlushPauseMs);
    destroyHost(*client);
    logLine("Enet client destroyed", 0);
  }
  delete client;
}

}  // namespace quor
