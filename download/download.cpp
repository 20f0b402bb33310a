// The second half of the run: from the socket layer to the exit code.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "download/config_fetch.h"
#include "download/download_run.h"
#include "foundation/clock.h"
#include "foundation/files.h"
#include "foundation/log.h"
#include "rtmp/rtmp.h"
#include "url/parseurl.h"

namespace RTMP_LIB {

namespace {

// The loop's result for a header that could not be written (logged already).
const int kHeaderFailed = 10;

}  // namespace

int DownloadRun::Run()
{
  int nExit = Prepare();
  if (nExit >= 0)
    return nExit;
  nExit = ConnectAndStart();
  while (nExit == -1) {
    nExit = Loop();
    if (nExit != -1)
      break;
    nExit = Continue();
    if (nExit == -2)
      nExit = -1;
    else if (nExit == -1)
      continue;
    break;
  }
  // The reader of the output is gone: nobody wants the figures.
  if (!m_output.IsBrokenPipe())
    FinishProgress(m_progress);
  LogEndLine();
  if (nExit == -1)
    nExit = Verdict();
  return CleanUp(nExit);
}

int DownloadRun::Prepare()
{
  Settings &s = m_settings;
  if (!InitSockets()) {
    Log(LOG_LEVEL_ERROR, "Couldn't load sockets support on your platform, exiting!");
    return 1;
  }
  if (s.tcUrl == nullptr && s.app != nullptr) {
    // An IPv6 literal goes in brackets, or its colons would read as the port.
    bool bBracket = strchr(s.host, ':') != nullptr && s.host[0] != '[';
    m_strTcUrl = std::string(RTMPProtocolStringsLower[s.protocol]) + "://" + (bBracket ? "[" : "") + s.host +
                 (bBracket ? "]" : "") + ":" + std::to_string(s.port) + "/" + s.app;
    s.tcUrl = m_strTcUrl.c_str();
  }
  m_pBuffer = static_cast<char *>(calloc(1, kBufferSize));
  if (m_pBuffer == nullptr) {
    Log(LOG_LEVEL_ERROR, "Couldn't allocate memory!");
    return 1;
  }
  m_conn.reset(new CRTMP);
  Log(LOG_LEVEL_DEBUG, "Setting buffer time to: %.3f sec", s.nBufferTime / 1000.0);
  m_conn->SetBufferMS(static_cast<int>(std::min<uint32_t>(s.nBufferTime, INT32_MAX)));

  // A regular file can be cut back and analysed like a partial download
  // when a connection breaks; anything else is followed as it goes out.
  const FileType type = s.bToStdout ? FILE_TYPE_OTHER : GetFileType(s.flvPath);
  m_bCanCutBack = type == FILE_TYPE_NONE || type == FILE_TYPE_REGULAR;
  m_bTrack = s.bLiveStream || !m_bCanCutBack;
  return s.bResumeMode ? PrepareResume() : OpenOutput();
}

// A partial download goes on from its last keyframe; a live recording after
// its last whole tag, with times that never go back.
int DownloadRun::PrepareResume()
{
  Settings &s = m_settings;
  FILE *f = fopen(s.flvPath, "r+b");
  if (f == nullptr) {
    s.bResumeMode = false;
    return OpenOutput();
  }
  // Unbuffered like a new file: a failed write shows at once, and the file
  // can be cut back to its last whole tag.
  setbuf(f, nullptr);
  uint32_t nLastTime = 0;
  ResumeResult res = s.bLiveStream ? AnalyzeLiveRecording(f, m_resume, nLastTime)
                                   : AnalyzePartialFile(f, s.nSkipKeyframes, m_resume);
  if (res == RESUME_FAILED) {
    fclose(f);
    return CleanUp(1);
  }
  if (res == RESUME_FRESH) {
    // A fresh download replaces the file; its count starts from nothing.
    fclose(f);
    s.bResumeMode = false;
    m_resume = ResumeData();
    return OpenOutput();
  }
  m_output.Adopt(f, m_resume.nResumeOffset);
  m_progress.nByteCount = m_resume.nFileSize;
  if (!s.bLiveStream) {
    m_progress.dDuration = SaneDuration(m_resume.dDuration);
    m_nStreamStart = m_resume.nFirstTime;
    UseResumeData();
    return -1;
  }
  if (!m_output.CutBack())
    return CleanUp(1);
  m_cont.Adopt(nLastTime, m_resume.storedMeta);
  m_cont.BeginLiveJoin();
  return -1;
}

void DownloadRun::UseResumeData()
{
  m_params.bResumeMode = true;
  m_params.nSeekTime = m_resume.nSeekTime;
  m_params.pStoredMeta = m_resume.storedMeta.data();
  m_params.nStoredMetaSize = static_cast<uint32_t>(m_resume.storedMeta.size());
  m_params.pStoredKeyframe = m_resume.storedKeyframe.data();
  m_params.storedKeyframeType = m_resume.storedKeyframeType;
  m_params.nStoredKeyframeSize = static_cast<uint32_t>(m_resume.storedKeyframe.size());
}

int DownloadRun::OpenOutput()
{
  if (m_settings.bToStdout) {
    m_output.UseStdout();
    return -1;
  }
  if (!m_output.PrepareFile(m_settings.flvPath)) {
    const int nErr = errno;
    // The cause goes last, where the eye lands.
    LogPrintf("Failed to open file!\n");
    Log(LOG_LEVEL_ERROR, "Couldn't open %s for writing: %s", m_settings.flvPath, strerror(nErr));
    return 1;
  }
  return -1;
}

int DownloadRun::ConnectAndStart()
{
  Settings &s = m_settings;
  LogPrintf("Connecting ...\n");
  uint32_t nSeekTime = m_params.nSeekTime;
  if (s.nStartOffset != 0) {
    if (s.bLiveStream)
      Log(LOG_LEVEL_WARNING, "Can't seek in a live stream, ignoring --start option");
    else if (s.bResumeMode)
      Log(LOG_LEVEL_DEBUG, "Can't seek a resumed stream, ignoring --start option");
    else
      nSeekTime += s.nStartOffset;
  }
  m_params.nSeekTime = nSeekTime;
  m_params.bLiveStream = s.bLiveStream;
  m_nFirstSeekTime = s.bResumeMode ? s.nStartOffset : nSeekTime;
  m_nMeasureFrom = nSeekTime;
  m_nLastProgressMs = MonotonicMs();
  int nExit = ConnectStream();
  if (nExit != -1)
    return nExit;
  m_progress.nProgressStep = s.bLiveStream ? 25600 : (s.bHashProgress ? 102400 : 204800);
  StartProgress(m_progress);

  if (!s.bResumeMode) {
    // A recorded stream can be played from its beginning for configurations it lacks; a live one cannot.
    if (s.bLiveStream)
      m_configs.Begin(nullptr);
    else
      m_configs.Begin([this](const std::vector<uint32_t> &wanted, std::vector<CodecConfig> &found) {
        FetchCodecConfigs(m_settings, wanted, found);
      });
    int nHeader = WriteHeader(&m_pBuffer, kBufferSize);
    if (nHeader <= 0) {
      Log(LOG_LEVEL_ERROR, "Couldn't obtain FLV header, exiting!");
      return 1;
    }
    m_header.assign(m_pBuffer, static_cast<size_t>(nHeader));
    // A file is created with its first tag; standard output gets the header at once.
    if (m_output.IsStdout() && !WritePendingHeader())
      return 1;
  }
  return -1;
}

// Plays m_params from a new connection. A live stream's stop offset counts
// the time recorded so far.
int DownloadRun::ConnectStream()
{
  Settings &s = m_settings;
  const uint32_t nSeekTime = m_params.nSeekTime;
  if (s.nStopOffset != 0) {
    const uint32_t nFrom = s.bLiveStream ? m_nPosition : nSeekTime;
    m_nPlayLength = s.nStopOffset - nFrom;
    if (nFrom >= s.nStopOffset) {
      LogPrintf("Already Completed\n");
      return 0;
    }
  }
  if (bCtrlC)
    return 2;

  // A live recording that may end for lack of media waits no longer than that
  // for any byte.
  uint32_t nTimeout = s.nTimeout;
  if (s.bLiveStream && s.nLiveIdle != 0 && (nTimeout == 0 || s.nLiveIdle < nTimeout))
    nTimeout = s.nLiveIdle;
  bool bConnected = m_conn->Connect(s.protocol, s.host, static_cast<unsigned int>(s.port), s.playpath, s.tcUrl,
                                    s.swfUrl, s.pageUrl, s.app, s.auth, s.flashVer, s.subscribePath,
                                    static_cast<double>(nSeekTime), static_cast<double>(m_nPlayLength),
                                    s.bLiveStream, static_cast<long>(nTimeout));
  // A signal during the connection set-up is an interruption, not a failure.
  if (bCtrlC)
    return 2;
  if (!bConnected) {
    LogPrintf("Failed to connect!\n");
    return 1;
  }
  Log(LOG_LEVEL_INFO, "Connected...");
  if (!s.bLiveStream)
    m_nPosition = nSeekTime;

  // Only a resumed file is complete by its position, measured from where
  // its stream's times start. A live stream ends with its publication, and
  // a new connection after a break tells by what it sends.
  const bool bFirst = !m_bConnected;
  m_bConnected = true;
  Progress &pr = m_progress;
  const uint32_t nFrom = m_nStreamStart > kStartTolerance ? m_nStreamStart : 0;
  if (bFirst && !s.bLiveStream && pr.dDuration > 0.0 && m_nPosition >= nFrom &&
      m_nPosition - nFrom >= pr.dDuration * 999.0) {
    LogPrintf("Already Completed at: %.3f sec Duration=%.3f sec\n", m_nPosition / 1000.0, pr.dDuration);
    return 0;
  }
  if (pr.dDuration > 0.0) {
    pr.dPercent = std::round(PercentOf(m_nPosition, pr.dDuration) * 10.0) / 10.0;
    LogPrintf("Starting download at: %.3f kB / %.3f sec (%.1f%%)\n", pr.nByteCount / 1024.0,
              m_nPosition / 1000.0, pr.dPercent);
  } else {
    LogPrintf("Starting download at: %.3f kB\n", pr.nByteCount / 1024.0);
  }
  if (m_nPlayLength != 0)
    LogPrintf("For duration: %.3f sec\n", m_nPlayLength / 1000.0);
  return -1;
}

bool DownloadRun::WritePendingHeader()
{
  if (m_header.empty())
    return true;
  if (!m_output.Write(m_header.data(), m_header.size())) {
    Log(m_output.FailureLevel(), "%s: Failed writing FLV header, exiting!", "main");
    return false;
  }
  m_progress.nByteCount += m_header.size();
  m_header.clear();
  return true;
}

int DownloadRun::Loop()
{
  // Tags are queued and go out together: when the batch is full, and before
  // every receive from the socket, so that nothing whole waits in memory
  // while the client waits for the server.
  m_conn->SetBeforeReceive(FlvOutput::FlushQueued, &m_output);
  int nExit = LoopPasses();
  m_conn->SetBeforeReceive(nullptr, nullptr);
  if (nExit == kHeaderFailed)
    return 1;
  if (nExit == -1 && !m_output.Flush())
    nExit = 1;
  if (nExit == 1)
    Log(m_output.FailureLevel(), "%s: Failed writing, exiting!", "main");
  return nExit;
}

int DownloadRun::LoopPasses()
{
  Settings &s = m_settings;
  do {
    m_nResult = WriteStream(m_conn.get(), &m_pBuffer, kBufferSize, &m_nPosition, m_params, m_state, &m_dataTypes);
    // A flush before a receive failed: the file ends on its last whole tag.
    if (m_output.Failed())
      return 1;
    if (m_nResult > 0) {
      const char *p = m_pBuffer;
      size_t n = static_cast<size_t>(m_nResult);
      if (m_bTrack)
        m_cont.Rewrite(p, n);
      // A resumed file holds its configurations already.
      if (!s.bResumeMode)
        m_configs.Pass(p, n);
      if (s.bLiveStream)
        m_nPosition = m_cont.LivePosition();
      if (n > 0) {
        if (!WritePendingHeader())
          return kHeaderFailed;
        if (!m_output.Queue(p, n))
          return 1;
        NoteProgress();
        if (!m_bMediaSeen && m_dataTypes != 0) {
          m_bMediaSeen = true;
          m_nFirstMediaPosition = m_nPosition;
        }
        m_progress.nByteCount += n;
        ReportProgress(s, *m_conn, m_progress, m_nPosition);
      }
    }
    if (s.nStopOffset != 0 && m_nPosition >= s.nStopOffset) {
      LogPrintf("\nStop offset has been reached at %.3f sec\n", s.nStopOffset / 1000.0);
      m_nResult = 0;
      m_bStopReached = true;
      m_conn->Close();
    }
  } while (!bCtrlC && m_nResult >= 0 && m_conn->IsConnected());
  return -1;
}

void DownloadRun::NoteProgress()
{
  if (m_bReached && m_nPosition <= m_nFurthest)
    return;
  m_bReached = true;
  m_nFurthest = m_nPosition;
  m_bProgressThisConnection = true;
  m_nLastProgressMs = MonotonicMs();
}

// Servers that never tell a player that the publisher stopped keep it
// waiting: with --live-idle, a live recording that got no new media for that
// long (on one connection or across reconnections) has recorded the whole
// publication.
bool DownloadRun::IsIdleEnd()
{
  const Settings &s = m_settings;
  if (m_bIdleEnd)
    return true;
  // Without any media there was no publication to end: that wait is a timeout.
  if (!s.bLiveStream || s.nLiveIdle == 0 || bCtrlC || m_bStopReached || m_state.bEndOfPlay || !m_cont.HasMedia())
    return false;
  // The receive timeout may fire a clock tick early.
  const int64_t kSlackMs = 50;
  if (MonotonicMs() + kSlackMs < m_nLastProgressMs + static_cast<int64_t>(s.nLiveIdle) * 1000)
    return false;
  m_bIdleEnd = true;
  LogPrintf("\rNo media for %u s: the publication appears to have ended\n", s.nLiveIdle);
  return true;
}

}  // namespace RTMP_LIB

volatile sig_atomic_t bCtrlC = 0;
volatile sig_atomic_t nCaughtSignal = 0;

int Download(Settings &settings)
{
  RTMP_LIB::DownloadRun run(settings);
  return run.Run();
}
