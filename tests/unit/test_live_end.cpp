// Live recordings against real live servers: the end of a publication ends
// the download, "@setDataFrame" metadata is handed on as onMetaData, the live
// position counts from the first media that is not a codec configuration, and
// media on message stream 0 is accepted.
#include <gtest/gtest.h>

#include <cstdlib>

#include "download/continuation.h"
#include "download/flv_writer.h"
#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::CRTMP;
using RTMP_LIB::RTMPPacket;
using RTMP_LIB::StreamParams;
using RTMP_LIB::StreamState;

namespace {

const char kStreamEOFLine[] = "Stream EOF for stream 1: the publisher stopped, ending the recording\n";
const char kUnpublishLine[] = "NetStream.Play.UnpublishNotify: the publisher stopped, ending the recording\n";

std::string StreamEOF(uint32_t nStreamId)
{
  return Chunked(2, 0x04, Hex("00 01") + Be(nStreamId, 4));
}

std::string Status(const std::string &code)
{
  return Chunked(5, 0x14, amf::Str("onStatus") + amf::Num(0) + amf::Null() + amf::Info(code), 1);
}

// One message of at most 128 bytes in one chunk with a full header; times
// from 0xFFFFFF on go in the extended field, as live publishers' times do.
std::string OneChunk(int nChannel, uint8_t nType, const std::string &body, uint32_t nStreamId, uint32_t nTime)
{
  EXPECT_LE(body.size(), 128u);
  const bool bExtended = nTime >= 0xFFFFFF;
  std::string out(1, static_cast<char>(nChannel));
  out += Be(bExtended ? 0xFFFFFF : nTime, 3) + Be(body.size(), 3) + std::string(1, static_cast<char>(nType));
  for (int i = 0; i < 4; i++)
    out.push_back(static_cast<char>((nStreamId >> (8 * i)) & 0xff));
  if (bExtended)
    out += Be(nTime, 4);
  return out + body;
}

std::string Video(uint32_t nTime, uint32_t nStreamId = 1)
{
  return OneChunk(6, 0x09, Hex("27 01 00 00 00 AA BB"), nStreamId, nTime);
}

std::string MetaObject(double dDuration)
{
  return amf::EcmaStart(1) + amf::Key("duration") + amf::Num(dDuration) + amf::ObjEnd();
}

// Owns a malloc'ed work buffer the way the download loop does.
class WorkBuffer
{
public:
  WorkBuffer() : m_p(static_cast<char *>(calloc(1, 1048576))) {}
  ~WorkBuffer() { free(m_p); }
  WorkBuffer(const WorkBuffer &) = delete;
  WorkBuffer &operator=(const WorkBuffer &) = delete;
  char **Address() { return &m_p; }
  const char *Data() const { return m_p; }

private:
  char *m_p;
};

std::string Tag(uint8_t nType, uint32_t nTime, const std::string &data)
{
  return std::string(1, static_cast<char>(nType)) + Be(data.size(), 3) + Be(nTime & 0xffffff, 3) +
         std::string(1, static_cast<char>(nTime >> 24)) + Hex("00 00 00") + data + Be(data.size() + 11, 4);
}

}  // namespace

// What one GetNextMediaPacket call makes of an end signal that follows
// media (or comes first), in live and recorded mode. When the signal does not
// end the recording the call reads on to the video message behind it.
TEST(LiveEnd, EndSignalsEndOnlyALiveStreamAfterMedia)
{
  const struct {
    const char *szName;
    bool bLive;
    bool bMediaFirst;
    std::string signal;
    bool bEnds;
    const char *szLine;  // printed at the default level when it ends
  } cases[] = {
      {"stream EOF, live, after media", true, true, StreamEOF(1), true, kStreamEOFLine},
      {"stream EOF for another stream", true, true, StreamEOF(2), false, nullptr},
      {"stream EOF before any media", true, false, StreamEOF(1), false, nullptr},
      {"stream EOF, recorded", false, true, StreamEOF(1), false, nullptr},
      {"stream EOF without a stream id", true, true, Chunked(2, 0x04, Hex("00 01 00 00")), false, nullptr},
      {"stream begin", true, true, Chunked(2, 0x04, Hex("00 00 00 00 00 01")), false, nullptr},
      {"unpublish, live, after media", true, true, Status("NetStream.Play.UnpublishNotify"), true, kUnpublishLine},
      {"unpublish before any media", true, false, Status("NetStream.Play.UnpublishNotify"), false, nullptr},
      {"unpublish, recorded", false, true, Status("NetStream.Play.UnpublishNotify"), false, nullptr},
      {"publish notify", true, true, Status("NetStream.Play.PublishNotify"), false, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_bLiveStream = c.bLive;
    r.m_stream_id = 1;
    LogCapture log(1);
    RTMPPacket packet;
    if (c.bMediaFirst) {
      peer.Send(Video(100));
      ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
      packet.FreePacket();
    }
    peer.Send(c.signal + Video(200));
    int nRes = r.GetNextMediaPacket(packet);
    if (c.bEnds) {
      EXPECT_EQ(nRes, 2);
      EXPECT_FALSE(r.IsConnected());
      EXPECT_EQ(log.Text(), std::string("\r") + c.szLine);
    } else {
      EXPECT_EQ(nRes, 1);
      EXPECT_EQ(packet.m_packetType, 0x09);
      EXPECT_EQ(packet.m_nTimeStamp, 200u);
      EXPECT_TRUE(r.IsConnected());
      EXPECT_EQ(log.Text().find("the publisher stopped"), std::string::npos) << log.Text();
    }
  }
}

TEST(LiveEnd, SignalsBeforeMediaAreLoggedWithVerbose)
{
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_bLiveStream = true;
  r.m_stream_id = 1;
  LogCapture log(LOG_LEVEL_INFO);
  peer.Send(StreamEOF(1) + Status("NetStream.Play.UnpublishNotify") + Video(0));
  RTMPPacket packet;
  ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
  EXPECT_TRUE(Contains(log, "INFO: HandleStreamEOF, stream EOF for stream 1 before any media, "
                            "waiting for the publisher"));
  EXPECT_TRUE(Contains(log, "INFO: HandleInvoke, NetStream.Play.UnpublishNotify before any media, "
                            "waiting for the publisher"));
}

// The download loop sees the stream EOF as the server's end of play.
TEST(LiveEnd, WriteStreamTakesTheStreamEOFAsTheEndOfPlay)
{
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_bLiveStream = true;
  r.m_stream_id = 1;
  peer.Send(Video(17000000) + StreamEOF(1));
  StreamParams params;
  params.bLiveStream = true;
  StreamState state;
  WorkBuffer buf;
  uint32_t nPosition = 0;
  unsigned char dataTypes = 0;
  LogCapture log(1);
  EXPECT_EQ(WriteStream(&r, buf.Address(), 1048576, &nPosition, params, state, &dataTypes), 22);
  EXPECT_FALSE(state.bEndOfPlay);
  EXPECT_EQ(WriteStream(&r, buf.Address(), 1048576, &nPosition, params, state, &dataTypes), 0);
  EXPECT_TRUE(state.bEndOfPlay);
  EXPECT_FALSE(r.IsConnected());
  EXPECT_EQ(WriteStream(&r, buf.Address(), 1048576, &nPosition, params, state, &dataTypes), -1);
}

// A notify of "@setDataFrame", "onMetaData", {...} is metadata without its
// first value, in live and recorded mode; anything else keeps the old rules:
// only a notify that starts with "onMetaData" is returned.
TEST(SetDataFrame, ReturnedAsOnMetaDataWithoutTheFirstValue)
{
  const std::string setDataFrame = amf::Str("@setDataFrame");
  const std::string onMetaData = amf::Str("onMetaData");
  const struct {
    const char *szName;
    std::string body;
    std::string returned;  // the body returned, empty: the notify is dropped
  } cases[] = {
      {"set data frame", setDataFrame + onMetaData + MetaObject(12.5), onMetaData + MetaObject(12.5)},
      {"plain onMetaData", onMetaData + MetaObject(12.5), onMetaData + MetaObject(12.5)},
      {"set data frame of a cue point", setDataFrame + amf::Str("onCuePoint") + MetaObject(12.5), ""},
      {"set data frame alone", setDataFrame, ""},
      {"set data frame and a cut name", setDataFrame + onMetaData.substr(0, 9), ""},
      {"set data frame and an undecodable object", setDataFrame + onMetaData + Hex("12 00 00"), ""},
      {"onMetaData as a later value", setDataFrame + amf::Num(1) + onMetaData + MetaObject(12.5), ""},
      {"a longer first name", amf::Str("@setDataFrameX") + onMetaData + MetaObject(12.5), ""},
  };
  for (bool bLive : {false, true}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(std::string(c.szName) + (bLive ? ", live" : ", recorded"));
      Peer peer;
      CRTMP &r = peer.Client();
      r.m_bLiveStream = bLive;
      LogCapture log(1);
      peer.Send(Chunked(5, 0x12, c.body, 1, 0) + Video(40));
      RTMPPacket packet;
      ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
      if (c.returned.empty()) {
        EXPECT_EQ(packet.m_packetType, 0x09);
        EXPECT_EQ(r.GetDuration(), 0.0);
        continue;
      }
      EXPECT_EQ(packet.m_packetType, 0x12);
      EXPECT_TRUE(packet.IsReady());
      EXPECT_EQ(ToHex(std::string(packet.m_body, packet.m_nBodySize)), ToHex(c.returned));
      EXPECT_EQ(r.GetDuration(), 12.5);
      EXPECT_TRUE(Contains(log, "Metadata:")) << log.Text();
      EXPECT_TRUE(Contains(log, "  duration              12.50\n")) << log.Text();
    }
  }
}

TEST(SetDataFrame, WrittenAsAnOnMetaDataScriptTag)
{
  Peer peer;
  const std::string onMetaData = amf::Str("onMetaData") + MetaObject(30);
  peer.Send(Chunked(5, 0x12, amf::Str("@setDataFrame") + onMetaData, 1, 0));
  StreamParams params;
  StreamState state;
  WorkBuffer buf;
  uint32_t nPosition = 0;
  unsigned char dataTypes = 0;
  LogCapture log(0);
  int n = WriteStream(&peer.Client(), buf.Address(), 1048576, &nPosition, params, state, &dataTypes);
  const std::string expected = Tag(18, 0, onMetaData);
  ASSERT_EQ(n, static_cast<int>(expected.size()));
  EXPECT_EQ(ToHex(std::string(buf.Data(), expected.size())), ToHex(expected));
}

// The live position, which the stop offset is measured against, counts from
// the first media message that is not a codec configuration; the tags keep
// the stream's own times.
TEST(LivePosition, CodecConfigurationsDoNotSetTheOrigin)
{
  const std::string avcHeader = Hex("17 00 00 00 00 01 64 00 1F");
  const std::string hevcHeader = Hex("1C 00 00 00 00 01 02 03");
  const std::string exHeader = Hex("90 68 76 63 31 01 02 03");  // extended header, sequence start
  const std::string aacHeader = Hex("AF 00 12 10");
  const std::string avcKeyframe = Hex("17 01 00 00 00 AA BB");
  const std::string aacFrame = Hex("AF 01 21 00");
  const std::string mp3Frame = Hex("2F 00 FF FB");
  const std::string opusHeader = Hex("90 4F 70 75 73 4F 70 75 73 48 65 61 64");  // Enhanced audio sequence start
  const std::string opusFrame = Hex("91 4F 70 75 73 FC FF FE");
  const std::string exKeyframe = Hex("91 68 76 63 31 00 00 00 AA BB");
  struct Msg {
    uint8_t nType;
    uint32_t nTime;
    std::string body;
  };
  const struct {
    const char *szName;
    bool bLive;
    std::vector<Msg> msgs;
    std::vector<uint32_t> positions;  // after each message, from a start of 0
  } cases[] = {
      {"late joiner",
       true,
       {{9, 0, avcHeader}, {8, 0, aacHeader}, {9, 17000000, avcKeyframe}, {8, 17000020, aacFrame},
        {9, 17005000, avcKeyframe}},
       {0, 0, 0, 20, 5000}},
      {"HEVC and extended headers",
       true,
       {{9, 0, hevcHeader}, {9, 0, exHeader}, {9, 300, avcKeyframe}, {9, 800, avcKeyframe}},
       {0, 0, 0, 500}},
      {"Enhanced sequence starts",
       true,
       {{8, 0, opusHeader}, {9, 0, exHeader}, {9, 17000000, exKeyframe}, {8, 17000020, opusFrame}},
       {0, 0, 0, 20}},
      {"a frame sets the origin", true, {{9, 0, avcKeyframe}, {9, 17000000, avcKeyframe}}, {0, 17000000}},
      {"an MP3 frame is no configuration", true, {{8, 1000, mp3Frame}, {8, 3000, mp3Frame}}, {0, 2000}},
      {"a later sequence header counts", true, {{9, 5000, avcKeyframe}, {9, 9000, avcHeader}}, {0, 4000}},
      // A newcomer's audio may run ahead of the video held back for a keyframe.
      {"audio ahead of the video", true, {{8, 3970, mp3Frame}, {9, 3960, avcKeyframe}}, {0, 0}},
      {"recorded", false, {{9, 0, avcHeader}, {9, 4000, avcKeyframe}}, {0, 4000}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    for (const Msg &m : c.msgs)
      peer.Send(OneChunk(m.nType == 8 ? 4 : 6, m.nType, m.body, 1, m.nTime));
    StreamParams params;
    params.bLiveStream = c.bLive;
    StreamState state;
    WorkBuffer buf;
    uint32_t nPosition = 0;
    unsigned char dataTypes = 0;
    // The download follows a live stream's written tags across reconnections
    // and counts the same position from them.
    RTMP_LIB::StreamContinuation cont;
    for (size_t i = 0; i < c.msgs.size(); i++) {
      const Msg &m = c.msgs[i];
      int n = WriteStream(&peer.Client(), buf.Address(), 1048576, &nPosition, params, state, &dataTypes);
      const std::string expected = Tag(m.nType, m.nTime, m.body);
      ASSERT_EQ(n, static_cast<int>(expected.size())) << "message " << i;
      EXPECT_EQ(ToHex(std::string(buf.Data(), expected.size())), ToHex(expected)) << "message " << i;
      EXPECT_EQ(nPosition, c.positions[i]) << "message " << i;
      cont.Record(buf.Data(), static_cast<size_t>(n));
      if (c.bLive) {
        EXPECT_EQ(cont.LivePosition(), c.positions[i]) << "message " << i;
      }
    }
  }
}

// node-media-server sends media on message stream 0, not on the stream the
// client created: nothing may filter by message stream id.
TEST(MessageStreamZero, MediaIsAccepted)
{
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_bLiveStream = true;
  r.m_stream_id = 1;
  LogCapture log(0);
  const std::string meta = amf::Str("onMetaData") + MetaObject(7);
  peer.Send(Chunked(5, 0x12, amf::Str("@setDataFrame") + meta, 0, 0) + Video(40, 0) +
            Chunked(4, 0x08, Hex("AF 01 21"), 0, 60));
  const uint8_t types[] = {0x12, 0x09, 0x08};
  for (uint8_t nType : types) {
    RTMPPacket packet;
    ASSERT_EQ(r.GetNextMediaPacket(packet), 1);
    EXPECT_EQ(packet.m_packetType, nType);
    EXPECT_EQ(packet.m_nInfoField2, 0);
  }
  EXPECT_EQ(r.GetDuration(), 7.0);
}
