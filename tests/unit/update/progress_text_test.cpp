#include "update/progress_text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quor {
namespace {

TEST(ProgressText, SaysWhetherTheTotalIsKnownEstimatedOrUnknown) {
  ProgressFigures figures;
  figures.filesDone = 3;
  figures.filesTotal = 10;
  figures.bytesReceived = 5 << 20;
  EXPECT_EQ(progressText(figures), "Files 3/10  5.0 MiB (total unknown)  -- B/s");

  // Two of ten sizes known: the rest are taken to be as large on average.
  fillTotal({2, 4 << 20}, figures);
  ASSERT_TRUE(figures.bytesTotal);
  EXPECT_EQ(*figures.bytesTotal, uint64_t{20} << 20);
  figures.speed = 1 << 20;
  EXPECT_EQ(progressText(figures), "Files 3/10  5.0 MiB of ~20.0 MiB  1.0 MiB/s  ~15 s left");

  // Every size known: no "~"; a total below what came is raised to it.
  fillTotal({10, 3 << 20}, figures);
  EXPECT_FALSE(figures.totalIsEstimate);
  EXPECT_EQ(progressText(figures), "Files 3/10  5.0 MiB of 5.0 MiB  1.0 MiB/s  0 s left");
  fillTotal({10, uint64_t{90} << 30}, figures);
  figures.speed = 100 << 10;
  EXPECT_EQ(progressText(figures), "Files 3/10  5.0 MiB of 90.00 GiB  100.0 KiB/s  262 h 07 min left");
  figures.speed = 0.5;
  EXPECT_EQ(progressText(figures), "Files 3/10  5.0 MiB of 90.00 GiB  0 B/s");
  fillTotal({0, 0}, figures);
  EXPECT_FALSE(figures.bytesTotal);
}

TEST(ProgressText, SpeedIsSmoothedOverSeconds) {
  SpeedMeter meter;
  EXPECT_FALSE(meter.bytesPerSecond());
  for (int tick = 1; tick <= 40; ++tick) meter.addReading(tick * 0.5, uint64_t(tick) * 500000);
  ASSERT_TRUE(meter.bytesPerSecond());
  EXPECT_NEAR(*meter.bytesPerSecond(), 1e6, 1);
  // Half a second with nothing moves the figure by a sixth, not to zero;
  // a reading that does not go forward in time is ignored.
  meter.addReading(20.5, 20000000);
  meter.addReading(20.5, 99999999);
  EXPECT_NEAR(*meter.bytesPerSecond(), 1e6 * std::exp(-0.5 / 3), 1);
}

}  // namespace
}  // namespace quor
