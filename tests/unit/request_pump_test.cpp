// The request pump against a test server inside this process that holds
// its replies back and counts the requests outstanding.

#include "net/request_pump.h"

#include <gtest/gtest.h>

#include <mutex>

#include "net_test_support.h"

namespace quor {
namespace {

using testing::ConnectedClient;
using testing::ListeningHost;
using testing::PendingRequests;
using testing::PumpThread;
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

}  // namespace
}  // namespace quor
