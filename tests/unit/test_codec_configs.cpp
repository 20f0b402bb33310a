// Codec configurations in front of the first frames of their tracks: written
// from what a second connection fetched, at the frame's time and exactly as
// fetched; not written where the stream brought its own; a live stream that
// cannot be made playable is reported at the default level.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/codec_configs.h"
#include "app/flv.h"
#include "hex_bytes.h"
#include "log_capture.h"

using RTMP_LIB::CodecConfig;
using RTMP_LIB::ConfigGuard;
using testhex::Hex;

namespace {

const unsigned char A = FLV_TAG_AUDIO, V = FLV_TAG_VIDEO, S = FLV_TAG_SCRIPT;

#define HVC1 "68766331"
#define VP09 "76703039"
#define OPUS "4F707573"

// Bodies: classic AVC sequence header, keyframe, inter frame; AAC; Enhanced
// HEVC, Opus; VP9 in two tracks of one codec. Downloads of real files from a
// server that seeks by index are tested end to end.
#define AVC_CONFIG "17 00 000000 01 64 00 1e"
#define AVC_KEY "17 01 000000 65 88"
#define AVC_INTER "27 01 000000 41 9a"
#define AAC_CONFIG "af 00 12 10"
#define AAC_FRAME "af 01 21 10"
#define HEVC_KEY "91" HVC1 "000000 26 01"
#define OPUS_FRAME "91" OPUS "fc ff fe"
#define VP9_CONFIG_BOTH "96 10" VP09 "00 000002 aa bb 01 000002 cc dd"
#define VP9_KEY_BOTH "96 13" VP09 "00 000002 11 22 01 000002 33 44"

struct Tag {
  unsigned char type;
  uint32_t nTime;
  const char *hex;
};

struct Case {
  const char *name;
  bool bLive;                       // no fetcher: a live stream
  std::vector<Tag> fetched;         // what the second connection brings (times unused)
  std::vector<std::vector<Tag>> in; // the writes, each a run of tags
  std::vector<Tag> out;             // every tag written, in order
  int nFetches;
  std::vector<std::string> warnings;  // in the default-level output, in order
};

std::string Render(const std::vector<Tag> &tags)
{
  std::string s;
  for (const Tag &t : tags) {
    const std::string data = Hex(t.hex);
    const uint32_t n = static_cast<uint32_t>(data.size()), nPrev = n + 11;
    const char head[] = {static_cast<char>(t.type), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                         static_cast<char>(n), static_cast<char>(t.nTime >> 16), static_cast<char>(t.nTime >> 8),
                         static_cast<char>(t.nTime), static_cast<char>(t.nTime >> 24), 0, 0, 0,
                         // the previous-tag size follows the data
                         static_cast<char>(nPrev >> 24), static_cast<char>(nPrev >> 16),
                         static_cast<char>(nPrev >> 8), static_cast<char>(nPrev)};
    s += std::string(head, 11) + data + std::string(head + 11, 4);
  }
  return s;
}

const Case kCases[] = {
    {"seek to a keyframe: video and audio configurations fetched once, at their frames' times",
     false,
     {{S, 0, "02 000a 6f6e4d65746144617461"}, {V, 0, AVC_CONFIG}, {A, 0, AAC_CONFIG}, {V, 0, AVC_KEY}},
     {{{V, 8000, AVC_KEY}, {V, 8040, AVC_INTER}}, {{A, 8010, AAC_FRAME}, {A, 8030, AAC_FRAME}}},
     {{V, 8000, AVC_CONFIG}, {V, 8000, AVC_KEY}, {V, 8040, AVC_INTER}, {A, 8010, AAC_CONFIG}, {A, 8010, AAC_FRAME},
      {A, 8030, AAC_FRAME}},
     1,
     {}},
    {"one configuration message for two tracks is written once",
     false,
     {{V, 0, VP9_CONFIG_BOTH}, {V, 0, VP9_KEY_BOTH}},
     {{{V, 2000, VP9_KEY_BOTH}}, {{V, 2040, VP9_KEY_BOTH}}},
     {{V, 2000, VP9_CONFIG_BOTH}, {V, 2000, VP9_KEY_BOTH}, {V, 2040, VP9_KEY_BOTH}},
     1,
     {}},
    {"nothing fetched: the user is told, and no second fetch for the track",
     false,
     {{V, 0, AVC_KEY}},
     {{{A, 4000, AAC_FRAME}}, {{A, 4020, AAC_FRAME}}},
     {{A, 4000, AAC_FRAME}, {A, 4020, AAC_FRAME}},
     1,
     {"No codec configuration for the audio (AAC) track before its first frame at 4.000 sec"}},
    {"live join: a configuration before the first keyframe is enough",
     true,
     {},
     {{{V, 900, AVC_INTER}, {V, 940, AVC_CONFIG}, {V, 980, AVC_KEY}}},
     {{V, 900, AVC_INTER}, {V, 940, AVC_CONFIG}, {V, 980, AVC_KEY}},
     0,
     {"The first frame of the video (AVC) track, at 0.900 sec, is not a keyframe"}},
    {"a codec without configuration that starts between keyframes",
     true,
     {},
     {{{V, 40, "22 00 00 80 02 a0"}}},
     {{V, 40, "22 00 00 80 02 a0"}},
     0,
     {"The first frame of the video (codec 2) track, at 0.040 sec, is not a keyframe"}},
    {"live join without configurations is reported per track",
     true,
     {},
     {{{V, 100, HEVC_KEY}, {A, 120, OPUS_FRAME}, {V, 140, HEVC_KEY}}},
     {{V, 100, HEVC_KEY}, {A, 120, OPUS_FRAME}, {V, 140, HEVC_KEY}},
     0,
     {"No codec configuration for the video (hvc1) track before its first frame at 0.100 sec: the recording may "
      "not play until a configuration arrives",
      "No codec configuration for the audio (Opus) track before its first frame at 0.120 sec"}},
};

TEST(ConfigGuard, WritesFetchedConfigurationsInFrontOfFirstFrames)
{
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    LogCapture log(LOG_LEVEL_ERROR);  // the default level
    int nFetches = 0;
    ConfigGuard guard;
    if (c.bLive) {
      guard.Begin(nullptr);
    } else {
      guard.Begin([&](const std::vector<uint32_t> &wanted, std::vector<CodecConfig> &found) {
        nFetches++;
        EXPECT_EQ(wanted.size(), 1u);
        for (const Tag &t : c.fetched) {
          const std::string data = Hex(t.hex);
          CodecConfig config;
          if (RTMP_LIB::ReadCodecConfig(t.type, data.data(), static_cast<uint32_t>(data.size()), config))
            found.push_back(config);
        }
      });
    }
    std::string out;
    for (const std::vector<Tag> &write : c.in) {
      const std::string bytes = Render(write);
      const char *p = bytes.data();
      size_t n = bytes.size();
      guard.Pass(p, n);
      out.append(p, n);
    }
    EXPECT_TRUE(out == Render(c.out)) << "written " << out.size() << " bytes, expected " << Render(c.out).size();
    EXPECT_EQ(nFetches, c.nFetches);
    const std::string text = log.Text();
    size_t nAt = 0;
    for (const std::string &w : c.warnings) {
      nAt = text.find("WARNING: " + w, nAt);
      EXPECT_NE(nAt, std::string::npos) << w << "\nin:\n" << text;
    }
    EXPECT_EQ(c.warnings.empty(), text.find("WARNING") == std::string::npos) << text;
  }
}

}  // namespace
