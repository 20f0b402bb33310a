// What the output holds so far, and how a stream played again on a new
// connection joins it when the output cannot be cut back and analysed like a
// partial file: standard output, a pipe, or a live recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace RTMP_LIB {

class StreamContinuation
{
public:
  // Notes the whole tags of one write (header bytes excluded).
  void Record(const char *p, size_t n);

  // A recorded stream played again from ResumeTime(): the tags after that
  // point that went out already are passed over, audio and video counted
  // separately, and the stream goes on with the first tag not yet written.
  void BeginPassOver();
  // A live stream joined again: metadata equal to the last written is not
  // repeated, codec configurations wait for the media that follows and take
  // its time, frames a server replays from its cache (times not above the
  // last written of their kind) are passed over, and only times that restart
  // far below the last written one, or near 0, are shifted to follow it.
  // Times never go back.
  void BeginLiveJoin();
  // Applies the current continuation to the tags of one write; p and n may
  // then describe a block of the continuation's own.
  void Rewrite(const char *&p, size_t &n);

  // The point a recorded stream continues from: the last video keyframe, or
  // in a stream without video the last audio frame; none before the first.
  bool HasResumePoint() const;
  uint32_t ResumeTime() const;
  unsigned char ResumeType() const;
  const std::vector<char> &ResumeFrame() const;
  // The first onMetaData written (what a resumed stream is checked against)
  // and the last one (what a live stream joined again must differ from).
  const std::vector<char> &FirstMeta() const { return m_firstMeta; }
  bool HasMedia() const { return m_bMedia; }
  bool HasVideo() const { return m_bVideo; }
  // The latest media time written, and of a live stream the time since its
  // first frame that is not a codec configuration.
  uint32_t LastTime() const { return m_nLastTime; }
  uint32_t LivePosition() const { return m_nLastMediaTime > m_nLiveOrigin ? m_nLastMediaTime - m_nLiveOrigin : 0; }
  // Continues a live recording of a file: its last time and metadata.
  void Adopt(uint32_t nLastTime, const std::vector<char> &meta);

private:
  struct Point {
    bool bSet = false;
    uint32_t nTime = 0;
    std::vector<char> frame;
    uint64_t nAudioAfter = 0;  // tags written after the point
    uint64_t nVideoAfter = 0;
  };
  enum Mode { MODE_NONE, MODE_PASS_OVER, MODE_LIVE_JOIN };

  void RecordTag(const char *tag, uint32_t s, uint32_t t);
  bool KeepForPassOver(unsigned char type);
  // Live join: false when the tag is dropped; the time may be changed.
  bool JoinLive(char *tag, uint32_t s, uint32_t &t, bool &bHold);
  bool IsClockRestart(unsigned char type, const char *data, uint32_t s, uint32_t t) const;
  const Point &Resume() const { return m_bVideo ? m_key : m_audio; }

  Point m_key;    // last video keyframe
  Point m_audio;  // last audio frame
  std::vector<char> m_firstMeta;
  std::vector<char> m_lastMeta;
  bool m_bMedia = false;
  bool m_bVideo = false;
  uint32_t m_nLastTime = 0;
  uint32_t m_nLastMediaTime = 0;
  int64_t m_nLastFrame[2] = {-1, -1};  // the last written frame's time: audio, video; -1 none
  bool m_bLiveOriginSet = false;
  uint32_t m_nLiveOrigin = 0;

  Mode m_mode = MODE_NONE;
  uint64_t m_nSkipAudio = 0;
  uint64_t m_nSkipVideo = 0;
  bool m_bJoining = false;
  bool m_bPassOver = false;            // frames up to m_nJoinFrame[] are held already
  int64_t m_nJoinFrame[2] = {-1, -1};  // m_nLastFrame when the join began
  uint32_t m_nShift = 0;
  std::vector<char> m_held;  // codec configurations waiting for media
  std::vector<char> m_out;   // a rewritten write
};

}  // namespace RTMP_LIB
