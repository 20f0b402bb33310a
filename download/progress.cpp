#include "download/progress.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "foundation/clock.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

// The buffer time goes to the connection as an int.
const double kMaxBufferMS = static_cast<double>(INT_MAX) - 5000.0;
// A terminal's status line is refreshed this often (ms), so that a slow
// audio-only stream still shows movement; elsewhere a line every 10 s.
const int64_t kRefreshMS = 500;
const int64_t kLogLineMS = 10000;

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

std::string FormatSize(double dBytes)
{
  char sz[64];
  if (dBytes < 1024.0 * 1024.0)
    snprintf(sz, sizeof sz, "%.1f kB", dBytes / 1024.0);
  else if (dBytes < 1024.0 * 1024.0 * 1024.0)
    snprintf(sz, sizeof sz, "%.2f MB", dBytes / (1024.0 * 1024.0));
  else
    snprintf(sz, sizeof sz, "%.2f GB", std::min(dBytes / (1024.0 * 1024.0 * 1024.0), 1e9));
  return sz;
}

// h:mm:ss; a duration from the network may be absurd, the line stays short.
std::string FormatClock(double dSeconds)
{
  const double kMax = 99999.0 * 3600.0;
  uint64_t n = static_cast<uint64_t>(std::isfinite(dSeconds) ? std::min(std::max(dSeconds, 0.0), kMax) : kMax);
  char sz[32];
  snprintf(sz, sizeof sz, "%u:%02u:%02u", static_cast<unsigned>(n / 3600), static_cast<unsigned>(n / 60 % 60),
           static_cast<unsigned>(n % 60));
  return sz;
}

void TakeSample(Progress &p, int64_t nNow)
{
  const int nNewest = (p.nNextSample + Progress::kSamples - 1) % Progress::kSamples;
  if (p.nSamples > 0 && nNow - p.samples[nNewest].nMS < kRefreshMS)
    return;
  p.samples[p.nNextSample] = {nNow, p.nByteCount, p.nLastPosition};
  p.nNextSample = (p.nNextSample + 1) % Progress::kSamples;
  p.nSamples = std::min(p.nSamples + 1, static_cast<int>(Progress::kSamples));
}

ProgressFigures Figures(const Progress &p, int64_t nNow, bool bFinal)
{
  ProgressFigures f;
  f.nBytes = p.nByteCount;
  f.nPosition = p.nLastPosition;
  f.dDuration = p.dDuration;
  f.dPercent = p.dPercent;
  if (bFinal) {
    f.dElapsed = static_cast<double>(nNow - p.nStartMS) / 1000.0;
    if (nNow > p.nStartMS)
      f.dBytesPerSecond = static_cast<double>(p.nByteCount - p.nStartBytes) / f.dElapsed;
    return f;
  }
  // The rate of the last few seconds, as the eye expects of a moving figure.
  const Progress::Sample &old = p.samples[p.nSamples < Progress::kSamples ? 0 : p.nNextSample];
  const double dSeconds = static_cast<double>(nNow - old.nMS) / 1000.0;
  if (p.nSamples == 0 || dSeconds < 0.2)
    return f;
  f.dBytesPerSecond = static_cast<double>(p.nByteCount - old.nBytes) / dSeconds;
  const double dPlayed = (static_cast<double>(p.nLastPosition) - static_cast<double>(old.nPosition)) / 1000.0;
  const double dLeft = p.dDuration - p.nLastPosition / 1000.0;
  if (p.dDuration > 0.0 && dPlayed > 0.0 && dLeft >= 0.0)
    f.dSecondsLeft = dLeft / (dPlayed / dSeconds);
  return f;
}

void ShowHashes(Progress &p)
{
  // A row never wraps on a terminal: the whole stream is one row as wide as
  // the terminal allows, and hashes without a duration start a new row there.
  const unsigned nWidth = LogIsTerminal() ? static_cast<unsigned>(std::min(100, std::max(LogColumns() - 1, 10))) : 100;
  if (p.dDuration > 0.0) {
    const double dShare = std::min(std::max(p.dPercent, 0.0), 100.0) / 100.0;
    const uint64_t nTarget = static_cast<uint64_t>(dShare * nWidth);
    for (; p.nLastProgress < nTarget; p.nLastProgress++)
      LogPrintf("#");
    return;
  }
  if (p.nByteCount < p.nLastProgress + p.nProgressStep)
    return;
  p.nLastProgress = p.nByteCount;
  if (p.nHashColumn >= nWidth) {
    LogPrintf("\n");
    p.nHashColumn = 0;
  }
  LogPrintf("#");
  p.nHashColumn++;
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

std::string FormatProgress(const ProgressFigures &f)
{
  std::string s = FormatSize(static_cast<double>(f.nBytes));
  if (f.dElapsed >= 0.0)
    s += " in " + FormatClock(f.dElapsed);
  if (f.dBytesPerSecond >= 0.0)
    s += "  " + FormatSize(f.dBytesPerSecond) + "/s";
  if (f.dDuration > 0.0) {
    char sz[32];
    snprintf(sz, sizeof sz, " (%.1f%%)", std::min(f.dPercent, 99999.9));
    s += "  " + FormatClock(f.nPosition / 1000.0) + " of " + FormatClock(f.dDuration) + sz;
  } else {
    s += "  at " + FormatClock(f.nPosition / 1000.0);
  }
  if (f.dElapsed < 0.0 && f.dSecondsLeft >= 0.0)
    s += "  " + FormatClock(f.dSecondsLeft) + " left";
  return s;
}

void StartProgress(Progress &progress)
{
  progress.nStartMS = MonotonicMs();
  progress.nStartBytes = progress.nByteCount;
  progress.nLastShownMS = progress.nStartMS;
  progress.nSamples = 0;
  progress.nNextSample = 0;
}

void ReportProgress(Settings &settings, CRTMP &conn, Progress &progress, uint32_t nPosition)
{
  Progress &p = progress;
  if (p.nStartMS < 0)
    StartProgress(p);
  if (p.dDuration <= 0.0)
    p.dDuration = SaneDuration(conn.GetDuration());
  if (p.dDuration > 0.0) {
    StretchBufferTime(settings, conn, p.dDuration);
    p.dPercent = PercentOf(nPosition, p.dDuration);
  }
  p.nLastPosition = nPosition;
  p.bReported = true;
  const int64_t nNow = MonotonicMs();
  TakeSample(p, nNow);

  if (settings.bHashProgress) {
    ShowHashes(p);
    return;
  }
  bool bShow;
  if (LogIsTerminal()) {
    bShow = p.nLastShownMS == p.nStartMS || nNow - p.nLastShownMS >= kRefreshMS;
  } else if (p.dDuration > 0.0) {
    // nLastProgress: the tenths of the duration reported so far.
    const uint64_t nTenth = static_cast<uint64_t>(std::min(std::max(p.dPercent, 0.0), 100.0) / 10.0);
    bShow = nTenth > p.nLastProgress;
    if (bShow)
      p.nLastProgress = nTenth;
  } else {
    bShow = nNow - p.nLastShownMS >= kLogLineMS;
  }
  if (!bShow)
    return;
  p.nLastShownMS = nNow;
  LogStatus(FormatProgress(Figures(p, nNow, false)).c_str());
}

void FinishProgress(Progress &progress)
{
  if (!progress.bReported)
    return;
  // A line of its own in place of the status line: it stays, and may wrap.
  LogPrintf("\r%s\n", FormatProgress(Figures(progress, MonotonicMs(), true)).c_str());
}

}  // namespace RTMP_LIB
