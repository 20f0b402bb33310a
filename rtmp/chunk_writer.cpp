// The chunk stream writer: one outgoing message as chunks on the socket, with
// the smallest header the previous message on its chunk stream allows.

#include <string>
#include <vector>

#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

#define RTMP_TIMESTAMP_EXTENDED 0xFFFFFFu

// 1, 2 or 3 bytes: ids 2..63 fit the first byte, 64..319 take one more byte,
// up to 65599 two more, low byte first.
static void AppendBasicHeader(std::vector<char> &out, uint8_t headerType, int nChannel)
{
  const char fmt = static_cast<char>(headerType << 6);
  if (nChannel < 64) {
    out.push_back(static_cast<char>(fmt | nChannel));
  } else if (nChannel < 64 + 256) {
    out.push_back(fmt);
    out.push_back(static_cast<char>(nChannel - 64));
  } else {
    out.push_back(static_cast<char>(fmt | 1));
    out.push_back(static_cast<char>((nChannel - 64) & 0xff));
    out.push_back(static_cast<char>((nChannel - 64) >> 8));
  }
}

static void AppendExtendedTimestamp(std::vector<char> &out, uint32_t nTime)
{
  char field[4];
  EncodeInt32(field, static_cast<int>(nTime));
  out.insert(out.end(), field, field + 4);
}

// The method name of an invoke, or "" when the body holds no whole string.
static std::string InvokeName(const RTMPPacket &packet)
{
  if (packet.m_body == nullptr || packet.m_nBodySize < 3)
    return std::string();
  uint32_t nLen = static_cast<uint16_t>(ReadInt16(packet.m_body + 1));
  if (3 + nLen > packet.m_nBodySize)
    return std::string();
  return ReadString(packet.m_body + 1);
}

bool CRTMP::SendRTMP(RTMPPacket &packet)
{
  const int nChannel = packet.m_nChannel;
  if (nChannel < 2 || nChannel >= RTMP_CHANNELS) {
    Log(LOG_LEVEL_ERROR, "%s, invalid chunk stream id %d", "SendRTMP", nChannel);
    return false;
  }
  if (packet.m_nBodySize > RTMP_MAX_BODY_SIZE || (packet.m_nBodySize > 0 && packet.m_body == nullptr) ||
      (packet.m_nBodyAlloc > 0 && packet.m_nBodySize > packet.m_nBodyAlloc)) {
    Log(LOG_LEVEL_ERROR, "%s, invalid body of %lu bytes", "SendRTMP", static_cast<unsigned long>(packet.m_nBodySize));
    return false;
  }

  // Compress against the last header sent on this chunk stream; a full
  // header is never compressed.
  const RTMPPacket &prev = ChannelOut(nChannel);
  if (packet.m_headerType != RTMP_PACKET_SIZE_LARGE) {
    if (packet.m_headerType == RTMP_PACKET_SIZE_MEDIUM && prev.m_nBodySize == packet.m_nBodySize &&
        prev.m_packetType == packet.m_packetType)
      packet.m_headerType = RTMP_PACKET_SIZE_SMALL;
    if (packet.m_headerType == RTMP_PACKET_SIZE_SMALL && prev.m_nInfoField1 == packet.m_nInfoField1)
      packet.m_headerType = RTMP_PACKET_SIZE_MINIMUM;
  }
  if (packet.m_headerType > 3) {
    Log(LOG_LEVEL_ERROR, "sanity failed!! tring to send header of type: 0x%02x.", packet.m_headerType);
    return false;
  }

  // A timestamp from FF FF FF up goes in 4 more bytes after the header, and
  // again after every continuation header of the message. A type-3 header
  // only follows one with the same timestamp, so it carries them too.
  const uint32_t nTime = packet.m_nInfoField1;
  const bool bExtended = nTime >= RTMP_TIMESTAMP_EXTENDED;
  const int nHeaderSize = packetSize[packet.m_headerType];
  // The client never announces a chunk size of its own, so whatever the
  // server announced for its direction, ours stays at 128.
  const uint32_t nChunkSize = m_outChunkSize >= 1 ? static_cast<uint32_t>(m_outChunkSize) : RTMP_DEFAULT_CHUNKSIZE;
  const uint32_t nChunks = packet.m_nBodySize == 0 ? 1 : (packet.m_nBodySize + nChunkSize - 1) / nChunkSize;

  std::vector<char> out;
  out.reserve(nHeaderSize + 6 + packet.m_nBodySize + (nChunks - 1) * 7);
  AppendBasicHeader(out, packet.m_headerType, nChannel);
  char field[4];
  if (nHeaderSize >= 4) {
    EncodeInt24(field, static_cast<int>(bExtended ? RTMP_TIMESTAMP_EXTENDED : nTime));
    out.insert(out.end(), field, field + 3);
  }
  if (nHeaderSize >= 8) {
    EncodeInt24(field, static_cast<int>(packet.m_nBodySize));
    out.insert(out.end(), field, field + 3);
    out.push_back(static_cast<char>(packet.m_packetType));
  }
  if (nHeaderSize >= 12) {
    // The message stream id is the one little-endian field.
    EncodeInt32LE(field, packet.m_nInfoField2);
    out.insert(out.end(), field, field + 4);
  }
  if (bExtended)
    AppendExtendedTimestamp(out, nTime);

  const char *body = packet.m_body;
  uint32_t nLeft = packet.m_nBodySize;
  while (nLeft > 0) {
    uint32_t nPiece = nLeft < nChunkSize ? nLeft : nChunkSize;
    out.insert(out.end(), body, body + nPiece);
    body += nPiece;
    nLeft -= nPiece;
    if (nLeft > 0) {
      AppendBasicHeader(out, RTMP_PACKET_SIZE_MINIMUM, nChannel);
      if (bExtended)
        AppendExtendedTimestamp(out, nTime);
    }
  }

  // One write for the whole message: small separate writes would wait on
  // the peer's delayed acknowledgement.
  if (!WriteN(out.data(), static_cast<int>(out.size()))) {
    Log(LOG_LEVEL_WARNING, "%s: couldn't send rtmp header", "SendRTMP");
    return false;
  }

  // Replies are matched to invokes by the order of these names.
  if (packet.m_packetType == RTMP_PACKET_TYPE_INVOKE)
    m_methodCalls.push_back(InvokeName(packet));

  RTMPPacket &saved = ChannelOut(nChannel);
  saved = packet;
  saved.m_body = nullptr;  // the caller keeps its body
  saved.m_nBodyAlloc = 0;
  return true;
}

}  // namespace RTMP_LIB
