// AMF0 decoding and encoding on literal bytes: every marker, truncated and
// hostile lengths, the recovery scan of a sequence, the nesting bound.
#include <gtest/gtest.h>

#include <cstring>

#include "amf/AMFObject.h"
#include "test_amf_support.h"

using namespace RTMP_LIB;
using namespace amftest;

namespace {

struct ValueCase {
  const char *szHex;
  bool bName;
  int nResult;
  AMFDataType nType;
  double dNumber;
  const char *szString;
  int nProps;           // members of an object value
  const char *szLog;    // a text the log must hold; nullptr: the log stays empty
};

const ValueCase kValueCases[] = {
    {"00 3F F0 00 00 00 00 00 00", false, 9, AMF_NUMBER, 1.0, "", 0, nullptr},
    {"00 3F F0 00 00 00 00 00", false, -1, AMF_INVALID, 0, "", 0, nullptr},
    {"01 01", false, 2, AMF_BOOLEAN, 1, "", 0, nullptr},
    {"01 02", false, 2, AMF_BOOLEAN, 0, "", 0, nullptr},
    {"01", false, -1, AMF_INVALID, 0, "", 0, nullptr},
    {"02 00 03 61 62 63", false, 6, AMF_STRING, 0, "abc", 0, nullptr},
    {"02 00 03 61 00 63", false, 6, AMF_STRING, 0, "a", 0, nullptr},
    {"02 00 00", false, 3, AMF_STRING, 0, "", 0, nullptr},
    {"02 00 04 61 62 63", false, -1, AMF_INVALID, 0, "", 0, nullptr},
    {"02 FF FF 61", false, -1, AMF_INVALID, 0, "", 0, nullptr},
    {"02 00", false, -1, AMF_INVALID, 0, "", 0, nullptr},
    {"03 00 01 61 05 00 00 09", false, 8, AMF_OBJECT, 0, "", 1, nullptr},
    {"03 00 00 09", false, 4, AMF_OBJECT, 0, "", 0, nullptr},
    {"04 00 00 09", false, -1, AMF_INVALID, 0, "", 0, "ERROR: AMF_MOVIE_CLIP not supported!"},
    {"05", false, 1, AMF_NULL, 0, "", 0, nullptr},
    {"06", false, 1, AMF_NULL, 0, "", 0, nullptr},
    {"07 00 01", false, -1, AMF_INVALID, 0, "", 0, "ERROR: AMF_REFERENCE not supported!"},
    {"08 00 00 00 0A 00 01 61 05 00 00 09", false, 12, AMF_OBJECT, 0, "", 1, nullptr},
    {"08 00 00 00", false, -1, AMF_INVALID, 0, "", 0, nullptr},
    {"09", false, -1, AMF_INVALID, 0, "", 0, "DEBUG: Decode - unknown datatype 0x09, @0x00000000"},
    {"0A 00 00 00 00", false, 5, AMF_OBJECT, 0, "", 0, nullptr},
    {"0A FF FF FF FF 05", false, 5, AMF_OBJECT, 0, "", 0, nullptr},
    {"0A 80 00 00 00", false, 5, AMF_OBJECT, 0, "", 0, nullptr},
    {"0A 00 00 00 02 05 00 3F F0 00 00 00 00 00 00", false, 15, AMF_OBJECT, 0, "", 2, nullptr},
    {"0A 00 00 00 03 05 05", false, -1, AMF_INVALID, 0, "", 0, "Empty buffer/no buffer pointer!"},
    {"0A 7F FF FF FF 05 05", false, -1, AMF_INVALID, 0, "", 0, "Empty buffer/no buffer pointer!"},
    {"0A 00 00 00", false, -1, AMF_INVALID, 0, "", 0, nullptr},
    {"0B 40 59 00 00 00 00 00 00 FF C4", false, 11, AMF_DATE, 100, "", 0, "DEBUG: AMF_DATE"},
    {"0B 40 59 00 00 00 00 00 00 FF", false, -1, AMF_INVALID, 0, "", 0, "DEBUG: AMF_DATE"},
    {"0C 00 00 00 02 61 62", false, 7, AMF_STRING, 0, "ab", 0, "WARNING: AMF_LONG_STRING not tested!"},
    {"0C 00 00 00 00", false, 5, AMF_STRING, 0, "", 0, "AMF_LONG_STRING"},
    {"0C 00 00 00 03 61 62", false, -1, AMF_INVALID, 0, "", 0, "AMF_LONG_STRING"},
    {"0C FF FF FF FF 61", false, -1, AMF_INVALID, 0, "", 0, "AMF_LONG_STRING"},
    {"0C 80 00 00 01 61", false, -1, AMF_INVALID, 0, "", 0, "AMF_LONG_STRING"},
    {"0C 00 00", false, -1, AMF_INVALID, 0, "", 0, "AMF_LONG_STRING"},
    {"0D", false, 1, AMF_NULL, 0, "", 0, nullptr},
    {"0E", false, -1, AMF_INVALID, 0, "", 0, "ERROR: AMF_RECORDSET not supported!"},
    {"0F 00 00 00 00", false, -1, AMF_INVALID, 0, "", 0, "ERROR: AMF_XML not supported!"},
    {"10 00 01 61 00 00 09", false, -1, AMF_INVALID, 0, "", 0, "ERROR: AMF_CLASS_OBJECT not supported!"},
    {"11 0A 01", false, 3, AMF_OBJECT, 0, "", 0, "ERROR: AMF_AMF3_OBJECT to be tested!"},
    {"11", false, -1, AMF_INVALID, 0, "", 0, "AMF_AMF3_OBJECT to be tested!"},
    {"12", false, -1, AMF_INVALID, 0, "", 0, "DEBUG: Decode - unknown datatype 0x12, @0x00000000"},
    {"FF 00 00 09", false, -1, AMF_INVALID, 0, "", 0, "unknown datatype 0xff, @0x00000000"},
    // Named values.
    {"00 01 61 05", true, 4, AMF_NULL, 0, "", 0, nullptr},
    {"00 03 61 00 62 02 00 01 7A", true, 9, AMF_STRING, 0, "z", 0, nullptr},
    {"00 00 05 05", true, 3, AMF_NULL, 0, "", 0, nullptr},
    {"00 01 61 12", true, -1, AMF_INVALID, 0, "", 0, "unknown datatype 0x12, @0x00000003"},
    {"00 01 61", true, -1, AMF_INVALID, 0, "", 0,
     "Decode: Not enough data for decoding with name, less then 4 bytes!"},
    {"00 05 61 62 63 64", true, -1, AMF_INVALID, 0, "", 0,
     "Decode: Name size out of range: namesize (5) > len (6) - 2"},
    {"FF FF 00 00", true, -1, AMF_INVALID, 0, "", 0, "namesize (65535) > len (4) - 2"},
    {"00 02 61 62", true, -1, AMF_INVALID, 0, "", 0, nullptr},
    {"", false, -1, AMF_INVALID, 0, "", 0, "DEBUG: Decode: Empty buffer/no buffer pointer!"},
};

}  // namespace

TEST(Amf0Decode, EveryMarker)
{
  for (const ValueCase &c : kValueCases) {
    SCOPED_TRACE(c.szHex);
    AMFObjectProperty prop;
    auto decode = [&](const char *p, int n) { return prop.Decode(p, n, c.bName); };
    if (!DecodeChecked(c.szHex, c.nResult, c.szLog, decode))
      continue;
    ExpectScalar(prop, c.nType, c.dNumber, c.szString);
    EXPECT_EQ(prop.GetObject().GetPropertyCount(), c.nProps);
  }
}

TEST(Amf0Decode, NestedMembersKeepNamesAndValues)
{
  // {"level": "status", "meta": {"w": 640.0}} as an ECMA array holding an object.
  std::vector<char> body = Hex(
      "08 00 00 00 02"
      "00 05 6C 65 76 65 6C 02 00 06 73 74 61 74 75 73"
      "00 04 6D 65 74 61 03 00 01 77 00 40 84 00 00 00 00 00 00 00 00 09"
      "00 00 09");
  AMFObject obj;
  ASSERT_EQ(obj.Decode(body.data(), Size(body)), Size(body));
  const AMFObject &array = obj.GetProperty(0).GetObject();
  ASSERT_EQ(array.GetPropertyCount(), 2);
  EXPECT_EQ(array.GetProperty("level").GetString(), "status");
  EXPECT_EQ(array.GetProperty("meta").GetObject().GetProperty("w").GetNumber(), 640.0);
}

TEST(Amf0Decode, MessageBodies)
{
  struct Case {
    const char *szName;
    const char *szHex;
    int nResult;
    int nProps;
  };
  const Case cases[] = {
      {"_result and a number", "02 00 07 5F 72 65 73 75 6C 74 00 3F F0 00 00 00 00 00 00", 19, 2},
      {"trailing null not counted", "02 00 01 61 05", 4, 1},
      {"trailing boolean not counted", "02 00 01 61 01 01", 4, 1},
      {"end marker stops the body", "05 00 00 09 02 00 01 61", 4, 1},
      {"metadata count ignored",
       "02 00 0A 6F 6E 4D 65 74 61 44 61 74 61 08 00 00 00 0A"
       "00 01 61 05 00 01 62 05 00 01 63 05 00 00 09",
       33, 2},
      {"empty", "", 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szName);
    std::vector<char> body = Hex(c.szHex);
    AMFObject obj;
    EXPECT_EQ(obj.Decode(body.data(), Size(body)), c.nResult);
    EXPECT_EQ(obj.GetPropertyCount(), c.nProps);
  }

  std::vector<char> meta = Hex(cases[4].szHex);
  AMFObject obj;
  obj.Decode(meta.data(), Size(meta));
  EXPECT_EQ(obj.GetProperty(1).GetObject().GetPropertyCount(), 3);
}

TEST(Amf0Decode, DecoderAppendsToWhatTheObjectHolds)
{
  std::vector<char> body = Hex("02 00 01 61 00 00 00 00 00 00 00 00 00");
  AMFObject obj;
  obj.AddProperty(AMFObjectProperty("kept", 1.0));
  ASSERT_EQ(obj.Decode(body.data(), Size(body)), Size(body));
  EXPECT_EQ(obj.GetPropertyCount(), 3);
  EXPECT_EQ(obj.GetProperty(0).GetPropName(), "kept");
}

TEST(Amf0Recovery, BadMemberSkipsToTheObjectEnd)
{
  // {a: 1.0, b: <reference>, c: null} then the string "z".
  std::vector<char> body = Hex(
      "03 00 01 61 00 3F F0 00 00 00 00 00 00"
      "00 01 62 07 00 01 00 01 63 05 00 00 09"
      "02 00 01 7A");
  LogCapture log;
  AMFObject obj;
  ASSERT_EQ(obj.Decode(body.data(), Size(body)), Size(body));
  std::string text = log.Text();
  EXPECT_EQ(CountOf(text, "AMF_REFERENCE not supported!"), 1);
  // From "00 01 62" up to the end marker: 10 bytes.
  EXPECT_EQ(CountOf(text, "ERROR: DECODING ERROR, IGNORING BYTES UNTIL NEXT KNOWN PATTERN!\n"), 10);
  ASSERT_EQ(obj.GetPropertyCount(), 2);
  const AMFObject &inner = obj.GetProperty(0).GetObject();
  ASSERT_EQ(inner.GetPropertyCount(), 1);
  EXPECT_EQ(inner.GetProperty(0).GetPropName(), "a");
  EXPECT_EQ(obj.GetProperty(1).GetString(), "z");
}

TEST(Amf0Recovery, TopLevelFailure)
{
  struct Case {
    const char *szName;
    const char *szHex;
    int nResult;
    int nSkipped;
    const char *szLog;
  };
  const Case cases[] = {
      // Two bytes skipped while more than two remain, then no end marker.
      {"no later end marker", "02 00 01 61 12 05 05 05", -1, 2, "unknown datatype 0x12, @0x00000004"},
      {"later end marker ends the body", "02 00 01 61 12 AA 00 00 09 05 05 05", 9, 2, "0x12"},
      // The offset counts from the start of the body, not of the nested object.
      {"offset inside a nested object", "02 00 01 61 03 00 01 62 12 00 00 09", 12, 4,
       "Decode - unknown datatype 0x12, @0x00000008"},
      {"truncated value in the middle", "02 00 01 61 02 00 09 61 62", -1, 3, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szName);
    std::vector<char> body = Hex(c.szHex);
    LogCapture log;
    AMFObject obj;
    EXPECT_EQ(obj.Decode(body.data(), Size(body)), c.nResult);
    ASSERT_GE(obj.GetPropertyCount(), 1);
    EXPECT_EQ(obj.GetProperty(0).GetString(), "a");
    EXPECT_EQ(CountOf(log.Text(), "IGNORING BYTES"), c.nSkipped);
    if (c.szLog != nullptr) {
      EXPECT_NE(log.Text().find(c.szLog), std::string::npos) << log.Text();
    }
  }
}

TEST(Amf0Decode, StrictArrayDirect)
{
  std::vector<char> two = Hex("05 01 01");
  AMFObject obj;
  EXPECT_EQ(obj.DecodeArray(two.data(), Size(two), 2), 3);
  EXPECT_EQ(obj.GetPropertyCount(), 2);
  AMFObject short3;
  EXPECT_EQ(short3.DecodeArray(two.data(), Size(two), 3), -1);
  EXPECT_EQ(short3.GetPropertyCount(), 2);
  AMFObject none;
  EXPECT_EQ(none.DecodeArray(two.data(), Size(two), 0), 0);
  std::vector<char> named = Hex("00 01 61 05 00 01 62 01 00");
  AMFObject withNames;
  EXPECT_EQ(withNames.DecodeArray(named.data(), Size(named), 2, true), 9);
  EXPECT_EQ(withNames.GetProperty("b").GetType(), AMF_BOOLEAN);
}

namespace {

// n objects nested as members named "a"; the innermost holds b = true.
std::vector<char> NestedObjects(int n)
{
  std::vector<char> body = Hex("03");
  for (int i = 1; i < n; i++)
    body = amftest::Concat(body, Hex("00 01 61 03"));
  body = amftest::Concat(body, Hex("00 01 62 01 01"));
  for (int i = 0; i < n; i++)
    body = amftest::Concat(body, Hex("00 00 09"));
  return body;
}

}  // namespace

TEST(Amf0Depth, SixtyFourLevelsDecode)
{
  std::vector<char> body = NestedObjects(AMF_MAX_DEPTH);
  LogCapture log;
  AMFObject obj;
  ASSERT_EQ(obj.Decode(body.data(), Size(body)), Size(body));
  const AMFObject *inner = nullptr;
  EXPECT_EQ(Depth(obj, &inner), AMF_MAX_DEPTH);
  EXPECT_EQ(inner->GetProperty("b").GetNumber(), 1);
  EXPECT_EQ(CountOf(log.Text(), "ERROR"), 0);
}

TEST(Amf0Depth, DeeperValueFailsIntoTheRecovery)
{
  std::vector<char> body = NestedObjects(AMF_MAX_DEPTH + 1);
  LogCapture log;
  AMFObject obj;
  // The 65th object fails like an unsupported marker; the 64th level skips
  // the 9 bytes of its member and the end markers close everything.
  ASSERT_EQ(obj.Decode(body.data(), Size(body)), Size(body));
  const AMFObject *inner = nullptr;
  EXPECT_EQ(Depth(obj, &inner), AMF_MAX_DEPTH);
  EXPECT_EQ(inner->GetPropertyCount(), 0);
  std::string text = log.Text();
  EXPECT_EQ(CountOf(text, "ERROR: Decode, nesting deeper than 64 levels not supported!"), 1);
  EXPECT_EQ(CountOf(text, "IGNORING BYTES"), 9);
}

TEST(Amf0Depth, HostileNestingDoesNotExhaustTheStack)
{
  // 640 KB of object openings, closed at the end: without a bound this
  // recursion would go one level deeper every 4 bytes.
  const int nOpen = 640 * 1024 / 4;
  std::vector<char> body = Hex("03");
  body.reserve(nOpen * 7);
  const std::vector<char> open = Hex("00 01 61 03");
  const std::vector<char> end = Hex("00 00 09");
  for (int i = 1; i < nOpen; i++)
    body.insert(body.end(), open.begin(), open.end());
  const size_t nOpenBytes = body.size();
  for (int i = 0; i < nOpen; i++)
    body.insert(body.end(), end.begin(), end.end());
  LogCapture log(0);
  AMFObject obj;
  EXPECT_GT(obj.Decode(body.data(), Size(body)), 0);
  const AMFObject *inner = nullptr;
  EXPECT_EQ(Depth(obj, &inner), AMF_MAX_DEPTH);

  // Without any end marker every level fails in turn; the result is -1.
  std::vector<char> unclosedBody(body.begin(), body.begin() + 16 * 1024);
  ASSERT_LT(unclosedBody.size(), nOpenBytes);
  AMFObject unclosed;
  EXPECT_EQ(unclosed.Decode(unclosedBody.data(), Size(unclosedBody)), -1);
}
