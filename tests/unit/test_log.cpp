#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"

namespace {

TEST(Log, LevelsAgainstVerbosity)
{
  const struct {
    int debuglevel;
    int level;
    const char *message;
    const char *expected;
  } cases[] = {
      {1, LOG_LEVEL_WARNING, "w", ""},
      {1, LOG_LEVEL_ERROR, "x", "\rERROR: x\n"},
      {1, LOG_LEVEL_CRIT, "c", "\rCRIT: c\n"},
      {0, LOG_LEVEL_CRIT, "c", "\rCRIT: c\n"},
      {0, LOG_LEVEL_ERROR, "x", ""},
      {2, LOG_LEVEL_WARNING, "w", "\rWARNING: w\n"},
      {3, LOG_LEVEL_INFO, "i", "\rINFO: i\n"},
      {3, LOG_LEVEL_DEBUG, "d", ""},
      {4, LOG_LEVEL_DEBUG, "d", "\rDEBUG: d\n"},
      {5, 5, "five", "\rINFO: five\n"},
      {7, 7, "seven", "\rINFO: seven\n"},
      {1, -1, "negative", "\rINFO: negative\n"},
      // Unnamed AMF properties are noise below --debug, whatever their level.
      {4, LOG_LEVEL_ERROR, "prop no-name.", ""},
      {4, LOG_LEVEL_CRIT, "no-name", ""},
      {5, LOG_LEVEL_ERROR, "prop no-name.", "\rERROR: prop no-name.\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.debuglevel) + "/" + std::to_string(c.level) + " " + c.message);
    LogCapture capture(c.debuglevel);
    Log(c.level, "%s", c.message);
    EXPECT_EQ(c.expected, capture.Text());
  }
}

TEST(Log, NoNameFromAnArgumentIsAlsoHidden)
{
  LogCapture capture(4);
  Log(LOG_LEVEL_ERROR, "property %s.", "no-name");
  Log(LOG_LEVEL_ERROR, "%s%s", "no-", "name");
  EXPECT_EQ("", capture.Text());
}

TEST(Log, LongMessagesAreCut)
{
  const std::string text(3000, 'm');
  {
    LogCapture capture(1);
    Log(LOG_LEVEL_ERROR, "%s", text.c_str());
    EXPECT_EQ("\rERROR: " + std::string(2046, 'm') + "\n", capture.Text());
  }
  {
    LogCapture capture(1);
    LogPrintf("%s", text.c_str());
    EXPECT_EQ(std::string(2046, 'm'), capture.Text());
  }
}

TEST(LogPrintf, RawTextUnlessQuiet)
{
  {
    LogCapture capture(1);
    LogPrintf("\r%.3f kB", 1.5);
    LogPrintf("%d", 7);
    EXPECT_EQ("\r1.500 kB7", capture.Text());
  }
  {
    LogCapture capture(0);
    LogPrintf("banner\n");
    LogHex("\x01\x02", 2);
    LogHexString("AB", 2);
    EXPECT_EQ("", capture.Text());
  }
}

TEST(LogHex, BytesAsHexThenText)
{
  const struct {
    bool bString;
    std::string bytes;
    std::string expected;
  } cases[] = {
      {false, std::string("\x00\x7f\x80\xff", 4), "00 7F 80 FF \n"},
      {false, "", "\n"},
      // The zero byte prints as an empty string through %c and is lost.
      {true, std::string("\x41\x00\xff", 3), "41 00 FF \nA\xff\n"},
      {true, "", "\n\n"},
  };
  for (const auto &c : cases) {
    LogCapture capture(1);
    if (c.bString)
      LogHexString(c.bytes.data(), c.bytes.size());
    else
      LogHex(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(c.expected, capture.Text());
  }
}

// A line left open (a status line, a row of hashes) gives way to the next
// text: on a terminal a status line is blanked out and overwritten, elsewhere
// every line is whole and no carriage return is written.
TEST(LogLines, OpenLinesOnAndOffATerminal)
{
  const struct {
    bool bTerminal;
    void (*write)();
    std::string expected;
  } cases[] = {
      {false, [] { LogPrintf("#"); LogPrintf("#"); Log(LOG_LEVEL_ERROR, "x"); }, "##\nERROR: x\n"},
      {false, [] { LogPrintf("\rMetadata:\n"); LogPrintf("\r1 kB"); LogPrintf("\r2 kB"); }, "Metadata:\n1 kB\n2 kB"},
      {false, [] { LogStatus("a"); LogStatus("b"); LogEndLine(); LogEndLine(); }, "a\nb\n"},
      {true, [] { LogStatus("long status"); Log(LOG_LEVEL_ERROR, "x"); }, "\rlong status\r           \r\rERROR: x\n"},
      {true, [] { LogStatus("abcdef"); LogStatus("abc"); LogEndLine(); }, "\rabcdef\rabc   \n"},
      {true, [] { LogPrintf("#"); LogStatus("s"); LogPrintf("\nStop\n"); }, "#\n\rs\nStop\n"},
      // A status line that wrapped could not be rewritten: it is cut to the width.
      {true, [] { LogStatus(std::string(100, 'w').c_str()); }, "\r" + std::string(79, 'w')},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.expected);
    LogCapture capture(1, c.bTerminal);
    c.write();
    EXPECT_EQ(c.expected, capture.Text());
  }
  LogCapture quiet(0, true);
  LogStatus("nothing");
  LogEndLine();
  EXPECT_EQ("", quiet.Text());
}

TEST(LogSetOutput, SwitchesTheStream)
{
  LogCapture first(1);
  {
    LogCapture second(1);
    Log(LOG_LEVEL_ERROR, "to second");
    EXPECT_EQ("\rERROR: to second\n", second.Text());
  }
  Log(LOG_LEVEL_ERROR, "to first");
  EXPECT_EQ("\rERROR: to first\n", first.Text());
}

}  // namespace
