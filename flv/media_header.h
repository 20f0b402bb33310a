// What the first bytes of an audio or video message say about it: keyframe
// or not, codec configuration or not, in the classic FLV form or the Enhanced
// RTMP form (FourCC codecs, ModEx modifiers, multitrack). Bytes in, a small
// record out: no transport, no files.
#pragma once

#include <cstdint>
#include <vector>

namespace RTMP_LIB {

struct MediaHeader {
  bool bEnhanced = false;     // Enhanced form: video IsExHeader bit, audio SoundFormat 9
  bool bDamaged = false;      // shorter than its header announces; only bEnhanced is set besides
  bool bKeyframe = false;     // video keyframe (Enhanced: frame type 1 carrying coded frames)
  bool bCodecConfig = false;  // sequence start, multichannel configuration, classic AVC/HEVC/AAC sequence header
  bool bCodedFrames = false;  // carries frames: not a configuration, end, metadata or command
  bool bCommandFrame = false; // video info or command frame: no picture
  unsigned char nFrameType = 0;   // video: the 3- (Enhanced) or 4-bit (classic) frame type
  unsigned char nPacketType = 0;  // Enhanced: the packet type after ModEx and multitrack
  unsigned char nTrackMode = 0;   // Enhanced multitrack: 1 one track, 2 one codec, 3 many codecs; 0 none
  uint32_t nFourCc = 0;           // Enhanced: the (first track's) codec, big-endian
};

// The Enhanced packet types this classification acts on.
enum {
  MEDIA_VIDEO_SEQUENCE_START = 0,
  MEDIA_VIDEO_CODED_FRAMES = 1,
  MEDIA_VIDEO_SEQUENCE_END = 2,
  MEDIA_VIDEO_CODED_FRAMES_X = 3,
  MEDIA_VIDEO_METADATA = 4,
  MEDIA_VIDEO_MPEG2TS_SEQUENCE_START = 5,
  MEDIA_VIDEO_MULTITRACK = 6,
  MEDIA_AUDIO_SEQUENCE_START = 0,
  MEDIA_AUDIO_CODED_FRAMES = 1,
  MEDIA_AUDIO_MULTICHANNEL_CONFIG = 4,
  MEDIA_AUDIO_MULTITRACK = 5,
  MEDIA_PACKET_MODEX = 7
};

MediaHeader ClassifyVideo(const char *body, uint32_t len);
MediaHeader ClassifyAudio(const char *body, uint32_t len);
// By FLV tag / RTMP message type (8 audio, 9 video); other types give an empty record.
MediaHeader ClassifyMedia(unsigned char type, const char *body, uint32_t len);

// One track of an audio or video message: classic and single-track Enhanced
// messages hold track 0; an Enhanced multitrack message names its tracks.
struct MediaTrack {
  unsigned char nId = 0;
  uint32_t nFourCc = 0;  // Enhanced: the track's codec, big-endian; classic: 0
};

// The tracks of a message by FLV tag / RTMP message type; false (and none)
// for a damaged body or another type.
bool ListTracks(unsigned char type, const char *body, uint32_t len, std::vector<MediaTrack> &tracks);

// A tag a download can continue from: a video keyframe, or in a file without
// video an audio tag that carries frames (any classic one).
bool IsResumeFrame(unsigned char type, const char *body, uint32_t len, bool bAudioOnly);

}  // namespace RTMP_LIB
