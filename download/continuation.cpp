#include "download/continuation.h"

#include <cstring>

#include "flv/flv.h"
#include "flv/media_header.h"
#include "foundation/bytes.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

const size_t kTagOverhead = FLV_TAG_HEADER_SIZE + FLV_TAG_TRAILER_SIZE;
// A server that replays its cache to a newcomer sends the last group of
// pictures again, seconds below the last written time at most; a publisher
// that starts again starts its clock near 0 or, after a restart already
// shifted, far below the last written time.
const uint32_t kRestartGap = 5000;  // ms
const uint32_t kNearZero = 1000;    // ms

size_t FrameIndex(unsigned char type) { return type == FLV_TAG_VIDEO ? 1 : 0; }

// The onMetaData script body starts with the AMF0 string "onMetaData".
bool IsOnMetaData(const char *data, uint32_t s)
{
  static const char kName[] = "\x02\x00\x0aonMetaData";
  return s >= sizeof(kName) - 1 && memcmp(data, kName, sizeof(kName) - 1) == 0;
}

void SetTagTime(char *tag, uint32_t t)
{
  EncodeInt24(tag + 4, static_cast<int>(t & 0xffffff));
  tag[7] = static_cast<char>(t >> 24);
}

// Calls f(tag, data size, time) for every whole tag of a write; a tail that
// is not a whole tag is left to the caller.
template <typename F>
size_t ForEachTag(const char *p, size_t n, F f)
{
  size_t nPos = 0;
  while (n - nPos >= kTagOverhead) {
    const uint32_t s = FlvDataSize(p + nPos);
    if (n - nPos - kTagOverhead < s)
      break;
    f(p + nPos, s, FlvTagTime(p + nPos));
    nPos += kTagOverhead + s;
  }
  return nPos;
}

}  // namespace

void StreamContinuation::Record(const char *p, size_t n)
{
  ForEachTag(p, n, [this](const char *tag, uint32_t s, uint32_t t) { RecordTag(tag, s, t); });
}

void StreamContinuation::RecordTag(const char *tag, uint32_t s, uint32_t t)
{
  const unsigned char type = static_cast<unsigned char>(tag[0]);
  const char *data = tag + FLV_TAG_HEADER_SIZE;
  if (type == FLV_TAG_SCRIPT) {
    if (IsOnMetaData(data, s)) {
      if (m_firstMeta.empty())
        m_firstMeta.assign(data, data + s);
      m_lastMeta.assign(data, data + s);
    }
    return;
  }
  if (type != FLV_TAG_AUDIO && type != FLV_TAG_VIDEO)
    return;
  m_bMedia = true;
  if (t > m_nLastTime)
    m_nLastTime = t;
  const MediaHeader h = ClassifyMedia(type, data, s);
  if (!h.bCodecConfig)
    m_nLastFrame[FrameIndex(type)] = t;
  // The origin is the first frame that is not a codec configuration; once
  // it is set, every tag moves the position.
  if (!m_bLiveOriginSet && !h.bCodecConfig) {
    m_bLiveOriginSet = true;
    m_nLiveOrigin = t;
  }
  if (m_bLiveOriginSet)
    m_nLastMediaTime = t;
  const bool bVideo = type == FLV_TAG_VIDEO;
  m_bVideo = m_bVideo || bVideo;
  for (Point *pt : {&m_key, &m_audio}) {
    const bool bPoint = pt == &m_key ? bVideo && h.bKeyframe : IsResumeFrame(type, data, s, true);
    if (bPoint) {
      pt->bSet = true;
      pt->nTime = t;
      pt->frame.assign(data, data + s);
      pt->nAudioAfter = pt->nVideoAfter = 0;
    } else if (bVideo) {
      pt->nVideoAfter++;
    } else {
      pt->nAudioAfter++;
    }
  }
}

bool StreamContinuation::HasResumePoint() const { return Resume().bSet; }
uint32_t StreamContinuation::ResumeTime() const { return Resume().nTime; }
unsigned char StreamContinuation::ResumeType() const { return m_bVideo ? FLV_TAG_VIDEO : FLV_TAG_AUDIO; }
const std::vector<char> &StreamContinuation::ResumeFrame() const { return Resume().frame; }

void StreamContinuation::Adopt(uint32_t nLastTime, const std::vector<char> &meta)
{
  m_nLastTime = nLastTime;
  m_nLastFrame[0] = m_nLastFrame[1] = nLastTime;
  m_firstMeta = m_lastMeta = meta;
  m_bMedia = true;
}

void StreamContinuation::BeginPassOver()
{
  m_mode = MODE_PASS_OVER;
  m_nSkipAudio = Resume().nAudioAfter;
  m_nSkipVideo = Resume().nVideoAfter;
}

void StreamContinuation::BeginLiveJoin()
{
  m_mode = MODE_LIVE_JOIN;
  m_bJoining = true;
  m_bPassOver = true;
  m_nJoinFrame[0] = m_nLastFrame[0];
  m_nJoinFrame[1] = m_nLastFrame[1];
  m_held.clear();
}

bool StreamContinuation::KeepForPassOver(unsigned char type)
{
  uint64_t &nSkip = type == FLV_TAG_AUDIO ? m_nSkipAudio : m_nSkipVideo;
  if (nSkip == 0)
    return true;
  nSkip--;
  return false;
}

// A frame not above the last written time is either a replay of what the
// output holds (the server's cache, from the keyframe written last) or the
// start of a publisher's new clock.
bool StreamContinuation::IsClockRestart(unsigned char type, const char *data, uint32_t s, uint32_t t) const
{
  const bool bWrittenKeyframe = type == FLV_TAG_VIDEO && m_key.bSet && m_key.nTime == t && m_key.frame.size() == s &&
                                (s == 0 || memcmp(m_key.frame.data(), data, s) == 0);
  if (bWrittenKeyframe)
    return false;
  return static_cast<uint64_t>(t) + kRestartGap < m_nLastTime || t - m_nShift < kNearZero;
}

bool StreamContinuation::JoinLive(char *tag, uint32_t s, uint32_t &t, bool &bHold)
{
  const unsigned char type = static_cast<unsigned char>(tag[0]);
  const char *data = tag + FLV_TAG_HEADER_SIZE;
  bHold = false;
  if (type != FLV_TAG_AUDIO && type != FLV_TAG_VIDEO) {
    // A server sends a new viewer the metadata again, at time 0.
    if (m_bJoining && type == FLV_TAG_SCRIPT && IsOnMetaData(data, s) && m_lastMeta.size() == s &&
        memcmp(m_lastMeta.data(), data, s) == 0)
      return false;
    t = m_bJoining || t + m_nShift < m_nLastTime ? m_nLastTime : t + m_nShift;
    return true;
  }
  const bool bConfig = ClassifyMedia(type, data, s).bCodecConfig;
  // Cached codec configurations come at time 0 (or the publisher's time):
  // they take the time of the media written after them, and later ones wait
  // behind them so that the newest configuration goes out last.
  if ((m_bJoining || !m_held.empty()) && bConfig) {
    bHold = true;
    return true;
  }
  const uint64_t nShifted = static_cast<uint64_t>(t) + m_nShift;
  if (m_bJoining) {
    m_bJoining = false;
    if (nShifted <= m_nLastTime && IsClockRestart(type, data, s, static_cast<uint32_t>(nShifted))) {
      m_nShift = m_nLastTime - t;
      m_bPassOver = false;
      Log(LOG_LEVEL_WARNING, "Stream times restart at %u ms, below the %u ms written last: shifting them by %u ms",
          t, m_nLastTime, m_nShift);
    }
  }
  t += m_nShift;
  const int64_t nHeld = m_nJoinFrame[FrameIndex(type)];
  if (m_bPassOver && !bConfig && static_cast<int64_t>(t) <= nHeld) {
    Log(LOG_LEVEL_DEBUG, "Passing over the %s frame at %u ms: the output holds it already",
        type == FLV_TAG_VIDEO ? "video" : "audio", t);
    return false;
  }
  // Audio may run ahead of the video a server held back for a keyframe.
  if (t < m_nLastTime)
    t = m_nLastTime;
  return true;
}

void StreamContinuation::Rewrite(const char *&p, size_t &n)
{
  if (m_mode == MODE_NONE) {
    Record(p, n);
    return;
  }
  m_out.clear();
  size_t nWhole = ForEachTag(p, n, [this](const char *tag, uint32_t s, uint32_t t) {
    const unsigned char type = static_cast<unsigned char>(tag[0]);
    if (m_mode == MODE_PASS_OVER) {
      // The metadata of a stream played again from its start is in the output already.
      bool bRepeatedMeta = type == FLV_TAG_SCRIPT && IsOnMetaData(tag + FLV_TAG_HEADER_SIZE, s) &&
                           m_lastMeta.size() == s && memcmp(m_lastMeta.data(), tag + FLV_TAG_HEADER_SIZE, s) == 0;
      if (bRepeatedMeta || ((type == FLV_TAG_AUDIO || type == FLV_TAG_VIDEO) && !KeepForPassOver(type)))
        return;
      m_out.insert(m_out.end(), tag, tag + kTagOverhead + s);
      return;
    }
    const size_t nAt = m_out.size();
    m_out.insert(m_out.end(), tag, tag + kTagOverhead + s);
    char *pTag = m_out.data() + nAt;
    bool bHold = false;
    if (!JoinLive(pTag, s, t, bHold)) {
      m_out.resize(nAt);
      return;
    }
    if (bHold) {
      m_held.insert(m_held.end(), pTag, pTag + kTagOverhead + s);
      m_out.resize(nAt);
      return;
    }
    SetTagTime(pTag, t);
    if (!m_held.empty() && (type == FLV_TAG_AUDIO || type == FLV_TAG_VIDEO)) {
      ForEachTag(m_held.data(), m_held.size(),
                 [&](const char *held, uint32_t, uint32_t) { SetTagTime(const_cast<char *>(held), t); });
      m_out.insert(m_out.begin() + static_cast<std::ptrdiff_t>(nAt), m_held.begin(), m_held.end());
      m_held.clear();
    }
  });
  m_out.insert(m_out.end(), p + nWhole, p + n);
  Record(m_out.data(), m_out.size());
  if (m_mode == MODE_PASS_OVER && m_nSkipAudio == 0 && m_nSkipVideo == 0 && !m_out.empty())
    m_mode = MODE_NONE;
  p = m_out.data();
  n = m_out.size();
}

}  // namespace RTMP_LIB
