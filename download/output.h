// The FLV output: a file or standard output. Every write, the flush and the
// close are checked; a file that a write failed on is cut back to the end of
// its last whole tag, so that it can still be resumed.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace RTMP_LIB {

class FlvOutput
{
public:
  FlvOutput();
  ~FlvOutput();
  FlvOutput(const FlvOutput &) = delete;
  FlvOutput &operator=(const FlvOutput &) = delete;

  // Checks that the file can be written, without touching it: an existing
  // file is created anew (truncated, unbuffered) only when the first bytes are
  // about to be written, so a run that downloads nothing leaves it as it was.
  // False (errno set) when it cannot be written.
  bool PrepareFile(const char *path);
  // Creates or truncates the file, unbuffered. False when it cannot be opened.
  bool OpenFile(const char *path);
  void UseStdout();
  // Continues a file open for update, positioned at nEnd, the end of its last
  // whole tag.
  void Adopt(FILE *f, uint64_t nEnd);

  // Writes whole tags (or the file header) at once, after those queued. On
  // failure cuts the file back to the last whole tag and returns false; the
  // caller reports it.
  bool Write(const char *data, size_t n);
  // Queues whole tags; they are written together when the batch is full, by
  // Flush, and before any other operation on the output. False when a write
  // failed, now or in an earlier flush.
  bool Queue(const char *data, size_t n);
  bool Flush();
  // Flush for a callback that takes a context pointer (the output); a
  // failure shows in Failed().
  static void FlushQueued(void *pOutput);
  bool Failed() const { return m_bFailed; }
  // The error number of the first failed write or open, 0 when none failed.
  int ErrorNumber() const { return m_nErrno; }
  // The reader of a pipe went away: an ending, not a fault worth an error line.
  bool IsBrokenPipe() const { return m_nErrno == EPIPE; }
  int FailureLevel() const;
  // Replaces the header's flags byte, where the output can seek.
  bool FixFlags(unsigned char dataTypes);
  // Ends the file where the data written by this run ends (a resumed file may
  // hold an old tail past it). Nothing happens when nothing was written.
  bool CutStaleTail();
  // Cuts an adopted file back to nEnd, where it goes on.
  bool CutBack();
  // Flushes and closes; false (logged) when either fails.
  bool Close();

  bool IsOpen() const { return m_file != nullptr || !m_strPendingPath.empty(); }
  bool IsStdout() const { return m_bStdout; }
  bool HasWritten() const { return m_bWritten; }
  uint64_t End() const { return m_nEnd; }

private:
  bool OpenPending();
  bool WriteOut(const char *data, size_t n, const uint32_t *pTagEnds, size_t nTags);
  bool CutTo(uint64_t nSize);
  void NoteError(int nErrno);

  FILE *m_file;
  bool m_bStdout;
  bool m_bWritten;
  bool m_bFailed;
  int m_nErrno = 0;
  std::string m_strPendingPath;     // a file to create at the first write
  uint64_t m_nEnd;                  // file offset after the last whole tag written
  std::vector<char> m_batch;        // queued tags, not yet written
  std::vector<uint32_t> m_tagEnds;  // offset in m_batch after each queued tag
};

}  // namespace RTMP_LIB
