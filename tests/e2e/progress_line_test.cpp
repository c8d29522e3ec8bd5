// The live status line end to end: the real updater on a pseudo-terminal
// shows it and clears it around every record, while updater.log and
// redirected output hold the records alone.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <regex>

#include "update_fixture.h"

namespace quor::testing {
namespace {

struct TerminalRun {
  int exitCode = -1;
  std::string screen;  // every byte the program wrote to its terminal
};

// Runs the updater in folder with a pseudo-terminal (raw, so line ends
// stay "\n") as its standard output; kills it after timeoutSeconds.
TerminalRun runOnTerminal(const std::string& folder, int timeoutSeconds) {
  int master = -1;
  termios raw{};
  cfmakeraw(&raw);
  winsize size{};
  size.ws_col = 120;
  size.ws_row = 40;
  // Made before the fork: the child only calls what is safe after one.
  std::string program = updaterBinary();
  pid_t pid = forkpty(&master, nullptr, &raw, &size);
  if (pid == 0) {
    if (chdir(folder.c_str()) != 0) _exit(126);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  TerminalRun run;
  if (pid < 0) return run;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;  // EIO once the program and its children are gone
    run.screen.append(buffer, static_cast<size_t>(got));
  }
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(master);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

TEST(ProgressLine, ShownOnATerminalOnlyAndNeverAmongTheRecords) {
  UpdateScenario scenario;
  Build v2 = versionTwo();
  std::vector<uint8_t> big = randomBytes(6 << 20, 16);
  v2["data/quor/big.bin"] = std::string(big.begin(), big.end());
  scenario.publish(versionOne(), v2);
  scenario.startServer();

  std::string onTerminal = scenario.makePlayer("terminal", {});
  TerminalRun run = runOnTerminal(onTerminal, 120);
  ASSERT_EQ(run.exitCode, 0) << run.screen;
  EXPECT_EQ(scenario.compare(onTerminal, v2), "");
  EXPECT_TRUE(std::regex_search(run.screen, std::regex("\rFiles 0/[1-9][0-9]*  [0-9]")))
      << run.screen;
  // With every line drawn ("\r" text "\e[K") and cleared ("\r\e[K")
  // taken out, the terminal shows exactly the log's records: each record
  // starts on a cleared line, and the line is gone at the end.
  std::string records =
      std::regex_replace(run.screen, std::regex("\r[^\r\n\x1b]*\x1b\\[K"), "");
  EXPECT_EQ(records, readFile(onTerminal + "/updater.log"));
  EXPECT_EQ(readFile(onTerminal + "/updater.log").find("Files "), std::string::npos);

  std::string redirected = scenario.makePlayer("redirected", {});
  RunResult plain = scenario.runUpdater(redirected);
  ASSERT_EQ(plain.exitCode, 0) << plain.output;
  EXPECT_EQ(plain.output.find("Files "), std::string::npos);
  EXPECT_EQ(plain.output.find('\r'), std::string::npos);
  EXPECT_EQ(plain.output, readFile(redirected + "/updater.log"));
}

}  // namespace
}  // namespace quor::testing
