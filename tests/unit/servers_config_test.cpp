// The server list and the connection attempts it drives, against ENet
// hosts on 127.0.0.1: one that answers, one that never does.

#include "net/server_list.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <sstream>

#include "net_test_support.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::ListeningHost;
using testing::TempDir;

TEST(PortText, ReadsTheLeadingNumberAndKeepsItsLow16Bits) {
  EXPECT_EQ(parsePortText("123x"), 123);
  EXPECT_EQ(parsePortText("abc"), 0);
  EXPECT_EQ(parsePortText("65537"), 1);
  EXPECT_EQ(parsePortText("7777"), 7777);
  EXPECT_EQ(parsePortText("  \t42"), 42);
  EXPECT_EQ(parsePortText("+8"), 8);
  EXPECT_EQ(parsePortText("-1"), 65535);
  EXPECT_EQ(parsePortText(""), 0);
  EXPECT_EQ(parsePortText("x123"), 0);
  // 10^10000 - 1 is -1 modulo 2^16.
  EXPECT_EQ(parsePortText(std::string(10000, '9')), 65535);
}

TEST(ServerEntries, ThreeLinesEachWithoutCarriageReturns) {
  std::istringstream list("first\r\n10.0.0.1\r\n7777\r\n\nlocalhost\n80");
  auto first = readServerEntry(list);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->name, "first");
  EXPECT_EQ(first->host, "10.0.0.1");
  EXPECT_EQ(first->port, "7777");
  auto second = readServerEntry(list);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->name, "");
  EXPECT_EQ(second->host, "localhost");
  EXPECT_EQ(second->port, "80");
  EXPECT_FALSE(readServerEntry(list));
}

TEST(ServerEntries, EmptyHostOrPortOrEndOfFileEndsTheList) {
  std::istringstream emptyHost("a\n\n1\nb\nhost\n2\n");
  EXPECT_FALSE(readServerEntry(emptyHost));
  std::istringstream emptyPort("a\nhost\n\n");
  EXPECT_FALSE(readServerEntry(emptyPort));
  std::istringstream cut("a\nhost");
  EXPECT_FALSE(readServerEntry(cut));
  std::istringstream empty("");
  EXPECT_FALSE(readServerEntry(empty));
}

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

class ConnectTest : public ::testing::Test {
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
    return theNetworkClient.load()->peer != nullptr;
  }

  TempDir dir_;
  std::string path_ = dir_ / "servers.config";
  // Bound but never serviced: connection attempts to it time out.
  ListeningHost silent_;
};

TEST_F(ConnectTest, MissingListIsReportedWithItsPath) {
  LogCapture log;
  std::string missing = dir_ / "settings/servers.config";
  EXPECT_FALSE(connectToServer(missing, ""));
  EXPECT_EQ(log.records(),
            std::vector<std::string>{LogCapture::error(missing + " not found, no idea where to connect...")});
}

TEST_F(ConnectTest, EmptyListConnectsNowhereAndSaysNothing) {
  LogCapture log;
  EXPECT_FALSE(connectToServer(list(""), ""));
  EXPECT_TRUE(log.records().empty());
}

TEST_F(ConnectTest, FailedEntryIsReportedAndTheNextOneTried) {
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

TEST_F(ConnectTest, EmptyHostLineEndsTheList) {
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

TEST_F(ConnectTest, PreferredNameMustMatchExactly) {
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

TEST_F(ConnectTest, PortLineIsReadUpToItsFirstNonDigit) {
  AnsweringHost server;
  LogCapture log;
  std::string port = std::to_string(server.port()) + "x";
  EXPECT_TRUE(connectToServer(list("x\n127.0.0.1\n" + port + "\r\n"), ""));
  EXPECT_EQ(log.records(), std::vector<std::string>{"Connection to server succesful!"});
  EXPECT_TRUE(serverSees(server, 1));
}

TEST_F(ConnectTest, UnresolvableHostIsAFailedAttempt) {
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

#ifndef _WIN32  // setrlimit
// With no descriptor left for the host's socket, creation fails and says so.
void createWithoutDescriptors() {
  struct rlimit limit = {3, 3};
  setrlimit(RLIMIT_NOFILE, &limit);
  NetworkClient* client = createNetworkClient();
  std::fprintf(stderr, "client %s\n", client == nullptr && theNetworkClient.load() == nullptr ? "none" : "made");
  _exit(0);
}

TEST(CreateNetworkClient, FailureIsReturnedToTheCaller) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(createWithoutDescriptors(), ::testing::ExitedWithCode(0), "client none");
}
#endif

}  // namespace
}  // namespace quor
