// The live status line of an update run on a terminal: files done of all,
// bytes received of the whole (known, estimated or unknown), the smoothed
// speed and the time left, redrawn about twice a second through the log's
// status line (log/log.h), so it is never a log record and never reaches
// updater.log or redirected output.
//
// Costs one thread that wakes every 50 ms while the line is shown; when
// standard output is no terminal it starts no thread and does nothing.
//
// Threads: made, told of finished files and destroyed on the update run's
// thread; the ticker thread reads the counts, the source's bytes received
// (update/update_source.h) and the controller's known sizes. The
// controller and the source must outlive the object.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_map>

#include "update/file_update_controller.h"
#include "update/progress_text.h"
#include "update/update_source.h"

namespace quor {

class ProgressLine {
 public:
  static constexpr std::chrono::milliseconds kRedrawInterval{500};

  // pending: manifest path -> update data name, the run's requests; their
  // sizes are watched on the controller. Draws the first line at once;
  // nothing at all when there is nothing to fetch.
  ProgressLine(const std::unordered_map<std::string, std::string>& pending,
               FileUpdateController& controller, UpdateSource& source);
  // Stops the ticker (within 50 ms) and clears the line.
  ~ProgressLine();

  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // One more of the pending files is done with.
  void fileDone() { filesDone_.fetch_add(1, std::memory_order_relaxed); }

 private:
  void tickerMain();
  ProgressFigures currentFigures(std::chrono::steady_clock::time_point now);

  FileUpdateController& controller_;
  UpdateSource& source_;
  const uint32_t filesTotal_;
  const uint64_t bytesAtStart_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<uint32_t> filesDone_{0};
  std::atomic<bool> stop_{false};
  SpeedMeter speed_;  // the ticker's own
  std::thread ticker_;
};

}  // namespace quor
