// Connection set-up and closing: its log lines, failures and what Close keeps.

#include <gtest/gtest.h>

#include <chrono>

#include "log_capture.h"
#include "transport_fixture.h"

using RTMP_LIB::CRTMP;
using transport_test::Hex;
using transport_test::Listener;

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
