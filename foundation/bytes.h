// Byte-order and wire-field primitives. RTMP and AMF are big-endian throughout,
// except the message stream id of a chunk header, which is little-endian.
//
// Readers never check bounds and writers never check room: the caller has
// tested that the field lies inside its data, or sized the output.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

double ReadNumber(const char *data);
void WriteNumber(char *out, double value);
int EncodeInt32LE(char *out, int value);
int ReadInt32LE(const char *data);

// The same fields as free functions; CRTMP exposes them as static members too.
inline bool ReadBool(const char *data)
{
  return *data == 0x01;
}

inline short ReadInt16(const char *data)
{
  const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
  return static_cast<short>((p[0] << 8) | p[1]);
}

inline unsigned ReadInt24(const char *data)
{
  const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
  return (static_cast<unsigned>(p[0]) << 16) | (p[1] << 8) | p[2];
}

inline int ReadInt32(const char *data)
{
  const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
  return static_cast<int>((static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]);
}

// 16-bit length, then the bytes; the result stops at the first zero byte.
std::string ReadString(const char *data);

inline int EncodeInt16(char *out, short value)
{
  out[0] = static_cast<char>((value >> 8) & 0xff);
  out[1] = static_cast<char>(value & 0xff);
  return 2;
}

inline int EncodeInt24(char *out, int value)
{
  out[0] = static_cast<char>((value >> 16) & 0xff);
  out[1] = static_cast<char>((value >> 8) & 0xff);
  out[2] = static_cast<char>(value & 0xff);
  return 3;
}

inline int EncodeInt32(char *out, int value)
{
  uint32_t v = static_cast<uint32_t>(value);
  out[0] = static_cast<char>(v >> 24);
  out[1] = static_cast<char>(v >> 16);
  out[2] = static_cast<char>(v >> 8);
  out[3] = static_cast<char>(v);
  return 4;
}

// AMF0 values with their type marker, plain and as a named object property.
int EncodeNumber(char *out, double value);
int EncodeBoolean(char *out, bool value);
int EncodeString(char *out, const std::string &value);
int EncodeNumber(char *out, const std::string &name, double value);
int EncodeBoolean(char *out, const std::string &name, bool value);
int EncodeString(char *out, const std::string &name, const std::string &value);
