#include <gtest/gtest.h>

#include <cstdint>

#include "cli/duration.h"

namespace {

const uint32_t kRefused = UINT32_MAX;

struct DurationCase {
  const char *text;
  uint32_t ms;  // kRefused: not a time
};

// Truncated toward zero, as the offsets always were.
const DurationCase kCases[] = {
    {"90", 90000},
    {"90.5", 90500},
    {"0.0004", 0},
    {".5", 500},
    {"5.", 5000},
    {"90s", 90000},
    {"1.5m", 90000},
    {"2h", 7200000},
    {"0.0001h", 360},
    {"1:30", 90000},
    {"90:00", 5400000},
    {"1:02:03.5", 3723500},
    {"0:00:00.0019", 1},
    {"4294967", 4294967000u},
    {"1193:02:47", 4294967000u},
    {"4294967.001", kRefused},
    {"1193:02:48", kRefused},
    {"99999999999h", kRefused},
    {"", kRefused},
    {"s", kRefused},
    {".", kRefused},
    {"5x", kRefused},
    {"abc", kRefused},
    {"-1", kRefused},
    {"+1", kRefused},
    {" 1", kRefused},
    {"1e3", kRefused},
    {"inf", kRefused},
    {"1.5.5", kRefused},
    {"90ms", kRefused},
    {"1:5", kRefused},
    {"1:60", kRefused},
    {"1:030", kRefused},
    {"1.5:30", kRefused},
    {":30", kRefused},
    {"1:", kRefused},
    {"1:02:03:04", kRefused},
    {"1:30s", kRefused},
};

TEST(Duration, AcceptedFormsAndRefusals)
{
  for (const DurationCase &c : kCases) {
    SCOPED_TRACE(c.text);
    uint32_t ms = 12345;
    bool bParsed = ParseDuration(c.text, &ms);
    EXPECT_EQ(c.ms != kRefused, bParsed);
    EXPECT_EQ(bParsed ? c.ms : 12345u, ms);
  }
}

}  // namespace
