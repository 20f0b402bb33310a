// The debug listing of a value tree, compared line by line.
#include <gtest/gtest.h>

#include "amf/AMFObject.h"
#include "test_amf_support.h"

using namespace RTMP_LIB;
using namespace amftest;

namespace {

// Sets the type field directly, for the types no decoder produces.
struct TypePoke : AMFObjectProperty {
  explicit TypePoke(int nType) { m_nType = static_cast<AMFDataType>(nType); }
};

std::vector<std::string> DumpLines(const AMFObjectProperty &prop, int nLevel = LOG_LEVEL_DEBUG + 1)
{
  LogCapture log(nLevel);
  prop.Dump();
  return log.Lines();
}

}  // namespace

TEST(AmfDump, OneLinePerType)
{
  struct Case {
    const char *szName;
    AMFObjectProperty prop;
    const char *szLine;
  };
  const Case cases[] = {
      {"unnamed number", AMFObjectProperty("", 3.14159),
       "DEBUG: Property: <Name:                  no-name., NUMBER:\t3.14>"},
      {"named number", AMFObjectProperty("duration", 12.5),
       "DEBUG: Property: <Name:                  duration, NUMBER:\t12.50>"},
      {"long name unpadded", AMFObjectProperty("abcdefghijklmnopqrstuvwxyz0123", 1.0),
       "DEBUG: Property: <Name: abcdefghijklmnopqrstuvwxyz0123, NUMBER:\t1.00>"},
      {"true", AMFObjectProperty("b", true), "DEBUG: Property: <Name:                         b, BOOLEAN:\tTRUE>"},
      {"false", AMFObjectProperty("b", false), "DEBUG: Property: <Name:                         b, BOOLEAN:\tFALSE>"},
      {"decoded true", Decoded("01 01", false),
       "DEBUG: Property: <Name:                  no-name., BOOLEAN:\tTRUE>"},
      {"string", AMFObjectProperty("code", "NetStream.Play.Start"),
       "DEBUG: Property: <Name:                      code, STRING:\tNetStream.Play.Start>"},
      {"date", Decoded("00 01 64 0B 40 59 00 00 00 00 00 00 FF C4", true),
       "DEBUG: Property: <Name:                         d, DATE:\ttimestamp: 100.00, UTC offset: -60>"},
      {"null", Decoded("00 01 6E 05", true), "DEBUG: Property: NULL"},
      {"invalid", AMFObjectProperty(), "DEBUG: Property: INVALID"},
      {"type 6", TypePoke(6), "DEBUG: Property: <Name:                  no-name., INVALID TYPE 0x06>"},
      {"type 7", TypePoke(7), "DEBUG: Property: <Name:                  no-name., INVALID TYPE 0x07>"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szName);
    EXPECT_EQ(DumpLines(c.prop), std::vector<std::string>({c.szLine}));
  }
}

TEST(AmfDump, BooleanHoldingTwoPrintsFalse)
{
  // No decoder stores 2 in a boolean; set it directly.
  struct BoolTwo : AMFObjectProperty {
    BoolTwo() { m_nType = AMF_BOOLEAN; m_dNumber = 2; m_strPropName = "b"; }
  };
  EXPECT_EQ(DumpLines(BoolTwo()),
            std::vector<std::string>({"DEBUG: Property: <Name:                         b, BOOLEAN:\tFALSE>"}));
}

TEST(AmfDump, LongStringIsCut)
{
  AMFObjectProperty prop("s", std::string(300, 'x'));
  std::vector<std::string> lines = DumpLines(prop);
  ASSERT_EQ(lines.size(), 1u);
  // The value text, "STRING:" and the tab included, is 254 characters.
  std::string expected = "DEBUG: Property: <Name:                         s, STRING:\t" +
                         std::string(254 - 8, 'x') + ">";
  EXPECT_EQ(lines[0], expected);
}

TEST(AmfDump, NestedObjectsAreFlattened)
{
  // {outer: {inner: {}, n: 1}} then a top-level string.
  std::vector<char> body = Hex(
      "03 00 05 6F 75 74 65 72 03"
      "00 05 69 6E 6E 65 72 03 00 00 09"
      "00 01 6E 00 3F F0 00 00 00 00 00 00"
      "00 00 09 00 00 09"
      "02 00 01 7A");
  AMFObject obj;
  ASSERT_EQ(obj.Decode(body.data(), Size(body)), Size(body));
  LogCapture log(LOG_LEVEL_DEBUG + 1);
  obj.Dump();
  EXPECT_EQ(log.Lines(), std::vector<std::string>({
                             "DEBUG: Property: <Name:                  no-name., OBJECT>",
                             "DEBUG: Property: <Name:                     outer, OBJECT>",
                             "DEBUG: Property: <Name:                     inner, OBJECT>",
                             "DEBUG: Property: <Name:                         n, NUMBER:\t1.00>",
                             "DEBUG: Property: <Name:                  no-name., STRING:\tz>",
                         }));
}

TEST(AmfDump, UnnamedLinesOnlyUnderDebug)
{
  AMFObject obj;
  obj.AddProperty(AMFObjectProperty("", 1.0));
  obj.AddProperty(AMFObjectProperty("named", 2.0));
  LogCapture log(LOG_LEVEL_DEBUG);
  obj.Dump();
  EXPECT_EQ(log.Lines(),
            std::vector<std::string>({"DEBUG: Property: <Name:                     named, NUMBER:\t2.00>"}));
}
