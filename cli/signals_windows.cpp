// Interrupts on Windows: Ctrl-C, Ctrl-Break and the closing of the console
// (or a log-off or shut-down) end a download as signals do on POSIX: the file
// whole and resumable, exit code 2. The console's handler runs on a thread of
// its own, so it ends the socket layer's waits itself.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <windows.h>

#include "cli/cli.h"
#include "foundation/log.h"
#include "rtmp/sockets.h"

namespace {

// The numbers the end of the run reports: those of the POSIX signals that
// mean the same (SIGHUP for a console that goes away).
const int kSignalInterrupt = SIGINT;
const int kSignalBreak = SIGBREAK;
const int kSignalHangUp = 1;

// Set when the program ends, so that the handler of a closing console lets
// Windows end the process only once the file is closed.
HANDLE hFinished = nullptr;

void NoteFinished()
{
  SetEvent(hFinished);
}

BOOL WINAPI OnConsoleEvent(DWORD nEvent)
{
  switch (nEvent) {
  case CTRL_C_EVENT:
    sigIntHandler(kSignalInterrupt);
    return TRUE;
  case CTRL_BREAK_EVENT:
    sigIntHandler(kSignalBreak);
    return TRUE;
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    sigIntHandler(kSignalHangUp);
    // Windows ends the process when this returns, and after a few seconds
    // in any case.
    WaitForSingleObject(hFinished, 10000);
    return TRUE;
  default:
    return FALSE;
  }
}

}  // namespace

void sigIntHandler(int sig)
{
  // A second interrupt has no effect; the download loop winds down on its own.
  if (bCtrlC)
    return;
  nCaughtSignal = sig;
  bCtrlC = 1;
  if (debuglevel != 0)
    fprintf(fmsg, "\nCaught signal: %d, cleaning up, just a second...\n", sig);
  RTMP_LIB::InterruptSockets();
}

void InstallSignalHandlers()
{
  hFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (hFinished != nullptr)
    atexit(NoteFinished);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
