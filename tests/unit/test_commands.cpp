// The commands the client sends, compared byte for byte with bodies written
// out by hand.
#include <gtest/gtest.h>

#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::CRTMP;

namespace {

struct ConnectCase {
  const char *szName;
  const char *app, *flashVer, *swfUrl, *tcUrl, *pageUrl, *auth;
};

std::string ExpectedConnect(const ConnectCase &c)
{
  std::string s = amf::Str("connect") + amf::Num(1.0) + amf::ObjStart();
  if (c.app)
    s += amf::Key("app") + amf::Str(c.app);
  if (c.flashVer)
    s += amf::Key("flashVer") + amf::Str(c.flashVer);
  if (c.swfUrl)
    s += amf::Key("swfUrl") + amf::Str(c.swfUrl);
  if (c.tcUrl)
    s += amf::Key("tcUrl") + amf::Str(c.tcUrl);
  s += amf::Key("fpad") + Hex("01 00");
  s += amf::Key("capabilities") + Hex("00 40 2E 00 00 00 00 00 00");
  s += amf::Key("audioCodecs") + Hex("00 40 A8 EE 00 00 00 00 00");
  s += amf::Key("videoCodecs") + Hex("00 40 6F 80 00 00 00 00 00");
  s += amf::Key("videoFunction") + Hex("00 3F F0 00 00 00 00 00 00");
  if (c.pageUrl)
    s += amf::Key("pageUrl") + amf::Str(c.pageUrl);
  s += amf::ObjEnd();
  if (c.auth)
    s += Hex("01 01") + amf::Str(c.auth);
  return s;
}

}  // namespace

TEST(Connect, BodyHeaderAndRecordForEachParameterSet)
{
  static const std::string strLongApp(5000, 'a');
  const ConnectCase cases[] = {
      {"none given", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
      {"all given", "vod", "LNX 10,0,22,87", "http://h/p.swf", "rtmp://h:1935/vod", "http://h/page", "secret"},
      {"empty strings", "", "", "", "", "", ""},
      {"auth only", nullptr, nullptr, nullptr, nullptr, nullptr, "token"},
      {"page url only", nullptr, nullptr, nullptr, nullptr, "http://p", nullptr},
      // Longer than the chunk size many times over: split in chunks of 128.
      {"long app", strLongApp.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  for (const ConnectCase &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_strApp = c.app;
    r.m_strFlashVer = c.flashVer;
    r.m_strSwfUrl = c.swfUrl;
    r.m_strTcUrl = c.tcUrl;
    r.m_strPageUrl = c.pageUrl;
    r.m_strAuth = c.auth;
    ASSERT_TRUE(r.Connect());

    std::vector<Message> msgs = peer.Received();
    ASSERT_EQ(msgs.size(), 1u);
    const Message &m = msgs[0];
    EXPECT_EQ(m.nChannel, 3);
    EXPECT_EQ(m.nHeaderType, 0);
    EXPECT_EQ(m.nType, 0x14);
    EXPECT_EQ(m.nTimestamp, 0u);
    EXPECT_EQ(m.nStreamId, 0u);
    std::string expected = ExpectedConnect(c);
    EXPECT_EQ(ToHex(m.body), ToHex(expected));
    EXPECT_EQ(m.nChunks, static_cast<int>((expected.size() + 127) / 128));
    ASSERT_FALSE(r.m_methodCalls.empty());
    EXPECT_EQ(r.m_methodCalls.back(), "connect");
  }
}

TEST(Connect, ValueTooLongForItsLengthFieldIsRefused)
{
  static const std::string strHuge(70000, 'x');
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_strTcUrl = strHuge.c_str();
  LogCapture log(LOG_LEVEL_DEBUG);
  EXPECT_FALSE(r.Connect());
  EXPECT_TRUE(Contains(log, "failed to send connect RTMP packet"));
  EXPECT_TRUE(peer.Received().empty());
  EXPECT_TRUE(r.m_methodCalls.empty());
}

namespace {

struct PlayCase {
  const char *szName;
  bool bLive;
  double dSeek;
  double dLength;
  std::string args;  // after name, 0.0, null and the play path
};

}  // namespace

TEST(Play, StartAndLengthArguments)
{
  const PlayCase cases[] = {
      {"recorded from the start", false, 0, 0, amf::Num(0.0)},
      {"recorded with seek", false, 5000, 0, amf::Num(5000.0)},
      {"live ignores seek", true, 5000, 0, amf::Num(-1000.0)},
      {"negative length is sent", false, 0, -1.0, amf::Num(0.0) + amf::Num(-1.0)},
      {"seek and length", false, 1500, 30000, amf::Num(1500.0) + amf::Num(30000.0)},
      {"negative seek counts as none", false, -20, 0, amf::Num(0.0)},
  };
  for (const PlayCase &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_strPlaypath = "mp4:movie.mp4";
    r.m_bLiveStream = c.bLive;
    r.m_dSeekTime = c.dSeek;
    r.m_dLength = c.dLength;
    r.m_stream_id = 7;
    ASSERT_TRUE(r.SendPlay());
    std::vector<Message> msgs = peer.Received();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].nChannel, 8);
    EXPECT_EQ(msgs[0].nHeaderType, 0);
    EXPECT_EQ(msgs[0].nStreamId, 7u);
    EXPECT_EQ(ToHex(msgs[0].body),
              ToHex(amf::Str("play") + amf::Num(0.0) + amf::Null() + amf::Str("mp4:movie.mp4") + c.args));
  }
}

TEST(Play, LongPlayPathIsSentWhole)
{
  static const std::string strPath(3000, 'p');
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_strPlaypath = strPath.c_str();
  r.m_stream_id = 1;
  ASSERT_TRUE(r.SendPlay());
  std::vector<Message> msgs = peer.Received();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].body, amf::Str("play") + amf::Num(0.0) + amf::Null() + amf::Str(strPath) + amf::Num(0.0));
}

namespace {

struct CommandCase {
  const char *szName;
  bool (*send)(CRTMP &);
  int nChannel;
  std::string body;
};

}  // namespace

TEST(StreamCommands, BodiesAndChunkStreams)
{
  static const std::string strLongPath(400, 's');
  const CommandCase cases[] = {
      {"createStream", [](CRTMP &r) { return r.SendCreateStream(2.0); }, 3,
       amf::Str("createStream") + amf::Num(2.0) + amf::Null()},
      {"FCSubscribe", [](CRTMP &r) { return r.SendFCSubscribe("live/cam"); }, 3,
       amf::Str("FCSubscribe") + amf::Num(0.0) + amf::Null() + amf::Str("live/cam")},
      {"FCSubscribe long path", [](CRTMP &r) { return r.SendFCSubscribe(strLongPath.c_str()); }, 3,
       amf::Str("FCSubscribe") + amf::Num(0.0) + amf::Null() + amf::Str(strLongPath)},
      {"seek", [](CRTMP &r) { return r.SendSeek(12345.0); }, 8,
       amf::Str("seek") + amf::Num(0.0) + amf::Null() + amf::Num(12345.0)},
      {"pause", [](CRTMP &r) { return r.SendPause(true, 2500.0); }, 8,
       amf::Str("pause") + amf::Num(0.0) + amf::Null() + amf::Bool(true) + amf::Num(2.5)},
      {"unpause", [](CRTMP &r) { return r.SendPause(false, 0.0); }, 8,
       amf::Str("pause") + amf::Num(0.0) + amf::Null() + amf::Bool(false) + amf::Num(0.0)},
      {"deleteStream", [](CRTMP &r) { return r.SendDeleteStream(3.0); }, 3,
       amf::Str("deleteStream") + amf::Num(0.0) + amf::Null() + amf::Num(3.0)},
      {"bgHasStream", [](CRTMP &r) { return r.SendBGHasStream(4.0, strLongPath.c_str()); }, 3,
       amf::Str("bgHasStream") + amf::Num(4.0) + amf::Null() + amf::Str(strLongPath)},
  };
  for (const CommandCase &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    ASSERT_TRUE(c.send(peer.Client()));
    std::vector<Message> msgs = peer.Received();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].nChannel, c.nChannel);
    // An 8-byte header: no message stream id.
    EXPECT_EQ(msgs[0].nHeaderType, 1);
    EXPECT_EQ(msgs[0].nType, 0x14);
    EXPECT_EQ(msgs[0].nTimestamp, 0u);
    EXPECT_EQ(ToHex(msgs[0].body), ToHex(c.body));
    EXPECT_EQ(peer.Client().m_methodCalls.back(), CommandName(msgs[0]));
  }
}

TEST(StreamCommands, CheckBWCarriesTheClock)
{
  Peer peer;
  uint32_t nBefore = static_cast<uint32_t>(GetTime());
  ASSERT_TRUE(peer.Client().SendCheckBW());
  uint32_t nAfter = static_cast<uint32_t>(GetTime());
  std::vector<Message> msgs = peer.Received();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].nChannel, 3);
  EXPECT_EQ(msgs[0].nHeaderType, 0);
  EXPECT_GE(msgs[0].nTimestamp, nBefore);
  EXPECT_LE(msgs[0].nTimestamp, nAfter);
  EXPECT_EQ(ToHex(msgs[0].body), ToHex(amf::Str("_checkbw") + amf::Num(0.0) + amf::Null()));
}

TEST(StreamCommands, BandwidthCheckAnswersCountUp)
{
  Peer peer;
  CRTMP &r = peer.Client();
  int nBefore = GetTime();
  ASSERT_TRUE(r.SendCheckBWResult());
  ASSERT_TRUE(r.SendCheckBWResult());
  int nAfter = GetTime();
  EXPECT_EQ(r.m_nBWCheckCounter, 2);

  std::vector<Message> msgs = peer.Received();
  ASSERT_EQ(msgs.size(), 2u);
  for (int i = 0; i < 2; i++) {
    SCOPED_TRACE(i);
    const Message &m = msgs[i];
    EXPECT_EQ(m.nChannel, 3);
    EXPECT_EQ(m.nTimestamp, 22u * i);
    ASSERT_EQ(m.body.size(), 29u);
    // "_result", the clock as transaction id, null, the counter.
    EXPECT_EQ(m.body.substr(0, 10), amf::Str("_result"));
    ASSERT_EQ(m.body[10], 0x00);
    uint64_t bits = 0;
    for (int k = 0; k < 8; k++)
      bits = (bits << 8) | static_cast<unsigned char>(m.body[11 + k]);
    double dClock;
    memcpy(&dClock, &bits, 8);
    EXPECT_GE(dClock, nBefore);
    EXPECT_LE(dClock, nAfter);
    EXPECT_EQ(m.body.substr(19), amf::Null() + amf::Num(i));
  }
  // The second answer equals the first in size and type: its header shrinks
  // to 4 bytes, keeping only the timestamp field that differs.
  EXPECT_EQ(msgs[0].nHeaderType, 1);
  EXPECT_EQ(msgs[1].nHeaderType, 2);
}

TEST(StreamCommands, MethodCallsRecordTheSequence)
{
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_strPlaypath = "x";
  r.m_methodCalls.push_back("older");
  ASSERT_TRUE(r.SendCreateStream(2.0));
  ASSERT_TRUE(r.SendFCSubscribe("x"));
  ASSERT_TRUE(r.SendPlay());
  EXPECT_EQ(r.m_methodCalls, (std::vector<std::string>{"older", "createStream", "FCSubscribe", "play"}));
}
