// Progress lines, the completion percentage and the buffer-time adjustment of
// the download loop.
#pragma once

#include <cstdint>

#include "download/settings.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

// A stream duration from the network (seconds) as the loop may use it: 0 when
// it is not a finite positive number.
double SaneDuration(double dDuration);

// nPosition (ms) as a percentage of dDuration (s), which must be positive.
double PercentOf(uint32_t nPosition, double dDuration);

struct Progress {
  uint64_t nByteCount = 0;
  uint64_t nLastProgress = 0;  // bytes, or a whole percentage in hash mode once the duration is known
  uint64_t nProgressStep = 0;
  double dDuration = 0.0;
  double dPercent = 0.0;
};

// After each write: takes the duration from the connection while unknown,
// stretches the buffer time to cover it, and prints the progress.
void ReportProgress(Settings &settings, CRTMP &conn, Progress &progress, uint32_t nPosition);

}  // namespace RTMP_LIB
