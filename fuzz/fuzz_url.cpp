// Fuzz target for the URL parser: the input, up to its first NUL, is the URL
// as given on the command line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/log.h"
#include "url/parseurl.h"
#include "fuzz_support.h"

namespace {

// Sentinels: an output the parser does not store keeps them.
const unsigned int kNoPort = 0xDEADBEEF;
char kUnset[] = "unset";

// Every part the parser stores is copied from the URL (the play path may
// carry an added "mp4:").
bool ComesFrom(const std::string &strUrl, const char *szPart)
{
  if (strUrl.find(szPart) != std::string::npos)
    return true;
  return strncmp(szPart, "mp4:", 4) == 0 && strUrl.find(szPart + 4) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  SilenceLog(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  // An exact-size copy, so that a read past the terminator is caught.
  char *url = static_cast<char *>(malloc(size + 1));
  memcpy(url, data, size);
  url[size] = '\0';
  const std::string strUrl(url);

  int protocol = -1;
  char *host = kUnset;
  char *playpath = kUnset;
  char *app = kUnset;
  unsigned int port = kNoPort;
  bool bOk = ParseUrl(url, &protocol, &host, &port, &playpath, &app);

  if (protocol < 0 || protocol > 5 || strUrl != url)
    __builtin_trap();
  const size_t nSep = strUrl.find("://");
  if (!bOk) {
    // Refused URLs have no "://", nothing after it, or a bracketed host that
    // does not close properly; they store nothing.
    if (nSep != std::string::npos && nSep + 3 < strUrl.size() && strUrl[nSep + 3] != '[')
      __builtin_trap();
    if (host != kUnset || playpath != kUnset || app != kUnset || port != kNoPort)
      __builtin_trap();
    // The scheme is recognised before the empty rest is refused.
    if (nSep == std::string::npos && protocol != 0)
      __builtin_trap();
  } else {
    if (nSep == std::string::npos)
      __builtin_trap();
    // The port is written only after a colon in the authority.
    if (port != kNoPort && strUrl.find(':', nSep + 3) == std::string::npos)
      __builtin_trap();
    if (host != kUnset && (strlen(host) > 255 || !ComesFrom(strUrl, host)))
      __builtin_trap();
    if (app != kUnset && !ComesFrom(strUrl, app))
      __builtin_trap();
    if (playpath != kUnset && !ComesFrom(strUrl, playpath))
      __builtin_trap();
  }

  if (host != kUnset)
    free(host);
  if (playpath != kUnset)
    free(playpath);
  if (app != kUnset)
    free(app);
  free(url);
  return 0;
}
