// One RTMP message, in either direction, with its header fields and body.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace RTMP_LIB {

// Chunk header types and their sizes, basic header of one byte included.
#define RTMP_PACKET_SIZE_LARGE 0
#define RTMP_PACKET_SIZE_MEDIUM 1
#define RTMP_PACKET_SIZE_SMALL 2
#define RTMP_PACKET_SIZE_MINIMUM 3
extern const int packetSize[4];

// Message types.
#define RTMP_PACKET_TYPE_CHUNK_SIZE 0x01
#define RTMP_PACKET_TYPE_BYTES_READ_REPORT 0x03
#define RTMP_PACKET_TYPE_CONTROL 0x04
#define RTMP_PACKET_TYPE_SERVER_BW 0x05
#define RTMP_PACKET_TYPE_CLIENT_BW 0x06
#define RTMP_PACKET_TYPE_AUDIO 0x08
#define RTMP_PACKET_TYPE_VIDEO 0x09
#define RTMP_PACKET_TYPE_FLEX_STREAM_SEND 0x0F
#define RTMP_PACKET_TYPE_FLEX_SHARED_OBJECT 0x10
#define RTMP_PACKET_TYPE_FLEX_MESSAGE 0x11
#define RTMP_PACKET_TYPE_INFO 0x12
#define RTMP_PACKET_TYPE_SHARED_OBJECT 0x13
#define RTMP_PACKET_TYPE_INVOKE 0x14
#define RTMP_PACKET_TYPE_FLASH_VIDEO 0x16

// The largest body a message can have: its size field is 24 bits wide.
#define RTMP_MAX_BODY_SIZE 0xFFFFFF
// Chunk stream ids 0..65599 (64 + 65535) are all distinct on the wire.
#define RTMP_CHANNELS 65600

class RTMPPacket
{
public:
  RTMPPacket();
  virtual ~RTMPPacket();

  // Inline, as they run for every chunk read.
  void Reset()
  {
    m_headerType = 0;
    m_packetType = 0;
    m_nChannel = 0;
    m_nInfoField1 = 0;
    m_nInfoField2 = 0;
    m_hasAbsTimestamp = false;
    m_hasExtTimestamp = false;
    m_nBodySize = 0;
    m_nBytesRead = 0;
    m_nBodyAlloc = 0;
    m_body = nullptr;
  }
  bool AllocPacket(int nSize);
  void FreePacketHeader()
  {
    if (m_body != nullptr)
      free(m_body);
    m_body = nullptr;
    m_nBodyAlloc = 0;
  }
  void FreePacket()
  {
    FreePacketHeader();
    Reset();
  }
  bool IsReady() const { return m_nBytesRead == m_nBodySize; }
  // Copies every field, the body pointer included: the caller decides who owns the body.
  RTMPPacket &operator=(const RTMPPacket &src) = default;
  RTMPPacket(const RTMPPacket &) = delete;
  void Dump() const;

  uint8_t m_headerType;
  uint8_t m_packetType;
  int m_nChannel;            // chunk stream id, 0..65599
  uint32_t m_nInfoField1;    // timestamp field as carried: absolute (type 0) or delta
  int32_t m_nInfoField2;     // message stream id
  bool m_hasAbsTimestamp;
  bool m_hasExtTimestamp;    // the last type 0/1/2 header of this message carried the 4-byte field
  uint32_t m_nTimeStamp;     // absolute time of a complete incoming message
  uint32_t m_nBodySize;
  uint32_t m_nBytesRead;
  uint32_t m_nBodyAlloc;     // bytes allocated for m_body (a partial body grows as it arrives)
  char *m_body;
};

}  // namespace RTMP_LIB
