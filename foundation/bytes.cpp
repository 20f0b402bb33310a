#include "foundation/bytes.h"

double ReadNumber(const char *data)
{
  uint64_t bits = 0;
  for (int i = 0; i < 8; i++)
    bits = (bits << 8) | static_cast<unsigned char>(data[i]);
  double value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

void WriteNumber(char *out, double value)
{
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  for (int i = 7; i >= 0; i--) {
    out[i] = static_cast<char>(bits & 0xff);
    bits >>= 8;
  }
}

int EncodeInt32LE(char *out, int value)
{
  uint32_t v = static_cast<uint32_t>(value);
  out[0] = static_cast<char>(v);
  out[1] = static_cast<char>(v >> 8);
  out[2] = static_cast<char>(v >> 16);
  out[3] = static_cast<char>(v >> 24);
  return 4;
}

int ReadInt32LE(const char *data)
{
  const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
  return static_cast<int>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

std::string ReadString(const char *data)
{
  size_t len = static_cast<unsigned short>(ReadInt16(data));
  const char *text = data + 2;
  const void *zero = memchr(text, 0, len);
  if (zero != nullptr)
    len = static_cast<size_t>(static_cast<const char *>(zero) - text);
  return std::string(text, len);
}

static int EncodeName(char *out, const std::string &name)
{
  EncodeInt16(out, static_cast<short>(name.size()));
  memcpy(out + 2, name.data(), name.size());
  return 2 + static_cast<int>(name.size());
}

int EncodeNumber(char *out, double value)
{
  out[0] = 0x00;
  WriteNumber(out + 1, value);
  return 9;
}

int EncodeBoolean(char *out, bool value)
{
  out[0] = 0x01;
  out[1] = value ? 0x01 : 0x00;
  return 2;
}

int EncodeString(char *out, const std::string &value)
{
  out[0] = 0x02;
  return 1 + EncodeName(out + 1, value);
}

int EncodeNumber(char *out, const std::string &name, double value)
{
  int n = EncodeName(out, name);
  return n + EncodeNumber(out + n, value);
}

int EncodeBoolean(char *out, const std::string &name, bool value)
{
  int n = EncodeName(out, name);
  return n + EncodeBoolean(out + n, value);
}

int EncodeString(char *out, const std::string &name, const std::string &value)
{
  int n = EncodeName(out, name);
  return n + EncodeString(out + n, value);
}
