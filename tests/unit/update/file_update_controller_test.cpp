// The file update controller: replies stored by the network thread, taken
// once by the update run.

#include "update/file_update_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unordered_set>

#include "net_test_support.h"

namespace quor {
namespace {

using testing::LogCapture;

TEST(FileUpdateController, ReplyIsCopiedAndTakenOnce) {
  FileUpdateController controller;
  Bytes content = testing::randomBytes(1234, 7);
  {
    // The pointer is valid only during the call: overwrite the bytes after.
    Bytes transient = content;
    controller.onFileReply("manifest.manifest", 1234, transient.data());
    std::fill(transient.begin(), transient.end(), 0);
  }
  std::optional<ReceivedFile> file = controller.takeReceivedFile("manifest.manifest");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size, 1234u);
  ASSERT_TRUE(file->data);
  EXPECT_EQ(*file->data, content);
  EXPECT_FALSE(controller.takeReceivedFile("manifest.manifest"));
}

TEST(FileUpdateController, EmptyReplyIsLoggedOnceAndStored) {
  LogCapture log;
  FileUpdateController controller;
  controller.onFileReply("17.patch", 0, nullptr);
  EXPECT_EQ(log.records(), std::vector<std::string>{LogCapture::error("failed to fetch: 17.patch")});
  std::optional<ReceivedFile> file = controller.takeReceivedFile("17.patch");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->size, 0u);
  ASSERT_TRUE(file->data);
  EXPECT_TRUE(file->data->empty());
}

TEST(FileUpdateController, SecondReplyOfTheSameNameReplacesTheFirst) {
  FileUpdateController controller;
  uint8_t first[] = {1, 2, 3};
  uint8_t second[] = {9};
  controller.onFileReply("5.compressed", 3, first);
  controller.onFileReply("5.compressed", 1, second);
  std::optional<ReceivedFile> file = controller.takeReceivedFile("5.compressed");
  ASSERT_TRUE(file);
  EXPECT_EQ(*file->data, Bytes{9});
  EXPECT_FALSE(controller.takeReceivedFile("5.compressed"));
}

TEST(FileUpdateController, RepliesNobodyTakesAreBounded) {
  LogCapture log;
  FileUpdateController controller;
  uint8_t byte = 1;
  size_t limit = FileUpdateController::kMaxWaitingReplies;
  for (size_t i = 0; i < limit + 3; ++i) controller.onFileReply(std::to_string(i), 1, &byte);
  controller.onFileReply("0", 1, &byte);  // a waiting name may still be replaced
  EXPECT_EQ(log.count("too many replies waiting, dropped: "), 3);
  EXPECT_TRUE(controller.takeReceivedFile("0"));
  EXPECT_FALSE(controller.takeReceivedFile(std::to_string(limit)));
  controller.onFileReply("late", 1, &byte);  // room again once one is taken
  EXPECT_TRUE(controller.takeReceivedFile("late"));
}

// A server may send pieces nobody asked for, and longer ones: what waits
// stays within kMaxWaitingPieces pieces of kPieceSize bytes.
TEST(FileUpdateController, WaitingPiecesAreBoundedInCountAndLength) {
  LogCapture log;
  FileUpdateController controller;
  Bytes data(kPieceSize + 1, 7);
  auto send = [&](uint64_t offset, size_t length) {
    FileRangeReply reply;
    reply.name = "1.compressed";
    reply.fileSize = 1u << 30;
    reply.offset = offset;
    reply.data = ByteSpan(data.data(), length);
    controller.onFileRangeReply(reply);
  };
  send(0, kPieceSize + 1);
  EXPECT_EQ(log.count("a piece longer than asked for, its data dropped: 1.compressed@0"), 1);
  std::optional<ReceivedPiece> piece = controller.takePiece("1.compressed", 0);
  ASSERT_TRUE(piece);
  EXPECT_TRUE(piece->data.empty());  // the run fails the file at once

  size_t limit = FileUpdateController::kMaxWaitingPieces;
  for (size_t i = 0; i < limit + 2; ++i) send(i * kPieceSize, kPieceSize);
  EXPECT_EQ(log.count("too many pieces waiting, dropped: "), 2);
  EXPECT_EQ(controller.takePiece("1.compressed", 0)->data.size(), kPieceSize);
  EXPECT_FALSE(controller.takePiece("1.compressed", limit * kPieceSize));
}

// The rest of a small file is asked for as soon as its first piece comes,
// within the budget and what the requester allows; the run claims it, or
// gives it up and its pieces are dropped.
TEST(FileUpdateController, AsksAheadForTheRestOfSmallFiles) {
  constexpr uint32_t kPiece = 4096;
  FileUpdateController controller;
  std::vector<std::string> asked;
  size_t refuseAfter = SIZE_MAX;
  constexpr size_t kFiles = kAheadPieces + 4;
  auto f = [](size_t i) { return "f" + std::to_string(i); };
  std::unordered_set<std::string> names{"a", "big", "one", "x"};
  for (size_t i = 0; i < kFiles; ++i) names.insert(f(i));
  controller.askAheadFor(names, kPiece, 4 * kPiece,
                         [&](const std::string& name, uint64_t offset, uint32_t length) {
                           if (asked.size() >= refuseAfter) return false;
                           EXPECT_EQ(length, kPiece);
                           asked.push_back(name + "@" + std::to_string(offset));
                           return true;
                         });
  Bytes data(kPiece, 3);
  auto send = [&](const std::string& name, uint64_t offset, uint64_t fileSize) {
    FileRangeReply reply;
    reply.name = name;
    reply.fileSize = fileSize;
    reply.offset = offset;
    reply.data = ByteSpan(data.data(), data.size());
    controller.onFileRangeReply(reply);
  };
  using Offsets = std::vector<uint64_t>;

  send("a", 0, 3 * kPiece + 100);
  EXPECT_EQ(asked, (std::vector<std::string>{"a@4096", "a@8192", "a@12288"}));
  EXPECT_TRUE(controller.takePiece("a", 0));
  EXPECT_EQ(controller.claimAskedAhead("a"), (Offsets{kPiece, 2 * kPiece, 3 * kPiece}));
  EXPECT_EQ(controller.claimAskedAhead("a"), Offsets{});

  // Not a first piece, a file of one piece, one too big, a name not armed.
  send("big", kPiece, 2 * kPiece);
  send("one", 0, kPiece);
  send("big", 0, 4 * kPiece + 1);
  send("stranger", 0, 2 * kPiece);
  EXPECT_EQ(asked.size(), 3u);

  // At most kAheadPieces unclaimed: the files past them ask for nothing.
  for (size_t i = 0; i < kFiles; ++i) send(f(i), 0, 2 * kPiece);
  EXPECT_EQ(asked.size(), 3 + kAheadPieces);
  EXPECT_EQ(asked.back(), f(kAheadPieces - 1) + "@4096");

  // Given up: its waiting pieces go, and so does the one still to come,
  // which frees its room.
  send("f0", kPiece, 2 * kPiece);
  controller.forgetPiecesOf("f0");
  controller.forgetPiecesOf("f1");
  EXPECT_FALSE(controller.takePiece("f0", 0));
  EXPECT_FALSE(controller.takePiece("f0", kPiece));
  send("f1", kPiece, 2 * kPiece);
  EXPECT_FALSE(controller.takePiece("f1", kPiece));
  send(f(kAheadPieces), 0, 2 * kPiece);
  EXPECT_EQ(asked.back(), f(kAheadPieces) + "@4096");

  // A piece still on its way from a given-up request is taken over when
  // the file is fetched again; what the requester refuses, the run asks.
  for (const char* name : {"f2", "f3", "f4", "f5"}) controller.claimAskedAhead(name);
  send("x", 0, 4 * kPiece);
  controller.forgetPiecesOf("x");
  size_t askedBefore = asked.size();
  send("x", 0, 4 * kPiece);
  EXPECT_EQ(asked.size(), askedBefore);
  EXPECT_EQ(controller.claimAskedAhead("x"), (Offsets{kPiece, 2 * kPiece, 3 * kPiece}));
  refuseAfter = asked.size() + 1;
  send(f(kAheadPieces + 2), 0, 3 * kPiece);
  EXPECT_EQ(controller.claimAskedAhead(f(kAheadPieces + 2)), Offsets{kPiece});
}

// The first pieces the pump waits for: each counts until a reply at its
// offset comes (a refusal too) or the run is done with its file.
TEST(FileUpdateController, CountsFirstPiecesOnTheirWay) {
  FileUpdateController controller;
  int came = 0;
  controller.onFirstPieceCame([&came] { ++came; });
  controller.expectFirstPiece("a", 0);
  controller.expectFirstPiece("b", 8192);  // resumed where a run left it
  controller.expectFirstPiece("c", 0);
  EXPECT_EQ(controller.firstPiecesOnTheirWay(), 3u);

  Bytes data(16, 1);
  FileRangeReply reply;
  reply.fileSize = 1 << 20;
  reply.data = ByteSpan(data.data(), data.size());
  reply.name = "a";
  controller.onFileRangeReply(reply);
  reply.name = "b";  // not at the offset asked for
  controller.onFileRangeReply(reply);
  EXPECT_EQ(controller.firstPiecesOnTheirWay(), 2u);
  reply.offset = 8192;
  reply.status = kRangeStatusRefused;
  controller.onFileRangeReply(reply);
  EXPECT_EQ(came, 2);

  controller.forgetPiecesOf("c");  // no longer awaited: room for the pump too
  EXPECT_EQ(controller.firstPiecesOnTheirWay(), 0u);
  EXPECT_EQ(came, 3);
  reply.name = "c";
  reply.offset = 0;
  reply.status = kRangeStatusOk;
  controller.onFileRangeReply(reply);
  EXPECT_EQ(came, 3);
}

TEST(FileUpdateController, NamesAreMatchedExactly) {
  FileUpdateController controller;
  uint8_t byte = 1;
  controller.onFileReply("17.patch", 1, &byte);
  EXPECT_FALSE(controller.takeReceivedFile("17.compressed"));
  EXPECT_FALSE(controller.takeReceivedFile("17.Patch"));
  EXPECT_TRUE(controller.takeReceivedFile("17.patch"));
}

// A waiting run sleeps until the arrival count moves, so whatever it must
// see at once moves it: a stored reply or piece, and a lost server.
TEST(FileUpdateController, StoresAndALostServerWakeAWaitingRun) {
  FileUpdateController controller;
  uint64_t seen = controller.arrivalCount();
  uint8_t byte = 1;
  controller.onFileReply("1.compressed", 1, &byte);
  EXPECT_NE(controller.arrivalCount(), seen);
  seen = controller.arrivalCount();
  FileRangeReply piece;
  piece.name = "2.compressed";
  piece.fileSize = 1;
  piece.data = ByteSpan(&byte, 1);
  controller.onFileRangeReply(piece);
  EXPECT_NE(controller.arrivalCount(), seen);
  seen = controller.arrivalCount();
  controller.onDisconnected();
  EXPECT_NE(controller.arrivalCount(), seen);
}

TEST(FileUpdateController, StoringAndTakingFromTwoThreads) {
  FileUpdateController controller;
  constexpr int kFiles = 2000;
  // Like the server, the network side sends a reply only while fewer than
  // kMaxWaitingReplies requests are open.
  const int window = static_cast<int>(FileUpdateController::kMaxWaitingReplies);
  std::atomic<int> taken{0};
  std::thread network([&] {
    for (int i = 0; i < kFiles; ++i) {
      testing::waitUntil([&] { return i < taken.load() + window; }, 10000);
      uint8_t byte = static_cast<uint8_t>(i);
      controller.onFileReply(std::to_string(i), 1, &byte);
    }
  });
  for (int i = 0; i < kFiles; ++i) {
    std::optional<ReceivedFile> file;
    testing::waitUntil([&] { return (file = controller.takeReceivedFile(std::to_string(i))).has_value(); },
                       10000);
    if (!file) break;
    EXPECT_EQ((*file->data)[0], static_cast<uint8_t>(i));
    ++taken;
  }
  network.join();
  EXPECT_EQ(taken.load(), kFiles);
}

}  // namespace
}  // namespace quor
