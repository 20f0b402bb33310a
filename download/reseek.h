// Playing a resumed stream again, on a new connection, from just before the
// partial file's keyframe.
#pragma once

#include "download/flv_writer.h"

namespace RTMP_LIB {

// Some servers start a play at the first keyframe after the time asked for,
// so after play from S the stored keyframe at S never comes; asked for S - 1
// they start at S. The connection is made anew with the settings it was made
// with: whatever the rejected start still had in flight dies with the old
// one. Returns 0 when the new connection stands, -1 when it failed.
int ReplayBeforeKeyframe(CRTMP &conn, const StreamParams &params, StreamState &state);

}  // namespace RTMP_LIB
