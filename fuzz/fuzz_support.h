// Shared set-up of the fuzz targets.
#pragma once

#include <cstdio>

#include "foundation/log.h"

// Log lines are still formatted (at every level when bAllLevels), so that
// formatting is fuzzed too; printing them goes nowhere.
inline void SilenceLog(bool bAllLevels)
{
  static FILE *sink = fopen("/dev/null", "w");
  if (sink != nullptr)
    LogSetOutput(sink);
  if (bAllLevels)
    debuglevel = LOG_LEVEL_DEBUG + 1;
}
