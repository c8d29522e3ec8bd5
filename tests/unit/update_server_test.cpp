// The update server: which names it serves, its flow control, its command
// line, and the program itself over ENet on 127.0.0.1.

#include <gtest/gtest.h>

#include <filesystem>

#include "net/transport_limits.h"
#include "net_test_support.h"
#include "server/reply_scheduler.h"
#include "server/served_files.h"
#include "server/server_options.h"

namespace quor {
namespace {

namespace fs = std::filesystem;
using testing::RawClient;
using testing::ServerProcess;
using testing::TempDir;
using testing::randomBytes;
using testing::writeFile;

size_t occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

TEST(ServedFiles, OnlyPlainNamesArePlainFileNames) {
  for (const char* name : {"17.patch", "manifest.manifest", "a b", ".hidden", "x.y.z"}) {
    EXPECT_TRUE(isPlainFileName(name)) << name;
  }
  for (const std::string& name : std::vector<std::string>{"", "..", "../x", "a/b", "/etc/passwd", "a\\b", "C:x", "c:\\x", "a..b", "dir/",
                           std::string("a\0b", 3)}) {
    EXPECT_FALSE(isPlainFileName(name)) << name;
  }
}

TEST(ServedFiles, LookUpServesOnlyRegularFilesOfTheFolder) {
  TempDir dir;
  std::string folder = dir / "data";
  writeFile(folder + "/file", "12345");
  writeFile(dir / "outside", "secret");
  fs::create_directories(folder + "/folder");
#ifndef _WIN32  // the Windows C++ library makes no symbolic links
  fs::create_symlink(dir / "outside", folder + "/link");
#endif

  FileLookup file = lookUpServedFile(folder, "file");
  EXPECT_EQ(file.refusal, "");
  EXPECT_EQ(file.size, 5u);
  uint8_t bytes[5];
  ASSERT_TRUE(readServedFile(folder, "file", bytes, 5));
  EXPECT_EQ(std::string(bytes, bytes + 5), "12345");

  EXPECT_EQ(lookUpServedFile(folder, "missing").refusal, "no such file");
  EXPECT_EQ(lookUpServedFile(folder, "folder").refusal, "not a regular file");
#ifndef _WIN32
  EXPECT_EQ(lookUpServedFile(folder, "link").refusal, "not a regular file");
#endif
  EXPECT_EQ(lookUpServedFile(folder, "../outside").refusal, "not a plain file name");
  EXPECT_EQ(lookUpServedFile(folder, dir / "outside").refusal, "not a plain file name");
}

TEST(ServedFiles, FileOfAnotherSizeThanLookedUpIsAFailure) {
  TempDir dir;
  writeFile(dir / "file", "123");
  uint8_t bytes[8];
  EXPECT_FALSE(readServedFile(dir.path(), "file", bytes, 8));
  EXPECT_FALSE(readServedFile(dir.path(), "file", bytes, 2));  // grew since the lookup
  EXPECT_TRUE(readServedFile(dir.path(), "file", bytes, 3));
  EXPECT_FALSE(readServedFile(dir.path(), "gone", bytes, 1));
}

TEST(ServedFiles, FilesAboveOneGibibyteAreRefused) {
  TempDir dir;
  writeFile(dir / "huge", "");
  fs::resize_file(dir / "huge", kMaxFileBytes + 1);  // sparse: no disk space used
  EXPECT_EQ(lookUpServedFile(dir.path(), "huge").refusal, "larger than 1 GiB");
  fs::resize_file(dir / "huge", kMaxFileBytes);
  EXPECT_EQ(lookUpServedFile(dir.path(), "huge").refusal, "");
}

TEST(TransportLimits, DeliverablePacketGrowsWithTheDatagramSize) {
  EXPECT_EQ(largestDeliverablePacket(1400), 6u * 4096u * 1372u);
  EXPECT_EQ(largestDeliverablePacket(kClientMtu), 6u * 4096u * 4068u);
  EXPECT_GT(largestDeliverablePacket(kClientMtu), 40u << 20);
  EXPECT_EQ(largestDeliverablePacket(0), largestDeliverablePacket(ENET_PROTOCOL_MINIMUM_MTU));
}

// The server's output once it holds text; the server logs through a
// writer thread, a moment after it acts.
std::string outputHolding(ServerProcess& server, const std::string& text) {
  testing::waitUntil([&] { return server.output().find(text) != std::string::npos; }, 10000);
  return server.output();
}

QueuedReply reply(const std::string& name, uint64_t bytes) { return {name, "", bytes, bytes}; }

SchedulerLimits smallLimits() {
  SchedulerLimits limits;
  limits.peerWindowBytes = 100;
  limits.bigReplyBudgetBytes = 1000;
  limits.queuedRequestsPerSlot = 3;
  return limits;
}

TEST(ReplyScheduler, SlotsTakeTurns) {
  ReplyScheduler scheduler(3, smallLimits());
  scheduler.enqueue(0, reply("a1", 1));
  scheduler.enqueue(0, reply("a2", 1));
  scheduler.enqueue(2, reply("c1", 1));
  scheduler.enqueue(2, reply("c2", 1));
  std::vector<std::string> order;
  while (auto pick = scheduler.next()) order.push_back(pick->reply.name);
  EXPECT_EQ(order, (std::vector<std::string>{"a1", "c1", "a2", "c2"}));
}

TEST(ReplyScheduler, SlowSlotStopsAtItsWindowWhileOthersGoOn) {
  ReplyScheduler scheduler(2, smallLimits());
  scheduler.enqueue(0, reply("slow1", 60));
  scheduler.enqueue(0, reply("slow2", 60));
  scheduler.enqueue(0, reply("slow3", 60));
  auto first = scheduler.next();
  ASSERT_TRUE(first);
  ReplyTicket t1 = scheduler.started(0, 60);
  auto second = scheduler.next();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->reply.name, "slow2");
  scheduler.started(0, 60);
  // 120 bytes in flight, window 100: the slow slot waits, the other does not.
  EXPECT_FALSE(scheduler.next());
  scheduler.enqueue(1, reply("fast", 60));
  auto fast = scheduler.next();
  ASSERT_TRUE(fast);
  EXPECT_EQ(fast->slot, 1u);
  scheduler.released(t1);
  auto third = scheduler.next();
  ASSERT_TRUE(third);
  EXPECT_EQ(third->reply.name, "slow3");
}

TEST(ReplyScheduler, BigReplyWaitsUntilItsSlotIsIdle) {
  ReplyScheduler scheduler(1, smallLimits());
  scheduler.enqueue(0, reply("small", 10));
  scheduler.enqueue(0, reply("big", 500));
  ASSERT_TRUE(scheduler.next());
  ReplyTicket small = scheduler.started(0, 10);
  EXPECT_FALSE(scheduler.next());
  scheduler.released(small);
  auto big = scheduler.next();
  ASSERT_TRUE(big);
  EXPECT_EQ(big->reply.name, "big");
}

TEST(ReplyScheduler, CopiesOfBigRepliesShareTheBudget) {
  ReplyScheduler scheduler(3, smallLimits());
  scheduler.enqueue(0, reply("big0", 600));
  scheduler.enqueue(1, reply("big1", 600));
  scheduler.enqueue(2, reply("small", 50));
  auto big0 = scheduler.next();
  ASSERT_TRUE(big0);
  scheduler.copyCreated(600);
  ReplyTicket ticket = scheduler.started(0, 600);
  // 600 + 600 is over the budget of 1000; small replies still go.
  auto next = scheduler.next();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->reply.name, "small");
  EXPECT_FALSE(scheduler.next());
  scheduler.released(ticket);
  scheduler.copyReleased(600);
  EXPECT_EQ(scheduler.bigHeld(), 0u);
  auto big1 = scheduler.next();
  ASSERT_TRUE(big1);
  EXPECT_EQ(big1->reply.name, "big1");
  // Alone, a reply larger than the whole budget still starts.
  scheduler.enqueue(0, reply("huge", 5000));
  EXPECT_TRUE(scheduler.next());
}

TEST(ReplyScheduler, ABigReplyWhoseCopyIsHeldCostsNoBudget) {
  ReplyScheduler scheduler(3, smallLimits());
  scheduler.copyCreated(600);  // "big" is being sent to another peer
  scheduler.enqueue(0, reply("big", 600));
  scheduler.enqueue(1, reply("other", 600));
  auto isHeld = [](const QueuedReply& queued) { return queued.name == "big"; };
  auto first = scheduler.next(isHeld);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->reply.name, "big");
  EXPECT_FALSE(scheduler.next(isHeld));
  EXPECT_EQ(scheduler.bigHeld(), 600u);
}

TEST(ReplyScheduler, QueueIsBoundedPerSlot) {
  ReplyScheduler scheduler(1, smallLimits());
  EXPECT_TRUE(scheduler.enqueue(0, reply("1", 1)));
  EXPECT_TRUE(scheduler.enqueue(0, reply("2", 1)));
  EXPECT_TRUE(scheduler.enqueue(0, reply("3", 1)));
  EXPECT_FALSE(scheduler.enqueue(0, reply("4", 1)));
  EXPECT_EQ(scheduler.queued(0), 3u);
}

TEST(ReplyScheduler, NewPeerInASlotStartsClean) {
  ReplyScheduler scheduler(1, smallLimits());
  scheduler.enqueue(0, reply("old", 500));
  ASSERT_TRUE(scheduler.next());
  ReplyTicket old = scheduler.started(0, 500);
  scheduler.enqueue(0, reply("stale", 1));
  scheduler.resetSlot(0);
  EXPECT_EQ(scheduler.queued(0), 0u);
  EXPECT_EQ(scheduler.inFlight(0), 0u);
  scheduler.enqueue(0, reply("fresh", 1));
  ASSERT_TRUE(scheduler.next());
  scheduler.started(0, 1);
  // The old peer's packet released late no longer counts for the slot.
  scheduler.released(old);
  EXPECT_EQ(scheduler.inFlight(0), 1u);
}

TEST(ServerOptions, DefaultsAndValues) {
  ServerOptions options;
  EXPECT_EQ(parseServerOptions({}, options), "");
  EXPECT_EQ(options.port, 7777);
  EXPECT_EQ(options.dataFolder, "server_data/update_data/");
  EXPECT_EQ(options.peerSlots, 64u);
  EXPECT_EQ(parseServerOptions({"--port", "9000", "--data", "d", "--peers", "3"}, options), "");
  EXPECT_EQ(options.port, 9000);
  EXPECT_EQ(options.dataFolder, "d");
  EXPECT_EQ(options.peerSlots, 3u);
}

TEST(ServerOptions, BadValuesAreRefused) {
  ServerOptions options;
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"--port"}, {"--port", "0"}, {"--port", "65536"}, {"--port", "12x"},
                                             {"--peers", "0"}, {"--peers", "4096"}, {"--data", ""}, {"--what"}}) {
    EXPECT_NE(parseServerOptions(args, options), "") << args[0];
  }
}

class ServerProgram : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(data_); }
  Bytes put(const std::string& name, size_t size) {
    Bytes content = randomBytes(size, static_cast<uint32_t>(name.size() * 31 + size));
    writeFile(data_ + "/" + name, content);
    return content;
  }

  TempDir dir_;
  std::string data_ = dir_ / "update_data";
};

TEST_F(ServerProgram, TwoClientsAreServedAtOnce) {
  std::map<std::string, Bytes> files;
  for (int i = 0; i < 20; ++i) {
    std::string name = std::to_string(i) + ".compressed";
    files[name] = put(name, 1000 + static_cast<size_t>(i) * 30000);
  }
  ServerProcess server(data_);
  RawClient first(server.port());
  RawClient second(server.port());
  for (const auto& [name, content] : files) {
    first.request(name);
    second.request(name);
  }
  auto deadline = testing::Clock::now() + std::chrono::seconds(60);
  while ((first.replyCount < 20 || second.replyCount < 20) && testing::Clock::now() < deadline) {
    first.serviceOnce();
    second.serviceOnce();
  }
  EXPECT_EQ(first.replies, files);
  EXPECT_EQ(second.replies, files);
}

TEST_F(ServerProgram, SlowPeerHoldsOnlyItsWindowAndStallsNobody) {
  put("big", 8u << 20);
  put("t", 10);
  std::map<std::string, Bytes> small;
  for (int i = 0; i < 30; ++i) small["s" + std::to_string(i)] = put("s" + std::to_string(i), 64 * 1024);
  ServerProcess server(data_);

  // The slow peer asks for the big file three times and for far more small
  // ones than a queue holds, then stops reading.
  RawClient slow(server.port());
  for (int i = 0; i < 3; ++i) slow.request("big");
  for (int i = 0; i < 300; ++i) slow.request("t");

  RawClient fast(server.port());
  for (const auto& [name, content] : small) fast.request(name);
  ASSERT_TRUE(fast.collect(small.size(), 30000));
  EXPECT_EQ(fast.replies, small);

  for (int i = 0; i < 30; ++i) outputHolding(server, "Served s" + std::to_string(i) + " ");
  std::string log = server.output();
  // One big reply is in flight to the slow peer; nothing more was started.
  EXPECT_EQ(occurrences(log, "Served big "), 1u);
  EXPECT_EQ(occurrences(log, "Served t "), 0u);
  size_t dropped = occurrences(log, "|||| Too many queued requests from ");
  EXPECT_GE(dropped, 300u + 3u - 256u - 1u);
  EXPECT_LE(dropped, 300u + 3u - 256u);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUOR_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUOR_SANITIZED_BUILD 1
#endif
#endif

#ifdef __linux__
// The server's resident memory, from /proc.
uint64_t residentBytes(int pid) {
  std::string status = testing::readFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + 6)) * 1024;
}

TEST_F(ServerProgram, PeersFetchingTheSameBigFileShareOneCopy) {
#ifdef QUOR_SANITIZED_BUILD
  GTEST_SKIP() << "a sanitizer's shadow memory hides the server's own";
#endif
  constexpr uint64_t kBig = 48u << 20;
  put("big", kBig);
  ServerProcess server(data_);
  uint64_t before = residentBytes(server.pid());
  // Four peers ask for the big file and never read, so every reply stays
  // in flight at once.
  std::vector<std::unique_ptr<RawClient>> peers;
  for (int i = 0; i < 4; ++i) {
    peers.push_back(std::make_unique<RawClient>(server.port()));
    peers.back()->request("big");
  }
  testing::waitUntil([&] { return occurrences(server.output(), "Served big ") == 4; }, 10000);
  ASSERT_EQ(occurrences(server.output(), "Served big "), 4u);
  uint64_t during = residentBytes(server.pid());
  EXPECT_GT(during, before + kBig / 2);
  EXPECT_LT(during, before + 2 * kBig);
}
#endif

TEST_F(ServerProgram, ManifestRequestIsAnsweredWithTheManifest) {
  Bytes manifest = put("manifest.manifest", 777);
  ServerProcess server(data_);
  RawClient client(server.port());
  client.send(buildManifestRequest());
  ASSERT_TRUE(client.collect(1, 20000));
  EXPECT_EQ(client.replies["manifest.manifest"], manifest);
}

TEST_F(ServerProgram, RefusalsAreEmptyRepliesWithOneLineEach) {
  writeFile(dir_ / "secret", "outside");
  put("ok", 3);
  writeFile(data_ + "/huge", "");
  fs::resize_file(data_ + "/huge", 200u << 20);  // beyond one packet, sparse
  ServerProcess server(data_);
  RawClient client(server.port());
  std::vector<std::string> refused = {"../secret", "/etc/passwd", "", "missing", "huge"};
  for (const std::string& name : refused) client.request(name);
  client.request("ok");
  ASSERT_TRUE(client.collect(refused.size() + 1, 20000));
  for (const std::string& name : refused) {
    ASSERT_EQ(client.replies.count(name), 1u) << name;
    EXPECT_TRUE(client.replies[name].empty()) << name;
  }
  EXPECT_EQ(client.replies["ok"].size(), 3u);
  std::string log = outputHolding(server, "Served ok ");
  EXPECT_EQ(occurrences(log, "|||| Refused \"../secret\" to 127.0.0.1:"), 1u);
  EXPECT_EQ(occurrences(log, ": not a plain file name"), 3u);
  EXPECT_EQ(occurrences(log, ": no such file"), 1u);
  EXPECT_EQ(occurrences(log, ": too large for one packet at a datagram size of 4096"), 1u);
  EXPECT_EQ(occurrences(log, "Served ok (3 bytes) to 127.0.0.1:"), 1u);
}

TEST_F(ServerProgram, BadRequestsAreDroppedAndServingGoesOn) {
  put("ok", 3);
  ServerProcess server(data_);
  RawClient client(server.port());
  client.send(Bytes{2, 0, 0, 0, 1, 0, 0, 0, 'o', 'k'});     // path without its 0x00
  client.send(Bytes{2, 0, 0});                              // no whole type word
  client.send(Bytes{3, 0, 0, 0, 1, 0, 0, 0, 'o', 'k', 0});  // a reply, not a request
  client.send(buildFileRequest("ok"), kLobbyChannel);
  client.send(buildFileRequest(std::string(5000, 'a')));
  client.request("ok");
  ASSERT_TRUE(client.collect(1, 20000));
  EXPECT_EQ(client.replies.size(), 1u);
  EXPECT_EQ(client.replies["ok"].size(), 3u);
  std::string log = outputHolding(server, "Served ok ");
  EXPECT_EQ(occurrences(log, "|||| Unrecognised or malformed request from 127.0.0.1:"), 3u);
  EXPECT_EQ(occurrences(log, "|||| Packet on channel 0 from 127.0.0.1:"), 1u);
  EXPECT_EQ(occurrences(log, "|||| Oversized request from 127.0.0.1:"), 1u);
}

TEST_F(ServerProgram, PacketsAboveTheReceiveLimitAreNeverAssembled) {
  put("ok", 3);
  ServerProcess server(data_);
  // ENet would reserve the whole announced size of a large packet; the
  // server assembles only packets within its limit (and then drops this
  // one as no request), so the second one never reaches the request check.
  RawClient hostile(server.port());
  hostile.send(buildFileRequest(std::string(kServerPacketBytes - 64, 'a')));
  hostile.send(buildFileRequest(std::string(kServerPacketBytes + 1, 'a')));
  auto deadline = testing::Clock::now() + std::chrono::seconds(1);
  while (testing::Clock::now() < deadline) hostile.serviceOnce(5);

  RawClient client(server.port());
  client.request("ok");
  ASSERT_TRUE(client.collect(1, 20000));
  EXPECT_EQ(client.replies["ok"].size(), 3u);
  std::string log = outputHolding(server, "Served ok ");
  EXPECT_EQ(occurrences(log, "|||| Oversized request from 127.0.0.1:"), 1u);
}

TEST_F(ServerProgram, LogsConnectsAndEndsCleanlyOnSigterm) {
#ifdef _WIN32
  GTEST_SKIP() << "no SIGTERM to send on Windows";
#endif
  ServerProcess server(data_);
  RawClient client(server.port());
  // The server counts the connection once the client acknowledges it.
  EXPECT_TRUE(testing::waitUntil(
      [&] {
        client.serviceOnce();
        return server.output().find("Client connected: 127.0.0.1:") != std::string::npos;
      },
      10000));
  EXPECT_EQ(server.stop(), 0);
  EXPECT_NE(server.output().find("Update server stopped"), std::string::npos);
  auto deadline = testing::Clock::now() + std::chrono::seconds(10);
  while (!client.disconnected && testing::Clock::now() < deadline) client.serviceOnce(5);
  EXPECT_TRUE(client.disconnected);
  EXPECT_NE(testing::readFile(server.workFolder() + "/update_server.log").find("Update server stopped"),
            std::string::npos);
}

TEST_F(ServerProgram, MissingFolderOrBusyPortEndsWithCodeOne) {
  TempDir work;
  testing::RunResult missing =
      testing::runProgram({testing::updateServerBinary(), "--data", dir_ / "nothing", "--port", "1"}, work.path(), 30);
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.output.find("Data folder not found: " + (dir_ / "nothing")), std::string::npos);

  testing::ListeningHost busy;
  testing::RunResult taken = testing::runProgram(
      {testing::updateServerBinary(), "--data", data_, "--port", std::to_string(busy.port())}, work.path(), 30);
  EXPECT_EQ(taken.exitCode, 1);
  EXPECT_NE(taken.output.find("Could not listen on UDP port " + std::to_string(busy.port())), std::string::npos);

  testing::RunResult bad = testing::runProgram({testing::updateServerBinary(), "--peers", "x"}, work.path(), 30);
  EXPECT_EQ(bad.exitCode, 2);
}

}  // namespace
}  // namespace quor
