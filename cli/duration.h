// Times given on the command line (--start, --stop).
#pragma once

#include <cstdint>

// Reads a time into whole milliseconds, truncated toward zero: seconds
// ("90", "90.5"), a number with a unit ("90s", "1.5m", "2h"), or a clock
// ("1:30", "1:02:03.5": minutes and seconds of two digits each, below 60).
// False for anything else, a sign included, and for more than 4294967 s.
bool ParseDuration(const char *text, uint32_t *ms);
