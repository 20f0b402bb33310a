// The codec configurations of a recorded stream, fetched on a second, short
// connection with the download's settings that plays the stream from its
// beginning: a server that seeks by a file's keyframe index starts at the
// keyframe and sends none of them.
#pragma once

#include <cstdint>
#include <vector>

#include "download/codec_configs.h"
#include "download/settings.h"

namespace RTMP_LIB {

// Plays until the configurations of the wanted tracks (TrackKey) have arrived
// and the frames begin, or a small limit of messages, bytes or time; appends
// every configuration met, in the order received, exactly as the server sent it.
void FetchCodecConfigs(const Settings &s, const std::vector<uint32_t> &wanted, std::vector<CodecConfig> &found);

}  // namespace RTMP_LIB
