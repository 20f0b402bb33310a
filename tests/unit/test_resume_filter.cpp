// The resume filter: which messages of a resumed stream are dropped, which
// are written, and when the stream cannot continue the file. Both ways a
// server times a stream after play from S: restarted at 0, or its own times.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "download/flv_writer.h"
#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::FilterResumedMessage;
using RTMP_LIB::StreamParams;
using RTMP_LIB::StreamState;

namespace {

const uint32_t S = 10000;

std::string Tag(uint8_t nType, uint32_t nTime, const std::string &data)
{
  return std::string(1, static_cast<char>(nType)) + Be(data.size(), 3) + Be(nTime & 0xffffff, 3) +
         std::string(1, static_cast<char>(nTime >> 24)) + Hex("00 00 00") + data + Be(data.size() + 11, 4);
}

const std::string kKeyframe = Hex("17 01 00 00 00") + std::string(40, 'K');
const std::string kOtherKeyframe = Hex("17 01 00 00 00") + std::string(40, 'Q');
const std::string kInter = Hex("27 01 00 00 00") + std::string(10, 'i');
const std::string kAudio = Hex("AF 01") + std::string(10, 'a');
// The AVC configuration that servers repeat before each keyframe, at its time.
const std::string kAvcConfig = Hex("17 00 00 00 00 01 64 00 1F FF E1");

std::string Meta(double dDuration)
{
  return amf::Str("onMetaData") + amf::EcmaStart(1) + amf::Key("duration") + amf::Num(dDuration) + amf::ObjEnd();
}

struct Msg {
  uint8_t nType;
  uint32_t ts;
  std::string body;
  int nExpected;            // filter result
  std::string passed;       // with 1: the body let through (an aggregate may be cut)
};

struct FilterRun {
  std::vector<int> results;
  std::vector<std::string> passed;
  StreamState state;
  std::string log;
};

FilterRun Filter(const std::vector<Msg> &msgs, const std::string &meta = Meta(20), StreamState start = {})
{
  StreamParams params;
  params.bResumeMode = true;
  params.nSeekTime = S;
  params.pStoredMeta = meta.data();
  params.nStoredMetaSize = static_cast<uint32_t>(meta.size());
  params.pStoredKeyframe = kKeyframe.data();
  params.storedKeyframeType = 9;
  params.nStoredKeyframeSize = static_cast<uint32_t>(kKeyframe.size());
  FilterRun run;
  run.state = start;
  LogCapture log(LOG_LEVEL_DEBUG);
  for (const Msg &m : msgs) {
    const char *body = m.body.data();
    uint32_t len = static_cast<uint32_t>(m.body.size());
    run.results.push_back(FilterResumedMessage(params, run.state, m.nType, m.ts, body, len));
    run.passed.push_back(run.results.back() == 1 ? std::string(body, len) : "");
  }
  run.log = log.Text();
  return run;
}

void ExpectRun(const std::vector<Msg> &msgs, RTMP_LIB::TimeModel model)
{
  FilterRun run = Filter(msgs);
  for (size_t i = 0; i < msgs.size(); i++) {
    EXPECT_EQ(run.results[i], msgs[i].nExpected) << "message " << i << "\n" << run.log;
    if (msgs[i].nExpected == 1) {
      EXPECT_EQ(ToHex(run.passed[i]), ToHex(msgs[i].passed.empty() ? msgs[i].body : msgs[i].passed))
          << "message " << i;
    }
  }
  EXPECT_EQ(run.state.timeModel, model);
}

}  // namespace

TEST(ResumeFilter, RestartedTimes)
{
  const std::string agg =
      Tag(8, S - 20, kAudio) + Tag(9, S, kKeyframe) + Tag(8, S + 20, kAudio) + Tag(9, S + 40, kInter);
  const struct {
    const char *szName;
    std::vector<Msg> msgs;
  } cases[] = {
      {"keyframe as a plain message",
       {{18, 0, Meta(20), 0, ""},       // equal metadata passes its check, then counts as dropped
        {9, 0, kKeyframe, 0, ""},       // the file holds it
        {18, 0, Meta(20), 0, ""},       // script data at time 0 after it: preroll
        {8, 0, kAudio, 1, ""},          // shares the keyframe's time but follows it: new
        {8, 20, kAudio, 1, ""},
        {9, 40, kInter, 1, ""},
        {8, 0, kAudio, 1, ""}}},        // later messages at 0 are data
      {"keyframe inside an aggregate",
       {{18, 0, Meta(20), 0, ""},
        {22, 0, agg, 1, Tag(8, S + 20, kAudio) + Tag(9, S + 40, kInter)},
        {22, 80, Tag(8, S + 80, kAudio), 1, ""}}},
      {"codec configuration before the keyframe inside an aggregate",
       {{22, 0, Tag(9, S, kAvcConfig) + agg.substr(Tag(8, 0, kAudio).size()), 1,
         Tag(8, S + 20, kAudio) + Tag(9, S + 40, kInter)}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    ExpectRun(c.msgs, RTMP_LIB::TIME_MODEL_RELATIVE);
  }
}

TEST(ResumeFilter, AbsoluteTimes)
{
  const std::string agg = Tag(8, S - 20, kAudio) + Tag(9, S, kKeyframe) + Tag(8, S + 20, kAudio);
  const struct {
    const char *szName;
    std::vector<Msg> msgs;
  } cases[] = {
      // A server without a seek index replays the stream from its start.
      {"replay from the start",
       {{18, 0, Meta(20), 0, ""},
        {9, 0, kOtherKeyframe, 0, ""},
        {8, 20, kAudio, 0, ""},
        {9, 5000, kOtherKeyframe, 0, ""},
        {8, S, kAudio, 0, ""},          // before the keyframe: already in the file
        {9, S, kKeyframe, 0, ""},
        {8, S, kAudio, 1, ""},          // after it: new
        {9, S + 40, kInter, 1, ""}}},
      {"keyframe inside an aggregate",
       {{18, 0, Meta(20), 0, ""},
        {22, S - 20, agg, 1, Tag(8, S + 20, kAudio)},
        {9, S + 40, kInter, 1, ""}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    ExpectRun(c.msgs, RTMP_LIB::TIME_MODEL_ABSOLUTE);
  }
}

TEST(ResumeFilter, AStartPastTheKeyframeIsAskedForAgainOnce)
{
  // Past S without the keyframe: the rest of that start is dropped until the
  // download plays again from just before S (which clears bReseekWanted).
  FilterRun first = Filter({{18, 0, Meta(20), 0, ""}, {9, S + 2000, kOtherKeyframe, 0, ""}, {9, S, kKeyframe, 0, ""}});
  EXPECT_TRUE(first.state.bReseekWanted);
  EXPECT_TRUE(first.state.filter.bReplayAsked);
  EXPECT_NE(first.log.find("WARNING: Stream started past the resume keyframe at 10000 ms (time 12000 ms)"),
            std::string::npos) << first.log;
  StreamState replay = first.state;
  replay.bReseekWanted = false;
  FilterRun second =
      Filter({{18, 0, Meta(20), 0, ""}, {9, S, kKeyframe, 0, ""}, {8, S, kAudio, 1, ""}}, Meta(20), replay);
  EXPECT_EQ(second.results, (std::vector<int>{0, 0, 1})) << second.log;
  EXPECT_EQ(second.state.timeModel, RTMP_LIB::TIME_MODEL_ABSOLUTE);
}

TEST(ResumeFilter, StreamsThatCannotContinueTheFile)
{
  // After the one replay from just before the keyframe was asked for.
  StreamState replayed;
  replayed.filter.bReplayAsked = true;
  const struct {
    const char *szName;
    std::vector<Msg> msgs;
    const char *szLog;
  } cases[] = {
      {"metadata differs", {{18, 0, Meta(21), -2, ""}}, ""},
      {"first media message past the keyframe time", {{18, 0, Meta(20), 0, ""}, {9, S + 1000, kOtherKeyframe, -2, ""}},
       "ERROR: Stream went past the resume keyframe"},
      {"absolute replay that skips the keyframe",
       {{9, S - 40, kInter, 0, ""}, {9, S, kOtherKeyframe, 0, ""}, {9, S + 40, kInter, -2, ""}}, "ERROR"},
      {"aggregate keyframe that differs", {{22, 0, Tag(9, S, kOtherKeyframe), -2, ""}},
       "ERROR: FLV Stream: Keyframe doesn't match!"},
      // The inner tag claims more bytes than the body holds: compared with
      // nothing past the body.
      {"aggregate keyframe cut short", {{22, 0, Tag(9, S, kKeyframe).substr(0, 30), -2, ""}},
       "ERROR: FLV Stream: Keyframe doesn't match!"},
      {"aggregate keyframe without trailer",
       {{22, 0, Tag(9, S, kKeyframe).substr(0, 11 + kKeyframe.size()), -2, ""}},
       "WARNING: Non skipable packet since it doesn't end with chunk, stream corrupt!"},
      {"aggregate past the keyframe time", {{22, S - 40, Tag(9, S + 40, kOtherKeyframe), -2, ""}},
       "ERROR: Stream went past the resume keyframe"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    FilterRun run = Filter(c.msgs, Meta(20), replayed);
    EXPECT_FALSE(run.state.bReseekWanted);
    for (size_t i = 0; i < c.msgs.size(); i++)
      EXPECT_EQ(run.results[i], c.msgs[i].nExpected) << "message " << i << "\n" << run.log;
    EXPECT_NE(run.log.find(c.szLog), std::string::npos) << run.log;
  }
}

TEST(ResumeFilter, GivesUpAfterFiftyDroppedMessagesOfAKind)
{
  // Audio at time 0 that is not the keyframe, and script data at any time.
  for (uint8_t nType : {uint8_t(8), uint8_t(18)}) {
    SCOPED_TRACE(static_cast<int>(nType));
    const std::string body = nType == 18 ? amf::Str("onCuePoint") : kAudio;
    const uint32_t ts = nType == 18 ? 5 : 0;
    std::vector<Msg> msgs(51, Msg{nType, ts, body, 0, ""});
    msgs.push_back(Msg{nType, ts, body, -2, ""});
    FilterRun run = Filter(msgs);
    for (size_t i = 0; i < msgs.size(); i++)
      EXPECT_EQ(run.results[i], i < 50 ? 0 : -2) << "message " << i;
  }
}

TEST(ResumeFilter, ReplayedDataBeforeTheKeyframeIsNotCounted)
{
  std::vector<Msg> msgs;
  for (uint32_t t = 20; t < S; t += 20)
    msgs.push_back(Msg{static_cast<uint8_t>(t % 40 ? 8 : 9), t, t % 40 ? kAudio : kInter, 0, ""});
  msgs.push_back(Msg{9, S, kKeyframe, 0, ""});
  msgs.push_back(Msg{8, S + 20, kAudio, 1, ""});
  FilterRun run = Filter(msgs);
  EXPECT_EQ(run.state.filter.nIgnoredFrameCounter, 0u);
  EXPECT_EQ(run.results.back(), 1);
  EXPECT_EQ(run.log.find("WARNING"), std::string::npos);
}
