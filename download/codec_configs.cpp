#include "download/codec_configs.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "flv/flv.h"
#include "foundation/bytes.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

const size_t kTagOverhead = FLV_TAG_HEADER_SIZE + FLV_TAG_TRAILER_SIZE;
// Second connections of one run: a stream that keeps showing new tracks
// without configurations must not hold the download for ever.
const uint32_t kMaxFetches = 4;

const unsigned char kCodecAvc = 7;
const unsigned char kCodecHevc = 12;
const unsigned char kSoundAac = 10;

constexpr uint32_t FourCc(const char (&s)[5])
{
  return static_cast<uint32_t>(static_cast<unsigned char>(s[0])) << 24 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[1])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(s[2])) << 8 | static_cast<unsigned char>(s[3]);
}

// Codecs whose frames a decoder cannot read without the configuration
// (parameter sets, av1C, vpcC, AudioSpecificConfig, OpusHead, STREAMINFO).
bool NeedsConfig(unsigned char type, const char *data, const MediaTrack &track)
{
  const unsigned char b0 = static_cast<unsigned char>(data[0]);
  if (type == FLV_TAG_VIDEO) {
    if ((b0 & 0x80) == 0)
      return (b0 & 0x0f) == kCodecAvc || (b0 & 0x0f) == kCodecHevc;
    return track.nFourCc == FourCc("avc1") || track.nFourCc == FourCc("hvc1") ||
           track.nFourCc == FourCc("av01") || track.nFourCc == FourCc("vp09");
  }
  if ((b0 >> 4) == kSoundAac)
    return true;
  return track.nFourCc == FourCc("mp4a") || track.nFourCc == FourCc("Opus") || track.nFourCc == FourCc("fLaC");
}

// "video (AVC)", "audio (Opus)", "video track 1 (vp09)": for the user's messages.
std::string TrackName(unsigned char type, const char *data, const MediaTrack &track, bool bMultitrack)
{
  std::string strName = type == FLV_TAG_VIDEO ? "video" : "audio";
  if (bMultitrack)
    strName += " track " + std::to_string(track.nId);
  std::string strCodec;
  if (track.nFourCc == 0) {
    const unsigned char b0 = static_cast<unsigned char>(data[0]);
    const unsigned char nCodec = type == FLV_TAG_AUDIO ? b0 >> 4 : b0 & 0x0f;
    strCodec = type == FLV_TAG_AUDIO ? (nCodec == kSoundAac ? "AAC" : "sound format " + std::to_string(nCodec))
               : nCodec == kCodecAvc  ? "AVC"
               : nCodec == kCodecHevc ? "HEVC"
                                      : "codec " + std::to_string(nCodec);
  } else {
    for (int nShift = 24; nShift >= 0; nShift -= 8) {
      const char c = static_cast<char>((track.nFourCc >> nShift) & 0xff);
      strCodec += c >= 0x20 && c < 0x7f ? c : '?';
    }
  }
  return strName + " (" + strCodec + ")";
}

// Warnings the user sees at the default level: the recording itself may not play.
void Warn(const char *format, ...)
{
  char szText[512];
  va_list args;
  va_start(args, format);
  vsnprintf(szText, sizeof(szText), format, args);
  va_end(args);
  LogPrintf("\rWARNING: %s\n", szText);
}

void AppendTag(std::vector<char> &out, unsigned char type, uint32_t nTime, const std::vector<char> &data)
{
  const size_t nAt = out.size();
  out.resize(nAt + kTagOverhead + data.size());
  char *tag = out.data() + nAt;
  tag[0] = static_cast<char>(type);
  EncodeInt24(tag + 1, static_cast<int>(data.size()));
  EncodeInt24(tag + 4, static_cast<int>(nTime & 0xffffff));
  tag[7] = static_cast<char>(nTime >> 24);
  tag[8] = tag[9] = tag[10] = 0;
  std::copy(data.begin(), data.end(), tag + FLV_TAG_HEADER_SIZE);
  EncodeInt32(tag + FLV_TAG_HEADER_SIZE + data.size(), static_cast<int>(FLV_TAG_HEADER_SIZE + data.size()));
}

}  // namespace

bool ReadCodecConfig(unsigned char type, const char *data, uint32_t len, CodecConfig &config)
{
  std::vector<MediaTrack> tracks;
  if (!ClassifyMedia(type, data, len).bCodecConfig || !ListTracks(type, data, len, tracks))
    return false;
  config.type = type;
  config.data.assign(data, data + len);
  config.tracks.clear();
  for (const MediaTrack &t : tracks)
    config.tracks.push_back(TrackKey(type, t.nId));
  return true;
}

void ConfigGuard::Pass(const char *&p, size_t &n)
{
  m_out.clear();
  size_t nCopied = 0;
  size_t nPos = 0;
  while (n - nPos >= kTagOverhead && n - nPos - kTagOverhead >= FlvDataSize(p + nPos)) {
    const char *tag = p + nPos;
    const uint32_t s = FlvDataSize(tag);
    const unsigned char type = static_cast<unsigned char>(tag[0]);
    const char *data = tag + FLV_TAG_HEADER_SIZE;
    const size_t nAt = nPos;
    nPos += kTagOverhead + s;
    if ((type != FLV_TAG_AUDIO && type != FLV_TAG_VIDEO) || !ListTracks(type, data, s, m_list))
      continue;
    const MediaHeader h = ClassifyMedia(type, data, s);
    if (h.bCodecConfig) {
      for (const MediaTrack &t : m_list)
        m_tracks[TrackKey(type, t.nId)].bConfigured = true;
      continue;
    }
    if (!h.bCodedFrames)
      continue;
    // Every audio frame can be decoded on its own; video from a keyframe on.
    const bool bKey = type == FLV_TAG_AUDIO || h.bKeyframe;
    const double dTime = FlvTagTime(tag) / 1000.0;
    for (const MediaTrack &t : m_list) {
      const uint32_t nKey = TrackKey(type, t.nId);
      Track &track = m_tracks[nKey];
      if (!track.bFramed) {
        track.bFramed = true;
        if (!bKey)
          Warn("The first frame of the %s track, at %.3f sec, is not a keyframe: the recording may not play "
               "until its first keyframe",
               TrackName(type, data, t, h.nTrackMode != 0).c_str(), dTime);
      }
      // A live stream may still bring its configurations before its first keyframe.
      if (track.bChecked || (!m_fetch && !bKey))
        continue;
      track.bChecked = true;
      if (track.bConfigured || !NeedsConfig(type, data, t))
        continue;
      const std::string strName = TrackName(type, data, t, h.nTrackMode != 0);
      if (m_fetch) {
        // The configurations go in front of this tag.
        m_out.insert(m_out.end(), p + nCopied, p + nAt);
        nCopied = nAt;
        // A fetch for another track may have brought this one's too.
        bool bWritten = InsertCached(nKey, FlvTagTime(tag));
        if (!bWritten && !track.bFetched && m_nFetches < kMaxFetches) {
          Log(LOG_LEVEL_INFO, "No codec configuration came before the first frame of the %s track: fetching it "
              "from the start of the stream", strName.c_str());
          track.bFetched = true;
          m_nFetches++;
          m_fetch(std::vector<uint32_t>{nKey}, m_cache);
          bWritten = InsertCached(nKey, FlvTagTime(tag));
        }
        if (bWritten) {
          Log(LOG_LEVEL_INFO, "Wrote the codec configuration of the %s track in front of its first frame at %.3f sec",
              strName.c_str(), dTime);
          continue;
        }
      }
      Warn("No codec configuration for the %s track before its first frame at %.3f sec: the recording may not "
           "play until a configuration arrives",
           strName.c_str(), dTime);
    }
  }
  if (m_out.empty())
    return;
  m_out.insert(m_out.end(), p + nCopied, p + n);
  p = m_out.data();
  n = m_out.size();
}

bool ConfigGuard::InsertCached(uint32_t nKey, uint32_t nTime)
{
  for (const CodecConfig &c : m_cache) {
    if (m_tracks[nKey].bConfigured)
      break;
    if (std::find(c.tracks.begin(), c.tracks.end(), nKey) == c.tracks.end())
      continue;
    AppendTag(m_out, c.type, nTime, c.data);
    for (uint32_t nTrack : c.tracks)
      m_tracks[nTrack].bConfigured = true;
  }
  return m_tracks[nKey].bConfigured;
}

}  // namespace RTMP_LIB
