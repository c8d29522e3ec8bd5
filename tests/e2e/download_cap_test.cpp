// The download cap end to end: the real updater with --limit-rate against
// the real update_server on 127.0.0.1. The bound is generous: this checks
// the cap, not the speed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "update_fixture.h"

namespace quor::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// What a fresh install fetches after the manifest: every whole file.
uint64_t wholeFileBytes(const std::string& folder) {
  uint64_t total = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".compressed") total += entry.file_size();
  }
  return total;
}

// When text first appears in the file, polled every 10 ms for at most
// timeoutSeconds; none when it never does.
std::optional<Clock::time_point> whenLogged(const std::string& file, const std::string& text,
                                            int timeoutSeconds) {
  auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  while (Clock::now() < deadline) {
    if (readFile(file).find(text) != std::string::npos) return Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

TEST(DownloadCap, InstallKeepsWithinTheCap) {
  constexpr double kCap = 2 << 20;  // --limit-rate 2M
  Build v2 = versionTwo();
  // Three pieces each: the rest of each is asked for ahead of the run.
  for (uint32_t i = 0; i < 5; ++i) {
    v2["data/quor/cap/f" + std::to_string(i)] = randomText(700 << 10, i);
  }
  v2["data/quor/cap/big"] = randomText(5u << 19, 9);  // in pieces
  UpdateScenario scenario;
  scenario.publish(versionOne(), v2);
  scenario.startServer();
  std::string player = scenario.makePlayer("capped", {});

  BackgroundProcess updater({updaterBinary(), "--limit-rate", "2M"}, player);
  std::string log = player + "/updater.log";
  auto started = whenLogged(log, ": Getting updates from server...\n", 60);
  auto ended = whenLogged(log, ": ... updates applied\n", 60);
  ASSERT_TRUE(started && ended) << readFile(log);
  updater.stop();
  EXPECT_EQ(scenario.compare(player, v2), "");

  double seconds = std::chrono::duration<double>(*ended - *started).count();
  double rate = static_cast<double>(wholeFileBytes(scenario.dataFolder())) / seconds;
  EXPECT_LE(rate, kCap * 1.1) << seconds << " s";
  EXPECT_GE(rate, kCap * 0.4) << seconds << " s";
}

}  // namespace
}  // namespace quor::testing
