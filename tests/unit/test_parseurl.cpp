#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>

#include "log_capture.h"
#include "url/parseurl.h"

namespace {

const char *kNone = nullptr;
const int kNoPort = -1;

// The outputs start empty, as the command line sets them, and are freed after.
struct Parsed {
  bool bResult = false;
  int protocol = -1;
  char *host = nullptr;
  unsigned int port = 0;
  bool bPortWritten = false;
  char *playpath = nullptr;
  char *app = nullptr;
  std::string log;

  explicit Parsed(const std::string &url, int level = LOG_LEVEL_WARNING)
  {
    LogCapture capture(level);
    const unsigned int kSentinel = 0xDEADBEEF;
    port = kSentinel;
    bResult = ParseUrl(url.c_str(), &protocol, &host, &port, &playpath, &app);
    bPortWritten = port != kSentinel;
    log = capture.Text();
  }
  ~Parsed()
  {
    free(host);
    free(playpath);
    free(app);
  }
};

std::string Warn(const std::string &text)
{
  return "\rWARNING: " + text + "\n";
}

std::string Err(const std::string &text)
{
  return "\rERROR: " + text + "\n";
}

struct UrlCase {
  std::string url;
  bool bResult;
  int protocol;
  const char *host;
  int port;
  const char *app;
  const char *playpath;
  std::string log;  // warnings and errors, exactly
};

void ExpectString(const char *expected, const char *actual, const char *what)
{
  if (expected == nullptr)
    EXPECT_EQ(actual, nullptr) << what << " should not be written";
  else if (actual == nullptr)
    ADD_FAILURE() << what << " not written, expected \"" << expected << "\"";
  else
    EXPECT_STREQ(expected, actual) << what;
}

TEST(ParseUrl, Table)
{
  const std::string longHost(251, 'h');
  const std::string shorterHost(250, 'h');
  const UrlCase cases[] = {
      {"rtmp://host/app/stream", true, 0, "host", kNoPort, "app", "stream", ""},
      {"RTMPE://Host:1936/vod/mp4:clip.mp4", true, 3, "Host", 1936, "vod", "mp4:clip.mp4", ""},
      {"rtmp://host/vod/clip.f4v", true, 0, "host", kNoPort, "vod", "mp4:clip.f4v", ""},
      {"rtmp://host/vod/clip.mp4", true, 0, "host", kNoPort, "vod", "mp4:clip.mp4", ""},
      {"rtmp://host/vod/clip.flv", true, 0, "host", kNoPort, "vod", "clip", ""},
      {"rtmp://host/vod/clip.FLV", true, 0, "host", kNoPort, "vod", "clip.FLV", ""},
      {"rtmp://host/vod/.flv", true, 0, "host", kNoPort, "vod", "", ""},
      {"rtmp://host/a/b/c/d.flv", true, 0, "host", kNoPort, "a/b", "c/d", ""},
      {"rtmp://host/ondemand/x/y.flv", true, 0, "host", kNoPort, "ondemand", "x/y", ""},
      {"rtmp://host/app?slist=mp4:file&x=1", true, 0, "host", kNoPort, "app?slist=mp4:file&x=1", "mp4:file", ""},
      {"rtmp://host/app?slist=clip.flv", true, 0, "host", kNoPort, "app?slist=clip.flv", "clip.flv", ""},
      {"rtmp://host/app/stream?token=a/b", true, 0, "host", kNoPort, "app/stream?token=a", "b", ""},
      {"rtmp://host:/app/s", true, 0, "host", 1935, "app", "s", ""},
      {"rtmp://host:0/app/s", true, 0, "host", 1935, "app", "s", ""},
      {"rtmp://host:123456/app/s", true, 0, "host", kNoPort, "app", "s",
       Warn("Port number is longer than 5 characters!")},
      // A port that ends the URL is read up to the end, not one past it.
      {"rtmp://host:19350", true, 0, "host", 19350, kNone, kNone, Warn("No application or playpath in URL!")},
      {"rtmp://host:", true, 0, "host", 1935, kNone, kNone, Warn("No application or playpath in URL!")},
      {"rtmp://host:123456", true, 0, "host", kNoPort, kNone, kNone,
       Warn("Port number is longer than 5 characters!") + Warn("No application or playpath in URL!")},
      {"rtmp://host", true, 0, "host", kNoPort, kNone, kNone, Warn("No application or playpath in URL!")},
      {"rtmp://host?x=1", true, 0, "host", kNoPort, kNone, kNone, Warn("No application or playpath in URL!")},
      {"rtmp://host/app", true, 0, "host", kNoPort, "app", kNone,
       Err("No playpath found!") + Warn("No playpath in URL!")},
      {"rtmp://host/app/", true, 0, "host", kNoPort, "app", "", ""},
      {"rtmp://:1935/app/s", true, 0, "", 1935, "app", "s", ""},
      {"rtmpx://host/app/s", true, 0, "host", kNoPort, "app", "s", Warn("Unknown protocol!\n")},
      {"rtmpt://host/app/s", true, 1, "host", kNoPort, "app", "s", ""},
      {"RtMpTe://host/app/s", true, 4, "host", kNoPort, "app", "s", ""},
      {"rtmfp://host/app/s", true, 5, "host", kNoPort, "app", "s", ""},
      {"host/app/s", false, 0, kNone, kNoPort, kNone, kNone, Warn("RTMP URL: No :// in url!")},
      {"rtmp://", false, 0, kNone, kNoPort, kNone, kNone, Warn("No hostname in URL!")},
      {"://h/a/s", true, 0, "h", kNoPort, "a", "s", Warn("Unknown protocol!\n")},
      // IPv6 literals stand in brackets; the host is what they hold.
      {"rtmp://[::1]:1935/app/stream", true, 0, "::1", 1935, "app", "stream", ""},
      {"rtmp://[::1]/app/stream", true, 0, "::1", kNoPort, "app", "stream", ""},
      {"rtmp://[2001:db8::a:1]:19350/a/b/c.flv", true, 0, "2001:db8::a:1", 19350, "a/b", "c", ""},
      {"rtmp://[fe80::1%25lo]:1/a/s", true, 0, "fe80::1%25lo", 1, "a", "s", ""},
      {"rtmp://[::1]", true, 0, "::1", kNoPort, kNone, kNone, Warn("No application or playpath in URL!")},
      {"rtmp://[::1]:", true, 0, "::1", 1935, kNone, kNone, Warn("No application or playpath in URL!")},
      {"rtmp://[::1]?x=1", true, 0, "::1", kNoPort, kNone, kNone, Warn("No application or playpath in URL!")},
      {"rtmp://[127.0.0.1]:80/a/s", true, 0, "127.0.0.1", 80, "a", "s", ""},
      {"rtmps://[::1]/a/s", true, 2, "::1", kNoPort, "a", "s", ""},
      {"rtmp://[::1/a/s", false, 0, kNone, kNoPort, kNone, kNone, Warn("RTMP URL: Invalid IPv6 address in brackets!")},
      {"rtmp://[]:1935/a/s", false, 0, kNone, kNoPort, kNone, kNone,
       Warn("RTMP URL: Invalid IPv6 address in brackets!")},
      {"rtmp://[::1]x/a/s", false, 0, kNone, kNoPort, kNone, kNone, Warn("RTMP URL: Invalid IPv6 address in brackets!")},
      // The bracket after the first slash belongs to the path.
      {"rtmp://[::1/a]/s", false, 0, kNone, kNoPort, kNone, kNone, Warn("RTMP URL: Invalid IPv6 address in brackets!")},
      {"rtmp://h/[a]/s", true, 0, "h", kNoPort, "[a]", "s", ""},
      // rtmps services listen on 443; port 0 means the scheme's default.
      {"rtmps://host/app/s", true, 2, "host", kNoPort, "app", "s", ""},
      {"rtmps://host:0/app/s", true, 2, "host", 443, "app", "s", ""},
      {"rtmps://host:8443/app/s", true, 2, "host", 8443, "app", "s", ""},
      // Host, colon and port together: 255 characters are a host, 256 are not.
      {"rtmp://" + shorterHost + ":1935/app/s", true, 0, shorterHost.c_str(), 1935, "app", "s", ""},
      {"rtmp://" + longHost + ":1935/app/s", true, 0, kNone, 1935, "app", "s",
       Warn("Hostname exceeds 255 characters!")},
  };
  for (const UrlCase &c : cases) {
    SCOPED_TRACE(c.url);
    Parsed p(c.url);
    EXPECT_EQ(c.bResult, p.bResult);
    EXPECT_EQ(c.protocol, p.protocol);
    ExpectString(c.host, p.host, "host");
    if (c.port == kNoPort)
      EXPECT_FALSE(p.bPortWritten) << "port " << p.port;
    else
      EXPECT_EQ(static_cast<unsigned int>(c.port), p.port);
    ExpectString(c.app, p.app, "app");
    ExpectString(c.playpath, p.playpath, "playpath");
    EXPECT_EQ(c.log, p.log);
  }
}

// A five-digit port is taken as it stands; refusing one above 65535 is the
// caller's business.
TEST(ParseUrl, FiveDigitPortsAreStoredAsRead)
{
  const struct {
    const char *url;
    unsigned int port;
  } cases[] = {
      {"rtmp://h:65535/a/s", 65535},
      {"rtmp://h:99999/a/s", 99999},
      {"rtmp://h:12x/a/s", 12},
      {"rtmp://h:abc/a/s", 1935},
      {"rtmp://h:-1/a/s", static_cast<unsigned int>(-1)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.url);
    Parsed p(c.url);
    EXPECT_TRUE(p.bResult);
    EXPECT_EQ(c.port, p.port);
  }
}

TEST(ParseUrl, DebugLinesLineUp)
{
  Parsed p("rtmps://Host:1936/live/cam.flv", LOG_LEVEL_DEBUG);
  EXPECT_EQ("\rDEBUG: Parsing...\n"
            "\rDEBUG: Parsed protocol: 2\n"
            "\rDEBUG: Parsed host    : Host\n"
            "\rDEBUG: Parsed port    : 1936\n"
            "\rDEBUG: Parsed app     : live\n"
            "\rDEBUG: Parsed playpath: cam\n",
            p.log);
}

TEST(ParseUrl, QuietParseLogsNothing)
{
  Parsed p("host/app/s", 0);
  EXPECT_FALSE(p.bResult);
  EXPECT_EQ("", p.log);
}

// Each lower-case name is a scheme the parser maps back to its own row, and
// the upper-case table spells the same name.
TEST(ParseUrl, ProtocolTablesMatchTheParser)
{
  for (int i = 0; i < 6; i++) {
    SCOPED_TRACE(i);
    Parsed p(std::string(RTMPProtocolStringsLower[i]) + "://h/a/s");
    EXPECT_EQ(i, p.protocol);
    EXPECT_EQ("", p.log);
    std::string upper(RTMPProtocolStringsLower[i]);
    for (char &ch : upper)
      ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    EXPECT_STREQ(upper.c_str(), RTMPProtocolStrings[i]);
  }
}

TEST(ParseUrl, InputIsNotModified)
{
  char url[] = "RTMP://Host:1935/App/Clip.flv";
  const std::string before = url;
  Parsed p(url);
  EXPECT_EQ(before, url);
}

TEST(Str2Lower, CopiesTheFirstCharactersLowered)
{
  const struct {
    const char *text;
    int n;
    const char *expected;
  } cases[] = {
      {"RtMp", 4, "rtmp"},
      {"RTMPTE://x", 6, "rtmpte"},
      {"ABC", 0, ""},
      {"a1-B", 4, "a1-b"},
  };
  for (const auto &c : cases) {
    char *lower = str2lower(c.text, c.n);
    EXPECT_STREQ(c.expected, lower);
    free(lower);
  }
}

TEST(ParseUrlDeathTest, NullArgumentStops)
{
  int protocol;
  char *host = nullptr;
  unsigned int port = 0;
  char *playpath = nullptr;
  char *app = nullptr;
  EXPECT_DEATH(ParseUrl(nullptr, &protocol, &host, &port, &playpath, &app),
               "url != 0 && protocol != 0 && host != 0 && port != 0 && playpath != 0 && app != 0");
  EXPECT_DEATH(ParseUrl("rtmp://h/a/s", &protocol, &host, &port, nullptr, &app), "Assertion");
}

}  // namespace
