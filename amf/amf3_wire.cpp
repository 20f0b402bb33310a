// AMF3 wire elements: the variable-length 29-bit integer and the
// length-prefixed string. The bounded forms check every byte against the
// range; the others trust the caller.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "amf/AMFObject.h"
#include "foundation/check.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

// The largest integer the 1..4-byte form carries; larger ones are negative.
const int32_t kAMF3IntegerMax = 0x0FFFFFFF;

}  // namespace

int AMF3ReadInteger(const char *data, int nSize, int32_t *valp)
{
  if (data == nullptr || nSize <= 0)
    return -1;

  const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
  int32_t nValue = 0;
  int i = 0;
  // Up to three bytes of 7 bits each, the high bit saying that more follow.
  while (i < 3) {
    if (i >= nSize)
      return -1;
    unsigned char c = p[i++];
    nValue = (nValue << 7) | (c & 0x7f);
    if ((c & 0x80) == 0) {
      *valp = nValue;
      return i;
    }
  }
  // The fourth byte gives all 8 bits; the 29-bit result is signed.
  if (i >= nSize)
    return -1;
  nValue = (nValue << 8) | p[i++];
  if (nValue > kAMF3IntegerMax)
    nValue -= 0x20000000;
  *valp = nValue;
  return i;
}

int AMF3ReadInteger(const char *data, int32_t *valp)
{
  // An integer never takes more than 4 bytes; the caller has them.
  return AMF3ReadInteger(data, 4, valp);
}

int AMF3ReadStringText(const char *data, int nSize, const char **ppText, int *pnLen)
{
  int32_t nRef = 0;
  int nLen = AMF3ReadInteger(data, nSize, &nRef);
  if (nLen < 0)
    return -1;

  if ((nRef & 1) == 0) {
    Log(LOG_LEVEL_DEBUG, "%s, string reference, index: %d, not supported, ignoring!",
        "AMF3ReadString", nRef >> 1);
    *ppText = "";
    *pnLen = 0;
    return nLen;
  }

  int32_t nStrLen = nRef >> 1;
  if (nStrLen < 0 || nStrLen > nSize - nLen)
    return -1;
  *ppText = data + nLen;
  *pnLen = nStrLen;
  return nLen + nStrLen;
}

int AMF3ReadString(const char *data, int nSize, char **pStr)
{
  KAVELO_ASSERT(pStr != 0);
  *pStr = nullptr;

  const char *pText = nullptr;
  int nStrLen = 0;
  int nRes = AMF3ReadStringText(data, nSize, &pText, &nStrLen);
  if (nRes < 0)
    return -1;
  char *pCopy = new char[static_cast<size_t>(nStrLen) + 1];
  memcpy(pCopy, pText, static_cast<size_t>(nStrLen));
  pCopy[nStrLen] = '\0';
  *pStr = pCopy;
  return nRes;
}

int AMF3ReadString(const char *data, char **pStr)
{
  KAVELO_ASSERT(pStr != 0);
  // The caller vouches for the bytes: the header says how many follow.
  int32_t nRef = 0;
  int nLen = AMF3ReadInteger(data, &nRef);
  int nSize = nLen;
  if ((nRef & 1) != 0 && nRef > 0)
    nSize += nRef >> 1;
  return AMF3ReadString(data, nSize, pStr);
}

}  // namespace RTMP_LIB
