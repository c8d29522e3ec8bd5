// Helpers of the network tests: ENet hosts on free loopback ports, the
// update_server program in the background, the updater's network client
// set up against a port, and the request pump on its own thread.
#pragma once

#include <enet/enet.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "log/log.h"
#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"
#include "client/network_client.h"
#include "update/request_pump.h"
#include "protocol/transport_limits.h"
#include "test_support.h"
#include "update/enet_source.h"
#include "update/file_update_controller.h"

namespace quor::testing {

using Clock = std::chrono::steady_clock;

inline uint16_t randomPort() {
  static std::mt19937 generator(std::random_device{}());
  return static_cast<uint16_t>(20000 + generator() % 40000);
}

// Polls done every millisecond until it holds or timeoutMs has passed.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// An ENet host listening on 127.0.0.1, on a free port found by trying.
class ListeningHost {
 public:
  explicit ListeningHost(size_t peers = 4) {
    enet_initialize();
    for (int attempt = 0; attempt < 50 && host_ == nullptr; ++attempt) {
      ENetAddress address{};
      enet_address_set_host_ip(&address, "127.0.0.1");
      address.port = randomPort();
      host_ = enet_host_create(&address, peers, kChannelCount, 0, 0);
      port_ = address.port;
    }
    if (host_ == nullptr) throw std::runtime_error("no free port for a test host");
  }
  ~ListeningHost() { enet_host_destroy(host_); }
  ListeningHost(const ListeningHost&) = delete;
  ListeningHost& operator=(const ListeningHost&) = delete;

  ENetHost* host() const { return host_; }
  uint16_t port() const { return port_; }

  // Services the host for about ms milliseconds, handing every event to
  // onEvent (received packets are destroyed afterwards).
  void serviceFor(int ms, const std::function<void(ENetEvent&)>& onEvent) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
      ENetEvent event;
      while (enet_host_service(host_, &event, 1) > 0) {
        onEvent(event);
        if (event.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(event.packet);
      }
    }
  }

 private:
  ENetHost* host_ = nullptr;
  uint16_t port_ = 0;
};

inline void sendReliable(ENetPeer* peer, uint8_t channel, const Bytes& bytes) {
  ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
  if (enet_peer_send(peer, channel, packet) < 0) enet_packet_destroy(packet);
}

// A bare ENet client speaking the file update messages, for tests that need
// several clients in one process or one that stops reading.
class RawClient {
 public:
  // from: the loopback address it sends from (127.0.0.1 when none).
  explicit RawClient(uint16_t port, const char* from = nullptr) {
    enet_initialize();
    ENetAddress local{};
    if (from != nullptr) enet_address_set_host_ip(&local, from);
    host_ = enet_host_create(from != nullptr ? &local : nullptr, 1, kChannelCount, 0, 0);
    raiseTransportLimits(host_);
    ENetAddress address{};
    enet_address_set_host_ip(&address, "127.0.0.1");
    address.port = port;
    peer_ = enet_host_connect(host_, &address, kChannelCount, 0);
    ENetEvent event;
    if (enet_host_service(host_, &event, 5000) <= 0 || event.type != ENET_EVENT_TYPE_CONNECT) {
      throw std::runtime_error("test client could not connect");
    }
  }
  ~RawClient() { enet_host_destroy(host_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void request(const std::string& name) { send(buildFileRequest(name)); }
  void send(const Bytes& message, uint8_t channel = kFileUpdateChannel) {
    sendReliable(peer_, channel, message);
    enet_host_flush(host_);
  }

  // One service call of at most waitMs; replies go into replies.
  void serviceOnce(int waitMs = 1) {
    ENetEvent event;
    if (enet_host_service(host_, &event, static_cast<uint32_t>(waitMs)) <= 0) return;
    if (event.type == ENET_EVENT_TYPE_DISCONNECT) disconnected = true;
    if (event.type != ENET_EVENT_TYPE_RECEIVE) return;
    ByteSpan packet(event.packet->data, event.packet->dataLength);
    types.push_back(readMessageType(packet).value_or(0));
    std::optional<FileReply> reply;
    if (types.back() == kFileReplyType) reply = decodeFileReply(packet);
    if (reply) {
      replies[reply->path] = Bytes(reply->content.begin(), reply->content.end());
      ++replyCount;
      if (reply->content.empty()) ++emptyReplies;
    } else {
      others.emplace_back(packet.begin(), packet.end());
    }
    enet_packet_destroy(event.packet);
  }

  // Services until count replies have arrived or timeoutMs has passed.
  bool collect(size_t count, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (replyCount < count && Clock::now() < deadline) serviceOnce(5);
    return replyCount >= count;
  }

  // The same for packets other than FileReplies.
  bool collectOthers(size_t count, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (others.size() < count && Clock::now() < deadline) serviceOnce(5);
    return others.size() >= count;
  }

  std::map<std::string, Bytes> replies;
  size_t replyCount = 0;
  size_t emptyReplies = 0;
  std::vector<Bytes> others;    // every packet that is no FileReply, in order
  std::vector<uint32_t> types;  // the type word of every packet, in order
  bool disconnected = false;

 private:
  ENetHost* host_ = nullptr;
  ENetPeer* peer_ = nullptr;
};

// One ENet host on a loopback address (from) opening count connections to
// the server on 127.0.0.1 and asking for nothing: one client, as far as
// the server can tell.
class IdleConnections {
 public:
  IdleConnections(uint16_t port, size_t count, uint32_t connectData = 0, const char* from = "127.0.0.1") {
    enet_initialize();
    ENetAddress local{};
    enet_address_set_host_ip(&local, from);
    host_ = enet_host_create(&local, count, kChannelCount, 0, 0);
    if (host_ == nullptr) throw std::runtime_error("no host for idle connections");
    ENetAddress address{};
    enet_address_set_host_ip(&address, "127.0.0.1");
    address.port = port;
    for (size_t i = 0; i < count; ++i) enet_host_connect(host_, &address, kChannelCount, connectData);
  }
  ~IdleConnections() { enet_host_destroy(host_); }
  IdleConnections(const IdleConnections&) = delete;
  IdleConnections& operator=(const IdleConnections&) = delete;

  // Answers the server (ENet's pings) without asking anything.
  void service() {
    ENetEvent event;
    while (enet_host_service(host_, &event, 0) > 0) {
      if (event.type == ENET_EVENT_TYPE_CONNECT) ++connects;
      if (event.type == ENET_EVENT_TYPE_DISCONNECT) ++disconnects;
      if (event.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(event.packet);
    }
  }
  // Services until every connection was made and held ones remain.
  bool settle(size_t held, int timeoutMs) {
    return waitUntil(
        [&] {
          service();
          return connects == host_->peerCount && connects - disconnects == held;
        },
        timeoutMs);
  }

  size_t connects = 0;
  size_t disconnects = 0;

 private:
  ENetHost* host_ = nullptr;
};

// The update_server program serving a folder, on a free port found by
// trying. Its console output goes to a file that output() reads.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& dataFolder, std::vector<std::string> extra = {}) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      port_ = randomPort();
      std::vector<std::string> args = {updateServerBinary(), "--port", std::to_string(port_),
                                       "--data", dataFolder};
      args.insert(args.end(), extra.begin(), extra.end());
      process_ = std::make_unique<BackgroundProcess>(args, work_.path());
      if (process_->waitForOutput("listening on port", 10) && process_->running()) return;
      stop();
    }
    throw std::runtime_error("update_server did not start");
  }
  ~ServerProcess() { stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  uint16_t port() const { return port_; }
  int pid() const { return process_->pid(); }
  std::string output() const { return process_->output(); }
  const std::string& workFolder() const { return work_.path(); }

  // SIGTERM, then at most 10 s for the process to end (SIGKILL after
  // that); on Windows an immediate end. The exit code, or -1 when it was
  // killed.
  int stop() { return process_->stop(15); }

 private:
  TempDir work_;
  uint16_t port_ = 0;
  std::unique_ptr<BackgroundProcess> process_;
};

// The updater's network client connected to 127.0.0.1:port, with a
// FileUpdateController and a running network thread; torn down in the
// update mode's order.
class ConnectedClient {
 public:
  explicit ConnectedClient(uint16_t port, ClientController* controller = nullptr) {
    if (createNetworkClient() == nullptr) throw std::runtime_error("no ENet client host");
    registerController(controller != nullptr ? controller : &files);
    std::string config = dir_ / "servers.config";
    writeFile(config, "test\n127.0.0.1\n" + std::to_string(port) + "\n");
    connected = connectToServer(config, "");
    networkRunning.store(true);
    thread_ = std::thread(networkThreadMain);
  }
  ~ConnectedClient() {
    networkRunning.store(false);
    thread_.join();
    shutdownNetworkClient();
    networkRunning.store(true);
  }

  // Waits at most timeoutMs for the reply named name.
  std::optional<ReceivedFile> waitFor(const std::string& name, int timeoutMs) {
    std::optional<ReceivedFile> file;
    waitUntil([&] { return (file = files.takeReceivedFile(name)).has_value(); }, timeoutMs);
    return file;
  }

  FileUpdateController files;
  bool connected = false;

 private:
  TempDir dir_;
  std::thread thread_;
};

using PendingRequests = std::unordered_map<std::string, std::string>;

// Runs the pump on its own thread, as the update run does.
class PumpThread {
 public:
  PumpThread(const PendingRequests& pending, std::atomic<int32_t>& outstanding)
      : thread_([&pending, &outstanding, this] {
          EnetSource source;
          runRequestPump(pending, outstanding, stop, source);
          done = true;
        }) {}
  ~PumpThread() {
    stop = true;
    thread_.join();
  }
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};

 private:
  std::thread thread_;
};

// Takes each reply in the table's order, as the update run does, and
// counts it off the outstanding requests.
inline std::map<std::string, Bytes> takeAll(ConnectedClient& client, const PendingRequests& pending,
                                            std::atomic<int32_t>& outstanding, int timeoutMs) {
  std::map<std::string, Bytes> received;
  for (const auto& [path, name] : pending) {
    std::optional<ReceivedFile> file = client.waitFor(name, timeoutMs);
    if (!file) break;
    outstanding.fetch_sub(1);
    received[name] = file->data.value_or(Bytes{});
  }
  return received;
}

}  // namespace quor::testing
