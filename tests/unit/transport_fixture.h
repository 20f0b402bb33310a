// Test fixtures for the transport: bytes written in hex, a connection attached
// to one end of a socketpair whose other end the test plays the server on, and
// a loopback TCP listener for the tests that go through Connect.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "hex_bytes.h"
#include "rtmp/rtmp.h"

namespace transport_test {

using testhex::Hex;
using testhex::ToHex;

// n bytes 00 01 02 ... FF 00 01 ..., offset by nSeed so that bodies differ.
inline std::string Pattern(size_t n, int nSeed = 0)
{
  std::string out(n, '\0');
  for (size_t i = 0; i < n; i++)
    out[i] = static_cast<char>((i + static_cast<size_t>(nSeed)) & 0xff);
  return out;
}

inline void SetReceiveTimeoutMS(int fd, int nMS)
{
  timeval tv = {nMS / 1000, (nMS % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

inline bool WriteAll(int fd, const std::string &bytes)
{
  size_t nDone = 0;
  while (nDone < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + nDone, bytes.size() - nDone, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    nDone += static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly n bytes or fewer when the other side stops (timeout or close).
inline std::string ReadUpTo(int fd, size_t n)
{
  std::string out;
  char buf[65536];
  while (out.size() < n) {
    size_t nWant = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
    ssize_t got = recv(fd, buf, nWant, 0);
    if (got <= 0)
      break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

// A connection attached to one end of a socketpair; the test is the server
// on the other end.
class SocketPair
{
public:
  SocketPair() : m_rtmp(new RTMP_LIB::CRTMP())
  {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
      abort();
    // A read the test never feeds fails instead of hanging.
    SetReceiveTimeoutMS(fds[0], 5000);
    m_nClientFd = fds[0];
    m_nServerFd = fds[1];
    m_rtmp->AttachSocket(fds[0]);
  }
  ~SocketPair()
  {
    Join();
    m_rtmp.reset();
    close(m_nServerFd);
  }
  SocketPair(const SocketPair &) = delete;
  SocketPair &operator=(const SocketPair &) = delete;

  RTMP_LIB::CRTMP &Client() { return *m_rtmp; }
  int ServerFd() const { return m_nServerFd; }
  int ClientFd() const { return m_nClientFd; }

  bool Send(const std::string &bytes) { return WriteAll(m_nServerFd, bytes); }
  // For more than a socket buffer holds: writes from a thread while the client reads.
  void SendInBackground(std::string bytes, bool bCloseAfter)
  {
    Join();
    m_writer = std::thread([this, bytes, bCloseAfter] {
      WriteAll(m_nServerFd, bytes);
      if (bCloseAfter)
        shutdown(m_nServerFd, SHUT_WR);
    });
  }
  void Join()
  {
    if (m_writer.joinable())
      m_writer.join();
  }
  void CloseServerWrite() { shutdown(m_nServerFd, SHUT_WR); }

  // Everything the client has written so far (its writes are complete when
  // its calls return).
  std::string Drain()
  {
    std::string out;
    char buf[65536];
    for (;;) {
      ssize_t n = recv(m_nServerFd, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0)
        break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

private:
  std::unique_ptr<RTMP_LIB::CRTMP> m_rtmp;
  int m_nClientFd;
  int m_nServerFd;
  std::thread m_writer;
};

// A TCP listener on 127.0.0.1 and an ephemeral port.
class Listener
{
public:
  Listener()
  {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t nLen = sizeof addr;
    if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(m_fd, 4) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &nLen) != 0)
      abort();
    m_nPort = ntohs(addr.sin_port);
  }
  ~Listener() { Close(); }
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;

  unsigned Port() const { return m_nPort; }
  void Close()
  {
    if (m_fd >= 0)
      close(m_fd);
    m_fd = -1;
  }
  // The accepted connection, or -1 when nobody came within nMS.
  int Accept(int nMS)
  {
    pollfd pfd = {m_fd, POLLIN, 0};
    if (poll(&pfd, 1, nMS) != 1)
      return -1;
    int fd = accept(m_fd, nullptr, nullptr);
    if (fd >= 0)
      SetReceiveTimeoutMS(fd, 5000);
    return fd;
  }

private:
  int m_fd = -1;
  unsigned m_nPort = 0;
};

}  // namespace transport_test
