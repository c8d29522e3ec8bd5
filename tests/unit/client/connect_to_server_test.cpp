// The connection attempts that the server list drives, against ENet hosts
// on 127.0.0.1: one that answers, one that never does.

#include <gtest/gtest.h>

#include "net_test_support.h"
#include "platform/host_addresses.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::ListeningHost;
using testing::TempDir;

// An ENet host serviced on its own thread, counting the connections it
// accepts.
class AnsweringHost {
 public:
  AnsweringHost() : thread_([this] {
      while (!stop_) {
        host_.serviceFor(5, [this](ENetEvent& event) {
          if (event.type == ENET_EVENT_TYPE_CONNECT) ++connects;
        });
      }
    }) {}
  ~AnsweringHost() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return host_.port(); }
  std::atomic<int> connects{0};

 private:
  ListeningHost host_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string failedLine(const std::string& name, const std::string& host, const std::string& port) {
  return "|||| Failed to connect to server \"" + name + "\" (" + host + ") on port " + port + "!";
}

class ConnectToServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(createNetworkClient(), nullptr); }
  void TearDown() override { shutdownNetworkClient(); }

  std::string list(const std::string& content) {
    testing::writeFile(path_, content);
    return path_;
  }
  static std::string entry(const std::string& name, const std::string& host, uint16_t port) {
    return name + "\n" + host + "\n" + std::to_string(port) + "\n";
  }
  // The server counts a connection once the client has acknowledged it,
  // which the network thread does.
  bool serverSees(AnsweringHost& server, int connects) {
    networkRunning = true;
    std::thread network(networkThreadMain);
    bool seen = testing::waitUntil([&] { return server.connects >= connects; }, 5000);
    if (connects == 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    networkRunning = false;
    network.join();
    networkRunning = true;
    return seen && server.connects == connects;
  }
  bool connected() {
    MutexLock lock(&theNetworkClient.load()->enetLock);
    return theNetworkClient.load()->connections.first() != nullptr;
  }

  TempDir dir_;
  std::string path_ = dir_ / "servers.config";
  // Bound but never serviced: connection attempts to it time out.
  ListeningHost silent_;
};

TEST_F(ConnectToServer, MissingListIsReportedWithItsPath) {
  LogCapture log;
  std::string missing = dir_ / "settings/servers.config";
  EXPECT_FALSE(connectToServer(missing, ""));
  EXPECT_EQ(log.records(),
            std::vector<std::string>{LogCapture::error(missing + " not found, no idea where to connect...")});
}

TEST_F(ConnectToServer, EmptyListConnectsNowhereAndSaysNothing) {
  LogCapture log;
  EXPECT_FALSE(connectToServer(list(""), ""));
  EXPECT_TRUE(log.records().empty());
}

TEST_F(ConnectToServer, FailedEntryIsReportedAndTheNextOneTried) {
  AnsweringHost server;
  LogCapture log;
  EXPECT_TRUE(connectToServer(list("\n127.0.0.1\n" + std::to_string(silent_.port()) + "\n" +
                                   entry("live", "127.0.0.1", server.port()) + entry("never", "", 1)),
                              ""));
  EXPECT_TRUE(connected());
  EXPECT_EQ(theNetworkClient.load()->serverName, "live");
  EXPECT_EQ(log.records(),
            (std::vector<std::string>{failedLine("", "127.0.0.1", std::to_string(silent_.port())),
                                      "Connection to server succesful!"}));
  EXPECT_TRUE(serverSees(server, 1));
}

TEST_F(ConnectToServer, EmptyHostLineEndsTheList) {
  AnsweringHost server;
  LogCapture log;
  EXPECT_FALSE(connectToServer(list(entry("dead", "127.0.0.1", silent_.port()) + "gap\n\n1\n" +
                                    entry("live", "127.0.0.1", server.port())),
                               ""));
  EXPECT_FALSE(connected());
  EXPECT_EQ(theNetworkClient.load()->serverName, "");
  EXPECT_EQ(log.records(),
            std::vector<std::string>{failedLine("dead", "127.0.0.1", std::to_string(silent_.port()))});
  EXPECT_TRUE(serverSees(server, 0));
}

TEST_F(ConnectToServer, PreferredNameMustMatchExactly) {
  AnsweringHost server;
  std::string servers = entry("Main", "127.0.0.1", silent_.port()) + entry("Backup", "127.0.0.1", server.port());
  {
    LogCapture log;
    EXPECT_FALSE(connectToServer(list(servers), "backup"));
    EXPECT_FALSE(connectToServer(list(servers), "Backup "));
    EXPECT_TRUE(log.records().empty());
  }
  LogCapture log;
  EXPECT_TRUE(connectToServer(list(servers), "Backup"));
  EXPECT_EQ(log.records(), std::vector<std::string>{"Connection to server succesful!"});
  EXPECT_TRUE(serverSees(server, 1));
}

TEST_F(ConnectToServer, PortLineIsReadUpToItsFirstNonDigit) {
  AnsweringHost server;
  LogCapture log;
  std::string port = std::to_string(server.port()) + "x";
  EXPECT_TRUE(connectToServer(list("x\n127.0.0.1\n" + port + "\r\n"), ""));
  EXPECT_EQ(log.records(), std::vector<std::string>{"Connection to server succesful!"});
  EXPECT_TRUE(serverSees(server, 1));
}

TEST_F(ConnectToServer, UnresolvableHostIsAFailedAttempt) {
  AnsweringHost server;
  LogCapture log;
  EXPECT_TRUE(connectToServer(list(entry("nowhere", "no-such-host.invalid", server.port()) +
                                   entry("here", "127.0.0.1", server.port())),
                              ""));
  EXPECT_EQ(log.records(),
            (std::vector<std::string>{failedLine("nowhere", "no-such-host.invalid", std::to_string(server.port())),
                                      "Connection to server succesful!"}));
  EXPECT_TRUE(serverSees(server, 1));
}

// A name of several servers: its addresses come in an order that differs
// from player to player, one that does not answer is passed over for the
// next, and the walk then goes on with the rest of the list.
TEST_F(ConnectToServer, ANameOfSeveralAddressesSpreadsPlayersAndSurvivesADeadOne) {
  AnsweringHost server;  // on 127.0.0.1 only
  ENetAddress live{}, dead{};
  enet_address_set_host_ip(&live, "127.0.0.1");
  enet_address_set_host_ip(&dead, "127.0.0.2");
  HostResolver pool = [&](const std::string& host) {
    return host == "pool" ? std::vector<uint32_t>{dead.host, live.host} : std::vector<uint32_t>{};
  };
  std::string servers = list(entry("pool", "pool", server.port()) + entry("gone", "gone", 1));
  std::optional<uint64_t> deadFirst;
  int liveFirst = 0;
  for (uint64_t seed = 0; seed < 32; ++seed) {
    std::optional<ServerTarget> first = ServerWalk(servers, "", pool, seed).next();
    ASSERT_TRUE(first && first->address);
    if (*first->address == live.host) ++liveFirst;
    if (*first->address == dead.host && !deadFirst) deadFirst = seed;
  }
  EXPECT_GT(liveFirst, 4);
  ASSERT_TRUE(deadFirst);

  LogCapture log;
  ServerWalk walk(servers, "", pool, *deadFirst);
  EXPECT_TRUE(connectToNextServer(walk));
  std::string port = std::to_string(server.port());
  EXPECT_EQ(log.records(),
            (std::vector<std::string>{"|||| No answer from \"pool\" (pool, 127.0.0.2) on port " +
                                          port + "; trying its next address",
                                      "Connection to server succesful!"}));
  EXPECT_TRUE(serverSees(server, 1));
  dropServer();
  EXPECT_FALSE(connected());
  EXPECT_FALSE(connectToNextServer(walk));
  EXPECT_EQ(log.records().back(), failedLine("gone", "gone", "1"));
}

// A server whose answer takes longer than the first wait (a line with a
// round trip of a second or more) is missed by it and reached by the far
// wait that update mode walks the list with next.
TEST_F(ConnectToServer, AFarServerIsReachedOnlyWithTheFarWait) {
  ListeningHost distant;
  std::atomic<bool> stop{false};
  std::thread answer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(kConnectWaitMs + 600));
    while (!stop) distant.serviceFor(5, [](ENetEvent&) {});
  });
  std::string path = list(entry("far", "127.0.0.1", distant.port()));
  ServerWalk nearWalk(path, "", resolveHostAddresses, 1);
  EXPECT_FALSE(connectToNextServer(nearWalk));
  ServerWalk farWalk(path, "", resolveHostAddresses, 1);
  EXPECT_TRUE(connectToNextServer(farWalk, kFarConnectWaitMs));
  stop = true;
  answer.join();
}

}  // namespace
}  // namespace quor
