// The metadata listing, the duration and the property search.
#include <gtest/gtest.h>

#include "rtmp_test_peer.h"

using namespace testpeer;
using RTMP_LIB::AMFObject;
using RTMP_LIB::AMFObjectProperty;
using RTMP_LIB::CRTMP;

namespace {

AMFObject Decoded(const std::string &bytes)
{
  AMFObject obj;
  EXPECT_GE(obj.Decode(bytes.data(), static_cast<int>(bytes.size()), false), 0);
  return obj;
}

std::string Listing(const std::string &bytes)
{
  AMFObject obj = Decoded(bytes);
  LogCapture log(LOG_LEVEL_ERROR);
  CRTMP::DumpMetaData(obj);
  return log.Text();
}

std::string Meta(const std::string &props)
{
  return amf::Str("onMetaData") + amf::EcmaStart(0) + props + amf::ObjEnd();
}

}  // namespace

TEST(DumpMetaData, ValueFormats)
{
  const struct {
    const char *szName;
    std::string value;
    const char *szLine;
  } cases[] = {
      {"whole number", amf::Num(25), "  framerate             25\n"},
      {"fraction", amf::Num(29.97), "  framerate             29.97\n"},
      {"above int", amf::Num(2147483648.0), "  framerate             2147483648.00\n"},
      {"int minimum", amf::Num(-2147483648.0), "  framerate             -2147483648\n"},
      {"below int", amf::Num(-2147483649.0), "  framerate             -2147483649.00\n"},
      {"huge", amf::Num(1e20), "  framerate             100000000000000000000.00\n"},
      {"negative zero", amf::Num(-0.0), "  framerate             -0\n"},
      {"true", amf::Bool(true), "  framerate             TRUE\n"},
      {"false", amf::Bool(false), "  framerate             FALSE\n"},
      {"string", amf::Str("avc1"), "  framerate             avc1\n"},
      {"string with line end", amf::Str("two\n"), "  framerate             two\n"},
      {"empty string", amf::Str(""), "  framerate             \n"},
      {"date", amf::Date(1500.5, -60), "  framerate             timestamp:1500.50\n"},
      {"null", amf::Null(), "  framerate             INVALID TYPE 0x05\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    EXPECT_EQ(Listing(Meta(amf::Key("framerate") + c.value + amf::Key("z") + amf::Num(1))),
              std::string(c.szLine) + "  z                     1\n");
  }
}

// NaN and infinities must not reach the int conversion; the text is the C
// library's own and not pinned here.
TEST(DumpMetaData, NonFiniteNumbersPrintWithDecimals)
{
  for (const char *szBits : {"7F F8 00 00 00 00 00 00", "7F F0 00 00 00 00 00 00", "FF F0 00 00 00 00 00 00"}) {
    SCOPED_TRACE(szBits);
    std::string text = Listing(Meta(amf::Key("d") + std::string(1, '\0') + Hex(szBits)));
    ASSERT_EQ(text.rfind("  d                     ", 0), 0u) << text;
    EXPECT_TRUE(text.find("nan") != std::string::npos || text.find("inf") != std::string::npos) << text;
  }
}

TEST(DumpMetaData, LongNamesNestedObjectsAndUnnamedValues)
{
  std::string body = Meta(amf::Key("averylongpropertyname_over22") + amf::Num(1) + amf::Key("trackinfo") +
                          amf::ObjStart() + amf::Key("language") + amf::Str("eng") + amf::ObjEnd() +
                          amf::Key("stereo") + amf::Bool(true)) +
                     amf::Str("unnamed trailing value");
  EXPECT_EQ(Listing(body),
            "  averylongpropertyname_over221\n"
            "trackinfo:\n"
            "  language              eng\n"
            "  stereo                TRUE\n");
}

TEST(DumpMetaData, LongStringIsCut)
{
  std::string text = Listing(Meta(amf::Key("s") + amf::Str(std::string(400, 'q'))));
  EXPECT_EQ(text, "  s                     " + std::string(255, 'q') + "\n");
}

TEST(FindFirstMatchingProperty, SearchesPastNestedObjects)
{
  const struct {
    const char *szName;
    std::string body;
    bool bFound;
    double dValue;
  } cases[] = {
      {"top level of the metadata", Meta(amf::Key("duration") + amf::Num(120.5)), true, 120.5},
      {"after a nested object without it",
       Meta(amf::Key("keyframes") + amf::ObjStart() + amf::Key("times") + amf::Num(0) + amf::ObjEnd() +
            amf::Key("duration") + amf::Num(33)),
       true, 33},
      {"inside a nested object",
       Meta(amf::Key("info") + amf::ObjStart() + amf::Key("duration") + amf::Num(7) + amf::ObjEnd()), true, 7},
      {"first match wins", Meta(amf::Key("duration") + amf::Num(1) + amf::Key("duration") + amf::Num(2)), true, 1},
      {"absent", Meta(amf::Key("width") + amf::Num(640)), false, -1},
      {"case matters", Meta(amf::Key("Duration") + amf::Num(640)), false, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    AMFObject obj = Decoded(c.body);
    AMFObjectProperty prop;
    AMFObject marker = Decoded(amf::Str("untouched"));
    prop = marker.GetProperty(0);
    EXPECT_EQ(CRTMP::FindFirstMatchingProperty(obj, "duration", prop), c.bFound);
    if (c.bFound) {
      EXPECT_EQ(prop.GetPropName(), "duration");
      EXPECT_EQ(prop.GetNumber(), c.dValue);
    } else {
      EXPECT_EQ(prop.GetString(), "untouched");
    }
  }
}

TEST(FindFirstMatchingProperty, MatchingObjectIsReturnedItself)
{
  AMFObject obj = Decoded(Meta(amf::Key("trackinfo") + amf::ObjStart() + amf::Key("trackinfo") + amf::Num(1) +
                               amf::ObjEnd()));
  AMFObjectProperty prop;
  ASSERT_TRUE(CRTMP::FindFirstMatchingProperty(obj, "trackinfo", prop));
  EXPECT_EQ(prop.GetType(), RTMP_LIB::AMF_OBJECT);
  EXPECT_EQ(prop.GetObject().GetPropertyCount(), 1);
}

TEST(HandleMetadata, DurationAndHeading)
{
  const struct {
    const char *szName;
    std::string body;
    bool bResult;
    double dDuration;  // m_fDuration starts at 9
  } cases[] = {
      {"duration", Meta(amf::Key("duration") + amf::Num(120.5)), true, 120.5},
      {"duration after an object",
       Meta(amf::Key("keyframes") + amf::ObjStart() + amf::ObjEnd() + amf::Key("duration") + amf::Num(64)), true,
       64},
      {"duration as a string counts as 0", Meta(amf::Key("duration") + amf::Str("long")), true, 0},
      {"no duration", Meta(amf::Key("width") + amf::Num(640)), true, 9},
      {"other notify", amf::Str("onCuePoint") + amf::Num(1), false, 9},
      {"no string first", amf::Num(1) + amf::Num(2), false, 9},
      {"undecodable", amf::Str("onMetaData") + Hex("12 00 00"), false, 9},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    CRTMP r;
    r.m_fDuration = 9;
    std::vector<char> body(c.body.begin(), c.body.end());
    LogCapture log(LOG_LEVEL_ERROR);
    EXPECT_EQ(r.HandleMetadata(body.data(), static_cast<unsigned int>(body.size())), c.bResult);
    EXPECT_EQ(r.GetDuration(), c.dDuration);
    EXPECT_EQ(log.Text().rfind("\rMetadata:                  \n", 0) == 0, c.bResult) << log.Text();
  }
}

TEST(HandleMetadata, UndecodableBodyIsLogged)
{
  CRTMP r;
  std::string body = amf::Str("onMetaData") + Hex("12 00 00");
  LogCapture log(LOG_LEVEL_ERROR);
  EXPECT_FALSE(r.HandleMetadata(&body[0], static_cast<unsigned int>(body.size())));
  EXPECT_TRUE(Contains(log, "ERROR: HandleMetadata, error decoding meta data packet\n"));
}
