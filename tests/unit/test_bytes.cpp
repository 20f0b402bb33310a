#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "foundation/bytes.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char *Data(const Bytes &b)
{
  return reinterpret_cast<const char *>(b.data());
}

std::string Hex(const char *data, size_t n)
{
  std::string out;
  char buf[4];
  for (size_t i = 0; i < n; i++) {
    snprintf(buf, sizeof buf, "%02X ", static_cast<unsigned char>(data[i]));
    out += buf;
  }
  return out;
}

// Each writer runs on a buffer of guard bytes: it must return its count and
// touch nothing past it.
TEST(Bytes, Writers)
{
  const struct {
    const char *what;
    std::function<int(char *)> write;
    int nCount;
    const char *hex;
  } cases[] = {
      {"EncodeInt24 12345678", [](char *o) { return EncodeInt24(o, 0x12345678); }, 3, "34 56 78 "},
      {"EncodeInt24 -1", [](char *o) { return EncodeInt24(o, -1); }, 3, "FF FF FF "},
      {"EncodeInt32LE 1", [](char *o) { return EncodeInt32LE(o, 1); }, 4, "01 00 00 00 "},
      {"EncodeInt32LE min", [](char *o) { return EncodeInt32LE(o, INT32_MIN); }, 4, "00 00 00 80 "},
      {"EncodeInt32 1", [](char *o) { return EncodeInt32(o, 1); }, 4, "00 00 00 01 "},
      {"EncodeInt32 -2", [](char *o) { return EncodeInt32(o, -2); }, 4, "FF FF FF FE "},
      {"EncodeInt16 -2", [](char *o) { return EncodeInt16(o, -2); }, 2, "FF FE "},
      {"EncodeInt16 258", [](char *o) { return EncodeInt16(o, 258); }, 2, "01 02 "},
      {"EncodeNumber 1.0", [](char *o) { return EncodeNumber(o, 1.0); }, 9, "00 3F F0 00 00 00 00 00 00 "},
      {"EncodeNumber -2.5", [](char *o) { return EncodeNumber(o, -2.5); }, 9, "00 C0 04 00 00 00 00 00 00 "},
      {"WriteNumber 1.0",
       [](char *o) {
         WriteNumber(o, 1.0);
         return 8;
       },
       8, "3F F0 00 00 00 00 00 00 "},
      {"EncodeBoolean true", [](char *o) { return EncodeBoolean(o, true); }, 2, "01 01 "},
      {"EncodeBoolean false", [](char *o) { return EncodeBoolean(o, false); }, 2, "01 00 "},
      {"EncodeString abc", [](char *o) { return EncodeString(o, std::string("abc")); }, 6, "02 00 03 61 62 63 "},
      {"EncodeString empty", [](char *o) { return EncodeString(o, std::string()); }, 3, "02 00 00 "},
      {"named EncodeNumber", [](char *o) { return EncodeNumber(o, "a", 0.0); }, 12,
       "00 01 61 00 00 00 00 00 00 00 00 00 "},
      {"named EncodeBoolean", [](char *o) { return EncodeBoolean(o, "ok", true); }, 6, "00 02 6F 6B 01 01 "},
      {"named EncodeString", [](char *o) { return EncodeString(o, "a", "bc"); }, 8,
       "00 01 61 02 00 02 62 63 "},
      {"named EncodeString empty", [](char *o) { return EncodeString(o, "", ""); }, 5, "00 00 02 00 00 "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<char> out(32, '\x5A');
    int n = c.write(out.data());
    EXPECT_EQ(c.nCount, n);
    EXPECT_EQ(c.hex, Hex(out.data(), static_cast<size_t>(c.nCount)));
    for (size_t i = static_cast<size_t>(c.nCount); i < out.size(); i++)
      ASSERT_EQ('\x5A', out[i]) << "byte " << i << " written";
  }
}

TEST(Bytes, LongStringLengthIsSixteenBits)
{
  const std::string value(40000, 'v');
  std::vector<char> out(3 + value.size());
  EXPECT_EQ(3 + 40000, EncodeString(out.data(), value));
  EXPECT_EQ("02 9C 40 ", Hex(out.data(), 3));
  EXPECT_EQ(value, ReadString(out.data() + 1));
}

TEST(Bytes, IntegerReaders)
{
  EXPECT_EQ(16777215u, ReadInt24(Data({0xFF, 0xFF, 0xFF})));
  EXPECT_EQ(0x123456u, ReadInt24(Data({0x12, 0x34, 0x56})));
  EXPECT_EQ(-2, ReadInt16(Data({0xFF, 0xFE})));
  EXPECT_EQ(65534, static_cast<unsigned short>(ReadInt16(Data({0xFF, 0xFE}))));
  EXPECT_EQ(0x0102, ReadInt16(Data({0x01, 0x02})));
  EXPECT_EQ(-2, ReadInt32(Data({0xFF, 0xFF, 0xFF, 0xFE})));
  EXPECT_EQ(0x01020304, ReadInt32(Data({0x01, 0x02, 0x03, 0x04})));
  EXPECT_EQ(1, ReadInt32LE(Data({0x01, 0x00, 0x00, 0x00})));
  EXPECT_EQ(static_cast<int>(0x80000001u), ReadInt32LE(Data({0x01, 0x00, 0x00, 0x80})));
}

TEST(Bytes, ReadBoolIsTrueOnlyForOne)
{
  const struct {
    unsigned char byte;
    bool expected;
  } cases[] = {{0x00, false}, {0x01, true}, {0x02, false}, {0xFF, false}, {0x81, false}};
  for (const auto &c : cases) {
    const char b = static_cast<char>(c.byte);
    EXPECT_EQ(c.expected, ReadBool(&b)) << static_cast<int>(c.byte);
  }
}

TEST(Bytes, Numbers)
{
  EXPECT_EQ(1.0, ReadNumber(Data({0x3F, 0xF0, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(-2.5, ReadNumber(Data({0xC0, 0x04, 0, 0, 0, 0, 0, 0})));
  EXPECT_TRUE(std::isinf(ReadNumber(Data({0x7F, 0xF0, 0, 0, 0, 0, 0, 0}))));
  EXPECT_TRUE(std::isnan(ReadNumber(Data({0x7F, 0xF8, 0, 0, 0, 0, 0, 0}))));
  const double values[] = {0.0, -0.0, 1e-310, 123456789.125, -1e300};
  for (double v : values) {
    char buf[8];
    WriteNumber(buf, v);
    double back = ReadNumber(buf);
    EXPECT_EQ(0, memcmp(&v, &back, sizeof v)) << v;
  }
}

TEST(Bytes, ReadString)
{
  EXPECT_EQ("", ReadString(Data({0x00, 0x00})));
  EXPECT_EQ("a", ReadString(Data({0x00, 0x03, 0x61, 0x00, 0x62})));
  EXPECT_EQ("ab", ReadString(Data({0x00, 0x02, 0x61, 0x62, 0x63})));
  EXPECT_EQ("", ReadString(Data({0x00, 0x02, 0x00, 0x62})));

  // The length is unsigned: 0x8000 is 32768 bytes, not a negative count.
  Bytes big(2 + 32768, 'z');
  big[0] = 0x80;
  big[1] = 0x00;
  EXPECT_EQ(std::string(32768, 'z'), ReadString(Data(big)));
}

}  // namespace
