// The URL of the stream as the command line takes it (--rtmp, or alone).
#pragma once

#include "download/settings.h"

// Parses url and fills what the settings still lack, so explicit options win
// wherever they stand and the first of several URLs wins. False (after an
// error message) for a URL this program must not use: one it cannot parse,
// a scheme it does not speak, credentials, a port out of range.
bool MergeUrl(const char *url, Settings &s);
