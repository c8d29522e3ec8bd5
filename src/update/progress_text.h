// The text of the update's live status line, and the smoothed speed it
// shows. Pure functions and a small value type: no clock, no threads; the
// caller (update/progress_line.h) feeds them the time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quor {

// What the status line shows at one moment.
struct ProgressFigures {
  uint32_t filesDone = 0;
  uint32_t filesTotal = 0;
  uint64_t bytesReceived = 0;
  // The bytes the whole update brings, when known or estimated.
  std::optional<uint64_t> bytesTotal;
  // The total is extrapolated from the files whose size is known so far.
  bool totalIsEstimate = false;
  // Bytes per second; none before a first measurement.
  std::optional<double> speed;
};

// "Files 3/10  12.5 MiB of ~40.0 MiB  2.1 MiB/s  ~13 s left": the total
// and the time left carry "~" when estimated; without a total the line says
// "(total unknown)" and gives no time left. ASCII only, so its length is its
// width on any console.
std::string progressText(const ProgressFigures& figures);

// "512 B", "12.5 KiB", "3.0 MiB", "1.20 GiB".
std::string byteCountText(double bytes);

// An exponential average of the download speed over a few seconds, so the
// figure does not jump with each burst of packets.
class SpeedMeter {
 public:
  // The average's time constant.
  static constexpr double kSmoothingSeconds = 3.0;

  // Counts totalBytes received by secondsSinceStart; readings go forward
  // in time (a reading no later than the last is ignored).
  void addReading(double secondsSinceStart, uint64_t totalBytes);
  std::optional<double> bytesPerSecond() const { return speed_; }

 private:
  std::optional<double> speed_;
  double lastSeconds_ = 0;
  uint64_t lastBytes_ = 0;
};

// The bytes of the whole update: exact when every file's size is known,
// estimated from the average known size when some are, none when no size
// is known yet. Never less than what has already been received.
struct FileSizeTally {
  uint32_t filesKnown = 0;
  uint64_t bytesKnown = 0;
};
void fillTotal(const FileSizeTally& sizes, ProgressFigures& figures);

}  // namespace quor
