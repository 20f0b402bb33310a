// The socket layer on POSIX systems: blocking sockets with a receive timeout;
// a signal (no SA_RESTART) ends a wait with EINTR.
#include "rtmp/sockets.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "rtmp/socket_system.h"

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

bool SockErrorIsTimeout(int nError)
{
  return nError == EAGAIN || nError == EWOULDBLOCK;
}

bool SockErrorIsWouldBlock(int nError)
{
  return nError == EAGAIN || nError == EWOULDBLOCK;
}

bool SockErrorIsReset(int nError)
{
  return nError == ECONNRESET || nError == EPIPE;
}

bool SockErrorIsInterrupt(int nError)
{
  return nError == EINTR;
}

std::string SockErrorText(int nError)
{
  return strerror(nError);
}

int SockTimedOutError()
{
  return ETIMEDOUT;
}

int SockProtocolError()
{
  return EPROTO;
}

int SockOpen(int nFamily, int nType, int nProtocol)
{
  int s = socket(nFamily, nType, nProtocol);
  return s >= 0 ? s : -1;
}

void SockClose(int s)
{
  close(s);
}

bool SockSetReceiveTimeout(int s, long nSeconds)
{
  struct timeval tv;
  memset(&tv, 0, sizeof tv);
  tv.tv_sec = nSeconds;
  return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

int SockConnect(int s, const struct sockaddr *pAddress, unsigned int nLength, int nWaitMS)
{
  int nFlags = fcntl(s, F_GETFL, 0);
  if (nFlags < 0 || fcntl(s, F_SETFL, nFlags | O_NONBLOCK) < 0)
    return errno;
  if (connect(s, pAddress, nLength) != 0) {
    if (errno != EINPROGRESS)
      return errno;
    struct pollfd pfd;
    pfd.fd = s;
    pfd.events = POLLOUT;
    pfd.revents = 0;
    int nResult = poll(&pfd, 1, nWaitMS);
    if (nResult == 0)
      return ETIMEDOUT;
    if (nResult < 0)
      return errno;
    int nError = 0;
    socklen_t nLen = sizeof nError;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &nError, &nLen) != 0)
      return errno;
    if (nError != 0)
      return nError;
  }
  // The connection's reads and writes block, bounded by the receive timeout.
  return fcntl(s, F_SETFL, nFlags) == 0 ? 0 : errno;
}

int SockRecv(int s, char *buffer, int n, bool bNoWait)
{
  return static_cast<int>(recv(s, buffer, static_cast<size_t>(n), bNoWait ? MSG_DONTWAIT : 0));
}

int SockSend(int s, const char *buffer, int n)
{
  return static_cast<int>(send(s, buffer, static_cast<size_t>(n), MSG_NOSIGNAL));
}

bool IsIpLiteral(const char *szHost)
{
  unsigned char addr[16];
  return inet_pton(AF_INET, szHost, addr) == 1 || inet_pton(AF_INET6, szHost, addr) == 1;
}

void InterruptSockets()
{
}

}  // namespace RTMP_LIB
