// The command line as a whole: what is left once the options are read.
#pragma once

#include "download/settings.h"

// What the option parse notes beside the settings.
struct CommandLine {
  bool bUrlOption = false;     // --rtmp given
  bool bStdoutForced = false;  // -o -: FLV even to a terminal
  const char *szStart = nullptr;
  const char *szStop = nullptr;
};

// The arguments that are not options: at most one, the URL, unless --rtmp
// gave one. Returns -1 to go on, otherwise the exit code.
int ApplyOperands(int first, int argc, char **argv, Settings &s, const CommandLine &cl);

// Refuses what cannot be meant and fills the gaps the options left. Returns
// -1 to go on, otherwise the exit code.
int Validate(Settings &s, const CommandLine &cl);
