// Levelled log lines and raw console text, both on one stream (standard error
// by default) so that standard output stays free for the FLV stream.
#pragma once

#include <cstdio>

#define LOG_LEVEL_CRIT 0
#define LOG_LEVEL_ERROR 1
#define LOG_LEVEL_WARNING 2
#define LOG_LEVEL_INFO 3
#define LOG_LEVEL_DEBUG 4

extern int debuglevel;
extern FILE *fmsg;

// Windows builds use mingw's C99 printf (__USE_MINGW_ANSI_STDIO), so the
// formats are checked as GNU ones there too (%zu, %llu).
#ifdef _WIN32
#define KAVELO_PRINTF_FORMAT gnu_printf
#else
#define KAVELO_PRINTF_FORMAT printf
#endif

void Log(int level, const char *format, ...) __attribute__((format(KAVELO_PRINTF_FORMAT, 2, 3)));
void LogPrintf(const char *format, ...) __attribute__((format(KAVELO_PRINTF_FORMAT, 1, 2)));
void LogHex(const char *data, unsigned long len);
void LogHexString(const char *data, unsigned long len);
void LogSetOutput(FILE *file);

// On a terminal, progress is one status line rewritten in place and log lines
// start with a carriage return that puts them over it. Anywhere else (a log
// file, a service's journal) every line is whole: no carriage return is ever
// written. Set from the output by LogSetOutput and at the first write;
// LogSetTerminal overrides it.
bool LogIsTerminal();
void LogSetTerminal(bool bTerminal);
// Columns of the terminal (80 when unknown or not a terminal).
int LogColumns();
// Replaces the status line on a terminal; elsewhere prints the text as a
// whole line. Shown unless quiet, like LogPrintf.
void LogStatus(const char *text);
// Ends a line left open (a status line, a row of hashes), keeping it visible.
void LogEndLine();
