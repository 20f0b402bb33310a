// The commands the client sends: connect, the stream commands and the answer
// to the server's bandwidth check. Every body is an AMF0 sequence sized from
// its content, so no option or play path can overrun it.
#include <cstring>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

namespace {

// A string field carries its length in 16 bits.
const size_t kMaxAmfString = 0xFFFF;

// Grows an AMF0 body one value at a time. A string too long for its length
// field marks the body as unusable instead of being truncated on the wire.
class CommandBody
{
public:
  void String(const std::string &strValue)
  {
    if (!Fits(strValue))
      return;
    Put(3 + strValue.size(), [&](char *p) { return CRTMP::EncodeString(p, strValue); });
  }
  void Number(double dValue)
  {
    Put(9, [&](char *p) { return CRTMP::EncodeNumber(p, dValue); });
  }
  void Boolean(bool bValue)
  {
    Put(2, [&](char *p) { return CRTMP::EncodeBoolean(p, bValue); });
  }
  void Null() { m_body.push_back(0x05); }
  void ObjectStart() { m_body.push_back(0x03); }
  // An empty property name followed by the object-end marker.
  void ObjectEnd()
  {
    m_body.push_back(0x00);
    m_body.push_back(0x00);
    m_body.push_back(0x09);
  }
  void NamedString(const std::string &strName, const std::string &strValue)
  {
    if (!Fits(strName) || !Fits(strValue))
      return;
    Put(2 + strName.size() + 3 + strValue.size(),
        [&](char *p) { return CRTMP::EncodeString(p, strName, strValue); });
  }
  void NamedNumber(const std::string &strName, double dValue)
  {
    Put(2 + strName.size() + 9, [&](char *p) { return CRTMP::EncodeNumber(p, strName, dValue); });
  }
  void NamedBoolean(const std::string &strName, bool bValue)
  {
    Put(2 + strName.size() + 2, [&](char *p) { return CRTMP::EncodeBoolean(p, strName, bValue); });
  }

  bool IsValid() const { return !m_bTooLong; }
  const std::vector<char> &Bytes() const { return m_body; }

private:
  bool Fits(const std::string &str)
  {
    if (str.size() > kMaxAmfString)
      m_bTooLong = true;
    return !m_bTooLong;
  }

  template <typename Encoder>
  void Put(size_t nSize, Encoder encode)
  {
    size_t nOld = m_body.size();
    m_body.resize(nOld + nSize);
    int nWritten = encode(m_body.data() + nOld);
    m_body.resize(nOld + static_cast<size_t>(nWritten));
  }

  std::vector<char> m_body;
  bool m_bTooLong = false;
};

// Optional parameters may be absent; they then count as empty.
const char *OrEmpty(const char *sz)
{
  return sz ? sz : "";
}

}  // namespace

// Builds the invoke packet around a finished body and hands it to the chunk writer.
static bool SendInvoke(CRTMP &rtmp, const char *szCommand, const CommandBody &body, int nChannel,
                       uint8_t headerType, uint32_t nTimestamp, int32_t nStreamId)
{
  if (!body.IsValid()) {
    Log(LOG_LEVEL_ERROR, "%s, a value of the %s command is longer than 65535 bytes, not sent",
        "SendInvoke", szCommand);
    return false;
  }
  const std::vector<char> &bytes = body.Bytes();
  RTMPPacket packet;
  packet.m_nChannel = nChannel;
  packet.m_headerType = headerType;
  packet.m_packetType = RTMP_PACKET_TYPE_INVOKE;
  packet.m_nInfoField1 = nTimestamp;
  packet.m_nInfoField2 = nStreamId;
  if (!packet.AllocPacket(static_cast<int>(bytes.size())))
    return false;
  memcpy(packet.m_body, bytes.data(), bytes.size());
  packet.m_nBodySize = static_cast<uint32_t>(bytes.size());
  return rtmp.SendRTMP(packet);
}

bool CRTMP::SendConnectPacket()
{
  CommandBody body;
  body.String("connect");
  body.Number(1.0);
  body.ObjectStart();
  if (m_strApp)
    body.NamedString("app", m_strApp);
  if (m_strFlashVer)
    body.NamedString("flashVer", m_strFlashVer);
  if (m_strSwfUrl)
    body.NamedString("swfUrl", m_strSwfUrl);
  if (m_strTcUrl)
    body.NamedString("tcUrl", m_strTcUrl);
  body.NamedBoolean("fpad", false);
  body.NamedNumber("capabilities", 15.0);
  body.NamedNumber("audioCodecs", 3191.0);
  body.NamedNumber("videoCodecs", 252.0);
  body.NamedNumber("videoFunction", 1.0);
  if (m_strPageUrl)
    body.NamedString("pageUrl", m_strPageUrl);
  body.ObjectEnd();
  // The authentication string is an argument after the command object, not a property.
  if (m_strAuth) {
    body.Boolean(true);
    body.String(m_strAuth);
  }
  return SendInvoke(*this, "connect", body, 3, RTMP_PACKET_SIZE_LARGE, 0, 0);
}

bool CRTMP::Connect()
{
  if (!SendConnectPacket()) {
    Log(LOG_LEVEL_ERROR, "%s, failed to send connect RTMP packet", "Connect");
    return false;
  }
  return true;
}

bool CRTMP::SendCreateStream(double dStreamId)
{
  CommandBody body;
  body.String("createStream");
  body.Number(dStreamId);
  body.Null();
  return SendInvoke(*this, "createStream", body, 3, RTMP_PACKET_SIZE_MEDIUM, 0, 0);
}

bool CRTMP::SendFCSubscribe(const char *subscribepath)
{
  Log(LOG_LEVEL_DEBUG, "FCSubscribe: %s", OrEmpty(subscribepath));
  CommandBody body;
  body.String("FCSubscribe");
  body.Number(0.0);
  body.Null();
  body.String(OrEmpty(subscribepath));
  return SendInvoke(*this, "FCSubscribe", body, 3, RTMP_PACKET_SIZE_MEDIUM, 0, 0);
}

bool CRTMP::SendPlay()
{
  Log(LOG_LEVEL_DEBUG, "%s, sending play: %s", "SendPlay", OrEmpty(m_strPlaypath));
  CommandBody body;
  body.String("play");
  body.Number(0.0);
  body.Null();
  body.String(OrEmpty(m_strPlaypath));
  // A live stream starts at the live point (-1000) whatever the seek time.
  if (m_bLiveStream)
    body.Number(-1000.0);
  else if (m_dSeekTime > 0.0)
    body.Number(m_dSeekTime);
  else
    body.Number(0.0);
  if (m_dLength != 0.0)
    body.Number(m_dLength);
  return SendInvoke(*this, "play", body, 8, RTMP_PACKET_SIZE_LARGE, 0, m_stream_id);
}

bool CRTMP::SendCheckBWResult()
{
  // The header timestamp is taken before the counter moves on; the server's
  // transaction id is not echoed, the current time stands in its place.
  uint32_t nTimestamp = 22u * static_cast<uint32_t>(m_nBWCheckCounter);
  CommandBody body;
  body.String("_result");
  body.Number(static_cast<double>(GetTime()));
  body.Null();
  body.Number(static_cast<double>(m_nBWCheckCounter));
  m_nBWCheckCounter++;
  return SendInvoke(*this, "_result", body, 3, RTMP_PACKET_SIZE_MEDIUM, nTimestamp, 0);
}

bool CRTMP::SendSeek(double dTime)
{
  CommandBody body;
  body.String("seek");
  body.Number(0.0);
  body.Null();
  body.Number(dTime);
  return SendInvoke(*this, "seek", body, 8, RTMP_PACKET_SIZE_MEDIUM, 0, 0);
}

bool CRTMP::SendPause(bool DoPause, double dTime)
{
  CommandBody body;
  body.String("pause");
  body.Number(0.0);
  body.Null();
  body.Boolean(DoPause);
  body.Number(dTime / 1000.0);
  return SendInvoke(*this, "pause", body, 8, RTMP_PACKET_SIZE_MEDIUM, 0, 0);
}

bool CRTMP::SendDeleteStream(double dStreamId)
{
  CommandBody body;
  body.String("deleteStream");
  body.Number(0.0);
  body.Null();
  body.Number(dStreamId);
  return SendInvoke(*this, "deleteStream", body, 3, RTMP_PACKET_SIZE_MEDIUM, 0, 0);
}

bool CRTMP::SendBGHasStream(double dId, const char *playpath)
{
  CommandBody body;
  body.String("bgHasStream");
  body.Number(dId);
  body.Null();
  body.String(OrEmpty(playpath));
  return SendInvoke(*this, "bgHasStream", body, 3, RTMP_PACKET_SIZE_MEDIUM, 0, 0);
}

bool CRTMP::SendCheckBW()
{
  CommandBody body;
  body.String("_checkbw");
  body.Number(0.0);
  body.Null();
  return SendInvoke(*this, "_checkbw", body, 3, RTMP_PACKET_SIZE_LARGE,
                    static_cast<uint32_t>(GetTime()), 0);
}

}  // namespace RTMP_LIB
