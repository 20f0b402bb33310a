// Helpers shared by the AMF unit tests: byte vectors written in hex, decoding
// a single value and checking it, and counting texts in the captured log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "amf/AMFObject.h"
#include "hex_bytes.h"
#include "log_capture.h"

namespace amftest {

// "03 00 01 61" -> {0x03, 0x00, 0x01, 0x61}; anything but hex digits is ignored.
inline std::vector<char> Hex(const std::string &text)
{
  const std::string bytes = testhex::Hex(text);
  return std::vector<char>(bytes.begin(), bytes.end());
}

inline std::vector<char> Concat(std::vector<char> a, const std::vector<char> &b)
{
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline int Size(const std::vector<char> &v)
{
  return static_cast<int>(v.size());
}

inline int CountOf(const std::string &text, const std::string &needle)
{
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
    n++;
  return n;
}

// One AMF0 value that must take up all of its bytes.
inline RTMP_LIB::AMFObjectProperty Decoded(const std::string &hex, bool bName)
{
  std::vector<char> bytes = Hex(hex);
  RTMP_LIB::AMFObjectProperty prop;
  EXPECT_EQ(prop.Decode(bytes.data(), Size(bytes), bName), Size(bytes)) << hex;
  return prop;
}

// How many objects nest below top through their first members; the innermost
// one goes to *pInnermost when asked for.
inline int Depth(const RTMP_LIB::AMFObject &top, const RTMP_LIB::AMFObject **pInnermost = nullptr)
{
  int n = 0;
  const RTMP_LIB::AMFObject *obj = &top;
  while (obj->GetPropertyCount() > 0 && obj->GetProperty(0).GetType() == RTMP_LIB::AMF_OBJECT) {
    obj = &obj->GetProperty(0).GetObject();
    n++;
  }
  if (pInnermost != nullptr)
    *pInnermost = obj;
  return n;
}

// Decodes the bytes of szHex with decode(pData, nSize), the log captured at
// every level, and checks the result and that the log holds szLog (stays
// empty when szLog is null). True when a value was decoded, for the caller
// to check.
template <typename Decode>
bool DecodeChecked(const char *szHex, int nResult, const char *szLog, Decode decode)
{
  std::vector<char> bytes = Hex(szHex);
  LogCapture log;
  int nRes = decode(bytes.empty() ? nullptr : bytes.data(), Size(bytes));
  EXPECT_EQ(nRes, nResult);
  if (szLog == nullptr) {
    EXPECT_EQ(log.Text(), "");
  } else {
    EXPECT_NE(log.Text().find(szLog), std::string::npos) << log.Text();
  }
  return nRes >= 0;
}

// What every decoded scalar is checked for.
inline void ExpectScalar(const RTMP_LIB::AMFObjectProperty &prop, RTMP_LIB::AMFDataType nType, double dNumber,
                         const char *szString)
{
  EXPECT_EQ(prop.GetType(), nType);
  EXPECT_EQ(prop.GetNumber(), dNumber);
  EXPECT_EQ(prop.GetString(), szString);
}

}  // namespace amftest
