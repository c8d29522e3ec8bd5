#include <gtest/gtest.h>

#include <thread>

#include "log/log.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::LogCapture;

TEST(Log, FirstRecordIsTheStartLine) {
  LogCapture log;
  logLine("hello", 0);
  EXPECT_EQ(log.text(), ": ## Starting log\n: hello\n");
}

TEST(Log, ErrorsAreFramed) {
  LogCapture log;
  logError("abc");
  logError("ends with newline\n");
  EXPECT_EQ(log.text(),
            ": ## Starting log\n"
            ": #### ERROR \nabc\n####\n"
            ": #### ERROR \nends with newline\n\n####\n");
}

TEST(Log, EntriesKeepTheirOrderAcrossThreads) {
  LogCapture log;
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 200; ++i) logLine("t" + std::to_string(t) + " " + std::to_string(i));
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::string text = log.text();
  for (int t = 0; t < 4; ++t) {
    size_t last = 0;
    for (int i = 0; i < 200; ++i) {
      size_t at = text.find(": t" + std::to_string(t) + " " + std::to_string(i) + "\n");
      ASSERT_NE(at, std::string::npos);
      EXPECT_GE(at, last);
      last = at;
    }
  }
}

TEST(Log, EntriesBeyondTheQueueLimitAreDroppedAndCounted) {
  LogCapture log;
  logLine("before");
  logLine(std::string(kMaxQueuedLogBytes + 1, 'x'));
  logLine("after");
  std::string text = log.text();
  EXPECT_EQ(log.count(LogCapture::error(
                "1 log entries dropped: they came faster than the log could write them")),
            1);
  EXPECT_EQ(log.count(": before\n"), 1);
  EXPECT_EQ(log.count(": after\n"), 1);
  EXPECT_EQ(text.find("xx"), std::string::npos);
  EXPECT_LT(text.size(), 1000u);
}

TEST(Log, RestartingEmptiesTheFile) {
  {
    LogCapture first;
    logLine("from the first run");
    EXPECT_EQ(first.count("from the first run"), 1);
  }
  LogCapture second;
  EXPECT_EQ(second.count("from the first run"), 0);
  EXPECT_EQ(second.text(), ": ## Starting log\n");
}

}  // namespace
}  // namespace quor
