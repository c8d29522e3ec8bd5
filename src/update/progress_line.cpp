#include "update/progress_line.h"

#include <vector>

#include "log/event_stream.h"
#include "log/log.h"

namespace quor {
namespace {

constexpr std::chrono::milliseconds kStopCheckInterval{50};
constexpr double kFirstSpeedAfterSeconds = 0.25;

std::vector<std::string> requestNames(const std::unordered_map<std::string, std::string>& pending) {
  std::vector<std::string> names;
  names.reserve(pending.size());
  for (const auto& entry : pending) names.push_back(entry.second);
  return names;
}

}  // namespace

ProgressLine::ProgressLine(const std::unordered_map<std::string, std::string>& pending,
                           FileUpdateController& controller, UpdateSource& source)
    : controller_(controller),
      source_(source),
      filesTotal_(static_cast<uint32_t>(pending.size())),
      bytesAtStart_(source.bytesReceived()),
      start_(std::chrono::steady_clock::now()) {
  // The same figures feed the status line and the event stream's
  // "progress" events.
  if (pending.empty() || (!statusLineVisible() && !eventStreamAttached())) return;
  controller_.watchSizesOf(requestNames(pending));
  ticker_ = std::thread([this] { tickerMain(); });
}

ProgressLine::~ProgressLine() {
  if (!ticker_.joinable()) return;
  stop_.store(true);
  ticker_.join();
  clearStatusLine();
}

ProgressFigures ProgressLine::currentFigures(std::chrono::steady_clock::time_point now) {
  uint64_t received = source_.bytesReceived();
  ProgressFigures figures;
  figures.filesDone = filesDone_.load(std::memory_order_relaxed);
  figures.filesTotal = filesTotal_;
  figures.bytesReceived = received >= bytesAtStart_ ? received - bytesAtStart_ : 0;
  double seconds = std::chrono::duration<double>(now - start_).count();
  // The first moments say nothing about the speed yet.
  if (seconds >= kFirstSpeedAfterSeconds) speed_.addReading(seconds, figures.bytesReceived);
  figures.speed = speed_.bytesPerSecond();
  fillTotal(controller_.knownSizes(), figures);
  return figures;
}

namespace {

nlohmann::json progressEvent(const ProgressFigures& figures) {
  nlohmann::json event = {{"files_done", figures.filesDone},
                          {"files_total", figures.filesTotal},
                          {"bytes_done", figures.bytesReceived},
                          {"bytes_total", nullptr},
                          {"total_estimated", figures.totalIsEstimate},
                          {"bytes_per_second", nullptr},
                          {"seconds_left", nullptr}};
  if (figures.bytesTotal) event["bytes_total"] = *figures.bytesTotal;
  if (figures.speed) event["bytes_per_second"] = static_cast<uint64_t>(*figures.speed);
  if (figures.bytesTotal && figures.speed && *figures.speed > 0) {
    uint64_t left = *figures.bytesTotal > figures.bytesReceived
                        ? *figures.bytesTotal - figures.bytesReceived
                        : 0;
    event["seconds_left"] = static_cast<uint64_t>(static_cast<double>(left) / *figures.speed + 0.5);
  }
  return event;
}

}  // namespace

void ProgressLine::tickerMain() {
  auto nextDraw = std::chrono::steady_clock::now();
  while (!stop_.load()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= nextDraw) {
      ProgressFigures figures = currentFigures(now);
      setStatusLine(progressText(figures));
      emitEvent("progress", progressEvent(figures));
      nextDraw = now + kRedrawInterval;
    }
    std::this_thread::sleep_for(kStopCheckInterval);
  }
}

}  // namespace quor
