// Construction, closing and set-up of the connection, and the per chunk
// stream tables.

// Programming errors stop the program in every build type.
#undef NDEBUG
#include <cassert>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "foundation/log.h"
#include "rtmp/rtmp.h"
#include "rtmp/sockets.h"
#include "rtmp/tls.h"
#include "url/parseurl.h"

namespace RTMP_LIB {

#define RTMP_DEFAULT_PORT 1935
// rtmps services listen where HTTPS does.
#define RTMPS_DEFAULT_PORT 443
#define RTMP_CHANNEL_PAGES ((RTMP_CHANNELS + RTMP_CHANNELS_PER_PAGE - 1) / RTMP_CHANNELS_PER_PAGE)

// A server may use any chunk stream id up to 65599, but a session touches a
// handful; 256 ids share one page, created when one of them is first used, so
// even a server that walks every id costs a few megabytes and no more.
struct CRTMP::ChannelPage {
  RTMPPacket in[RTMP_CHANNELS_PER_PAGE];     // last header received, partial body
  RTMPPacket out[RTMP_CHANNELS_PER_PAGE];    // last header sent, never a body
  uint32_t timestamp[RTMP_CHANNELS_PER_PAGE];  // running time of the last complete message

  explicit ChannelPage(int nFirst)
  {
    for (int i = 0; i < RTMP_CHANNELS_PER_PAGE; i++) {
      in[i].m_nChannel = nFirst + i;
      out[i].m_nChannel = nFirst + i;
      timestamp[i] = 0;
    }
  }
};

CRTMP::CRTMP()
    : m_socket(-1), m_chunkSize(RTMP_DEFAULT_CHUNKSIZE), m_outChunkSize(RTMP_DEFAULT_CHUNKSIZE),
      m_nBWCheckCounter(0), m_nBytesIn(0), m_nBytesInSent(0), m_nBufferMS(300), m_stream_id(0),
      m_bRefused(false), m_bReconnectRequested(false), m_bMediaReceived(false), m_strHostname(nullptr),
      m_nPort(RTMP_DEFAULT_PORT),
      m_nProtocol(RTMP_PROTOCOL_RTMP), m_strPlaypath(nullptr), m_strTcUrl(nullptr), m_strSwfUrl(nullptr),
      m_strPageUrl(nullptr), m_strApp(nullptr), m_strAuth(nullptr), m_strFlashVer(nullptr),
      m_strSubscribePath(nullptr), m_dSeekTime(0.0), m_dLength(0.0), m_bLiveStream(false), m_nTimeout(0),
      m_pBuffer(nullptr), m_pBufferStart(nullptr), m_nBufferSize(0), m_fDuration(0.0)
{
  m_channelPages.resize(RTMP_CHANNEL_PAGES);
  m_pBuffer = static_cast<char *>(malloc(RTMP_BUFFER_CACHE_SIZE));
  m_pBufferStart = m_pBuffer;
  Close();
}

CRTMP::~CRTMP()
{
  Close();
  free(m_pBuffer);
  // The pages go with m_channelPages; each packet releases what it holds.
}

void CRTMP::Close()
{
  // The TLS session says goodbye on the socket before it closes.
  m_pTls.reset();
  if (IsConnected())
    SockClose(m_socket);
  m_socket = -1;
  m_chunkSize = RTMP_DEFAULT_CHUNKSIZE;
  m_outChunkSize = RTMP_DEFAULT_CHUNKSIZE;
  m_nBWCheckCounter = 0;
  m_nBytesIn = 0;
  m_nBytesInSent = 0;
  m_nBufferSize = 0;
  m_pBufferStart = m_pBuffer;

  // A new connection starts every chunk stream afresh; the partial bodies of
  // messages in progress die with the old one. The running timestamps stay.
  for (size_t nPage = 0; nPage < m_channelPages.size(); nPage++) {
    ChannelPage *page = m_channelPages[nPage].get();
    if (page == nullptr)
      continue;
    int nFirst = static_cast<int>(nPage) * RTMP_CHANNELS_PER_PAGE;
    for (int i = 0; i < RTMP_CHANNELS_PER_PAGE; i++) {
      page->in[i].FreePacket();
      page->in[i].m_nChannel = nFirst + i;
      page->out[i].FreePacket();
      page->out[i].m_nChannel = nFirst + i;
    }
  }
}

void CRTMP::ResetSession()
{
  // Close keeps these for the application to look at after the end; a new
  // connection must not answer the old one's commands or count its chunk
  // stream times on from the old ones.
  m_methodCalls.clear();
  m_stream_id = 0;
  m_bRefused = false;
  m_bMediaReceived = false;
  m_bReconnectRequested = false;
  m_strReconnectUrl.clear();
  m_strBreakReason.clear();
  for (const std::unique_ptr<ChannelPage> &page : m_channelPages) {
    if (page)
      std::fill(std::begin(page->timestamp), std::end(page->timestamp), 0u);
  }
}

void CRTMP::AttachSocket(int fd)
{
  Close();
  m_socket = fd;
  if (fd >= 0 && m_nTimeout > 0)
    SetReceiveTimeout("AttachSocket");
}

CRTMP::ChannelPage &CRTMP::Page(int nChannel)
{
  // Ids come from the chunk reader (at most 65599) or from our own senders.
  assert(nChannel >= 0 && nChannel < RTMP_CHANNELS);
  std::unique_ptr<ChannelPage> &page = m_channelPages[nChannel / RTMP_CHANNELS_PER_PAGE];
  if (!page) {
    page.reset(new ChannelPage(nChannel - nChannel % RTMP_CHANNELS_PER_PAGE));
    if (nChannel < RTMP_CHANNELS_PER_PAGE) {
      m_pFirstIn = page->in;
      m_pFirstTimestamp = page->timestamp;
    }
  }
  return *page;
}

RTMPPacket &CRTMP::PagedIn(int nChannel)
{
  return Page(nChannel).in[nChannel % RTMP_CHANNELS_PER_PAGE];
}

RTMPPacket &CRTMP::ChannelOut(int nChannel)
{
  return Page(nChannel).out[nChannel % RTMP_CHANNELS_PER_PAGE];
}

RTMPPacket *CRTMP::FindChannelIn(int nChannel)
{
  if (nChannel < 0 || nChannel >= RTMP_CHANNELS || !m_channelPages[nChannel / RTMP_CHANNELS_PER_PAGE])
    return nullptr;
  return &PagedIn(nChannel);
}

uint32_t &CRTMP::PagedTimestamp(int nChannel)
{
  return Page(nChannel).timestamp[nChannel % RTMP_CHANNELS_PER_PAGE];
}

bool CRTMP::CheckChunkSize(int nSize, const char *szWho)
{
  // 0 would make a chunk carry nothing and a message never end; a negative
  // size is a value of 2^31 or more on the wire.
  if (nSize >= 1)
    return true;
  Log(LOG_LEVEL_ERROR, "%s, refusing chunk size %d, closing connection", szWho, nSize);
  Close();
  return false;
}

void CRTMP::SetReceiveTimeout(const char *szWho)
{
  if (!SockSetReceiveTimeout(m_socket, m_nTimeout))
    Log(LOG_LEVEL_ERROR, "%s, Setting socket timeout to %lds failed!", szWho, m_nTimeout);
}

static const char *OrEmpty(const char *str)
{
  return str != nullptr ? str : "";
}

static void LogParameters(const CRTMP &r, unsigned int port)
{
  Log(LOG_LEVEL_DEBUG, "Protocol      : %s", RTMPProtocolStrings[r.m_nProtocol]);
  Log(LOG_LEVEL_DEBUG, "Hostname      : %s", OrEmpty(r.m_strHostname));
  Log(LOG_LEVEL_DEBUG, "Port          : %d", static_cast<int>(port));
  Log(LOG_LEVEL_DEBUG, "Playpath      : %s", OrEmpty(r.m_strPlaypath));
  if (r.m_strTcUrl)
    Log(LOG_LEVEL_DEBUG, "tcUrl         : %s", r.m_strTcUrl);
  if (r.m_strSwfUrl)
    Log(LOG_LEVEL_DEBUG, "swfUrl        : %s", r.m_strSwfUrl);
  if (r.m_strPageUrl)
    Log(LOG_LEVEL_DEBUG, "pageUrl       : %s", r.m_strPageUrl);
  if (r.m_strApp)
    Log(LOG_LEVEL_DEBUG, "app           : %s", r.m_strApp);
  if (r.m_strAuth)
    Log(LOG_LEVEL_DEBUG, "auth          : %s", r.m_strAuth);
  if (r.m_strSubscribePath)
    Log(LOG_LEVEL_DEBUG, "subscribepath : %s", r.m_strSubscribePath);
  if (r.m_strFlashVer)
    Log(LOG_LEVEL_DEBUG, "flashVer      : %s", r.m_strFlashVer);
  if (r.m_dSeekTime > 0)
    Log(LOG_LEVEL_DEBUG, "SeekTime      : %.3f sec", r.m_dSeekTime / 1000.0);
  if (r.m_dLength > 0)
    Log(LOG_LEVEL_DEBUG, "playLength    : %.3f sec", r.m_dLength / 1000.0);
  Log(LOG_LEVEL_DEBUG, "live          : %s", r.m_bLiveStream ? "yes" : "no");
  Log(LOG_LEVEL_DEBUG, "timeout       : %ld sec", r.m_nTimeout);
}

bool CRTMP::Connect(int protocol, const char *hostname, unsigned int port, const char *playpath,
                    const char *tcUrl, const char *swfUrl, const char *pageUrl, const char *app,
                    const char *auth, const char *flashVer, const char *subscribepath, double dTime,
                    double dLength, bool bLiveStream, long int timeout)
{
  assert(protocol < 6);
  assert(protocol >= 0);

  m_nProtocol = protocol;
  m_strHostname = hostname;
  m_nPort = port;
  m_strPlaypath = playpath;
  m_strTcUrl = tcUrl;
  m_strSwfUrl = swfUrl;
  m_strPageUrl = pageUrl;
  m_strApp = app;
  m_strAuth = auth;
  m_strFlashVer = flashVer;
  m_strSubscribePath = subscribepath;
  m_dSeekTime = dTime;
  m_dLength = dLength;
  m_bLiveStream = bLiveStream;
  m_nTimeout = timeout;
  LogParameters(*this, port);
  if (m_nPort == 0)
    m_nPort = protocol == RTMP_PROTOCOL_RTMPS ? RTMPS_DEFAULT_PORT : RTMP_DEFAULT_PORT;

  Close();
  ResetSession();

  if (!ConnectSocket(hostname))
    return false;
  if (m_nProtocol == RTMP_PROTOCOL_RTMPS && !StartTls(hostname)) {
    SetBreakReason(std::string("could not make the secure connection (TLS) to ") + hostname);
    Close();
    return false;
  }

  Log(LOG_LEVEL_DEBUG, "%s, ... connected, handshaking", "Connect");
  if (!HandShake()) {
    Log(LOG_LEVEL_ERROR, "%s, handshake failed.", "Connect");
    const std::string strWhy = m_strBreakReason;
    m_strBreakReason = "the RTMP handshake failed" + (strWhy.empty() ? std::string() : ": " + strWhy);
    Close();
    return false;
  }

  Log(LOG_LEVEL_DEBUG, "%s, handshaked", "Connect");
  if (!Connect()) {
    Log(LOG_LEVEL_ERROR, "%s, RTMP connect failed.", "Connect");
    const std::string strWhy = m_strBreakReason;
    m_strBreakReason = "sending the connect command failed" + (strWhy.empty() ? std::string() : ": " + strWhy);
    Close();
    return false;
  }
  return true;
}

}  // namespace RTMP_LIB
