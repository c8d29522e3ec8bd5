#include "test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace quor::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "quor_test_XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make read-only folders left by a test removable again.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& relative) const {
  return path_ + "/" + relative;
}

ScopedCurrentDir::ScopedCurrentDir(const std::string& path)
    : previous_(fs::current_path().string()) {
  fs::current_path(path);
}

ScopedCurrentDir::~ScopedCurrentDir() { fs::current_path(previous_); }

void writeFile(const std::string& path, const std::string& content) {
  fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& content) {
  writeFile(path, std::string(content.begin(), content.end()));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::string content = readFile(path);
  return std::vector<uint8_t>(content.begin(), content.end());
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

std::vector<uint8_t> randomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeoutSeconds) {
  std::string outputPath = (fs::temp_directory_path() /
                            ("quor_run_" + std::to_string(getpid()) + "_" +
                             std::to_string(std::chrono::steady_clock::now()
                                                .time_since_epoch()
                                                .count())))
                               .string();
  pid_t child = fork();
  if (child == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    FILE* out = std::freopen(outputPath.c_str(), "w", stdout);
    if (out == nullptr || dup2(fileno(stdout), STDERR_FILENO) < 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.output = readFile(outputPath);
  std::error_code ec;
  fs::remove(outputPath, ec);
  return result;
}

std::string updaterBinary() { return UPDATER_BINARY; }
std::string updateServerBinary() { return UPDATE_SERVER_BINARY; }

}  // namespace quor::testing

#include <atomic>
#include <mutex>

#include "log/log.h"
#include "platform/sleep.h"

namespace quor::testing {

LogCapture::LogCapture() : file_(dir_ / "capture.log") { startLog(file_); }

std::string LogCapture::text() {
  flushLog();
  return readFile(file_);
}

int LogCapture::count(const std::string& needle) {
  std::string all = text();
  int found = 0;
  for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
    ++found;
  }
  return found;
}

struct RecordedSleeps::State {
  mutable std::mutex lock;
  std::vector<uint32_t> pauses;
};

RecordedSleeps::RecordedSleeps() : state_(new State) {
  State* state = state_;
  setSleepFunction([state](uint32_t ms) {
    std::lock_guard<std::mutex> guard(state->lock);
    state->pauses.push_back(ms);
  });
}

RecordedSleeps::~RecordedSleeps() {
  setSleepFunction(nullptr);
  delete state_;
}

std::vector<uint32_t> RecordedSleeps::pauses() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->pauses;
}

}  // namespace quor::testing

namespace quor::testing {

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::string& cwd) {
  static std::atomic<int> counter{0};
  outputPath_ = (fs::temp_directory_path() / ("quor_bg_" + std::to_string(getpid()) + "_" +
                                              std::to_string(counter++)))
                    .string();
  pid_ = fork();
  if (pid_ == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    FILE* out = std::freopen(outputPath_.c_str(), "w", stdout);
    if (out == nullptr || dup2(fileno(stdout), STDERR_FILENO) < 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
}

BackgroundProcess::~BackgroundProcess() {
  stop(SIGTERM);
  std::error_code ec;
  fs::remove(outputPath_, ec);
}

std::string BackgroundProcess::output() const { return readFile(outputPath_); }

bool BackgroundProcess::running() {
  if (ended_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
  return !ended_;
}

bool BackgroundProcess::waitForOutput(const std::string& text, int timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (output().find(text) != std::string::npos) return true;
    if (!running()) return output().find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int BackgroundProcess::stop(int signal) {
  if (running()) {
    kill(pid_, signal);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      ended_ = true;
    }
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::unique_ptr<BackgroundProcess> startUpdateServer(const std::string& dataFolder, int& port,
                                                     const std::string& cwd) {
  std::mt19937 random(static_cast<uint32_t>(getpid()) ^
                      static_cast<uint32_t>(
                          std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 20; ++attempt) {
    port = 20000 + static_cast<int>(random() % 40000);
    auto server = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{updateServerBinary(), "--port", std::to_string(port), "--data",
                                 dataFolder},
        cwd);
    if (server->waitForOutput("listening on port", 10)) return server;
  }
  throw std::runtime_error("update_server did not start");
}

}  // namespace quor::testing
