// AMF3 decoding on literal bytes: the variable-length integer and its sign
// rule, strings and references, every marker, the object header kinds, and
// lengths or counts that do not fit.
#include <gtest/gtest.h>

#include <memory>

#include "amf/AMFObject.h"
#include "test_amf_support.h"

using namespace RTMP_LIB;
using namespace amftest;

TEST(Amf3Integer, VariableLengthAndSign)
{
  struct Case {
    const char *szHex;
    int nUsed;
    int32_t nValue;
  };
  const Case cases[] = {
      {"00", 1, 0},
      {"7F", 1, 127},
      {"81 00", 2, 128},
      {"81 80 00", 3, 16384},
      {"80 C0 80 00", 4, 2097152},
      {"BF FF FF FF", 4, 268435455},
      {"C0 80 80 00", 4, -268435456},
      {"FF FF FF FF", 4, -1},
      {"80 80 80 80", 4, 128},
      {"7F FF", 1, 127},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szHex);
    std::vector<char> bytes = Hex(c.szHex);
    int32_t nValue = 12345;
    EXPECT_EQ(AMF3ReadInteger(bytes.data(), Size(bytes), &nValue), c.nUsed);
    EXPECT_EQ(nValue, c.nValue);
    bytes.resize(4, 0);
    nValue = 12345;
    EXPECT_EQ(AMF3ReadInteger(bytes.data(), &nValue), c.nUsed);
    EXPECT_EQ(nValue, c.nValue);
  }
}

TEST(Amf3Integer, TruncatedIntegersFail)
{
  for (const char *szHex : {"", "81", "81 80", "FF FF FF"}) {
    std::vector<char> bytes = Hex(szHex);
    bytes.push_back(0);  // a byte beyond the range that must not be read
    int32_t nValue = 0;
    EXPECT_EQ(AMF3ReadInteger(bytes.data(), Size(bytes) - 1, &nValue), -1) << szHex;
  }
}

TEST(Amf3String, InlineReferenceAndBounds)
{
  struct Case {
    const char *szHex;
    int nUsed;
    const char *szText;
    const char *szLog;
  };
  const Case cases[] = {
      {"07 61 62 63", 4, "abc", nullptr},
      {"01", 1, "", nullptr},
      {"05 61 00", 3, "a", nullptr},
      {"02", 1, "", "DEBUG: AMF3ReadString, string reference, index: 1, not supported, ignoring!"},
      {"07 61 62", -1, nullptr, nullptr},
      {"81", -1, nullptr, nullptr},
      {"FF FF FF FF", -1, nullptr, nullptr},   // length -1 after the sign rule
      {"C0 80 80 01", -1, nullptr, nullptr},   // a large negative length
      {"BF FF FF FF 61", -1, nullptr, nullptr}, // 128 MB announced, 1 byte there
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szHex);
    std::vector<char> bytes = Hex(c.szHex);
    LogCapture log;
    char *pStr = reinterpret_cast<char *>(1);
    EXPECT_EQ(AMF3ReadString(bytes.data(), Size(bytes), &pStr), c.nUsed);
    std::unique_ptr<char[]> owner(pStr);
    if (c.szText == nullptr) {
      EXPECT_EQ(pStr, nullptr);
    } else {
      ASSERT_NE(pStr, nullptr);
      EXPECT_STREQ(pStr, c.szText);
    }
    if (c.szLog == nullptr) {
      EXPECT_EQ(log.Text(), "");
    } else {
      EXPECT_EQ(log.Lines(), std::vector<std::string>({c.szLog}));
    }
  }

  std::vector<char> bytes = Hex("07 61 62 63");
  char *pStr = nullptr;
  EXPECT_EQ(AMF3ReadString(bytes.data(), &pStr), 4);
  std::unique_ptr<char[]> owner(pStr);
  EXPECT_STREQ(pStr, "abc");
}

TEST(Amf3StringDeathTest, NullOutPointerStops)
{
  std::vector<char> bytes = Hex("01");
  EXPECT_DEATH(AMF3ReadString(bytes.data(), 1, nullptr), "pStr != 0");
}

namespace {

struct ValueCase {
  const char *szHex;
  bool bName;
  int nResult;
  AMFDataType nType;
  double dNumber;
  const char *szString;
  const char *szName;
  const char *szLog;  // a text the log must hold, or nullptr
};

const ValueCase kValueCases[] = {
    {"00", false, 1, AMF_NULL, 0, "", "", nullptr},
    {"01", false, 1, AMF_NULL, 0, "", "", nullptr},
    {"02", false, 1, AMF_BOOLEAN, 0, "", "", nullptr},
    {"03", false, 1, AMF_BOOLEAN, 1, "", "", nullptr},
    {"04 81 00", false, 3, AMF_NUMBER, 128, "", "", nullptr},
    {"04 FF FF FF FF", false, 5, AMF_NUMBER, -1, "", "", nullptr},
    {"04 81", false, -1, AMF_INVALID, 0, "", "", nullptr},
    {"05 3F F0 00 00 00 00 00 00", false, 9, AMF_NUMBER, 1.0, "", "", "DEBUG: AMF3_NUMBER"},
    {"05 3F F0 00 00 00 00 00", false, -1, AMF_INVALID, 0, "", "", "AMF3_NUMBER"},
    {"06 07 61 62 63", false, 5, AMF_STRING, 0, "abc", "", nullptr},
    {"06 02", false, 2, AMF_STRING, 0, "", "", "string reference, index: 1"},
    {"06 09 61", false, -1, AMF_INVALID, 0, "", "", nullptr},
    {"07 03 78", false, 3, AMF_STRING, 0, "x", "", "DEBUG: AMF3_XML_DOC"},
    {"08 01 40 59 00 00 00 00 00 00", false, 10, AMF_NUMBER, 100, "", "", nullptr},
    {"08 01 40 59 00 00 00 00 00", false, -1, AMF_INVALID, 0, "", "", nullptr},
    {"08", false, -1, AMF_INVALID, 0, "", "", nullptr},
    {"08 04", false, 2, AMF_INVALID, 0, "", "", "DEBUG: AMF3_DATE reference: 2, not supported!"},
    {"09 01", false, -1, AMF_INVALID, 0, "", "",
     "DEBUG: AMF3Decode - AMF3 unknown/unsupported datatype 0x09, @0x00000000"},
    {"0A 0B 01 03 61 04 05 01", false, 8, AMF_OBJECT, 0, "", "", "DEBUG: AMF3_OBJECT"},
    {"0A", false, -1, AMF_INVALID, 0, "", "", "AMF3_OBJECT"},
    {"0B 03 78", false, 3, AMF_STRING, 0, "x", "", "AMF3_XML_DOC"},
    {"0C", false, -1, AMF_INVALID, 0, "", "", "unknown/unsupported datatype 0x0c, @0x00000000"},
    {"FF", false, -1, AMF_INVALID, 0, "", "", "unknown/unsupported datatype 0xff"},
    {"", false, -1, AMF_INVALID, 0, "", "", "DEBUG: empty buffer/no buffer pointer!"},
    // Named values: a name is an AMF3 string; the empty one ends a list.
    {"03 61 04 05", true, 4, AMF_NUMBER, 5, "", "a", nullptr},
    {"07 61 00 62 03", true, 5, AMF_BOOLEAN, 1, "", "a", nullptr},
    {"03 61 0C", true, -1, AMF_INVALID, 0, "", "", "unknown/unsupported datatype 0x0c, @0x00000002"},
    {"01 04 05", true, 1, AMF_INVALID, 0, "", "", nullptr},
    {"02 04 05", true, 1, AMF_INVALID, 0, "", "", "string reference"},
    {"03 61", true, -1, AMF_INVALID, 0, "", "", nullptr},
    {"05 61", true, -1, AMF_INVALID, 0, "", "", nullptr},
};

}  // namespace

TEST(Amf3Decode, EveryMarker)
{
  for (const ValueCase &c : kValueCases) {
    SCOPED_TRACE(c.szHex);
    AMFObjectProperty prop;
    auto decode = [&](const char *p, int n) { return prop.AMF3Decode(p, n, c.bName); };
    if (!DecodeChecked(c.szHex, c.nResult, c.szLog, decode))
      continue;
    ExpectScalar(prop, c.nType, c.dNumber, c.szString);
    EXPECT_EQ(prop.GetPropName(), c.szName);
  }
}

namespace {

struct Member {
  const char *szName;
  AMFDataType nType;
  double dNumber;
  const char *szString;
};

struct ObjectCase {
  const char *szName;
  const char *szHex;  // an AMF0 value: 0x11 and the AMF3 object
  int nResult;
  std::vector<Member> members;
  std::vector<const char *> logs;  // texts the log must hold
};

}  // namespace

TEST(Amf3Object, HeaderKinds)
{
  const ObjectCase cases[] = {
      {"dynamic anonymous class", "11 0A 0B 01 03 61 04 05 01", 9,
       {{"a", AMF_NUMBER, 5, ""}, {"", AMF_INVALID, 0, ""}},
       {"ERROR: AMF_AMF3_OBJECT to be tested!",
        "DEBUG: Class name: , externalizable: 0, dynamic: 1, classMembers: 0",
        "DEBUG: class object!"}},
      {"object reference", "11 0A 04 05", 3, {}, {"DEBUG: Object reference, index: 2"}},
      {"class reference", "11 0A 05 05", 3, {}, {"DEBUG: Class reference: 1"}},
      {"sealed class", "11 0A 23 07 46 6F 6F 03 78 03 79 04 01 06 03 7A", 16,
       {{"x", AMF_NUMBER, 1, ""}, {"y", AMF_STRING, 0, "z"}},
       {"Class name: Foo, externalizable: 0, dynamic: 0, classMembers: 2", "DEBUG: Member: x",
        "DEBUG: Member: y"}},
      {"sealed and dynamic", "11 0A 1B 01 03 78 04 02 03 79 03 01", 12,
       {{"x", AMF_NUMBER, 2, ""}, {"y", AMF_BOOLEAN, 1, ""}, {"", AMF_INVALID, 0, ""}},
       {"dynamic: 1, classMembers: 1"}},
      {"externalizable", "11 0A 07 03 45 06 03 61", 8,
       {{"DEFAULT_ATTRIBUTE", AMF_STRING, 0, "a"}},
       {"externalizable: 1", "DEBUG: Externalizable, TODO check"}},
      {"externalizable value fails", "11 0A 07 03 45 09", 5,
       {{"DEFAULT_ATTRIBUTE", AMF_INVALID, 0, ""}},
       {"DEBUG: AMF3Decode, failed to decode AMF3 property!"}},
      {"no 0x0A in front", "11 0B 0B 01 03 61 04 05 01", 9,
       {{"a", AMF_NUMBER, 5, ""}, {"", AMF_INVALID, 0, ""}},
       {"ERROR: AMF3 Object encapsulated in AMF stream does not start with 0x0A!"}},
      {"dynamic list cut short", "11 0A 0B 01 03 61 04 05", 8,
       {{"a", AMF_NUMBER, 5, ""}, {"", AMF_INVALID, 0, ""}},
       {"empty buffer/no buffer pointer!"}},
      {"nested object", "11 0A 0B 01 03 6F 0A 0B 01 03 61 02 01 01", 14,
       {{"o", AMF_OBJECT, 0, ""}, {"", AMF_INVALID, 0, ""}}, {}},
  };
  for (const ObjectCase &c : cases) {
    SCOPED_TRACE(c.szName);
    std::vector<char> bytes = Hex(c.szHex);
    LogCapture log;
    AMFObjectProperty prop;
    ASSERT_EQ(prop.Decode(bytes.data(), Size(bytes), false), c.nResult);
    EXPECT_EQ(prop.GetType(), AMF_OBJECT);
    const AMFObject &obj = prop.GetObject();
    ASSERT_EQ(obj.GetPropertyCount(), static_cast<int>(c.members.size()));
    for (size_t i = 0; i < c.members.size(); i++) {
      const AMFObjectProperty &m = obj.GetProperty(static_cast<int>(i));
      EXPECT_EQ(m.GetPropName(), c.members[i].szName);
      EXPECT_EQ(m.GetType(), c.members[i].nType);
      EXPECT_EQ(m.GetNumber(), c.members[i].dNumber);
      EXPECT_EQ(m.GetString(), c.members[i].szString);
    }
    std::string text = log.Text();
    for (const char *szLog : c.logs)
      EXPECT_NE(text.find(szLog), std::string::npos) << szLog << "\n" << text;
  }

  std::vector<char> nested = Hex(cases[9].szHex);
  LogCapture log;
  AMFObject body;
  ASSERT_EQ(body.Decode(nested.data(), Size(nested)), Size(nested));
  EXPECT_FALSE(body.GetProperty(0).GetObject().GetProperty("o").GetObject().GetProperty("a").GetBoolean());
  EXPECT_EQ(body.GetProperty(0).GetObject().GetProperty("o").GetObject().GetProperty("a").GetType(),
            AMF_BOOLEAN);
}

TEST(Amf3Object, FailedSealedMemberDoesNotMove)
{
  // Two sealed members; the value at the position of the first has the
  // unsupported array marker, so the second meets the same byte.
  std::vector<char> bytes = Hex("11 0A 23 01 03 61 03 62 09");
  LogCapture log;
  AMFObjectProperty prop;
  ASSERT_EQ(prop.Decode(bytes.data(), Size(bytes), false), 8);
  std::string text = log.Text();
  EXPECT_EQ(CountOf(text, "DEBUG: AMF3Decode - AMF3 unknown/unsupported datatype 0x09, @0x00000008\n"), 2);
  EXPECT_EQ(CountOf(text, "DEBUG: AMF3Decode, failed to decode AMF3 property!\n"), 2);
  const AMFObject &obj = prop.GetObject();
  ASSERT_EQ(obj.GetPropertyCount(), 2);
  EXPECT_EQ(obj.GetProperty(0).GetPropName(), "a");
  EXPECT_EQ(obj.GetProperty(1).GetPropName(), "b");
  EXPECT_EQ(obj.GetProperty(0).GetType(), AMF_INVALID);
  EXPECT_EQ(obj.GetProperty(1).GetType(), AMF_INVALID);
}

TEST(Amf3Object, UnsupportedMarkerOffsetCountsFromTheBody)
{
  std::vector<char> bytes = Hex("02 00 01 61 11 0A 0B 01 03 62 0C 01");
  LogCapture log;
  AMFObject obj;
  obj.Decode(bytes.data(), Size(bytes));
  EXPECT_NE(log.Text().find("unknown/unsupported datatype 0x0c, @0x0000000A"), std::string::npos)
      << log.Text();
}

TEST(Amf3Object, LengthsAndCountsThatDoNotFitFail)
{
  struct Case {
    const char *szName;
    const char *szHex;
    int nMembersRead;  // names read before the failure
  };
  // A member count is refused before any name is read.
  const Case cases[] = {
      {"nothing after 0x11", "11", 0},
      {"no header", "11 0A", 0},
      {"header cut", "11 0A 83", 0},
      {"class name longer than the data", "11 0A 03 09 61", 0},
      {"class name of negative length", "11 0A 03 FF FF FF FF", 0},
      {"more members than bytes", "11 0A 43 01 03 61", 0},
      {"negative member count", "11 0A FF FF FF FF 01 03 61", 0},
      {"member name cut", "11 0A 33 01 03 61 03", 1},
      {"huge member count", "11 0A BF FF FF FF 01 03 61 01", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szName);
    std::vector<char> bytes = Hex(c.szHex);
    LogCapture log;
    AMFObjectProperty prop;
    EXPECT_EQ(prop.Decode(bytes.data(), Size(bytes), false), -1);
    EXPECT_EQ(CountOf(log.Text(), "Member: "), c.nMembersRead);
    AMFObject obj;
    EXPECT_EQ(obj.AMF3Decode(bytes.data() + 1, Size(bytes) - 1, true), -1);
  }
}

namespace {

// n anonymous dynamic AMF3 objects, each the member "a" of the one around
// it, behind the AMF0 marker 0x11.
std::vector<char> NestedAmf3(int n)
{
  std::vector<char> inner = Hex("0A 0B 01 01");
  for (int i = 1; i < n; i++)
    inner = Concat(Concat(Hex("0A 0B 01 03 61"), inner), Hex("01"));
  return Concat(Hex("11"), inner);
}

}  // namespace

TEST(Amf3Depth, BoundSharedWithAmf0)
{
  std::vector<char> deepest = NestedAmf3(AMF_MAX_DEPTH);
  AMFObject ok;
  LogCapture log;
  ASSERT_EQ(ok.Decode(deepest.data(), Size(deepest)), Size(deepest));
  EXPECT_EQ(Depth(ok), AMF_MAX_DEPTH);
  EXPECT_EQ(CountOf(log.Text(), "nesting deeper"), 0);

  std::vector<char> tooDeep = NestedAmf3(AMF_MAX_DEPTH + 1);
  AMFObject cut;
  LogCapture cutLog;
  cut.Decode(tooDeep.data(), Size(tooDeep));
  EXPECT_EQ(Depth(cut), AMF_MAX_DEPTH);
  EXPECT_EQ(CountOf(cutLog.Text(), "DEBUG: AMF3Decode, nesting deeper than 64 levels not supported!"), 1);

  // 63 AMF0 objects, then an AMF3 object holding another: the AMF3 object
  // is the 64th level and its member would be the 65th.
  std::vector<char> mixed = Hex("03");
  for (int i = 1; i < AMF_MAX_DEPTH - 1; i++)
    mixed = Concat(mixed, Hex("00 01 61 03"));
  mixed = Concat(mixed, Hex("00 01 61 11 0A 0B 01 03 62 0A 0B 01 01 01"));
  for (int i = 1; i < AMF_MAX_DEPTH; i++)
    mixed = Concat(mixed, Hex("00 00 09"));
  AMFObject both;
  LogCapture mixedLog;
  ASSERT_EQ(both.Decode(mixed.data(), Size(mixed)), Size(mixed));
  EXPECT_EQ(Depth(both), AMF_MAX_DEPTH);
  EXPECT_EQ(CountOf(mixedLog.Text(), "AMF3Decode, nesting deeper than 64 levels"), 1);
}
