// The limits of one decode call: the budget of values shared by AMF0 and AMF3,
// the cap on per-byte recovery lines, and the in-place check of AMF3 class
// headers. The hostile bodies hold a few million one-byte values.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "amf/AMFObject.h"
#include "test_amf_support.h"

using namespace RTMP_LIB;
using namespace amftest;

namespace {

void Append(std::vector<char> *pBody, const std::string &hex, int nTimes)
{
  const std::vector<char> unit = Hex(hex);
  pBody->reserve(pBody->size() + unit.size() * static_cast<size_t>(nTimes));
  for (int i = 0; i < nTimes; i++)
    pBody->insert(pBody->end(), unit.begin(), unit.end());
}

std::vector<char> Repeat(const std::string &hex, int nTimes)
{
  std::vector<char> body;
  Append(&body, hex, nTimes);
  return body;
}

std::vector<char> Int32(int32_t n)
{
  uint32_t u = static_cast<uint32_t>(n);
  return {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
          static_cast<char>(u)};
}

// The four-byte form of an AMF3 integer, for values of 2^21 and more.
std::vector<char> U29(int32_t n)
{
  return {static_cast<char>(0x80 | ((n >> 22) & 0x7F)), static_cast<char>(0x80 | ((n >> 15) & 0x7F)),
          static_cast<char>(0x80 | ((n >> 8) & 0x7F)), static_cast<char>(n & 0xFF)};
}

std::vector<char> Number(double d)
{
  std::vector<char> out(9, 0);  // marker 0x00, then the double big-endian
  char *p = out.data();
  uint64_t bits = 0;
  static_assert(sizeof(bits) == sizeof(d), "double is 64 bits");
  memcpy(&bits, &d, sizeof(bits));
  for (int i = 0; i < 8; i++)
    p[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
  return out;
}

// Every property of the tree, nested ones included.
int64_t TreeSize(const AMFObject &obj)
{
  int64_t n = 0;
  for (int i = 0; i < obj.GetPropertyCount(); i++) {
    n++;
    if (obj.GetProperty(i).GetType() == AMF_OBJECT)
      n += TreeSize(obj.GetProperty(i).GetObject());
  }
  return n;
}

const int kWhole = -2;  // the result is the size of the body

struct BudgetCase {
  const char *szName;
  std::function<std::vector<char>()> body;
  int nResult;
  int64_t nTreeSize;
  const char *szOnce;  // logged exactly once
};

}  // namespace

TEST(AmfBudget, HostileBodiesStopAtTheBudget)
{
  const int N = AMF_MAX_VALUES;
  const BudgetCase cases[] = {
      // The value after the budget fails; the recovery scan finds no end marker.
      {"two million nulls", [] { return Repeat("05", 2000000); }, -1, N,
       "ERROR: Decode, more than 1000000 values in one message, giving up!\n"},
      {"nulls, then an end marker", [] { return Concat(Repeat("05", 2000000), Hex("00 00 09 02 00 01 7A")); },
       2000003, N, "Decode, more than 1000000 values"},
      // The array fails as a whole and is dropped.
      {"strict array of nulls",
       [] { return Concat(Concat(Hex("0A"), Int32(2000000)), Repeat("05", 2000000)); }, -1, 0,
       "Decode, more than 1000000 values"},
      // Inside an object the failed member ends at the object's end marker.
      {"ECMA array of named nulls",
       [] { return Concat(Concat(Hex("08 00 00 00 00"), Repeat("00 01 61 05", 2000000)), Hex("00 00 09")); },
       kWhole, N, "Decode, more than 1000000 values"},
      // The failed dynamic member is kept, as after any failure.
      {"AMF3 dynamic object of nulls",
       [] { return Concat(Concat(Hex("11 0A 0B 01"), Repeat("03 61 01", 2000000)), Hex("01")); }, -1, N + 1,
       "ERROR: AMF3Decode, more than 1000000 values in one message, giving up!\n"},
      // One budget for both: 600,001 values in AMF0, the rest in AMF3.
      {"AMF0 array, then AMF3 object",
       [] {
         std::vector<char> body = Concat(Concat(Hex("0A"), Int32(600000)), Repeat("05", 600000));
         return Concat(Concat(Concat(body, Hex("11 0A 0B 01")), Repeat("03 61 01", 600000)), Hex("01"));
       },
       -1, N + 1, "AMF3Decode, more than 1000000 values"},
      // Text counts one value per 128 bytes: 2 MB is 16,384 values.
      {"nulls, then a long string",
       [] {
         std::vector<char> body = Concat(Concat(Repeat("05", 990000), Hex("0C")), Int32(2 << 20));
         return Concat(body, Repeat("61", 2 << 20));
       },
       -1, 990000, "Decode, more than 1000000 values"},
      // The failed dynamic member is kept, as above.
      {"nulls, then a long AMF3 string",
       [] {
         std::vector<char> body = Concat(Repeat("05", 990000), Hex("11 0A 0B 01 03 61 06"));
         return Concat(Concat(body, U29((2 << 20) << 1 | 1)), Repeat("61", 2 << 20));
       },
       -1, 990002, "AMF3Decode, more than 1000000 values"},
      // Member names count before any is read.
      {"AMF3 class with more members than the budget",
       [] {
         std::vector<char> body = Concat(Concat(Hex("11 0A"), U29(1500000 << 4 | 3)), Hex("01"));
         return Concat(body, Repeat("01", 1500000));
       },
       -1, 0, "AMF3Decode, more than 1000000 values"},
  };
  for (const BudgetCase &c : cases) {
    SCOPED_TRACE(c.szName);
    std::vector<char> body = c.body();
    LogCapture log;
    AMFObject obj;
    EXPECT_EQ(obj.Decode(body.data(), Size(body)), c.nResult == kWhole ? Size(body) : c.nResult);
    EXPECT_EQ(TreeSize(obj), c.nTreeSize);
    EXPECT_EQ(CountOf(log.Text(), c.szOnce), 1);
    EXPECT_EQ(CountOf(log.Text(), "values in one message"), 1);
  }
}

TEST(AmfBudget, LargeMetadataDecodesWhole)
{
  const int nKeyframes = 100000;
  // onMetaData with a keyframe index: times and file positions.
  std::vector<char> amf0 = Hex(
      "02 00 0A 6F 6E 4D 65 74 61 44 61 74 61 08 00 00 00 02"
      "00 08 64 75 72 61 74 69 6F 6E 00 40 F5 18 00 00 00 00 00"  // duration 86400
      "00 09 6B 65 79 66 72 61 6D 65 73 03");
  for (const char *szName : {"00 05 74 69 6D 65 73", "00 0D 66 69 6C 65 70 6F 73 69 74 69 6F 6E 73"}) {
    amf0 = Concat(Concat(amf0, Hex(szName)), Concat(Hex("0A"), Int32(nKeyframes)));
    for (int i = 0; i < nKeyframes; i++) {
      std::vector<char> number = Number(i);
      amf0.insert(amf0.end(), number.begin(), number.end());
    }
  }
  amf0 = Concat(amf0, Hex("00 00 09 00 00 09"));

  // The same index as an AMF3 object with one dynamic member per keyframe.
  std::vector<char> amf3 = Hex("02 00 01 61 11 0A 0B 01");
  for (int i = 0; i < nKeyframes; i++) {
    std::string name = "k" + std::to_string(i);
    amf3.push_back(static_cast<char>(name.size() << 1 | 1));
    amf3.insert(amf3.end(), name.begin(), name.end());
    std::vector<char> value = Concat(Hex("04"), U29(i));
    amf3.insert(amf3.end(), value.begin(), value.end());
  }
  amf3 = Concat(amf3, Hex("01"));

  // A long string as big as a message may be.
  const int nLongString = 15 << 20;
  std::vector<char> longString = Concat(Concat(Hex("0C"), Int32(nLongString)), Repeat("61", nLongString));
  AMFObject text;
  ASSERT_EQ(text.Decode(longString.data(), Size(longString)), Size(longString));
  EXPECT_EQ(text.GetProperty(0).GetString().size(), static_cast<size_t>(nLongString));

  struct Case {
    const char *szName;
    const std::vector<char> &body;
    std::function<const AMFObject &(const AMFObject &)> list;
    int nEntries;
  };
  const Case cases[] = {
      {"AMF0 keyframe arrays", amf0,
       [](const AMFObject &o) -> const AMFObject & {
         const AMFObject &keyframes = o.GetProperty(1).GetObject().GetProperty("keyframes").GetObject();
         return keyframes.GetProperty("filepositions").GetObject();
       },
       nKeyframes},
      {"AMF3 members", amf3,
       [](const AMFObject &o) -> const AMFObject & { return o.GetProperty(1).GetObject(); },
       nKeyframes + 1},  // the empty-named terminator is kept
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szName);
    LogCapture log(LOG_LEVEL_WARNING);
    AMFObject obj;
    ASSERT_EQ(obj.Decode(c.body.data(), Size(c.body)), Size(c.body));
    const AMFObject &list = c.list(obj);
    ASSERT_EQ(list.GetPropertyCount(), c.nEntries);
    EXPECT_EQ(list.GetProperty(nKeyframes - 1).GetNumber(), nKeyframes - 1);
    EXPECT_EQ(CountOf(log.Text(), "values in one message"), 0);
    EXPECT_EQ(CountOf(log.Text(), "IGNORING"), 0);
  }
}

TEST(AmfBudget, EveryPublicDecodeStartsAFreshBudget)
{
  // Two decodes of 600,000 values each would overrun one budget, not two.
  const int nValues = 600000;
  const std::vector<char> nulls = Concat(Repeat("05", nValues), Hex("00 00 09"));
  const std::vector<char> array = Concat(Concat(Hex("0A"), Int32(nValues)), Repeat("05", nValues));
  const std::vector<char> amf3 = Concat(Concat(Hex("0A 0B 01"), Repeat("03 61 01", nValues)), Hex("01"));
  // Each decode returns its result and the size of the tree it built.
  typedef std::function<int(int64_t *)> Decoder;
  struct Case {
    const char *szName;
    Decoder decode;
    int nResult;
  };
  auto objectDecoder = [](std::function<int(AMFObject *)> decode) -> Decoder {
    return [decode](int64_t *pTree) {
      AMFObject obj;
      int nRes = decode(&obj);
      *pTree = TreeSize(obj);
      return nRes;
    };
  };
  auto propertyDecoder = [](std::function<int(AMFObjectProperty *)> decode) -> Decoder {
    return [decode](int64_t *pTree) {
      AMFObjectProperty prop;
      int nRes = decode(&prop);
      *pTree = 1 + TreeSize(prop.GetObject());
      return nRes;
    };
  };
  const Case cases[] = {
      {"AMFObject::Decode", objectDecoder([&](AMFObject *o) { return o->Decode(nulls.data(), Size(nulls)); }),
       Size(nulls)},
      {"AMFObject::Decode with a depth",
       objectDecoder([&](AMFObject *o) { return o->Decode(nulls.data(), Size(nulls), false, 0); }),
       Size(nulls)},
      {"AMFObject::DecodeArray",
       objectDecoder([&](AMFObject *o) { return o->DecodeArray(nulls.data(), Size(nulls), nValues); }),
       nValues},
      {"AMFObject::AMF3Decode",
       objectDecoder([&](AMFObject *o) { return o->AMF3Decode(amf3.data(), Size(amf3), true); }), Size(amf3)},
      {"AMFObjectProperty::Decode",
       propertyDecoder([&](AMFObjectProperty *p) { return p->Decode(array.data(), Size(array), false); }),
       Size(array)},
      {"AMFObjectProperty::AMF3Decode",
       propertyDecoder([&](AMFObjectProperty *p) { return p->AMF3Decode(amf3.data(), Size(amf3), false); }),
       Size(amf3)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szName);
    LogCapture log;
    int64_t nFirst = 0;
    int64_t nSecond = 0;
    EXPECT_EQ(c.decode(&nFirst), c.nResult);
    EXPECT_EQ(c.decode(&nSecond), c.nResult);
    EXPECT_GE(nFirst, nValues);
    EXPECT_EQ(nSecond, nFirst);
    EXPECT_EQ(CountOf(log.Text(), "values in one message"), 0);
  }
}

TEST(AmfRecovery, PerByteLinesStopAfterAThousand)
{
  // Each body is decoded alone, and again after a first value whose recovery
  // uses up the thousand logged bytes, so that all of its own scanning is
  // done in bulk: both must end alike.
  const std::vector<char> warmUp = Concat(Concat(Hex("03 00 01 61 12"), Repeat("12", 996)), Hex("00 00 09"));
  struct Case {
    const char *szName;
    std::vector<char> body;
    int nLeft;      // bytes after the result; -1: the decode fails
    int nTopProps;
    int nSkipped;   // bytes the recovery skips in the body, level by level
  };
  const Case cases[] = {
      // {a: <0x12> junk} then the string "z" after the object.
      {"bad member, then the object's end",
       Concat(Concat(Hex("03 00 01 61 12"), Repeat("12", 20)), Hex("00 00 09 02 00 01 7A 05")), 1, 2, 24},
      // {b: {c: "\0\0\t", d: <0x12> junk}: the inner object finds no end
      // and fails; the outer one finds the marker inside the string c; the
      // top level goes on after it with a number made of d's bytes and junk.
      {"outer scan finds a marker the inner one had passed",
       Concat(Hex("03 00 01 62 03 00 01 63 02 00 03 00 00 09 00 01 64 12"), Repeat("12", 20)), -1, 2,
       22 + 10 + 13},
      // As before, but the marker lies across the start of the inner scan:
      // the last zero of the number c, then d's name length 00 09.
      {"marker across the start of the inner scan",
       Concat(Hex("03 00 01 62 03 00 01 63 00 3F F0 00 00 00 00 00 00 00 09 61 61 61 61 61 61 61 61 61 12"),
              Repeat("12", 20)),
       -1, 1, 30 + 15 + 28},
      // 64 unclosed levels: each one, and the top level, scans to two bytes
      // before the end of the 257 + 2000 bytes, the top level from byte 0,
      // level i from byte 4 i - 3.
      {"unclosed nest",
       Concat(Concat(Concat(Hex("03"), Repeat("00 01 61 03", AMF_MAX_DEPTH - 1)), Hex("00 01 61 12")),
              Repeat("12", 2000)),
       -1, 0, (2257 - 2) + 64 * (2257 + 3 - 2) - 4 * (64 * 65 / 2)},
  };
  const int kLogged = 1000;
  for (const Case &c : cases) {
    for (bool bWarm : {false, true}) {
      SCOPED_TRACE(std::string(c.szName) + (bWarm ? ", after the first thousand" : ""));
      std::vector<char> body = bWarm ? Concat(warmUp, c.body) : c.body;
      LogCapture log;
      AMFObject obj;
      EXPECT_EQ(obj.Decode(body.data(), Size(body)), c.nLeft < 0 ? -1 : Size(body) - c.nLeft);
      EXPECT_EQ(obj.GetPropertyCount(), c.nTopProps + (bWarm ? 1 : 0));

      int nSkipped = c.nSkipped + (bWarm ? kLogged : 0);
      std::string text = log.Text();
      EXPECT_EQ(CountOf(text, "ERROR: DECODING ERROR, IGNORING BYTES UNTIL NEXT KNOWN PATTERN!\n"),
                nSkipped < kLogged ? nSkipped : kLogged);
      std::string summary = "ERROR: Decode, " + std::to_string(nSkipped - kLogged) +
                            " more bytes ignored until the next known pattern!\n";
      EXPECT_EQ(CountOf(text, summary), nSkipped > kLogged ? 1 : 0);
      EXPECT_EQ(CountOf(text, "more bytes ignored"), nSkipped > kLogged ? 1 : 0);
    }
  }
}

TEST(AmfRecovery, ScansOfOneDecodeStopAtSixtySixTimesItsSize)
{
  // A string holding an end marker, an object, long-string headers and an
  // AMF3 object, over and over: each failure sends a scan to a marker inside
  // bytes already decoded, and the levels above decode them again, so the
  // scanning grows much faster than the body. Up to 66 times the body (one
  // scan to the end for each level and the top) it runs its course.
  const std::string unit =
      "02 00 03 00 00 09 03 0C 00 00 00 05 11 0A 0B 01 0C 00 00 00 05 00 03 00 00 09";
  struct Case {
    int nUnits;
    int nResult;  // kWhole or -1
    bool bStopped;
  };
  const Case cases[] = {{157, kWhole, false}, {315, -1, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.nUnits);
    std::vector<char> body = Repeat(unit, c.nUnits);
    LogCapture log;
    AMFObject obj;
    EXPECT_EQ(obj.Decode(body.data(), Size(body)), c.nResult == kWhole ? Size(body) : c.nResult);
    std::string text = log.Text();
    EXPECT_EQ(CountOf(text, "values in one message"), 0);
    // The summary line tells how many bytes were skipped past the first 1000.
    size_t nEnd = text.find(" more bytes ignored until the next known pattern!");
    ASSERT_NE(nEnd, std::string::npos);
    size_t nStart = text.rfind("ERROR: Decode, ", nEnd);
    ASSERT_NE(nStart, std::string::npos);
    int64_t nSkipped = 1000 + atoll(text.c_str() + nStart + strlen("ERROR: Decode, "));
    const int64_t nAllowed = static_cast<int64_t>(AMF_MAX_DEPTH + 2) * Size(body);
    if (c.bStopped) {
      EXPECT_GT(nSkipped, nAllowed);
      EXPECT_LT(nSkipped, nAllowed + Size(body));
    } else {
      EXPECT_LE(nSkipped, nAllowed);
    }
  }
}

TEST(Amf3Header, NamesAreCheckedInPlaceAndKeptWhole)
{
  const std::string longName(5000, 'n');
  std::vector<char> longNameBytes = U29(static_cast<int32_t>(longName.size() << 1 | 1));
  longNameBytes.insert(longNameBytes.end(), longName.begin(), longName.end());
  struct Case {
    const char *szName;
    std::vector<char> body;  // an AMF0 value
    int nResult;
    std::vector<std::string> names;  // members of the decoded object
    int nMemberLines;                // "Member: " lines in the log
    int nClassLines;                 // "Class name: " lines
  };
  const Case cases[] = {
      {"long member name", Concat(Concat(Hex("11 0A 13 01"), longNameBytes), Hex("04 05")), kWhole,
       {longName}, 1, 1},
      {"member name cut at its NUL", Hex("11 0A 13 01 07 61 00 62 04 05"), kWhole, {"a"}, 1, 1},
      {"long class name", Concat(Concat(Hex("11 0A 13"), longNameBytes), Hex("03 61 04 05")), kWhole,
       {"a"}, 1, 1},
      // Three sealed members; the first value is an object whose header has a
      // long class name and then a member name that does not fit. Every
      // member meets it again, so its lines come three times.
      {"failing header retried by each sealed member",
       Concat(Concat(Hex("11 0A 33 01 03 61 03 62 03 63 0A 23"), longNameBytes), Hex("03 78 7F 79")), 10,
       {"a", "b", "c"}, 3 + 3, 1 + 3},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szName);
    LogCapture log;
    AMFObjectProperty prop;
    int nExpected = c.nResult == kWhole ? Size(c.body) : c.nResult;
    ASSERT_EQ(prop.Decode(c.body.data(), Size(c.body), false), nExpected);
    const AMFObject &obj = prop.GetObject();
    ASSERT_EQ(obj.GetPropertyCount(), static_cast<int>(c.names.size()));
    for (size_t i = 0; i < c.names.size(); i++)
      EXPECT_EQ(obj.GetProperty(static_cast<int>(i)).GetPropName(), c.names[i]);
    std::string text = log.Text();
    EXPECT_EQ(CountOf(text, "DEBUG: Member: "), c.nMemberLines);
    EXPECT_EQ(CountOf(text, "DEBUG: Class name: "), c.nClassLines);
  }
}
