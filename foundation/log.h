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

void Log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void LogPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogHex(const char *data, unsigned long len);
void LogHexString(const char *data, unsigned long len);
void LogSetOutput(FILE *file);
