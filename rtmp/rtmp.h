// The connection to one RTMP server: socket, receive buffer, per-chunk-stream
// state, the commands the client sends and the handling of what the server sends.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "amf/AMFObject.h"
#include "foundation/bytes.h"
#include "rtmp/rtmppacket.h"
#include "rtmp/sockets.h"

// Milliseconds from an arbitrary fixed origin, monotonic, wrapping at 32 bits.
int GetTime();

namespace RTMP_LIB {

class CTlsSession;

#define RTMP_DEFAULT_CHUNKSIZE 128
// Each recv asks for this much: fewer system calls per byte than 16 KiB, and
// still small beside the 1 MiB work buffer.
#define RTMP_BUFFER_CACHE_SIZE 65536
// A bytes-read report goes out once more than this many bytes arrived since the last.
#define RTMP_BYTES_REPORT_INTERVAL 614400
#define RTMP_CHANNELS_PER_PAGE 256

class CRTMP
{
public:
  CRTMP();
  virtual ~CRTMP();
  CRTMP(const CRTMP &) = delete;
  CRTMP &operator=(const CRTMP &) = delete;

  // Connection set-up and socket I/O (connection.cpp, socket_io.cpp, handshake.cpp).
  bool Connect(int protocol, const char *hostname, unsigned int port, const char *playpath,
               const char *tcUrl, const char *swfUrl, const char *pageUrl, const char *app,
               const char *auth, const char *flashVer, const char *subscribepath,
               double dTime, double dLength, bool bLiveStream, long int timeout);
  bool IsConnected() const { return m_socket != -1; }
  double GetDuration() const { return m_fDuration; }
  void SetBufferMS(int size) { m_nBufferMS = size; }
  void Close();

  // The server refused the stream: a failure status, an _error answering
  // connect, createStream or play, a close request before any media, or a
  // createStream result without a usable stream id.
  bool IsRefused() const { return m_bRefused; }

  // The server asked the client to connect again (onStatus
  // NetConnection.Connect.ReconnectRequest) and the connection was closed: an
  // orderly end, not a refusal. The URL is the tcUrl it named, empty when none.
  bool IsReconnectRequested() const { return m_bReconnectRequested; }
  const std::string &GetReconnectUrl() const { return m_strReconnectUrl; }
  // Why the socket went away under the client, for the application's
  // messages; null while connected or after the client's own close.
  const char *GetBreakReason() const { return m_strBreakReason.empty() ? nullptr : m_strBreakReason.c_str(); }
  // Keeps the first reason given since the connection was made: the rest
  // follow from it.
  void SetBreakReason(const std::string &strReason)
  {
    if (m_strBreakReason.empty())
      m_strBreakReason = strReason;
  }

  // Test and fuzzing seam: take an already connected descriptor (no handshake).
  void AttachSocket(int fd);

  int ReadN(char *buffer, int n);
  bool WriteN(const char *buffer, int n);

  // Called before every receive from the socket, once all bytes received so
  // far are consumed: the application passes on what it holds before the
  // client may wait for the server. nullptr: nothing is called.
  void SetBeforeReceive(void (*pfn)(void *), void *pContext)
  {
    m_pfnBeforeReceive = pfn;
    m_pBeforeReceiveContext = pContext;
  }

  // Chunk stream reader and writer (chunk_reader.cpp, chunk_writer.cpp).
  bool ReadPacket(RTMPPacket &packet);
  bool SendRTMP(RTMPPacket &packet);

  // Commands (commands.cpp).
  bool Connect();
  bool SendConnectPacket();
  bool SendCreateStream(double dStreamId);
  bool SendFCSubscribe(const char *subscribepath);
  bool SendPlay();
  bool SendCheckBWResult();
  bool SendSeek(double dTime);
  bool SendPause(bool DoPause, double dTime);
  bool SendDeleteStream(double dStreamId);
  bool SendBGHasStream(double dId, const char *playpath);
  bool SendCheckBW();

  // Protocol control messages (control.cpp).
  bool SendPing(short nType, unsigned int nObject, unsigned int nTime = 0);
  void HandlePing(const RTMPPacket &packet);
  // True when the message is a stream EOF that ends a live recording: for the
  // stream being played, after media; the connection is then closed.
  bool HandleStreamEOF(const RTMPPacket &packet);
  bool SendServerBW();
  bool SendBytesReceived();
  void HandleChangeChunkSize(const RTMPPacket &packet);
  // Abort: the server gave up the message in progress on a chunk stream.
  void HandleAbort(const RTMPPacket &packet);
  bool UpdateBufferMS();

  // Invokes, media dispatch and metadata (invoke.cpp, dispatch.cpp, metadata.cpp).
  int HandleInvoke(const char *body, unsigned int nBodySize);
  int GetNextMediaPacket(RTMPPacket &packet);
  void HandleAudio(const RTMPPacket &packet);
  void HandleVideo(const RTMPPacket &packet);
  bool HandleMetadata(char *body, unsigned int len);
  static void DumpMetaData(AMFObject &obj);
  static bool FindFirstMatchingProperty(AMFObject &obj, std::string name, AMFObjectProperty &p);

  // Wire primitives, also available as free functions of foundation/bytes.h.
  static bool ReadBool(const char *data) { return ::ReadBool(data); }
  static short ReadInt16(const char *data) { return ::ReadInt16(data); }
  static unsigned ReadInt24(const char *data) { return ::ReadInt24(data); }
  static int ReadInt32(const char *data) { return ::ReadInt32(data); }
  static std::string ReadString(const char *data) { return ::ReadString(data); }
  static int EncodeInt16(char *out, short v) { return ::EncodeInt16(out, v); }
  static int EncodeInt24(char *out, int v) { return ::EncodeInt24(out, v); }
  static int EncodeInt32(char *out, int v) { return ::EncodeInt32(out, v); }
  static int EncodeNumber(char *out, double v) { return ::EncodeNumber(out, v); }
  static int EncodeBoolean(char *out, bool b) { return ::EncodeBoolean(out, b); }
  static int EncodeString(char *out, const std::string &s) { return ::EncodeString(out, s); }
  static int EncodeNumber(char *out, const std::string &name, double v) { return ::EncodeNumber(out, name, v); }
  static int EncodeBoolean(char *out, const std::string &name, bool b) { return ::EncodeBoolean(out, name, b); }
  static int EncodeString(char *out, const std::string &name, const std::string &v)
  {
    return ::EncodeString(out, name, v);
  }

  // Per chunk stream state, created on first use (connection.cpp). Ids
  // below 256, which carry nearly all traffic, are found without a call.
  RTMPPacket &ChannelIn(int nChannel)
  {
    if (nChannel >= 0 && nChannel < RTMP_CHANNELS_PER_PAGE && m_pFirstIn != nullptr)
      return m_pFirstIn[nChannel];
    return PagedIn(nChannel);
  }
  RTMPPacket &ChannelOut(int nChannel);
  uint32_t &ChannelTimestamp(int nChannel)
  {
    if (nChannel >= 0 && nChannel < RTMP_CHANNELS_PER_PAGE && m_pFirstTimestamp != nullptr)
      return m_pFirstTimestamp[nChannel];
    return PagedTimestamp(nChannel);
  }

  int m_socket;                  // -1: not connected
  int m_chunkSize;               // incoming chunk size, as the server announced it
  int m_outChunkSize;            // outgoing chunk size; the client never announces one, so 128
  int m_nBWCheckCounter;
  uint32_t m_nBytesIn;           // bytes delivered by ReadN since the last Close, wrapping
  uint32_t m_nBytesInSent;       // m_nBytesIn carried by the last bytes-read report
  int m_nBufferMS;
  int m_stream_id;
  std::vector<std::string> m_methodCalls;
  bool m_bRefused;
  bool m_bReconnectRequested;
  std::string m_strReconnectUrl;
  std::string m_strBreakReason;
  bool m_bMediaReceived;         // an audio, video or FLV data message arrived on this connection

  const char *m_strHostname;
  unsigned int m_nPort;
  int m_nProtocol;
  const char *m_strPlaypath;
  const char *m_strTcUrl;
  const char *m_strSwfUrl;
  const char *m_strPageUrl;
  const char *m_strApp;
  const char *m_strAuth;
  const char *m_strFlashVer;
  const char *m_strSubscribePath;
  double m_dSeekTime;
  double m_dLength;
  bool m_bLiveStream;
  long int m_nTimeout;

  char *m_pBuffer;               // receive buffer of RTMP_BUFFER_CACHE_SIZE bytes
  char *m_pBufferStart;          // first unread byte
  int m_nBufferSize;             // unread bytes at m_pBufferStart

  double m_fDuration;

private:
  // rtmps: the TLS session over m_socket, else null (plain TCP).
  std::unique_ptr<CTlsSession> m_pTls;
  bool ConnectSocket(const char *hostname);
  bool StartTls(const char *hostname);

  void (*m_pfnBeforeReceive)(void *) = nullptr;
  void *m_pBeforeReceiveContext = nullptr;

  bool FillBuffer();
  bool HandShake();
  // What one connection learnt, forgotten before the next one starts.
  void ResetSession();
  void SetReceiveTimeout(const char *szWho);

  // Chunk reader steps (chunk_reader.cpp). ReadExact reads exactly n bytes
  // or fails with the connection closed; the common case, bytes at hand and
  // no bytes-read report due, is inline, everything else goes through ReadN.
  bool ReadExact(char *buffer, int n)
  {
    if (n > 0 && n <= m_nBufferSize &&
        m_nBytesIn + static_cast<uint32_t>(n) - m_nBytesInSent <= RTMP_BYTES_REPORT_INTERVAL) {
      memcpy(buffer, m_pBufferStart, static_cast<size_t>(n));
      m_pBufferStart += n;
      m_nBufferSize -= n;
      m_nBytesIn += static_cast<uint32_t>(n);
      return true;
    }
    return ReadExactThroughReadN(buffer, n);
  }
  bool ReadExactThroughReadN(char *buffer, int n);
  bool ReadChunkBody(RTMPPacket &saved, uint32_t nChunk);

  // Refuses an incoming chunk size below 1 with an error and closes the
  // connection (false); used by the reader and by HandleChangeChunkSize.
  bool CheckChunkSize(int nSize, const char *szWho);

  // Channel tables in pages of 256 chunk streams, allocated when a stream is first used.
  struct ChannelPage;
  std::vector<std::unique_ptr<ChannelPage>> m_channelPages;
  RTMPPacket *m_pFirstIn = nullptr;           // the first page's tables, once it exists
  uint32_t *m_pFirstTimestamp = nullptr;
  ChannelPage &Page(int nChannel);
  RTMPPacket &PagedIn(int nChannel);
  // The state of a chunk stream already in use, else null (nothing is allocated).
  RTMPPacket *FindChannelIn(int nChannel);
  uint32_t &PagedTimestamp(int nChannel);
};

}  // namespace RTMP_LIB
