// Reaching the server: name resolution for IPv4 and IPv6, a bounded connect
// to each address in turn, and the TLS session of rtmps.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/clock.h"
#include "foundation/log.h"
#include "rtmp/rtmp.h"
#include "rtmp/socket_system.h"
#include "rtmp/sockets.h"
#include "rtmp/tls.h"

namespace RTMP_LIB {

namespace {

// "[::1]" names the same host as "::1"; the brackets only guard the colons
// in URLs.
std::string BareHost(const char *szHost)
{
  size_t nLen = strlen(szHost);
  if (nLen >= 2 && szHost[0] == '[' && szHost[nLen - 1] == ']')
    return std::string(szHost + 1, nLen - 2);
  return szHost;
}

// "192.0.2.1:1935" or "[2001:db8::1]:1935", for messages.
std::string DescribeAddress(const struct addrinfo *ai)
{
  char szHost[NI_MAXHOST] = "?";
  char szPort[NI_MAXSERV] = "?";
  getnameinfo(ai->ai_addr, ai->ai_addrlen, szHost, sizeof szHost, szPort, sizeof szPort,
              NI_NUMERICHOST | NI_NUMERICSERV);
  if (ai->ai_family == AF_INET6)
    return std::string("[") + szHost + "]:" + szPort;
  return std::string(szHost) + ":" + szPort;
}

}  // namespace

bool CRTMP::ConnectSocket(const char *hostname)
{
  if (hostname == nullptr) {
    Log(LOG_LEVEL_ERROR, "Problem accessing the DNS. (addr: %s)", "");
    return false;
  }
  const std::string strHost = BareHost(hostname);
  char szPort[8];
  snprintf(szPort, sizeof szPort, "%u", m_nPort & 0xffff);

  // No AI_ADDRCONFIG: it would hide ::1 on hosts whose only IPv6 address is
  // the loopback one.
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  struct addrinfo *pList = nullptr;
  int nLookup = getaddrinfo(strHost.c_str(), szPort, &hints, &pList);
  if (nLookup != 0 || pList == nullptr) {
    Log(LOG_LEVEL_ERROR, "Problem accessing the DNS. (addr: %s)", hostname);
    Log(LOG_LEVEL_DEBUG, "%s, getaddrinfo: %s", "Connect", gai_strerror(nLookup));
    SetBreakReason(std::string("could not find the host ") + hostname + ": " +
                   (nLookup != 0 ? gai_strerror(nLookup) : "no address"));
    if (pList != nullptr)
      freeaddrinfo(pList);
    return false;
  }

  // The timeout bounds the whole walk through the addresses.
  const int64_t nStart = MonotonicMs();
  const long nBudgetMS = m_nTimeout > 0 ? (m_nTimeout >= INT_MAX / 1000 ? INT_MAX : m_nTimeout * 1000) : -1;
  for (const struct addrinfo *ai = pList; ai != nullptr; ai = ai->ai_next) {
    const std::string strAddress = DescribeAddress(ai);
    const bool bLast = ai->ai_next == nullptr;
    int nWaitMS = -1;
    if (nBudgetMS >= 0) {
      const int64_t nLeft = nBudgetMS - (MonotonicMs() - nStart);
      nWaitMS = nLeft > 0 ? static_cast<int>(nLeft) : 0;
    }
    Log(LOG_LEVEL_DEBUG, "%s, connecting to %s", "Connect", strAddress.c_str());
    m_socket = SockOpen(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (m_socket < 0) {
      Log(bLast ? LOG_LEVEL_ERROR : LOG_LEVEL_WARNING, "%s, failed to create socket for %s. Error: %d",
          "Connect", strAddress.c_str(), GetSockError());
      m_socket = -1;
      continue;
    }
    // From here on a silent server costs at most the timeout: the handshake
    // reads run under it too.
    if (m_nTimeout > 0)
      SetReceiveTimeout("Connect");
    const int nError = nWaitMS == 0 ? SockTimedOutError()
                                    : SockConnect(m_socket, ai->ai_addr, static_cast<unsigned int>(ai->ai_addrlen), nWaitMS);
    if (nError == 0) {
      Log(LOG_LEVEL_DEBUG, "%s, connected to %s", "Connect", strAddress.c_str());
      freeaddrinfo(pList);
      return true;
    }
    const std::string strError = SockErrorText(nError);
    Log(bLast ? LOG_LEVEL_ERROR : LOG_LEVEL_WARNING, "%s, failed to connect socket to %s. Error: %d (%s)",
        "Connect", strAddress.c_str(), nError, strError.c_str());
    if (bLast)
      SetBreakReason("could not connect to " + strAddress + ": " + strError);
    Close();
  }
  freeaddrinfo(pList);
  return false;
}

bool CRTMP::StartTls(const char *hostname)
{
  // Nothing of RTMP goes out before the server has proven who it is.
  m_pTls = CTlsSession::Start(m_socket, BareHost(hostname).c_str());
  return m_pTls != nullptr;
}

}  // namespace RTMP_LIB
