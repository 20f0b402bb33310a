// Rendering of the connection's media messages as FLV header and tag bytes.
#pragma once

#include <cstdint>

#include "rtmp/rtmp.h"

namespace RTMP_LIB {

// How the server times its messages after play with a start time S > 0.
enum TimeModel {
  TIME_MODEL_UNKNOWN = 0,
  TIME_MODEL_RELATIVE,  // times restart at 0: tag time = S + message time
  TIME_MODEL_ABSOLUTE   // the stream's own times: tag time = message time
};

// The fixed inputs of WriteStream for one download.
struct StreamParams {
  bool bResumeMode = false;
  bool bLiveStream = false;
  uint32_t nSeekTime = 0;  // ms; in resume mode the stored keyframe's time
  const char *pStoredMeta = nullptr;
  uint32_t nStoredMetaSize = 0;
  const char *pStoredKeyframe = nullptr;
  unsigned char storedKeyframeType = 0;
  uint32_t nStoredKeyframeSize = 0;
};

// The resume filter's progress through the start of a resumed stream.
struct ResumeFilterState {
  bool bFoundKeyframe = false;     // met as a plain audio or video message
  bool bFoundFlvKeyframe = false;  // met inside an aggregate
  bool bStopIgnoring = false;      // a message with a non-zero time has passed since
  uint32_t nIgnoredFrameCounter = 0;
  uint32_t nIgnoredFlvFrameCounter = 0;
  bool bReplayAsked = false;       // the one play from just before the keyframe was asked for
};

// What WriteStream carries from one call to the next during one download.
struct StreamState {
  TimeModel timeModel = TIME_MODEL_UNKNOWN;
  bool bLiveOriginSet = false;
  uint32_t nLiveOrigin = 0;  // time of a live stream's first media message that is not a codec configuration
  bool bEndOfPlay = false;   // the server reported the end of the stream
  // A resumed stream went past the keyframe with its own times: play again
  // from just before it (ReplayBeforeKeyframe) and check it anew.
  bool bReseekWanted = false;
  ResumeFilterState filter;
};

// Whole tags dropped while a resumed stream is searched for its keyframe
// before the attempt is given up.
#define RESUME_MAX_IGNORED 50

// The resume filter, applied to every message of a resumed download before it
// is rendered. Returns 1 to let it through (body and len may then describe the
// rest of an aggregate after the keyframe), 0 to drop it, -2 when the stream
// cannot continue the file. May set state.bReseekWanted (the message is then
// dropped).
int FilterResumedMessage(const StreamParams &params, StreamState &state, unsigned char type, uint32_t ts,
                         const char *&body, uint32_t &len);

}  // namespace RTMP_LIB

// Writes the 13 bytes that open an FLV file; returns 13, or -1 when a buffer
// too small cannot be grown.
int WriteHeader(char **ppBuffer, unsigned int nBufferSize);

// Fetches the next media message and renders it as FLV bytes at the start of
// the buffer, which it grows when the message does not fit. Returns the byte
// count, 0 for nothing to write, -1 when no message came (or no memory), -2
// when the stream cannot be continued.
int WriteStream(RTMP_LIB::CRTMP *conn, char **ppBuffer, unsigned int nBufferSize, uint32_t *pnPosition,
                const RTMP_LIB::StreamParams &params, RTMP_LIB::StreamState &state, unsigned char *pDataTypes);
