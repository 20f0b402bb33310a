// The cases of codec configurations that downloads from a real server do not
// reach: a fetch that brings nothing, live joins, first frames that are not
// keyframes. What the user must know is shown at the default level.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "download/codec_configs.h"
#include "flv/flv.h"
#include "hex_bytes.h"
#include "log_capture.h"

using testhex::Hex;

namespace {

const unsigned char A = FLV_TAG_AUDIO, V = FLV_TAG_VIDEO;

struct Tag {
  unsigned char type;
  uint32_t nTime;
  const char *hex;
};

struct Case {
  const char *name;
  bool bLive;                         // no fetcher: a live stream
  std::vector<Tag> tags;              // one write; the guard adds nothing to these
  int nFetches;
  std::vector<std::string> warnings;  // in the default-level output, in order
};

std::string Render(const std::vector<Tag> &tags)
{
  std::string s;
  for (const Tag &t : tags) {
    const std::string data = Hex(t.hex);
    const uint32_t n = static_cast<uint32_t>(data.size()), nPrev = n + 11;
    const char h[] = {static_cast<char>(t.type), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                      static_cast<char>(n), static_cast<char>(t.nTime >> 16), static_cast<char>(t.nTime >> 8),
                      static_cast<char>(t.nTime), static_cast<char>(t.nTime >> 24), 0, 0, 0,
                      static_cast<char>(nPrev >> 24), static_cast<char>(nPrev >> 16), static_cast<char>(nPrev >> 8),
                      static_cast<char>(nPrev)};
    s += std::string(h, 11) + data + std::string(h + 11, 4);
  }
  return s;
}

const Case kCases[] = {
    {"a fetch that brings nothing is told, and not tried again for the track", false,
     {{A, 4000, "af 01 21 10"}, {A, 4020, "af 01 21 10"}}, 1,
     {"No codec configuration for the audio (AAC) track before its first frame at 4.000 sec: the recording may "
      "not play until a configuration arrives"}},
    {"live join: a configuration before the first keyframe is enough", true,
     {{V, 900, "27 01 000000 41 9a"}, {V, 940, "17 00 000000 01 64"}, {V, 980, "17 01 000000 65 88"}}, 0,
     {"The first frame of the video (AVC) track, at 0.900 sec, is not a keyframe"}},
    {"live join: a codec without configuration that starts between keyframes", true,
     {{V, 40, "22 00 00 80 02 a0"}}, 0,
     {"The first frame of the video (codec 2) track, at 0.040 sec, is not a keyframe"}},
    {"live join without configurations, told per track; a multitrack message names its tracks", true,
     {{V, 100, "96 13 76703039 00 000001 11 01 000001 22"}, {A, 120, "91 4F707573 fc ff"}}, 0,
     {"No codec configuration for the video track 0 (vp09) track before its first frame at 0.100 sec",
      "No codec configuration for the video track 1 (vp09) track", "No codec configuration for the audio (Opus)"}},
};

TEST(ConfigGuard, TellsWhatCannotBeConfigured)
{
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    LogCapture log(LOG_LEVEL_ERROR);  // the default level
    int nFetches = 0;
    RTMP_LIB::ConfigGuard guard;
    guard.Begin(c.bLive ? RTMP_LIB::ConfigFetcher()
                        : [&](const std::vector<uint32_t> &, std::vector<RTMP_LIB::CodecConfig> &) { nFetches++; });
    const std::string in = Render(c.tags);
    const char *p = in.data();
    size_t n = in.size();
    guard.Pass(p, n);
    EXPECT_TRUE(std::string(p, n) == in);
    EXPECT_EQ(nFetches, c.nFetches);
    const std::string text = log.Text();
    size_t nAt = 0;
    for (const std::string &w : c.warnings) {
      nAt = text.find("WARNING: " + w, nAt);
      EXPECT_NE(nAt, std::string::npos) << w << "\nin:\n" << text;
    }
    EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), c.warnings.size()) << text;
  }
}

}  // namespace
