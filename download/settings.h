// What one download run needs from whoever starts it: the settings, the
// interrupt flag and the entry point.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>

#define DEFAULT_FLASH_VER "LNX 10,0,22,87"

// The run's settings, filled by the command line and read by the download.
struct Settings {
  const char *host = nullptr;
  int port = -1;
  int protocol = -1;
  const char *playpath = nullptr;
  const char *app = nullptr;
  const char *tcUrl = nullptr;
  const char *swfUrl = nullptr;
  const char *pageUrl = nullptr;
  const char *auth = nullptr;
  const char *flashVer = nullptr;
  const char *subscribePath = nullptr;
  const char *flvPath = nullptr;
  bool bToStdout = true;
  bool bResumeMode = false;  // with bLiveStream: append to the recording in the file
  bool bLiveStream = false;
  bool bHashProgress = false;
  bool bBufferTimeGiven = false;
  uint32_t nBufferTime = 36000000;  // ten hours
  uint32_t nTimeout = 300;
  uint32_t nRetry = 0;  // reconnections in a row after lost connections
  uint32_t nLiveIdle = 0;  // seconds without media that end a live recording; 0 never
  int nSkipKeyframes = 0;
  uint32_t nStartOffset = 0;
  uint32_t nStopOffset = 0;
};

// Set by the signal handler, read once per pass by the download loop.
extern volatile sig_atomic_t bCtrlC;
// The signal that set bCtrlC.
extern volatile sig_atomic_t nCaughtSignal;
// The output stream.
extern FILE *file;

// From starting the socket layer to the exit code.
int Download(Settings &settings);
