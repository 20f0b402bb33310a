// The command line: options into the settings of a download, and signals.
#pragma once

#include "download/settings.h"

void sigIntHandler(int sig);
void InstallSignalHandlers();

// Start-up: quiet scan, banner, options, URL merge, validation. Returns -1
// when the download should run, otherwise the exit code to end with.
int ParseOptions(int argc, char **argv, Settings &settings);
