#include "rtmp/rtmppacket.h"

#include <cstdlib>
#include <new>

#include "foundation/log.h"

namespace RTMP_LIB {

const int packetSize[4] = {12, 8, 4, 1};

RTMPPacket::RTMPPacket() : m_nTimeStamp(0)
{
  Reset();
}

RTMPPacket::~RTMPPacket()
{
  FreePacket();
}

bool RTMPPacket::AllocPacket(int nSize)
{
  if (nSize < 0)
    return false;
  // At least one byte, so that an empty body is still a body.
  m_body = static_cast<char *>(calloc(1, nSize > 0 ? static_cast<size_t>(nSize) : 1));
  if (m_body == nullptr)
    return false;
  m_nBodyAlloc = static_cast<uint32_t>(nSize);
  m_nBytesRead = 0;
  return true;
}

void RTMPPacket::Dump() const
{
  Log(LOG_LEVEL_DEBUG,
      "RTMP PACKET: packet type: 0x%02x. channel: 0x%02x. info 1: %d info 2: %d. Body size: %lu. body: 0x%02x",
      m_packetType, m_nChannel, static_cast<int>(m_nInfoField1), m_nInfoField2,
      static_cast<unsigned long>(m_nBodySize), m_body ? static_cast<unsigned char>(m_body[0]) : 0);
}

}  // namespace RTMP_LIB
