#include "foundation/log.h"

#include <cstdarg>
#include <cstring>

int debuglevel = 1;
FILE *fmsg = stderr;

namespace {

const int kMaxMessage = 2048;

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

  if (level <= debuglevel)
    fprintf(fmsg, "\r%s: %s\n", LevelWord(level), str);
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

  fputs(str, fmsg);
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
}
