// The analysis of a partial FLV file before a resumed download: hostile
// files written by the test, and the choice of the tag to resume from.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "flv/resume.h"
#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::AnalyzePartialFile;
using RTMP_LIB::ResumeData;
using RTMP_LIB::ResumeResult;

namespace {

std::string Header(uint8_t nFlags)
{
  return Hex("46 4C 56 01") + std::string(1, static_cast<char>(nFlags)) + Hex("00 00 00 09 00 00 00 00");
}

std::string Tag(uint8_t nType, uint32_t nTime, const std::string &data)
{
  return std::string(1, static_cast<char>(nType)) + Be(data.size(), 3) + Be(nTime & 0xffffff, 3) +
         std::string(1, static_cast<char>(nTime >> 24)) + Hex("00 00 00") + data + Be(data.size() + 11, 4);
}

// onMetaData with a duration and a padding string; a long one (AMF0 long
// string) makes the script tag as large as wanted.
std::string Meta(double dDuration, size_t nPadding = 0)
{
  std::string pad = nPadding > 0 ? "\x0c" + Be(nPadding, 4) + std::string(nPadding, 'p') : amf::Str("");
  return Tag(18, 0, amf::Str("onMetaData") + amf::EcmaStart(2) + amf::Key("duration") + amf::Num(dDuration) +
                        amf::Key("pad") + pad + amf::ObjEnd());
}

std::string Key(uint32_t nTime, char c) { return Tag(9, nTime, Hex("12 00 00 80 02") + std::string(20, c)); }
std::string Inter(uint32_t nTime, char c) { return Tag(9, nTime, Hex("22 00 00 80 02") + std::string(10, c)); }
std::string Audio(uint32_t nTime, char c) { return Tag(8, nTime, Hex("2F") + std::string(8, c)); }
// Enhanced RTMP: HEVC coded frames (X: no composition time), a sequence start,
// a command frame; Opus frames and its sequence start.
std::string ExKey(uint32_t nTime, char c) { return Tag(9, nTime, Hex("93 68 76 63 31") + std::string(20, c)); }
std::string ExVideo(uint32_t nTime, const char *szHex) { return Tag(9, nTime, Hex(szHex)); }
std::string Opus(uint32_t nTime, char c) { return Tag(8, nTime, Hex("91 4F 70 75 73") + std::string(8, c)); }

// A partial file in a temporary directory, open for update like the download opens it.
class PartialFile
{
public:
  explicit PartialFile(const std::string &bytes)
  {
    char szDir[] = "/tmp/kavelo-resume-XXXXXX";
    m_dir = mkdtemp(szDir) ? szDir : "/tmp";
    m_path = m_dir + "/partial.flv";
    FILE *f = fopen(m_path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    m_file = fopen(m_path.c_str(), "r+b");
  }
  ~PartialFile()
  {
    if (m_file)
      fclose(m_file);
    unlink(m_path.c_str());
    rmdir(m_dir.c_str());
  }
  FILE *File() { return m_file; }
  const std::string &Path() const { return m_path; }

private:
  std::string m_dir;
  std::string m_path;
  FILE *m_file = nullptr;
};

struct Outcome {
  ResumeResult result;
  ResumeData data;
  int nSkipLeft;
  std::string log;
};

Outcome Analyze(PartialFile &pf, int nSkip = 0)
{
  Outcome o;
  LogCapture log(LOG_LEVEL_DEBUG);
  o.nSkipLeft = nSkip;
  o.result = AnalyzePartialFile(pf.File(), o.nSkipLeft, o.data);
  o.log = log.Text();
  return o;
}

}  // namespace

TEST(ResumeAnalysis, RefusesHostileFiles)
{
  const std::string ok = Header(0x05) + Meta(10) + Key(1000, 'a');
  std::string tooLarge = ok + Audio(1040, 'b');
  tooLarge.replace(tooLarge.size() - 4, 4, Be(tooLarge.size(), 4));
  std::string belowEleven = ok + Audio(1040, 'b');
  belowEleven.replace(belowEleven.size() - 4, 4, Be(7, 4));
  std::string aboveMax = ok + Audio(1040, 'b');
  aboveMax.replace(aboveMax.size() - 4, 4, Hex("7F FF FF FF"));
  std::string pointsIntoHeader = ok + Audio(1040, 'b');
  pointsIntoHeader.replace(pointsIntoHeader.size() - 4, 4, Be(pointsIntoHeader.size() - 4 - 5, 4));
  std::string sizeMismatch = Header(0x05) + Key(1000, 'a') + Audio(1040, 'b');
  sizeMismatch.replace(sizeMismatch.size() - 4, 4, Be(30, 4));  // a tag of 9 bytes of data would start mid-keyframe

  const struct {
    const char *szName;
    std::string bytes;
    std::string error;
  } cases[] = {
      {"shorter than a header", Hex("46 4C 56 01 05 00"), "Couldn't read FLV file header!"},
      {"wrong signature", Hex("46 4C 57 01 05 00 00 00 09 00 00 00 00") + Key(1000, 'a'), "Invalid FLV file!"},
      {"wrong version", Hex("46 4C 56 02 05 00 00 00 09 00 00 00 00") + Key(1000, 'a'), "Invalid FLV file!"},
      {"flags without audio and video", Header(0x00) + Key(1000, 'a'),
       "FLV file contains neither video nor audio, aborting!"},
      {"data offset past the end", Hex("46 4C 56 01 05 00 10 00 00 00 00 00 00"),
       "Invalid FLV file: missing first prevTagSize!"},
      {"no keyframe", Header(0x05) + Inter(1000, 'a') + Audio(1040, 'b'), "Couldn't find keyframe to resume from!"},
      {"previous tag size past the start", tooLarge, "(prevTagSize=" + std::to_string(tooLarge.size()).append(")")},
      {"previous tag size below 11", belowEleven, "(prevTagSize=7) and smaller then filesize, corrupt file!"},
      {"previous tag size above 24 bits", aboveMax, "(prevTagSize=2147483647)"},
      {"previous tag size into the file header", pointsIntoHeader, "corrupt file!"},
      {"previous tag size that does not match the tag", sizeMismatch, "(prevTagSize=30)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    PartialFile pf(c.bytes);
    Outcome o = Analyze(pf);
    EXPECT_EQ(o.result, RTMP_LIB::RESUME_FAILED);
    EXPECT_NE(o.log.find("ERROR: "), std::string::npos) << o.log;
    EXPECT_NE(o.log.find(c.error), std::string::npos) << o.log;
  }
}

TEST(ResumeAnalysis, ChoosesTheTagToResumeFrom)
{
  const std::string video = Header(0x05) + Meta(10) + Key(0, 'a') + Audio(20, 'b') + Inter(40, 'c') +
                            Key(1000, 'd') + Audio(1020, 'e') + Key(2000, 'f') + Inter(2040, 'g') +
                            Audio(2060, 'h');
  const std::string audioOnly = Header(0x04) + Meta(10) + Audio(500, 'a') + Audio(1000, 'b') +
                                Audio(1500, 'c') + Audio(2000, 'd');
  // Each stream's first frame comes before the tag chosen: a stream's first
  // frame is where a new download starts.
  const std::string hevc = Header(0x05) + Meta(10) + Audio(500, 'z') + ExKey(1000, 'a') +
                           ExVideo(1040, "A3 68 76 63 31 bb") + ExVideo(2000, "90 68 76 63 31 01 02") +
                           ExVideo(2040, "D1 68 76 63 31 00 00 00 01");
  const std::string opusOnly = Header(0x04) + Meta(10) + Opus(500, 'z') + Opus(1000, 'a') +
                               Tag(8, 1500, Hex("90 4F 70 75 73 01"));
  const struct {
    const char *szName;
    std::string bytes;
    int nSkip;
    ResumeResult result;
    uint32_t nSeekTime;
    std::string keyframeTag;  // the chosen tag; it ends where the download goes on
    int nSkipLeft;
    size_t nCut = 0;          // bytes of a last tag that the file ends inside
  } cases[] = {
      {"last keyframe before audio and inter frames", video, 0, RTMP_LIB::RESUME_CONTINUE, 2000, Key(2000, 'f'), 0},
      {"one keyframe skipped", video, 1, RTMP_LIB::RESUME_CONTINUE, 1000, Key(1000, 'd'), 0},
      {"keyframe at 0 means a new download", video, 2, RTMP_LIB::RESUME_FRESH, 0, Key(0, 'a'), 0},
      {"more skips than keyframes", video, 5, RTMP_LIB::RESUME_FAILED, 0, "", 2},
      {"audio only: last audio tag", audioOnly, 0, RTMP_LIB::RESUME_CONTINUE, 2000, Audio(2000, 'd'), 0},
      // Any tag counts while skipping an audio-only file.
      {"audio only with two skipped", audioOnly, 2, RTMP_LIB::RESUME_CONTINUE, 1000, Audio(1000, 'b'), 0},
      // Enhanced: a keyframe of coded frames, never a sequence start or a command frame.
      {"Enhanced video", hevc, 0, RTMP_LIB::RESUME_CONTINUE, 1000, ExKey(1000, 'a'), 0},
      {"Enhanced audio only: not its sequence start", opusOnly, 0, RTMP_LIB::RESUME_CONTINUE, 1000, Opus(1000, 'a'),
       0},
      // Interrupted before any media: the header (flags 0 or 5) and metadata only.
      {"header and metadata only", Header(0x00) + Meta(10), 0, RTMP_LIB::RESUME_FRESH, 0, "", 0},
      {"header and metadata, flags 05", Header(0x05) + Meta(10), 0, RTMP_LIB::RESUME_FRESH, 0, "", 0},
      // A crash inside the last tag: resumed from the whole tags before it.
      {"cut inside the last tag", video + Key(3000, 'i').substr(0, 20), 0, RTMP_LIB::RESUME_CONTINUE, 2000,
       Key(2000, 'f'), 0, 20},
      {"cut inside a trailer", video + Key(3000, 'i').substr(0, 34), 1, RTMP_LIB::RESUME_CONTINUE, 1000,
       Key(1000, 'd'), 0, 34},
      {"cut inside the header of the first media tag", Header(0x05) + Meta(10) + Key(1000, 'a').substr(0, 5), 0,
       RTMP_LIB::RESUME_FRESH, 0, "", 0, 5},
      {"cut after damage", video.substr(0, video.size() - 3) + Key(3000, 'i').substr(0, 20), 0,
       RTMP_LIB::RESUME_FAILED, 0, "", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    PartialFile pf(c.bytes);
    Outcome o = Analyze(pf, c.nSkip);
    ASSERT_EQ(o.result, c.result) << o.log;
    EXPECT_EQ(o.nSkipLeft, c.nSkipLeft);
    if (c.result == RTMP_LIB::RESUME_FAILED || c.keyframeTag.empty())
      continue;
    EXPECT_EQ(o.data.nFileSize, c.bytes.size() - c.nCut);
    EXPECT_EQ(o.data.nSeekTime, c.nSeekTime);
    EXPECT_EQ(o.data.storedKeyframeType, static_cast<unsigned char>(c.keyframeTag[0]));
    EXPECT_EQ(std::string(o.data.storedKeyframe.begin(), o.data.storedKeyframe.end()),
              c.keyframeTag.substr(11, c.keyframeTag.size() - 15));
    EXPECT_DOUBLE_EQ(o.data.dDuration, 10.0);
    EXPECT_EQ(o.data.storedMeta.size() + 15, Meta(10).size());
    if (c.result == RTMP_LIB::RESUME_CONTINUE) {
      size_t nEnd = c.bytes.find(c.keyframeTag) + c.keyframeTag.size();
      EXPECT_EQ(o.data.nResumeOffset, nEnd);
      EXPECT_EQ(static_cast<uint64_t>(ftello(pf.File())), nEnd);
    }
  }
}

TEST(ResumeAnalysis, EmptyFileIsANewDownload)
{
  PartialFile pf("");
  Outcome o = Analyze(pf);
  EXPECT_EQ(o.result, RTMP_LIB::RESUME_FRESH);
  EXPECT_EQ(o.data.nFileSize, 0u);
  EXPECT_TRUE(o.data.storedKeyframe.empty());
}

TEST(ResumeAnalysis, MetadataScan)
{
  const std::string media = Audio(500, 'z') + Key(1000, 'a');
  const struct {
    const char *szName;
    std::string bytes;
    size_t nMetaSize;  // 0: none stored
    const char *szLog;
  } cases[] = {
      // Larger than the download's 1 MiB work buffer.
      {"2 MB script tag", Header(0x05) + Meta(33, 2 << 20) + media, Meta(33, 2 << 20).size() - 15,
       "File has duration: 33.000000"},
      {"script tag of another name first", Header(0x05) + Tag(18, 0, amf::Str("onCuePoint") + amf::Num(1)) +
                                                 Meta(33) + media,
       Meta(33).size() - 15, "File has duration: 33.000000"},
      {"no metadata", Header(0x05) + media, 0, "WARNING: Couldn't locate meta data!"},
      {"script tag claiming more than the file", Header(0x05) + Hex("12 FF FF F0 00 00 00 00 00 00 00 02") +
                                                     media,
       0, "WARNING: Couldn't locate meta data!"},
      {"undecodable metadata", Header(0x05) + Tag(18, 0, Hex("02 00 0A 6F 6E")) + media, 0,
       "error decoding meta data packet"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    PartialFile pf(c.bytes);
    Outcome o = Analyze(pf);
    ASSERT_EQ(o.result, RTMP_LIB::RESUME_CONTINUE) << o.log;
    EXPECT_EQ(o.data.storedMeta.size(), c.nMetaSize);
    EXPECT_NE(o.log.find(c.szLog), std::string::npos) << o.log;
    EXPECT_EQ(o.data.nSeekTime, 1000u);
  }
}

// A file past 4 GiB: zeros (a hole) up to a tail of valid tags.
TEST(ResumeAnalysis, SparseFileLargerThanFourGiB)
{
  const uint64_t nTailStart = (4ull << 30) + 12345;
  const std::string tail = Inter(7000000, 'x') + Key(7001000, 'k') + Audio(7001020, 'a');
  const std::string noKeyTail = Inter(7000000, 'x') + Audio(7001020, 'a');
  for (const std::string *pTail : {&tail, &noKeyTail}) {
    PartialFile pf(Header(0x05));
    ASSERT_EQ(ftruncate(fileno(pf.File()), static_cast<off_t>(nTailStart)), 0);
    ASSERT_EQ(fseeko(pf.File(), static_cast<off_t>(nTailStart), SEEK_SET), 0);
    ASSERT_EQ(fwrite(pTail->data(), 1, pTail->size(), pf.File()), pTail->size());
    fflush(pf.File());
    Outcome o = Analyze(pf);
    EXPECT_EQ(o.data.nFileSize, nTailStart + pTail->size());
    if (pTail == &tail) {
      ASSERT_EQ(o.result, RTMP_LIB::RESUME_CONTINUE) << o.log;
      EXPECT_EQ(o.data.nSeekTime, 7001000u);
      uint64_t nEnd = nTailStart + Inter(7000000, 'x').size() + Key(7001000, 'k').size();
      EXPECT_EQ(o.data.nResumeOffset, nEnd);
      EXPECT_EQ(static_cast<uint64_t>(ftello(pf.File())), nEnd);
    } else {
      EXPECT_EQ(o.result, RTMP_LIB::RESUME_FAILED);
      EXPECT_NE(o.log.find("Couldn't find keyframe to resume from!"), std::string::npos) << o.log;
    }
  }
}
