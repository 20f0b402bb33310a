// The chunk stream reader: one chunk per call, added to the message of its
// chunk stream; a complete message is handed to the caller with its body.
//
// Chunk header:
//   basic header   1 byte  fmt (bits 7..6), id 2..63 (bits 5..0)
//                  id 0:   one more byte b,          id = 64 + b
//                  id 1:   two more bytes b1 b2,     id = 64 + b1 + 256 * b2
//   fmt 0 (11 bytes) timestamp (3), size (3), type (1), stream id (4, little-endian)
//   fmt 1 (7 bytes)  timestamp delta (3), size (3), type (1)
//   fmt 2 (3 bytes)  timestamp delta (3)
//   fmt 3 (none)
//   A timestamp field of FF FF FF means the real value follows as 4 more bytes.

#include <cstdlib>

#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

// The most body bytes read in one go. Memory for a body grows with the bytes
// that arrive, so a header that claims 16 MB and sends nothing costs nothing.
#define RTMP_BODY_READ_STEP 65536
#define RTMP_TIMESTAMP_EXTENDED 0xFFFFFFu

bool CRTMP::ReadExactThroughReadN(char *buffer, int n)
{
  // A bytes-read report sent from inside ReadN can fail and close the
  // connection after the bytes arrived; Close has then released the channel
  // state they were meant for, so the read counts as failed.
  return ReadN(buffer, n) == n && IsConnected();
}

bool CRTMP::ReadChunkBody(RTMPPacket &saved, uint32_t nChunk)
{
  const unsigned long nBodySize = saved.m_nBodySize;
  while (nChunk > 0) {
    uint32_t nStep = nChunk < RTMP_BODY_READ_STEP ? nChunk : RTMP_BODY_READ_STEP;
    uint32_t nNeed = saved.m_nBytesRead + nStep;
    if (nNeed > saved.m_nBodyAlloc) {
      // Doubling keeps the number of copies small; the message size caps it.
      uint32_t nAlloc = saved.m_nBodyAlloc * 2;
      if (nAlloc < nNeed)
        nAlloc = nNeed;
      if (nAlloc > saved.m_nBodySize)
        nAlloc = saved.m_nBodySize;
      char *body = static_cast<char *>(realloc(saved.m_body, nAlloc));
      if (body == nullptr) {
        Log(LOG_LEVEL_ERROR, "%s, failed to allocate packet (BodySize = %lu bytes)", "ReadPacket", nBodySize);
        Close();
        return false;
      }
      saved.m_body = body;
      saved.m_nBodyAlloc = nAlloc;
    }
    if (!ReadExact(saved.m_body + saved.m_nBytesRead, static_cast<int>(nStep))) {
      // The connection is closed, and with it the partial body is released.
      Log(LOG_LEVEL_ERROR, "%s, failed to read RTMP packet body. len: %lu", "ReadPacket", nBodySize);
      return false;
    }
    saved.m_nBytesRead += nStep;
    nChunk -= nStep;
  }
  return true;
}

bool CRTMP::ReadPacket(RTMPPacket &packet)
{
  // The previous message goes now: whatever path is taken below, the packet
  // ends up with no body or with a complete body of its own, never with one
  // that a chunk stream still refers to.
  packet.FreePacketHeader();

  char first;
  if (!ReadExact(&first, 1)) {
    Log(LOG_LEVEL_ERROR, "%s, failed to read RTMP packet header", "ReadPacket");
    return false;
  }
  const uint8_t headerType = static_cast<uint8_t>(static_cast<unsigned char>(first) >> 6);
  int nChannel = first & 0x3f;
  char lastBasicByte = first;
  if (nChannel == 0) {
    char b;
    if (!ReadExact(&b, 1)) {
      Log(LOG_LEVEL_ERROR, "%s, failed to read RTMP packet header 2nd byte", "ReadPacket");
      return false;
    }
    lastBasicByte = b;
    nChannel = 64 + static_cast<unsigned char>(b);
  } else if (nChannel == 1) {
    char b[2];
    if (!ReadExact(b, 2)) {
      Log(LOG_LEVEL_ERROR, "%s, failed to read RTMP packet header 3rd byte", "ReadPacket");
      return false;
    }
    // Low byte first, unlike the big-endian fields around it.
    nChannel = 64 + static_cast<unsigned char>(b[0]) + 256 * static_cast<unsigned char>(b[1]);
    Log(LOG_LEVEL_DEBUG, "%s, m_nChannel: %0x", "ReadPacket", nChannel);
  }

  const int nHeaderSize = packetSize[headerType] - 1;
  char header[11];
  if (nHeaderSize > 0 && !ReadExact(header, nHeaderSize)) {
    Log(LOG_LEVEL_ERROR, "%s, failed to read RTMP packet header. type: %x", "ReadPacket",
        static_cast<int>(static_cast<signed char>(lastBasicByte)));
    return false;
  }

  RTMPPacket &saved = ChannelIn(nChannel);

  // A type-3 chunk repeats the 4-byte field when the last full header on its
  // chunk stream had one, on continuation chunks and new messages alike.
  uint32_t nTimeField = 0;
  bool bExtended = saved.m_hasExtTimestamp;
  if (nHeaderSize >= 3) {
    nTimeField = ReadInt24(header);
    bExtended = nTimeField == RTMP_TIMESTAMP_EXTENDED;
  }
  uint32_t nExtTime = 0;
  if (bExtended) {
    char ext[4];
    if (!ReadExact(ext, 4)) {
      Log(LOG_LEVEL_ERROR, "%s, failed to read extended timestamp", "ReadPacket");
      return false;
    }
    nExtTime = static_cast<uint32_t>(ReadInt32(ext));
    if (nHeaderSize >= 3)
      nTimeField = nExtTime;
  }

  // Types 0 and 1 always start a message; 2 and 3 continue the one in
  // progress, or start one with the size, type and stream id last seen.
  const bool bNewMessage = headerType <= 1 || saved.m_nBytesRead == 0;
  if (bNewMessage) {
    // Abandoned by a new header: released here, once.
    saved.FreePacketHeader();
    saved.m_nBytesRead = 0;
  }
  if (nHeaderSize >= 3) {
    saved.m_nInfoField1 = nTimeField;
    saved.m_hasExtTimestamp = bExtended;
  } else if (bNewMessage && bExtended) {
    saved.m_nInfoField1 = nExtTime;
  }
  if (nHeaderSize >= 6)
    saved.m_nBodySize = ReadInt24(header + 3);
  if (nHeaderSize >= 7)
    saved.m_packetType = static_cast<uint8_t>(header[6]);
  if (nHeaderSize >= 11)
    saved.m_nInfoField2 = ReadInt32LE(header + 7);
  if (headerType == 0)
    saved.m_hasAbsTimestamp = true;
  else if (bNewMessage)
    saved.m_hasAbsTimestamp = false;  // a delta, also when repeated by type 3
  saved.m_headerType = headerType;
  saved.m_nChannel = nChannel;

  uint32_t nChunk = saved.m_nBodySize - saved.m_nBytesRead;
  if (nChunk > 0) {
    if (m_chunkSize < 1 && !CheckChunkSize(m_chunkSize, "ReadPacket"))
      return false;
    if (static_cast<uint32_t>(m_chunkSize) < nChunk)
      nChunk = static_cast<uint32_t>(m_chunkSize);
    if (!ReadChunkBody(saved, nChunk))
      return false;
  }

  packet = saved;
  packet.m_body = nullptr;
  packet.m_nBodyAlloc = 0;
  if (!saved.IsReady())
    return true;

  // Complete: the delta is applied once, with the last chunk; all timestamp
  // arithmetic wraps at 32 bits.
  uint32_t &nRunning = ChannelTimestamp(nChannel);
  uint32_t nTimeStamp = saved.m_hasAbsTimestamp ? saved.m_nInfoField1 : saved.m_nInfoField1 + nRunning;
  nRunning = nTimeStamp;
  packet.m_nTimeStamp = nTimeStamp;
  packet.m_body = saved.m_body;
  packet.m_nBodyAlloc = saved.m_nBodyAlloc;
  saved.m_body = nullptr;
  saved.m_nBodyAlloc = 0;
  saved.m_nBytesRead = 0;
  saved.m_hasAbsTimestamp = false;
  return true;
}

}  // namespace RTMP_LIB
