// Socket I/O: the buffered read and its byte accounting, the write, the clock.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>

#include "log_capture.h"
#include "transport_fixture.h"

using RTMP_LIB::CRTMP;
using transport_test::Hex;
using transport_test::Pattern;
using transport_test::SocketPair;
using transport_test::ToHex;

namespace {

bool Contains(const LogCapture &log, const char *sz)
{
  return log.Text().find(sz) != std::string::npos;
}

}  // namespace

TEST(SocketIO, ReadNDeliversExactCountsThroughTheBuffer)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  char buf[16];
  // Nothing asked: no read, so no wait on the silent socket either.
  EXPECT_EQ(r.ReadN(buf, 0), 0);
  EXPECT_TRUE(r.IsConnected());

  ASSERT_TRUE(pair.Send(Hex("01 02 03 04 05 06 07")));
  ASSERT_EQ(r.ReadN(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), Hex("01 02 03"));
  ASSERT_EQ(r.ReadN(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), Hex("04 05 06 07"));
  EXPECT_EQ(r.m_nBytesIn, 7u);
}

TEST(SocketIO, ReadNWhenThePeerStopsEarly)
{
  struct Case {
    bool bPeerCloses;  // otherwise it stays silent past the receive timeout
    int nResult;
    const char *message;
    const char *reason;  // as the application names the cause
  } cases[] = {
      {true, 3, "DEBUG: ReadN, RTMP socket closed by server\n", "the server closed the connection"},
      {false, 0, "ERROR: FillBuffer, recv returned -1. GetSockError(): ",
       "the server did not send anything for 7 s (receive timed out)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    SocketPair pair;
    CRTMP &r = pair.Client();
    transport_test::SetReceiveTimeoutMS(pair.ClientFd(), 200);
    r.m_nTimeout = 7;  // what the user asked for; the socket's is shorter here
    LogCapture log(LOG_LEVEL_DEBUG);
    ASSERT_TRUE(pair.Send(Hex("01 02 03")));
    if (c.bPeerCloses)
      pair.CloseServerWrite();
    char buf[10];
    EXPECT_EQ(r.ReadN(buf, 10), c.nResult);
    EXPECT_FALSE(r.IsConnected());
    EXPECT_TRUE(Contains(log, c.message)) << log.Text();
    ASSERT_NE(r.GetBreakReason(), nullptr);
    EXPECT_STREQ(r.GetBreakReason(), c.reason);
  }
}

TEST(SocketIO, ClosedConnectionTouchesNoDescriptor)
{
  // Descriptor 0 is a socket with a byte waiting; a connection that was
  // never opened must neither read it nor write to it.
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  int nSavedStdin = dup(0);
  ASSERT_GE(nSavedStdin, 0);
  ASSERT_EQ(dup2(fds[0], 0), 0);
  close(fds[0]);
  ASSERT_TRUE(transport_test::WriteAll(fds[1], "x"));

  CRTMP r;
  EXPECT_FALSE(r.IsConnected());
  char c;
  EXPECT_EQ(r.ReadN(&c, 1), 0);
  EXPECT_FALSE(r.WriteN("y", 1));
  r.Close();
  char peek;
  EXPECT_EQ(recv(0, &peek, 1, MSG_PEEK | MSG_DONTWAIT), 1);
  EXPECT_EQ(recv(fds[1], &peek, 1, MSG_DONTWAIT), -1);

  // Descriptor 0 is a valid socket to attach.
  r.AttachSocket(0);
  EXPECT_TRUE(r.IsConnected());
  EXPECT_EQ(r.ReadN(&c, 1), 1);
  EXPECT_EQ(c, 'x');
  EXPECT_TRUE(r.WriteN("y", 1));
  EXPECT_EQ(recv(fds[1], &peek, 1, MSG_DONTWAIT), 1);
  EXPECT_EQ(peek, 'y');
  r.Close();
  EXPECT_EQ(fcntl(0, F_GETFD), -1);

  dup2(nSavedStdin, 0);
  close(nSavedStdin);
  close(fds[1]);
}

TEST(SocketIO, BytesReadReports)
{
  struct Case {
    const char *name;
    uint32_t nBytesIn;
    uint32_t nBytesInSent;
    size_t nRead;
    bool bReport;
    uint32_t nReported;
  } cases[] = {
      {"exactly 614400 more", 0, 0, 614400, false, 0},
      {"one byte more", 0, 0, 614401, true, 614401},
      {"below the 2 GiB line", 0x7FFFFF00u, 0x7FFFFF00u, 100, false, 0},
      {"just past the 2 GiB line", 0x80000000u, 0x7FFFFFF0u, 10, false, 0},
      {"across the 4 GiB wrap", 0xFFFFFFF0u, 0xFFFFFFF0u - 614000u, 500, true, 0x1E4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair pair;
    CRTMP &r = pair.Client();
    r.m_nBytesIn = c.nBytesIn;
    r.m_nBytesInSent = c.nBytesInSent;
    pair.SendInBackground(Pattern(c.nRead), false);
    std::string buf(c.nRead, '\0');
    ASSERT_EQ(r.ReadN(&buf[0], static_cast<int>(c.nRead)), static_cast<int>(c.nRead));
    EXPECT_EQ(r.m_nBytesIn, c.nBytesIn + static_cast<uint32_t>(c.nRead));
    pair.Join();
    std::string wire = pair.Drain();
    if (!c.bReport) {
      EXPECT_EQ(wire, "");
      continue;
    }
    // Chunk stream 2, message type 3, the count in 4 big-endian bytes.
    ASSERT_EQ(wire.size(), 12u) << ToHex(wire);
    EXPECT_EQ(wire[0] & 0x3f, 2);
    EXPECT_EQ(wire[7], 0x03);
    const std::string count = {char(c.nReported >> 24), char(c.nReported >> 16), char(c.nReported >> 8),
                               char(c.nReported)};
    EXPECT_EQ(ToHex(wire.substr(8)), ToHex(count));
    EXPECT_EQ(r.m_nBytesInSent, c.nReported);
  }
}

TEST(SocketIO, WriteNToAPeerThatHasGone)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  LogCapture log(LOG_LEVEL_ERROR);
  shutdown(pair.ServerFd(), SHUT_RDWR);
  // Without MSG_NOSIGNAL this would end the test process with SIGPIPE.
  std::string big(1 << 20, 'z');
  EXPECT_FALSE(r.WriteN(big.data(), static_cast<int>(big.size())));
  EXPECT_FALSE(r.IsConnected());
  EXPECT_TRUE(Contains(log, "ERROR: WriteN, RTMP send error 32 (")) << log.Text();
}

namespace {

std::atomic<int> nSignals{0};
void OnSignal(int)
{
  nSignals++;
}

}  // namespace

TEST(SocketIO, SignalEndsAStalledRead)
{
  // As the application installs its handlers: without SA_RESTART.
  struct sigaction sa = {};
  struct sigaction saved = {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &saved), 0);

  SocketPair pair;
  CRTMP &r = pair.Client();
  transport_test::SetReceiveTimeoutMS(pair.ClientFd(), 0);  // no timeout: only the signal can end it
  LogCapture log(LOG_LEVEL_DEBUG);
  std::atomic<bool> bDone{false};
  std::atomic<int> nResult{-1};
  std::thread reader([&] {
    char buf[4];
    nResult = r.ReadN(buf, 4);
    bDone = true;
  });
  pthread_t handle = reader.native_handle();
  // The signal may come before the read blocks; send until the read ends.
  for (int i = 0; i < 500 && !bDone; i++) {
    pthread_kill(handle, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!bDone)
    pair.CloseServerWrite();
  reader.join();
  sigaction(SIGUSR1, &saved, nullptr);

  EXPECT_EQ(nResult, 0);
  EXPECT_FALSE(r.IsConnected());
  EXPECT_TRUE(Contains(log, "DEBUG: FillBuffer, interrupted by a signal\n")) << log.Text();
}

TEST(SocketIO, GetTimeIsAMillisecondClock)
{
  uint32_t t1 = static_cast<uint32_t>(GetTime());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint32_t t2 = static_cast<uint32_t>(GetTime());
  // Differences are what counts; they survive the 32-bit wrap.
  EXPECT_GE(t2 - t1, 50u);
  EXPECT_LT(t2 - t1, 60000u);
}
