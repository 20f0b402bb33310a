// Interrupts on POSIX systems: hang-up, Ctrl-C, termination and quit end a
// download with its file whole and resumable (exit code 2).
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "cli/cli.h"
#include "foundation/log.h"


namespace {

// Hang-up, interrupt, termination, quit: the order they are set in. A broken
// pipe is no interruption: the reader of the output quit, and the failed
// write (EPIPE) ends the run with its own short line.
const int kSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT};

void SetDisposition(int sig, void (*handler)(int))
{
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: the signal must break a blocking receive, or a stalled
  // download could not be stopped.
  action.sa_flags = 0;
  sigaction(sig, &action, nullptr);
}

// Appends the decimal digits of n; snprintf is not async-signal-safe.
size_t FormatInt(char *out, int n)
{
  char digits[12];
  size_t count = 0;
  unsigned int u = n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
  do {
    digits[count++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  size_t pos = 0;
  if (n < 0)
    out[pos++] = '-';
  while (count > 0)
    out[pos++] = digits[--count];
  return pos;
}

size_t Append(char *out, const char *text)
{
  size_t len = strlen(text);
  memcpy(out, text, len);
  return len;
}

}  // namespace

void sigIntHandler(int sig)
{
  int nSavedErrno = errno;
  bCtrlC = 1;
  nCaughtSignal = sig;
  if (debuglevel != 0) {
    char line[96];
    size_t len = Append(line, "\nCaught signal: ");
    len += FormatInt(line + len, sig);
    len += Append(line + len, ", cleaning up, just a second...\n");
    ssize_t nWritten = write(fileno(fmsg), line, len);
    (void)nWritten;  // nothing sensible to do about a failed write here
  }
  // A second interrupt has no effect; the download loop winds down on its own.
  for (int s : kSignals)
    SetDisposition(s, SIG_IGN);
  SetDisposition(SIGPIPE, SIG_IGN);
  errno = nSavedErrno;
}

void InstallSignalHandlers()
{
  for (int s : kSignals)
    SetDisposition(s, sigIntHandler);
  SetDisposition(SIGPIPE, SIG_IGN);
}
