#include "update/progress_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace quor {
namespace {

std::string secondsText(double seconds) {
  uint64_t whole = static_cast<uint64_t>(std::llround(std::max(0.0, seconds)));
  char text[48];
  if (whole < 60) {
    std::snprintf(text, sizeof text, "%llu s", static_cast<unsigned long long>(whole));
  } else if (whole < 3600) {
    std::snprintf(text, sizeof text, "%llu min %02llu s",
                  static_cast<unsigned long long>(whole / 60),
                  static_cast<unsigned long long>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu h %02llu min",
                  static_cast<unsigned long long>(whole / 3600),
                  static_cast<unsigned long long>(whole / 60 % 60));
  }
  return text;
}

}  // namespace

std::string byteCountText(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    bytes /= 1024;
    ++unit;
  }
  char text[48];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  } else {
    std::snprintf(text, sizeof text, unit >= 3 ? "%.2f %s" : "%.1f %s", bytes, kUnits[unit]);
  }
  return text;
}

std::string progressText(const ProgressFigures& figures) {
  std::string mark = figures.totalIsEstimate ? "~" : "";
  std::string text = "Files " + std::to_string(figures.filesDone) + "/" +
                     std::to_string(figures.filesTotal) + "  " +
                     byteCountText(static_cast<double>(figures.bytesReceived));
  text += figures.bytesTotal
              ? " of " + mark + byteCountText(static_cast<double>(*figures.bytesTotal))
              : " (total unknown)";
  if (!figures.speed) return text + "  -- B/s";
  text += "  " + byteCountText(*figures.speed) + "/s";
  if (figures.bytesTotal && *figures.speed >= 1) {
    uint64_t left = *figures.bytesTotal - std::min(*figures.bytesTotal, figures.bytesReceived);
    text += "  " + mark + secondsText(static_cast<double>(left) / *figures.speed) + " left";
  }
  return text;
}

void SpeedMeter::addReading(double secondsSinceStart, uint64_t totalBytes) {
  double elapsed = secondsSinceStart - lastSeconds_;
  if (elapsed <= 0) return;
  double bytes = totalBytes >= lastBytes_ ? static_cast<double>(totalBytes - lastBytes_) : 0.0;
  double now = bytes / elapsed;
  double weight = 1 - std::exp(-elapsed / kSmoothingSeconds);
  speed_ = speed_ ? *speed_ + weight * (now - *speed_) : now;
  lastSeconds_ = secondsSinceStart;
  lastBytes_ = totalBytes;
}

void fillTotal(const FileSizeTally& sizes, ProgressFigures& figures) {
  figures.bytesTotal.reset();
  figures.totalIsEstimate = false;
  if (sizes.filesKnown == 0 || figures.filesTotal == 0) return;
  uint64_t total = sizes.bytesKnown;
  if (sizes.filesKnown < figures.filesTotal) {
    uint64_t average = sizes.bytesKnown / sizes.filesKnown;
    total += average * (figures.filesTotal - sizes.filesKnown);
    figures.totalIsEstimate = true;
  }
  figures.bytesTotal = std::max(total, figures.bytesReceived);
}

}  // namespace quor
