// The update_server program itself over ENet on 127.0.0.1.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "dataset/layout.h"
#include "protocol/extra_connections.h"
#include "net_test_support.h"

namespace quor {
namespace {

namespace fs = std::filesystem;
using testing::IdleConnections;
using testing::RawClient;
using testing::ServerProcess;
using testing::TempDir;
using testing::randomBytes;
using testing::toldCount;
using testing::writeFile;

size_t occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// The server's output once it holds text; the server logs through a
// writer thread, a moment after it acts.
std::string outputHolding(ServerProcess& server, const std::string& text) {
  testing::waitUntil([&] { return server.output().find(text) != std::string::npos; }, 10000);
  return server.output();
}

class UpdateServer : public ::testing::Test {
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

TEST_F(UpdateServer, TwoClientsAreServedAtOnce) {
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

TEST_F(UpdateServer, SlowPeerHoldsOnlyItsWindowAndStallsNobody) {
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
  size_t dropped = 0;
  testing::waitUntil(
      [&] { return (dropped = toldCount(server.output(), "|||| Too many queued requests from ")) >= 300u + 3u - 256u - 1u; },
      10000);
  EXPECT_GE(dropped, 300u + 3u - 256u - 1u);
  EXPECT_LE(dropped, 300u + 3u - 256u);
}

// Requests beyond what a connection's queue holds are answered at once,
// pieces with "busy" and whole files without content, one line each, and
// every request gets its answer. Pieces of 64 KiB fill the connection's
// window (4 MiB) and its queue (256) with some 20 MiB in all, quick to
// move even under an emulator, while what is in flight stays below the two
// windows past which a peer that does not read gets nothing more.
TEST_F(UpdateServer, RequestsBeyondTheQueueAreAnsweredBusy) {
  constexpr uint32_t kPiece64k = 64u << 10;
  constexpr size_t kRanges = 400;
  constexpr size_t kWholes = 100;
  Bytes piece = put("p", kPiece64k);
  put("w", 1000);
  ServerProcess server(data_);
  RawClient client(server.port());
  FileRangeRequest request;
  request.name = "p";
  request.length = kPiece64k;
  for (size_t i = 0; i < kRanges; ++i) client.send(buildFileRangeRequest(request));
  for (size_t i = 0; i < kWholes; ++i) client.request("w");
  auto answered = [&] { return client.others.size() + client.replyCount; };
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        client.serviceOnce();
        return answered() == kRanges + kWholes;
      },
      60000))
      << answered();
  size_t busy = 0;
  for (const Bytes& packet : client.others) {
    std::optional<FileRangeReply> reply = decodeFileRangeReply(packet);
    ASSERT_TRUE(reply);
    if (reply->status == kRangeStatusBusy) {
      EXPECT_TRUE(reply->data.empty());
      ++busy;
    } else {
      EXPECT_EQ(Bytes(reply->data.begin(), reply->data.end()), piece);
    }
  }
  size_t answeredBusy = busy + client.emptyReplies;
  EXPECT_GE(answeredBusy, 1u);
  EXPECT_LE(answeredBusy, kRanges + kWholes - 256u);
  // One line each, or counted in a line that sums up the flood.
  testing::waitUntil([&] { return toldCount(server.output(), "\" answered busy") >= answeredBusy; }, 10000);
  EXPECT_EQ(toldCount(server.output(), "\" answered busy"), answeredBusy);
}

#ifdef __linux__
// The server's resident memory, from /proc.
uint64_t residentBytes(int pid) {
  std::string status = testing::readFile("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + 6)) * 1024;
}

TEST_F(UpdateServer, PeersFetchingTheSameBigFileShareOneCopy) {
#ifdef QUOR_SANITIZED_BUILD
  GTEST_SKIP() << "a sanitizer's shadow memory hides the server's own";
#endif
  constexpr uint64_t kBig = 28u << 20;  // within one packet at 1400-byte datagrams
  put("big", kBig);
  ServerProcess server(data_);
  uint64_t before = residentBytes(server.pid());
  // Four peers, each from an address of its own so that the fair shares
  // let each start its reply, ask for the big file and never read, so
  // every reply stays in flight at once.
  std::vector<std::unique_ptr<RawClient>> peers;
  for (const char* from : {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    peers.push_back(std::make_unique<RawClient>(server.port(), from));
    peers.back()->request("big");
  }
  // The most the server held while the replies started: a peer that never
  // reads is dropped by ENet after some seconds, and its copy with it.
  uint64_t during = 0;
  testing::waitUntil(
      [&] {
        during = std::max(during, residentBytes(server.pid()));
        return occurrences(server.output(), "Served big ") == 4 && during > before + kBig / 2;
      },
      10000);
  ASSERT_EQ(occurrences(server.output(), "Served big "), 4u);
  EXPECT_GT(during, before + kBig / 2);
  EXPECT_LT(during, before + 2 * kBig);
}
#endif

FileRangeReply rangeReplyOf(const Bytes& packet) {
  std::optional<FileRangeReply> reply = decodeFileRangeReply(packet);
  if (!reply) throw std::runtime_error("not a range reply");
  return *reply;
}

void requestRange(RawClient& client, const std::string& name, uint64_t offset, uint32_t length) {
  FileRangeRequest request;
  request.name = name;
  request.offset = offset;
  request.length = length;
  client.send(buildFileRangeRequest(request));
}

TEST_F(UpdateServer, RangesAreReadFromDiskPieceByPiece) {
  constexpr uint32_t kPiece = 1u << 20;
  Bytes file = put("big", 5 * kPiece / 2 + 123);
  put("manifest.manifest", 50);
  writeFile(dir_ / "secret", "outside");
  writeFile(data_ + "/huge", "");
  fs::resize_file(data_ + "/huge", 64u << 20);  // sparse
  ServerProcess server(data_);

  // The offer comes before the manifest; the pieces, asked for out of
  // order, make up the file; refusals, the end and past it, a huge length.
  RawClient client(server.port());
  client.send(buildRangeHello({}));
  client.send(buildManifestRequest());
  for (uint64_t offset : {2 * kPiece, 0u, kPiece}) requestRange(client, "big", offset, kPiece);
  requestRange(client, "../secret", 0, 10);
  requestRange(client, "missing", 0, 10);
  requestRange(client, "big", file.size() + 1, 10);
  requestRange(client, "big", file.size(), 10);
  requestRange(client, "big", 5, 0xFFFFFFFFu);
  ASSERT_TRUE(client.collect(1, 20000));
  ASSERT_TRUE(client.collectOthers(9, 20000));
  EXPECT_EQ(client.types[0], kRangeOfferType);
  EXPECT_EQ(client.types[1], kFileReplyType);
  std::optional<RangeOffer> offer = decodeRangeOffer(client.others[0]);
  ASSERT_TRUE(offer);
  EXPECT_EQ(offer->version, 1u);
  EXPECT_EQ(offer->maxPieceSize, kPiece);

  Bytes joined(file.size());
  for (size_t i = 1; i <= 3; ++i) {
    FileRangeReply piece = rangeReplyOf(client.others[i]);
    EXPECT_EQ(piece.status, kRangeStatusOk);
    EXPECT_EQ(piece.fileSize, file.size());
    EXPECT_EQ(piece.fileVersion, rangeReplyOf(client.others[1]).fileVersion);
    std::copy(piece.data.begin(), piece.data.end(), joined.begin() + static_cast<long>(piece.offset));
  }
  EXPECT_TRUE(joined == file);
  for (size_t i : {4, 5}) {
    EXPECT_EQ(rangeReplyOf(client.others[i]).status, kRangeStatusRefused);
    EXPECT_TRUE(rangeReplyOf(client.others[i]).data.empty());
  }
  FileRangeReply past = rangeReplyOf(client.others[6]);
  EXPECT_EQ(past.status, kRangeStatusBeyondEnd);
  EXPECT_EQ(past.offset, file.size() + 1);
  EXPECT_EQ(past.fileSize, file.size());
  FileRangeReply end = rangeReplyOf(client.others[7]);
  EXPECT_EQ(end.status, kRangeStatusOk);
  EXPECT_TRUE(end.data.empty());
  FileRangeReply capped = rangeReplyOf(client.others[8]);
  ASSERT_EQ(capped.data.size(), kPiece);
  EXPECT_TRUE(std::equal(capped.data.begin(), capped.data.end(), file.begin() + 5));

  // One line for the whole file and one per refusal; none per piece.
  std::string log = outputHolding(server, "|||| Refused \"missing\"");
  EXPECT_EQ(occurrences(log, "Served big ("), 1u);
  EXPECT_EQ(occurrences(log, "Served big (" + std::to_string(file.size()) + " bytes) to 127.0.0.1:"), 1u);
  EXPECT_EQ(occurrences(log, "|||| Refused \"../secret\" to 127.0.0.1:"), 1u);

  // A peer that asks for far more pieces than a queue holds, and reads
  // none, holds its window and its queue; the rest is dropped, and the
  // server never holds a copy of the file.
#if defined(__linux__) && !defined(QUOR_SANITIZED_BUILD)
  uint64_t before = residentBytes(server.pid());
#endif
  RawClient greedy(server.port());
  for (uint32_t i = 0; i < 300; ++i) requestRange(greedy, "huge", uint64_t{i % 64} * kPiece, kPiece);
  testing::waitUntil([&] { return toldCount(server.output(), "|||| Too many queued requests") >= 40; },
                     10000);
  size_t dropped = toldCount(server.output(), "|||| Too many queued requests from ");
  EXPECT_GE(dropped, 300u - 256u - 4u);
  EXPECT_LE(dropped, 300u - 256u);
  EXPECT_EQ(occurrences(outputHolding(server, "Served huge ("), "Served huge ("), 1u);
#if defined(__linux__) && !defined(QUOR_SANITIZED_BUILD)
  EXPECT_LT(residentBytes(server.pid()), before + (24u << 20));
#endif
}

TEST_F(UpdateServer, ManifestRequestIsAnsweredWithTheManifest) {
  Bytes manifest = put("manifest.manifest", 777);
  ServerProcess server(data_);
  RawClient client(server.port());
  client.send(buildManifestRequest());
  ASSERT_TRUE(client.collect(1, 20000));
  EXPECT_EQ(client.replies["manifest.manifest"], manifest);
}

TEST_F(UpdateServer, RefusalsAreEmptyRepliesWithOneLineEach) {
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
  EXPECT_EQ(occurrences(log, ": too large for one packet at a datagram size of 1400"), 1u);
  EXPECT_EQ(occurrences(log, "Served ok (3 bytes) to 127.0.0.1:"), 1u);

  // A client that takes pieces gets no file larger than a piece whole: one
  // such reply would hold all its bytes in flight. The manifest still comes.
  put("big", 2u << 20);
  put(kManifestName, 2u << 20);
  RawClient pieces(server.port());
  pieces.send(buildRangeHello(RangeHello{}));
  pieces.request("big");
  pieces.send(buildManifestRequest());
  ASSERT_TRUE(pieces.collect(2, 20000));
  EXPECT_TRUE(pieces.replies["big"].empty());
  EXPECT_EQ(pieces.replies[kManifestName].size(), 2u << 20);
  EXPECT_NE(outputHolding(server, ": larger than a piece: ask for it in ranges").find("\"big\""),
            std::string::npos);
}

TEST_F(UpdateServer, BadRequestsAreDroppedAndServingGoesOn) {
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

TEST_F(UpdateServer, PacketsAboveTheReceiveLimitAreNeverAssembled) {
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

// While one client floods the server with 200 connections that ask for
// nothing, a new player still connects and is served: the flood holds at
// most one client's bound, then the address's bound, and is closed once
// idle for the idle limit, with one line per connection refused or closed.
TEST_F(UpdateServer, IdleFloodsAreBoundedAndClosedWhilePlayersAreServed) {
  Bytes manifest = put("manifest.manifest", 777);
  Bytes file = put("1.compressed", 300000);
  ServerProcess server(data_, {"--idle-seconds", "4", "--per-address", "24"});
  IdleConnections first(server.port(), 200);
  ASSERT_TRUE(first.settle(16, 20000)) << first.connects << " " << first.disconnects;

  RawClient player(server.port());
  player.send(buildManifestRequest());
  player.request("1.compressed");
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        first.service();
        player.serviceOnce();
        return player.replyCount == 2;
      },
      20000));
  EXPECT_EQ(player.replies["manifest.manifest"], manifest);
  EXPECT_EQ(player.replies["1.compressed"], file);

  // A second flooding client gets what is left of the address's 24.
  IdleConnections second(server.port(), 200);
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        first.service();
        player.serviceOnce();
        return second.settle(7, 1);
      },
      20000));
  testing::waitUntil([&] { return occurrences(server.output(), "|||| Refused connection") >= 377; }, 10000);
  std::string log = server.output();
  EXPECT_EQ(occurrences(log, "|||| Refused connection from 127.0.0.1:"), 184u + 193u);
  EXPECT_EQ(occurrences(log, ": 16 connections from 127.0.0.1:"), 184u);
  EXPECT_EQ(occurrences(log, ": 24 connections from 127.0.0.1 already"), 193u);

  // Every flooding connection is closed once idle; the server saw no
  // other way for them to go.
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        first.service();
        second.service();
        player.serviceOnce();
        return first.disconnects == 200 && second.disconnects == 200;
      },
      20000));
  testing::waitUntil([&] { return occurrences(server.output(), "Closed idle connection: ") >= 23; }, 10000);
  log = server.output();
  EXPECT_GE(occurrences(log, "Closed idle connection: 127.0.0.1:"), 23u);
  EXPECT_NE(log.find(" s, 0 bytes sent)"), std::string::npos);
  EXPECT_EQ(occurrences(log, "Client disconnected: "), 0u);
}

// A connection kept up by hellos alone is closed once idle, and one that
// asks for pieces and then takes a few datagrams every 2.5 s is closed as
// stalled (its client may not hear of it: its socket is full), while a
// player who reads is served.
TEST_F(UpdateServer, KeepAlivesAndStalledReadersAreClosed) {
  put("p", 8u << 20);
  Bytes file = put("1.compressed", 300000);
  ServerProcess server(data_, {"--idle-seconds", "2", "--stall-seconds", "1"});
  RawClient hellos(server.port());
  RawClient stalled(server.port());
  FileRangeRequest piece;
  piece.name = "p";
  piece.length = 1u << 20;
  for (int i = 0; i < 8; ++i) {
    piece.offset = uint64_t(i) << 20;
    stalled.send(buildFileRangeRequest(piece));
  }
  RawClient player(server.port());
  player.request("1.compressed");
  auto lastHello = testing::Clock::now() - std::chrono::seconds(1);
  auto lastRead = testing::Clock::now();
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        auto now = testing::Clock::now();
        if (now - lastHello > std::chrono::milliseconds(500)) {
          hellos.send(buildRangeHello(RangeHello{}));
          lastHello = now;
        }
        if (now - lastRead > std::chrono::milliseconds(2500)) {
          stalled.serviceOnce(0);
          lastRead = now;
        }
        hellos.serviceOnce();
        player.serviceOnce();
        return hellos.disconnected && server.output().find("Closed stalled connection: ") != std::string::npos;
      },
      30000))
      << server.output();
  EXPECT_EQ(player.replies["1.compressed"], file);
  std::string log = outputHolding(server, "Closed idle connection: ");
  EXPECT_EQ(occurrences(log, "Closed stalled connection: 127.0.0.1:"), 1u);
  EXPECT_GE(occurrences(log, "Closed idle connection: 127.0.0.1:"), 1u);
}

// Extra connections of a client are let in while a quarter of the slots is
// free besides them and refused after that; first connections still get in
// until the server is full.
TEST_F(UpdateServer, ExtrasAreRefusedWhenNearlyFullButNewPlayersGetIn) {
  put("1.compressed", 1000);
  ServerProcess server(data_, {"--peers", "8"});
  IdleConnections firsts(server.port(), 4);
  ASSERT_TRUE(firsts.settle(4, 20000));
  IdleConnections extra(server.port(), 1, kExtraConnectionData);
  ASSERT_TRUE(extra.settle(1, 20000));
  IdleConnections more(server.port(), 1);
  ASSERT_TRUE(more.settle(1, 20000));
  IdleConnections refused(server.port(), 1, kExtraConnectionData);
  ASSERT_TRUE(refused.settle(0, 20000));
  EXPECT_EQ(occurrences(outputHolding(server, "|||| Refused connection"),
                        ": an extra connection, 1 of 8 slots free"),
            1u);

  RawClient player(server.port());
  player.request("1.compressed");
  ASSERT_TRUE(player.collect(1, 20000));
  EXPECT_EQ(player.replies["1.compressed"].size(), 1000u);
  EXPECT_EQ(occurrences(server.output(), "|||| Refused connection"), 1u);
}

// Many players behind one address: a client's unmarked connections are
// still extras and stop at the address's bound, but every other player's
// first connection gets in and is served.
TEST_F(UpdateServer, PlayersBehindOneAddressAreNotLockedOut) {
  Bytes file = put("1.compressed", 1000);
  ServerProcess server(data_, {"--per-address", "4"});
  IdleConnections flood(server.port(), 30);
  ASSERT_TRUE(flood.settle(4, 20000)) << flood.connects << " " << flood.disconnects;
  std::vector<std::unique_ptr<RawClient>> players;
  for (int i = 0; i < 6; ++i) {
    players.push_back(std::make_unique<RawClient>(server.port()));
    players.back()->request("1.compressed");
  }
  for (auto& player : players) {
    ASSERT_TRUE(testing::waitUntil(
        [&] {
          flood.service();
          player->serviceOnce();
          return player->replyCount == 1;
        },
        20000));
    EXPECT_EQ(player->replies["1.compressed"], file);
  }
  testing::waitUntil([&] { return occurrences(server.output(), "|||| Refused connection") >= 26; }, 10000);
  std::string log = server.output();
  EXPECT_EQ(occurrences(log, ": 4 connections from 127.0.0.1 already"), 26u);
  EXPECT_EQ(occurrences(log, "|||| Refused connection"), 26u);
}

// ENet is shown only the front of the slot table; a burst of connections
// larger than that front still gets in whole (the ones that found no room
// are sent again by the client's ENet), and a player is served beside it.
TEST_F(UpdateServer, ABurstBeyondTheShownSlotsAllGetsIn) {
  put("1.compressed", 1000);
  ServerProcess server(data_, {"--per-address", "4095", "--per-player", "4095"});
  IdleConnections burst(server.port(), 600);
  ASSERT_TRUE(burst.settle(600, 30000)) << burst.connects << " " << burst.disconnects;
  RawClient player(server.port());
  player.request("1.compressed");
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        burst.service();
        player.serviceOnce();
        return player.replyCount == 1;
      },
      20000));
  EXPECT_EQ(player.replies["1.compressed"].size(), 1000u);
}

TEST_F(UpdateServer, LogsConnectsAndEndsCleanlyOnSigterm) {
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

TEST_F(UpdateServer, MissingFolderOrBusyPortEndsWithCodeOne) {
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
