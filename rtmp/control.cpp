// Protocol control messages: pings, server bandwidth, bytes-read reports,
// the server's chunk-size change and abort. What the client sends goes out
// on chunk stream 2, stream id 0.
#include <cstring>

#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

// Ping (user control) types.
#define PING_STREAM_EOF 1
#define PING_BUFFER_LENGTH 3
#define PING_REQUEST 6
#define PING_RESPONSE 7
#define PING_SWF_VERIFY_REQUEST 26
#define PING_SWF_VERIFY_RESPONSE 27

static bool SendControl(CRTMP &rtmp, uint8_t headerType, uint8_t packetType, uint32_t nTimestamp,
                        const char *pBody, int nBodySize)
{
  RTMPPacket packet;
  packet.m_nChannel = 2;
  packet.m_headerType = headerType;
  packet.m_packetType = packetType;
  packet.m_nInfoField1 = nTimestamp;
  packet.m_nInfoField2 = 0;
  if (!packet.AllocPacket(nBodySize))
    return false;
  memcpy(packet.m_body, pBody, static_cast<size_t>(nBodySize));
  packet.m_nBodySize = static_cast<uint32_t>(nBodySize);
  return rtmp.SendRTMP(packet);
}

bool CRTMP::SendPing(short nType, unsigned int nObject, unsigned int nTime)
{
  Log(LOG_LEVEL_DEBUG, "sending ping. type: 0x%04x", static_cast<unsigned short>(nType));

  // The largest body is the 44 bytes of a SWF verification answer.
  char body[44] = {};
  int nSize = 6;
  if (nType == PING_BUFFER_LENGTH)
    nSize = 10;
  else if (nType == PING_SWF_VERIFY_RESPONSE)
    nSize = 44;

  EncodeInt16(body, nType);
  if (nType != PING_SWF_VERIFY_RESPONSE)
    EncodeInt32(body + 2, static_cast<int>(nObject));
  if (nType == PING_BUFFER_LENGTH)
    EncodeInt32(body + 6, static_cast<int>(nTime));

  return SendControl(*this, RTMP_PACKET_SIZE_MEDIUM, RTMP_PACKET_TYPE_CONTROL,
                     static_cast<uint32_t>(GetTime()), body, nSize);
}

void CRTMP::HandlePing(const RTMPPacket &packet)
{
  short nType = -1;
  if (packet.m_body && packet.m_nBodySize >= 2)
    nType = ReadInt16(packet.m_body);
  Log(LOG_LEVEL_DEBUG, "%s, received ping. type: %d, len: %d", "HandlePing", nType,
      static_cast<int>(packet.m_nBodySize));

  if (nType == PING_REQUEST && packet.m_nBodySize >= 6) {
    unsigned int nValue = static_cast<unsigned int>(ReadInt32(packet.m_body + 2));
    SendPing(PING_RESPONSE, nValue, 0);
  }

  if (nType == PING_SWF_VERIFY_REQUEST) {
    Log(LOG_LEVEL_DEBUG, "%s, SWFVerification ping received: ", "HandlePing");
    Log(LOG_LEVEL_WARNING, "%s: Ignoring unsupported SWFVerification request", "HandlePing");
  }
}

bool CRTMP::HandleStreamEOF(const RTMPPacket &packet)
{
  if (!packet.m_body || packet.m_nBodySize < 6 || ReadInt16(packet.m_body) != PING_STREAM_EOF)
    return false;
  int nStreamId = ReadInt32(packet.m_body + 2);
  // A recorded stream ends with its own status message; some servers send a
  // stream EOF beside it, which must not cut the wait for it short.
  if (!m_bLiveStream || nStreamId != m_stream_id)
    return false;
  // nginx sends StreamBegin and StreamEOF around a play that starts before
  // anyone publishes: only the end of a publication that was recorded counts.
  if (!m_bMediaReceived) {
    Log(LOG_LEVEL_INFO, "%s, stream EOF for stream %d before any media, waiting for the publisher",
        "HandleStreamEOF", nStreamId);
    return false;
  }
  // nginx keeps the connection open after it and sends no status: without
  // this the recording would only end at the receive timeout.
  LogPrintf("\rStream EOF for stream %d: the publisher stopped, ending the recording\n", nStreamId);
  Close();
  return true;
}

bool CRTMP::SendServerBW()
{
  char body[4];
  EncodeInt32(body, 1250000);
  return SendControl(*this, RTMP_PACKET_SIZE_LARGE, RTMP_PACKET_TYPE_SERVER_BW, 0, body, 4);
}

bool CRTMP::SendBytesReceived()
{
  // Counted as sent even if the send fails, so a broken socket does not
  // trigger a report on every later read.
  m_nBytesInSent = m_nBytesIn;
  char body[4];
  EncodeInt32(body, static_cast<int>(m_nBytesIn));
  return SendControl(*this, RTMP_PACKET_SIZE_MEDIUM, RTMP_PACKET_TYPE_BYTES_READ_REPORT, 0, body, 4);
}

void CRTMP::HandleChangeChunkSize(const RTMPPacket &packet)
{
  if (!packet.m_body || packet.m_nBodySize < 4)
    return;

  int nChunkSize = ReadInt32(packet.m_body);
  if (!CheckChunkSize(nChunkSize, "HandleChangeChunkSize"))
    return;
  // Only the incoming size changes: the client never announces its own, so it
  // keeps sending chunks of 128 bytes.
  m_chunkSize = nChunkSize;
  Log(LOG_LEVEL_DEBUG, "%s, received: chunk size change to %d", "HandleChangeChunkSize", m_chunkSize);
}

void CRTMP::HandleAbort(const RTMPPacket &packet)
{
  if (!packet.m_body || packet.m_nBodySize < 4)
    return;
  const uint32_t nId = static_cast<uint32_t>(ReadInt32(packet.m_body));
  RTMPPacket *pSaved = nId < RTMP_CHANNELS ? FindChannelIn(static_cast<int>(nId)) : nullptr;
  if (pSaved == nullptr || pSaved->m_nBytesRead == 0) {
    Log(LOG_LEVEL_DEBUG, "%s, abort for chunk stream %u, no message in progress", "HandleAbort", nId);
    return;
  }
  Log(LOG_LEVEL_DEBUG, "%s, chunk stream %u: message abandoned after %u of %u bytes", "HandleAbort", nId,
      pSaved->m_nBytesRead, pSaved->m_nBodySize);
  // The header stays as after a complete message: the next chunk there may
  // be a type 2 or 3 that starts a new message, its delta counted from the
  // abandoned message's time.
  uint32_t &nRunning = ChannelTimestamp(static_cast<int>(nId));
  nRunning = pSaved->m_hasAbsTimestamp ? pSaved->m_nInfoField1 : pSaved->m_nInfoField1 + nRunning;
  pSaved->FreePacketHeader();
  pSaved->m_nBytesRead = 0;
  pSaved->m_hasAbsTimestamp = false;
}

bool CRTMP::UpdateBufferMS()
{
  return SendPing(PING_BUFFER_LENGTH, 1, static_cast<unsigned int>(m_nBufferMS));
}

}  // namespace RTMP_LIB
