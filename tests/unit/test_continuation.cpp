// A stream joined again on a new connection: what of it is written, at which
// times, and the live position that --stop counts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/continuation.h"
#include "app/flv.h"
#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::StreamContinuation;

namespace {

std::string Tag(uint8_t nType, uint32_t nTime, const std::string &data)
{
  return std::string(1, static_cast<char>(nType)) + Be(data.size(), 3) + Be(nTime & 0xffffff, 3) +
         std::string(1, static_cast<char>(nTime >> 24)) + Hex("00 00 00") + data + Be(data.size() + 11, 4);
}

const std::string kMeta = amf::Str("onMetaData") + amf::EcmaStart(0) + amf::ObjEnd();
const std::string kAvcConfig = Hex("17 00 00 00 00 01 64");
const std::string kKey = Hex("17 01 00 00 00 aa");
const std::string kInter = Hex("27 01 00 00 00 bb");
const std::string kAudio = Hex("2f ff");

// (type, time) of every tag of a write.
std::vector<std::pair<int, uint32_t>> Times(const char *p, size_t n)
{
  std::vector<std::pair<int, uint32_t>> v;
  for (size_t nPos = 0; nPos + 15 <= n; nPos += 15 + FlvDataSize(p + nPos))
    v.emplace_back(p[nPos], FlvTagTime(p + nPos));
  return v;
}

std::vector<std::pair<int, uint32_t>> Write(StreamContinuation &c, const std::string &tags)
{
  const char *p = tags.data();
  size_t n = tags.size();
  c.Rewrite(p, n);
  return Times(p, n);
}

}  // namespace

TEST(Continuation, LiveJoin)
{
  const std::string before = Tag(18, 0, kMeta) + Tag(9, 5000, kKey) + Tag(8, 5010, kAudio);
  const struct {
    const char *szName;
    uint32_t nNewTime;  // the media times of the new connection
    uint32_t nWritten;  // where they land in the file
  } cases[] = {
      {"times go on: a gap", 9000, 9000},
      {"times restart: shifted to follow", 40, 5010},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    StreamContinuation cont;
    Write(cont, before);
    cont.BeginLiveJoin();
    // The server's metadata again and the cached configuration, both at 0.
    EXPECT_TRUE(Write(cont, Tag(18, 0, kMeta) + Tag(9, 0, kAvcConfig)).empty());
    std::vector<std::pair<int, uint32_t>> want = {{9, c.nWritten}, {9, c.nWritten}, {8, c.nWritten + 20}};
    EXPECT_EQ(Write(cont, Tag(9, c.nNewTime, kKey) + Tag(8, c.nNewTime + 20, kAudio)), want);
    EXPECT_EQ(cont.LivePosition(), c.nWritten + 20 - 5000);
  }
}

TEST(Continuation, LivePositionNeverBelowItsOrigin)
{
  // A newcomer's audio may run ahead of the video held back for a keyframe.
  StreamContinuation cont;
  Write(cont, Tag(8, 3970, kAudio) + Tag(9, 3960, kKey));
  EXPECT_EQ(cont.LivePosition(), 0u);
}

TEST(Continuation, PassOver)
{
  StreamContinuation cont;
  Write(cont, Tag(18, 0, kMeta) + Tag(9, 0, kKey) + Tag(9, 1000, kKey) + Tag(8, 1000, kAudio) +
                  Tag(9, 1040, kInter));
  ASSERT_TRUE(cont.HasResumePoint());
  EXPECT_EQ(cont.ResumeTime(), 1000u);
  cont.BeginPassOver();
  // Played again after the keyframe: the audio and inter frame went out already.
  std::vector<std::pair<int, uint32_t>> want = {{9, 1080}, {8, 1080}};
  EXPECT_EQ(Write(cont, Tag(8, 1000, kAudio) + Tag(9, 1040, kInter) + Tag(9, 1080, kInter) + Tag(8, 1080, kAudio)),
            want);
}
