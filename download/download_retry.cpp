// Continuing a download on a new connection: after a break (with --retry),
// or when the server asks the client to reconnect.
#include <strings.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "download/download_run.h"
#include "foundation/log.h"
#include "url/parseurl.h"

namespace RTMP_LIB {

namespace {

// Reconnect requests followed in a row before they count as breaks: a server
// that keeps sending the client around must not hold it for ever.
const uint32_t kMaxRequests = 3;
const uint32_t kMaxWaitSeconds = 30;

struct FreeDeleter {
  void operator()(char *p) const { free(p); }
};
using ParsedText = std::unique_ptr<char, FreeDeleter>;

}  // namespace

int DownloadRun::Continue()
{
  bool bConnectFailed = false;
  for (;;) {
    // Progress is media beyond the furthest point reached before: what a new
    // connection downloads again, the file held already.
    if (m_bProgressThisConnection)
      m_nAttempt = m_nRequests = 0;
    m_bProgressThisConnection = false;
    if (IsIdleEnd())
      return -2;
    if (!bConnectFailed && !bCtrlC && m_conn->IsReconnectRequested() && m_nRequests < kMaxRequests) {
      m_nRequests++;
      FollowReconnectRequest();
    } else {
      if (!IsRetryable())
        return -2;
      if (++m_nAttempt > m_settings.nRetry) {
        LogPrintf("\rConnection lost after %u retries in a row without new data, giving up\n",
            m_settings.nRetry);
        return -2;
      }
      const char *szReason = bConnectFailed                       ? "the connection could not be made"
                             : m_conn->GetBreakReason() != nullptr ? m_conn->GetBreakReason()
                                                                   : "the stream ended without its end-of-play report";
      LogPrintf("\rConnection lost (%s), retry %u of %u in %u s\n", szReason, m_nAttempt, m_settings.nRetry,
          std::min(1u << std::min(m_nAttempt - 1, 5u), kMaxWaitSeconds));
      // A signal ends the run like one during the download.
      if (!WaitBeforeRetry(m_nAttempt))
        return -2;
    }
    int nExit = PrepareContinuation();
    if (nExit != -1)
      return nExit;
    nExit = ConnectStream();
    if (nExit == 2)
      return -2;
    if (nExit != 1)
      return nExit;
    // A connection that fails is a break like any other.
    bConnectFailed = true;
    m_nResult = -1;
  }
}

bool DownloadRun::IsRetryable() const
{
  const Settings &s = m_settings;
  if (bCtrlC || s.nRetry == 0)
    return false;
  // An orderly end, a refusal, a failed output or a stream that cannot
  // continue the file: another connection would end the same way.
  // Any other break is retried, in the last 0.1 % too: the new connection
  // tells whether anything is left.
  return !(m_bStopReached || m_state.bEndOfPlay || m_conn->IsRefused() || m_nResult == -2 || m_output.Failed());
}

// An Enhanced RTMP server may move its clients (NetConnection.Connect.
// ReconnectRequest), optionally naming the tcUrl to move to: its host, port
// and app are taken, the play path stays. Never to another protocol, and so
// never from rtmps down to plain rtmp: the tcUrl must name the very scheme
// in use (the URL parser reads unknown schemes as plain rtmp).
bool DownloadRun::FollowReconnectRequest()
{
  Settings &s = m_settings;
  const std::string &strUrl = m_conn->GetReconnectUrl();
  if (strUrl.empty()) {
    LogPrintf("\rThe server asked to reconnect: reconnecting to %s:%d\n", s.host, s.port);
    return true;
  }
  // The tcUrl names no play path; one is added so that the parser finds the app.
  std::string strParse = strUrl + (strUrl.back() == '/' ? "_" : "/_");
  int nProtocol = -1;
  char *szHost = nullptr, *szPlaypath = nullptr, *szApp = nullptr;
  unsigned int nPort = 0;
  bool bParsed = ParseUrl(strParse.c_str(), &nProtocol, &szHost, &nPort, &szPlaypath, &szApp);
  ParsedText host(szHost), playpath(szPlaypath), app(szApp);
  const std::string strScheme = std::string(RTMPProtocolStringsLower[s.protocol]) + "://";
  const bool bSameScheme = strUrl.size() > strScheme.size() &&
                           strncasecmp(strUrl.c_str(), strScheme.c_str(), strScheme.size()) == 0;
  const char *szWhy = !bParsed || !host ? "a URL that does not parse"
                      : !bSameScheme    ? "another scheme"
                      : nPort > 65535   ? "a port out of range"
                                        : nullptr;
  if (szWhy != nullptr) {
    LogPrintf("\rThe server asked to reconnect to %s, %s: reconnecting to %s:%d\n", strUrl.c_str(), szWhy,
              s.host, s.port);
    return false;
  }
  m_strMoveHost = host.get();
  m_strMoveApp = app ? app.get() : "";
  m_strMoveTcUrl = strUrl;
  s.host = m_strMoveHost.c_str();
  s.port = nPort != 0 ? static_cast<int>(nPort) : (s.protocol == RTMP_PROTOCOL_RTMPS ? 443 : 1935);
  s.app = m_strMoveApp.c_str();
  s.tcUrl = m_strMoveTcUrl.c_str();
  LogPrintf("\rThe server asked to reconnect: moving to %s (host %s, port %d, app %s)\n", s.tcUrl, s.host,
      s.port, s.app);
  return true;
}

// 1 s before the first retry, doubling up to 30 s; a signal ends the wait.
bool DownloadRun::WaitBeforeRetry(uint32_t nAttempt)
{
  const uint32_t nSeconds = std::min(1u << std::min(nAttempt - 1, 5u), kMaxWaitSeconds);
  for (uint32_t nSlice = 0; nSlice < nSeconds * 10 && !bCtrlC; nSlice++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return !bCtrlC;
}

// Where the new connection starts, and what of it the output already holds.
int DownloadRun::PrepareContinuation()
{
  m_nResult = 0;
  m_bStopReached = false;
  m_state = StreamState();
  if (m_settings.bLiveStream) {
    m_cont.BeginLiveJoin();
    LogPrintf("\rContinuing the live recording after %.3f sec\n", m_cont.LastTime() / 1000.0);
    return -1;
  }
  if (m_bCanCutBack)
    return ContinueFile();
  ContinueOutput();
  return -1;
}

// A file is continued as --resume continues it: from its last keyframe, with
// the check that the server resumed there.
int DownloadRun::ContinueFile()
{
  Settings &s = m_settings;
  if (!s.bResumeMode && !m_output.HasWritten()) {
    m_params.nSeekTime = m_nFirstSeekTime;
    LogPrintf("\rStarting again from %.3f sec: nothing was written yet\n", m_nFirstSeekTime / 1000.0);
    return -1;
  }
  if (!FixHeaderFlags() || !m_output.Close())
    return 1;
  FILE *f = fopen(s.flvPath, "r+b");
  if (f == nullptr) {
    Log(LOG_LEVEL_ERROR, "Couldn't open %s again: %s", s.flvPath, strerror(errno));
    return 1;
  }
  setbuf(f, nullptr);
  int nSkip = 0;
  ResumeData data;
  ResumeResult res = AnalyzePartialFile(f, nSkip, data);
  if (res == RESUME_FAILED) {
    fclose(f);
    return 1;
  }
  if (res == RESUME_CONTINUE) {
    m_resume = std::move(data);
    m_output.Adopt(f, m_resume.nResumeOffset);
    m_progress.nByteCount = m_resume.nFileSize;
    s.bResumeMode = true;
    UseResumeData();
    LogPrintf("\rContinuing from the keyframe at %.3f sec\n", m_params.nSeekTime / 1000.0);
    return -1;
  }
  // Nothing to continue from (the only keyframe is the first frame): the
  // file is written anew.
  fclose(f);
  s.bResumeMode = false;
  m_resume = ResumeData();
  m_params = StreamParams();
  m_params.bLiveStream = false;
  m_params.nSeekTime = m_nFirstSeekTime;
  m_dataTypes = 0;
  m_progress.nByteCount = 0;
  m_configs.Reset();
  int nHeader = WriteHeader(&m_pBuffer, kBufferSize);
  if (nHeader <= 0 || !m_output.PrepareFile(s.flvPath))
    return 1;
  m_header.assign(m_pBuffer, static_cast<size_t>(nHeader));
  LogPrintf("\rStarting again from %.3f sec\n", m_nFirstSeekTime / 1000.0);
  return -1;
}

// Standard output and pipes cannot be cut back: the stream is played again
// from the last keyframe that went out, checked like a resume, and the tags
// after it that went out already are passed over.
void DownloadRun::ContinueOutput()
{
  if (!m_cont.HasResumePoint()) {
    m_params.bResumeMode = false;
    m_params.nSeekTime = m_nFirstSeekTime;
    LogPrintf("\rContinuing from %.3f sec\n", m_nFirstSeekTime / 1000.0);
  } else {
    m_resume.nSeekTime = m_cont.ResumeTime();
    m_resume.storedMeta = m_cont.FirstMeta();
    m_resume.storedKeyframe = m_cont.ResumeFrame();
    m_resume.storedKeyframeType = m_cont.ResumeType();
    UseResumeData();
    LogPrintf("\rContinuing from the keyframe at %.3f sec\n", m_params.nSeekTime / 1000.0);
  }
  m_cont.BeginPassOver();
}

}  // namespace RTMP_LIB
