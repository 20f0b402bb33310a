// Bytes written in hex for the unit tests, and back again for readable
// comparisons.
#pragma once

#include <string>

namespace testhex {

// "03 00 00 0A" -> the four bytes; anything but hex digits is ignored.
inline std::string Hex(const std::string &text)
{
  std::string out;
  int nHigh = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (nHigh < 0) {
      nHigh = v;
    } else {
      out.push_back(static_cast<char>(nHigh * 16 + v));
      nHigh = -1;
    }
  }
  return out;
}

// The bytes as "03 00 00 0A".
inline std::string ToHex(const std::string &bytes)
{
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty())
      out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

}  // namespace testhex
