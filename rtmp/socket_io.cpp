// Socket I/O of the connection: the buffered exact-length read with its byte
// accounting, and the write.

// Programming errors stop the program in every build type.
#undef NDEBUG
#include <cassert>

#include <cstring>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "rtmp/rtmp.h"
#include "rtmp/sockets.h"
#include "rtmp/tls.h"

int GetTime()
{
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(MonotonicMs())));
}

namespace RTMP_LIB {

int CRTMP::ReadN(char *buffer, int n)
{
  if (n <= 0)
    return 0;
  if (!IsConnected()) {
    Log(LOG_LEVEL_DEBUG, "%s, not connected", "ReadN");
    return 0;
  }

  int nOriginalSize = n;
  while (n > 0) {
    if (m_nBufferSize == 0 && !FillBuffer()) {
      Close();
      return 0;
    }
    int nRead = n < m_nBufferSize ? n : m_nBufferSize;
    if (nRead > 0) {
      memcpy(buffer, m_pBufferStart, nRead);
      m_pBufferStart += nRead;
      m_nBufferSize -= nRead;
      m_nBytesIn += static_cast<uint32_t>(nRead);
      // The counters wrap after 4 GiB; the server expects the low 32 bits.
      if (m_nBytesIn - m_nBytesInSent > RTMP_BYTES_REPORT_INTERVAL)
        SendBytesReceived();
    }
    if (nRead == 0) {
      Log(LOG_LEVEL_DEBUG, "%s, RTMP socket closed by server", "ReadN");
      SetBreakReason("the server closed the connection");
      Close();
      break;
    }
    n -= nRead;
    buffer += nRead;
  }
  return nOriginalSize - n;
}

bool CRTMP::FillBuffer()
{
  assert(m_nBufferSize == 0);
  if (!IsConnected() || m_pBuffer == nullptr)
    return false;

  if (m_pfnBeforeReceive != nullptr)
    m_pfnBeforeReceive(m_pBeforeReceiveContext);
  int nBytes = m_pTls ? m_pTls->Read(m_pBuffer, RTMP_BUFFER_CACHE_SIZE)
                      : SockRecv(m_socket, m_pBuffer, RTMP_BUFFER_CACHE_SIZE, false);
  if (nBytes < 0) {
    // An interrupt (Ctrl-C) ends a read that waits on a stalled server.
    const int nErr = m_pTls ? m_pTls->LastError() : GetSockError();
    if (SockErrorIsInterrupt(nErr))
      Log(LOG_LEVEL_DEBUG, "%s, interrupted by a signal", "FillBuffer");
    else
      Log(LOG_LEVEL_ERROR, "%s, recv returned %d. GetSockError(): %d", "FillBuffer", nBytes, nErr);
    if (SockErrorIsTimeout(nErr))
      SetBreakReason("the server did not send anything for " + std::to_string(m_nTimeout) +
                     " s (receive timed out)");
    else if (SockErrorIsReset(nErr))
      SetBreakReason("connection reset by the server");
    else if (SockErrorIsInterrupt(nErr))
      SetBreakReason("interrupted by a signal");
    else
      SetBreakReason("receiving from the server failed: " + SockErrorText(nErr));
    Close();
    return false;
  }
  m_nBufferSize += nBytes;
  m_pBufferStart = m_pBuffer;
  return true;
}

bool CRTMP::WriteN(const char *buffer, int n)
{
  if (!IsConnected()) {
    Log(LOG_LEVEL_DEBUG, "%s, not connected, %d bytes not sent", "WriteN", n);
    return false;
  }
  while (n > 0) {
    int nBytes = m_pTls ? m_pTls->Write(buffer, n) : SockSend(m_socket, buffer, n);
    if (nBytes < 0) {
      const int nErr = m_pTls ? m_pTls->LastError() : GetSockError();
      if (SockErrorIsInterrupt(nErr))
        Log(LOG_LEVEL_DEBUG, "%s, interrupted by a signal", "WriteN");
      else
        Log(LOG_LEVEL_ERROR, "%s, RTMP send error %d (%d bytes)", "WriteN", nErr, n);
      SetBreakReason(SockErrorIsReset(nErr) ? "connection reset by the server"
                                            : "sending to the server failed: " + SockErrorText(nErr));
      Close();
      return false;
    }
    if (nBytes == 0)
      break;
    n -= nBytes;
    buffer += nBytes;
  }
  return n == 0;
}

}  // namespace RTMP_LIB
