// The chunk writer: the exact bytes it puts on the wire.

#include <gtest/gtest.h>

#include "log_capture.h"
#include "transport_fixture.h"

using RTMP_LIB::CRTMP;
using RTMP_LIB::RTMPPacket;
using transport_test::Hex;
using transport_test::Pattern;
using transport_test::SocketPair;
using transport_test::ToHex;

namespace {

struct Msg {
  int nChannel;
  uint8_t nHeaderType;
  uint8_t nType;
  uint32_t nTime;
  std::string body;
  int32_t nStreamId;
};

// Sends one message; the body stays the caller's.
bool Send(CRTMP &r, const Msg &m, RTMPPacket *pOut = nullptr)
{
  RTMPPacket p;
  p.m_nChannel = m.nChannel;
  p.m_headerType = m.nHeaderType;
  p.m_packetType = m.nType;
  p.m_nInfoField1 = m.nTime;
  p.m_nInfoField2 = m.nStreamId;
  std::string body = m.body;
  p.m_nBodySize = static_cast<uint32_t>(body.size());
  p.m_body = body.empty() ? nullptr : &body[0];
  bool bOk = r.SendRTMP(p);
  if (pOut != nullptr)
    *pOut = p;
  p.m_body = nullptr;
  if (pOut != nullptr)
    pOut->m_body = nullptr;
  return bOk;
}

// An AMF0 invoke body: the name, then filler up to nSize bytes.
std::string Invoke(const std::string &name, size_t nSize)
{
  std::string body = Hex("02") + std::string(1, '\0') + std::string(1, static_cast<char>(name.size())) + name;
  body += Pattern(nSize > body.size() ? nSize - body.size() : 0);
  return body.substr(0, nSize);
}

}  // namespace

TEST(ChunkWriter, HeaderCompressionAgainstTheLastMessageOnTheStream)
{
  struct Case {
    const char *name;
    Msg prev;
    Msg next;
    const char *header;  // of the second message
  } cases[] = {
      {"same size, type and time", {3, 0, 0x04, 5, "abcd", 0}, {3, 1, 0x04, 5, "wxyz", 0}, "C3"},
      {"new time", {3, 0, 0x04, 5, "abcd", 0}, {3, 1, 0x04, 6, "wxyz", 0}, "83 00 00 06"},
      {"new size", {3, 0, 0x04, 5, "abcd", 0}, {3, 1, 0x04, 5, "wxy", 0}, "43 00 00 05 00 00 03 04"},
      {"new type", {3, 0, 0x04, 5, "abcd", 0}, {3, 1, 0x05, 5, "wxyz", 0}, "43 00 00 05 00 00 04 05"},
      {"type 0 stays whole", {3, 0, 0x04, 5, "abcd", 7}, {3, 0, 0x04, 5, "wxyz", 7}, "03 00 00 05 00 00 04 04 07 00 00 00"},
      {"other stream", {4, 0, 0x04, 5, "abcd", 0}, {3, 1, 0x04, 5, "wxyz", 0}, "43 00 00 05 00 00 04 04"},
      {"type 2 asked, same time", {3, 0, 0x04, 5, "abcd", 0}, {3, 2, 0x04, 5, "wxyz", 0}, "C3"},
      {"stream id little-endian", {3, 1, 0x04, 5, "ab", 0}, {3, 0, 0x04, 5, "ab", 0x01020304},
       "03 00 00 05 00 00 02 04 04 03 02 01"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair pair;
    CRTMP &r = pair.Client();
    ASSERT_TRUE(Send(r, c.prev));
    pair.Drain();
    RTMPPacket sent;
    ASSERT_TRUE(Send(r, c.next, &sent));
    EXPECT_EQ(ToHex(pair.Drain()), ToHex(Hex(c.header) + c.next.body));
    // The saved header is the one sent, without a body.
    const RTMPPacket &saved = r.ChannelOut(c.next.nChannel);
    EXPECT_EQ(saved.m_headerType, sent.m_headerType);
    EXPECT_EQ(saved.m_nBodySize, c.next.body.size());
    EXPECT_EQ(saved.m_nInfoField1, c.next.nTime);
    EXPECT_EQ(saved.m_body, nullptr);
  }
}

TEST(ChunkWriter, SplitsAt128WhateverTheServerAnnounced)
{
  struct Case {
    uint8_t nType;
    size_t nSize;
    int nContinuations;
  } cases[] = {
      {0x14, 200, 1}, {0x14, 128, 0}, {0x14, 129, 1}, {0x14, 300, 2}, {0x04, 10, 0}, {0x12, 300, 2}, {0x04, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.nType) << " size " << c.nSize);
    SocketPair pair;
    CRTMP &r = pair.Client();
    r.m_chunkSize = 4096;  // the server's direction only
    std::string body = c.nType == 0x14 ? Invoke("play", c.nSize) : Pattern(c.nSize);
    ASSERT_TRUE(Send(r, {3, 0, c.nType, 0, body, 0}));
    std::string expect = Hex("03 00 00 00") + Hex("00") + std::string(1, char(c.nSize >> 8)) +
                         std::string(1, char(c.nSize & 0xff)) + std::string(1, char(c.nType)) + Hex("00 00 00 00");
    for (size_t nPos = 0; nPos < body.size(); nPos += 128) {
      if (nPos > 0)
        expect += Hex("C3");
      expect += body.substr(nPos, 128);
    }
    std::string wire = pair.Drain();
    EXPECT_EQ(ToHex(wire), ToHex(expect));
    EXPECT_EQ(wire.size(), 12 + c.nSize + c.nContinuations);
  }
}

TEST(ChunkWriter, ExtendedTimestamps)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  const std::string body = Invoke("a", 200);
  // 16777221 does not fit 24 bits: FF FF FF, then 01 00 00 05 after the
  // header and after every continuation header.
  ASSERT_TRUE(Send(r, {3, 0, 0x14, 16777221, body, 0}));
  EXPECT_EQ(ToHex(pair.Drain()), ToHex(Hex("03 FF FF FF 00 00 C8 14 00 00 00 00 01 00 00 05") + body.substr(0, 128) +
                                       Hex("C3 01 00 00 05") + body.substr(128)));
  // Compressed to type 3, the 4 bytes still follow.
  ASSERT_TRUE(Send(r, {3, 1, 0x14, 16777221, body, 0}));
  EXPECT_EQ(ToHex(pair.Drain()),
            ToHex(Hex("C3 01 00 00 05") + body.substr(0, 128) + Hex("C3 01 00 00 05") + body.substr(128)));

  struct Case {
    uint32_t nTime;
    const char *header;
  } cases[] = {
      {0xFFFFFE, "42 FF FF FE 00 00 01 04"},
      {0xFFFFFF, "42 FF FF FF 00 00 01 04 00 FF FF FF"},
      {0xFFFFFFFF, "42 FF FF FF 00 00 01 04 FF FF FF FF"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.header);
    SocketPair other;
    ASSERT_TRUE(Send(other.Client(), {2, 1, 0x04, c.nTime, "x", 0}));
    EXPECT_EQ(ToHex(other.Drain()), ToHex(Hex(c.header) + "x"));
  }
}

TEST(ChunkWriter, BasicHeaderForms)
{
  struct Case {
    int nChannel;
    const char *first;
    const char *continuation;
  } cases[] = {
      {2, "02", "C2"},          {63, "3F", "FF"},          {64, "00 00", "C0 00"},         {319, "00 FF", "C0 FF"},
      {320, "01 00 01", "C1 00 01"}, {577, "01 01 02", "C1 01 02"}, {65599, "01 FF FF", "C1 FF FF"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.nChannel);
    SocketPair pair;
    const std::string body = Pattern(130);
    ASSERT_TRUE(Send(pair.Client(), {c.nChannel, 0, 0x09, 1, body, 0}));
    EXPECT_EQ(ToHex(pair.Drain()), ToHex(Hex(c.first) + Hex("00 00 01 00 00 82 09 00 00 00 00") +
                                         body.substr(0, 128) + Hex(c.continuation) + body.substr(128)));
  }
  // Ids the wire cannot carry are refused.
  for (int nChannel : {0, 1, 65600, -1}) {
    SCOPED_TRACE(nChannel);
    SocketPair pair;
    LogCapture log(LOG_LEVEL_ERROR);
    EXPECT_FALSE(Send(pair.Client(), {nChannel, 0, 0x09, 1, "x", 0}));
    EXPECT_EQ(pair.Drain(), "");
    EXPECT_NE(log.Text().find("SendRTMP, invalid chunk stream id"), std::string::npos);
  }
}

TEST(ChunkWriter, RecordsTheNameOfEveryInvokeSent)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  ASSERT_TRUE(Send(r, {3, 0, 0x14, 0, Invoke("connect", 300), 0}));
  ASSERT_TRUE(Send(r, {2, 1, 0x04, 0, Hex("00 03 00 00 00 01"), 0}));
  ASSERT_TRUE(Send(r, {3, 1, 0x14, 0, Invoke("createStream", 25), 0}));
  ASSERT_TRUE(Send(r, {3, 1, 0x14, 0, Invoke("_result", 25), 0}));
  // A name whose length runs past the body is recorded empty, keeping the order.
  ASSERT_TRUE(Send(r, {3, 1, 0x14, 0, Hex("02 00 10 61 62"), 0}));
  std::vector<std::string> expect = {"connect", "createStream", "_result", ""};
  EXPECT_EQ(r.m_methodCalls, expect);
}

TEST(ChunkWriter, FailedSendsChangeNothing)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  ASSERT_TRUE(Send(r, {3, 0, 0x14, 0, Invoke("connect", 40), 0}));
  pair.Drain();

  {
    // A header type the wire does not have.
    LogCapture log(LOG_LEVEL_ERROR);
    EXPECT_FALSE(Send(r, {3, 4, 0x14, 0, Invoke("play", 40), 0}));
    EXPECT_NE(log.Text().find("ERROR: sanity failed!! tring to send header of type: 0x04."), std::string::npos);
    EXPECT_EQ(pair.Drain(), "");
  }
  {
    // A body smaller than the size claimed.
    LogCapture log(LOG_LEVEL_ERROR);
    RTMPPacket p;
    p.m_nChannel = 3;
    p.m_packetType = 0x14;
    ASSERT_TRUE(p.AllocPacket(8));
    p.m_nBodySize = 9;
    EXPECT_FALSE(r.SendRTMP(p));
    EXPECT_NE(log.Text().find("SendRTMP, invalid body of 9 bytes"), std::string::npos);
  }
  // On a closed connection nothing is written and nothing recorded.
  r.Close();
  LogCapture log(LOG_LEVEL_WARNING);
  RTMPPacket before;
  before = r.ChannelOut(3);
  EXPECT_FALSE(Send(r, {3, 1, 0x14, 9, Invoke("play", 60), 0}));
  EXPECT_NE(log.Text().find("WARNING: SendRTMP: couldn't send rtmp header"), std::string::npos);
  EXPECT_EQ(r.m_methodCalls, std::vector<std::string>{"connect"});
  EXPECT_EQ(r.ChannelOut(3).m_nBodySize, before.m_nBodySize);
  EXPECT_EQ(r.ChannelOut(3).m_nInfoField1, before.m_nInfoField1);
  EXPECT_EQ(pair.Drain(), "");
}
