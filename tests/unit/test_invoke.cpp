// The server's invokes and what the client answers, matched by the order of
// the commands it sent.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::CRTMP;

namespace {

int Invoke(CRTMP &r, const std::string &body)
{
  return r.HandleInvoke(body.data(), static_cast<unsigned int>(body.size()));
}

std::string Result(double dTransaction, const std::string &value = amf::Null())
{
  return amf::Str("_result") + amf::Num(dTransaction) + amf::Null() + value;
}

std::string Status(const std::string &code, const std::string &description = "")
{
  return amf::Str("onStatus") + amf::Num(0) + amf::Null() + amf::Info(code, description);
}

std::vector<std::string> Names(const std::vector<Message> &msgs)
{
  std::vector<std::string> out;
  for (const Message &m : msgs)
    out.push_back(m.nType == 0x14 ? CommandName(m) : "type " + std::to_string(m.nType));
  return out;
}

}  // namespace

TEST(ConnectResult, SendsBandwidthPingCreateStreamAndSubscribe)
{
  const struct {
    const char *szName;
    const char *szSubscribe;
    bool bLive;
    const char *szSubscribed;  // null: no FCSubscribe
  } cases[] = {
      {"subscribe path and live", "sub/path", true, "sub/path"},
      {"subscribe path only", "sub/path", false, "sub/path"},
      {"live only", nullptr, true, "live/stream"},
      {"neither", nullptr, false, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_strPlaypath = "live/stream";
    r.m_strSubscribePath = c.szSubscribe;
    r.m_bLiveStream = c.bLive;
    r.m_methodCalls = {"connect"};
    EXPECT_EQ(Invoke(r, Result(1.0, amf::Info("NetConnection.Connect.Success"))), 0);

    std::vector<Message> msgs = peer.Received();
    std::vector<std::string> expected = {"type 5", "type 4", "createStream"};
    if (c.szSubscribed)
      expected.push_back("FCSubscribe");
    ASSERT_EQ(Names(msgs), expected);
    EXPECT_EQ(ToHex(msgs[0].body), "00 13 12 D0");
    EXPECT_EQ(ToHex(msgs[1].body), "00 03 00 00 00 00 00 00 01 2C");
    EXPECT_EQ(msgs[2].body, amf::Str("createStream") + amf::Num(2.0) + amf::Null());
    EXPECT_EQ(msgs[2].nChannel, 3);
    if (c.szSubscribed) {
      EXPECT_EQ(msgs[3].body, amf::Str("FCSubscribe") + amf::Num(0) + amf::Null() + amf::Str(c.szSubscribed));
    }
    expected.erase(expected.begin(), expected.begin() + 2);
    EXPECT_EQ(r.m_methodCalls, expected);
  }
}

TEST(CreateStreamResult, StoresTheStreamIdAndPlays)
{
  const struct {
    double dId;
    int nExpected;
  } cases[] = {{1.0, 1}, {1.9, 1}, {-1.5, -1}, {2147483647.0, 2147483647}, {-2147483648.9, -2147483647 - 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.dId);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_strPlaypath = "movie";
    r.m_nBufferMS = 36000000;
    r.m_methodCalls = {"createStream"};
    Invoke(r, Result(2.0, amf::Num(c.dId)));
    EXPECT_EQ(r.m_stream_id, c.nExpected);
    std::vector<Message> msgs = peer.Received();
    ASSERT_EQ(Names(msgs), (std::vector<std::string>{"play", "type 4"}));
    EXPECT_EQ(msgs[0].nStreamId, static_cast<uint32_t>(c.nExpected));
    // The buffer length goes to stream 1 whatever the stream id is.
    EXPECT_EQ(ToHex(msgs[1].body), "00 03 00 00 00 01 02 25 51 00");
    EXPECT_TRUE(r.IsConnected());
  }
}

TEST(CreateStreamResult, NoNumberGivesStreamZero)
{
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_strPlaypath = "movie";
  r.m_stream_id = 9;
  r.m_methodCalls = {"createStream"};
  Invoke(r, amf::Str("_result") + amf::Num(2.0));
  EXPECT_EQ(r.m_stream_id, 0);
  EXPECT_EQ(Names(peer.Received()), (std::vector<std::string>{"play", "type 4"}));
}

TEST(CreateStreamResult, UnusableStreamIdClosesTheConnection)
{
  const double cases[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(), 2147483648.0, -2147483649.0, 1e300};
  for (double d : cases) {
    SCOPED_TRACE(d);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_strPlaypath = "movie";
    r.m_stream_id = 9;
    r.m_methodCalls = {"createStream"};
    LogCapture log(LOG_LEVEL_ERROR);
    Invoke(r, Result(2.0, amf::Num(d)));
    EXPECT_FALSE(r.IsConnected());
    EXPECT_TRUE(r.IsRefused());
    EXPECT_EQ(r.m_stream_id, 9);
    EXPECT_TRUE(Contains(log, "invalid stream id")) << log.Text();
    EXPECT_TRUE(peer.Received().empty());
  }
}

TEST(Results, MatchedByOrderNotTransactionId)
{
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_strPlaypath = "movie";
  r.m_methodCalls = {"connect"};
  // Transaction ids that fit nothing: the order alone decides.
  Invoke(r, Result(42.0));
  Invoke(r, Result(7.0, amf::Num(3)));
  EXPECT_EQ(r.m_stream_id, 3);
  EXPECT_EQ(r.m_methodCalls, (std::vector<std::string>{"play"}));
  // A result for play asks for it again.
  Invoke(r, Result(0.0));
  EXPECT_EQ(Names(peer.Received()),
            (std::vector<std::string>{"type 5", "type 4", "createStream", "play", "type 4", "play"}));
}

// The client's answer to _onbwcheck is recorded like any invoke but the
// server never answers it; it must not take the place of connect.
TEST(Results, ClientsOwnResultsAreSkipped)
{
  Peer peer;
  CRTMP &r = peer.Client();
  r.m_strPlaypath = "movie";
  r.m_methodCalls = {"connect"};
  Invoke(r, amf::Str("_onbwcheck") + amf::Num(0) + amf::Null());
  Invoke(r, amf::Str("_onbwcheck") + amf::Num(0) + amf::Null());
  EXPECT_EQ(r.m_methodCalls, (std::vector<std::string>{"connect", "_result", "_result"}));
  Invoke(r, Result(1.0));
  Invoke(r, amf::Str("_onbwcheck") + amf::Num(0) + amf::Null());
  Invoke(r, Result(2.0, amf::Num(1)));
  EXPECT_EQ(r.m_stream_id, 1);
  std::vector<std::string> names = Names(peer.Received());
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), "type 4");
  EXPECT_EQ(names[names.size() - 2], "play");
  EXPECT_EQ(r.m_nBWCheckCounter, 3);
}

TEST(Results, ResultWithoutPendingCallIsIgnored)
{
  const std::vector<std::string> pending[] = {{}, {"_result"}, {"_result", "_result"}};
  for (const auto &calls : pending) {
    SCOPED_TRACE(calls.size());
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_methodCalls = calls;
    LogCapture log(LOG_LEVEL_DEBUG);
    EXPECT_EQ(Invoke(r, Result(1.0)), 0);
    EXPECT_TRUE(Contains(log, "DEBUG: HandleInvoke, received result without a pending method call, ignoring"));
    EXPECT_TRUE(peer.Received().empty());
    EXPECT_TRUE(r.IsConnected());
  }
}

TEST(Results, SubscribeAnswerEndsTheSubscribeCall)
{
  const struct {
    std::vector<std::string> calls, left;
  } cases[] = {
      {{"FCSubscribe", "play"}, {"play"}},
      {{"play", "FCSubscribe", "FCSubscribe"}, {"play", "FCSubscribe"}},
      {{"play"}, {"play"}},
  };
  for (const auto &c : cases) {
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_methodCalls = c.calls;
    EXPECT_EQ(Invoke(r, amf::Str("onFCSubscribe") + amf::Num(0) + amf::Null() + amf::Info("NetStream.Play.Start")), 0);
    EXPECT_EQ(r.m_methodCalls, c.left);
    EXPECT_TRUE(peer.Received().empty());
  }
}

TEST(Errors, AnswerTheOldestPendingCall)
{
  const struct {
    const char *szName;
    std::vector<std::string> calls;
    std::string info;
    const char *szLog;
    bool bClosed;
    std::vector<std::string> left;
  } cases[] = {
      {"connect rejected", {"connect"}, amf::Info("NetConnection.Connect.Rejected", "bad auth"),
       "ERROR: HandleInvoke, call <connect> failed: NetConnection.Connect.Rejected (bad auth)\n", true, {}},
      {"createStream without details", {"_result", "createStream", "FCSubscribe"}, amf::Null(),
       "ERROR: HandleInvoke, call <createStream> failed\n", true, {"FCSubscribe"}},
      {"play with code only", {"play"}, amf::Info("NetStream.Play.Failed"),
       "ERROR: HandleInvoke, call <play> failed: NetStream.Play.Failed\n", true, {}},
      // Servers answer FCSubscribe with onFCSubscribe, never with _error.
      {"play behind FCSubscribe", {"_result", "FCSubscribe", "_result", "play"},
       amf::Info("NetStream.Play.Failed", "no"),
       "ERROR: HandleInvoke, call <play> failed: NetStream.Play.Failed (no)\n", true, {"FCSubscribe"}},
      {"subscribe alone is not essential", {"FCSubscribe"}, amf::Info("NetStream.Play.Failed", "no"),
       "ERROR: HandleInvoke, call <FCSubscribe> failed: NetStream.Play.Failed (no)\n", false, {}},
      {"nothing pending", {}, amf::Null(), "ERROR: rtmp server sent error\n", false, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_methodCalls = c.calls;
    LogCapture log(LOG_LEVEL_ERROR);
    EXPECT_EQ(Invoke(r, amf::Str("_error") + amf::Num(1) + amf::Null() + c.info), 0);
    EXPECT_TRUE(Contains(log, "ERROR: rtmp server sent error\n"));
    EXPECT_TRUE(Contains(log, c.szLog)) << log.Text();
    EXPECT_EQ(r.IsConnected(), !c.bClosed);
    EXPECT_EQ(r.IsRefused(), c.bClosed);
    EXPECT_EQ(r.m_methodCalls, c.left);
    EXPECT_TRUE(peer.Received().empty());
  }
}

TEST(Status, CodesAndTheirEffect)
{
  const struct {
    const char *szCode;
    int nResult;
    bool bClosed;
    bool bRefused;
  } cases[] = {
      {"NetStream.Play.Start", 0, false, false},
      {"NetStream.Play.Reset", 0, false, false},
      {"NetStream.Play.Stop", 1, true, false},
      {"NetStream.Play.Complete", 1, true, false},
      {"NetStream.Failed", 0, true, true},
      {"NetStream.Play.Failed", 0, true, true},
      {"NetStream.Play.StreamNotFound", 0, true, true},
      {"NetConnection.Connect.InvalidApp", 0, true, true},
      // Enhanced RTMP's request to connect elsewhere ends this connection in order.
      {"NetConnection.Connect.ReconnectRequest", 0, true, false},
      {"netstream.play.stop", 0, false, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szCode);
    Peer peer;
    CRTMP &r = peer.Client();
    LogCapture log(LOG_LEVEL_DEBUG);
    EXPECT_EQ(Invoke(r, Status(c.szCode, "told so")), c.nResult);
    EXPECT_EQ(r.IsConnected(), !c.bClosed);
    EXPECT_EQ(r.IsRefused(), c.bRefused);
    EXPECT_TRUE(Contains(log, std::string("DEBUG: HandleInvoke, onStatus: ") + c.szCode + "\n"));
    bool bErrorLine = Contains(log, std::string("ERROR: HandleInvoke, server refused: ") + c.szCode + " (told so)\n");
    EXPECT_EQ(bErrorLine, c.bRefused) << log.Text();
  }
}

TEST(Status, WithoutInformationObjectChangesNothing)
{
  Peer peer;
  CRTMP &r = peer.Client();
  LogCapture log(LOG_LEVEL_DEBUG);
  EXPECT_EQ(Invoke(r, amf::Str("onStatus") + amf::Num(0) + amf::Null()), 0);
  EXPECT_TRUE(Contains(log, "HandleInvoke, onStatus: \n"));
  EXPECT_TRUE(r.IsConnected());
  EXPECT_FALSE(r.IsRefused());
}

TEST(Close, RefusalBeforeMediaInterruptionAfter)
{
  for (bool bMedia : {false, true}) {
    SCOPED_TRACE(bMedia);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_bMediaReceived = bMedia;
    LogCapture log(LOG_LEVEL_ERROR);
    EXPECT_EQ(Invoke(r, amf::Str("close") + amf::Num(0) + amf::Null()), 0);
    EXPECT_TRUE(Contains(log, "ERROR: rtmp server requested close\n"));
    EXPECT_FALSE(r.IsConnected());
    EXPECT_EQ(r.IsRefused(), !bMedia);
  }
}

TEST(Invoke, MalformedBodiesChangeNothing)
{
  const struct {
    const char *szName;
    std::string body;
    const char *szLog;
  } cases[] = {
      {"object first", amf::ObjStart() + amf::ObjEnd(), "WARNING: HandleInvoke, Sanity failed. no string method in invoke packet"},
      {"number first", amf::Num(1), "Sanity failed"},
      {"empty", "", "WARNING: HandleInvoke, empty invoke packet"},
      {"undecodable", amf::Str("_result") + Hex("12 00 00"), "ERROR: HandleInvoke, error decoding invoke packet"},
      {"unknown method", amf::Str("onMystery") + amf::Num(1), "server invoking <onMystery>"},
      {"bandwidth done", amf::Str("onBWDone") + amf::Num(0) + amf::Null(), "server invoking <onBWDone>"},
      {"subscribed", amf::Str("onFCSubscribe") + amf::Num(0) + amf::Null() + amf::Info("NetStream.Play.Start"),
       "server invoking <onFCSubscribe>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    Peer peer;
    CRTMP &r = peer.Client();
    r.m_methodCalls = {"connect"};
    LogCapture log(LOG_LEVEL_DEBUG);
    EXPECT_EQ(Invoke(r, c.body), 0);
    EXPECT_TRUE(Contains(log, c.szLog)) << log.Text();
    EXPECT_EQ(r.m_methodCalls, (std::vector<std::string>{"connect"}));
    EXPECT_TRUE(r.IsConnected());
    EXPECT_TRUE(peer.Received().empty());
  }
}

// A body cut right after its first byte must not be read past its end: the
// copy on the heap has exactly that one byte (AddressSanitizer watches).
TEST(Invoke, OneByteBodyIsNotReadPast)
{
  Peer peer;
  std::vector<char> body(1, 0x02);
  EXPECT_EQ(peer.Client().HandleInvoke(body.data(), 1), 0);
  EXPECT_TRUE(peer.Client().IsConnected());
}
