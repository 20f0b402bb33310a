// The FLV layout as written by the FLV writer and read back by the resume
// analysis: a 9-byte header and a zero previous-tag size, then tags of an
// 11-byte header, the data and a 4-byte previous-tag size of 11 + data size.
#pragma once

#include <cstdint>

#define FLV_HEADER_SIZE 13        // header and the first previous-tag size
#define FLV_TAG_HEADER_SIZE 11
#define FLV_TAG_TRAILER_SIZE 4
#define FLV_FLAGS_OFFSET 4
#define FLV_FLAG_AUDIO 0x04
#define FLV_FLAG_VIDEO 0x01
#define FLV_TAG_AUDIO 8
#define FLV_TAG_VIDEO 9
#define FLV_TAG_SCRIPT 18
// The largest data size a tag can state: its size field is 24 bits wide.
#define FLV_MAX_DATA_SIZE 0xFFFFFF

// A tag's 32-bit time: 24 bits, then the extended byte as bits 24 to 31.
inline uint32_t FlvTagTime(const char *tag)
{
  const unsigned char *p = reinterpret_cast<const unsigned char *>(tag);
  return (static_cast<uint32_t>(p[7]) << 24) | (static_cast<uint32_t>(p[4]) << 16) |
         (static_cast<uint32_t>(p[5]) << 8) | p[6];
}

inline uint32_t FlvDataSize(const char *tag)
{
  const unsigned char *p = reinterpret_cast<const unsigned char *>(tag);
  return (static_cast<uint32_t>(p[1]) << 16) | (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// What the data of an audio or video tag holds (keyframe, codec
// configuration, classic or Enhanced form) is told by flv/media_header.h.
