// The message loop: reads until a message the application must see has
// arrived, answering or logging everything else on the way.
#include <cstring>

#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

// An FLV tag: type, 24-bit data size, 7 more header bytes, data, 4-byte trailer.
#define FLV_TAG_HEADER_SIZE 11
#define FLV_TAG_OVERHEAD 15
// Protocol control: abandon the message in progress on a chunk stream.
#define RTMP_PACKET_TYPE_ABORT 0x02

// Metadata carried inside a run of FLV tags is printed and sets the duration
// like a notify message. The run is returned to the application in any case.
static void ScanFlvData(CRTMP &rtmp, const RTMPPacket &packet)
{
  if (!packet.m_body)
    return;
  // 64-bit offsets: a tag size near 2^24 must not wrap the sums below.
  uint64_t nSize = packet.m_nBodySize;
  uint64_t nPos = 0;
  while (nPos + FLV_TAG_HEADER_SIZE < nSize) {
    uint64_t nDataSize = ReadInt24(packet.m_body + nPos + 1);
    if (nPos + nDataSize + FLV_TAG_OVERHEAD > nSize) {
      Log(LOG_LEVEL_WARNING, "Stream corrupt?!");
      break;
    }
    if (packet.m_body[nPos] == RTMP_PACKET_TYPE_INFO)
      rtmp.HandleMetadata(packet.m_body + nPos + FLV_TAG_HEADER_SIZE, static_cast<unsigned int>(nDataSize));
    nPos += nDataSize + FLV_TAG_OVERHEAD;
  }
}

// Encoders send their metadata as "@setDataFrame", "onMetaData", {...}, and
// some servers forward that form as it came. Returns the size of the leading
// "@setDataFrame" string when "onMetaData" follows it, else 0.
static uint32_t SetDataFramePrefixSize(const char *body, uint32_t nSize)
{
  static const char szSetDataFrame[] = "\x02\x00\x0d@setDataFrame";
  static const char szOnMetaData[] = "\x02\x00\x0aonMetaData";
  const uint32_t nPrefix = sizeof(szSetDataFrame) - 1;
  const uint32_t nName = sizeof(szOnMetaData) - 1;
  if (!body || nSize < nPrefix + nName || memcmp(body, szSetDataFrame, nPrefix) != 0 ||
      memcmp(body + nPrefix, szOnMetaData, nName) != 0)
    return 0;
  return nPrefix;
}

// A notify is returned when it is metadata. The "@setDataFrame" form is
// returned without that first value: players and the resume analysis of a
// partial file look for a script tag that starts with "onMetaData".
static bool HandleNotify(CRTMP &rtmp, RTMPPacket &packet)
{
  uint32_t nSkip = SetDataFramePrefixSize(packet.m_body, packet.m_nBodySize);
  if (!rtmp.HandleMetadata(packet.m_body ? packet.m_body + nSkip : nullptr, packet.m_nBodySize - nSkip))
    return false;
  if (nSkip > 0) {
    memmove(packet.m_body, packet.m_body + nSkip, packet.m_nBodySize - nSkip);
    packet.m_nBodySize -= nSkip;
    packet.m_nBytesRead -= nSkip;
  }
  return true;
}

int CRTMP::GetNextMediaPacket(RTMPPacket &packet)
{
  int nRes = 0;
  while (nRes == 0 && IsConnected() && ReadPacket(packet)) {
    if (!packet.IsReady()) {
      packet.FreePacket();
      continue;
    }
    unsigned long nSize = packet.m_nBodySize;

    switch (packet.m_packetType) {
    case RTMP_PACKET_TYPE_CHUNK_SIZE:
      HandleChangeChunkSize(packet);
      break;
    case RTMP_PACKET_TYPE_ABORT:
      HandleAbort(packet);
      break;
    case RTMP_PACKET_TYPE_BYTES_READ_REPORT:
      Log(LOG_LEVEL_DEBUG, "%s, received: bytes read report", "GetNextMediaPacket");
      break;
    case RTMP_PACKET_TYPE_CONTROL:
      HandlePing(packet);
      // The end of a live publication is the end of the recording.
      if (HandleStreamEOF(packet))
        nRes = 2;
      break;
    case RTMP_PACKET_TYPE_SERVER_BW:
      Log(LOG_LEVEL_DEBUG, "%s, received: server BW", "GetNextMediaPacket");
      break;
    case RTMP_PACKET_TYPE_CLIENT_BW:
      Log(LOG_LEVEL_DEBUG, "%s, received: client BW", "GetNextMediaPacket");
      break;
    case RTMP_PACKET_TYPE_AUDIO:
      HandleAudio(packet);
      m_bMediaReceived = true;
      nRes = 1;
      break;
    case RTMP_PACKET_TYPE_VIDEO:
      HandleVideo(packet);
      m_bMediaReceived = true;
      nRes = 1;
      break;
    case RTMP_PACKET_TYPE_FLEX_STREAM_SEND:
      Log(LOG_LEVEL_DEBUG, "%s, flex stream send, size %lu bytes, not supported, ignoring",
          "GetNextMediaPacket", nSize);
      break;
    case RTMP_PACKET_TYPE_FLEX_SHARED_OBJECT:
      Log(LOG_LEVEL_DEBUG, "%s, flex shared object, size %lu bytes, not supported, ignoring",
          "GetNextMediaPacket", nSize);
      break;
    case RTMP_PACKET_TYPE_FLEX_MESSAGE:
      Log(LOG_LEVEL_DEBUG, "%s, flex message, size %lu bytes, not fully supported", "GetNextMediaPacket",
          nSize);
      // The AMF0 command follows a first byte (the AMF3 format selector). With
      // nothing after it the invoke handler refuses the empty remainder.
      if (HandleInvoke(nSize > 0 && packet.m_body ? packet.m_body + 1 : nullptr,
                       nSize > 0 ? static_cast<unsigned int>(nSize - 1) : 0) == 1)
        nRes = 2;
      break;
    case RTMP_PACKET_TYPE_INFO:
      Log(LOG_LEVEL_DEBUG, "%s, received: notify %lu bytes", "GetNextMediaPacket", nSize);
      if (HandleNotify(*this, packet))
        nRes = 1;
      break;
    case RTMP_PACKET_TYPE_SHARED_OBJECT:
      Log(LOG_LEVEL_DEBUG, "%s, shared object, not supported, ignoring", "GetNextMediaPacket");
      break;
    case RTMP_PACKET_TYPE_INVOKE:
      Log(LOG_LEVEL_DEBUG, "%s, received: invoke %lu bytes", "GetNextMediaPacket", nSize);
      if (HandleInvoke(packet.m_body, packet.m_nBodySize) == 1)
        nRes = 2;
      break;
    case RTMP_PACKET_TYPE_FLASH_VIDEO:
      m_bMediaReceived = true;
      ScanFlvData(*this, packet);
      nRes = 1;
      break;
    default:
      Log(LOG_LEVEL_DEBUG, "%s, unknown packet type received: 0x%02x", "GetNextMediaPacket",
          packet.m_packetType);
      break;
    }

    if (nRes == 0)
      packet.FreePacket();
  }
  return nRes;
}

void CRTMP::HandleAudio(const RTMPPacket &)
{
}

void CRTMP::HandleVideo(const RTMPPacket &)
{
}

}  // namespace RTMP_LIB
