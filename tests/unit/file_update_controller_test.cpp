// The file update controller: replies stored by the network thread, taken
// once by the update run.

#include "update/file_update_controller.h"

#include <gtest/gtest.h>

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
  std::thread network([&] {
    for (int i = 0; i < kFiles; ++i) {
      uint8_t byte = static_cast<uint8_t>(i);
      controller.onFileReply(std::to_string(i), 1, &byte);
    }
  });
  int taken = 0;
  for (int i = 0; i < kFiles; ++i) {
    std::optional<ReceivedFile> file;
    testing::waitUntil([&] { return (file = controller.takeReceivedFile(std::to_string(i))).has_value(); },
                       10000);
    ASSERT_TRUE(file) << i;
    EXPECT_EQ((*file->data)[0], static_cast<uint8_t>(i));
    ++taken;
  }
  network.join();
  EXPECT_EQ(taken, kFiles);
}

}  // namespace
}  // namespace quor
