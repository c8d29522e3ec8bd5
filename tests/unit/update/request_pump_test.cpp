// The request pump against a test server inside this process that holds
// its replies back and counts the requests outstanding.

#include "update/request_pump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <sstream>

#include "container/container.h"
#include "dataset/md5.h"
#include "net_test_support.h"
#include "null_source.h"
#include "update/enet_source.h"
#include "update/update_run.h"

namespace quor {
namespace {

using testing::ConnectedClient;
using testing::ListeningHost;
using testing::LogCapture;
using testing::PendingRequests;
using testing::PumpThread;
using testing::TempDir;
using testing::randomBytes;
using testing::takeAll;
using testing::waitUntil;

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

TEST(RequestPump, CountsRequestsItCouldNotSend) {
  // No client at all: nothing is sent, yet every entry counts as sent.
  PendingRequests pending = {{"./a", "1.compressed"}, {"./b", "2.patch"}, {"./c", "3.compressed"}};
  std::atomic<int32_t> outstanding{0};
  std::atomic<bool> stop{false};
  EnetSource source;
  runRequestPump(pending, outstanding, stop, source);
  EXPECT_EQ(outstanding, 3);
}

TEST(RequestPump, SendsOnlyWhileMayOpenAllows) {
  PendingRequests pending = {{"./a", "1.compressed"}, {"./b", "2.compressed"},
                             {"./c", "3.compressed"}};
  std::atomic<int32_t> outstanding{0};
  std::atomic<bool> stop{false};
  std::atomic<int> allowed{1};
  std::atomic<int> sent{0};
  WakeSignal roomMade;
  std::thread pump([&] {
    testing::NullSource source;
    runRequestPump(pending, outstanding, stop, source, [&](const std::string&) { ++sent; }, 100,
                   &roomMade, [&] { return sent.load() < allowed.load(); });
  });
  EXPECT_TRUE(waitUntil([&] { return sent.load() == 1; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sent.load(), 1);
  allowed = 3;
  roomMade.notify();
  pump.join();
  EXPECT_EQ(sent.load(), 3);
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
    EXPECT_TRUE(
        containerEncode(generic, content.data(), static_cast<uint32_t>(content.size()), out).ok());
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

  EnetSource source;
  ASSERT_TRUE(getUpdates(pending, manifest, client.files, source));
  EXPECT_EQ(server.mostOpen, kMaxOutstandingRequests);
  EXPECT_EQ(log.count("Fetching the whole file instead: "), 1);
  EXPECT_NE(log.text().find(": No remaining file requests\n: ... updates applied\n"
                            ": Written: 20\n: Patched: 0\n"),
            std::string::npos)
      << log.text();
}

}  // namespace
}  // namespace quor
