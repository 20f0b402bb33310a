#include "foundation/files.h"

#include <cerrno>
#include <climits>
#include <string>
#include <sys/stat.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// Offsets are signed 64-bit numbers to the system: a larger one is refused,
// not wrapped.
bool IsOffset(uint64_t n)
{
  if (n <= static_cast<uint64_t>(INT64_MAX))
    return true;
  errno = EINVAL;
  return false;
}

}  // namespace

FileType GetFileType(const char *path)
{
  struct stat st;
  if (stat(path, &st) != 0)
    return FILE_TYPE_NONE;
  if (S_ISREG(st.st_mode))
    return FILE_TYPE_REGULAR;
  return S_ISDIR(st.st_mode) ? FILE_TYPE_DIRECTORY : FILE_TYPE_OTHER;
}

bool CanWriteFile(const char *path)
{
  return access(path, W_OK) == 0;
}

bool FileSeek(FILE *f, uint64_t nPos)
{
  if (!IsOffset(nPos))
    return false;
#ifdef _WIN32
  return _fseeki64(f, static_cast<int64_t>(nPos), SEEK_SET) == 0;
#else
  return fseeko(f, static_cast<off_t>(nPos), SEEK_SET) == 0;
#endif
}

int64_t FileSeekEnd(FILE *f)
{
#ifdef _WIN32
  return _fseeki64(f, 0, SEEK_END) == 0 ? _ftelli64(f) : -1;
#else
  return fseeko(f, 0, SEEK_END) == 0 ? static_cast<int64_t>(ftello(f)) : -1;
#endif
}

#ifdef _WIN32

bool CanCreateFile(const char *path)
{
  // Either separator; "C:name" lies in the current directory of drive C.
  std::string strDir(path);
  size_t nSep = strDir.find_last_of("/\\");
  if (nSep == std::string::npos)
    strDir = strDir.size() >= 2 && strDir[1] == ':' ? strDir.substr(0, 2) + "." : ".";
  else
    strDir = strDir.substr(0, nSep + 1) + ".";
  // Windows keeps no write permission bit on directories: one that exists
  // takes new files unless the system says otherwise when it is opened.
  return GetFileType(strDir.c_str()) == FILE_TYPE_DIRECTORY;
}

bool FileTruncate(FILE *f, uint64_t nSize)
{
  if (!IsOffset(nSize))
    return false;
  errno_t nError = _chsize_s(_fileno(f), static_cast<int64_t>(nSize));
  if (nError != 0)
    errno = nError;
  return nError == 0;
}

void SetBinaryMode(FILE *f)
{
  _setmode(_fileno(f), _O_BINARY);
}

namespace {

HANDLE OsHandle(FILE *f)
{
  return f != nullptr ? reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))) : INVALID_HANDLE_VALUE;
}

}  // namespace

bool IsTerminal(FILE *f)
{
  // Not _isatty: it also says yes for NUL and other character devices.
  DWORD nMode = 0;
  HANDLE h = OsHandle(f);
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &nMode) != 0;
}

int TerminalColumns(FILE *f)
{
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE h = OsHandle(f);
  if (h == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(h, &info))
    return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

#else

bool CanCreateFile(const char *path)
{
  std::string strDir(path);
  size_t nSlash = strDir.rfind('/');
  strDir = nSlash == std::string::npos ? "." : (nSlash == 0 ? "/" : strDir.substr(0, nSlash));
  return access(strDir.c_str(), W_OK | X_OK) == 0;
}

bool FileTruncate(FILE *f, uint64_t nSize)
{
  if (!IsOffset(nSize))
    return false;
  return ftruncate(fileno(f), static_cast<off_t>(nSize)) == 0;
}

void SetBinaryMode(FILE *)
{
}

bool IsTerminal(FILE *f)
{
  return f != nullptr && isatty(fileno(f)) != 0;
}

int TerminalColumns(FILE *f)
{
  struct winsize ws;
  if (ioctl(fileno(f), TIOCGWINSZ, &ws) != 0)
    return 0;
  return ws.ws_col;
}

#endif
