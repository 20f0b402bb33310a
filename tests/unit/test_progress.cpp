// The figures of a progress line.
#include <gtest/gtest.h>

#include "download/progress.h"

namespace {

using RTMP_LIB::FormatProgress;
using RTMP_LIB::ProgressFigures;

TEST(Progress, LineForEachStage)
{
  auto figures = [](uint64_t nBytes, double dRate, uint32_t nPosition, double dDuration, double dLeft,
                    double dElapsed) {
    ProgressFigures f;
    f.nBytes = nBytes;
    f.dBytesPerSecond = dRate;
    f.nPosition = nPosition;
    f.dDuration = dDuration;
    f.dPercent = dDuration > 0.0 ? nPosition / (dDuration * 10.0) : 0.0;
    f.dSecondsLeft = dLeft;
    f.dElapsed = dElapsed;
    return f;
  };
  const struct {
    ProgressFigures f;
    const char *expected;
  } cases[] = {
      // The first line: no rate yet, no duration.
      {figures(13, -1.0, 0, 0.0, -1.0, -1.0), "0.0 kB  at 0:00:00"},
      {figures(1048575, 2048.0, 83400, 0.0, -1.0, -1.0), "1024.0 kB  2.0 kB/s  at 0:01:23"},
      {figures(12939428, 1258291.0, 83400, 600.0, 517.0, -1.0),
       "12.34 MB  1.20 MB/s  0:01:23 of 0:10:00 (13.9%)  0:08:37 left"},
      {figures(3ull << 30, 5e6, 7200000, 7200.0, 0.0, -1.0),
       "3.00 GB  4.77 MB/s  2:00:00 of 2:00:00 (100.0%)  0:00:00 left"},
      // The final line: how long it took, never what is left.
      {figures(409600, 102400.0, 4000, 8.0, 3.0, 4.2), "400.0 kB in 0:00:04  100.0 kB/s  0:00:04 of 0:00:08 (50.0%)"},
      // A duration from a hostile server keeps the line short.
      {figures(1024, -1.0, 5000, 1e-300, -1.0, -1.0), "1.0 kB  0:00:05 of 0:00:00 (99999.9%)"},
      {figures(1024, -1.0, 5000, 1e300, 1e300, -1.0), "1.0 kB  0:00:05 of 99999:00:00 (0.0%)  99999:00:00 left"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.expected, FormatProgress(c.f));
}

}  // namespace
