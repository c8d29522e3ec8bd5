// The file update controller: replies stored by the network thread, taken
// once by the update run.

#include "update/file_update_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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

TEST(FileUpdateController, NamesAreMatchedExactly) {
  FileUpdateController controller;
  uint8_t byte = 1;
  controller.onFileReply("17.patch", 1, &byte);
  EXPECT_FALSE(controller.takeReceivedFile("17.compressed"));
  EXPECT_FALSE(controller.takeReceivedFile("17.Patch"));
  EXPECT_TRUE(controller.takeReceivedFile("17.patch"));
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
