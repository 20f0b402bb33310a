#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "cli/command_line.h"
#include "cli/duration.h"
#include "cli/url_option.h"
#include "foundation/log.h"
#include "url/parseurl.h"

namespace {

// The leading ':' tells a missing argument (':') from an unknown option ('?').
const char kShortOptions[] = ":hveqxzr:s:t:p:a:f:o:u:n:c:l:y:m:k:d:A:B:b:#";

// 'V' has no short form on purpose: -V is an unknown option.
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
// Options whose value is a whole number.
const char kNumberOptions[] = "clmRbk";

const char *LongName(int letter)
{
  for (const struct option *o = kLongOptions; o->name != nullptr; o++)
    if (o->val == letter)
      return o->name;
  return "?";
}

// An optional sign and decimal digits, nothing else: "19x" or "" would
// otherwise quietly count as 19 or 0 and change what is recorded.
bool IsWholeNumber(const char *text)
{
  if (*text == '+' || *text == '-')
    text++;
  if (*text == '\0')
    return false;
  for (; *text != '\0'; text++)
    if (!isdigit(static_cast<unsigned char>(*text)))
      return false;
  return true;
}

// A whole number, as checked above; false when it does not fit.
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

// Where the usage goes: standard output when asked for, standard error after
// a mistake.
FILE *pUsageOut = stdout;

void PrintRow(const char *option, const char *text)
{
  fprintf(pUsageOut, "%-24s%s", option, text);
}

void PrintUsage(FILE *out, const Settings &s)
{
  char line[256];
  pUsageOut = out;
  fprintf(out, "\nThis program streams the flv media content from an rtmp server to stdout.\n\n");
  PrintRow("--help|-h", "Prints this help screen.\n");
  PrintRow("--version", "Prints the version and exits.\n");
  PrintRow("--rtmp|-r url", "URL (e.g. rtmp//hotname[:port]/path), also taken without -r\n");
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
  PrintRow("--start|-A time", "Start at time into stream, as 90, 90.5, 90s, 1.5m, 2h, 1:30 or 1:02:03.5 "
                              "(not valid when using --live)\n");
  PrintRow("--stop|-B time", "Stop at time into stream (or duration of live stream to play)\n");
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
  fprintf(out, "If you don't pass parameters for swfUrl, pageUrl, app or auth these properties will not be "
               "included in the connect ");
  fprintf(out, "packet.\n\n");
}

// --timeout, --retry, --live-idle: a whole number from 0 to INT_MAX.
bool ParseCount(const char *arg, const char *szOption, const char *szWhat, uint32_t &nValue)
{
  int n;
  if (!ParseInt(arg, &n) || n < 0) {
    Log(LOG_LEVEL_ERROR, "%s must be %s from 0 to 2147483647, not %s!", szOption, szWhat, arg);
    return false;
  }
  nValue = static_cast<uint32_t>(n);
  return true;
}

// The option at argv[optind - 1] as the user wrote it: "--name" without a
// value, or "-c" for a short one.
void OptionText(int argc, char **argv, char *text, size_t size)
{
  const char *arg = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
  if (strncmp(arg, "--", 2) == 0)
    snprintf(text, size, "%.*s", static_cast<int>(strcspn(arg, "=")), arg);
  else
    snprintf(text, size, "-%c", optopt != 0 ? optopt : '?');
}

// getopt's own complaints are off; these name the option and give the hint.
int RefuseOption(int opt, int argc, char **argv)
{
  char text[64];
  OptionText(argc, argv, text, sizeof text);
  if (opt == ':')
    Log(LOG_LEVEL_ERROR, "Option %s needs a value (try --help)", text);
  else if (optopt != 0 && text[1] == '-')
    Log(LOG_LEVEL_ERROR, "Option %s takes no value (try --help)", text);
  else
    Log(LOG_LEVEL_ERROR, "Unknown option %s (try --help)", text);
  return 1;
}

// Applies one option. Returns -1 to go on, otherwise the exit code.
int ApplyOption(int opt, const char *arg, Settings &s, CommandLine &cl)
{
  int n;
  long l;
  switch (opt) {
  case 'h':
    PrintUsage(stdout, s);
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
      Log(LOG_LEVEL_ERROR, "Unknown protocol specified: %s; use 0 (rtmp) or 2 (rtmps)", arg);
      return 1;
    }
    if (n != RTMP_PROTOCOL_RTMP && n != RTMP_PROTOCOL_RTMPS) {
      if (n > 0 && n <= RTMP_PROTOCOL_RTMFP)
        Log(LOG_LEVEL_ERROR, "Protocol %d (%s) is not supported; use 0 (rtmp) or 2 (rtmps)", n,
            RTMPProtocolStringsLower[n]);
      else
        Log(LOG_LEVEL_ERROR, "Unknown protocol specified: %d; use 0 (rtmp) or 2 (rtmps)", n);
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
    cl.bUrlOption = true;
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
    cl.bStdoutForced = strcmp(arg, "-") == 0;
    s.flvPath = cl.bStdoutForced ? nullptr : arg;
    s.bToStdout = cl.bStdoutForced;
    break;
  case 'e':
    s.bResumeMode = true;
    break;
  case 'm':
    if (!ParseCount(arg, "--timeout", "a number of seconds", s.nTimeout))
      return 1;
    break;
  case 'R':
    if (!ParseCount(arg, "--retry", "a number", s.nRetry))
      return 1;
    break;
  case 'I':
    if (!ParseCount(arg, "--live-idle", "a number of seconds", s.nLiveIdle))
      return 1;
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
    if (!ParseDuration(arg, opt == 'A' ? &s.nStartOffset : &s.nStopOffset)) {
      Log(LOG_LEVEL_ERROR,
          "--%s must be a time of at most 4294967 s such as 90, 90.5, 90s, 1.5m, 2h, 1:30 or 1:02:03.5, "
          "not %s (try --help)",
          LongName(opt), arg);
      return 1;
    }
    (opt == 'A' ? cl.szStart : cl.szStop) = arg;
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
  }
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
  if (argc <= 1) {
    if (debuglevel != 0)
      PrintUsage(stderr, settings);
    return 1;
  }

  CommandLine cl;
  optind = 0;  // a full restart of getopt, should this run more than once
  opterr = 0;
  for (;;) {
    int index = 0;
    int opt = getopt_long(argc, argv, kShortOptions, kLongOptions, &index);
    if (opt == -1)
      break;
    if (opt == '?' || opt == ':')
      return RefuseOption(opt, argc, argv);
    if (optarg != nullptr && strlen(optarg) > kMaxOptionValue) {
      Log(LOG_LEVEL_ERROR, "The value of --%s is longer than 65535 bytes!", LongName(opt));
      return 1;
    }
    if (strchr(kNumberOptions, opt) != nullptr && !IsWholeNumber(optarg)) {
      Log(LOG_LEVEL_ERROR, "--%s must be a whole number, not %s (try --help)", LongName(opt), optarg);
      return 1;
    }
    int nExitCode = ApplyOption(opt, optarg, settings, cl);
    if (nExitCode >= 0)
      return nExitCode;
  }
  int nExitCode = ApplyOperands(optind, argc, argv, settings, cl);
  return nExitCode >= 0 ? nExitCode : Validate(settings, cl);
}
