// The socket layer on Windows (Winsock 2). Sockets are non-blocking once
// connected, and every wait is a WSAPoll in short slices: Windows has no
// signal that ends a blocking call, so a console control handler ends the
// waits through InterruptSockets instead. The receive timeout is kept in the
// socket itself (SO_RCVTIMEO, in milliseconds), where a wait looks it up.
#include "rtmp/sockets.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "rtmp/socket_system.h"

bool InitSockets()
{
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void CleanupSockets()
{
  WSACleanup();
}

int GetSockError()
{
  return WSAGetLastError();
}

namespace RTMP_LIB {

namespace {

// A TLS record that could not be read or written; no Winsock error has it.
const int kProtocolError = -71;
// How often a wait looks at the interrupt flag.
const ULONGLONG kSliceMS = 100;

std::atomic<bool> bInterrupted{false};

SOCKET Handle(int s)
{
  return static_cast<SOCKET>(s);
}

// The receive timeout set on s in milliseconds, or -1 for none.
long ReceiveTimeoutMS(int s)
{
  DWORD nMS = 0;
  int nLen = sizeof nMS;
  if (getsockopt(Handle(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char *>(&nMS), &nLen) != 0 || nMS == 0)
    return -1;
  return static_cast<long>(nMS);
}

// The next slice of a wait that began at nStart and may last nWaitMS
// (negative: no limit); false once the time has run out.
bool NextSlice(ULONGLONG nStart, long nWaitMS, ULONGLONG &nSlice)
{
  nSlice = kSliceMS;
  if (nWaitMS < 0)
    return true;
  const ULONGLONG nSpent = GetTickCount64() - nStart;
  if (nSpent >= static_cast<ULONGLONG>(nWaitMS))
    return false;
  nSlice = std::min<ULONGLONG>(nSlice, static_cast<ULONGLONG>(nWaitMS) - nSpent);
  return true;
}

// Waits until s is ready for nEvents, at most nWaitMS (negative: no limit).
// 1 ready (or failed: the next call tells), 0 time ran out, -1 an error or an
// interrupt (the error is set).
int WaitFor(int s, short nEvents, long nWaitMS)
{
  const ULONGLONG nStart = GetTickCount64();
  for (;;) {
    if (bInterrupted) {
      WSASetLastError(WSAEINTR);
      return -1;
    }
    ULONGLONG nSlice = 0;
    if (!NextSlice(nStart, nWaitMS, nSlice))
      return 0;
    WSAPOLLFD pfd;
    pfd.fd = Handle(s);
    pfd.events = nEvents;
    pfd.revents = 0;
    int nResult = WSAPoll(&pfd, 1, static_cast<INT>(nSlice));
    if (nResult != 0)
      return nResult > 0 ? 1 : -1;
  }
}

}  // namespace

bool SockErrorIsTimeout(int nError)
{
  return nError == WSAETIMEDOUT;
}

bool SockErrorIsWouldBlock(int nError)
{
  return nError == WSAEWOULDBLOCK;
}

bool SockErrorIsReset(int nError)
{
  return nError == WSAECONNRESET || nError == WSAECONNABORTED;
}

bool SockErrorIsInterrupt(int nError)
{
  return nError == WSAEINTR;
}

std::string SockErrorText(int nError)
{
  // The texts users of the Linux build read, for the errors a download meets.
  switch (nError) {
  case kProtocolError: return "Protocol error";
  case WSAECONNREFUSED: return "Connection refused";
  case WSAETIMEDOUT: return "Connection timed out";
  case WSAECONNRESET: return "Connection reset by peer";
  case WSAECONNABORTED: return "Software caused connection abort";
  case WSAENETUNREACH: return "Network is unreachable";
  case WSAEHOSTUNREACH: return "No route to host";
  case WSAENETDOWN: return "Network is down";
  case WSAEADDRNOTAVAIL: return "Cannot assign requested address";
  case WSAEAFNOSUPPORT: return "Address family not supported by protocol";
  case WSAEINTR: return "Interrupted system call";
  case WSAEWOULDBLOCK: return "Resource temporarily unavailable";
  case WSAENOTCONN: return "Transport endpoint is not connected";
  case WSAENOBUFS: return "No buffer space available";
  case WSAEACCES: return "Permission denied";
  default: break;
  }
  char sz[256];
  DWORD nLen = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              static_cast<DWORD>(nError), 0, sz, sizeof sz, nullptr);
  while (nLen > 0 && (sz[nLen - 1] == '\n' || sz[nLen - 1] == '\r' || sz[nLen - 1] == '.'))
    nLen--;
  return nLen > 0 ? std::string(sz, nLen) : "error " + std::to_string(nError);
}

int SockTimedOutError()
{
  return WSAETIMEDOUT;
}

int SockProtocolError()
{
  return kProtocolError;
}

int SockOpen(int nFamily, int nType, int nProtocol)
{
  SOCKET s = socket(nFamily, nType, nProtocol);
  return s != INVALID_SOCKET ? static_cast<int>(s) : -1;
}

void SockClose(int s)
{
  closesocket(Handle(s));
}

bool SockSetReceiveTimeout(int s, long nSeconds)
{
  DWORD nMS = static_cast<DWORD>(nSeconds) * 1000;
  return setsockopt(Handle(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&nMS), sizeof nMS) == 0;
}

int SockConnect(int s, const struct sockaddr *pAddress, unsigned int nLength, int nWaitMS)
{
  u_long nOn = 1;
  if (ioctlsocket(Handle(s), FIONBIO, &nOn) != 0)
    return WSAGetLastError();
  if (connect(Handle(s), pAddress, static_cast<int>(nLength)) == 0)
    return 0;
  if (WSAGetLastError() != WSAEWOULDBLOCK)
    return WSAGetLastError();
  // Not WSAPoll: many Windows versions never report a refused connect
  // through it, and the wait would last the whole timeout. select reports it
  // as an exception.
  const ULONGLONG nStart = GetTickCount64();
  for (;;) {
    if (bInterrupted)
      return WSAEINTR;
    ULONGLONG nSlice = 0;
    if (!NextSlice(nStart, nWaitMS, nSlice))
      return WSAETIMEDOUT;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Handle(s), &writable);
    FD_SET(Handle(s), &failed);
    struct timeval tv;
    tv.tv_sec = 0;
    tv.tv_usec = static_cast<long>(nSlice * 1000);
    int nResult = select(0, nullptr, &writable, &failed, &tv);
    if (nResult < 0)
      return WSAGetLastError();
    if (nResult > 0) {
      int nError = 0;
      int nLen = sizeof nError;
      if (getsockopt(Handle(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&nError), &nLen) != 0)
        return WSAGetLastError();
      if (nError == 0 && FD_ISSET(Handle(s), &failed))
        nError = WSAECONNREFUSED;
      return nError;
    }
  }
}

int SockRecv(int s, char *buffer, int n, bool bNoWait)
{
  for (;;) {
    if (bInterrupted) {
      WSASetLastError(WSAEINTR);
      return -1;
    }
    int nResult = recv(Handle(s), buffer, n, 0);
    if (nResult >= 0 || WSAGetLastError() != WSAEWOULDBLOCK || bNoWait)
      return nResult;
    int nReady = WaitFor(s, POLLIN, ReceiveTimeoutMS(s));
    if (nReady < 0)
      return -1;
    if (nReady == 0) {
      WSASetLastError(WSAETIMEDOUT);
      return -1;
    }
  }
}

int SockSend(int s, const char *buffer, int n)
{
  for (;;) {
    if (bInterrupted) {
      WSASetLastError(WSAEINTR);
      return -1;
    }
    int nResult = send(Handle(s), buffer, n, 0);
    if (nResult >= 0 || WSAGetLastError() != WSAEWOULDBLOCK)
      return nResult;
    if (WaitFor(s, POLLOUT, -1) < 0)
      return -1;
  }
}

bool IsIpLiteral(const char *szHost)
{
  unsigned char addr[16];
  return inet_pton(AF_INET, szHost, addr) == 1 || inet_pton(AF_INET6, szHost, addr) == 1;
}

void InterruptSockets()
{
  bInterrupted = true;
}

}  // namespace RTMP_LIB
