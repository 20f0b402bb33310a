#include "download/config_fetch.h"

#include <algorithm>
#include <set>

#include "flv/flv.h"
#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

namespace {

// Configurations come in front of the first frames; a stream that does not
// bring them within this much brings none.
const uint32_t kMaxMessages = 200;
const size_t kMaxBytes = 8u << 20;
const int kMaxMilliseconds = 10000;
const long kTimeoutSeconds = 10;

class Collector
{
public:
  Collector(const std::vector<uint32_t> &wanted, std::vector<CodecConfig> &found)
      : m_missing(wanted.begin(), wanted.end()), m_found(found)
  {
  }
  // One audio or video message; false once the configurations are complete.
  bool Take(unsigned char type, const char *data, uint32_t len)
  {
    CodecConfig config;
    if (ReadCodecConfig(type, data, len, config)) {
      for (uint32_t nTrack : config.tracks)
        m_missing.erase(nTrack);
      m_found.push_back(std::move(config));
      return true;
    }
    // The configurations of a stream come together before its frames.
    return !m_missing.empty() || !ClassifyMedia(type, data, len).bCodedFrames;
  }
  // The inner tags of an aggregate message.
  bool TakeAggregate(const char *p, uint32_t n)
  {
    const uint32_t kOverhead = FLV_TAG_HEADER_SIZE + FLV_TAG_TRAILER_SIZE;
    for (uint32_t nPos = 0; n - nPos >= kOverhead && n - nPos - kOverhead >= FlvDataSize(p + nPos);) {
      const uint32_t s = FlvDataSize(p + nPos);
      const unsigned char type = static_cast<unsigned char>(p[nPos]);
      if ((type == FLV_TAG_AUDIO || type == FLV_TAG_VIDEO) && !Take(type, p + nPos + FLV_TAG_HEADER_SIZE, s))
        return false;
      nPos += kOverhead + s;
    }
    return true;
  }
  bool Complete() const { return m_missing.empty(); }

private:
  std::set<uint32_t> m_missing;
  std::vector<CodecConfig> &m_found;
};

}  // namespace

void FetchCodecConfigs(const Settings &s, const std::vector<uint32_t> &wanted, std::vector<CodecConfig> &found)
{
  // The second connection's own chatter (its metadata listing, its errors)
  // is not the run's: below --verbose it stays quiet. The caller tells the
  // user what came of it.
  const int nLevel = debuglevel;
  if (debuglevel < LOG_LEVEL_INFO)
    debuglevel = 0;
  CRTMP conn;
  conn.SetBufferMS(static_cast<int>(std::min<uint32_t>(s.nBufferTime, INT32_MAX)));
  const long nTimeout = std::min<long>(static_cast<long>(s.nTimeout), kTimeoutSeconds);
  const size_t nFirst = found.size();
  if (conn.Connect(s.protocol, s.host, static_cast<unsigned int>(s.port), s.playpath, s.tcUrl, s.swfUrl,
                   s.pageUrl, s.app, s.auth, s.flashVer, s.subscribePath, 0.0, 0.0, false, nTimeout)) {
    Collector collect(wanted, found);
    const int nStart = GetTime();
    size_t nBytes = 0;
    for (uint32_t nMessages = 0; nMessages < kMaxMessages && nBytes < kMaxBytes && !bCtrlC; nMessages++) {
      RTMPPacket packet;
      if (conn.GetNextMediaPacket(packet) != 1 || (packet.m_nBodySize > 0 && packet.m_body == nullptr))
        break;
      const unsigned char type = packet.m_packetType;
      nBytes += packet.m_nBodySize;
      bool bMore = true;
      if (type == FLV_TAG_AUDIO || type == FLV_TAG_VIDEO)
        bMore = collect.Take(type, packet.m_body, packet.m_nBodySize);
      else if (type == RTMP_PACKET_TYPE_FLASH_VIDEO)
        bMore = collect.TakeAggregate(packet.m_body, packet.m_nBodySize);
      if (!bMore || GetTime() - nStart > kMaxMilliseconds)
        break;
    }
    conn.Close();
  }
  debuglevel = nLevel;
  Log(LOG_LEVEL_DEBUG, "Second connection for codec configurations: %zu found", found.size() - nFirst);
}

}  // namespace RTMP_LIB
