#include "url/parseurl.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/check.h"
#include "foundation/log.h"

const char RTMPProtocolStrings[6][7] = {"RTMP", "RTMPT", "RTMPS", "RTMPE", "RTMPTE", "RTMFP"};
const char RTMPProtocolStringsLower[6][7] = {"rtmp", "rtmpt", "rtmps", "rtmpe", "rtmpte", "rtmfp"};

namespace {

// Position of the first c in text[0..len), or len when there is none: an
// absent character slices at the end, so nothing past the URL is ever read.
size_t Find(const char *text, size_t len, char c)
{
  const void *p = memchr(text, c, len);
  return p != nullptr ? static_cast<size_t>(static_cast<const char *>(p) - text) : len;
}

char *CopyN(const char *text, size_t n)
{
  char *copy = static_cast<char *>(malloc(n + 1));
  memcpy(copy, text, n);
  copy[n] = '\0';
  return copy;
}

bool ParseScheme(const char *url, size_t len, int *protocol)
{
  // Table order, not numbering order; the match must be exact in length.
  static const struct {
    const char *szName;
    int nProtocol;
  } schemes[] = {
      {"rtmp", RTMP_PROTOCOL_RTMP},   {"rtmpt", RTMP_PROTOCOL_RTMPT},
      {"rtmps", RTMP_PROTOCOL_RTMPS}, {"rtmpe", RTMP_PROTOCOL_RTMPE},
      {"rtmfp", RTMP_PROTOCOL_RTMFP}, {"rtmpte", RTMP_PROTOCOL_RTMPTE},
  };
  char *lower = str2lower(url, static_cast<int>(len));
  bool bFound = false;
  for (const auto &scheme : schemes) {
    if (strlen(scheme.szName) == len && strcmp(lower, scheme.szName) == 0) {
      *protocol = scheme.nProtocol;
      bFound = true;
      break;
    }
  }
  free(lower);
  return bFound;
}

// The port text has at most 5 characters; read its leading decimal number
// the way atoi would, but without atoi's undefined overflow.
unsigned int PortValue(const char *text, size_t n)
{
  char buf[8] = {0};
  memcpy(buf, text, n);
  long value = strtol(buf, nullptr, 10);
  return static_cast<unsigned int>(value);
}

}  // namespace

char *str2lower(const char *str, int n)
{
  size_t count = n > 0 ? static_cast<size_t>(n) : 0;
  char *res = static_cast<char *>(malloc(count + 1));
  for (size_t i = 0; i < count; i++)
    res[i] = static_cast<char>(tolower(static_cast<unsigned char>(str[i])));
  res[count] = '\0';
  return res;
}

bool ParseUrl(const char *url, int *protocol, char **host, unsigned int *port, char **playpath, char **app)
{
  KAVELO_ASSERT(url != 0 && protocol != 0 && host != 0 && port != 0 && playpath != 0 && app != 0);

  Log(LOG_LEVEL_DEBUG, "Parsing...");
  *protocol = 0;

  const char *sep = strstr(url, "://");
  if (sep == nullptr) {
    Log(LOG_LEVEL_WARNING, "RTMP URL: No :// in url!");
    return false;
  }
  if (ParseScheme(url, static_cast<size_t>(sep - url), protocol))
    Log(LOG_LEVEL_DEBUG, "Parsed protocol: %d", *protocol);
  else
    Log(LOG_LEVEL_WARNING, "Unknown protocol!\n");

  const char *p = sep + 3;
  size_t len = strlen(p);
  if (len == 0) {
    Log(LOG_LEVEL_WARNING, "No hostname in URL!");
    return false;
  }

  size_t nQuery = Find(p, len, '?');
  size_t nSlash = Find(p, len, '/');
  size_t nEnd = nSlash < nQuery ? nSlash : nQuery;
  // An IPv6 literal stands in brackets, because of its colons; the host is
  // what the brackets hold.
  size_t nOpen = 0;
  size_t nHost;
  if (p[0] == '[') {
    nHost = Find(p, nEnd, ']');
    if (nHost == nEnd || nHost == 1 || (nHost + 1 < nEnd && p[nHost + 1] != ':')) {
      Log(LOG_LEVEL_WARNING, "RTMP URL: Invalid IPv6 address in brackets!");
      return false;
    }
    nOpen = 1;
    nHost++;
  } else {
    size_t nColon = Find(p, len, ':');
    nHost = nColon < nEnd ? nColon : nEnd;
  }

  if (nEnd > 255) {
    Log(LOG_LEVEL_WARNING, "Hostname exceeds 255 characters!");
  } else {
    *host = CopyN(p + nOpen, nHost - 2 * nOpen);
    Log(LOG_LEVEL_DEBUG, "Parsed host    : %s", *host);
  }
  p += nHost;

  if (*p == ':') {
    p++;
    size_t nPort = nEnd - nHost - 1;
    if (nPort > 5) {
      Log(LOG_LEVEL_WARNING, "Port number is longer than 5 characters!");
    } else {
      *port = PortValue(p, nPort);
      if (*port == 0)
        *port = *protocol == RTMP_PROTOCOL_RTMPS ? 443 : 1935;
      Log(LOG_LEVEL_DEBUG, "Parsed port    : %d", static_cast<int>(*port));
    }
    p += nPort;
  }

  if (*p != '/') {
    Log(LOG_LEVEL_WARNING, "No application or playpath in URL!");
    return true;
  }
  p++;
  len = strlen(p);

  size_t nSlash1 = Find(p, len, '/');
  nQuery = Find(p, len, '?');
  size_t nSlash2 = len;
  if (nSlash1 < len)
    nSlash2 = nSlash1 + 1 + Find(p + nSlash1 + 1, len - nSlash1 - 1, '/');

  size_t nCursor;
  if (nQuery < len && strstr(p, "slist=") != nullptr) {
    // A server-side playlist: the query belongs to the application.
    nCursor = nQuery;
    *app = CopyN(p, len);
  } else if (strncmp(p, "ondemand/", 9) == 0) {
    nCursor = 8;
    *app = CopyN(p, 8);
  } else {
    nCursor = nSlash2 < len ? nSlash2 : (nSlash1 < len ? nSlash1 : len);
    *app = CopyN(p, nCursor);
  }
  Log(LOG_LEVEL_DEBUG, "Parsed app     : %s", *app);

  const char *rest = p + nCursor;
  size_t nRest = len - nCursor;
  const char *szPath = nullptr;
  size_t nPath = 0;
  bool bMp4Prefix = false;

  const char *slist = rest[0] == '?' ? strstr(rest, "slist=") : nullptr;
  if (slist != nullptr) {
    szPath = slist + 6;
    nPath = Find(szPath, strlen(szPath), '&');
  } else if (nRest == 0) {
    Log(LOG_LEVEL_ERROR, "No playpath found!");
  } else {
    szPath = rest + 1;
    nPath = nRest - 1;
    if (nPath >= 4) {
      const char *ext = szPath + nPath - 4;
      if (strncmp(ext, ".f4v", 4) == 0 || strncmp(ext, ".mp4", 4) == 0)
        bMp4Prefix = true;
      else if (strncmp(ext, ".flv", 4) == 0)
        nPath -= 4;
    }
  }

  if (szPath == nullptr) {
    Log(LOG_LEVEL_WARNING, "No playpath in URL!");
    return true;
  }
  if (bMp4Prefix && strncmp(szPath, "mp4:", 4) != 0) {
    char *prefixed = static_cast<char *>(malloc(nPath + 5));
    memcpy(prefixed, "mp4:", 4);
    memcpy(prefixed + 4, szPath, nPath);
    prefixed[nPath + 4] = '\0';
    *playpath = prefixed;
  } else {
    *playpath = CopyN(szPath, nPath);
  }
  Log(LOG_LEVEL_DEBUG, "Parsed playpath: %s", *playpath);
  return true;
}
