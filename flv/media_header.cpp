#include "flv/media_header.h"

#include "flv/flv.h"

namespace RTMP_LIB {

namespace {

// Modifier blocks before the packet type: more than this many is damage, not
// a stream (each block would also need its own bytes).
const int kMaxModifiers = 8;

const unsigned char kVideoFrameKey = 1;
const unsigned char kVideoFrameCommand = 5;
const unsigned char kCodecAvc = 7;
const unsigned char kCodecHevc = 12;
const unsigned char kSoundAac = 10;
const unsigned char kSoundEx = 9;

// A bounded cursor over the body: every read checks what is left.
class Cursor
{
public:
  Cursor(const char *p, uint32_t n) : m_p(reinterpret_cast<const unsigned char *>(p)), m_nLen(n) {}
  bool Has(uint32_t n) const { return n <= m_nLen - m_nPos; }
  bool Skip(uint32_t n)
  {
    if (!Has(n))
      return false;
    m_nPos += n;
    return true;
  }
  bool Byte(unsigned char &b)
  {
    if (!Has(1))
      return false;
    b = m_p[m_nPos++];
    return true;
  }
  bool Uint(uint32_t nBytes, uint32_t &v)
  {
    if (!Has(nBytes))
      return false;
    v = 0;
    for (uint32_t i = 0; i < nBytes; i++)
      v = (v << 8) | m_p[m_nPos++];
    return true;
  }
  uint32_t Left() const { return m_nLen - m_nPos; }

private:
  const unsigned char *m_p;
  uint32_t m_nLen;
  uint32_t m_nPos = 0;
};

// Follows ModEx blocks from packet type pt to the type they end in. Each
// block: a size (UI8 + 1; a byte of 255 means UI16 + 1 follows), that many
// bytes, then modifier type (high 4 bits) and the next packet type.
bool SkipModifiers(Cursor &c, unsigned char &pt)
{
  for (int i = 0; pt == MEDIA_PACKET_MODEX; i++) {
    uint32_t nSize = 0;
    unsigned char b = 0;
    if (i == kMaxModifiers || !c.Uint(1, nSize))
      return false;
    if (nSize == 255 && !c.Uint(2, nSize))
      return false;
    if (!c.Skip(nSize + 1) || !c.Byte(b))
      return false;
    pt = b & 0x0f;
  }
  return true;
}

// The FourCC and track layout after the (resolved) packet type; nMultitrack
// is the packet type that announces multitrack. On return nFirstTrack holds
// the bytes of the first track's data (the rest of the body for one track).
// pTracks, when given, receives every track's id and codec.
bool ReadTracks(Cursor &c, unsigned char nMultitrack, MediaHeader &h, uint32_t &nFirstTrack,
                std::vector<MediaTrack> *pTracks)
{
  if (h.nPacketType != nMultitrack) {
    if (!c.Uint(4, h.nFourCc))
      return false;
    nFirstTrack = c.Left();
    if (pTracks != nullptr)
      pTracks->push_back(MediaTrack{0, h.nFourCc});
    return true;
  }
  unsigned char b = 0;
  if (!c.Byte(b))
    return false;
  const unsigned char nMode = b >> 4;
  h.nPacketType = b & 0x0f;
  if (nMode > 2 || h.nPacketType == nMultitrack || h.nPacketType == MEDIA_PACKET_MODEX)
    return false;
  h.nTrackMode = static_cast<unsigned char>(nMode + 1);
  // One FourCC for all tracks (modes 0, 1), or one before each track (2).
  if (nMode != 2 && !c.Uint(4, h.nFourCc))
    return false;
  for (bool bFirst = true; bFirst || c.Left() > 0; bFirst = false) {
    uint32_t nFourCc = 0;
    uint32_t nSize = 0;
    if (nMode == 2 && !c.Uint(4, nFourCc))
      return false;
    if (bFirst && nMode == 2)
      h.nFourCc = nFourCc;
    unsigned char nId = 0;
    if (!c.Byte(nId))
      return false;
    if (pTracks != nullptr)
      pTracks->push_back(MediaTrack{nId, nMode == 2 ? nFourCc : h.nFourCc});
    if (nMode == 0) {
      nFirstTrack = c.Left();
      return true;
    }
    if (!c.Uint(3, nSize) || !c.Skip(nSize))
      return false;
    if (bFirst)
      nFirstTrack = nSize;
  }
  return true;
}

MediaHeader Damaged(bool bEnhanced)
{
  MediaHeader h;
  h.bDamaged = true;
  h.bEnhanced = bEnhanced;
  return h;
}

// The Enhanced header of a body that is not empty, up to the first track's
// data: packet type (after any modifiers), FourCC and track layout.
bool ReadEnhancedHeader(const char *body, uint32_t len, unsigned char nMultitrack, MediaHeader &h,
                        uint32_t &nFirstTrack, std::vector<MediaTrack> *pTracks = nullptr)
{
  h.bEnhanced = true;
  Cursor c(body, len);
  unsigned char b0 = 0;
  c.Byte(b0);
  h.nPacketType = b0 & 0x0f;
  return SkipModifiers(c, h.nPacketType) && ReadTracks(c, nMultitrack, h, nFirstTrack, pTracks);
}

MediaHeader ClassifyEnhancedVideo(const char *body, uint32_t len)
{
  MediaHeader h;
  uint32_t nFirstTrack = 0;
  if (!ReadEnhancedHeader(body, len, MEDIA_VIDEO_MULTITRACK, h, nFirstTrack))
    return Damaged(true);
  h.nFrameType = (static_cast<unsigned char>(body[0]) >> 4) & 0x07;
  // Coded frames start with a 24-bit composition time.
  if (h.nPacketType == MEDIA_VIDEO_CODED_FRAMES && nFirstTrack < 3)
    return Damaged(true);
  const bool bFrames = h.nPacketType == MEDIA_VIDEO_CODED_FRAMES || h.nPacketType == MEDIA_VIDEO_CODED_FRAMES_X;
  h.bCommandFrame = h.nFrameType == kVideoFrameCommand;
  h.bCodecConfig = !h.bCommandFrame && (h.nPacketType == MEDIA_VIDEO_SEQUENCE_START ||
                                        h.nPacketType == MEDIA_VIDEO_MPEG2TS_SEQUENCE_START);
  h.bCodedFrames = bFrames && !h.bCommandFrame;
  h.bKeyframe = h.bCodedFrames && h.nFrameType == kVideoFrameKey;
  return h;
}

MediaHeader ClassifyEnhancedAudio(const char *body, uint32_t len)
{
  MediaHeader h;
  uint32_t nFirstTrack = 0;
  if (!ReadEnhancedHeader(body, len, MEDIA_AUDIO_MULTITRACK, h, nFirstTrack))
    return Damaged(true);
  h.bCodecConfig =
      h.nPacketType == MEDIA_AUDIO_SEQUENCE_START || h.nPacketType == MEDIA_AUDIO_MULTICHANNEL_CONFIG;
  h.bCodedFrames = h.nPacketType == MEDIA_AUDIO_CODED_FRAMES;
  return h;
}

}  // namespace

MediaHeader ClassifyVideo(const char *body, uint32_t len)
{
  if (body == nullptr || len == 0)
    return Damaged(false);
  const unsigned char b0 = static_cast<unsigned char>(body[0]);
  if (b0 & 0x80)
    return ClassifyEnhancedVideo(body, len);
  MediaHeader h;
  h.nFrameType = b0 >> 4;
  const unsigned char nCodec = b0 & 0x0f;
  h.bKeyframe = h.nFrameType == kVideoFrameKey;
  h.bCommandFrame = h.nFrameType == kVideoFrameCommand;
  h.bCodecConfig = (nCodec == kCodecAvc || nCodec == kCodecHevc) && len >= 2 && body[1] == 0;
  h.bCodedFrames = !h.bCodecConfig && !h.bCommandFrame;
  return h;
}

MediaHeader ClassifyAudio(const char *body, uint32_t len)
{
  if (body == nullptr || len == 0)
    return Damaged(false);
  const unsigned char nFormat = static_cast<unsigned char>(body[0]) >> 4;
  if (nFormat == kSoundEx)
    return ClassifyEnhancedAudio(body, len);
  MediaHeader h;
  h.bCodecConfig = nFormat == kSoundAac && len >= 2 && body[1] == 0;
  h.bCodedFrames = !h.bCodecConfig;
  return h;
}

MediaHeader ClassifyMedia(unsigned char type, const char *body, uint32_t len)
{
  if (type == FLV_TAG_VIDEO)
    return ClassifyVideo(body, len);
  if (type == FLV_TAG_AUDIO)
    return ClassifyAudio(body, len);
  return MediaHeader();
}

bool IsResumeFrame(unsigned char type, const char *body, uint32_t len, bool bAudioOnly)
{
  if (bAudioOnly) {
    if (type != FLV_TAG_AUDIO)
      return false;
    // Every classic audio tag, as always; an Enhanced one only with frames.
    MediaHeader h = ClassifyAudio(body, len);
    return !h.bEnhanced || h.bCodedFrames;
  }
  return type == FLV_TAG_VIDEO && ClassifyVideo(body, len).bKeyframe;
}

bool ListTracks(unsigned char type, const char *body, uint32_t len, std::vector<MediaTrack> &tracks)
{
  tracks.clear();
  if ((type != FLV_TAG_VIDEO && type != FLV_TAG_AUDIO) || body == nullptr || len == 0)
    return false;
  const unsigned char b0 = static_cast<unsigned char>(body[0]);
  const bool bVideo = type == FLV_TAG_VIDEO;
  if (bVideo ? (b0 & 0x80) == 0 : (b0 >> 4) != kSoundEx) {
    tracks.push_back(MediaTrack{0, 0});
    return true;
  }
  MediaHeader h;
  uint32_t nFirstTrack = 0;
  if (ReadEnhancedHeader(body, len, bVideo ? MEDIA_VIDEO_MULTITRACK : MEDIA_AUDIO_MULTITRACK, h, nFirstTrack,
                         &tracks))
    return true;
  tracks.clear();
  return false;
}

}  // namespace RTMP_LIB
