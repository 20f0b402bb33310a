#include "cli/url_option.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <strings.h>
#include <vector>

#include "foundation/log.h"
#include "url/parseurl.h"

namespace {

struct FreeDeleter {
  void operator()(char *p) const { free(p); }
};

// The URL parser's strings back the settings for the whole run; holding them
// here keeps them reachable and releases them at exit.
char *KeepParsed(char *text)
{
  static std::vector<std::unique_ptr<char, FreeDeleter>> kept;
  kept.emplace_back(text);
  return text;
}

// The parser reads every scheme of the protocol family and an unknown one as
// plain RTMP; only rtmp and rtmps are spoken here, and a URL must never go
// out in another protocol than the one it names.
bool SchemeSupported(const char *url, const char *sep, int nProtocol)
{
  size_t len = static_cast<size_t>(sep - url);
  const char *name = RTMPProtocolStringsLower[nProtocol];
  if (len != strlen(name) || strncasecmp(url, name, len) != 0) {
    Log(LOG_LEVEL_ERROR, "Unknown protocol in url (%s); use rtmp:// or rtmps://", url);
    return false;
  }
  if (nProtocol != RTMP_PROTOCOL_RTMP && nProtocol != RTMP_PROTOCOL_RTMPS) {
    Log(LOG_LEVEL_ERROR, "%s:// is not supported; use rtmp:// or rtmps://", name);
    return false;
  }
  return true;
}

// user:password@host has no place in RTMP: the parser would take "user" for
// the host name. The URL itself is not repeated, so the password is not either.
bool HasCredentials(const char *sep)
{
  const char *authority = sep + 3;
  size_t len = strcspn(authority, "/?");
  return memchr(authority, '@', len) != nullptr;
}

}  // namespace

bool MergeUrl(const char *url, Settings &s)
{
  int nProtocol = -1;
  char *szHost = nullptr;
  char *szPlaypath = nullptr;
  char *szApp = nullptr;
  unsigned int nPort = 0;
  bool bParsed = ParseUrl(url, &nProtocol, &szHost, &nPort, &szPlaypath, &szApp);
  std::unique_ptr<char, FreeDeleter> host(szHost), playpath(szPlaypath), app(szApp);
  const char *sep = strstr(url, "://");
  if (sep != nullptr && !SchemeSupported(url, sep, nProtocol))
    return false;
  if (sep != nullptr && HasCredentials(sep)) {
    Log(LOG_LEVEL_ERROR, "A user name or password in the url (user:password@host) is not supported; "
                         "give what the server asks for with --auth or in the url's query");
    return false;
  }
  if (!bParsed) {
    Log(LOG_LEVEL_ERROR, "Couldn't parse the specified url (%s)!", url);
    return false;
  }
  // The parser takes up to five digits, so 65536..99999 (or a sign) gets here.
  if (nPort > 65535) {
    Log(LOG_LEVEL_ERROR, "Port number %d in url (%s) is out of range, it must be between 0 and 65535!",
        static_cast<int>(nPort), url);
    return false;
  }
  if (s.host == nullptr && host)
    s.host = KeepParsed(host.release());
  if (s.port == -1)
    s.port = static_cast<int>(nPort);
  if (s.playpath == nullptr && playpath)
    s.playpath = KeepParsed(playpath.release());
  if (s.protocol == -1)
    s.protocol = nProtocol;
  if (s.app == nullptr && app)
    s.app = KeepParsed(app.release());
  return true;
}
