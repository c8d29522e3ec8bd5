#include "log/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>

#include "platform/console.h"
#include "platform/native_path.h"

namespace quor {
namespace {

struct LogEntry {
  std::string text;
  uint16_t attributes;
};

// A spin lock: 0 is free, 100 is held. Waiting yields the processor so a
// caller queued behind the writer does not burn a core.
class SpinLock {
 public:
  void lock() {
    uint32_t expected = 0;
    while (!word_.compare_exchange_weak(expected, 100, std::memory_order_acquire)) {
      expected = 0;
      std::this_thread::yield();
    }
  }
  void unlock() { word_.store(0, std::memory_order_release); }

 private:
  std::atomic<uint32_t> word_{0};
};

struct LogState {
  SpinLock logLock;
  std::deque<LogEntry> queue;                // guarded by logLock
  std::string logFileName = "unassigned.log";  // guarded by logLock
  bool writerStarted = false;                // guarded by logLock
  uint64_t queued = 0;                       // guarded by logLock
  size_t queuedBytes = 0;                    // guarded by logLock
  uint64_t dropped = 0;                      // guarded by logLock
  std::atomic<uint64_t> written{0};
};

// Created on first use and never destroyed: the detached writer may still
// run while static destructors execute at process exit.
LogState& state() {
  static LogState* const instance = new LogState;
  return *instance;
}

void writeRecord(FILE* file, const LogEntry& entry) {
  std::string record = ": " + entry.text + "\n";
  if (file != nullptr) std::fwrite(record.data(), 1, record.size(), file);
  writeConsoleRecord(record, entry.attributes);
}

LogEntry droppedNotice(uint64_t dropped) {
  return {"#### ERROR \n" + std::to_string(dropped) +
              " log entries dropped: they came faster than the log could write them\n####",
          static_cast<uint16_t>(kErrorAttributes)};
}

// Takes the whole queue under the lock and writes it without holding the
// lock, so callers never wait for file or console output.
void drain() {
  LogState& log = state();
  std::deque<LogEntry> batch;
  std::string fileName;
  log.logLock.lock();
  batch.swap(log.queue);
  fileName = log.logFileName;
  uint64_t dropped = log.dropped;
  log.queuedBytes = 0;
  log.dropped = 0;
  log.logLock.unlock();
  if (batch.empty() && dropped == 0) return;
  FILE* file = openFile(fileName, "a");
  for (const LogEntry& entry : batch) writeRecord(file, entry);
  if (dropped != 0) writeRecord(file, droppedNotice(dropped));
  if (file != nullptr) std::fclose(file);
  // Counted only once the file is closed: flushLog promises the records
  // are in the file, not in this thread's buffer.
  log.written.fetch_add(batch.size(), std::memory_order_release);
}

void logWriterThread() {
  for (;;) {
    drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(4));
  }
}

}  // namespace

void startLog(const std::string& fileName) {
  LogState& log = state();
  log.logLock.lock();
  if (!log.writerStarted) {
    std::thread(logWriterThread).detach();
    log.writerStarted = true;
  }
  log.logFileName = fileName;
  if (FILE* file = openFile(fileName, "w")) std::fclose(file);
  log.logLock.unlock();
  logLine("## Starting log", 0);
}

void logLine(const std::string& text, int attributes) {
  LogState& log = state();
  LogEntry entry{text, static_cast<uint16_t>(attributes)};
  log.logLock.lock();
  if (text.size() > kMaxQueuedLogBytes - log.queuedBytes) {
    ++log.dropped;
  } else {
    log.queuedBytes += text.size();
    log.queue.push_back(std::move(entry));
    ++log.queued;
  }
  log.logLock.unlock();
}

void logError(const std::string& text) {
  logLine("#### ERROR \n" + text + "\n####", kErrorAttributes);
}

void flushLog() {
  LogState& log = state();
  log.logLock.lock();
  bool started = log.writerStarted;
  uint64_t target = log.queued;
  log.logLock.unlock();
  if (!started) return;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (log.written.load(std::memory_order_acquire) < target &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace quor
