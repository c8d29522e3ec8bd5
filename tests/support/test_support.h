// Helpers shared by the tests: temporary folders, files, running programs.
// Paths are UTF-8, as in the program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Set in builds with AddressSanitizer or ThreadSanitizer, whose shadow
// memory swamps any measure of the program's own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUOR_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUOR_SANITIZED_BUILD 1
#endif
#endif

namespace quor::testing {

// A fresh folder under the system's temporary folder, removed (with its
// contents) when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

// Changes the current folder for the object's lifetime.
class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::string& path);
  ~ScopedCurrentDir();

 private:
  std::string previous_;
};

void writeFile(const std::string& path, const std::string& content);
void writeFile(const std::string& path, const std::vector<uint8_t>& content);
std::string readFile(const std::string& path);
std::vector<uint8_t> readBytes(const std::string& path);
bool exists(const std::string& path);
// The file's content with Windows' text-mode line ends ("\r\n", as the log
// writes them there) read as "\n".
std::string readTextFile(const std::string& path);

// Whether POSIX permission bits keep this process out of a file or folder:
// false for root, and on Windows, which keeps no such modes.
bool fileModesEnforced();

// Deterministic pseudo-random bytes, and the same as a string.
std::vector<uint8_t> randomBytes(size_t size, uint32_t seed);
std::string randomText(size_t size, uint32_t seed);

struct RunResult {
  int exitCode = -1;     // the low 8 bits, as the shell sees them; -1 if killed
  std::string output;    // standard output and standard error together
};

// Runs argv[0] with argv in folder cwd, waits at most timeoutSeconds (the
// program is killed after that), and returns its exit code and output.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeoutSeconds = 120);

// Paths of the built programs.
std::string updaterBinary();
std::string updateServerBinary();

}  // namespace quor::testing

namespace quor::testing {

// Sends this process's log to a fresh file for the object's lifetime and
// reads back what was written. One process has one log, so tests that
// capture it each start their own.
class LogCapture {
 public:
  LogCapture();
  // Everything written since the capture began (waits for the writer),
  // with "\n" line ends on every platform.
  std::string text();
  // text() without its first record, "## Starting log".
  std::string written();
  // The texts given to logLine since the capture began, in order, without
  // the start record; an error's text is framed as error(text) shows.
  std::vector<std::string> records();
  const std::string& fileName() const { return file_; }
  // Number of times needle occurs in text().
  int count(const std::string& needle);

  // The record text that logError(text) leaves.
  static std::string error(const std::string& text) { return "#### ERROR \n" + text + "\n####"; }

 private:
  TempDir dir_;
  std::string file_;
};

// How many lines holding needle a log told of: those written, and those
// that a line summing up a flood counted ("|||| N more lines like this one
// in 5 s were left out: " and the last of them, which holds needle).
size_t toldCount(const std::string& log, const std::string& needle);

// The bytes that logError(text) adds to the log file.
inline std::string errorRecord(const std::string& text) { return ": " + LogCapture::error(text) + "\n"; }

// Replaces the program's sleep with one that records the pauses instead of
// waiting; restores the real sleep when it goes away.
class RecordedSleeps {
 public:
  RecordedSleeps();
  ~RecordedSleeps();
  std::vector<uint32_t> pauses() const;

 private:
  struct State;
  State* state_;
};

}  // namespace quor::testing

namespace quor::testing {

// A program running beside the test, its output going to a file. Killed
// (SIGTERM, then SIGKILL) when the object goes away. On Windows, which has
// no signals, stop() and the destructor end the program at once
// (TerminateProcess), and stop() then returns -1.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv, const std::string& cwd);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Waits until the output holds text; false when the program ended or the
  // time ran out first.
  bool waitForOutput(const std::string& text, int timeoutSeconds = 20);
  std::string output() const;
  bool running();
  // Sends the signal and waits (bounded) for the end; returns the exit code
  // (-1 when killed by a signal).
  int stop(int signal = 15);
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
  int status_ = 0;  // the wait status; on Windows the exit code
  bool ended_ = false;
  void* handle_ = nullptr;  // Windows: the process handle
  std::string outputPath_;
};

// Starts update_server on a free port of 127.0.0.1 serving dataFolder.
// Returns the port; the process object keeps it running.
std::unique_ptr<BackgroundProcess> startUpdateServer(const std::string& dataFolder, int& port,
                                                     const std::string& cwd,
                                                     const std::vector<std::string>& extraArgs = {});

}  // namespace quor::testing
