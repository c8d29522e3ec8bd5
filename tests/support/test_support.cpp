#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/native_path.h"

namespace quor::testing {
namespace fs = std::filesystem;

// The few operating-system calls the helpers need: a fresh folder, and
// starting, polling and killing a program whose standard output and error
// go to one file. Exit codes are the low 8 bits, as a shell shows them.
namespace {

#ifdef _WIN32

int currentProcessId() { return static_cast<int>(GetCurrentProcessId()); }

std::string makeUniqueFolder() {
  std::mt19937 random(GetCurrentProcessId() ^ GetTickCount() ^
                      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&random)));
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof(name), "quor_test_%08x", static_cast<unsigned>(random()));
    fs::path folder = fs::temp_directory_path() / name;
    std::error_code ec;
    if (fs::create_directory(folder, ec)) return fromNativePath(folder);
  }
  throw std::runtime_error("cannot create a temporary folder");
}

// One argument as the C runtime's command-line parser reads it back.
std::string quoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

struct Child {
  HANDLE process = nullptr;
  int pid = -1;
};

Child spawn(const std::vector<std::string>& argv, const std::string& cwd,
            const std::string& outputPath) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::string line;
  for (size_t i = 0; i < argv.size(); ++i) {
    std::string argument = argv[i];
    if (i == 0) std::replace(argument.begin(), argument.end(), '/', '\\');
    if (i != 0) line += ' ';
    line += quoteArgument(argument);
  }
  std::vector<char> writable(line.begin(), line.end());
  writable.push_back('\0');
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION started;
  ZeroMemory(&started, sizeof(started));
  Child child;
  if (output != INVALID_HANDLE_VALUE &&
      CreateProcessA(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(),
                     &startup, &started)) {
    CloseHandle(started.hThread);
    child.process = started.hProcess;
    child.pid = static_cast<int>(started.dwProcessId);
  }
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  return child;
}

// True when the program has ended; its exit code in *exitCode.
bool ended(HANDLE process, int* exitCode) {
  if (process == nullptr) return true;
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  *exitCode = static_cast<int>(code & 0xFF);
  return true;
}

void kill(HANDLE process) {
  TerminateProcess(process, 1);
  WaitForSingleObject(process, 10000);
}

#else

int currentProcessId() { return static_cast<int>(getpid()); }

std::string makeUniqueFolder() {
  std::string pattern = (fs::temp_directory_path() / "quor_test_XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return buffer.data();
}

pid_t spawn(const std::vector<std::string>& argv, const std::string& cwd,
            const std::string& outputPath) {
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
  return child;
}

#endif

}  // namespace

TempDir::TempDir() : path_(makeUniqueFolder()) {}

TempDir::~TempDir() {
  std::error_code ec;
  // Make read-only folders left by a test removable again.
  for (auto it = fs::recursive_directory_iterator(toNativePath(path_), ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(toNativePath(path_), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(toNativePath(path_), ec);
}

std::string TempDir::operator/(const std::string& relative) const {
  return path_ + "/" + relative;
}

ScopedCurrentDir::ScopedCurrentDir(const std::string& path)
    : previous_(fromNativePath(fs::current_path())) {
  fs::current_path(toNativePath(path));
}

ScopedCurrentDir::~ScopedCurrentDir() { fs::current_path(toNativePath(previous_)); }

void writeFile(const std::string& path, const std::string& content) {
  fs::path parent = toNativePath(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent);
  std::ofstream out(toNativePath(path), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::vector<uint8_t>& content) {
  writeFile(path, std::string(content.begin(), content.end()));
}

std::string readFile(const std::string& path) {
  std::ifstream in(toNativePath(path), std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::string content = readFile(path);
  return std::vector<uint8_t>(content.begin(), content.end());
}

std::string readTextFile(const std::string& path) {
  std::string text = readFile(path);
#ifdef _WIN32
  std::string lines;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
  }
  text.swap(lines);
#endif
  return text;
}

bool fileModesEnforced() {
#ifdef _WIN32
  return false;
#else
  return geteuid() != 0;
#endif
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(toNativePath(path), ec));
}

std::vector<uint8_t> randomBytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

std::string randomText(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes = randomBytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     int timeoutSeconds) {
  std::string outputPath = (fs::temp_directory_path() /
                            ("quor_run_" + std::to_string(currentProcessId()) + "_" +
                             std::to_string(std::chrono::steady_clock::now()
                                                .time_since_epoch()
                                                .count())))
                               .string();
  RunResult result;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
#ifdef _WIN32
  Child child = spawn(argv, cwd, outputPath);
  if (child.process == nullptr) {
    result.exitCode = 127;
  } else {
    int exitCode = -1;
    while (!ended(child.process, &exitCode)) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(child.process);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.exitCode = exitCode;
    CloseHandle(child.process);
  }
#else
  pid_t child = spawn(argv, cwd, outputPath);
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
#endif
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

namespace {
const char kStartRecord[] = ": ## Starting log\n";
}

LogCapture::LogCapture() : file_(dir_ / "capture.log") {
  // Entries queued before the log was ever started go to the first file
  // named; write them out there, then begin again with an empty file.
  startLog(file_);
  flushLog();
  startLog(file_);
}

std::string LogCapture::text() {
  flushLog();
  return readTextFile(file_);
}

std::string LogCapture::written() {
  std::string all = text();
  if (all.rfind(kStartRecord, 0) == 0) all.erase(0, sizeof(kStartRecord) - 1);
  return all;
}

size_t toldCount(const std::string& log, const std::string& needle) {
  const std::string summed = " more lines like this one in ";
  size_t count = 0;
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::string line = log.substr(start, end - start);
    start = end + 1;
    if (line.find(needle) == std::string::npos) continue;
    size_t summary = line.find(summed);
    size_t number = line.find("|||| ");
    if (summary != std::string::npos && number != std::string::npos && number < summary) {
      count += std::stoull(line.substr(number + 5, summary - number - 5));
    } else {
      for (size_t at = 0; (at = line.find(needle, at)) != std::string::npos; at += needle.size()) {
        ++count;
      }
    }
  }
  return count;
}

std::vector<std::string> LogCapture::records() {
  // Every record starts with ": " at the start of a line and ends with a
  // line feed; an error's text spans several lines.
  std::string all = written();
  std::vector<std::string> texts;
  size_t at = 0;
  while (at + 2 <= all.size()) {
    size_t end = all.find("\n: ", at);
    if (end == std::string::npos) end = all.size() - 1;
    texts.push_back(all.substr(at + 2, end - at - 2));
    at = end + 1;
  }
  return texts;
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
  outputPath_ = (fs::temp_directory_path() / ("quor_bg_" + std::to_string(currentProcessId()) +
                                              "_" + std::to_string(counter++)))
                    .string();
#ifdef _WIN32
  Child child = spawn(argv, cwd, outputPath_);
  handle_ = child.process;
  pid_ = child.pid;
  if (handle_ == nullptr) {
    ended_ = true;
    status_ = 127;
  }
#else
  pid_ = spawn(argv, cwd, outputPath_);
#endif
}

BackgroundProcess::~BackgroundProcess() {
  stop(15);
#ifdef _WIN32
  if (handle_ != nullptr) CloseHandle(handle_);
#endif
  std::error_code ec;
  fs::remove(outputPath_, ec);
}

std::string BackgroundProcess::output() const { return readFile(outputPath_); }

bool BackgroundProcess::running() {
  if (ended_) return false;
#ifdef _WIN32
  ended_ = ended(handle_, &status_);
#else
  if (waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
#endif
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
#ifdef _WIN32
  (void)signal;
  if (running()) {
    kill(static_cast<HANDLE>(handle_));
    ended_ = true;
    status_ = -1;
  }
  return status_;
#else
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
#endif
}

std::unique_ptr<BackgroundProcess> startUpdateServer(const std::string& dataFolder, int& port,
                                                     const std::string& cwd,
                                                     const std::vector<std::string>& extraArgs) {
  std::mt19937 random(static_cast<uint32_t>(currentProcessId()) ^
                      static_cast<uint32_t>(
                          std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 20; ++attempt) {
    port = 20000 + static_cast<int>(random() % 40000);
    std::vector<std::string> argv{updateServerBinary(), "--port", std::to_string(port), "--data",
                                  dataFolder};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    auto server = std::make_unique<BackgroundProcess>(argv, cwd);
    if (server->waitForOutput("listening on port", 10)) return server;
  }
  throw std::runtime_error("update_server did not start");
}

}  // namespace quor::testing
