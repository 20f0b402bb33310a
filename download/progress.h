// Progress lines, the completion percentage and the buffer-time adjustment of
// the download loop.
#pragma once

#include <cstdint>
#include <string>

#include "download/settings.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

// A stream duration from the network (seconds) as the loop may use it: 0 when
// it is not a finite positive number.
double SaneDuration(double dDuration);

// nPosition (ms) as a percentage of dDuration (s), which must be positive.
double PercentOf(uint32_t nPosition, double dDuration);

// What a progress line shows.
struct ProgressFigures {
  uint64_t nBytes = 0;
  double dBytesPerSecond = -1.0;  // negative: not known yet
  uint32_t nPosition = 0;         // ms
  double dDuration = 0.0;         // s, 0 when unknown
  double dPercent = 0.0;
  double dSecondsLeft = -1.0;     // negative: not known
  double dElapsed = -1.0;         // s, the final line only
};

// "12.34 MB  1.20 MB/s  0:01:23 of 0:10:00 (13.9%)  0:08:37 left"; the final
// line says how long the whole took instead of what is left.
std::string FormatProgress(const ProgressFigures &f);

struct Progress {
  uint64_t nByteCount = 0;
  uint64_t nLastProgress = 0;  // bytes, or hashes shown in hash mode once the duration is known
  uint64_t nProgressStep = 0;
  double dDuration = 0.0;
  double dPercent = 0.0;

  // Wall clock (ms) and counts where this run started and at recent samples,
  // for the rate and the time left.
  int64_t nStartMS = -1;
  uint64_t nStartBytes = 0;
  struct Sample {
    int64_t nMS;
    uint64_t nBytes;
    uint32_t nPosition;
  };
  static const int kSamples = 10;
  Sample samples[kSamples] = {};
  int nSamples = 0;
  int nNextSample = 0;
  int64_t nLastShownMS = -1;
  uint32_t nLastPosition = 0;
  unsigned nHashColumn = 0;  // hashes on the current row
  bool bReported = false;    // data was written and reported
};

// The clock starts when the download does (after connecting).
void StartProgress(Progress &progress);

// After each write: takes the duration from the connection while unknown,
// stretches the buffer time to cover it, and prints the progress: on a
// terminal a status line refreshed about twice a second, elsewhere a whole
// line every 10 s, or every 10 % of a known duration.
void ReportProgress(Settings &settings, CRTMP &conn, Progress &progress, uint32_t nPosition);

// The last progress line, with the whole run's rate, once the loop is over.
// Nothing when no data was written.
void FinishProgress(Progress &progress);

}  // namespace RTMP_LIB
