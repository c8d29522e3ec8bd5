#include "server/update_server.h"

#include <enet/enet.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "dataset/layout.h"
#include "log/log.h"
#include "protocol/extra_connections.h"
#include "protocol/file_update_messages.h"
#include "protocol/transport_limits.h"
#include "platform/native_path.h"
#include "server/drain_watch.h"
#include "server/live_slots.h"
#include "server/peer_admission.h"
#include "server/peer_pacing.h"
#include "server/range_replies.h"
#include "server/reply_copies.h"
#include "server/reply_scheduler.h"
#include "server/served_files.h"

namespace quor {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kServiceWaitMs = 5;
// A request names one file of a folder; anything longer is not one.
constexpr size_t kMaxRequestBytes = 4096;
// The socket's buffers: a burst of datagrams from thousands of peers
// (connects, acknowledgements, requests) that arrives while the loop is
// busy must wait there rather than be lost and sent again. The system may
// grant less (Linux: net.core.rmem_max and wmem_max).
constexpr int kSocketBufferBytes = 4 << 20;
// How often connections are looked over for idleness.
constexpr auto kIdleSweepInterval = std::chrono::milliseconds(250);
// More in flight than any answers without file data come to (offers,
// refusals, busy answers) while their peer reads them: a connection that
// holds more is fetching, not idle.
constexpr uint64_t kKeepAliveInFlight = 16u << 10;

struct ServerState {
  std::string folder;
  ENetHost* host = nullptr;
  ReplyScheduler scheduler;
  std::vector<std::string> peerNames;  // "address:port" per slot
  ReplyCopies copies;
  std::vector<uint64_t> bytesSent;     // reply bytes handed to ENet, per slot
  bool ranges = true;                  // off: ranges are unknown requests
  PeerAdmission admission;
  // Per slot: when its peer last asked for something or had a reply
  // queued or in flight.
  std::vector<Clock::time_point> lastBusy;
  Clock::duration idleLimit;
  Clock::time_point nextIdleSweep;
  std::unique_ptr<LiveSlots> liveSlots;  // once the host is created
  DrainWatch drain;
  // Per slot, for its present peer: the bytes of its packets ENet has
  // released, and the packets it still holds.
  std::vector<uint64_t> acknowledged;
  std::vector<std::vector<ENetPacket*>> held;
  // Per slot: its peer said hello to the range messages, so it can take
  // any file in pieces.
  std::vector<bool> knowsRanges;
  ServerMetrics* metrics;  // for the operators' endpoint, if any
};

void count(std::atomic<uint64_t>& counter, uint64_t by = 1) {
  counter.fetch_add(by, std::memory_order_relaxed);
}

// Holds the bytes of one reply packet until ENet releases the packet, and
// then returns its size to the scheduler.
struct ReplyBuffer {
  ServerState* server = nullptr;
  ReplyTicket ticket;
  std::shared_ptr<const ReplyCopy> copy;
  size_t fragments = 1;  // ENet holds one reference per fragment not yet acknowledged
};

void releaseReply(ENetPacket* packet) {
  auto* buffer = static_cast<ReplyBuffer*>(packet->userData);
  ServerState& server = *buffer->server;
  size_t slot = buffer->ticket.slot;
  server.scheduler.released(buffer->ticket);
  if (buffer->ticket.generation == server.scheduler.generation(slot)) {
    server.acknowledged[slot] += buffer->ticket.bytes;
    std::vector<ENetPacket*>& held = server.held[slot];
    held.erase(std::remove(held.begin(), held.end(), packet), held.end());
  }
  delete buffer;
}

// The bytes the peer of slot has acknowledged: its released packets, and
// the acknowledged fragments of those ENet still holds. O(packets held).
uint64_t acknowledgedBytes(const ServerState& server, size_t slot) {
  uint64_t bytes = server.acknowledged[slot];
  for (const ENetPacket* packet : server.held[slot]) {
    const auto* buffer = static_cast<const ReplyBuffer*>(packet->userData);
    size_t left = std::min(packet->referenceCount, buffer->fragments);
    bytes += packet->dataLength * (buffer->fragments - left) / buffer->fragments;
  }
  return bytes;
}

// A new peer in slot, or none: nothing of the old one counts for it.
void resetSlot(ServerState& server, size_t slot) {
  server.scheduler.resetSlot(slot);
  server.drain.reset(slot);
  server.acknowledged[slot] = 0;
  server.held[slot].clear();
  server.knowsRanges[slot] = false;
}

std::string addressText(const ENetAddress& address) {
  char ip[64] = "?";
  enet_address_get_host_ip(&address, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(address.port);
}

size_t slotOf(const ServerState& server, const ENetPeer* peer) {
  return static_cast<size_t>(peer - server.host->peers);
}

uint64_t replyBytes(const std::string& name, uint64_t contentBytes) {
  return buildFileReplyHead(name, 0).size() + contentBytes;
}

// A whole-file reply: the file is looked up now, read when it starts.
void sizeWholeFileReply(ServerState& server, size_t slot, QueuedReply& reply) {
  FileLookup lookup = lookUpServedFile(server.folder, reply.name);
  reply.refusal = std::move(lookup.refusal);
  reply.contentBytes = lookup.size;
  reply.bytes = replyBytes(reply.name, reply.contentBytes);
  uint32_t mtu = server.host->peers[slot].mtu;
  if (reply.refusal.empty() && reply.bytes > largestDeliverablePacket(mtu)) {
    // Sent anyway it would stall until ENet drops the connection.
    reply.refusal = "too large for one packet at a datagram size of " + std::to_string(mtu);
  }
  if (reply.refusal.empty() && server.knowsRanges[slot] && reply.contentBytes > kMaxPieceSize &&
      reply.name != kManifestName && reply.name != kSignatureFileName &&
      reply.name != kEncodingsIndexName) {
    // One such reply would hold a whole file's bytes in flight, which a
    // client that takes pieces never needs to ask.
    reply.refusal = "larger than a piece: ask for it in ranges";
  }
  if (!reply.refusal.empty()) {
    reply.contentBytes = 0;
    reply.bytes = replyBytes(reply.name, 0);
  }
}

// The bytes of a reply, counted against the scheduler's budget until their
// last user lets go; none when there are no bytes (not even a reply without
// content could be allocated).
std::shared_ptr<const ReplyCopy> share(ServerState& server, ReplyCopy packet) {
  if (!packet.bytes) return nullptr;
  ReplyScheduler* scheduler = &server.scheduler;
  scheduler->copyCreated(packet.size);
  return std::shared_ptr<const ReplyCopy>(new ReplyCopy(std::move(packet)),
                                          [scheduler](const ReplyCopy* done) {
                                            scheduler->copyReleased(done->size);
                                            delete done;
                                          });
}

// Hands copy to ENet for the peer of slot, counted in flight until ENet
// releases it; false when ENet did not take it.
bool sendCopy(ServerState& server, size_t slot, std::shared_ptr<const ReplyCopy> copy) {
  auto buffer = std::make_unique<ReplyBuffer>();
  buffer->copy = std::move(copy);
  size_t size = buffer->copy->size;
  ENetPacket* packet = enet_packet_create(buffer->copy->bytes.get(), size,
                                          ENET_PACKET_FLAG_RELIABLE | ENET_PACKET_FLAG_NO_ALLOCATE);
  if (packet == nullptr) return false;
  buffer->server = &server;
  buffer->ticket = server.scheduler.started(slot, size);
  ReplyBuffer* held = buffer.release();
  packet->userData = held;
  packet->freeCallback = releaseReply;
  if (sendLargePacket(&server.host->peers[slot], kFileUpdateChannel, packet) < 0) {
    enet_packet_destroy(packet);
    return false;
  }
  held->fragments = std::max<size_t>(1, packet->referenceCount);
  server.held[slot].push_back(packet);
  server.bytesSent[slot] += size;
  count(server.metrics->sentBytes, size);
  return true;
}

// A line about what a peer sent: it can send such things at will, so a
// flood of one kind from one peer is summed up (log/log.h), and a name it
// sent is cut to what a reader needs.
void logAboutPeer(const char* kind, const std::string& peerName, const std::string& text) {
  logRepeatableError(std::string(kind) + " " + peerName, text);
}
constexpr size_t kShownNameBytes = 160;
std::string shownName(const std::string& name) {
  return name.size() <= kShownNameBytes ? name : name.substr(0, kShownNameBytes) + "...";
}

// The answer to a request there is no room to queue, sent at once: "busy,
// ask again" for a piece, a reply without content for a whole file (which
// an updater takes as a failed fetch and asks for on its next run), the
// offer itself for a hello. A peer with two windows in flight, answers
// included, does not read them: it gets nothing, which would only pile up
// here.
void answerBusy(ServerState& server, size_t slot, const QueuedReply& reply) {
  const std::string& peerName = server.peerNames[slot];
  if (server.scheduler.inFlight(slot) >= 2 * server.scheduler.peerWindow()) {
    count(server.metrics->droppedRequests);
    logAboutPeer("queue full", peerName,
                 "|||| Too many queued requests from " + peerName + ", \"" + shownName(reply.name) +
                     "\" dropped");
    return;
  }
  ReplyCopy answer;
  switch (reply.kind) {
    case ReplyKind::kWholeFile:
      answer = copyOfPacket(buildFileReplyHead(reply.name, 0));
      break;
    case ReplyKind::kRangeOffer:
      answer = rangeOfferPacket();
      break;
    case ReplyKind::kFileRange:
      answer = busyRangeReply(reply.name, reply.offset);
      break;
  }
  std::shared_ptr<const ReplyCopy> copy = share(server, std::move(answer));
  if (!copy || !sendCopy(server, slot, std::move(copy))) {
    count(server.metrics->droppedRequests);
    logAboutPeer("queue full", peerName,
                 "|||| Too many queued requests from " + peerName + ", \"" + shownName(reply.name) +
                     "\" dropped");
    return;
  }
  count(server.metrics->busyRequests);
  logAboutPeer("queue full", peerName,
               "|||| Too many queued requests from " + peerName + ", \"" + shownName(reply.name) +
                   "\" answered busy");
}

// Range replies are read only when they start, so their queue entries stay
// small; bytes is the most a reply can come to.
void queueReply(ServerState& server, size_t slot, QueuedReply reply) {
  switch (reply.kind) {
    case ReplyKind::kWholeFile:
      sizeWholeFileReply(server, slot, reply);
      break;
    case ReplyKind::kRangeOffer:
      server.knowsRanges[slot] = true;
      reply.bytes = rangeOfferPacket().size;
      break;
    case ReplyKind::kFileRange:
      reply.length = std::min(reply.length, kMaxPieceSize);
      reply.bytes = rangeReplyBytes(reply.name, reply.length);
      break;
  }
  QueuedReply copy = reply;
  if (!server.scheduler.enqueue(slot, std::move(reply))) answerBusy(server, slot, copy);
}

// What a request asks for, or nothing for anything else.
std::optional<QueuedReply> askedReply(ByteSpan packet, bool ranges) {
  QueuedReply asked;
  uint32_t type = readMessageType(packet).value_or(0);
  if (!ranges && (type == kRangeHelloType || type == kFileRangeRequestType)) return std::nullopt;
  switch (type) {
    case kManifestRequestType:
      if (!decodeManifestRequest(packet)) return std::nullopt;
      asked.name = kManifestName;
      return asked;
    case kFileRequestType: {
      std::optional<FileRequest> request = decodeFileRequest(packet);
      if (!request) return std::nullopt;
      asked.name = std::move(request->path);
      return asked;
    }
    case kRangeHelloType:
      if (!decodeRangeHello(packet)) return std::nullopt;
      asked.kind = ReplyKind::kRangeOffer;
      return asked;
    case kFileRangeRequestType: {
      std::optional<FileRangeRequest> request = decodeFileRangeRequest(packet);
      if (!request) return std::nullopt;
      asked.kind = ReplyKind::kFileRange;
      asked.name = std::move(request->name);
      asked.offset = request->offset;
      asked.length = request->length;
      return asked;
    }
    default:
      return std::nullopt;
  }
}

void onReceive(ServerState& server, const ENetEvent& event) {
  size_t slot = slotOf(server, event.peer);
  const std::string& peerName = server.peerNames[slot];
  ByteSpan packet(event.packet->data, event.packet->dataLength);
  if (event.channelID != kFileUpdateChannel) {
    logAboutPeer("channel", peerName,
                 "|||| Packet on channel " + decimalText(uint32_t{event.channelID}) + " from " +
                     peerName + " ignored");
    return;
  }
  if (packet.size() > kMaxRequestBytes) {
    count(server.metrics->droppedRequests);
    logAboutPeer("oversized", peerName, "|||| Oversized request from " + peerName + " dropped");
    return;
  }
  std::optional<QueuedReply> asked = askedReply(packet, server.ranges);
  if (!asked) {
    count(server.metrics->droppedRequests);
    logAboutPeer("malformed", peerName,
                 "|||| Unrecognised or malformed request from " + peerName + " dropped");
    return;
  }
  queueReply(server, slot, std::move(*asked));
}

// Drops the peer of slot at once, without waiting for its answer (one that
// only holds a place may never give one), which frees the slot now; ENet
// reports no disconnect for it.
void dropPeer(ServerState& server, size_t slot) {
  enet_peer_disconnect_now(&server.host->peers[slot], 0);
  resetSlot(server, slot);
  server.admission.left(slot);
}

// An admitted peer is gone, by either side.
void countLeft(ServerState& server) {
  count(server.metrics->disconnects);
  server.metrics->connections.fetch_sub(1, std::memory_order_relaxed);
}

void onConnect(ServerState& server, const ENetEvent& event) {
  size_t slot = slotOf(server, event.peer);
  resetSlot(server, slot);
  server.peerNames[slot] = addressText(event.peer->address);
  server.bytesSent[slot] = 0;
  PeerAddress address{event.peer->address.host, event.peer->address.port};
  std::string refusal = server.admission.refusal(address, event.data == kExtraConnectionData,
                                                 server.liveSlots->freeSlots());
  if (!refusal.empty()) {
    logError("|||| Refused connection from " + server.peerNames[slot] + ": " + refusal);
    dropPeer(server, slot);
    return;
  }
  server.admission.admitted(slot, address);
  keepFullWindow(event.peer);
  server.scheduler.assignSlot(slot, address.playerKey(), address.ip);
  server.lastBusy[slot] = Clock::now();
  count(server.metrics->connects);
  server.metrics->connections.fetch_add(1, std::memory_order_relaxed);
  logLine("Client connected: " + server.peerNames[slot]);
}

// Closes a connection whose data in flight does not drain; true when it did.
bool closeIfStalled(ServerState& server, size_t slot, Clock::time_point now) {
  uint64_t inFlight = server.scheduler.inFlight(slot);
  if (!server.drain.stalled(slot, now, inFlight, [&] { return acknowledgedBytes(server, slot); })) {
    return false;
  }
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(server.drain.limits().window).count();
  logLine("Closed stalled connection: " + server.peerNames[slot] + " (" + std::to_string(inFlight) +
          " bytes in flight, under " + std::to_string(server.drain.limits().bytesPerSecond) +
          " bytes a second taken in " + std::to_string(seconds) + " s, " +
          std::to_string(server.bytesSent[slot]) + " bytes sent)");
  dropPeer(server, slot);
  count(server.metrics->stalledClosed);
  countLeft(server);
  return true;
}

// Closes the connections that do not take their data, and those that have
// fetched nothing for the idle limit: a keep-alive, an offer or a refusal
// is no fetching.
void closeIdlePeers(ServerState& server) {
  Clock::time_point now = Clock::now();
  if (now < server.nextIdleSweep) return;
  server.nextIdleSweep = now + kIdleSweepInterval;
  for (size_t slot = 0; slot < server.host->peerCount; ++slot) {
    if (!server.admission.holds(slot)) continue;
    if (closeIfStalled(server, slot, now)) continue;
    if (server.scheduler.waitsForData(slot) || server.scheduler.inFlight(slot) > kKeepAliveInFlight) {
      server.lastBusy[slot] = now;
      continue;
    }
    if (now - server.lastBusy[slot] < server.idleLimit) continue;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - server.lastBusy[slot]).count();
    logLine("Closed idle connection: " + server.peerNames[slot] + " (nothing asked for " +
            std::to_string(seconds) + " s, " + std::to_string(server.bytesSent[slot]) + " bytes sent)");
    dropPeer(server, slot);
    count(server.metrics->idleClosed);
    countLeft(server);
  }
}

void handleEvent(ServerState& server, ENetEvent& event) {
  switch (event.type) {
    case ENET_EVENT_TYPE_CONNECT:
      onConnect(server, event);
      break;
    case ENET_EVENT_TYPE_DISCONNECT: {
      size_t slot = slotOf(server, event.peer);
      if (server.admission.holds(slot)) countLeft(server);
      resetSlot(server, slot);
      server.admission.left(slot);
      logLine("Client disconnected: " + server.peerNames[slot] + " (" +
              std::to_string(server.bytesSent[slot]) + " bytes sent)");
      break;
    }
    case ENET_EVENT_TYPE_RECEIVE:
      onReceive(server, event);
      enet_packet_destroy(event.packet);
      break;
    default:
      break;
  }
}

// Allocates the reply packet's bytes and fills them: the head, then the
// file read straight into place. A file that cannot be had turns the reply
// into one without content, with the reason in reply.refusal.
std::unique_ptr<uint8_t[]> fillReply(const ServerState& server, QueuedReply& reply, size_t& size) {
  for (;;) {
    uint64_t content = reply.refusal.empty() ? reply.contentBytes : 0;
    Bytes head = buildFileReplyHead(reply.name, static_cast<uint32_t>(content));
    size = head.size() + content;
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size]);
    if (!bytes && content != 0) {
      reply.refusal = "out of memory";
      continue;
    }
    if (!bytes) return nullptr;
    std::memcpy(bytes.get(), head.data(), head.size());
    if (content != 0 &&
        !readServedFile(server.folder, reply.name, bytes.get() + head.size(), content).ok()) {
      reply.refusal = "could not be read";
      continue;
    }
    return bytes;
  }
}

std::shared_ptr<const ReplyCopy> makeCopy(ServerState& server, QueuedReply& reply) {
  size_t size = 0;
  std::unique_ptr<uint8_t[]> bytes = fillReply(server, reply, size);
  std::shared_ptr<const ReplyCopy> copy = share(server, ReplyCopy{std::move(bytes), size});
  if (copy && reply.refusal.empty()) server.copies.keep(reply.name, copy);
  return copy;
}

std::shared_ptr<const ReplyCopy> wholeFileCopy(ServerState& server, QueuedReply& reply) {
  if (reply.refusal.empty()) {
    if (std::shared_ptr<const ReplyCopy> held = server.copies.find(reply.name, reply.bytes)) return held;
  }
  return makeCopy(server, reply);
}

// A range reply is one piece, read for this peer alone: no copy is shared.
std::shared_ptr<const ReplyCopy> rangeCopy(ServerState& server, QueuedReply& reply) {
  RangeReply range = readRangeReply(server.folder, reply.name, reply.offset, reply.length);
  reply.refusal = std::move(range.refusal);
  reply.contentBytes = range.fileSize;
  return share(server, std::move(range.packet));
}

std::shared_ptr<const ReplyCopy> replyCopy(ServerState& server, QueuedReply& reply) {
  switch (reply.kind) {
    case ReplyKind::kWholeFile:
      return wholeFileCopy(server, reply);
    case ReplyKind::kRangeOffer:
      return share(server, rangeOfferPacket());
    case ReplyKind::kFileRange:
      return rangeCopy(server, reply);
  }
  return nullptr;
}

// One line per file: the first piece of a file served in ranges stands for
// all of them (the offer, and a piece past the end, make none).
void logStarted(const QueuedReply& reply, const std::string& peerName) {
  if (!reply.refusal.empty()) {
    return logAboutPeer("refused", peerName,
                        "|||| Refused \"" + shownName(reply.name) + "\" to " + peerName + ": " +
                            reply.refusal);
  }
  if (reply.kind == ReplyKind::kRangeOffer) return;
  if (reply.kind == ReplyKind::kFileRange && reply.offset != 0) return;
  logLine("Served " + reply.name + " (" + std::to_string(reply.contentBytes) + " bytes) to " + peerName);
}

void countStarted(ServerMetrics& metrics, const QueuedReply& reply) {
  if (!reply.refusal.empty()) return count(metrics.refusedRequests);
  if (reply.kind == ReplyKind::kWholeFile) count(metrics.wholeReplies);
  if (reply.kind == ReplyKind::kFileRange) count(metrics.rangeReplies);
}

void startReply(ServerState& server, size_t slot, QueuedReply reply) {
  std::shared_ptr<const ReplyCopy> copy = replyCopy(server, reply);
  if (!copy) {
    logError("|||| Out of memory, no reply for \"" + reply.name + "\" to " + server.peerNames[slot]);
    return;
  }
  if (!sendCopy(server, slot, std::move(copy))) {
    logError("|||| Could not send \"" + reply.name + "\" to " + server.peerNames[slot]);
    return;
  }
  logStarted(reply, server.peerNames[slot]);
  countStarted(*server.metrics, reply);
  if (reply.refusal.empty() && reply.kind != ReplyKind::kRangeOffer) server.lastBusy[slot] = Clock::now();
}

void startReplies(ServerState& server) {
  auto isHeld = [&server](const QueuedReply& reply) {
    return reply.kind == ReplyKind::kWholeFile && server.copies.find(reply.name, reply.bytes) != nullptr;
  };
  while (std::optional<ReplyScheduler::Pick> pick = server.scheduler.next(isHeld)) {
    startReply(server, pick->slot, std::move(pick->reply));
  }
}

void serve(ServerState& server, const std::atomic<bool>& stop) {
  while (!stop.load()) {
    holdOffEarlyResends(server.host);
    ENetEvent event;
    int result = enet_host_service(server.host, &event, kServiceWaitMs);
    while (result > 0) {
      handleEvent(server, event);
      result = enet_host_check_events(server.host, &event);
    }
    startReplies(server);
    closeIdlePeers(server);
    enet_host_flush(server.host);
    server.liveSlots->fit();
    server.metrics->queuedReplyBytes.store(static_cast<int64_t>(server.scheduler.queuedBytes()),
                                           std::memory_order_relaxed);
    server.metrics->freeSlots.store(static_cast<int64_t>(server.liveSlots->freeSlots()),
                                    std::memory_order_relaxed);
  }
}

// The data set's files and bytes as the server starts, for the metrics.
void noteDataSet(ServerMetrics& metrics, const std::string& folder) {
  int64_t files = 0, bytes = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator it(toNativePath(folder), error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::error_code sizeError;
    uintmax_t size = it->file_size(sizeError);
    if (sizeError) continue;
    ++files;
    bytes += static_cast<int64_t>(size);
  }
  metrics.dataFiles.store(files);
  metrics.dataBytes.store(bytes);
}

void disconnectEveryone(ENetHost* host) {
  for (size_t i = 0; i < host->peerCount; ++i) {
    if (host->peers[i].state == ENET_PEER_STATE_CONNECTED) enet_peer_disconnect_now(&host->peers[i], 0);
  }
  enet_host_flush(host);
}

}  // namespace

int runUpdateServer(const ServerOptions& options, const std::atomic<bool>& stop,
                    ServerMetrics& metrics) {
  std::error_code error;
  if (!std::filesystem::is_directory(toNativePath(options.dataFolder), error)) {
    logError("Data folder not found: " + options.dataFolder);
    return 1;
  }
  if (enet_initialize() != 0) {
    logError("ENet could not be initialised");
    return 1;
  }
  ENetAddress address{};
  address.host = ENET_HOST_ANY;
  address.port = options.port;
  ServerState server{options.dataFolder,
                     nullptr,
                     ReplyScheduler(options.peerSlots, SchedulerLimits{}),
                     std::vector<std::string>(options.peerSlots),
                     ReplyCopies{},
                     std::vector<uint64_t>(options.peerSlots),
                     options.ranges,
                     PeerAdmission(options.peerSlots, AdmissionLimits{options.perPlayer, options.perAddress}),
                     std::vector<Clock::time_point>(options.peerSlots),
                     std::chrono::seconds(options.idleSeconds),
                     Clock::now(),
                     nullptr,
                     DrainWatch(options.peerSlots, DrainLimits{std::chrono::seconds(options.stallSeconds)}),
                     std::vector<uint64_t>(options.peerSlots),
                     std::vector<std::vector<ENetPacket*>>(options.peerSlots),
                     std::vector<bool>(options.peerSlots),
                     &metrics};
  server.host = enet_host_create(&address, options.peerSlots, kChannelCount, 0, 0);
  if (server.host == nullptr) {
    logError("Could not listen on UDP port " + std::to_string(options.port));
    enet_deinitialize();
    return 1;
  }
#if ENET_VERSION >= ENET_VERSION_CREATE(1, 3, 10)
  // ENet counts connections still in their handshake here, which the
  // server itself never sees. The ENet of the Windows build (1.3.5) has no
  // such bound: there the server's own counts alone hold an address.
  server.host->duplicatePeers = server.admission.mostFromOneAddress();
#endif
  server.liveSlots = std::make_unique<LiveSlots>(server.host);
  limitServerReceiving(server.host);
  enet_socket_set_option(server.host->socket, ENET_SOCKOPT_RCVBUF, kSocketBufferBytes);
  enet_socket_set_option(server.host->socket, ENET_SOCKOPT_SNDBUF, kSocketBufferBytes);
  logLine("Update server listening on port " + std::to_string(options.port) + ", serving " +
          options.dataFolder);
  noteDataSet(metrics, options.dataFolder);
  metrics.startTimeSeconds.store(static_cast<int64_t>(std::time(nullptr)));
  metrics.serving.store(1);
  serve(server, stop);
  metrics.serving.store(0);
  disconnectEveryone(server.host);
  server.liveSlots.reset();
  // Releases every packet still held, through releaseReply, while the
  // scheduler is alive.
  enet_host_destroy(server.host);
  enet_deinitialize();
  logLine("Update server stopped");
  return 0;
}

}  // namespace quor
