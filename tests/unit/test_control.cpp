// Pings, bandwidth, bytes-read reports and chunk-size changes on the wire.
#include <gtest/gtest.h>

#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::CRTMP;
using RTMP_LIB::RTMPPacket;

namespace {

struct PingCase {
  const char *szName;
  bool (*send)(CRTMP &);
  const char *szBody;
};

// A received control message as the dispatcher hands it on.
void MakePacket(RTMPPacket &packet, uint8_t nType, const std::string &body)
{
  packet.m_packetType = nType;
  ASSERT_TRUE(packet.AllocPacket(static_cast<int>(body.size())));
  memcpy(packet.m_body, body.data(), body.size());
  packet.m_nBodySize = packet.m_nBytesRead = static_cast<uint32_t>(body.size());
}

}  // namespace

TEST(Ping, BodiesByType)
{
  const PingCase cases[] = {
      {"buffer length after connect", [](CRTMP &r) { return r.SendPing(3, 0, 300); },
       "00 03 00 00 00 00 00 00 01 2C"},
      {"buffer length update", [](CRTMP &r) { r.SetBufferMS(36000000); return r.UpdateBufferMS(); },
       "00 03 00 00 00 01 02 25 51 00"},
      {"ping answer drops the second argument", [](CRTMP &r) { return r.SendPing(7, 1000, 99); },
       "00 07 00 00 03 E8"},
      {"stream begin", [](CRTMP &r) { return r.SendPing(0, 0xFFFFFFFFu, 0); }, "00 00 FF FF FF FF"},
      {"SWF verification answer", [](CRTMP &r) { return r.SendPing(27, 5, 6); },
       "00 1B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
       "00 00 00 00 00 00 00 00 00 00 00 00"},
  };
  for (const PingCase &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    int nBefore = GetTime();
    ASSERT_TRUE(c.send(peer.Client()));
    int nAfter = GetTime();
    std::vector<Message> msgs = peer.Received();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].nChannel, 2);
    EXPECT_EQ(msgs[0].nHeaderType, 1);
    EXPECT_EQ(msgs[0].nType, 0x04);
    EXPECT_GE(msgs[0].nTimestamp, static_cast<uint32_t>(nBefore));
    EXPECT_LE(msgs[0].nTimestamp, static_cast<uint32_t>(nAfter));
    EXPECT_EQ(ToHex(msgs[0].body), ToHex(Hex(c.szBody)));
  }
}

TEST(ServerBW, FullHeaderAndConstant)
{
  Peer peer;
  ASSERT_TRUE(peer.Client().SendServerBW());
  std::vector<Message> msgs = peer.Received();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].nChannel, 2);
  EXPECT_EQ(msgs[0].nHeaderType, 0);
  EXPECT_EQ(msgs[0].nType, 0x05);
  EXPECT_EQ(msgs[0].nStreamId, 0u);
  EXPECT_EQ(ToHex(msgs[0].body), "00 13 12 D0");
}

TEST(BytesReceived, ReportsTheRunningCount)
{
  const struct {
    uint32_t nBytesIn;
    const char *szBody;
  } cases[] = {{123456, "00 01 E2 40"}, {0xFFFFFFFFu, "FF FF FF FF"}, {0, "00 00 00 00"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szBody);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_nBytesIn = c.nBytesIn;
    r.m_nBytesInSent = 7;
    ASSERT_TRUE(r.SendBytesReceived());
    EXPECT_EQ(r.m_nBytesInSent, c.nBytesIn);
    std::vector<Message> msgs = peer.Received();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].nChannel, 2);
    EXPECT_EQ(msgs[0].nHeaderType, 1);
    EXPECT_EQ(msgs[0].nType, 0x03);
    EXPECT_EQ(ToHex(msgs[0].body), ToHex(Hex(c.szBody)));
  }
}

// The reports go out from inside the read, once more than 614400 bytes have
// arrived since the last one.
TEST(BytesReceived, SentWhileMediaFlows)
{
  Peer peer;
  CRTMP &r = peer.Client();
  const std::string body(20000, 'v');
  const std::string message = Chunked(6, 0x09, body, 1);
  const int nMessages = 70;  // about 1.4 MB: two reports
  std::string stream;
  for (int i = 0; i < nMessages; i++)
    stream += message;
  peer.SendInBackground(stream, true);

  RTMPPacket packet;
  int nReturned = 0;
  while (r.GetNextMediaPacket(packet) == 1) {
    nReturned++;
    packet.FreePacket();
  }
  peer.Join();
  EXPECT_EQ(nReturned, nMessages);

  std::vector<Message> reports = OfType(peer.Received(), 0x03);
  ASSERT_EQ(reports.size(), 2u);
  uint32_t nLast = 0;
  for (const Message &m : reports) {
    uint32_t nValue = BeRead(m.body, 0, 4);
    // Sent by the read that crossed the threshold: at most one chunk later.
    EXPECT_GT(nValue, nLast + 614400);
    EXPECT_LE(nValue, nLast + 614400 + 128 + 12);
    nLast = nValue;
  }
}

TEST(HandlePing, AnswersRequestsOnly)
{
  const struct {
    const char *szName;
    const char *szBody;
    const char *szAnswer;  // null: nothing sent
    const char *szLog;
  } cases[] = {
      {"request", "00 06 00 00 03 E8", "00 07 00 00 03 E8", "received ping. type: 6, len: 6"},
      {"request with extra bytes", "00 06 12 34 56 78 9A", "00 07 12 34 56 78", "type: 6, len: 7"},
      {"short request", "00 06 00 00 03", nullptr, "received ping. type: 6, len: 5"},
      {"no type", "06", nullptr, "received ping. type: -1, len: 1"},
      {"empty", "", nullptr, "received ping. type: -1, len: 0"},
      {"stream begin", "00 00 00 00 00 01", nullptr, "received ping. type: 0, len: 6"},
      {"negative type", "FF FE 00 00 00 00", nullptr, "received ping. type: -2, len: 6"},
      {"SWF verification", "00 1A 01 02", nullptr, "HandlePing: Ignoring unsupported SWFVerification request"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    LogCapture log(LOG_LEVEL_DEBUG);
    RTMPPacket packet;
    MakePacket(packet, 0x04, Hex(c.szBody));
    peer.Client().HandlePing(packet);
    EXPECT_TRUE(Contains(log, c.szLog)) << log.Text();
    std::vector<Message> msgs = peer.Received();
    if (c.szAnswer == nullptr) {
      EXPECT_TRUE(msgs.empty());
      continue;
    }
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].nChannel, 2);
    EXPECT_EQ(msgs[0].nType, 0x04);
    EXPECT_EQ(ToHex(msgs[0].body), ToHex(Hex(c.szAnswer)));
  }
}

TEST(HandlePing, SwfVerificationLogsBothLines)
{
  Peer peer;
  LogCapture log(LOG_LEVEL_DEBUG);
  RTMPPacket packet;
  MakePacket(packet, 0x04, Hex("00 1A"));
  peer.Client().HandlePing(packet);
  EXPECT_NE(log.Text().find("DEBUG: HandlePing, SWFVerification ping received: \n"), std::string::npos);
  EXPECT_NE(log.Text().find("WARNING: HandlePing: Ignoring unsupported SWFVerification request\n"),
            std::string::npos);
}

TEST(ChunkSize, IncomingSizeChangesOrClosesTheConnection)
{
  const struct {
    const char *szBody;
    bool bConnected;
    int nChunkSize;
    const char *szLog;  // null: nothing logged at error level
  } cases[] = {
      {"00 00 10 00", true, 4096, nullptr},
      {"00 00 00 01", true, 1, nullptr},
      {"7F FF FF FF", true, 0x7FFFFFFF, nullptr},
      {"00 00 10 00 FF", true, 4096, nullptr},
      {"00 00 10", true, 128, nullptr},
      {"00 00 00 00", false, 128, "ERROR: "},
      {"80 00 00 00", false, 128, "ERROR: "},
      {"FF FF FF FF", false, 128, "ERROR: "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szBody);
    Peer peer;
    CRTMP &r = peer.Client();
    LogCapture log(LOG_LEVEL_ERROR);
    RTMPPacket packet;
    MakePacket(packet, 0x01, Hex(c.szBody));
    r.HandleChangeChunkSize(packet);
    EXPECT_EQ(r.IsConnected(), c.bConnected);
    EXPECT_EQ(r.m_chunkSize, c.nChunkSize);
    EXPECT_EQ(r.m_outChunkSize, 128);
    if (c.szLog) {
      EXPECT_TRUE(Contains(log, c.szLog));
    } else {
      EXPECT_EQ(log.Text(), "");
    }
  }
}

// After the server raises its chunk size, its chunks grow but the client's
// own invokes are still split at 128.
TEST(ChunkSize, AppliesToReadingOnly)
{
  Peer peer;
  CRTMP &r = peer.Client();
  peer.Send(Chunked(2, 0x01, Hex("00 00 10 00")));
  peer.Send(Chunked(6, 0x09, std::string(1000, 'v'), 1, 0, 4096));
  RTMPPacket packet;
  ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
  EXPECT_EQ(packet.m_nBodySize, 1000u);
  EXPECT_EQ(r.m_chunkSize, 4096);

  ASSERT_TRUE(r.SendFCSubscribe(std::string(300, 'f').c_str()));
  std::vector<Message> msgs = peer.Received();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].body.size(), 327u);
  EXPECT_EQ(msgs[0].nChunks, 3);
}
