#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/kavelo.h"
#include "foundation/log.h"
#include "url/parseurl.h"

namespace {

const char kShortOptions[] = "hveqxzr:s:t:p:a:f:o:u:n:c:l:y:m:k:d:A:B:#";

// 'b' and 'V' have no short form on purpose: -b and -V are unknown options.
const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"host", required_argument, nullptr, 'n'},
    {"port", required_argument, nullptr, 'c'},
    {"protocol", required_argument, nullptr, 'l'},
    {"playpath", required_argument, nullptr, 'y'},
    {"rtmp", required_argument, nullptr, 'r'},
    {"swfUrl", required_argument, nullptr, 's'},
    {"tcUrl", required_argument, nullptr, 't'},
    {"pageUrl", required_argument, nullptr, 'p'},
    {"app", required_argument, nullptr, 'a'},
    {"auth", required_argument, nullptr, 'u'},
    {"flashVer", required_argument, nullptr, 'f'},
    {"live", no_argument, nullptr, 'v'},
    {"flv", required_argument, nullptr, 'o'},
    {"resume", no_argument, nullptr, 'e'},
    {"timeout", required_argument, nullptr, 'm'},
    {"retry", required_argument, nullptr, 'R'},
    {"live-idle", required_argument, nullptr, 'I'},
    {"buffer", required_argument, nullptr, 'b'},
    {"skip", required_argument, nullptr, 'k'},
    {"subscribe", required_argument, nullptr, 'd'},
    {"start", required_argument, nullptr, 'A'},
    {"stop", required_argument, nullptr, 'B'},
    {"hashes", no_argument, nullptr, '#'},
    {"debug", no_argument, nullptr, 'z'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'x'},
    {nullptr, 0, nullptr, 0},
};

// Every string goes out with a 16-bit length.
const size_t kMaxOptionValue = 65535;
// The largest offset whose milliseconds still fit in 32 bits.
const double kMaxOffsetSeconds = 4294967.0;

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

const char *LongName(int letter)
{
  for (const struct option *o = kLongOptions; o->name != nullptr; o++)
    if (o->val == letter)
      return o->name;
  return "?";
}

// A leading decimal number as atol reads it (0 when there is none), without
// the undefined behaviour of atol on overflow: false when it does not fit.
bool ParseLong(const char *text, long *value)
{
  errno = 0;
  *value = strtol(text, nullptr, 10);
  return errno != ERANGE;
}

bool ParseInt(const char *text, int *value)
{
  long l;
  if (!ParseLong(text, &l) || l < INT_MIN || l > INT_MAX)
    return false;
  *value = static_cast<int>(l);
  return true;
}

// Seconds as atof reads them, to whole milliseconds.
bool ParseOffset(const char *text, uint32_t *ms)
{
  double seconds = strtod(text, nullptr);
  if (!std::isfinite(seconds) || seconds < 0 || seconds > kMaxOffsetSeconds)
    return false;
  *ms = static_cast<uint32_t>(seconds * 1000.0);
  return true;
}

void PrintRow(const char *option, const char *text)
{
  LogPrintf("%-24s%s", option, text);
}

void PrintUsage(const Settings &s)
{
  char line[256];
  LogPrintf("\nThis program streams the flv media content from an rtmp server to stdout.\n\n");
  PrintRow("--help|-h", "Prints this help screen.\n");
  PrintRow("--version", "Prints the version and exits.\n");
  PrintRow("--rtmp|-r url", "URL (e.g. rtmp//hotname[:port]/path)\n");
  PrintRow("--host|-n hostname", "Overrides the hostname in the rtmp url\n");
  PrintRow("--port|-c port", "Overrides the port in the rtmp url\n");
  PrintRow("--protocol|-l", "Overrides the protocol in the rtmp url (0 - RTMP, 2 - RTMPS)\n");
  PrintRow("--playpath|-y", "Overrides the playpath parsed from rtmp url\n");
  PrintRow("--swfUrl|-s url", "URL to player swf file\n");
  PrintRow("--tcUrl|-t url", "URL to played stream (default: \"rtmp://host[:port]/app\")\n");
  PrintRow("--pageUrl|-p url", "Web URL of played programme\n");
  PrintRow("--app|-a app", "Name of player used\n");
  PrintRow("--auth|-u string", "Authentication string to be appended to the connect string\n");
  snprintf(line, sizeof line, "Flash version string (default: \"%s\")\n", DEFAULT_FLASH_VER);
  PrintRow("--flashVer|-f string", line);
  PrintRow("--live|-v", "Save a live stream, no --resume (seeking) of live streams possible\n");
  PrintRow("--subscribe|-d string",
           "Stream name to subscribe to (otherwise defaults to playpath if live is specifed)\n");
  PrintRow("--flv|-o string", "FLV dump file\n");
  PrintRow("--resume|-e", "Resume a partial RTMP download\n");
  snprintf(line, sizeof line, "Timeout connection num seconds (default: %lu)\n",
           static_cast<unsigned long>(s.nTimeout));
  PrintRow("--timeout|-m num", line);
  PrintRow("--retry num", "Reconnect and continue up to num times in a row after a lost connection (default: 0)\n");
  PrintRow("--live-idle num", "End a live recording as complete after num seconds without media (default: 0, off)\n");
  PrintRow("--start|-A num", "Start at num seconds into stream (not valid when using --live)\n");
  PrintRow("--stop|-B num", "Stop at num seconds into stream (or duration of live stream to play)\n");
  PrintRow("--hashes|-#", "Display progress with hashes, not with the byte counter\n");
  snprintf(line, sizeof line,
           "Buffer time in milliseconds (default: %lu), this option makes only sense in stdout mode (-o -)\n",
           static_cast<unsigned long>(s.nBufferTime));
  PrintRow("--buffer|-b", line);
  snprintf(line, sizeof line,
           "Skip num keyframes when looking for last keyframe to resume from. Useful if resume fails "
           "(default: %d)\n\n",
           s.nSkipKeyframes);
  PrintRow("--skip|-k num", line);
  PrintRow("--quiet|-q", "Supresses all command output.\n");
  PrintRow("--verbose|-x", "Verbose command output.\n");
  PrintRow("--debug|-z", "Debug level command output.\n");
  LogPrintf("If you don't pass parameters for swfUrl, pageUrl, app or auth these properties will not be "
            "included in the connect ");
  LogPrintf("packet.\n\n");
}

// --rtmp fills only what is still unset, so explicit options win wherever
// they stand and the first of several URLs wins. Returns false to stop.
bool MergeUrl(const char *url, Settings &s)
{
  int nProtocol = -1;
  char *szHost = nullptr;
  char *szPlaypath = nullptr;
  char *szApp = nullptr;
  unsigned int nPort = 0;
  bool bParsed = ParseUrl(url, &nProtocol, &szHost, &nPort, &szPlaypath, &szApp);
  std::unique_ptr<char, FreeDeleter> host(szHost), playpath(szPlaypath), app(szApp);
  if (!bParsed) {
    Log(LOG_LEVEL_WARNING, "Couldn't parse the specified url (%s)!", url);
    return true;
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

// Applies one option. Returns -1 to go on, otherwise the exit code.
int ApplyOption(int opt, const char *arg, Settings &s)
{
  int n;
  long l;
  switch (opt) {
  case 'h':
    PrintUsage(s);
    return 0;
  case 'V':
    printf("Kavelo %s\n", KAVELO_VERSION);
    return 0;
  case 'n':
    s.host = arg;
    break;
  case 'c':
    if (!ParseLong(arg, &l) || l < 0 || l > 65535) {
      Log(LOG_LEVEL_ERROR, "Port number %s is out of range, it must be between 0 and 65535!", arg);
      return 1;
    }
    s.port = static_cast<int>(l);
    break;
  case 'l':
    if (!ParseInt(arg, &n)) {
      Log(LOG_LEVEL_ERROR, "Unknown protocol specified: %s", arg);
      return 1;
    }
    if (n != RTMP_PROTOCOL_RTMP && n != RTMP_PROTOCOL_RTMPS) {
      Log(LOG_LEVEL_ERROR, "Unknown protocol specified: %d", n);
      return 1;
    }
    s.protocol = n;
    break;
  case 'y':
    s.playpath = arg;
    break;
  case 'r':
    if (!MergeUrl(arg, s))
      return 1;
    break;
  case 's':
    s.swfUrl = arg;
    break;
  case 't':
    s.tcUrl = arg;
    break;
  case 'p':
    s.pageUrl = arg;
    break;
  case 'a':
    s.app = arg;
    break;
  case 'u':
    s.auth = arg;
    break;
  case 'f':
    s.flashVer = arg;
    break;
  case 'v':
    s.bLiveStream = true;
    break;
  case 'o':
    // "-" is standard output, as for any Unix tool.
    if (strcmp(arg, "-") == 0) {
      s.flvPath = nullptr;
      s.bToStdout = true;
    } else {
      s.flvPath = arg;
      s.bToStdout = false;
    }
    break;
  case 'e':
    s.bResumeMode = true;
    break;
  case 'm':
    if (!ParseInt(arg, &n) || n < 0) {
      Log(LOG_LEVEL_ERROR, "--timeout must be a number of seconds from 0 to 2147483647, not %s!", arg);
      return 1;
    }
    s.nTimeout = static_cast<uint32_t>(n);
    break;
  case 'R':
    if (!ParseInt(arg, &n) || n < 0) {
      Log(LOG_LEVEL_ERROR, "--retry must be a number from 0 to 2147483647, not %s!", arg);
      return 1;
    }
    s.nRetry = static_cast<uint32_t>(n);
    break;
  case 'I':
    if (!ParseInt(arg, &n) || n < 0) {
      Log(LOG_LEVEL_ERROR, "--live-idle must be a number of seconds from 0 to 2147483647, not %s!", arg);
      return 1;
    }
    s.nLiveIdle = static_cast<uint32_t>(n);
    break;
  case 'b':
    if (!ParseLong(arg, &l) || l < INT_MIN || l > static_cast<long>(UINT32_MAX)) {
      Log(LOG_LEVEL_ERROR, "Buffer time %s does not fit in 32 bits, it must be at most 4294967295 ms!", arg);
      return 1;
    }
    if (l < 0) {
      Log(LOG_LEVEL_ERROR, "Buffer time must be greater than zero, ignoring the specified value %d!",
          static_cast<int>(l));
      break;
    }
    s.nBufferTime = static_cast<uint32_t>(l);
    s.bBufferTimeGiven = true;
    break;
  case 'k':
    if (!ParseInt(arg, &n)) {
      Log(LOG_LEVEL_ERROR, "Number of keyframes to skip %s is out of range!", arg);
      return 1;
    }
    if (n < 0) {
      Log(LOG_LEVEL_ERROR, "Number of keyframes skipped must be greater or equal zero, using zero!");
      n = 0;
    } else {
      Log(LOG_LEVEL_DEBUG, "Number of skipped key frames for resume: %d", n);
    }
    s.nSkipKeyframes = n;
    break;
  case 'd':
    s.subscribePath = arg;
    break;
  case 'A':
  case 'B':
    if (!ParseOffset(arg, opt == 'A' ? &s.nStartOffset : &s.nStopOffset)) {
      Log(LOG_LEVEL_ERROR, "--%s must be a number of seconds from 0 to 4294967, not %s!", LongName(opt), arg);
      return 1;
    }
    break;
  case '#':
    s.bHashProgress = true;
    break;
  case 'z':
    debuglevel = 5;
    break;
  case 'q':
    debuglevel = 0;
    break;
  case 'x':
    debuglevel = 4;
    break;
  default:
    LogPrintf("unknown option: %c\n", opt);
    break;
  }
  return -1;
}

// Fills the gaps the options left. Returns -1 to go on, otherwise the exit code.
int Validate(Settings &s)
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

}  // namespace

int ParseOptions(int argc, char **argv, Settings &settings)
{
  // Before the banner, so that quiet mode suppresses it; -qv is caught later.
  // --version prints the same line on standard output instead.
  bool bBanner = true;
  for (int i = 0; i < argc; i++) {
    if (strcmp(argv[i], "--quiet") == 0 || strcmp(argv[i], "-q") == 0)
      debuglevel = 0;
    if (strcmp(argv[i], "--version") == 0)
      bBanner = false;
  }

  if (bBanner)
    LogPrintf("Kavelo %s\n", KAVELO_VERSION);

  optind = 0;  // a full restart of getopt, should this run more than once
  for (;;) {
    // getopt's own complaints go straight to standard error; quiet means quiet.
    opterr = debuglevel != 0 ? 1 : 0;
    int index = 0;
    int opt = getopt_long(argc, argv, kShortOptions, kLongOptions, &index);
    if (opt == -1)
      break;
    if (optarg != nullptr && strlen(optarg) > kMaxOptionValue) {
      Log(LOG_LEVEL_ERROR, "The value of --%s is longer than 65535 bytes!", LongName(opt));
      return 1;
    }
    int nExitCode = ApplyOption(opt, optarg, settings);
    if (nExitCode >= 0)
      return nExitCode;
  }
  return Validate(settings);
}
