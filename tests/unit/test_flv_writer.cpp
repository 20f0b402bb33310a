// The FLV header and the rendering of media messages as FLV tags, fed as
// literal server chunks through a socketpair.
#include <gtest/gtest.h>

#include <cstdlib>

#include "download/flv_writer.h"
#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::CRTMP;
using RTMP_LIB::StreamParams;
using RTMP_LIB::StreamState;

namespace {

struct Rendered {
  int nResult = 0;
  std::string out;
  uint32_t nPosition = 0;
  unsigned char dataTypes = 0;
};

// Owns a malloc'ed work buffer the way the download loop does.
class WorkBuffer
{
public:
  explicit WorkBuffer(size_t n) : m_p(static_cast<char *>(calloc(1, n))), m_n(static_cast<unsigned>(n)) {}
  ~WorkBuffer() { free(m_p); }
  char **Address() { return &m_p; }
  unsigned Size() const { return m_n; }
  const char *Data() const { return m_p; }

private:
  char *m_p;
  unsigned m_n;
};

Rendered RenderNext(CRTMP &r, const StreamParams &params, StreamState &state, uint32_t nStartPosition = 0,
                    size_t nBufferSize = 1048576)
{
  WorkBuffer buf(nBufferSize);
  Rendered out;
  out.nPosition = nStartPosition;
  out.nResult = WriteStream(&r, buf.Address(), buf.Size(), &out.nPosition, params, state, &out.dataTypes);
  if (out.nResult > 0)
    out.out.assign(buf.Data(), static_cast<size_t>(out.nResult));
  return out;
}

std::string Tag(uint8_t nType, uint32_t nTime, const std::string &data)
{
  return std::string(1, static_cast<char>(nType)) + Be(data.size(), 3) + Be(nTime & 0xffffff, 3) +
         std::string(1, static_cast<char>(nTime >> 24)) + Hex("00 00 00") + data + Be(data.size() + 11, 4);
}

std::string MetaBody()
{
  return amf::Str("onMetaData") + amf::EcmaStart(1) + amf::Key("duration") + amf::Num(12.5) + amf::ObjEnd();
}

std::string Keyframe(size_t n, int nSeed)
{
  return Hex("17 01") + Be(0, 3) + std::string(n - 5, static_cast<char>(nSeed));
}

}  // namespace

TEST(WriteHeader, WritesTheThirteenBytesAndGrowsASmallBuffer)
{
  for (size_t nSize : {size_t(1048576), size_t(13), size_t(4)}) {
    SCOPED_TRACE(nSize);
    WorkBuffer buf(nSize);
    ASSERT_EQ(WriteHeader(buf.Address(), buf.Size()), 13);
    EXPECT_EQ(ToHex(std::string(buf.Data(), 13)), ToHex(Hex("46 4C 56 01 05 00 00 00 09 00 00 00 00")));
  }
}

TEST(WriteStream, RendersPlainMessagesAsTags)
{
  const std::string audio200 = std::string(1, '\xAF') + std::string(199, '\x33');
  const struct {
    const char *szName;
    std::string wire;       // the server's chunks
    uint32_t nSeekTime;
    bool bLive;
    std::string expected;   // the tag bytes
    uint32_t nPosition;     // after the call, from a start of 7
    unsigned char dataTypes;
  } cases[] = {
      {"audio at 1000", Chunked(4, 0x08, audio200, 1, 1000), 0, false,
       Hex("08 00 00 C8 00 03 E8 00 00 00 00") + audio200 + Hex("00 00 00 D3"), 1000, 0x04},
      {"video of 6 bytes", Chunked(6, 0x09, Hex("27 01 00 00 00 AA"), 1, 40), 0, false,
       Hex("09 00 00 06 00 00 28 00 00 00 00 27 01 00 00 00 AA 00 00 00 11"), 40, 0x01},
      // Message times that restart at 0 after play from S count from S; the
      // extended byte carries bits 24 to 31 of the sum.
      {"relative times after a seek", Chunked(4, 0x08, Hex("AF 01"), 1, 1000000), 16000000, false,
       Hex("08 00 00 02 03 66 40 01 00 00 00 AF 01 00 00 00 0D"), 17000000, 0x04},
      // A first media time of at least S/2 means the server keeps absolute times.
      {"absolute times after a seek", Chunked(4, 0x08, Hex("AF 01"), 1, 10040), 10000, false,
       Tag(8, 10040, Hex("AF 01")), 10040, 0x04},
      {"extended timestamp on the wire",
       Hex("04 FF FF FF 00 00 02 08 01 00 00 00 01 00 00 05 AF 01"), 0, false,
       Hex("08 00 00 02 00 00 05 01 00 00 00 AF 01 00 00 00 0D"), 16777221, 0x04},
      {"metadata moves neither the position nor the types", Chunked(5, 0x12, MetaBody(), 1, 0), 0, false,
       Tag(18, 0, MetaBody()), 7, 0x00},
      {"metadata before the first media message counts from S", Chunked(5, 0x12, MetaBody(), 1, 0), 5000, false,
       Tag(18, 5000, MetaBody()), 7, 0x00},
      // A live publisher's running time: the position counts from the first
      // media message, the tag keeps the time received.
      {"live", Chunked(4, 0x08, Hex("AF 01"), 1, 3600000), 0, true, Tag(8, 3600000, Hex("AF 01")), 0, 0x04},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    LogCapture log(LOG_LEVEL_ERROR);
    peer.Send(c.wire);
    StreamParams params;
    params.nSeekTime = c.nSeekTime;
    params.bLiveStream = c.bLive;
    StreamState state;
    Rendered r = RenderNext(peer.Client(), params, state, 7);
    EXPECT_EQ(r.nResult, static_cast<int>(c.expected.size()));
    EXPECT_EQ(ToHex(r.out), ToHex(c.expected));
    EXPECT_EQ(r.nPosition, c.nPosition);
    EXPECT_EQ(r.dataTypes, c.dataTypes);
  }
}

TEST(WriteStream, TimeModelAndLivePositionHoldForTheWholeDownload)
{
  const struct {
    const char *szName;
    uint32_t nSeekTime;
    bool bLive;
    uint32_t times[3];        // message times of audio messages
    uint32_t tagTimes[3];
    uint32_t positions[3];
  } cases[] = {
      {"relative", 10000, false, {0, 4000, 9000}, {10000, 14000, 19000}, {10000, 14000, 19000}},
      {"absolute", 10000, false, {10000, 14000, 19000}, {10000, 14000, 19000}, {10000, 14000, 19000}},
      {"no seek", 0, false, {0, 40, 80}, {0, 40, 80}, {0, 40, 80}},
      {"live", 0, true, {500000, 502000, 505000}, {500000, 502000, 505000}, {0, 2000, 5000}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    StreamParams params;
    params.nSeekTime = c.nSeekTime;
    params.bLiveStream = c.bLive;
    StreamState state;
    for (int i = 0; i < 3; i++)
      peer.Send(Chunked(4, 0x08, Hex("AF 01"), 1, c.times[i]));
    for (int i = 0; i < 3; i++) {
      Rendered r = RenderNext(peer.Client(), params, state);
      EXPECT_EQ(ToHex(r.out), ToHex(Tag(8, c.tagTimes[i], Hex("AF 01")))) << "message " << i;
      EXPECT_EQ(r.nPosition, c.positions[i]) << "message " << i;
    }
  }
}

TEST(WriteStream, DropsMessagesTooSmallForAFrame)
{
  const struct {
    const char *szName;
    uint8_t nType;
    std::string body;
    const char *szWarning;  // null: dropped silently
  } cases[] = {
      {"video info frame of 2 bytes", 0x09, Hex("52 00"), nullptr},
      {"video keyframe of 2 bytes", 0x09, Hex("17 00"), "ignoring too small video packet: size: 2"},
      {"video of 5 bytes", 0x09, Hex("27 01 00 00 00"), "ignoring too small video packet: size: 5"},
      {"empty video", 0x09, "", "ignoring too small video packet: size: 0"},
      {"audio of 1 byte", 0x08, Hex("AF"), "ignoring too small audio packet: size: 1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    LogCapture log(LOG_LEVEL_WARNING);
    peer.Send(Chunked(4, c.nType, c.body, 1, 100));
    StreamParams params;
    StreamState state;
    Rendered r = RenderNext(peer.Client(), params, state, 7);
    EXPECT_EQ(r.nResult, 0);
    EXPECT_EQ(r.nPosition, 7u);
    EXPECT_EQ(r.dataTypes, 0);
    if (c.szWarning != nullptr) {
      EXPECT_TRUE(Contains(log, c.szWarning)) << log.Text();
    } else {
      EXPECT_EQ(log.Text(), "");
    }
  }
}

TEST(WriteStream, AggregatesAreRepairedAndSetThePosition)
{
  const std::string v = Tag(9, 5000, Hex("27 01 02 03 04 05"));
  const std::string a = Tag(8, 5020, Hex("AF 01 02"));
  std::string vWrongPrev = v;
  vWrongPrev.replace(vWrongPrev.size() - 4, 4, Hex("00 00 00 01"));
  const std::string aNoTrailer = a.substr(0, a.size() - 4);
  const struct {
    const char *szName;
    std::string body;
    int nResult;
    std::string expected;
    uint32_t nPosition;
    unsigned char dataTypes;
  } cases[] = {
      {"two tags", v + a, static_cast<int>((v + a).size()), v + a, 5020, 0x05},
      {"wrong previous tag size corrected", vWrongPrev + a, static_cast<int>((v + a).size()), v + a, 5020, 0x05},
      {"last tag without its trailer", v + aNoTrailer, static_cast<int>((v + a).size()), v + a, 5020, 0x05},
      // Two bytes of a trailer: the size is written over them, nothing else follows.
      {"last tag with half a trailer", v + aNoTrailer + Hex("00 00"), static_cast<int>((v + a).size()), v + a,
       5020, 0x05},
      {"stray bytes after the last tag", v + Hex("08 00 00"), static_cast<int>(v.size()), v, 5000, 0x01},
      {"inner tag longer than the body", v + Hex("08 00 01 00 00 00 00 00 00 00 00 AF"), -2, "", 7, 0x00},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    LogCapture log(LOG_LEVEL_WARNING);
    peer.Send(Chunked(6, 0x16, c.body, 1, 0));
    StreamParams params;
    params.nSeekTime = 3000;  // inner times are written unchanged
    StreamState state;
    Rendered r = RenderNext(peer.Client(), params, state, 7);
    EXPECT_EQ(r.nResult, c.nResult);
    EXPECT_EQ(ToHex(r.out), ToHex(c.expected));
    if (c.nResult > 0) {
      EXPECT_EQ(r.nPosition, c.nPosition);
    }
    EXPECT_EQ(r.dataTypes, c.dataTypes);
  }
}

TEST(WriteStream, GrowsTheBufferForALargeMessage)
{
  Peer peer;
  const std::string body = Keyframe(300000, 0x5A);
  peer.SendInBackground(Chunked(6, 0x09, body, 1, 40), true);
  StreamParams params;
  StreamState state;
  Rendered r = RenderNext(peer.Client(), params, state, 0, 1024);
  EXPECT_EQ(r.nResult, static_cast<int>(body.size() + 15));
  EXPECT_EQ(r.out, Tag(9, 40, body));
}

TEST(WriteStream, EndOfPlayAndClosedConnection)
{
  Peer peer;
  LogCapture log(LOG_LEVEL_DEBUG);
  peer.Client().m_stream_id = 1;
  peer.Send(Chunked(5, 0x14, amf::Str("onStatus") + amf::Num(0) + amf::Null() + amf::Info("NetStream.Play.Stop"), 1));
  StreamParams params;
  StreamState state;
  Rendered r = RenderNext(peer.Client(), params, state);
  EXPECT_EQ(r.nResult, 0);
  EXPECT_TRUE(state.bEndOfPlay);
  EXPECT_TRUE(Contains(log, "Got Play.Complete or Play.Stop from server. Assuming stream is complete"));
  EXPECT_FALSE(peer.Client().IsConnected());
  // Nothing more to read.
  EXPECT_EQ(RenderNext(peer.Client(), params, state).nResult, -1);
}
