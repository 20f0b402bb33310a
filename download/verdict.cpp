// How a run ends: the verdict from the way the stream ended, its cause in
// words, the header flags of what was written, and the clean-up.
#include <cstring>
#include <string>

#include "download/download_run.h"
#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

int DownloadRun::Verdict()
{
  Settings &s = m_settings;
  if (!FixHeaderFlags())
    return 1;
  // A resumed file ends where this run's data ends, not at its old size.
  if (s.bResumeMode && !m_output.CutStaleTail())
    return 1;

  m_bReported = true;
  if (bCtrlC) {
    LogPrintf("Download interrupted by signal %d%s\n", static_cast<int>(nCaughtSignal),
              s.bLiveStream || s.bToStdout ? "" : ", try --resume");
    return 2;
  }
  if (IsIdleEnd()) {
    LogPrintf("Download complete\n");
    return 0;
  }
  // Only the server's end-of-play report and the stop offset end a download
  // in order; a connection that closed under any other pass did not.
  const bool bOrderlyEnd = m_nResult == 0 && (m_state.bEndOfPlay || m_bStopReached);
  const ResumeFilterState &f = m_state.filter;
  // A resumed stream that ended without its keyframe continued nothing.
  bool bResumeFailed = m_nResult == -2 || (bOrderlyEnd && !f.bFoundKeyframe && !f.bFoundFlvKeyframe);
  if (m_params.bResumeMode && bResumeFailed) {
    Log(LOG_LEVEL_ERROR, "Couldn't resume FLV file, try --skip %d", m_nUserSkip + 1);
    return 1;
  }
  // The server refused the stream: the clean-up names the reason.
  if (m_conn->IsRefused()) {
    m_bReported = false;
    return 1;
  }

  // The server's end-of-play report or the stop offset ends a download
  // complete: a metadata duration past the last frame (as some servers give
  // it) does not make it incomplete, and a resume would only fetch the tail again.
  const Progress &pr = m_progress;
  const bool bWhole = pr.dDuration > 0.0 && pr.dPercent > 99.9 && IsProgressMeasured(bOrderlyEnd);
  if ((!s.bLiveStream && bWhole) || bOrderlyEnd) {
    if (!s.bLiveStream && !bWhole && pr.dDuration > 0.0)
      Log(LOG_LEVEL_INFO, "The stream ended at %.2f%% of the duration its metadata gives (%.3f sec)", pr.dPercent,
          pr.dDuration);
    LogPrintf("Download complete\n");
    return 0;
  }
  const std::string strCause = Cause(true);
  if (s.bLiveStream)
    LogPrintf("Download may be incomplete: %s\n", strCause.c_str());
  else
    LogPrintf("Download may be incomplete (downloaded about %.2f%%): %s; try --resume\n", pr.dPercent,
              strCause.c_str());
  return 2;
}

// What ended the run, in words; with bFallback a stream that simply stopped
// coming is named as such, otherwise the text is empty when nothing is known.
std::string DownloadRun::Cause(bool bFallback) const
{
  if (m_output.ErrorNumber() != 0)
    return std::string("could not write ") + (m_output.IsStdout() ? "to standard output" : m_settings.flvPath) +
           ": " + strerror(m_output.ErrorNumber());
  const char *szBreak = m_conn ? m_conn->GetBreakReason() : nullptr;
  if (szBreak != nullptr)
    return szBreak;
  return bFallback ? "the stream ended without the server's end-of-play report" : "";
}

// The header says which of audio and video the file holds: a resumed file
// keeps its flags and gains the types this run brought.
bool DownloadRun::FixHeaderFlags()
{
  if (!m_settings.bResumeMode)
    return m_dataTypes == 0x05 || m_output.FixFlags(m_dataTypes);
  const unsigned char flags = m_resume.flags | m_dataTypes;
  return !m_output.HasWritten() || flags == m_resume.flags || m_output.FixFlags(flags);
}

// The percentage compares the stream's times with its duration. After a lost
// connection it tells how far the download got only when those times count
// from the start asked for: a recording served again may carry times that
// start far beyond its duration, and would count as complete at once.
bool DownloadRun::IsProgressMeasured(bool bOrderlyEnd) const
{
  return bOrderlyEnd || (m_bMediaSeen && m_nStreamStart <= kStartTolerance &&
                         static_cast<uint64_t>(m_nFirstMediaPosition) <=
                             static_cast<uint64_t>(m_nMeasureFrom) + kStartTolerance);
}

// Media beyond the furthest position any connection of the run reached.

int DownloadRun::CleanUp(int nExitCode)
{
  Log(LOG_LEVEL_DEBUG, "Closing connection.");
  if (m_conn)
    m_conn->Close();
  if (!m_output.Close())
    nExitCode = 1;
  // A failed run ends with its cause, whatever was logged on the way.
  if (nExitCode == 1 && !m_bReported) {
    if (m_output.IsBrokenPipe()) {
      LogPrintf("Stopped: the reader of the output has gone (broken pipe)\n");
    } else {
      const std::string strCause = Cause(false);
      if (!strCause.empty())
        LogPrintf("Download failed: %s\n", strCause.c_str());
    }
  }
  CleanupSockets();
  Log(LOG_LEVEL_DEBUG, "Exit code: %d\n", nExitCode);
  return nExitCode;
}

}  // namespace RTMP_LIB
