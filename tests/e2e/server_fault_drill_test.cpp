// Drills of a failing or hostile server against the real updater: the
// server killed in the middle of the transfer, replies replaced by garbage
// bytes, and a storm of unknown messages on every channel while files are
// fetched. Nothing may be lost: every file ends as one whole version, a
// run that cannot finish gives up within its time limits and asks for a
// restart, and the next run completes.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "net_test_support.h"
#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;

// 120 files of 20 to 80 KB in two folders; two in three change.
Build faultBuild(uint32_t version) {
  Build build;
  for (uint32_t i = 0; i < 120; ++i) {
    std::vector<uint8_t> bytes = randomBytes(20000 + (i * 4099) % 60000, 5000 + i);
    if (version == 2 && i % 3 != 0) bytes[bytes.size() / 4] ^= 0x3C;
    build["data/quor/part" + std::to_string(i % 4) + "/g" + std::to_string(i) + ".bin"] =
        std::string(bytes.begin(), bytes.end());
  }
  Build standIns = versionOne();
  build["quor.exe"] = standIns["quor.exe"];
  build["updater.exe"] = standIns["updater.exe"];
  return build;
}

// Paths whose content is neither their v1 nor their v2 content.
std::string tornFiles(const std::string& folder, const Build& v1, const Build& v2) {
  std::string torn;
  for (const auto& [path, content] : v2) {
    if (isRunArtifact(path) || !exists(folder + "/" + path)) continue;
    std::string now = readFile(folder + "/" + path);
    auto old = v1.find(path);
    if (now != content && (old == v1.end() || now != old->second)) torn += path + "\n";
  }
  return torn;
}

size_t occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Prints the log lines that tell what a drill run met, for the test output.
void printDrillLines(const std::string& log) {
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(at, end - at);
    for (const char* marker : {"could not decompress", "Malformed", "got stuck",
                               "whole file instead", "Written: ", "Patched: ", "Disconnected"}) {
      if (line.find(marker) != std::string::npos) {
        std::cout << "  updater.log: " << (line.starts_with(": ") ? line.substr(2) : line)
                  << std::endl;
        break;
      }
    }
    at = end + 1;
  }
}

// A file update server in this process, serving a folder, with hooks to
// replace replies and to send unknown messages before them. Runs on its
// own thread until it goes away.
class DrillServer {
 public:
  // Returns the packet to send instead of the reply to name, or nothing to
  // send the true reply.
  using ReplyHook = std::function<std::optional<Bytes>(const std::string& name)>;
  // Called before each reply, with the peer, for extra packets.
  using BeforeReply = std::function<void(ENetPeer* peer, const std::string& name)>;

  DrillServer(std::string folder, ReplyHook replace, BeforeReply before)
      : folder_(std::move(folder)), replace_(std::move(replace)), before_(std::move(before)) {
    raiseTransportLimits(host_.host());
    thread_ = std::thread([this] { run(); });
  }
  ~DrillServer() {
    stop_ = true;
    thread_.join();
  }

  uint16_t port() const { return host_.port(); }
  size_t replies() const { return replies_; }

 private:
  void run() {
    while (!stop_) {
      ENetEvent event;
      if (enet_host_service(host_.host(), &event, 5) <= 0) continue;
      if (event.type != ENET_EVENT_TYPE_RECEIVE) continue;
      ByteSpan packet(event.packet->data, event.packet->dataLength);
      std::string name;
      if (decodeManifestRequest(packet) && readMessageType(packet) == kManifestRequestType) {
        name = "manifest.manifest";
      } else if (std::optional<FileRequest> request = decodeFileRequest(packet)) {
        name = request->path;
      }
      enet_packet_destroy(event.packet);
      if (!name.empty()) answer(event.peer, name);
    }
  }

  void answer(ENetPeer* peer, const std::string& name) {
    if (before_) before_(peer, name);
    std::optional<Bytes> replacement = replace_ ? replace_(name) : std::nullopt;
    if (replacement) {
      sendReliable(peer, kFileUpdateChannel, *replacement);
    } else {
      sendReliable(peer, kFileUpdateChannel, buildFileReply(name, readBytes(folder_ + "/" + name)));
    }
    ++replies_;
  }

  std::string folder_;
  ReplyHook replace_;
  BeforeReply before_;
  ListeningHost host_{8};
  std::atomic<bool> stop_{false};
  std::atomic<size_t> replies_{0};
  std::thread thread_;
};

class ServerFaultDrill : public ::testing::Test {
 protected:
  void SetUp() override {
    // The drills alter the classic files by name.
    scenario.publish(v1, v2, kClassicOnly);
    player = scenario.makePlayer("player", v1);
  }

  // A normal run against a healthy update_server, after which the folder
  // equals the published version.
  void finishWithAHealthyServer() {
    scenario.startServer();
    scenario.writeServerList(player, scenario.port());
    RunResult run = scenario.runUpdater(player);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(scenario.compare(player, v2), "");
    EXPECT_NE(readFile(player + "/updater.log").find(": No remaining file requests\n"),
              std::string::npos);
  }

  UpdateScenario scenario;
  Build v1 = faultBuild(1);
  Build v2 = faultBuild(2);
  std::string player;
};

TEST_F(ServerFaultDrill, ServerKilledMidTransferTheRunGivesUpAndTheNextCompletes) {
  scenario.startServer();
  scenario.writeServerList(player, scenario.port());
  // Capped, so that the transfer of about 4 MB is still under way when the
  // server goes, however fast the machine.
  BackgroundProcess updater({updaterBinary(), "--limit-rate", "400k"}, player);
  ASSERT_TRUE(updater.waitForOutput("Getting updates from server...", 60)) << updater.output();
  scenario.server()->stop(SIGKILL);

  // The run must end by itself: the time limit for one file, the pause
  // after giving up, the shutdown. 60 s is far beyond all of them.
  bool ended = false;
  for (int i = 0; i < 600 && !ended; ++i) {
    ended = !updater.running();
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(ended) << "the updater did not give up on a dead server";
  EXPECT_EQ(updater.stop(), 0);
  std::string log = readFile(player + "/updater.log");
  printDrillLines(log);
  EXPECT_NE(log.find("updater got stuck when updating file: "), std::string::npos) << log;
  EXPECT_TRUE(exists(player + "/updater_restarted.txt")) << "no restart was asked for";
  EXPECT_EQ(tornFiles(player, v1, v2), "");
  fs::remove(player + "/updater_restarted.txt");

  finishWithAHealthyServer();
}

// A server that hangs up in the middle of a run, as one closes a
// connection that fetched nothing while the run applied a big file: the
// updater connects to it again and ends in the same run.
TEST_F(ServerFaultDrill, AServerThatHangsUpIsConnectedToAgain) {
  std::atomic<int> replies{0};
  DrillServer server(scenario.dataFolder(), nullptr, [&](ENetPeer* peer, const std::string& name) {
    if (name == "manifest.manifest" || ++replies != 4) return;
    for (size_t i = 0; i < peer->host->peerCount; ++i) {
      if (peer->host->peers[i].state == ENET_PEER_STATE_CONNECTED) {
        enet_peer_disconnect(&peer->host->peers[i], 0);
      }
    }
  });
  scenario.writeServerList(player, server.port());
  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(player, v2), "");
  std::string log = readFile(player + "/updater.log");
  EXPECT_NE(log.find(": Connected again to \"test server\""), std::string::npos) << log;
  EXPECT_FALSE(exists(player + "/updater_restarted.txt"));
}

TEST_F(ServerFaultDrill, GarbageRepliesAreRefusedAndTheNextRunRepairs) {
  // One reply becomes a packet of random bytes on the file update channel;
  // another keeps its name but carries random bytes as its content.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(scenario.dataFolder())) {
    std::string name = entry.path().filename().string();
    if (name.ends_with(".patch")) names.push_back(name);  // what a v1 player asks for
  }
  std::sort(names.begin(), names.end());
  ASSERT_GE(names.size(), 2u);
  std::string garbledContent = names[0];
  std::string garbledPacket = names[1];
  std::atomic<int> garbled{0};
  DrillServer server(
      scenario.dataFolder(),
      [&](const std::string& name) -> std::optional<Bytes> {
        if (name == garbledContent) {
          ++garbled;
          return buildFileReply(name, randomBytes(3000, 77));
        }
        if (name == garbledPacket) {
          ++garbled;
          Bytes junk = randomBytes(500, 78);
          junk[0] = 3;  // a FileReply type, then nonsense
          junk[1] = junk[2] = junk[3] = 0;
          return junk;
        }
        return std::nullopt;
      },
      nullptr);
  scenario.writeServerList(player, server.port());
  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string log = readFile(player + "/updater.log");
  printDrillLines(log);
  EXPECT_GE(garbled.load(), 1);
  EXPECT_EQ(tornFiles(player, v1, v2), "");
  // Whichever garbled reply the run met first is refused with its line.
  bool refusedContent = log.find("could not decompress file: ") != std::string::npos &&
                        log.find("(" + garbledContent + ")") != std::string::npos;
  bool refusedPacket = log.find("|||| Malformed packet on channel 6. Dropped") != std::string::npos;
  EXPECT_TRUE(refusedContent || refusedPacket) << log;
  if (refusedPacket) {
    EXPECT_NE(log.find("updater got stuck when updating file: "), std::string::npos) << log;
  }
  finishWithAHealthyServer();
}

TEST_F(ServerFaultDrill, PacketStormOnEveryChannelLosesNothingAndSumsUpItsLines) {
  // Before each of the first replies: one message of an unknown type on
  // every framed channel, a text, a record and a lobby message the updater
  // ignores, and a packet too short for its channel.
  std::atomic<size_t> storms{0};
  const size_t stormReplies = 60;  // the last replies come without a storm
  DrillServer server(scenario.dataFolder(), nullptr, [&](ENetPeer* peer, const std::string&) {
    if (storms >= stormReplies) return;
    ++storms;
    Bytes unknown = {200, 0, 0, 0, 1, 0, 0, 0};
    for (uint8_t channel :
         {kLobbyChannel, kIngameChannel, kFeedbackChannel, kFeedback2Channel, kFileUpdateChannel}) {
      sendReliable(peer, channel, unknown);
    }
    sendReliable(peer, kTextChannel, buildTextMessage("storm"));
    sendReliable(peer, kRecordChannel, buildRecordMessage(RecordMessage{}));
    LobbyMessage1 lobby;
    lobby.message = "storm";
    sendReliable(peer, kLobbyChannel, buildLobbyMessage1(lobby));
    sendReliable(peer, kIngameChannel, Bytes{1, 0});
  });
  scenario.writeServerList(player, server.port());
  RunResult run = scenario.runUpdater(player);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(scenario.compare(player, v2), "");
  std::string log = readFile(player + "/updater.log");
  ASSERT_GT(storms.load(), 50u) << "the storm did not overlap the transfer";
  size_t sent = storms;
  // Each line is logged, or counted in a line that sums up a flood of it.
  auto told = [&log](const std::string& line) { return toldCount(log, line); };
  EXPECT_EQ(told("|||| Unknown lobby message 200. Nothing to do with it"), sent);
  EXPECT_EQ(told("|||| Unknown ingame message 200. Nothing to do with it"), sent);
  EXPECT_EQ(told("|||| Unknown feedback message 200. Nothing to do with it"), 2 * sent);
  EXPECT_EQ(told("|||| Unknown file update message 200. Nothing to do with it"), sent);
  EXPECT_EQ(told("|||| Malformed packet on channel 2. Dropped"), sent);
  EXPECT_LT(occurrences(log, "|||| Malformed packet on channel 2. Dropped"), sent);
  EXPECT_NE(log.find(": No remaining file requests\n"), std::string::npos);
}

}  // namespace
}  // namespace quor::testing
#endif
