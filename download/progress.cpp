#include "download/progress.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

// The buffer time goes to the connection as an int.
const double kMaxBufferMS = static_cast<double>(INT_MAX) - 5000.0;

void StretchBufferTime(Settings &settings, CRTMP &conn, double dDuration)
{
  if (settings.bBufferTimeGiven)
    return;
  double dWanted = dDuration * 1000.0;
  if (static_cast<double>(settings.nBufferTime) >= dWanted)
    return;
  uint32_t nNew = static_cast<uint32_t>(std::min(dWanted, kMaxBufferMS)) + 5000;
  // A duration beyond what the connection can announce stays beyond it.
  if (nNew <= settings.nBufferTime)
    return;
  settings.nBufferTime = nNew;
  Log(LOG_LEVEL_DEBUG, "Detected that buffer time is less than duration, resetting to: %dms",
      static_cast<int>(settings.nBufferTime));
  conn.SetBufferMS(static_cast<int>(settings.nBufferTime));
  conn.UpdateBufferMS();
}

}  // namespace

double SaneDuration(double dDuration)
{
  return std::isfinite(dDuration) && dDuration > 0.0 ? dDuration : 0.0;
}

double PercentOf(uint32_t nPosition, double dDuration)
{
  return static_cast<double>(nPosition) / (dDuration * 10.0);
}

void ReportProgress(Settings &settings, CRTMP &conn, Progress &progress, uint32_t nPosition)
{
  if (progress.dDuration <= 0.0)
    progress.dDuration = SaneDuration(conn.GetDuration());

  if (progress.dDuration <= 0.0) {
    if (progress.nByteCount >= progress.nLastProgress + progress.nProgressStep) {
      if (settings.bHashProgress)
        LogPrintf("#");
      else
        LogPrintf("\r%.3f kB / %.2f sec", progress.nByteCount / 1024.0, nPosition / 1000.0);
      progress.nLastProgress = progress.nByteCount;
    }
    return;
  }

  StretchBufferTime(settings, conn, progress.dDuration);
  progress.dPercent = PercentOf(nPosition, progress.dDuration);
  if (settings.bHashProgress) {
    if (progress.dPercent >= static_cast<double>(progress.nLastProgress) + 1.0) {
      LogPrintf("#");
      // A duration of a few microseconds gives a huge percentage.
      progress.nLastProgress =
          progress.dPercent < 1e15 ? static_cast<uint64_t>(progress.dPercent) : static_cast<uint64_t>(1e15);
    }
  } else if (progress.nByteCount >= progress.nLastProgress + progress.nProgressStep) {
    LogPrintf("\r%.3f kB / %.2f sec (%.1f%%)", progress.nByteCount / 1024.0, nPosition / 1000.0,
              progress.dPercent);
    progress.nLastProgress = progress.nByteCount;
  }
}

}  // namespace RTMP_LIB
