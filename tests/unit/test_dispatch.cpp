// The message loop over scripted server chunks: what is returned, what is
// answered on the way and what ends it.
#include <gtest/gtest.h>

#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::CRTMP;
using RTMP_LIB::RTMPPacket;
using transport_test::Pattern;

namespace {

std::string Status(const std::string &code)
{
  return amf::Str("onStatus") + amf::Num(0) + amf::Null() + amf::Info(code);
}

std::string MetaData(double dDuration)
{
  return amf::Str("onMetaData") + amf::EcmaStart(1) + amf::Key("duration") + amf::Num(dDuration) + amf::ObjEnd();
}

// An FLV tag: type, 24-bit size, timestamp and stream id, data, previous size.
std::string FlvTag(uint8_t nType, const std::string &data, uint32_t nClaimedSize)
{
  return std::string(1, static_cast<char>(nType)) + Be(nClaimedSize, 3) + Hex("00 00 00 00 00 00 00") + data +
         Be(data.size() + 11, 4);
}

std::string FlvTag(uint8_t nType, const std::string &data)
{
  return FlvTag(nType, data, static_cast<uint32_t>(data.size()));
}

}  // namespace

TEST(Dispatch, ClosedConnectionReadsNothing)
{
  CRTMP r;
  RTMPPacket packet;
  EXPECT_EQ(r.GetNextMediaPacket(packet), 0);
  EXPECT_EQ(packet.m_body, nullptr);
}

TEST(Dispatch, ControlAndCommandsBeforeMediaAreConsumedInOneCall)
{
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_methodCalls = {"FCSubscribe"};
  LogCapture log(LOG_LEVEL_DEBUG);
  peer.Send(Chunked(2, 0x04, Hex("00 06 00 00 00 2A")));
  peer.Send(Chunked(2, 0x01, Hex("00 00 01 00")));
  peer.Send(Chunked(3, 0x14, amf::Str("onBWDone") + amf::Num(0) + amf::Null()));
  peer.Send(Chunked(2, 0x05, Hex("00 26 25 A0")));
  peer.Send(Chunked(2, 0x06, Hex("00 26 25 A0 02")));
  peer.Send(Chunked(2, 0x03, Hex("00 00 10 00")));
  peer.Send(Chunked(5, 0x0F, "x"));
  peer.Send(Chunked(5, 0x10, "x"));
  peer.Send(Chunked(5, 0x13, "x"));
  peer.Send(Chunked(5, 0x07, "x"));
  const std::string video(300, 'v');
  peer.Send(Chunked(6, 0x09, video, 1, 40, 256));

  RTMPPacket packet;
  EXPECT_FALSE(r.m_bMediaReceived);
  ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
  EXPECT_EQ(packet.m_packetType, 0x09);
  EXPECT_EQ(packet.m_nTimeStamp, 40u);
  ASSERT_EQ(packet.m_nBodySize, video.size());
  EXPECT_EQ(std::string(packet.m_body, packet.m_nBodySize), video);
  EXPECT_TRUE(r.m_bMediaReceived);
  EXPECT_EQ(r.m_chunkSize, 256);

  std::vector<Message> msgs = peer.Received();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(ToHex(msgs[0].body), "00 07 00 00 00 2A");
  const char *lines[] = {
      "GetNextMediaPacket, received: server BW",
      "GetNextMediaPacket, received: client BW",
      "GetNextMediaPacket, received: bytes read report",
      "GetNextMediaPacket, flex stream send, size 1 bytes, not supported, ignoring",
      "GetNextMediaPacket, flex shared object, size 1 bytes, not supported, ignoring",
      "GetNextMediaPacket, shared object, not supported, ignoring",
      "GetNextMediaPacket, unknown packet type received: 0x07",
      "GetNextMediaPacket, received: invoke 21 bytes",
  };
  for (const char *sz : lines)
    EXPECT_TRUE(Contains(log, sz)) << sz;
}

TEST(Dispatch, AudioAndFlvDataAreReturnedAndCountAsMedia)
{
  const struct {
    uint8_t nType;
    std::string body;
  } cases[] = {{0x08, "audio"}, {0x09, ""}, {0x16, FlvTag(0x09, "frame")}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.nType);
    Peer peer;
    CRTMP &r = peer.Client();
    peer.Send(Chunked(4, c.nType, c.body, 1));
    RTMPPacket packet;
    ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
    EXPECT_EQ(packet.m_packetType, c.nType);
    EXPECT_EQ(packet.m_nBodySize, c.body.size());
    EXPECT_TRUE(r.m_bMediaReceived);
  }
}

TEST(Dispatch, OtherNotifyIsSkippedMetadataIsReturned)
{
  Peer peer;
  CRTMP &r = peer.Client();
  peer.Send(Chunked(5, 0x12, amf::Str("onCuePoint") + amf::Num(1)));
  peer.Send(Chunked(5, 0x12, MetaData(61.5)));
  RTMPPacket packet;
  {
    LogCapture log(LOG_LEVEL_INFO);
    ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
  }
  EXPECT_EQ(packet.m_packetType, 0x12);
  EXPECT_EQ(std::string(packet.m_body, packet.m_nBodySize), MetaData(61.5));
  EXPECT_EQ(r.GetDuration(), 61.5);
  EXPECT_FALSE(r.m_bMediaReceived);
}

TEST(Dispatch, StopStatusEndsTheStream)
{
  const struct {
    const char *szName;
    uint8_t nType;
    std::string body;
  } cases[] = {
      {"invoke", 0x14, Status("NetStream.Play.Stop")},
      {"flex message", 0x11, std::string(1, '\0') + Status("NetStream.Play.Complete")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    CRTMP &r = peer.Client();
    peer.Send(Chunked(5, c.nType, c.body, 1));
    RTMPPacket packet;
    EXPECT_EQ(r.GetNextMediaPacket(packet), 2);
    EXPECT_EQ(packet.m_packetType, c.nType);
    EXPECT_EQ(packet.m_nBodySize, c.body.size());
    EXPECT_FALSE(r.IsConnected());
    EXPECT_FALSE(r.IsRefused());
    EXPECT_EQ(r.GetNextMediaPacket(packet), 0);
  }
}

TEST(Dispatch, FailureStatusEndsWithNothing)
{
  Peer peer;
  CRTMP &r = peer.Client();
  peer.Send(Chunked(5, 0x14, Status("NetStream.Play.StreamNotFound")));
  peer.Send(Chunked(4, 0x08, "never read"));
  RTMPPacket packet;
  LogCapture log(LOG_LEVEL_ERROR);
  EXPECT_EQ(r.GetNextMediaPacket(packet), 0);
  EXPECT_FALSE(r.IsConnected());
  EXPECT_TRUE(r.IsRefused());
  EXPECT_EQ(packet.m_body, nullptr);
}

TEST(Dispatch, ShortFlexMessagesAreRefused)
{
  for (const std::string &body : {std::string(), std::string(1, '\0'), std::string(1, '\x02')}) {
    SCOPED_TRACE(body.size());
    Peer peer;
    CRTMP &r = peer.Client();
    peer.Send(Chunked(5, 0x11, body));
    peer.Send(Chunked(4, 0x08, "a"));
    LogCapture log(LOG_LEVEL_WARNING);
    RTMPPacket packet;
    EXPECT_EQ(r.GetNextMediaPacket(packet), 1);
    EXPECT_EQ(packet.m_packetType, 0x08);
    EXPECT_TRUE(Contains(log, "empty invoke packet")) << log.Text();
  }
}

TEST(Dispatch, ServerClosingEndsTheLoop)
{
  Peer peer;
  CRTMP &r = peer.Client();
  // Half a message, then the server goes away.
  peer.Send(Chunked(4, 0x09, std::string(300, 'v'), 1).substr(0, 150));
  peer.CloseServerWrite();
  RTMPPacket packet;
  LogCapture log(LOG_LEVEL_ERROR);
  EXPECT_EQ(r.GetNextMediaPacket(packet), 0);
  EXPECT_TRUE(Contains(log, "ERROR: ReadPacket, "));
  EXPECT_FALSE(r.IsConnected());
  EXPECT_FALSE(r.IsRefused());
  EXPECT_EQ(packet.m_body, nullptr);
}

// Abort (type 2) names a chunk stream whose partial message the server gave
// up; the next chunk there starts a new message even with a type-2 header.
TEST(Dispatch, AbortReleasesThePartialMessageOnly)
{
  const std::string old = Pattern(200, 1), fresh = Pattern(200, 9);
  const std::string whole = Chunked(6, 0x09, old, 1, 1000);
  const struct {
    const char *szName;
    std::string before;  // on chunk stream 6 before the abort
    uint32_t nAbort;
    bool bOldReturned;
  } cases[] = {
      {"partial message", whole.substr(0, 12 + 128), 6, false},
      {"completed message", whole, 6, true},
      {"unused chunk stream", whole, 65599, true},
      {"beyond every chunk stream", whole, 0xFFFFFFFF, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    CRTMP &r = peer.Client();
    // Type 2, delta 40: size, type and stream id of the last header on 6.
    peer.Send(c.before + Chunked(2, 0x02, Be(c.nAbort, 4)) + Hex("86 00 00 28") + fresh.substr(0, 128) + Hex("C6") +
              fresh.substr(128) + Chunked(4, 0x08, "a", 1));
    peer.CloseServerWrite();
    RTMPPacket packet;
    LogCapture log(LOG_LEVEL_CRIT);
    if (c.bOldReturned) {
      ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
      EXPECT_EQ(std::string(packet.m_body, packet.m_nBodySize), old);
    }
    ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
    EXPECT_EQ(packet.m_packetType, 0x09);
    EXPECT_EQ(packet.m_nTimeStamp, 1040u);
    EXPECT_EQ(ToHex(std::string(packet.m_body, packet.m_nBodySize)), ToHex(fresh));
    ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
    EXPECT_EQ(packet.m_packetType, 0x08);
  }
}

TEST(FlvData, MetadataInsideTheRunIsHandled)
{
  const std::string script = MetaData(12.25);
  const struct {
    const char *szName;
    std::string run;
    bool bCorrupt;
  } cases[] = {
      {"script then video", FlvTag(0x12, script) + FlvTag(0x09, "frame"), false},
      {"second tag claims too much", FlvTag(0x12, script) + FlvTag(0x09, "frame", 6), true},
      {"size near 2^24", FlvTag(0x12, script) + FlvTag(0x09, "frame", 0xFFFFFF), true},
      // Fewer than 12 bytes left are not looked at.
      {"short tail", FlvTag(0x12, script) + Hex("09 00 00 FF 00 00 00 00 00 00 00"), false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    CRTMP &r = peer.Client();
    peer.Send(Chunked(4, 0x16, c.run, 1));
    LogCapture log(LOG_LEVEL_WARNING);
    RTMPPacket packet;
    ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
    EXPECT_EQ(packet.m_nBodySize, c.run.size());
    EXPECT_EQ(r.GetDuration(), 12.25);
    EXPECT_EQ(Contains(log, "WARNING: Stream corrupt?!\n"), c.bCorrupt) << log.Text();
  }
}

TEST(FlvData, CorruptFirstTagStillReturnsTheRun)
{
  Peer peer;
  CRTMP &r = peer.Client();
  const std::string run = FlvTag(0x12, MetaData(5), 1000);
  peer.Send(Chunked(4, 0x16, run, 1));
  LogCapture log(LOG_LEVEL_WARNING);
  RTMPPacket packet;
  ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
  EXPECT_EQ(r.GetDuration(), 0.0);
  EXPECT_TRUE(Contains(log, "Stream corrupt?!"));
}
