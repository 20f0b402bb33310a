// One run of the downloader, from the socket layer to the exit code: the
// download loop (download.cpp) and the continuation on a new connection
// after a break or a server's reconnect request (download_retry.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download/codec_configs.h"
#include "download/continuation.h"
#include "download/flv_writer.h"
#include "download/settings.h"
#include "download/output.h"
#include "download/progress.h"
#include "flv/resume.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

class DownloadRun
{
public:
  explicit DownloadRun(Settings &settings) : m_settings(settings), m_nUserSkip(settings.nSkipKeyframes) {}
  ~DownloadRun() { free(m_pBuffer); }
  int Run();

private:
  static const unsigned int kBufferSize = 1048576;
  // A stream's times count from about 0 when its first frame comes this early.
  static const uint32_t kStartTolerance = 1000;  // ms

  // Each step returns -1 to go on, or the exit code to end with.
  int Prepare();
  int PrepareResume();
  int OpenOutput();
  void UseResumeData();
  int ConnectAndStart();
  int ConnectStream();
  int Loop();
  int LoopPasses();
  int Verdict();
  bool WritePendingHeader();
  bool FixHeaderFlags();
  bool IsProgressMeasured(bool bOrderlyEnd) const;
  void NoteProgress();
  bool IsIdleEnd();
  int CleanUp(int nExitCode);
  std::string Cause(bool bFallback) const;

  // After the loop: -1 when a new connection continues the stream, -2 when
  // the run ends here with its verdict, otherwise the exit code.
  int Continue();
  bool IsRetryable() const;
  bool FollowReconnectRequest();
  bool WaitBeforeRetry(uint32_t nAttempt);
  int PrepareContinuation();
  int ContinueFile();
  void ContinueOutput();

  Settings &m_settings;
  const int m_nUserSkip;
  std::string m_strTcUrl;
  char *m_pBuffer = nullptr;
  std::unique_ptr<CRTMP> m_conn;
  FlvOutput m_output;
  ResumeData m_resume;
  StreamParams m_params;
  StreamState m_state;
  Progress m_progress;
  uint32_t m_nPlayLength = 0;
  uint32_t m_nPosition = 0;
  unsigned char m_dataTypes = 0;
  std::string m_header;        // the FLV header, until the first tag goes out behind it
  bool m_bMediaSeen = false;
  uint32_t m_nFirstMediaPosition = 0;
  uint32_t m_nMeasureFrom = 0;  // where the run's first connection asked to start
  uint32_t m_nStreamStart = 0;  // a resumed file's first frame time: where its stream's times start
  bool m_bConnected = false;    // a connection of this run was made
  int m_nResult = 0;           // the last WriteStream result
  bool m_bStopReached = false;
  bool m_bReported = false;    // the run's last line is printed already

  ConfigGuard m_configs;  // codec configurations in front of first frames (fresh downloads)

  // Continuation on new connections.
  StreamContinuation m_cont;
  bool m_bTrack = false;          // m_cont follows the output (standard output, pipes, live)
  bool m_bCanCutBack = false;     // the output is a regular file: continued like a resumed one
  uint32_t m_nFirstSeekTime = 0;  // where the first connection started
  uint32_t m_nAttempt = 0;        // retries in a row without new data
  uint32_t m_nRequests = 0;       // reconnect requests in a row without new data
  bool m_bReached = false;          // m_nFurthest is set
  uint32_t m_nFurthest = 0;         // the furthest position any connection of the run wrote
  bool m_bProgressThisConnection = false;  // this connection wrote beyond it
  int64_t m_nLastProgressMs = 0;    // monotonic time of the last progress (or of the start)
  bool m_bIdleEnd = false;          // a live recording ended for lack of media
  std::string m_strMoveHost, m_strMoveApp, m_strMoveTcUrl;  // where a reconnect request sent the client
};

}  // namespace RTMP_LIB
