#include "cli/command_line.h"

#include <cstring>

#include "cli/url_option.h"
#include "foundation/files.h"
#include "foundation/log.h"
#include "url/parseurl.h"

int ApplyOperands(int first, int argc, char **argv, Settings &s, const CommandLine &cl)
{
  if (first >= argc)
    return -1;
  const char *url = argv[first];
  if (first + 1 < argc) {
    Log(LOG_LEVEL_ERROR, "Unexpected argument %s: give one url, and an output file with -o (try --help)",
        argv[first + 1]);
    return 1;
  }
  if (cl.bUrlOption) {
    Log(LOG_LEVEL_ERROR, "Unexpected argument %s: the url is given with --rtmp already (try --help)", url);
    return 1;
  }
  if (strstr(url, "://") == nullptr) {
    Log(LOG_LEVEL_ERROR, "Unexpected argument %s: it is not an rtmp:// or rtmps:// url (try --help)", url);
    return 1;
  }
  return MergeUrl(url, s) ? -1 : 1;
}

int Validate(Settings &s, const CommandLine &cl)
{
  if (s.host == nullptr) {
    Log(LOG_LEVEL_ERROR,
        "You must specify a hostname (--host) or url (-r \"rtmp://host[:port]/playpath\") containing a hostname");
    return 1;
  }
  if (s.playpath == nullptr) {
    Log(LOG_LEVEL_ERROR,
        "You must specify a playpath (--playpath) or url (-r \"rtmp://host[:port]/playpath\") containing a "
        "playpath");
    return 1;
  }
  // A live stream ignores --start (it cannot seek), so only --stop counts there.
  if (!s.bLiveStream && s.nStopOffset != 0 && s.nStartOffset >= s.nStopOffset) {
    Log(LOG_LEVEL_ERROR, "--start %s is not before --stop %s: there would be nothing to download", cl.szStart,
        cl.szStop);
    return 1;
  }
  // FLV bytes would only garble the terminal; -o - says it is meant.
  if (s.bToStdout && !cl.bStdoutForced && IsTerminal(stdout)) {
    Log(LOG_LEVEL_ERROR, "Not writing FLV data to a terminal: save it with -o FILE, or give -o - to write it "
                         "to standard output all the same");
    return 1;
  }
  // rtmps services listen where HTTPS does.
  const int nDefaultPort = s.protocol == RTMP_PROTOCOL_RTMPS ? 443 : 1935;
  if (s.port == -1) {
    Log(LOG_LEVEL_WARNING, "You haven't specified a port (--port) or rtmp url (-r), using default port %d",
        nDefaultPort);
    s.port = nDefaultPort;
  }
  if (s.port == 0)
    s.port = nDefaultPort;
  if (s.protocol == -1) {
    Log(LOG_LEVEL_WARNING,
        "You haven't specified a protocol (--protocol) or rtmp url (-r), using default protocol RTMP");
    s.protocol = 0;
  }
  if (s.bToStdout && s.bResumeMode) {
    Log(LOG_LEVEL_WARNING, "Can't resume in stdout mode, ignoring --resume option");
    s.bResumeMode = false;
  }

  if (s.flashVer == nullptr)
    s.flashVer = DEFAULT_FLASH_VER;
  return -1;
}

