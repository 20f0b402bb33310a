// Repair of an aggregate message: a run of complete FLV tags carried as one
// RTMP message body (type 0x16), written to the file as it stands.
#pragma once

#include <cstdint>

namespace RTMP_LIB {

struct AggregateInfo {
  uint32_t nTagCount = 0;      // inner tags that lie inside the body
  uint32_t nLastTime = 0;      // time of the last of them
  unsigned char dataTypes = 0; // FLV header flags of the audio and video tags seen
  bool bTimedMedia = false;    // an audio or video tag that is not a codec configuration
  uint32_t nStrayBytes = 0;    // bytes after the last tag, too few for a tag header
};

// pData holds the nLen body bytes with room for 4 more. Corrects every inner
// previous-tag size, appends a missing one to a last tag that lacks it and
// drops the stray tail. Returns the number of bytes to write, or -2 when an
// inner tag claims more data than the body holds.
int RepairAggregate(char *pData, uint32_t nLen, AggregateInfo &info);

}  // namespace RTMP_LIB
