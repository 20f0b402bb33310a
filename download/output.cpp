#include "download/output.h"

#include <cerrno>
#include <cstring>

#include "flv/flv.h"
#include "download/settings.h"
#include "foundation/files.h"
#include "foundation/log.h"

FILE *file = nullptr;

namespace RTMP_LIB {

namespace {

// Tags up to this size are gathered and written together: one system call
// for many small tags. Larger ones go out on their own.
const size_t kBatchSize = 65536;

}  // namespace

FlvOutput::FlvOutput() : m_file(nullptr), m_bStdout(false), m_bWritten(false), m_bFailed(false), m_nEnd(0) {}

FlvOutput::~FlvOutput()
{
  Flush();
  if (m_file != nullptr && !m_bStdout)
    fclose(m_file);
  if (file == m_file)
    file = nullptr;
}

bool FlvOutput::PrepareFile(const char *path)
{
  FileType type = GetFileType(path);
  if (type == FILE_TYPE_DIRECTORY) {
    errno = EISDIR;
    return false;
  }
  if (type != FILE_TYPE_NONE) {
    if (!CanWriteFile(path))
      return false;
  } else {
    // A new file needs a directory it can be created in.
    if (errno != ENOENT || !CanCreateFile(path))
      return false;
  }
  m_strPendingPath = path;
  m_bStdout = false;
  m_nEnd = 0;
  return true;
}

bool FlvOutput::OpenPending()
{
  std::string strPath;
  strPath.swap(m_strPendingPath);
  if (OpenFile(strPath.c_str()))
    return true;
  NoteError(errno);
  Log(LOG_LEVEL_ERROR, "Couldn't open %s for writing: %s", strPath.c_str(), strerror(m_nErrno));
  m_bFailed = true;
  return false;
}

bool FlvOutput::OpenFile(const char *path)
{
  m_file = fopen(path, "wb");
  file = m_file;
  if (m_file == nullptr)
    return false;
  setbuf(m_file, nullptr);
  m_bStdout = false;
  m_nEnd = 0;
  return true;
}

void FlvOutput::UseStdout()
{
  m_file = stdout;
  SetBinaryMode(m_file);
  file = m_file;
  m_bStdout = true;
  m_nEnd = 0;
}

void FlvOutput::Adopt(FILE *f, uint64_t nEnd)
{
  // What this run writes from here on counts; the file's old tail does not.
  m_bWritten = false;
  m_bFailed = false;
  m_file = f;
  file = m_file;
  m_bStdout = false;
  m_nEnd = nEnd;
}

bool FlvOutput::Write(const char *data, size_t n)
{
  if (!Flush())
    return false;
  const uint32_t nEnd = static_cast<uint32_t>(n);
  return WriteOut(data, n, &nEnd, n <= UINT32_MAX ? 1 : 0);
}

bool FlvOutput::Queue(const char *data, size_t n)
{
  if (!IsOpen() || m_bFailed)
    return false;
  if (m_batch.size() + n > kBatchSize && !Flush())
    return false;
  if (n > kBatchSize)
    return Write(data, n);
  if (m_batch.capacity() < kBatchSize)
    m_batch.reserve(kBatchSize);
  m_batch.insert(m_batch.end(), data, data + n);
  m_tagEnds.push_back(static_cast<uint32_t>(m_batch.size()));
  return true;
}

bool FlvOutput::Flush()
{
  if (m_bFailed)
    return false;
  if (m_batch.empty())
    return true;
  bool bOk = WriteOut(m_batch.data(), m_batch.size(), m_tagEnds.data(), m_tagEnds.size());
  m_batch.clear();
  m_tagEnds.clear();
  return bOk;
}

void FlvOutput::FlushQueued(void *pOutput)
{
  static_cast<FlvOutput *>(pOutput)->Flush();
}

bool FlvOutput::WriteOut(const char *data, size_t n, const uint32_t *pTagEnds, size_t nTags)
{
  if (m_file == nullptr && (m_strPendingPath.empty() || !OpenPending()))
    return false;
  size_t nDone = fwrite(data, 1, n, m_file);
  if (nDone == n) {
    m_nEnd += n;
    m_bWritten = true;
    return true;
  }
  NoteError(errno);
  Log(LOG_LEVEL_DEBUG, "Output took %zu of %zu bytes: %s", nDone, n, strerror(m_nErrno));
  // The tags that went out whole stay; the file is cut after the last of them.
  uint64_t nWhole = 0;
  for (size_t i = 0; i < nTags && pTagEnds[i] <= nDone; i++)
    nWhole = pTagEnds[i];
  if (nWhole > 0) {
    m_nEnd += nWhole;
    m_bWritten = true;
  }
  m_bFailed = true;
  if (!m_bStdout)
    CutTo(m_nEnd);
  return false;
}

int FlvOutput::FailureLevel() const
{
  return IsBrokenPipe() ? LOG_LEVEL_DEBUG : LOG_LEVEL_ERROR;
}

void FlvOutput::NoteError(int nErrno)
{
  // A short write without an error code: the device took no more.
  if (m_nErrno == 0)
    m_nErrno = nErrno != 0 ? nErrno : ENOSPC;
}

bool FlvOutput::CutTo(uint64_t nSize)
{
  // The file is unbuffered, so nothing waits in the stream.
  if (!FileTruncate(m_file, nSize) || !FileSeek(m_file, nSize)) {
    Log(LOG_LEVEL_ERROR, "Couldn't cut the output file back to %llu bytes: %s",
        static_cast<unsigned long long>(nSize), strerror(errno));
    return false;
  }
  Log(LOG_LEVEL_DEBUG, "Output file cut back to %llu bytes, the end of its last whole tag",
      static_cast<unsigned long long>(nSize));
  return true;
}

bool FlvOutput::FixFlags(unsigned char dataTypes)
{
  // Queued tags go first: the seek below would put them in the wrong place.
  if (!Flush())
    return false;
  if (m_file == nullptr || m_bStdout)
    return true;
  // A pipe or FIFO given as the output file cannot seek; its flags stay 0x05.
  if (!FileSeek(m_file, FLV_FLAGS_OFFSET)) {
    Log(LOG_LEVEL_DEBUG, "Output can't seek, leaving the header's data type at 05");
    return true;
  }
  Log(LOG_LEVEL_DEBUG, "Writing data type: %02X", dataTypes);
  char c = static_cast<char>(dataTypes);
  if (fwrite(&c, 1, 1, m_file) != 1) {
    NoteError(errno);
    Log(LOG_LEVEL_ERROR, "%s: Failed writing FLV header, exiting!", "main");
    return false;
  }
  return true;
}

bool FlvOutput::CutStaleTail()
{
  if (!Flush())
    return false;
  if (m_file == nullptr || m_bStdout || !m_bWritten)
    return true;
  const int64_t nNow = FileSeekEnd(m_file);
  if (nNow >= 0 && static_cast<uint64_t>(nNow) <= m_nEnd)
    return true;
  return CutTo(m_nEnd);
}

bool FlvOutput::CutBack()
{
  if (!Flush() || m_file == nullptr || m_bStdout)
    return m_file != nullptr;
  const int64_t nNow = FileSeekEnd(m_file);
  if (nNow >= 0 && static_cast<uint64_t>(nNow) == m_nEnd)
    return true;
  return CutTo(m_nEnd);
}

bool FlvOutput::Close()
{
  if (m_file == nullptr)
    return true;
  bool bOk = true;
  if (!m_bFailed && !Flush()) {
    Log(FailureLevel(), "%s: Failed writing, exiting!", "main");
    bOk = false;
  }
  if (fflush(m_file) != 0 && bOk) {
    NoteError(errno);
    Log(FailureLevel(), "%s: Failed writing, exiting!", "main");
    bOk = false;
  }
  if (fclose(m_file) != 0 && bOk) {
    NoteError(errno);
    Log(LOG_LEVEL_ERROR, "%s: Failed closing the output, exiting!", "main");
    bOk = false;
  }
  if (file == m_file)
    file = nullptr;
  m_file = nullptr;
  return bOk;
}

}  // namespace RTMP_LIB
