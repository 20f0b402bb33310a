// Files and terminals: the few calls whose form differs between POSIX and
// Windows, so that the rest of the program never asks which one it runs on.
#pragma once

#include <cstdint>
#include <cstdio>

enum FileType { FILE_TYPE_NONE, FILE_TYPE_REGULAR, FILE_TYPE_DIRECTORY, FILE_TYPE_OTHER };

// What path names; FILE_TYPE_NONE (errno set, ENOENT when it does not exist)
// when it cannot be looked at.
FileType GetFileType(const char *path);
// The existing file can be written (false, errno set, when not).
bool CanWriteFile(const char *path);
// A new file of this path can be created in its directory.
bool CanCreateFile(const char *path);

// Positions f at nPos, with 64-bit offsets everywhere. False, errno set.
bool FileSeek(FILE *f, uint64_t nPos);
// Positions f at its end and returns the size, or -1 (errno set).
int64_t FileSeekEnd(FILE *f);
// Cuts the file to nSize bytes (f unbuffered or flushed). False, errno set.
bool FileTruncate(FILE *f, uint64_t nSize);

// The FLV stream goes out as it is: no line-end translation on standard output.
void SetBinaryMode(FILE *f);
bool IsTerminal(FILE *f);
// Columns of the terminal f, 0 when unknown.
int TerminalColumns(FILE *f);
