#include <gtest/gtest.h>

#include <filesystem>

#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <regex>
#endif

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

// A name from the network cannot forge a line or drive the terminal; a
// full file is moved aside rather than grown.
TEST(Log, ControlCharactersAreEscapedAndAFullFileMovesAside) {
  LogCapture log;
  logLine("a\n: Connection to server succesful!\x1b[2J\r\x7f", 0);
  logError("x\ty\n");
  EXPECT_EQ(log.written(),
            ": a\\x0a: Connection to server succesful!\\x1b[2J\\x0d\\x7f\n"
            ": #### ERROR \nx\\x09y\n\n####\n");
  std::string file = log.fileName();
  std::filesystem::resize_file(file, 64u << 20);
  logLine("after", 0);
  EXPECT_EQ(log.text(), ": after\n");
  EXPECT_EQ(std::filesystem::file_size(file + ".1"), 64u << 20);
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

#ifndef _WIN32
// Standard output is a pseudo-terminal for the object's lifetime.
class TerminalOutput {
 public:
  TerminalOutput() {
    termios raw{};
    cfmakeraw(&raw);
    EXPECT_EQ(openpty(&master_, &slave_, nullptr, &raw, nullptr), 0);
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    dup2(slave_, STDOUT_FILENO);
  }
  ~TerminalOutput() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    close(slave_);
    close(master_);
  }
  // What was written to the terminal so far.
  std::string screen() {
    fcntl(master_, F_SETFL, O_NONBLOCK);
    char buffer[4096];
    for (ssize_t got; (got = read(master_, buffer, sizeof buffer)) > 0;) {
      screen_.append(buffer, static_cast<size_t>(got));
    }
    return screen_;
  }

 private:
  int master_ = -1, slave_ = -1, saved_ = -1;
  std::string screen_;
};

TEST(Log, StatusLineIsDrawnBetweenRecordsOnATerminalAndNeverLogged) {
  TerminalOutput terminal;
  std::string file;
  {
    LogCapture log;
    ASSERT_TRUE(statusLineVisible());
    setStatusLine("3 of 9 files");
    logLine("one");
    flushLog();
    logLine("two");
    flushLog();
    setStatusLine(std::string(kMaxStatusLineBytes + 50, 'w'));
    clearStatusLine();
    file = log.text();
  }
  std::string screen = terminal.screen();
  EXPECT_EQ(file, ": ## Starting log\n: one\n: two\n");
  // Drawn after the records, cleared before the next one and at the end,
  // and never wider than the terminal.
  EXPECT_NE(screen.find("\r3 of 9 files\x1b[K"), std::string::npos) << screen;
  EXPECT_NE(screen.find("\r\x1b[K: two\n\r3 of 9 files\x1b[K"), std::string::npos) << screen;
  EXPECT_EQ(screen.find(std::string(kMaxStatusLineBytes + 1, 'w')), std::string::npos);
  ASSERT_GE(screen.size(), 4u);
  EXPECT_EQ(screen.substr(screen.size() - 4), "\r\x1b[K");
  // Without the status lines the terminal holds the records (the capture
  // starts the log twice, so the screen has one start line more).
  std::string records = std::regex_replace(screen, std::regex("\r[^\r\n\x1b]*\x1b\\[K"), "");
  ASSERT_GE(records.size(), file.size());
  EXPECT_EQ(records.substr(records.size() - file.size()), file) << records;
}
#endif

}  // namespace
}  // namespace quor
