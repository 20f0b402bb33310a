// The classification of audio and video message bodies on literal header
// bytes: classic FLV, each Enhanced packet type, ModEx, the three multitrack
// layouts, and headers cut short.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flv/flv.h"
#include "flv/media_header.h"
#include "hex_bytes.h"

using RTMP_LIB::ClassifyMedia;
using RTMP_LIB::MediaHeader;
using testhex::Hex;

namespace {

// FourCCs in hex.
#define HVC1 "68766331"
#define AV01 "61763031"
#define VP09 "76703039"
#define OPUS "4F707573"
#define FLAC "664C6143"
#define AC3 "61632D33"
#define EC3 "65632D33"

struct Case {
  const char *name;
  unsigned char type;
  const char *hex;
  const char *flags;   // E enhanced, K keyframe, C codec configuration, F coded frames, X command, D damaged
  const char *fourcc;  // "" for none
  int nTrackMode;
};

std::string Flags(const MediaHeader &h)
{
  std::string s;
  s += h.bEnhanced ? "E" : "";
  s += h.bKeyframe ? "K" : "";
  s += h.bCodecConfig ? "C" : "";
  s += h.bCodedFrames ? "F" : "";
  s += h.bCommandFrame ? "X" : "";
  s += h.bDamaged ? "D" : "";
  return s;
}

std::string FourCc(uint32_t v)
{
  if (v == 0)
    return "";
  return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
}

// The body in a heap block of exactly its size, so that the sanitizer sees
// any read past it.
MediaHeader Classify(unsigned char type, const std::string &bytes)
{
  std::vector<char> body(bytes.begin(), bytes.end());
  return ClassifyMedia(type, body.empty() ? nullptr : body.data(), static_cast<uint32_t>(body.size()));
}

const unsigned char V = FLV_TAG_VIDEO;
const unsigned char A = FLV_TAG_AUDIO;

const Case kCases[] = {
    // Classic video: the frame type in the high four bits, as always (an AVC
    // sequence header is a keyframe too).
    {"H.263 keyframe", V, "12 00 00 80 02 80", "KF", "", 0},
    {"AVC sequence header", V, "17 00 000000 01 64 00 1f", "KC", "", 0},
    {"info frame", V, "52 00", "X", "", 0},
    {"empty video", V, "", "D", "", 0},
    // Enhanced video, each packet type.
    {"sequence start", V, "90" HVC1 "01 02 03", "EC", "hvc1", 0},
    {"coded frames keyframe", V, "91" HVC1 "000000 aa bb", "EKF", "hvc1", 0},
    {"coded frames inter frame", V, "a1" HVC1 "000028 aa", "EF", "hvc1", 0},
    {"sequence end", V, "92" HVC1, "E", "hvc1", 0},
    {"coded frames X keyframe", V, "93" AV01 "aa bb", "EKF", "av01", 0},
    {"metadata", V, "94" HVC1 "02 00 09 63 6f 6c 6f 72 49 6e 66 6f", "E", "hvc1", 0},
    {"MPEG-2 TS sequence start", V, "95" AV01 "81 00", "EC", "av01", 0},
    {"command frame", V, "d1" HVC1 "000000 01", "EX", "hvc1", 0},
    {"coded frames without composition time", V, "91" HVC1 "0000", "ED", "", 0},
    {"FourCC cut short", V, "93 6876", "ED", "", 0},
    // ModEx: sizes of UI8 + 1 and (after 255) UI16 + 1, chained, bounded.
    {"ModEx then coded frames", V, "97 00 aa 01" HVC1 "000000 cc", "EKF", "hvc1", 0},
    {"ModEx with a 16-bit size", V, "97 ff 0001 aa bb 03" AV01 "cc", "EKF", "av01", 0},
    {"eight ModEx blocks", V, "97 00aa07 00aa07 00aa07 00aa07 00aa07 00aa07 00aa07 00aa03" AV01, "EKF", "av01", 0},
    {"nine ModEx blocks", V, "97 00aa07 00aa07 00aa07 00aa07 00aa07 00aa07 00aa07 00aa07 00aa03" AV01, "ED", "", 0},
    {"ModEx data past the end", V, "97 05 aa bb", "ED", "", 0},
    {"ModEx then multitrack", V, "97 00 aa 06 03" AV01 "00 cc", "EKF", "av01", 1},
    // Multitrack: one track, many tracks of one codec, many codecs.
    {"one track", V, "96 01" HVC1 "00 000000 aa", "EKF", "hvc1", 1},
    {"many tracks, one codec", V, "96 13" AV01 "00 000002 aabb 01 000001 cc", "EKF", "av01", 2},
    {"many tracks, many codecs", V, "96 23" VP09 "00 000001 aa" AV01 "01 000001 bb", "EKF", "vp09", 3},
    {"track size past the end", V, "96 13" AV01 "00 000009 aabb", "ED", "", 0},
    {"second track cut short", V, "96 13" AV01 "00 000001 aa 01 00", "ED", "", 0},
    {"first track too short for its composition time", V, "96 11" HVC1 "00 000002 0000", "ED", "", 0},
    {"multitrack inside multitrack", V, "96 06" HVC1 "00", "ED", "", 0},
    {"unknown multitrack type", V, "96 31" HVC1 "00 000000", "ED", "", 0},
    // Classic audio: every tag holds frames but the AAC sequence header.
    {"MP3", A, "2f ff fb", "F", "", 0},
    {"AAC sequence header", A, "af 00 12 10", "C", "", 0},
    {"AAC raw", A, "af 01 21 10", "F", "", 0},
    // Enhanced audio.
    {"Opus sequence start", A, "90" OPUS "4f 70 75 73 48 65 61 64", "EC", "Opus", 0},
    {"Opus frames", A, "91" OPUS "fc ff fe", "EF", "Opus", 0},
    {"FLAC multichannel configuration", A, "94" FLAC "01 02 00 01", "EC", "fLaC", 0},
    {"audio one track", A, "95 01" AC3 "00 0b 77", "EF", "ac-3", 1},
    {"audio many tracks, many codecs", A, "95 21" EC3 "00 000001 aa" OPUS "01 000001 bb", "EF", "ec-3", 3},
    {"audio track size past the end", A, "95 11" OPUS "00 000004 aa", "ED", "", 0},
};

TEST(MediaHeader, ClassifiesLiteralHeaders)
{
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    MediaHeader h = Classify(c.type, Hex(c.hex));
    EXPECT_EQ(Flags(h), c.flags);
    EXPECT_EQ(FourCc(h.nFourCc), c.fourcc);
    EXPECT_EQ(h.nTrackMode, c.nTrackMode);
  }
}

}  // namespace
