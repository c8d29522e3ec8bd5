// The updater's network client over real ENet on 127.0.0.1: against the
// update_server program, and against test servers inside this process
// that count requests, hold replies back or hang up.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "container/container.h"
#include "dataset/md5.h"
#include "net/request_pump.h"
#include "net_test_support.h"
#include "update/update_run.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::ConnectedClient;
using testing::ListeningHost;
using testing::ServerProcess;
using testing::TempDir;
using testing::randomBytes;
using testing::waitUntil;

// Runs the pump on its own thread, as the update run does.
class PumpThread {
 public:
  PumpThread(const PendingRequests& pending, std::atomic<int32_t>& outstanding)
      : thread_([&pending, &outstanding, this] {
          runRequestPump(pending, outstanding, stop);
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
std::map<std::string, Bytes> takeAll(ConnectedClient& client, const PendingRequests& pending,
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

class UpdateServerExchange : public ::testing::Test {
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

TEST_F(UpdateServerExchange, ManifestAndFilesArriveThroughThePump) {
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

TEST_F(UpdateServerExchange, FortyMebibyteFileArrivesWhole) {
  Bytes big = randomBytes(40u << 20, 40);
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

TEST_F(UpdateServerExchange, ServerRefusesNamesOutsideItsFolder) {
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

// A test server in this process that answers each FileRequest with a
// one-byte reply, but only every few milliseconds, and counts how many
// requests it holds unanswered at most.
class HoldingServer {
 public:
  HoldingServer()
      : thread_([this] {
          auto nextAnswer = testing::Clock::now();
          while (!stop_) {
            host_.serviceFor(1, [this](ENetEvent& event) { onEvent(event); });
            if (!held_.empty() && testing::Clock::now() >= nextAnswer) {
              testing::sendReliable(peer_, kFileUpdateChannel, buildFileReply(held_.front(), Bytes{7}));
              held_.erase(held_.begin());
              nextAnswer = testing::Clock::now() + std::chrono::milliseconds(15);
            }
          }
        }) {}
  ~HoldingServer() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return host_.port(); }

  std::atomic<int> received{0};
  std::atomic<int> mostHeld{0};

 private:
  void onEvent(ENetEvent& event) {
    if (event.type == ENET_EVENT_TYPE_CONNECT) peer_ = event.peer;
    if (event.type != ENET_EVENT_TYPE_RECEIVE) return;
    std::optional<FileRequest> request = decodeFileRequest(ByteSpan(event.packet->data, event.packet->dataLength));
    if (!request) return;
    held_.push_back(request->path);
    ++received;
    if (static_cast<int>(held_.size()) > mostHeld) mostHeld = static_cast<int>(held_.size());
  }

  ListeningHost host_;
  ENetPeer* peer_ = nullptr;
  std::vector<std::string> held_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(RequestPump, NeverMoreThanElevenRequestsOutstanding) {
  HoldingServer server;
  ConnectedClient client(server.port());
  ASSERT_TRUE(client.connected);
  PendingRequests pending;
  for (int i = 0; i < 40; ++i) pending["./f" + std::to_string(i)] = std::to_string(i) + ".compressed";
  std::atomic<int32_t> outstanding{0};
  PumpThread pump(pending, outstanding);
  std::map<std::string, Bytes> received = takeAll(client, pending, outstanding, 20000);
  EXPECT_EQ(received.size(), 40u);
  EXPECT_EQ(server.received, 40);
  // The pump filled the window, and never went past it.
  EXPECT_EQ(server.mostHeld, kMaxOutstandingRequests);
}

// A server that tests the update run's fallback from a failed patch to
// the whole file. It holds every reply until kMaxOutstandingRequests
// requests have come, answers the one patch request with bytes that are no
// patch, waits at most a second for two more requests (the whole file and
// one past the limit), then answers everything with content. It counts the
// most requests it saw unanswered at once.
class PatchFallbackServer {
 public:
  explicit PatchFallbackServer(const Bytes& content)
      : whole_(wholeFile(content)), thread_([this] { run(); }) {}
  ~PatchFallbackServer() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return host_.port(); }

  std::atomic<int> mostOpen{0};

 private:
  static Bytes wholeFile(const Bytes& content) {
    std::ostringstream out;
    containerEncode(generic, content.data(), static_cast<uint32_t>(content.size()), out);
    std::string bytes = out.str();
    return Bytes(bytes.begin(), bytes.end());
  }

  void run() {
    auto holdUntil = testing::Clock::time_point::max();
    while (!stop_) {
      host_.serviceFor(1, [this](ENetEvent& event) { onEvent(event); });
      if (!patchAnswered_ && received_ >= kMaxOutstandingRequests) {
        answer([](const std::string& name) { return name.ends_with(".patch"); }, Bytes{1, 2, 3});
        patchAnswered_ = true;
        holdUntil = testing::Clock::now() + std::chrono::seconds(1);
      }
      if (received_ >= kMaxOutstandingRequests + 2 || testing::Clock::now() > holdUntil) {
        answer([](const std::string&) { return true; }, whole_);
      }
    }
  }

  void onEvent(ENetEvent& event) {
    if (event.type == ENET_EVENT_TYPE_CONNECT) peer_ = event.peer;
    if (event.type != ENET_EVENT_TYPE_RECEIVE) return;
    std::optional<FileRequest> request =
        decodeFileRequest(ByteSpan(event.packet->data, event.packet->dataLength));
    if (!request) return;
    held_.push_back(request->path);
    ++received_;
    mostOpen = std::max(mostOpen.load(), received_ - answered_);
  }

  void answer(const std::function<bool(const std::string&)>& chosen, const Bytes& reply) {
    for (auto it = held_.begin(); it != held_.end();) {
      if (!chosen(*it)) {
        ++it;
        continue;
      }
      testing::sendReliable(peer_, kFileUpdateChannel, buildFileReply(*it, reply));
      ++answered_;
      it = held_.erase(it);
    }
  }

  Bytes whole_;
  ListeningHost host_;
  ENetPeer* peer_ = nullptr;
  std::vector<std::string> held_;
  int received_ = 0;
  int answered_ = 0;
  bool patchAnswered_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(RequestPump, TheWholeFileAfterAFailedPatchStaysWithinTheLimit) {
  TempDir dir;
  testing::ScopedCurrentDir here(dir.path());
  LogCapture log;
  Bytes content = randomBytes(2000, 9);
  PatchFallbackServer server(content);
  ConnectedClient client(server.port());
  ASSERT_TRUE(client.connected);
  Manifest manifest;
  PendingRequests pending;
  for (uint32_t i = 0; i < 20; ++i) {
    std::string path = "./data/quor/f" + std::to_string(i);
    manifest.files[path] = {static_cast<uint32_t>(bytesChecksum(content.data(), content.size())),
                            0, i};
    pending[path] = std::to_string(i) + ".compressed";
  }
  // Both walks follow the map's order, so the patch is the first reply
  // awaited while the pump holds the window full.
  auto first = pending.begin();
  first->second = std::to_string(manifest.files.at(first->first).fileNumber) + ".patch";

  ASSERT_TRUE(getUpdates(pending, manifest, client.files));
  EXPECT_EQ(server.mostOpen, kMaxOutstandingRequests);
  EXPECT_EQ(log.count("Fetching the whole file instead: "), 1);
  EXPECT_NE(log.text().find(": No remaining file requests\n: ... updates applied\n"
                            ": Written: 20\n: Patched: 0\n"),
            std::string::npos)
      << log.text();
}

TEST(RequestPump, CountsRequestsItCouldNotSend) {
  // No client at all: nothing is sent, yet every entry counts as sent.
  PendingRequests pending = {{"./a", "1.compressed"}, {"./b", "2.patch"}, {"./c", "3.compressed"}};
  std::atomic<int32_t> outstanding{0};
  std::atomic<bool> stop{false};
  runRequestPump(pending, outstanding, stop);
  EXPECT_EQ(outstanding, 3);
}

TEST(RequestPump, StopEndsTheWaitForRoom) {
  PendingRequests pending = {{"./a", "1.compressed"}, {"./b", "2.patch"}};
  std::atomic<int32_t> outstanding{kMaxOutstandingRequests};
  auto pump = std::make_unique<PumpThread>(pending, outstanding);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(pump->done);
  pump->stop = true;
  EXPECT_TRUE(waitUntil([&] { return pump->done.load(); }, 5000));
  pump.reset();
  EXPECT_EQ(outstanding, kMaxOutstandingRequests);
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

TEST(Disconnect, ReachesTheControllerOnceAndStopsTheSends) {
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

}  // namespace
}  // namespace quor
