// The updater's network client over real ENet on 127.0.0.1: against the
// update_server program, and against a test server inside this process
// that hangs up; and its creation when no socket can be had.

#include "client/network_client.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "dataset/layout.h"
#include "protocol/extra_connections.h"
#include "net_test_support.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::ConnectedClient;
using testing::ListeningHost;
using testing::PendingRequests;
using testing::PumpThread;
using testing::ServerProcess;
using testing::TempDir;
using testing::randomBytes;
using testing::takeAll;
using testing::waitUntil;

class NetworkClientExchange : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(data_); }
  void put(const std::string& name, const Bytes& content) {
    testing::writeFile(data_ + "/" + name, content);
    files_[name] = content;
  }

  TempDir dir_;
  std::string data_ = dir_ / "update_data";
  std::map<std::string, Bytes> files_;
};

TEST_F(NetworkClientExchange, ManifestAndFilesArriveThroughThePump) {
  put("manifest.manifest", randomBytes(300, 1));
  PendingRequests pending;
  for (int i = 0; i < 40; ++i) {
    std::string name = std::to_string(i) + (i % 2 ? ".patch" : ".compressed");
    put(name, randomBytes(static_cast<size_t>(i) * 997, i));
    pending["./data/quor/f" + std::to_string(i)] = name;
  }
  ServerProcess server(data_);
  ConnectedClient client(server.port());
  ASSERT_TRUE(client.connected);

  ASSERT_TRUE(sendManifestRequest());
  std::optional<ReceivedFile> manifest = client.waitFor("manifest.manifest", 20000);
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->data, files_["manifest.manifest"]);

  std::atomic<int32_t> outstanding{0};
  PumpThread pump(pending, outstanding);
  std::map<std::string, Bytes> received = takeAll(client, pending, outstanding, 20000);
  ASSERT_EQ(received.size(), pending.size());
  for (const auto& [name, content] : received) EXPECT_EQ(content, files_[name]) << name;
  EXPECT_EQ(outstanding, 0);
}

TEST_F(NetworkClientExchange, ThirtyMebibyteFileArrivesWhole) {
  // Close to what one packet carries at ENet's default datagram size.
  Bytes big = randomBytes(30u << 20, 40);
  put("1.compressed", big);
  ServerProcess server(data_);
  ConnectedClient client(server.port());
  ASSERT_TRUE(client.connected);
  ASSERT_TRUE(sendFileRequest("1.compressed"));
  std::optional<ReceivedFile> file = client.waitFor("1.compressed", 120000);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size, big.size());
  EXPECT_TRUE(file->data == big);
}

// Keeps the range messages the network thread hands over.
class RangeRecorder : public ClientController {
 public:
  void onRangeOffer(const RangeOffer& offer) override {
    std::lock_guard<std::mutex> lock(mutex);
    offers.push_back(offer.maxPieceSize);
  }
  void onFileRangeReply(const FileRangeReply& reply) override {
    std::lock_guard<std::mutex> lock(mutex);
    pieces.push_back({reply.offset, Bytes(reply.data.begin(), reply.data.end())});
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return offers.size() + pieces.size();
  }
  std::mutex mutex;
  std::vector<uint32_t> offers;
  std::vector<std::pair<uint64_t, Bytes>> pieces;
};

TEST_F(NetworkClientExchange, RangeMessagesTravelAtTheDefaultDatagramSize) {
  Bytes file = randomBytes((3u << 20) / 2, 15);
  put("f", file);
  ServerProcess server(data_);
  RangeRecorder recorder;
  ConnectedClient client(server.port(), &recorder);
  ASSERT_TRUE(client.connected);
  {
    NetworkClient* network = theNetworkClient.load();
    MutexLock lock(&network->enetLock);
    EXPECT_EQ(network->connections.first()->mtu, uint32_t{ENET_HOST_DEFAULT_MTU});
  }
  ASSERT_TRUE(sendRangeHello());
  ASSERT_TRUE(sendFileRangeRequest("f", 1u << 20, 1u << 20));
  ASSERT_TRUE(waitUntil([&] { return recorder.count() == 2; }, 20000));
  std::lock_guard<std::mutex> lock(recorder.mutex);
  EXPECT_EQ(recorder.offers, std::vector<uint32_t>{kMaxPieceSize});
  ASSERT_EQ(recorder.pieces.size(), 1u);
  EXPECT_EQ(recorder.pieces[0].first, 1u << 20);
  EXPECT_TRUE(recorder.pieces[0].second == Bytes(file.begin() + (1 << 20), file.end()));
}

TEST_F(NetworkClientExchange, ServerRefusesNamesOutsideItsFolder) {
  testing::writeFile(dir_ / "secret", "outside");
  std::filesystem::create_directories(data_ + "/sub");
  put("sub/inner", Bytes{1});
  put("plain", Bytes{2});
  ServerProcess server(data_);
  ConnectedClient client(server.port());
  ASSERT_TRUE(client.connected);
  std::vector<std::string> refused = {"../secret", "sub/inner", dir_ / "secret", "/etc/passwd",
                                      "..\\secret", "C:secret", "..", "sub"};
  for (const std::string& name : refused) sendFileRequest(name);
  sendFileRequest("plain");
  for (const std::string& name : refused) {
    std::optional<ReceivedFile> file = client.waitFor(name, 20000);
    ASSERT_TRUE(file) << name;
    EXPECT_EQ(file->size, 0u) << name;
  }
  std::optional<ReceivedFile> plain = client.waitFor("plain", 20000);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->data, Bytes{2});
}

// Notes the disconnect in the log, so its place among the client's own
// lines can be checked.
class DisconnectWatcher : public FileUpdateController {
 public:
  void onDisconnected() override {
    ++disconnects;
    logLine("watcher saw the disconnect");
  }
  std::atomic<int> disconnects{0};
};

TEST(NetworkClient, DisconnectReachesTheControllerOnceAndStopsTheSends) {
  ListeningHost server;
  std::atomic<bool> hangUp{false};
  std::atomic<int> receivedAfterHangUp{0};
  std::atomic<bool> stop{false};
  std::thread serverThread([&] {
    ENetPeer* peer = nullptr;
    bool hungUp = false;
    while (!stop) {
      server.serviceFor(2, [&](ENetEvent& event) {
        if (event.type == ENET_EVENT_TYPE_CONNECT) peer = event.peer;
        if (event.type == ENET_EVENT_TYPE_RECEIVE && hungUp) ++receivedAfterHangUp;
      });
      if (hangUp && !hungUp && peer != nullptr) {
        enet_peer_disconnect(peer, 0);
        hungUp = true;
      }
    }
  });

  LogCapture log;
  DisconnectWatcher watcher;
  {
    ConnectedClient client(server.port(), &watcher);
    ASSERT_TRUE(client.connected);
    hangUp = true;
    ASSERT_TRUE(waitUntil([&] { return watcher.disconnects > 0; }, 10000));
    EXPECT_TRUE(waitUntil([&] { return log.count("Disconnected from the server!") == 1; }, 5000));
    EXPECT_FALSE(sendFileRequest("1.compressed"));
    EXPECT_FALSE(sendManifestRequest());
    EXPECT_FALSE(sendRangeHello());
    EXPECT_FALSE(sendFileRangeRequest("1.compressed", 0, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  stop = true;
  serverThread.join();

  EXPECT_EQ(watcher.disconnects, 1);
  EXPECT_EQ(receivedAfterHangUp, 0);
  std::vector<std::string> records = log.records();
  auto seen = std::find(records.begin(), records.end(), "watcher saw the disconnect");
  auto line = std::find(records.begin(), records.end(), "Disconnected from the server!");
  ASSERT_NE(seen, records.end());
  ASSERT_NE(line, records.end());
  EXPECT_LT(seen, line);
  EXPECT_EQ(log.count("Enet client destroyed"), 1);
}

#ifndef _WIN32  // getsockname
// The client's socket, and the port it is bound to once it has sent its
// first datagram (ENet binds a client host's socket on its first send),
// which anyone on the network can reach as the stranger below does.
ENetSocket clientSocket() {
  NetworkClient* client = theNetworkClient.load();
  MutexLock lock(&client->enetLock);
  return client->host->socket;
}
uint16_t boundPort(ENetSocket socket) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length);
  return ntohs(bound.sin_port);
}

// A stranger connects to the updater's own port while its server is slow
// to answer, and forges a manifest; the server itself sends a reply nobody
// asked for. Only the server's answer to the request may reach the run.
TEST(NetworkClient, StrangersAndUnaskedRepliesAreNotHeard) {
  ListeningHost server;
  Bytes realManifest = testing::randomBytes(200, 7);
  std::atomic<bool> stop{false};
  std::thread serverThread([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // a slow server
    while (!stop) {
      server.serviceFor(2, [&](ENetEvent& event) {
        if (event.type != ENET_EVENT_TYPE_RECEIVE) return;
        ByteSpan packet(event.packet->data, event.packet->dataLength);
        if (readMessageType(packet) != kManifestRequestType) return;
        testing::sendReliable(event.peer, kFileUpdateChannel, buildFileReply("17.compressed", Bytes(9, 1)));
        testing::sendReliable(event.peer, kFileUpdateChannel, buildFileReply(kManifestName, realManifest));
      });
    }
  });

  ASSERT_NE(createNetworkClient(), nullptr);
  FileUpdateController files;
  registerController(&files);
  std::atomic<int> strangerConnects{0};
  std::thread stranger([&, socket = clientSocket()] {
    ListeningHost host;
    uint16_t port = 0;
    waitUntil([&] { return (port = boundPort(socket)) != 0; }, 5000);
    ENetAddress address{};
    enet_address_set_host_ip(&address, "127.0.0.1");
    address.port = port;
    enet_host_connect(host.host(), &address, kChannelCount, 0);
    Bytes forged = buildFileReply(kManifestName, Bytes{});
    while (!stop) {
      host.serviceFor(20, [&](ENetEvent& event) {
        if (event.type == ENET_EVENT_TYPE_CONNECT) ++strangerConnects;
      });
      for (size_t i = 0; i < host.host()->peerCount; ++i) {
        ENetPeer* peer = &host.host()->peers[i];
        if (peer->state == ENET_PEER_STATE_CONNECTED) testing::sendReliable(peer, kFileUpdateChannel, forged);
      }
    }
  });
  testing::TempDir dir;
  testing::writeFile(dir / "servers.config", "test\n127.0.0.1\n" + std::to_string(server.port()) + "\n");
  EXPECT_TRUE(connectToServer(dir / "servers.config", ""));
  networkRunning = true;
  std::thread network(networkThreadMain);
  EXPECT_TRUE(sendManifestRequest());
  std::optional<ReceivedFile> manifest;
  EXPECT_TRUE(waitUntil([&] { return (manifest = files.takeReceivedFile(kManifestName)).has_value(); }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(files.takeReceivedFile("17.compressed"));
  networkRunning = false;
  network.join();
  shutdownNetworkClient();
  networkRunning = true;
  stop = true;
  stranger.join();
  serverThread.join();
  ASSERT_TRUE(manifest);
  EXPECT_EQ(manifest->data, realManifest);
  EXPECT_GE(strangerConnects, 1);  // it did reach the port, and was not heard
}
#endif

// A server inside the test that answers FileRequests with the name as
// content, refusing extra connections or hanging up on the first extra
// connection that receives a request, without answering it.
struct ExtraConnectionServer {
  enum class Mode { kRefuseExtras, kDropOneExtra, kStallOneExtra };
  explicit ExtraConnectionServer(Mode mode) : mode(mode), thread([this] { run(); }) {}
  ~ExtraConnectionServer() {
    stop = true;
    thread.join();
  }
  void onEvent(ENetEvent& event) {
    if (event.type == ENET_EVENT_TYPE_CONNECT) {
      ++connects;
      bool extra = event.data == kExtraConnectionData;
      if (extra && mode == Mode::kRefuseExtras) enet_peer_disconnect(event.peer, 0);
      if (extra) extras.push_back(event.peer);
    }
    if (event.type != ENET_EVENT_TYPE_RECEIVE) return;
    std::optional<FileRequest> request =
        decodeFileRequest(ByteSpan(event.packet->data, event.packet->dataLength));
    if (!request) return;
    bool isExtra = std::find(extras.begin(), extras.end(), event.peer) != extras.end();
    if (isExtra && mode != Mode::kRefuseExtras && dropped == nullptr) {
      dropped = event.peer;  // stalled: it never answers, yet stays open
      if (mode == Mode::kDropOneExtra) enet_peer_disconnect(event.peer, 0);
    }
    if (event.peer == dropped) return;
    Bytes content(request->path.begin(), request->path.end());
    Bytes reply = buildFileReply(request->path, content);
    enet_peer_send(event.peer, kFileUpdateChannel,
                   enet_packet_create(reply.data(), reply.size(), ENET_PACKET_FLAG_RELIABLE));
    answeredOnExtras += isExtra ? 1 : 0;
  }
  void run() {
    while (!stop) server.serviceFor(2, [this](ENetEvent& event) { onEvent(event); });
  }

  ListeningHost server{32};
  Mode mode;
  std::atomic<bool> stop{false};
  std::atomic<int> connects{0};
  std::atomic<int> answeredOnExtras{0};
  std::vector<ENetPeer*> extras;  // server thread only
  ENetPeer* dropped = nullptr;    // server thread only
  std::thread thread;
};

TEST(NetworkClient, ExtraConnectionsShareTheRequestsAndSurviveRefusalAndDrops) {
  using Mode = ExtraConnectionServer::Mode;
  for (auto mode : {Mode::kRefuseExtras, Mode::kDropOneExtra, Mode::kStallOneExtra}) {
    bool refuse = mode == Mode::kRefuseExtras;
    SCOPED_TRACE(refuse ? "server refuses extras"
                        : mode == Mode::kDropOneExtra ? "server drops one extra"
                                                      : "one extra never answers");
    LogCapture log;
    ExtraConnectionServer server(mode);
    ConnectedClient client(server.server.port());
    ASSERT_TRUE(client.connected);
    size_t open = openExtraConnections(4, 3000);
    ASSERT_TRUE(waitUntil([&] { return server.connects == 4; }, 5000));
    if (refuse) {
      // A refusal may come only after the connect was settled.
      ASSERT_TRUE(waitUntil([] {
        NetworkClient* network = theNetworkClient.load();
        MutexLock lock(&network->enetLock);
        return network->connections.size() == 1;
      }, 5000));
    } else {
      EXPECT_EQ(open, 4u);
    }
    // In rounds the controller's table holds.
    for (int round = 0; round < 4; ++round) {
      for (int i = 0; i < 10; ++i) ASSERT_TRUE(sendFileRequest("f" + std::to_string(round * 10 + i)));
      for (int i = 0; i < 10; ++i) {
        std::string name = "f" + std::to_string(round * 10 + i);
        std::optional<ReceivedFile> file = client.waitFor(name, 20000);
        ASSERT_TRUE(file && file->data) << name;
        EXPECT_EQ(*file->data, Bytes(name.begin(), name.end()));
      }
    }
    if (refuse) {
      EXPECT_EQ(server.answeredOnExtras, 0);
    } else {
      EXPECT_GT(server.answeredOnExtras, 0);
      EXPECT_EQ(log.count("Disconnected from the server!"), 0);
      bool stalled = mode == Mode::kStallOneExtra;
      EXPECT_EQ(log.count("A connection to the server closed; "), stalled ? 0 : 1);
      EXPECT_EQ(log.count("A connection to the server stalled; "), stalled ? 1 : 0);
    }
  }
}

#ifndef _WIN32  // setrlimit
// With no descriptor left for the host's socket, creation fails and says so.
void createWithoutDescriptors() {
  struct rlimit limit = {3, 3};
  setrlimit(RLIMIT_NOFILE, &limit);
  NetworkClient* client = createNetworkClient();
  std::fprintf(stderr, "client %s\n", client == nullptr && theNetworkClient.load() == nullptr ? "none" : "made");
  _exit(0);
}

TEST(NetworkClient, CreateNetworkClientFailureIsReturnedToTheCaller) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(createWithoutDescriptors(), ::testing::ExitedWithCode(0), "client none");
}
#endif

}  // namespace
}  // namespace quor
