// Codec configurations in front of the first frames of their tracks. A
// download that starts at a keyframe inside the stream (a server that seeks
// by a file's keyframe index, a live join) may receive no decoder
// configuration at all: where the stream can be played from its beginning
// they are fetched from there; otherwise the user is told that the recording
// may not play. Tags in, tags out: no transport, no files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "flv/media_header.h"

namespace RTMP_LIB {

// A track of the stream: FLV tag type (8, 9) in bits 8 to 15, track id below.
inline uint32_t TrackKey(unsigned char type, unsigned char nId) { return static_cast<uint32_t>(type) << 8 | nId; }

// A configuration message as the server sent it, and the tracks it configures.
struct CodecConfig {
  unsigned char type = 0;
  std::vector<char> data;
  std::vector<uint32_t> tracks;
};

// Plays the stream from its beginning until the configurations of the wanted
// tracks have arrived (or a limit); appends every configuration it met, in
// the order received.
using ConfigFetcher = std::function<void(const std::vector<uint32_t> &wanted, std::vector<CodecConfig> &found)>;

// The tracks of a configuration message; false when it is none.
bool ReadCodecConfig(unsigned char type, const char *data, uint32_t len, CodecConfig &config);

class ConfigGuard
{
public:
  // A stream that can be played from its beginning has a fetcher; a live
  // one has none and only waits for its configurations up to its first
  // keyframe.
  void Begin(ConfigFetcher fetch) { m_fetch = std::move(fetch); }
  // The output is written anew: nothing of it is configured yet.
  void Reset() { m_tracks.clear(); }
  // Applies to the whole tags of one write; p and n may then describe a block
  // of the guard's own with configurations in front of a first frame.
  void Pass(const char *&p, size_t &n);

private:
  struct Track {
    bool bConfigured = false;  // a configuration of the track went out
    bool bFramed = false;      // its first frame went out
    bool bChecked = false;     // its configuration was looked for
    bool bFetched = false;     // the stream's beginning was asked for it
  };

  // Writes the fetched configuration of the track at nTime into m_out;
  // false when none is known.
  bool InsertCached(uint32_t nKey, uint32_t nTime);

  ConfigFetcher m_fetch;
  std::map<uint32_t, Track> m_tracks;
  std::vector<CodecConfig> m_cache;  // configurations fetched, in the order received
  uint32_t m_nFetches = 0;
  std::vector<MediaTrack> m_list;
  std::vector<char> m_out;
};

}  // namespace RTMP_LIB
