// The event stream: every record and event as one JSON line, in order,
// whatever the text holds.
#include "log/event_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <sstream>
#include <thread>
#include <vector>

#include "log/log.h"
#include "test_support.h"

namespace quor {
namespace {

TEST(EventStream, RecordsAndEventsComeInOrderAsJsonLinesWhateverTheText) {
  testing::TempDir dir;
  std::string streamPath = dir / "events.jsonl";
  emitEvent("before", {{"n", 0}});  // no stream yet: nothing
  ASSERT_TRUE(openEventStream(streamPath).ok());
  EXPECT_FALSE(openEventStream(dir / "no/such/folder/events.jsonl").ok());
  testing::LogCapture log;
  logLine("plain");
  emitEvent("file_done", {{"path", "./a \"quoted\"\\b"}, {"bytes", 5}});
  logLine(std::string("bad utf-8 \xff\xfe and a control \x01 and \xc3\xa9"));
  logError("broken");
  // From several threads at once, each thread's own in order.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) emitEvent("tick", {{"thread", t}, {"i", i}});
    });
  }
  for (std::thread& thread : threads) thread.join();
  flushLog();

  std::vector<nlohmann::json> events;
  std::istringstream lines(testing::readFile(streamPath));
  for (std::string line; std::getline(lines, line);) {
    ASSERT_FALSE(line.empty());
    events.push_back(nlohmann::json::parse(line));  // throws, failing the test, on bad JSON
  }
  // The capture starts the log twice.
  ASSERT_EQ(events.size(), 2u + 4u + 200u);
  EXPECT_EQ(events[0], (nlohmann::json{{"event", "log"}, {"text", "## Starting log"}, {"error", false}}));
  events.erase(events.begin());
  EXPECT_EQ(events[1]["text"], "plain");
  EXPECT_EQ(events[2], (nlohmann::json{{"event", "file_done"}, {"path", "./a \"quoted\"\\b"}, {"bytes", 5}}));
  // Control characters as the log writes them; bytes that are not UTF-8
  // replaced; UTF-8 kept.
  EXPECT_EQ(events[3]["text"], "bad utf-8 \xef\xbf\xbd\xef\xbf\xbd and a control \\x01 and \xc3\xa9");
  EXPECT_EQ(events[4]["error"], true);
  EXPECT_EQ(events[4]["text"], testing::LogCapture::error("broken"));
  int next[4] = {0, 0, 0, 0};
  for (size_t i = 5; i < events.size(); ++i) {
    ASSERT_EQ(events[i]["event"], "tick");
    int thread = events[i]["thread"];
    EXPECT_EQ(events[i]["i"], next[thread]++);
  }
  // The records are still in the log file as they always were.
  EXPECT_EQ(log.written(), ": plain\n: bad utf-8 \xff\xfe and a control \\x01 and \xc3\xa9\n: " +
                               testing::LogCapture::error("broken") + "\n");
}

// A pipe a launcher made: its write end by number (a descriptor, on
// Windows the handle beneath it), and what reached the read end.
struct LauncherPipe {
  int ends[2] = {-1, -1};
  LauncherPipe() {
#ifdef _WIN32
    EXPECT_EQ(_pipe(ends, 65536, _O_BINARY), 0);
#else
    EXPECT_EQ(pipe(ends), 0);
#endif
  }
  std::string writeEnd() const {
#ifdef _WIN32
    return std::to_string(static_cast<uint64_t>(_get_osfhandle(ends[1])));
#else
    return std::to_string(ends[1]);
#endif
  }
  std::string readAll() {
    std::string text(65536, '\0');
    int got = read(ends[0], text.data(), static_cast<unsigned>(text.size()));
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
  }
};

TEST(EventStream, AnOutputHandedDownTakesTheEventsAndOthersAreRefused) {
  LauncherPipe launcher;
  for (std::string bad : {"fd:", "fd:x", "fd:3x", "fd:-1", "fd:99999999999999999999", "fd:1000000"}) {
    EXPECT_FALSE(openEventStream(bad).ok()) << bad;
  }
#ifndef _WIN32
  EXPECT_FALSE(openEventStream("fd:" + std::to_string(launcher.ends[0])).ok()) << "a read end";
#endif
  ASSERT_TRUE(openEventStream("fd:" + launcher.writeEnd()).ok());
  testing::LogCapture log;
  emitEvent("file_start", {{"path", "./a.map"}});
  flushLog();
  std::istringstream lines(launcher.readAll());
  std::string last;
  for (std::string line; std::getline(lines, line);) last = line;  // after the log's own
  EXPECT_EQ(nlohmann::json::parse(last), (nlohmann::json{{"event", "file_start"}, {"path", "./a.map"}}));
}

}  // namespace
}  // namespace quor
