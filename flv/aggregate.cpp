#include "flv/aggregate.h"

#include "flv/flv.h"
#include "flv/media_header.h"
#include "foundation/bytes.h"
#include "foundation/log.h"

namespace RTMP_LIB {

int RepairAggregate(char *pData, uint32_t nLen, AggregateInfo &info)
{
  uint64_t p = 0;
  while (p + FLV_TAG_HEADER_SIZE < nLen) {
    const char *tag = pData + p;
    uint32_t s = FlvDataSize(tag);
    uint64_t nEnd = p + FLV_TAG_HEADER_SIZE + s;
    if (nEnd > nLen) {
      Log(LOG_LEVEL_ERROR, "Wrong data size (%lu), stream corrupted, aborting!", static_cast<unsigned long>(s));
      return -2;
    }
    info.nTagCount++;
    info.nLastTime = FlvTagTime(tag);
    const unsigned char type = static_cast<unsigned char>(tag[0]);
    if (type == FLV_TAG_AUDIO)
      info.dataTypes |= FLV_FLAG_AUDIO;
    else if (type == FLV_TAG_VIDEO)
      info.dataTypes |= FLV_FLAG_VIDEO;
    if ((type == FLV_TAG_AUDIO || type == FLV_TAG_VIDEO) && !info.bTimedMedia)
      info.bTimedMedia = !ClassifyMedia(type, tag + FLV_TAG_HEADER_SIZE, s).bCodecConfig;

    int nTagSize = static_cast<int>(FLV_TAG_HEADER_SIZE + s);
    if (nEnd + FLV_TAG_TRAILER_SIZE > nLen) {
      // The last tag ends without its previous-tag size (the body may hold up
      // to 3 bytes of one). The output ends right after the size we append.
      Log(LOG_LEVEL_WARNING, "No tagSize found, appending!");
      EncodeInt32(pData + nEnd, nTagSize);
      return static_cast<int>(nEnd + FLV_TAG_TRAILER_SIZE);
    }
    if (ReadInt32(pData + nEnd) != nTagSize)
      EncodeInt32(pData + nEnd, nTagSize);
    p = nEnd + FLV_TAG_TRAILER_SIZE;
  }
  if (p < nLen) {
    // Copying these would leave bytes in the file that no tag accounts for,
    // and a reader walking the chain would take them for a tag.
    info.nStrayBytes = static_cast<uint32_t>(nLen - p);
    Log(LOG_LEVEL_WARNING, "Dropping %u stray bytes at the end of an aggregate message", info.nStrayBytes);
  }
  return static_cast<int>(p);
}

}  // namespace RTMP_LIB
