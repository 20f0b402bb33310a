// Connection set-up and closing: its log lines, failures and what Close keeps.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "log_capture.h"
#include "transport_fixture.h"

using RTMP_LIB::CRTMP;
using transport_test::Hex;
using transport_test::Listener;
using transport_test::ReadUpTo;
using transport_test::WriteAll;

namespace {

// Accepts one connection and plays the server's side of the handshake.
int AcceptWithHandshake(Listener &listener)
{
  int fd = listener.Accept(5000);
  if (fd < 0)
    return -1;
  std::string c0c1 = ReadUpTo(fd, 1537);
  WriteAll(fd, "\x03" + transport_test::Pattern(1536) + c0c1.substr(1));
  ReadUpTo(fd, 1536);
  return fd;
}

}  // namespace

TEST(Connection, RefusedPortLogsParametersAndFails)
{
  unsigned nPort;
  {
    Listener gone;
    nPort = gone.Port();
  }
  LogCapture log(LOG_LEVEL_DEBUG);
  CRTMP r;
  EXPECT_FALSE(r.Connect(0, "127.0.0.1", nPort, "mp4:clip", "rtmp://127.0.0.1/vod", "http://s/p.swf",
                         "http://s/page", "vod", "secret", "LNX 10,0,22,87", "sub", 5000, 60000, true, 7));
  EXPECT_FALSE(r.IsConnected());
  EXPECT_EQ(r.m_nPort, nPort);
  std::string expect = "\rDEBUG: Protocol      : RTMP\n"
                       "\rDEBUG: Hostname      : 127.0.0.1\n"
                       "\rDEBUG: Port          : " +
                       std::to_string(nPort) +
                       "\n"
                       "\rDEBUG: Playpath      : mp4:clip\n"
                       "\rDEBUG: tcUrl         : rtmp://127.0.0.1/vod\n"
                       "\rDEBUG: swfUrl        : http://s/p.swf\n"
                       "\rDEBUG: pageUrl       : http://s/page\n"
                       "\rDEBUG: app           : vod\n"
                       "\rDEBUG: auth          : secret\n"
                       "\rDEBUG: subscribepath : sub\n"
                       "\rDEBUG: flashVer      : LNX 10,0,22,87\n"
                       "\rDEBUG: SeekTime      : 5.000 sec\n"
                       "\rDEBUG: playLength    : 60.000 sec\n"
                       "\rDEBUG: live          : yes\n"
                       "\rDEBUG: timeout       : 7 sec\n"
                       "\rDEBUG: Connect, connecting to 127.0.0.1:" + std::to_string(nPort) + "\n"
                       "\rERROR: Connect, failed to connect socket to 127.0.0.1:" + std::to_string(nPort) + ". Error: 111 (Connection refused)\n";
  EXPECT_EQ(log.Text(), expect);
}

TEST(Connection, OptionalParametersAreNotLogged)
{
  unsigned nPort;
  {
    Listener gone;
    nPort = gone.Port();
  }
  LogCapture log(LOG_LEVEL_DEBUG);
  CRTMP r;
  EXPECT_FALSE(r.Connect(0, "127.0.0.1", nPort, "clip", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, 0, 0, false, 300));
  std::string text = log.Text();
  EXPECT_NE(text.find("Playpath      : clip\n\rDEBUG: live          : no\n\rDEBUG: timeout       : 300 sec\n"),
            std::string::npos)
      << text;
}

TEST(Connection, SilentServerCostsTheTimeout)
{
  // The kernel completes the TCP connection; nobody ever answers.
  Listener silent;
  LogCapture log(LOG_LEVEL_ERROR);
  CRTMP r;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(r.Connect(0, "127.0.0.1", silent.Port(), "clip", nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, 0, 0, false, 1));
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(seconds.count(), 30);
  EXPECT_FALSE(r.IsConnected());
  EXPECT_NE(log.Text().find("ERROR: FillBuffer, recv returned -1. GetSockError(): 11\n"), std::string::npos)
      << log.Text();
  EXPECT_NE(log.Text().find("ERROR: Connect, handshake failed.\n"), std::string::npos);
}

TEST(Connection, CloseResetsTheConnectionAndKeepsTheSession)
{
  transport_test::SocketPair pair;
  CRTMP &r = pair.Client();
  // A message on chunk stream 5 leaves a running timestamp and a saved header.
  ASSERT_TRUE(pair.Send(Hex("05 00 01 00 00 00 01 08 01 00 00 00 AA")));
  RTMP_LIB::RTMPPacket p;
  ASSERT_TRUE(r.ReadPacket(p));
  r.m_chunkSize = 4096;
  r.m_nBWCheckCounter = 3;
  r.m_stream_id = 9;
  r.m_methodCalls.push_back("connect");
  r.SetBufferMS(1234);
  ASSERT_TRUE(pair.Send(Hex("01 02 03")));
  char c;
  ASSERT_EQ(r.ReadN(&c, 1), 1);

  r.Close();
  EXPECT_FALSE(r.IsConnected());
  EXPECT_EQ(r.m_chunkSize, 128);
  EXPECT_EQ(r.m_outChunkSize, 128);
  EXPECT_EQ(r.m_nBWCheckCounter, 0);
  EXPECT_EQ(r.m_nBytesIn, 0u);
  EXPECT_EQ(r.m_nBytesInSent, 0u);
  EXPECT_EQ(r.m_nBufferSize, 0);  // the two unread bytes are dropped
  EXPECT_EQ(r.ChannelIn(5).m_nBodySize, 0u);
  EXPECT_EQ(r.ChannelIn(5).m_nChannel, 5);
  // Kept: the session's records, the running timestamps, the buffer length.
  EXPECT_EQ(r.m_stream_id, 9);
  EXPECT_EQ(r.m_methodCalls, std::vector<std::string>{"connect"});
  EXPECT_EQ(r.ChannelTimestamp(5), 256u);
  EXPECT_EQ(r.m_nBufferMS, 1234);
  r.Close();
  EXPECT_FALSE(r.IsConnected());
}

// The application may connect the same object again after an end (a lost
// connection, a reconnect request): nothing of the first connection is left
// to confuse the second.
TEST(Connection, ConnectAgainStartsFromCleanState)
{
  Listener listener;
  CRTMP r;
  int fd = -1;
  std::thread server([&] { fd = AcceptWithHandshake(listener); });
  ASSERT_TRUE(r.Connect(0, "127.0.0.1", listener.Port(), "clip", nullptr, nullptr, nullptr, "vod", nullptr, nullptr,
                        nullptr, 0, 0, false, 5));
  server.join();
  ASSERT_GE(fd, 0);
  // What a first connection leaves: half a message on 6, a running time on
  // 4, the calls and flags of a session that ended in a reconnect request.
  ASSERT_TRUE(WriteAll(fd, Hex("06 00 01 F4 00 01 2C 09 01 00 00 00") + std::string(128, 'v')));
  RTMP_LIB::RTMPPacket p;
  ASSERT_TRUE(r.ReadPacket(p));
  r.ChannelTimestamp(4) = 700;
  r.m_chunkSize = 4096;
  r.m_stream_id = 9;
  r.m_methodCalls = {"play"};
  r.m_bRefused = r.m_bMediaReceived = r.m_bReconnectRequested = true;
  r.m_strReconnectUrl = "rtmp://127.0.0.1/next";
  r.Close();
  close(fd);

  server = std::thread([&] { fd = AcceptWithHandshake(listener); });
  ASSERT_TRUE(r.Connect(0, "127.0.0.1", listener.Port(), "clip", nullptr, nullptr, nullptr, "vod", nullptr, nullptr,
                        nullptr, 0, 0, false, 5));
  server.join();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(r.m_chunkSize, 128);
  EXPECT_EQ(r.m_nBytesIn, 3073u);  // the handshake only
  EXPECT_EQ(r.m_nBytesInSent, 0u);
  EXPECT_EQ(r.m_methodCalls, std::vector<std::string>{"connect"});
  EXPECT_EQ(r.m_stream_id, 0);
  EXPECT_FALSE(r.IsRefused());
  EXPECT_FALSE(r.IsReconnectRequested());
  EXPECT_EQ(r.GetReconnectUrl(), "");
  EXPECT_FALSE(r.m_bMediaReceived);
  EXPECT_EQ(r.ChannelIn(6).m_nBytesRead, 0u);
  // A type-1 header first: its delta counts from 0, not from the old times.
  ASSERT_TRUE(WriteAll(fd, Hex("44 00 00 28 00 00 01 08 AF")));
  ASSERT_EQ(r.GetNextMediaPacket(p), 1);
  EXPECT_EQ(p.m_nTimeStamp, 40u);
  close(fd);
}
