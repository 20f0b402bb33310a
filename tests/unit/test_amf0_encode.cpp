// AMF0 encoding: exact bytes, room checks, types the encoder refuses, and
// round trips through the decoder.
#include <gtest/gtest.h>

#include "amf/AMFObject.h"
#include "test_amf_support.h"

using namespace RTMP_LIB;
using namespace amftest;

namespace {

std::vector<char> Encoded(const AMFObjectProperty &prop, int nRoom)
{
  std::vector<char> out(static_cast<size_t>(nRoom) + 16, 0x55);
  int nRes = prop.Encode(out.data(), nRoom);
  // Nothing past the room is touched.
  for (size_t i = static_cast<size_t>(nRoom); i < out.size(); i++)
    EXPECT_EQ(out[i], 0x55) << "byte " << i;
  if (nRes < 0)
    return {};
  out.resize(static_cast<size_t>(nRes));
  return out;
}

}  // namespace

TEST(Amf0Encode, PropertyBytesAndRoom)
{
  struct Case {
    const char *szName;
    AMFObjectProperty prop;
    const char *szHex;  // exact output
    int nMinRoom;       // less fails: the name length + 3 is checked first
  };
  const Case cases[] = {
      {"number", AMFObjectProperty("", 1.0), "00 3F F0 00 00 00 00 00 00", 9},
      {"named number", AMFObjectProperty("a", 0.0), "00 01 61 00 00 00 00 00 00 00 00 00", 12},
      {"unnamed true", AMFObjectProperty("", true), "01 01", 3},
      {"named true", AMFObjectProperty("b", true), "00 01 62 01 01", 5},
      {"unnamed false", AMFObjectProperty("", false), "01 00", 3},
      {"string", AMFObjectProperty("", "abc"), "02 00 03 61 62 63", 6},
      {"named empty string", AMFObjectProperty("s", ""), "00 01 73 02 00 00", 6},
      {"object", AMFObjectProperty("o", AMFObject()), "00 01 6F 03 00 00 09", 7},
      {"null", Decoded("05", false), "05", 1},
      // A null goes out without its name.
      {"named null", Decoded("00 01 61 05", true), "05", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szName);
    std::vector<char> expected = Hex(c.szHex);
    EXPECT_EQ(Encoded(c.prop, c.nMinRoom), expected);
    EXPECT_EQ(Encoded(c.prop, c.nMinRoom + 5), expected);
    EXPECT_EQ(Encoded(c.prop, c.nMinRoom - 1), std::vector<char>());
  }
}

TEST(Amf0Encode, RefusedProperties)
{
  AMFObjectProperty date = Decoded("0B 40 59 00 00 00 00 00 00 FF C4", false);
  AMFObjectProperty invalid;
  AMFObjectProperty longString("", std::string(70000, 'x'));
  AMFObjectProperty longName(std::string(70000, 'n'), 1.0);
  LogCapture log;
  EXPECT_EQ(Encoded(invalid, 100), std::vector<char>());
  EXPECT_EQ(log.Text(), "");
  EXPECT_EQ(Encoded(longString, 80000), std::vector<char>());
  EXPECT_EQ(Encoded(longName, 80000), std::vector<char>());
  EXPECT_EQ(Encoded(date, 100), std::vector<char>());
  EXPECT_EQ(log.Lines(), std::vector<std::string>({"ERROR: Encode, invalid type. 8"}));
}

TEST(Amf0Encode, ObjectWithOneNumber)
{
  AMFObject obj;
  obj.AddProperty(AMFObjectProperty("a", 1.0));
  std::vector<char> out(64);
  ASSERT_EQ(obj.Encode(out.data(), Size(out)), 16);
  out.resize(16);
  EXPECT_EQ(out, Hex("03 00 01 61 00 3F F0 00 00 00 00 00 00 00 00 09"));
  EXPECT_EQ(obj.Encode(out.data(), 15), -1);
  AMFObject empty;
  EXPECT_EQ(empty.Encode(out.data(), 4), 4);
  EXPECT_EQ(empty.Encode(out.data(), 3), -1);
}

TEST(Amf0Encode, FailedPropertyIsLeftOut)
{
  AMFObject obj;
  obj.AddProperty(AMFObjectProperty("a", true));
  obj.AddProperty(Decoded("00 01 64 0B 00 00 00 00 00 00 00 00 00 00", true));
  obj.AddProperty(AMFObjectProperty("c", false));
  LogCapture log;
  std::vector<char> out(64);
  int nRes = obj.Encode(out.data(), Size(out));
  ASSERT_EQ(nRes, 14);
  out.resize(14);
  EXPECT_EQ(out, Hex("03 00 01 61 01 01 00 01 63 01 00 00 00 09"));
  std::string text = log.Text();
  EXPECT_EQ(CountOf(text, "ERROR: Encode, invalid type. 8"), 1);
  EXPECT_EQ(CountOf(text, "ERROR: AMFObject::Encode - failed to encode property in index 1"), 1);
}

TEST(Amf0Encode, RoundTripThroughTheDecoder)
{
  // An onMetaData-like tree: numbers, booleans, strings, a nested object and
  // an object inside that.
  const char *bodies[] = {
      "03"
      "00 08 64 75 72 61 74 69 6F 6E 00 40 24 00 00 00 00 00 00"
      "00 0C 68 61 73 4B 65 79 66 72 61 6D 65 73 01 01"
      "00 07 65 6E 63 6F 64 65 72 02 00 03 6B 76 31"
      "00 09 6B 65 79 66 72 61 6D 65 73 03"
      "00 05 74 69 6D 65 73 03 00 01 30 00 00 00 00 00 00 00 00 00 00 00 09"
      "00 05 65 6D 70 74 79 03 00 00 09"
      "00 00 09"
      "00 00 09",
      "03 00 00 09",
  };
  for (const char *szHex : bodies) {
    std::vector<char> body = Hex(szHex);
    AMFObject top;
    ASSERT_EQ(top.Decode(body.data(), Size(body)), Size(body));
    ASSERT_EQ(top.GetPropertyCount(), 1);
    std::vector<char> out(body.size() + 8);
    int nRes = top.GetProperty(0).GetObject().Encode(out.data(), Size(out));
    ASSERT_EQ(nRes, Size(body));
    out.resize(static_cast<size_t>(nRes));
    EXPECT_EQ(out, body);
  }
}
