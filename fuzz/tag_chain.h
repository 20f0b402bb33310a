// Checks shared by the fuzz targets that produce FLV bytes: what the writer
// hands to the file must be whole tags, each followed by its true size.
#pragma once

#include <cstddef>
#include <cstdint>

// Walks n bytes as FLV tags (11-byte header, data, 4-byte previous-tag size of
// 11 + data). True when they are exactly a run of whole tags with the right
// sizes; nTags receives the number of tags walked.
inline bool IsTagChain(const char *p, size_t n, size_t &nTags)
{
  const unsigned char *b = reinterpret_cast<const unsigned char *>(p);
  nTags = 0;
  size_t nPos = 0;
  while (nPos < n) {
    if (n - nPos < 15)
      return false;
    size_t nData = (static_cast<size_t>(b[nPos + 1]) << 16) | (static_cast<size_t>(b[nPos + 2]) << 8) | b[nPos + 3];
    if (n - nPos - 15 < nData)
      return false;
    const unsigned char *t = b + nPos + 11 + nData;
    uint32_t nPrev = (static_cast<uint32_t>(t[0]) << 24) | (static_cast<uint32_t>(t[1]) << 16) |
                     (static_cast<uint32_t>(t[2]) << 8) | t[3];
    if (nPrev != 11 + nData)
      return false;
    nPos += 15 + nData;
    nTags++;
  }
  return true;
}
