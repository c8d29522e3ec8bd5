#include "log/log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/thread_annotations.h"
#include "base/wake_signal.h"
#include "log/repeat_limit.h"
#include "platform/console.h"
#include "platform/native_path.h"

namespace quor {
namespace {

struct LogEntry {
  std::string text;
  uint16_t attributes;
  bool event = false;  // a line of the event stream only, not a record
};

// A spin lock: 0 is free, 100 is held. It is held only to append one entry
// or to take the whole queue, never across console or file output, so a
// waiter spins for moments; a log line costs no system call on the caller's
// thread, which matters for the network thread that logs stray packets.
// Waiting yields the processor so a caller queued behind the writer does
// not burn a core.
class CAPABILITY("mutex") SpinLock {
 public:
  void lock() ACQUIRE() {
    uint32_t expected = 0;
    while (!word_.compare_exchange_weak(expected, 100, std::memory_order_acquire)) {
      expected = 0;
      std::this_thread::yield();
    }
  }
  void unlock() RELEASE() { word_.store(0, std::memory_order_release); }

 private:
  std::atomic<uint32_t> word_{0};
};

// Holds the lock for the rest of the scope, so an allocation that throws
// while it is held cannot leave every later caller spinning.
class SCOPED_CAPABILITY SpinLockHolder {
 public:
  explicit SpinLockHolder(SpinLock* lock) ACQUIRE(lock) : lock_(lock) { lock_->lock(); }
  ~SpinLockHolder() RELEASE() { lock_->unlock(); }

  SpinLockHolder(const SpinLockHolder&) = delete;
  SpinLockHolder& operator=(const SpinLockHolder&) = delete;

 private:
  SpinLock* const lock_;
};

struct LogState {
  SpinLock logLock;
  std::deque<LogEntry> queue GUARDED_BY(logLock);
  std::string logFileName GUARDED_BY(logLock) = "unassigned.log";
  bool writerStarted GUARDED_BY(logLock) = false;
  uint64_t queued GUARDED_BY(logLock) = 0;
  size_t queuedBytes GUARDED_BY(logLock) = 0;
  uint64_t dropped GUARDED_BY(logLock) = 0;
  RepeatLimit repeats GUARDED_BY(logLock);
  // The event stream, once attached; the writer's alone after that.
  std::FILE* events GUARDED_BY(logLock) = nullptr;
  bool consoleToError GUARDED_BY(logLock) = false;
  // Entries in the file; read by flushLog without the lock.
  std::atomic<uint64_t> written{0};
  // The status line's text, and a count of its changes that the writer
  // compares with the last one it showed.
  std::string statusText GUARDED_BY(logLock);
  uint64_t statusVersion GUARDED_BY(logLock) = 0;
  // The last version the writer has put on the screen; read by
  // clearStatusLine without the lock.
  std::atomic<uint64_t> statusShown{0};
  // Whether the writer left a status line on the screen; the writer's own.
  bool statusOnScreen = false;
  // Wakes the writer early for those who wait for it (flushLog,
  // clearStatusLine) and for the status line. logLine does not use it:
  // queueing a line stays free of system calls.
  WakeSignal nudge;
};

// The writer looks every 4 ms while there is work, and backs off to 64 ms
// while there is none, so an idle program is not woken 250 times a second.
constexpr std::chrono::milliseconds kBusyPause{4};
constexpr std::chrono::milliseconds kIdlePause{64};

// Created on first use and never destroyed: the detached writer may still
// run while static destructors execute at process exit.
LogState& state() {
  static LogState* const instance = new LogState;
  return *instance;
}

// A log file that reaches this size is moved to its name + ".1" (replacing
// the one before) and started anew, so a long-running server or a peer
// that floods the updater with bad packets cannot fill the disk.
constexpr long kMaxLogFileBytes = 64L << 20;

// Opens the log file for appending, moving it aside first when it is full.
FILE* openForAppend(const std::string& fileName) {
  FILE* file = openFile(fileName, "a");
  // In append mode only the first write goes to the end; the Windows C
  // library reports the position 0 until then.
  if (file == nullptr || std::fseek(file, 0, SEEK_END) != 0 || std::ftell(file) < kMaxLogFileBytes) {
    return file;
  }
  std::fclose(file);
  std::string previous = fileName + ".1";
  std::remove(previous.c_str());
  std::rename(fileName.c_str(), previous.c_str());
  return openFile(fileName, "a");
}

// Text from the network (a name a peer sent) must not start lines of its
// own or drive the terminal: control characters become \xNN. A newline
// at the very end stays, as some fixed texts end with one.
std::string printable(const std::string& text) {
  auto isControl = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
  if (std::none_of(text.begin(), text.end(), isControl)) return text;
  std::string out;
  out.reserve(text.size() + 16);
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!isControl(c) || (c == '\n' && i + 1 == text.size())) {
      out += static_cast<char>(c);
      continue;
    }
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

// Where the writer puts an entry besides the log file.
struct Outputs {
  std::FILE* events = nullptr;
  bool consoleToError = false;
};

// A record as an event: its text as logged, and whether it is an error.
// Text that is not UTF-8 (a name a peer sent) has its bad bytes replaced,
// so no record can make the stream invalid.
std::string recordEvent(const LogEntry& entry) {
  nlohmann::json event = {{"event", "log"},
                          {"text", entry.text},
                          {"error", entry.attributes == kErrorAttributes}};
  return event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void writeEventLine(std::FILE* events, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), events);
  std::fputc('\n', events);
}

void writeRecord(FILE* file, const LogEntry& entry, const Outputs& outputs) {
  if (entry.event) {
    if (outputs.events != nullptr) writeEventLine(outputs.events, entry.text);
    return;
  }
  std::string record = ": " + entry.text + "\n";
  if (file != nullptr) std::fwrite(record.data(), 1, record.size(), file);
  writeConsoleRecord(record, entry.attributes, outputs.consoleToError);
  if (outputs.events != nullptr) writeEventLine(outputs.events, recordEvent(entry));
}

LogEntry droppedNotice(uint64_t dropped) {
  return {"#### ERROR \n" + std::to_string(dropped) +
              " log entries dropped: they came faster than the log could write them\n####",
          static_cast<uint16_t>(kErrorAttributes)};
}

std::string errorText(const std::string& text) { return "#### ERROR \n" + text + "\n####"; }

// Queues a line for each kind of repeated line whose interval has ended
// with lines left out (every kind when all).
void queueRepeatSummaries(LogState& log, bool all) REQUIRES(log.logLock) {
  if (!all && !log.repeats.pending()) return;
  std::string seconds = std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(RepeatLimit::kInterval).count());
  for (RepeatLimit::Summary& summary : log.repeats.takeEnded(RepeatLimit::Clock::now(), all)) {
    std::string text = errorText("|||| " + std::to_string(summary.leftOut) +
                                 " more lines like this one in " + seconds + " s were left out: " +
                                 summary.lastText);
    log.queuedBytes += text.size();
    ++log.queued;
    log.queue.push_back({std::move(text), static_cast<uint16_t>(kErrorAttributes)});
  }
}

// Draws the status line below the records, or blanks it when its text is
// empty. Runs on the writer thread only.
void showStatus(LogState& log, const std::string& text) {
  if (!text.empty()) {
    drawConsoleStatus(text);
    log.statusOnScreen = true;
  } else if (log.statusOnScreen) {
    clearConsoleStatus();
    log.statusOnScreen = false;
  }
}

// Takes the whole queue under the lock and writes it without holding the
// lock, so callers never wait for file or console output. Returns whether
// there was anything to write.
bool drain() {
  LogState& log = state();
  std::deque<LogEntry> batch;
  std::string fileName;
  uint64_t dropped = 0;
  std::string statusText;
  uint64_t statusVersion = 0;
  Outputs outputs;
  {
    SpinLockHolder hold(&log.logLock);
    outputs = {log.events, log.consoleToError};
    queueRepeatSummaries(log, false);
    batch.swap(log.queue);
    fileName = log.logFileName;
    dropped = log.dropped;
    log.queuedBytes = 0;
    log.dropped = 0;
    statusText = log.statusText;
    statusVersion = log.statusVersion;
  }
  bool records = !batch.empty() || dropped != 0;
  bool statusChanged = statusVersion != log.statusShown.load(std::memory_order_relaxed);
  if (!records && !statusChanged) return false;
  if (records) {
    if (log.statusOnScreen) clearConsoleStatus();
    log.statusOnScreen = false;
    FILE* file = openForAppend(fileName);
    for (const LogEntry& entry : batch) writeRecord(file, entry, outputs);
    if (dropped != 0) writeRecord(file, droppedNotice(dropped), outputs);
    if (file != nullptr) std::fclose(file);
    if (outputs.events != nullptr) std::fflush(outputs.events);
    // Counted only once the file is closed: flushLog promises the records
    // are in the file, not in this thread's buffer.
    log.written.fetch_add(batch.size(), std::memory_order_release);
  }
  showStatus(log, statusText);
  log.statusShown.store(statusVersion, std::memory_order_release);
  return true;
}

void logWriterThread() {
  LogState& log = state();
  std::chrono::milliseconds pause = kBusyPause;
  for (;;) {
    uint64_t seen = log.nudge.generation();
    pause = drain() ? kBusyPause : std::min(pause * 2, kIdlePause);
    log.nudge.waitFor(seen, pause);
  }
}

}  // namespace

void startLog(const std::string& fileName) {
  LogState& log = state();
  {
    SpinLockHolder hold(&log.logLock);
    if (!log.writerStarted) {
      std::thread(logWriterThread).detach();
      log.writerStarted = true;
    }
    log.logFileName = fileName;
    if (FILE* file = openFile(fileName, "w")) std::fclose(file);
  }
  logLine("## Starting log", 0);
}

namespace {

void queueEntry(std::string text, int attributes, bool event = false) {
  LogState& log = state();
  size_t size = text.size();
  LogEntry entry{std::move(text), static_cast<uint16_t>(attributes), event};
  SpinLockHolder hold(&log.logLock);
  if (event && log.events == nullptr) return;
  if (size > kMaxQueuedLogBytes - log.queuedBytes) {
    ++log.dropped;
  } else {
    log.queue.push_back(std::move(entry));
    log.queuedBytes += size;
    ++log.queued;
  }
}

}  // namespace

void logLine(const std::string& text, int attributes) { queueEntry(printable(text), attributes); }

void attachEventStream(std::FILE* out, bool consoleToError) {
  LogState& log = state();
  SpinLockHolder hold(&log.logLock);
  log.events = out;
  log.consoleToError = consoleToError;
}

void queueEvent(std::string line) { queueEntry(std::move(line), 0, true); }

bool eventStreamAttached() {
  LogState& log = state();
  SpinLockHolder hold(&log.logLock);
  return log.events != nullptr;
}

void logError(const std::string& text) { queueEntry(errorText(printable(text)), kErrorAttributes); }

void logRepeatableError(const std::string& kind, const std::string& text) {
  LogState& log = state();
  std::string shown = printable(text);
  {
    SpinLockHolder hold(&log.logLock);
    if (!log.repeats.admit(kind, shown, RepeatLimit::Clock::now())) return;
  }
  queueEntry(errorText(shown), kErrorAttributes);
}

void flushLog() {
  LogState& log = state();
  bool started = false;
  uint64_t target = 0;
  {
    SpinLockHolder hold(&log.logLock);
    queueRepeatSummaries(log, true);
    started = log.writerStarted;
    target = log.queued;
  }
  if (!started) return;
  log.nudge.notify();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (log.written.load(std::memory_order_acquire) < target &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool statusLineVisible() { return standardOutputIsTerminal(); }

void setStatusLine(const std::string& text) {
  if (!text.empty() && !statusLineVisible()) return;
  LogState& log = state();
  std::string cut = text.substr(0, kMaxStatusLineBytes);
  {
    SpinLockHolder hold(&log.logLock);
    if (!log.writerStarted || cut == log.statusText) return;
    log.statusText = std::move(cut);
    ++log.statusVersion;
  }
  log.nudge.notify();
}

void clearStatusLine() {
  LogState& log = state();
  uint64_t target = 0;
  {
    SpinLockHolder hold(&log.logLock);
    if (!log.writerStarted || log.statusText.empty()) return;
    log.statusText.clear();
    target = ++log.statusVersion;
  }
  log.nudge.notify();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (log.statusShown.load(std::memory_order_acquire) < target &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace quor
