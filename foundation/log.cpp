#include "foundation/log.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "foundation/files.h"

int debuglevel = 1;
FILE *fmsg = stderr;

namespace {

const int kMaxMessage = 2048;

// Where the cursor stands: the line written last may be left open (a status
// line, a row of hashes) for the next text to replace or to continue.
int nTerminal = -1;      // -1: not yet looked at
size_t nColumn = 0;      // characters on the open line, 0 at the start of a line
bool bStatusShown = false;  // the open line is a status line, which may be erased
size_t nStatusWidth = 0;

void Emit(const char *text)
{
  const bool bTerminal = LogIsTerminal();
  for (const char *p = text; *p != '\0'; p++) {
    if (*p == '\r') {
      // Off a terminal a carriage return would garble the file: the text goes
      // on a line of its own instead (see StartLine).
      if (!bTerminal)
        continue;
      nColumn = 0;
    } else if (*p == '\n') {
      nColumn = 0;
      bStatusShown = false;
    } else {
      nColumn++;
    }
    fputc(*p, fmsg);
  }
}

// Puts the cursor at the start of a free line: a status line on a terminal
// is erased, any other open line is ended.
void StartLine()
{
  if (bStatusShown && LogIsTerminal()) {
    fputc('\r', fmsg);
    for (size_t i = 0; i < nStatusWidth; i++)
      fputc(' ', fmsg);
    fputc('\r', fmsg);
  } else if (nColumn > 0 || bStatusShown) {
    fputc('\n', fmsg);
  }
  nColumn = 0;
  bStatusShown = false;
  nStatusWidth = 0;
}

const char *LevelWord(int level)
{
  switch (level) {
  case LOG_LEVEL_CRIT:
    return "CRIT";
  case LOG_LEVEL_ERROR:
    return "ERROR";
  case LOG_LEVEL_WARNING:
    return "WARNING";
  case LOG_LEVEL_DEBUG:
    return "DEBUG";
  default:
    return "INFO";
  }
}

}  // namespace

void Log(int level, const char *format, ...)
{
  char str[kMaxMessage] = {0};
  va_list args;
  va_start(args, format);
  vsnprintf(str, kMaxMessage - 1, format, args);
  va_end(args);

  // Unnamed AMF properties dump as "no-name."; they are noise below --debug.
  if (debuglevel <= LOG_LEVEL_DEBUG && strstr(str, "no-name") != nullptr)
    return;

  if (level <= debuglevel) {
    StartLine();
    fprintf(fmsg, LogIsTerminal() ? "\r%s: %s\n" : "%s: %s\n", LevelWord(level), str);
  }
  fflush(fmsg);
}

void LogPrintf(const char *format, ...)
{
  // Level 0 shows no text, so none is made: the progress line is formatted
  // every 200 kB of a quiet download for nothing otherwise.
  if (debuglevel == 0)
    return;
  char str[kMaxMessage] = {0};
  va_list args;
  va_start(args, format);
  vsnprintf(str, kMaxMessage - 1, format, args);
  va_end(args);

  // Text that starts with a carriage return wants a line of its own; a
  // status line gives way to anything but a line end.
  if (str[0] == '\r' || (bStatusShown && str[0] != '\n'))
    StartLine();
  Emit(str);
  fflush(fmsg);
}

void LogHex(const char *data, unsigned long len)
{
  if (debuglevel == 0)
    return;
  for (unsigned long i = 0; i < len; i++)
    LogPrintf("%02X ", static_cast<unsigned char>(data[i]));
  LogPrintf("\n");
}

void LogHexString(const char *data, unsigned long len)
{
  if (debuglevel == 0)
    return;
  LogHex(data, len);
  for (unsigned long i = 0; i < len; i++)
    LogPrintf("%c", static_cast<unsigned char>(data[i]));
  LogPrintf("\n");
}

void LogSetOutput(FILE *file)
{
  fmsg = file;
  nTerminal = -1;
  nColumn = 0;
  bStatusShown = false;
}

bool LogIsTerminal()
{
  if (nTerminal < 0)
    nTerminal = IsTerminal(fmsg) ? 1 : 0;
  return nTerminal == 1;
}

void LogSetTerminal(bool bTerminal)
{
  nTerminal = bTerminal ? 1 : 0;
}

int LogColumns()
{
  int nColumns = LogIsTerminal() ? TerminalColumns(fmsg) : 0;
  return nColumns > 0 ? nColumns : 80;
}

void LogStatus(const char *text)
{
  if (debuglevel == 0)
    return;
  if (!LogIsTerminal()) {
    StartLine();
    fprintf(fmsg, "%s\n", text);
    fflush(fmsg);
    return;
  }
  // A line that wraps could not be rewritten in place.
  const size_t nWidth = std::min(strlen(text), static_cast<size_t>(LogColumns() - 1));
  if (!bStatusShown && nColumn > 0)
    StartLine();
  fputc('\r', fmsg);
  fwrite(text, 1, nWidth, fmsg);
  // What is left of a longer earlier status is blanked out.
  for (size_t i = nWidth; i < nStatusWidth; i++)
    fputc(' ', fmsg);
  if (nWidth > nStatusWidth)
    nStatusWidth = nWidth;
  nColumn = nStatusWidth;
  bStatusShown = true;
  fflush(fmsg);
}

void LogEndLine()
{
  if (debuglevel == 0)
    return;
  if (nColumn > 0 || bStatusShown) {
    fputc('\n', fmsg);
    fflush(fmsg);
  }
  nColumn = 0;
  bStatusShown = false;
  nStatusWidth = 0;
}
