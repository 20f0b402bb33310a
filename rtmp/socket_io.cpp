// Socket I/O of the connection: the buffered exact-length read with its byte
// accounting, the write, and the small socket layer.

// Programming errors stop the program in every build type.
#undef NDEBUG
#include <cassert>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/socket.h>

#include "foundation/log.h"
#include "rtmp/rtmp.h"
#include "rtmp/tls.h"

int GetTime()
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t nMS = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<int>(static_cast<uint32_t>(nMS));
}

bool InitSockets()
{
  return true;
}

void CleanupSockets()
{
}

int GetSockError()
{
  return errno;
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
                      : static_cast<int>(recv(m_socket, m_pBuffer, RTMP_BUFFER_CACHE_SIZE, 0));
  if (nBytes < 0) {
    // The application's signal handlers do not restart system calls, so that
    // Ctrl-C ends a read that waits on a stalled server.
    const int nErr = errno;
    if (nErr == EINTR)
      Log(LOG_LEVEL_DEBUG, "%s, interrupted by a signal", "FillBuffer");
    else
      Log(LOG_LEVEL_ERROR, "%s, recv returned %d. GetSockError(): %d", "FillBuffer", nBytes, GetSockError());
    if (nErr == EAGAIN || nErr == EWOULDBLOCK)
      SetBreakReason("the server did not send anything for " + std::to_string(m_nTimeout) +
                     " s (receive timed out)");
    else if (nErr == ECONNRESET)
      SetBreakReason("connection reset by the server");
    else if (nErr == EINTR)
      SetBreakReason("interrupted by a signal");
    else
      SetBreakReason(std::string("receiving from the server failed: ") + strerror(nErr));
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
    // A server that has gone must not kill the process with SIGPIPE.
    int nBytes = m_pTls ? m_pTls->Write(buffer, n) : static_cast<int>(send(m_socket, buffer, n, MSG_NOSIGNAL));
    if (nBytes < 0) {
      const int nErr = errno;
      if (nErr == EINTR)
        Log(LOG_LEVEL_DEBUG, "%s, interrupted by a signal", "WriteN");
      else
        Log(LOG_LEVEL_ERROR, "%s, RTMP send error %d (%d bytes)", "WriteN", GetSockError(), n);
      SetBreakReason(nErr == ECONNRESET || nErr == EPIPE ? "connection reset by the server"
                                                         : std::string("sending to the server failed: ") + strerror(nErr));
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
