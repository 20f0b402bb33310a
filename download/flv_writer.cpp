#include "download/flv_writer.h"

#include <cstdlib>
#include <cstring>

#include "flv/aggregate.h"
#include "flv/flv.h"
#include "flv/media_header.h"
#include "download/reseek.h"
#include "foundation/bytes.h"
#include "foundation/log.h"

using namespace RTMP_LIB;

namespace {

bool GrowBuffer(char **ppBuffer, size_t nSize)
{
  char *pNew = static_cast<char *>(realloc(*ppBuffer, nSize));
  if (pNew == nullptr) {
    // The old block stays valid and owned by the caller.
    Log(LOG_LEVEL_ERROR, "Couldn't reallocate memory!");
    return false;
  }
  *ppBuffer = pNew;
  return true;
}

bool IsMedia(unsigned char type)
{
  return type == RTMP_PACKET_TYPE_AUDIO || type == RTMP_PACKET_TYPE_VIDEO || type == RTMP_PACKET_TYPE_FLASH_VIDEO;
}

// Some servers restart message times at 0 after play with a start time S,
// others keep the stream's own times. The first media message tells which.
void DecideTimeModel(const StreamParams &params, StreamState &state, unsigned char type, uint32_t ts)
{
  if (state.timeModel != TIME_MODEL_UNKNOWN || !IsMedia(type))
    return;
  if (params.nSeekTime > 0 && ts >= params.nSeekTime / 2)
    state.timeModel = TIME_MODEL_ABSOLUTE;
  else
    state.timeModel = TIME_MODEL_RELATIVE;
}

// A live stream carries the publisher's running times; its position counts
// from the first media message received that is not a codec configuration. A
// server may send a late joiner its cached sequence headers at time 0 and then
// media at the publisher's current time: counting from 0 would put the stop
// offset behind at once.
// bTimed: the message holds media that is not a codec configuration.
uint32_t LivePosition(StreamState &state, bool bTimed, uint32_t nTime)
{
  if (!state.bLiveOriginSet) {
    if (!bTimed)
      return 0;
    state.bLiveOriginSet = true;
    state.nLiveOrigin = nTime;
  }
  return nTime >= state.nLiveOrigin ? nTime - state.nLiveOrigin : 0;
}

// Messages too small to carry a frame. Returns true when dropped.
bool DropSmall(unsigned char type, const char *body, uint32_t len)
{
  if (type == RTMP_PACKET_TYPE_VIDEO) {
    if (len == 2 && ClassifyVideo(body, len).bCommandFrame)
      return true;
    if (len <= 5) {
      Log(LOG_LEVEL_WARNING, "ignoring too small video packet: size: %d", static_cast<int>(len));
      return true;
    }
  } else if (type == RTMP_PACKET_TYPE_AUDIO && len <= 1) {
    Log(LOG_LEVEL_WARNING, "ignoring too small audio packet: size: %d", static_cast<int>(len));
    return true;
  }
  return false;
}

}  // namespace

int WriteHeader(char **ppBuffer, unsigned int nBufferSize)
{
  if (nBufferSize < FLV_HEADER_SIZE && !GrowBuffer(ppBuffer, FLV_HEADER_SIZE))
    return -1;
  static const char header[FLV_HEADER_SIZE] = {'F',  'L',  'V',  0x01, 0x05, 0x00, 0x00,
                                                0x00, 0x09, 0x00, 0x00, 0x00, 0x00};
  memcpy(*ppBuffer, header, FLV_HEADER_SIZE);
  return FLV_HEADER_SIZE;
}

int WriteStream(CRTMP *conn, char **ppBuffer, unsigned int nBufferSize, uint32_t *pnPosition,
                const StreamParams &params, StreamState &state, unsigned char *pDataTypes)
{
  RTMPPacket packet;
  int nGot = conn->GetNextMediaPacket(packet);
  if (nGot == 0)
    return -1;
  if (nGot == 2) {
    // The end-of-play status is a command, never a tag.
    state.bEndOfPlay = true;
    Log(LOG_LEVEL_DEBUG, "Got Play.Complete or Play.Stop from server. Assuming stream is complete");
    return 0;
  }

  const unsigned char type = packet.m_packetType;
  const uint32_t ts = packet.m_nTimeStamp;
  const char *body = packet.m_body;
  uint32_t len = packet.m_nBodySize;
  if (len > 0 && body == nullptr)
    return -1;
  if (type != RTMP_PACKET_TYPE_AUDIO && type != RTMP_PACKET_TYPE_VIDEO && type != RTMP_PACKET_TYPE_INFO &&
      type != RTMP_PACKET_TYPE_FLASH_VIDEO) {
    Log(LOG_LEVEL_DEBUG, "%s, not a media message (type 0x%02x), skipping", __FUNCTION__, type);
    return 0;
  }
  if (DropSmall(type, body, len))
    return 0;

  if (params.bResumeMode) {
    int nFiltered = FilterResumedMessage(params, state, type, ts, body, len);
    if (state.bReseekWanted)
      return ReplayBeforeKeyframe(*conn, params, state);
    if (nFiltered <= 0)
      return nFiltered;
  } else {
    DecideTimeModel(params, state, type, ts);
  }

  const bool bTag = type != RTMP_PACKET_TYPE_FLASH_VIDEO;
  const uint32_t nHeader = bTag ? FLV_TAG_HEADER_SIZE : 0;
  const uint32_t nTrailer = bTag ? FLV_TAG_TRAILER_SIZE : 0;
  uint32_t nSize = nHeader + len + nTrailer;
  // 4 spare bytes: an aggregate may need a previous-tag size appended.
  if (static_cast<uint64_t>(nSize) + 4 > nBufferSize && !GrowBuffer(ppBuffer, static_cast<size_t>(nSize) + 4))
    return -1;
  char *out = *ppBuffer;

  if (bTag) {
    if (type == RTMP_PACKET_TYPE_AUDIO)
      *pDataTypes |= FLV_FLAG_AUDIO;
    else if (type == RTMP_PACKET_TYPE_VIDEO)
      *pDataTypes |= FLV_FLAG_VIDEO;

    // Until the first media message has shown the server's time model (the
    // metadata comes before it), times count from the start time.
    uint32_t nTagTime = state.timeModel == TIME_MODEL_ABSOLUTE ? ts : params.nSeekTime + ts;
    if (pnPosition != nullptr && type != RTMP_PACKET_TYPE_INFO)
      *pnPosition = params.bLiveStream ? LivePosition(state, !ClassifyMedia(type, body, len).bCodecConfig, ts)
                                       : nTagTime;

    out[0] = static_cast<char>(type);
    EncodeInt24(out + 1, static_cast<int>(len));
    EncodeInt24(out + 4, static_cast<int>(nTagTime & 0xffffff));
    out[7] = static_cast<char>(nTagTime >> 24);
    out[8] = out[9] = out[10] = 0;
  }
  if (len > 0)
    memcpy(out + nHeader, body, len);

  if (!bTag) {
    AggregateInfo info;
    int nOut = RepairAggregate(out, len, info);
    if (nOut < 0)
      return nOut;
    *pDataTypes |= info.dataTypes;
    if (pnPosition != nullptr && info.nTagCount > 0)
      *pnPosition = params.bLiveStream ? LivePosition(state, info.bTimedMedia, ts) : info.nLastTime;
    return nOut;
  }
  EncodeInt32(out + nHeader + len, static_cast<int>(FLV_TAG_HEADER_SIZE + len));
  return static_cast<int>(nSize);
}
