// Fuzz target for the analysis of a partial FLV file before a resume. The
// first input byte chooses the mode (bits 0-1: keyframes to skip; bit 2:
// print the log at --debug level; bit 3: a live recording to continue); the
// other bytes are the file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flv/flv.h"
#include "flv/media_header.h"
#include "flv/resume.h"
#include "foundation/log.h"
#include "fuzz_support.h"

using namespace RTMP_LIB;

namespace {

// One in-memory file per process, rewritten for every input.
int g_fd = -1;

bool WriteFile(const uint8_t *data, size_t size)
{
  if (ftruncate(g_fd, 0) != 0)
    return false;
  size_t nDone = 0;
  while (nDone < size) {
    ssize_t n = pwrite(g_fd, data + nDone, size - nDone, static_cast<off_t>(nDone));
    if (n <= 0)
      return false;
    nDone += static_cast<size_t>(n);
  }
  return true;
}

uint32_t BigEndian32(const uint8_t *p)
{
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// The chosen tag must really be in the file where the analysis says it is.
void CheckContinue(FILE *f, const uint8_t *file, size_t size, const ResumeData &rd)
{
  const size_t nData = rd.storedKeyframe.size();
  // The tags start after the header's data offset and the first previous-tag size.
  const uint64_t nFirstTag = static_cast<uint64_t>(BigEndian32(file + 5)) + 4;
  if (rd.nSeekTime == 0 || rd.nResumeOffset > size ||
      rd.nResumeOffset < nFirstTag + FLV_TAG_HEADER_SIZE + nData + 4)
    __builtin_trap();
  if (ftello(f) != static_cast<off_t>(rd.nResumeOffset))
    __builtin_trap();
  const uint8_t *pTrailer = file + rd.nResumeOffset - 4;
  const uint8_t *pTag = pTrailer - nData - FLV_TAG_HEADER_SIZE;
  const char *tag = reinterpret_cast<const char *>(pTag);
  if (BigEndian32(pTrailer) != FLV_TAG_HEADER_SIZE + nData || FlvDataSize(tag) != nData ||
      FlvTagTime(tag) != rd.nSeekTime || pTag[0] != rd.storedKeyframeType)
    __builtin_trap();
  if (nData > 0 && memcmp(rd.storedKeyframe.data(), pTag + FLV_TAG_HEADER_SIZE, nData) != 0)
    __builtin_trap();
  // Audio-only files resume at an audio tag with frames, others at a video keyframe.
  if (!IsResumeFrame(pTag[0], rd.storedKeyframe.data(), static_cast<uint32_t>(nData), rd.bAudioOnly))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  SilenceLog(false);
  g_fd = memfd_create("fuzz_resume", 0);
  if (g_fd < 0)
    abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 1)
    return 0;
  const uint8_t nMode = data[0];
  const uint8_t *file = data + 1;
  const size_t nFileSize = size - 1;
  debuglevel = (nMode & 4) != 0 ? LOG_LEVEL_DEBUG + 1 : 0;
  if (!WriteFile(file, nFileSize))
    abort();

  // The application opens the partial file for update, as "r+b".
  int fd = dup(g_fd);
  FILE *f = fd >= 0 ? fdopen(fd, "r+b") : nullptr;
  if (f == nullptr)
    abort();
  if ((nMode & 8) != 0) {
    // A live recording goes on after its last whole tag, which lies in the file.
    ResumeData rd;
    uint32_t nLastTime = 0;
    ResumeResult res = AnalyzeLiveRecording(f, rd, nLastTime);
    if (res == RESUME_CONTINUE &&
        (rd.nResumeOffset > nFileSize || rd.nResumeOffset != rd.nFileSize || rd.nResumeOffset < 4 + 15 ||
         BigEndian32(file + rd.nResumeOffset - 4) + 4 > rd.nResumeOffset))
      __builtin_trap();
    fclose(f);
    return 0;
  }
  int nSkip = nMode & 3;
  const int nSkipGiven = nSkip;
  ResumeData rd;
  ResumeResult res = AnalyzePartialFile(f, nSkip, rd);

  // A file that ends inside a tag is taken as far as its last whole tag.
  if (nSkip < 0 || nSkip > nSkipGiven || rd.nFileSize > nFileSize)
    __builtin_trap();
  // The stored metadata is the data of a whole tag of the file.
  if (!rd.storedMeta.empty() && (rd.storedMeta.size() + FLV_TAG_HEADER_SIZE + 4 > nFileSize ||
                                 memmem(file, nFileSize, rd.storedMeta.data(), rd.storedMeta.size()) == nullptr))
    __builtin_trap();
  if (res == RESUME_CONTINUE)
    CheckContinue(f, file, nFileSize, rd);
  else if (res == RESUME_FRESH && nFileSize != 0 && rd.nSeekTime != 0 &&
           !IsResumeFrame(rd.storedKeyframeType, rd.storedKeyframe.data(),
                          static_cast<uint32_t>(rd.storedKeyframe.size()), rd.bAudioOnly))
    __builtin_trap();  // past time 0, only a file whose resume frame is the stream's first starts anew
  else if (res != RESUME_FRESH && res != RESUME_FAILED)
    __builtin_trap();
  fclose(f);
  return 0;
}
