#include "client/network_client.h"

#include <mutex>
#include <vector>

#include "dataset/layout.h"
#include "log/log.h"
#include "client/dispatch.h"
#include "protocol/extra_connections.h"
#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"
#include "protocol/transport_limits.h"
#include "platform/sleep.h"

namespace quor {

std::atomic<NetworkClient*> theNetworkClient{nullptr};
std::atomic<bool> networkRunning{true};

namespace {

// Between datagrams the network thread has only timers to keep: ENet's
// pings and resends and the client's own stall and keep-alive checks, all
// of them tens of milliseconds or more. A short wait would wake every
// waiting updater hundreds of times a second for nothing; with a hundred
// of them on one machine those wake-ups took most of its processor.
constexpr uint32_t kIdleWaitMs = 20;
// Steps while connects settle.
constexpr uint32_t kConnectPauseMs = 2;

void initializeEnetOnce() {
  // ENet is never deinitialised: the host may be created again in the
  // same process, and the process end releases the rest.
  static std::once_flag once;
  std::call_once(once, [] { enet_initialize(); });
}

constexpr int kReceiveBufferBytes = 4 << 20;

// Queues one reliable packet on peer's file update channel.
bool sendOn(ENetPeer* peer, const Bytes& message) {
  ENetPacket* packet = enet_packet_create(message.data(), message.size(), ENET_PACKET_FLAG_RELIABLE);
  if (packet == nullptr) return false;
  if (enet_peer_send(peer, kFileUpdateChannel, packet) < 0) {
    enet_packet_destroy(packet);
    return false;
  }
  return true;
}

enum class Route { kFirst, kLeastLoaded };

// Sends message on the connection route picks. ENet sends only on a
// connected peer, so one the server has begun to close refuses the send
// before its disconnect event comes: it is set aside (its requests move
// when that event comes) and the next is tried. The peer sent on, or none.
ENetPeer* sendOnChosen(NetworkClient& client, Route route, const Bytes& message)
    REQUIRES(client.enetLock) {
  for (;;) {
    ENetPeer* peer = route == Route::kFirst ? client.connections.first()
                                            : client.connections.leastLoaded();
    if (peer == nullptr) return nullptr;
    if (sendOn(peer, message)) return peer;
    if (peer->state == ENET_PEER_STATE_CONNECTED) return nullptr;  // no memory for the packet
    client.connections.markClosing(peer);
  }
}

// Sends a request whose reply the connection set follows, on the first
// connection or the least loaded one; false when none is connected.
bool sendRequest(Route route, SentRequest request) {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return false;
  MutexLock lock(&client->enetLock);
  ENetPeer* peer = sendOnChosen(*client, route, request.message);
  if (peer == nullptr) return false;
  client->connections.sent(peer, std::move(request), ConnectionClock::now());
  // Out now rather than at the network thread's next pass, which may be
  // up to kIdleWaitMs away when the server has nothing left to send.
  enet_host_flush(client->host);
  return true;
}

// Sends the requests a dropped connection carried on the others.
void sendAgain(NetworkClient& client, std::vector<SentRequest> carried)
    REQUIRES(client.enetLock) {
  for (SentRequest& request : carried) {
    ENetPeer* peer = sendOnChosen(client, Route::kLeastLoaded, request.message);
    if (peer == nullptr) return;
    client.connections.sent(peer, std::move(request), ConnectionClock::now());
  }
}

// Closes peer at once, gracefully, and sends what it carried on the
// others; returns how many requests moved.
size_t closeAndMove(NetworkClient& client, ENetPeer* peer) REQUIRES(client.enetLock) {
  // A graceful close: the server hears of it for certain and frees what
  // it holds for the connection, and ENet takes nothing more from it.
  enet_peer_disconnect(peer, 0);
  std::vector<SentRequest> carried = client.connections.drop(peer);
  size_t moved = carried.size();
  sendAgain(client, std::move(carried));
  return moved;
}

// The request a reply on the file update channel ends, if it ends one.
std::optional<ReplyKey> replyKeyOf(uint8_t channel, ByteSpan packet) {
  if (channel != kFileUpdateChannel) return std::nullopt;
  switch (readMessageType(packet).value_or(0)) {
    case kFileReplyType:
      if (std::optional<FileReply> reply = decodeFileReply(packet)) return ReplyKey{reply->path, {}};
      break;
    case kFileRangeReplyType:
      if (std::optional<FileRangeReply> reply = decodeFileRangeReply(packet)) {
        return ReplyKey{reply->name, reply->offset};
      }
      break;
    default:
      break;
  }
  return std::nullopt;
}

bool isRangeOffer(uint8_t channel, ByteSpan packet) {
  return channel == kFileUpdateChannel && readMessageType(packet) == kRangeOfferType;
}

// What became of the connections with one event.
struct EventEffect {
  bool lastConnectionLost = false;
  size_t requestsMoved = 0;
};

// False for a packet to be dropped unread: from a peer the client did not
// connect to, or a reply to nothing it asked (ConnectionSet::answered).
bool noteReceived(NetworkClient& client, const ENetEvent& event) REQUIRES(client.enetLock) {
  ByteSpan packet(event.packet->data, event.packet->dataLength);
  if (!client.connections.answered(event.peer, replyKeyOf(event.channelID, packet),
                                   ConnectionClock::now())) {
    return false;
  }
  if (isRangeOffer(event.channelID, packet)) client.rangesOffered = true;
  return true;
}

EventEffect noteDisconnect(NetworkClient& client, ENetPeer* peer) REQUIRES(client.enetLock) {
  bool known = false;
  for (ENetPeer* open : client.connections.peers()) known = known || open == peer;
  std::vector<SentRequest> carried = client.connections.drop(peer);
  EventEffect effect;
  effect.lastConnectionLost = known && client.connections.size() == 0;
  if (effect.lastConnectionLost) return effect;
  effect.requestsMoved = carried.size();
  sendAgain(client, std::move(carried));
  return effect;
}

// One ENet event, taken under the lock, and its effect on the connections:
// a disconnect drops its connection at once, so no sender can use it while
// the event is being handled.
int nextEvent(NetworkClient& client, ENetEvent& event, EventEffect& effect)
    EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  if (client.host == nullptr) return 0;
  int result = enet_host_service(client.host, &event, 0);
  if (result > 0) {
    switch (event.type) {
      case ENET_EVENT_TYPE_CONNECT:
        // The host takes connects from anyone on its port: only the
        // connections it opened itself count.
        if (client.connections.contains(event.peer)) {
          client.connections.markConnected(event.peer);
        } else {
          enet_peer_reset(event.peer);
        }
        break;
      case ENET_EVENT_TYPE_DISCONNECT:
        effect = noteDisconnect(client, event.peer);
        break;
      case ENET_EVENT_TYPE_RECEIVE:
        if (!noteReceived(client, event)) {
          enet_packet_destroy(event.packet);
          event.type = ENET_EVENT_TYPE_NONE;
        }
        break;
      default:
        break;
    }
  }
  // ENet's own total is 32 bits and left to the program to reset.
  client.receivedBytes.fetch_add(client.host->totalReceivedData);
  client.host->totalReceivedData = 0;
  return result;
}

// Handled without the lock, so a controller operation may itself send.
void handleEvent(NetworkClient& client, ENetEvent& event, const EventEffect& effect)
    EXCLUDES(client.enetLock) {
  switch (event.type) {
    case ENET_EVENT_TYPE_RECEIVE: {
      dispatch(client, event.channelID, ByteSpan(event.packet->data, event.packet->dataLength));
      MutexLock lock(&client.enetLock);
      enet_packet_destroy(event.packet);
      break;
    }
    case ENET_EVENT_TYPE_DISCONNECT:
      if (effect.requestsMoved != 0) {
        logLine("A connection to the server closed; " + std::to_string(effect.requestsMoved) +
                    " requests go on over the others",
                0);
      }
      if (!effect.lastConnectionLost) break;
      if (client.controller != nullptr) client.controller->onDisconnected();
      logLine("Disconnected from the server!", 0);
      break;
    default:
      break;
  }
}

// A hello on every connection that has been quiet for kKeepaliveMs, to a
// server that answers it.
void keepConnectionsAlive(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  if (!client.rangesOffered) return;
  auto now = ConnectionClock::now();
  Bytes hello = buildRangeHello(RangeHello{});
  for (ENetPeer* peer :
       client.connections.takeIdleSince(now - std::chrono::milliseconds(kKeepaliveMs), now)) {
    sendOn(peer, hello);
  }
}

// Whether ENet shows trouble on peer itself: a reply with a gap (a
// fragment or an earlier packet missing, which ENet's resending will fill
// only after its doubling wait), or a message of ours that had to be sent
// again and is still not acknowledged. A connection without either is
// waiting its turn at a busy server, and closing it would only put its
// requests at the back of the queue.
bool transportStuck(ENetPeer* peer) {
  for (size_t channel = 0; channel < peer->channelCount; ++channel) {
    if (!enet_list_empty(&peer->channels[channel].incomingReliableCommands)) return true;
  }
  for (ENetListIterator node = enet_list_begin(&peer->sentReliableCommands);
       node != enet_list_end(&peer->sentReliableCommands); node = enet_list_next(node)) {
    if (reinterpret_cast<ENetOutgoingCommand*>(node)->sendAttempts > 1) return true;
  }
  return false;
}

// Closes the connection that has waited longest when nothing has come for
// kStallMs (see there) and it is stuck rather than queued
// (ConnectionSet::stalled), and hands its requests to the others. Returns
// how many it handed on; 0 when it closed none.
size_t closeStalledConnection(NetworkClient& client) EXCLUDES(client.enetLock) {
  auto now = ConnectionClock::now();
  uint64_t received = client.receivedBytes.load();
  MutexLock lock(&client.enetLock);
  bool progress = received - client.receivedWhenWaitingBegan >= kStallProgressBytes;
  if (progress || client.connections.unansweredWeight() == 0) {
    client.waitingSince = now;
    client.receivedWhenWaitingBegan = received;
    return 0;
  }
  if (now - client.waitingSince < std::chrono::milliseconds(kStallMs)) return 0;
  ENetPeer* stalled = client.connections.stalled(transportStuck);
  if (stalled == nullptr || client.connections.connectedCount() < 2) return 0;
  size_t moved = closeAndMove(client, stalled);
  client.waitingSince = now;
  return moved;
}

LineSample lineSample(NetworkClient& client) REQUIRES(client.enetLock) {
  return {ConnectionClock::now(), client.receivedBytes.load(),
          client.connections.connectedCount(), client.connections.busyCount()};
}

// Opens connections until count are connected or connecting.
void openUpTo(NetworkClient& client, size_t count) REQUIRES(client.enetLock) {
  ENetPeer* first = client.connections.first();
  if (first == nullptr) return;
  ENetAddress address = first->address;
  for (size_t open = client.connections.size(); open < count; ++open) {
    ENetPeer* peer = enet_host_connect(client.host, &address, kChannelCount, kExtraConnectionData);
    if (peer == nullptr) return;
    client.connections.add(peer, false);
  }
}

// Moves the count of connections as the fit asks: the newest close at once
// (what they carried goes on over the others: on an overfull line it
// waits in ENet's resends) or new ones are opened. Returns a line to log,
// if any.
std::string fitConnections(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  if (!client.fit || client.host == nullptr) return {};
  size_t before = client.connections.connectedCount();
  std::optional<size_t> count = client.fit->observe(lineSample(client));
  if (!count || *count == before) return {};
  if (*count < before) {
    for (ENetPeer* peer : client.connections.newestConnected(before - *count)) {
      closeAndMove(client, peer);
    }
  } else {
    openUpTo(client, *count);
  }
  return "Connections to the server: " + std::to_string(*count) + " instead of " +
         std::to_string(before);
}

// Waits up to kIdleWaitMs for the next datagram without holding the lock,
// so a reply is handled as soon as it arrives instead of after a fixed
// pause.
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
  if (socket == ENET_SOCKET_NULL || enet_socket_wait(socket, &condition, kIdleWaitMs) < 0) {
    sleepMs(kIdleWaitMs);
  }
}

// Services the host until it has no more events; an error ends the pass.
void servicePass(NetworkClient& client) EXCLUDES(client.enetLock) {
  ENetEvent event;
  EventEffect effect;
  while (nextEvent(client, event, effect) > 0) {
    handleEvent(client, event, effect);
    effect = EventEffect{};
  }
}

// The client's ENet host; false when it cannot be created. The client is
// not published yet, so the lock is never contended; it is taken all the
// same so that host is only ever used under it.
bool createHost(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  client.host = enet_host_create(nullptr, kClientPeerSlots, kChannelCount, 0, 0);
  if (client.host == nullptr) return false;
  raiseTransportLimits(client.host);
  // Several connections at full speed share the one socket: a burst must
  // not overflow ENet's small default buffer between two services.
  enet_socket_set_option(client.host->socket, ENET_SOCKOPT_RCVBUF, kReceiveBufferBytes);
  return true;
}

// Starts the disconnect of every connection and sends what is queued.
// False when there is no host.
bool disconnectAndFlush(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  for (ENetPeer* peer : client.connections.peers()) enet_peer_disconnect(peer, 0);
  if (client.host == nullptr) return false;
  enet_host_flush(client.host);
  return true;
}

void destroyHost(NetworkClient& client) EXCLUDES(client.enetLock) {
  MutexLock lock(&client.enetLock);
  enet_host_destroy(client.host);
  client.host = nullptr;
  client.connections = ConnectionSet();
  client.waitedOutConnects.clear();
  client.fit.reset();
}

// Gives up the connects still under way; returns how many are connected.
size_t dropUnconnected(NetworkClient& client) REQUIRES(client.enetLock) {
  for (ENetPeer* peer : client.connections.unconnectedPeers()) {
    client.connections.drop(peer);
    enet_peer_reset(peer);
  }
  return client.connections.connectedCount();
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
    keepConnectionsAlive(*client);
    std::string fitted = fitConnections(*client);
    if (!fitted.empty()) logLine(fitted, 0);
    if (size_t moved = closeStalledConnection(*client)) {
      logLine("A connection to the server stalled; " + std::to_string(moved) +
                  " requests go on over the others",
              0);
    }
    awaitTraffic(*client);
  }
}

void dropServer() {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return;
  MutexLock lock(&client->enetLock);
  for (ENetPeer* peer : client->connections.peers()) enet_peer_disconnect_now(peer, 0);
  client->connections = ConnectionSet();
  client->fit.reset();
  client->rangesOffered = false;
}

bool connectedToServer() {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return false;
  MutexLock lock(&client->enetLock);
  return client->connections.connectedCount() != 0;
}

uint64_t bytesReceivedFromServer() {
  NetworkClient* client = theNetworkClient.load();
  return client != nullptr ? client->receivedBytes.load() : 0;
}

bool sendFileRequest(std::string name) {
  Bytes message = buildFileRequest(name);
  return sendRequest(Route::kLeastLoaded, {{std::move(name), {}}, kWholeFileWeight, std::move(message)});
}

bool sendManifestRequest() {
  return sendRequest(Route::kFirst, {{kManifestName, {}}, kWholeFileWeight, buildManifestRequest()});
}

bool sendRangeHello() {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return false;
  MutexLock lock(&client->enetLock);
  ENetPeer* peer = sendOnChosen(*client, Route::kFirst, buildRangeHello(RangeHello{}));
  if (peer == nullptr) return false;
  client->connections.sentUntracked(peer, ConnectionClock::now());
  return true;
}

bool sendFileRangeRequest(const std::string& name, uint64_t offset, uint32_t length) {
  FileRangeRequest request;
  request.name = name;
  request.offset = offset;
  request.length = length;
  return sendRequest(Route::kLeastLoaded,
                     {{name, offset}, length, buildFileRangeRequest(request)});
}

size_t openExtraConnections(size_t count, uint32_t waitMs) {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return 0;
  {
    MutexLock lock(&client->enetLock);
    if (client->host == nullptr || client->connections.first() == nullptr) return 0;
    openUpTo(*client, count);
  }
  auto deadline = ConnectionClock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    {
      MutexLock lock(&client->enetLock);
      bool settled = client->connections.connectedCount() == client->connections.size();
      if (settled || ConnectionClock::now() >= deadline) {
        return dropUnconnected(*client);
      }
    }
    sleepMs(kConnectPauseMs);
  }
}

void fitToLine() {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return;
  MutexLock lock(&client->enetLock);
  std::optional<ConnectionClock::duration> roundTrip = client->connections.firstRoundTrip();
  size_t open = client->connections.connectedCount();
  if (!roundTrip || open <= 2) return;
  client->fit.emplace(*roundTrip, open, lineSample(*client));
}

void limitDownloadRate(uint64_t bytesPerSecond) {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return;
  MutexLock lock(&client->enetLock);
  client->rateGate.emplace(bytesPerSecond, RateGate::Clock::now(), client->receivedBytes.load());
}

bool requestAllowed(uint64_t weight) {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return true;
  MutexLock lock(&client->enetLock);
  if (!client->rateGate) return true;
  return client->rateGate->allows(client->receivedBytes.load(),
                                  client->connections.unansweredWeight(), weight,
                                  RateGate::Clock::now());
}

std::optional<ConnectionClock::duration> measuredRoundTrip() {
  NetworkClient* client = theNetworkClient.load();
  if (client == nullptr) return std::nullopt;
  MutexLock lock(&client->enetLock);
  return client->connections.firstRoundTrip();
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
