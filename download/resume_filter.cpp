// The check that a resumed stream starts at the partial file's last keyframe,
// and the dropping of everything the file already holds.
//
// Two kinds of server: after play from S, some restart message times at 0 and
// send the keyframe first at time 0 (relative model); others keep the stream's
// own times and send it at time S, possibly after replaying the stream from
// its start (absolute model). Whichever way the keyframe arrives first decides
// the model for the rest of the download.
#include <cstring>

#include "amf/AMFObject.h"
#include "flv/flv.h"
#include "download/flv_writer.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

enum WalkResult {
  WALK_FOUND,      // the keyframe matched; body and len now start after it
  WALK_FAILED,     // keyframe at S differs, or is the truncated last tag
  WALK_PASSED,     // a tag of the keyframe's type after S: the keyframe is not here
  WALK_EXHAUSTED   // the body ended first
};

// Searches an aggregate for the stored keyframe at time S. nLastTime receives
// the time of the last inner tag walked (0 if none).
WalkResult WalkAggregate(const StreamParams &params, const char *&body, uint32_t &len, uint32_t &nLastTime)
{
  nLastTime = 0;
  uint64_t p = 0;
  while (p + FLV_TAG_HEADER_SIZE < len) {
    const char *tag = body + p;
    uint32_t s = FlvDataSize(tag);
    uint32_t t = FlvTagTime(tag);
    uint64_t nEnd = p + FLV_TAG_HEADER_SIZE + s;
    if (static_cast<unsigned char>(tag[0]) == params.storedKeyframeType) {
      // H.264 servers send the codec configuration again right before each
      // keyframe, with its time: a tag of another size at S is passed over,
      // as the same message would be outside an aggregate.
      if (t == params.nSeekTime && s == params.nStoredKeyframeSize) {
        Log(LOG_LEVEL_DEBUG, "Found keyframe with resume-keyframe timestamp!");
        if (nEnd > len || (s != 0 && memcmp(params.pStoredKeyframe, tag + FLV_TAG_HEADER_SIZE, s) != 0)) {
          Log(LOG_LEVEL_ERROR, "FLV Stream: Keyframe doesn't match!");
          return WALK_FAILED;
        }
        if (nEnd + FLV_TAG_TRAILER_SIZE > len) {
          Log(LOG_LEVEL_WARNING, "Non skipable packet since it doesn't end with chunk, stream corrupt!");
          return WALK_FAILED;
        }
        uint32_t nCut = static_cast<uint32_t>(nEnd + FLV_TAG_TRAILER_SIZE);
        body += nCut;
        len -= nCut;
        return WALK_FOUND;
      }
      if (t > params.nSeekTime)
        return WALK_PASSED;
    }
    nLastTime = t;
    p = nEnd + FLV_TAG_TRAILER_SIZE;
  }
  return WALK_EXHAUSTED;
}

bool IsStoredMetaDifferent(const StreamParams &params, const char *body, uint32_t len)
{
  AMFObject obj;
  if (obj.Decode(body, static_cast<int>(len), false) < 0)
    return false;
  if (obj.GetProperty(0).GetString() != "onMetaData")
    return false;
  return len != params.nStoredMetaSize || memcmp(body, params.pStoredMeta, len) != 0;
}

bool IsStoredKeyframe(const StreamParams &params, unsigned char type, const char *body, uint32_t len)
{
  return type == params.storedKeyframeType && len == params.nStoredKeyframeSize &&
         (len == 0 || memcmp(body, params.pStoredKeyframe, len) == 0);
}

int CountIgnored(uint32_t &nCounter, const char *message)
{
  Log(LOG_LEVEL_WARNING, "%s", message);
  nCounter++;
  return nCounter > RESUME_MAX_IGNORED ? -2 : 0;
}

// Checks made on messages at time 0: the metadata, and the keyframe in the
// relative model. Returns 1 to go on with the message.
int CheckAtTimeZero(const StreamParams &params, StreamState &state, unsigned char type, const char *&body,
                    uint32_t &len)
{
  ResumeFilterState &f = state.filter;
  if (params.nStoredMetaSize != 0 && type == RTMP_PACKET_TYPE_INFO && IsStoredMetaDifferent(params, body, len))
    return -2;
  if (params.nStoredKeyframeSize == 0)
    return 1;
  if (type != RTMP_PACKET_TYPE_FLASH_VIDEO) {
    if (!IsStoredKeyframe(params, type, body, len))
      return 1;
    Log(LOG_LEVEL_DEBUG, "Checked keyframe successfully!");
    f.bFoundKeyframe = true;
    if (state.timeModel == TIME_MODEL_UNKNOWN)
      state.timeModel = TIME_MODEL_RELATIVE;
    return 0;
  }
  uint32_t nLastTime = 0;
  WalkResult walk = WalkAggregate(params, body, len, nLastTime);
  if (walk == WALK_FAILED)
    return -2;
  if (walk == WALK_FOUND) {
    f.bFoundFlvKeyframe = true;
    if (state.timeModel == TIME_MODEL_UNKNOWN)
      state.timeModel = TIME_MODEL_RELATIVE;
  }
  if (walk == WALK_EXHAUSTED && nLastTime < params.nSeekTime)
    Log(LOG_LEVEL_ERROR, "First packet does not contain keyframe, all timestamps are smaller than the keyframe "
                         "timestamp, so probably the resume seek failed?");
  if (!f.bFoundFlvKeyframe) {
    Log(LOG_LEVEL_ERROR, "Couldn't find the seeked keyframe in this chunk!");
    return 0;
  }
  return 1;
}

// The stream is past S without the keyframe. A server that starts a play at
// the first keyframe after the time asked for is asked once more, for a time
// just before S; a second miss ends the resume.
int PastKeyframe(const StreamParams &params, StreamState &state, uint32_t ts)
{
  if (!state.filter.bReplayAsked && params.nSeekTime > 0) {
    Log(LOG_LEVEL_WARNING, "Stream started past the resume keyframe at %u ms (time %u ms), asking again",
        params.nSeekTime, ts);
    state.filter.bReplayAsked = true;
    state.bReseekWanted = true;
    return 0;
  }
  Log(LOG_LEVEL_ERROR, "Stream went past the resume keyframe at %u ms without it (time %u ms)", params.nSeekTime,
      ts);
  return -2;
}

// Before the keyframe, a media message with a time above 0 comes from a server
// that keeps absolute times. Up to S it is data the file already holds; past S
// without the keyframe the stream cannot continue the file.
int CheckAbsolute(const StreamParams &params, StreamState &state, unsigned char type, uint32_t ts,
                  const char *&body, uint32_t &len)
{
  ResumeFilterState &f = state.filter;
  if (ts > params.nSeekTime)
    return PastKeyframe(params, state, ts);
  if (type == RTMP_PACKET_TYPE_FLASH_VIDEO) {
    uint32_t nLastTime = 0;
    WalkResult walk = WalkAggregate(params, body, len, nLastTime);
    if (walk == WALK_FAILED)
      return -2;
    if (walk == WALK_PASSED)
      return PastKeyframe(params, state, ts);
    if (walk == WALK_EXHAUSTED)
      return 0;
    f.bFoundFlvKeyframe = true;
    state.timeModel = TIME_MODEL_ABSOLUTE;
    return 1;
  }
  if (ts == params.nSeekTime && params.nStoredKeyframeSize != 0 && IsStoredKeyframe(params, type, body, len)) {
    Log(LOG_LEVEL_DEBUG, "Checked keyframe successfully!");
    f.bFoundKeyframe = true;
    state.timeModel = TIME_MODEL_ABSOLUTE;
  }
  return 0;
}

}  // namespace

int FilterResumedMessage(const StreamParams &params, StreamState &state, unsigned char type, uint32_t ts,
                         const char *&body, uint32_t &len)
{
  ResumeFilterState &f = state.filter;
  bool bFound = f.bFoundKeyframe || f.bFoundFlvKeyframe;
  if (bFound && state.timeModel == TIME_MODEL_ABSOLUTE)
    return 1;
  // The rest of a start that is being replaced.
  if (state.bReseekWanted)
    return 0;

  if (ts == 0) {
    int nCheck = CheckAtTimeZero(params, state, type, body, len);
    if (nCheck <= 0)
      return nCheck;
  } else if (!bFound && type != RTMP_PACKET_TYPE_INFO) {
    int nCheck = CheckAbsolute(params, state, type, ts, body, len);
    if (nCheck <= 0)
      return nCheck;
  }

  if (ts != 0 && (f.bFoundKeyframe || f.bFoundFlvKeyframe))
    f.bFoundKeyframe = f.bFoundFlvKeyframe = true;
  if (!f.bFoundKeyframe && type != RTMP_PACKET_TYPE_FLASH_VIDEO)
    return CountIgnored(f.nIgnoredFrameCounter, "Stream does not start with requested frame, ignoring data... ");
  if (!f.bFoundFlvKeyframe && type == RTMP_PACKET_TYPE_FLASH_VIDEO)
    return CountIgnored(f.nIgnoredFlvFrameCounter,
                        "Stream does not start with requested FLV frame, ignoring data... ");
  // In the relative model, script data at time 0 after the keyframe is the
  // server's preroll, which the file already holds; the first message with a
  // later time starts the new data. Audio and video at time 0 that follow the
  // keyframe share its time but come after it in the stream, so the file does
  // not hold them yet: dropping them would lose data.
  if (!f.bStopIgnoring && type != RTMP_PACKET_TYPE_FLASH_VIDEO && state.timeModel != TIME_MODEL_ABSOLUTE) {
    if (ts != 0)
      f.bStopIgnoring = true;
    else if (type != RTMP_PACKET_TYPE_AUDIO && type != RTMP_PACKET_TYPE_VIDEO)
      return 0;
  }
  return 1;
}

}  // namespace RTMP_LIB
