#include "flv/resume.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "amf/AMFObject.h"
#include "flv/flv.h"
#include "flv/media_header.h"
#include "foundation/bytes.h"
#include "foundation/files.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

// The metadata is normally the first tag; a scan of a damaged or sparse file
// ends at the first tag that is neither audio, video nor script data, and
// after this many tags in any case.
const int kMaxMetaScanTags = 1024;

bool ReadAt(FILE *f, uint64_t nPos, char *pOut, size_t n)
{
  if (!FileSeek(f, nPos))
    return false;
  return fread(pOut, 1, n, f) == n;
}

void ScanMetadata(FILE *f, uint64_t nPos, ResumeData &data)
{
  for (int nTags = 0; nTags < kMaxMetaScanTags && nPos + 4 < data.nFileSize; nTags++) {
    char head[4];
    if (!ReadAt(f, nPos, head, sizeof(head)))
      break;
    unsigned char type = static_cast<unsigned char>(head[0]);
    uint32_t s = ReadInt24(head + 1);
    if (type != FLV_TAG_AUDIO && type != FLV_TAG_VIDEO && type != FLV_TAG_SCRIPT)
      break;
    if (type == FLV_TAG_SCRIPT) {
      // Sized by the tag itself (at most 16 MiB), and only once the file is
      // known to hold that much.
      if (nPos + FLV_TAG_HEADER_SIZE + s > data.nFileSize)
        break;
      std::vector<char> meta(s);
      if (s > 0 && !ReadAt(f, nPos + FLV_TAG_HEADER_SIZE, meta.data(), s))
        break;
      AMFObject obj;
      if (obj.Decode(meta.data(), static_cast<int>(s), false) < 0) {
        Log(LOG_LEVEL_ERROR, "%s, error decoding meta data packet", "main");
        break;
      }
      if (obj.GetProperty(0).GetString() == "onMetaData") {
        obj.Dump();
        data.storedMeta.swap(meta);
        AMFObjectProperty prop;
        if (FindNestedProperty(obj, "duration", prop)) {
          data.dDuration = prop.GetNumber();
          Log(LOG_LEVEL_DEBUG, "File has duration: %f", data.dDuration);
        }
        return;
      }
    }
    nPos += static_cast<uint64_t>(s) + FLV_TAG_HEADER_SIZE + FLV_TAG_TRAILER_SIZE;
  }
  Log(LOG_LEVEL_WARNING, "Couldn't locate meta data!");
}

// Whether the tag at nTagStart (its header in head) is one to resume from. The
// first data byte tells a classic tag; an Enhanced header can carry modifier
// blocks and several tracks before it says what it holds, so its whole data
// is read.
bool IsResumeTag(FILE *f, uint64_t nTagStart, const char (&head)[12], uint32_t nDataSize, bool bAudioOnly,
                 std::vector<char> &data)
{
  const unsigned char type = static_cast<unsigned char>(head[0]);
  const uint32_t nFirst = nDataSize > 0 ? 1 : 0;
  if (!ClassifyMedia(type, head + FLV_TAG_HEADER_SIZE, nFirst).bEnhanced)
    return IsResumeFrame(type, head + FLV_TAG_HEADER_SIZE, nFirst, bAudioOnly);
  data.resize(nDataSize);
  return ReadAt(f, nTagStart + FLV_TAG_HEADER_SIZE, data.data(), nDataSize) &&
         IsResumeFrame(type, data.data(), nDataSize, bAudioOnly);
}

enum WalkResult {
  WALK_FOUND,     // the tag to resume from
  WALK_NO_MEDIA,  // the chain ended at the file header without an audio or video tag
  WALK_FAILED     // strError says why
};

std::string CorruptSize(uint32_t p)
{
  char sz[160];
  snprintf(sz, sizeof sz,
           "Last tag size must be greater/equal zero (prevTagSize=%d) and smaller then filesize, corrupt file!",
           static_cast<int>(p));
  return sz;
}

// Walks the previous-tag sizes back from the end to the tag to resume from.
// nTagStart receives its position, nTagSize its size without the trailer.
WalkResult FindResumeTag(FILE *f, uint64_t nFirstTag, int &nSkipKeyframes, const ResumeData &data,
                         uint64_t &nTagStart, uint32_t &nTagSize, char (&head)[12], std::string &strError)
{
  const uint64_t nSize = data.nFileSize;
  uint64_t nTail = 0;
  bool bSawMedia = false;
  std::vector<char> tagData;
  for (;;) {
    if (nSize - nTail <= 12) {
      strError = "Unexpected start of file, error in tag sizes, couldn't arrive at prevTagSize=0";
      return WALK_FAILED;
    }
    char field[4];
    if (!ReadAt(f, nSize - nTail - 4, field, sizeof(field))) {
      strError = "Couldn't read prevTagSize from file!";
      return WALK_FAILED;
    }
    uint32_t p = static_cast<uint32_t>(ReadInt32(field));
    if (p == 0) {
      // Only a file header and script data: nothing of the stream to continue.
      if (!bSawMedia && nSize - nTail == nFirstTag)
        return WALK_NO_MEDIA;
      strError = "Couldn't find keyframe to resume from!";
      return WALK_FAILED;
    }
    // A tag is at least its header, states at most 24 bits of data, and lies
    // after the file header.
    if (p < FLV_TAG_HEADER_SIZE || p > FLV_MAX_DATA_SIZE + FLV_TAG_HEADER_SIZE ||
        static_cast<uint64_t>(p) + 4 + nFirstTag > nSize - nTail) {
      strError = CorruptSize(p);
      return WALK_FAILED;
    }
    nTail += static_cast<uint64_t>(p) + 4;
    nTagStart = nSize - nTail;
    if (!ReadAt(f, nTagStart, head, sizeof(head))) {
      strError = "Couldn't read header!";
      return WALK_FAILED;
    }
    uint32_t s = FlvDataSize(head);
    if (s != p - FLV_TAG_HEADER_SIZE) {
      strError = CorruptSize(p);
      return WALK_FAILED;
    }
    if (head[0] == FLV_TAG_AUDIO || head[0] == FLV_TAG_VIDEO)
      bSawMedia = true;
    nTagSize = p;
    const bool bResumeTag = IsResumeTag(f, nTagStart, head, s, data.bAudioOnly, tagData);
    // In an audio-only file every tag but an Enhanced audio configuration counts.
    bool bCounts = bResumeTag || (data.bAudioOnly && head[0] != FLV_TAG_AUDIO);
    if (nSkipKeyframes > 0 && bCounts) {
      nSkipKeyframes--;
      continue;
    }
    if (bResumeTag)
      return WALK_FOUND;
  }
}

// A crash or power loss can leave a file that ends inside its last tag. Walked
// forward from the first tag, the chain must be whole up to a tag that the
// file ends inside; nWholeEnd then receives the end of the last whole tag.
// False for a whole chain or any other damage.
bool FindCutTag(FILE *f, uint64_t nFirstTag, uint64_t nSize, uint64_t &nWholeEnd, bool &bMedia)
{
  bMedia = false;
  uint64_t nPos = nFirstTag;
  // Every step advances by at least a tag header and trailer.
  while (nPos < nSize) {
    char head[FLV_TAG_HEADER_SIZE];
    const uint64_t nDataEnd = nPos + FLV_TAG_HEADER_SIZE;
    if (nDataEnd > nSize || !ReadAt(f, nPos, head, sizeof(head)) ||
        nDataEnd + FlvDataSize(head) + FLV_TAG_TRAILER_SIZE > nSize) {
      nWholeEnd = nPos;
      return true;
    }
    const unsigned char type = static_cast<unsigned char>(head[0]);
    if (type != FLV_TAG_AUDIO && type != FLV_TAG_VIDEO && type != FLV_TAG_SCRIPT)
      return false;
    const uint32_t s = FlvDataSize(head);
    char field[4];
    if (!ReadAt(f, nDataEnd + s, field, sizeof(field)) ||
        static_cast<uint32_t>(ReadInt32(field)) != s + FLV_TAG_HEADER_SIZE)
      return false;
    bMedia = bMedia || type != FLV_TAG_SCRIPT;
    nPos = nDataEnd + s + FLV_TAG_TRAILER_SIZE;
  }
  return false;
}

// The first media tag that is not a codec configuration, walked forward from
// the first tag (within the scan limit): false when none is found; bNone then
// tells that the whole file was read and holds none.
bool FindFirstFrame(FILE *f, uint64_t nFirstTag, uint64_t nSize, uint64_t &nFramePos, uint32_t &nFrameTime,
                    bool &bNone)
{
  bNone = false;
  // Enough of a tag's data for any header the classification reads.
  const uint32_t kMaxHeadBytes = 4096;
  std::vector<char> body;
  uint64_t nPos = nFirstTag;
  for (int nTags = 0; nTags < kMaxMetaScanTags && nPos + FLV_TAG_HEADER_SIZE <= nSize; nTags++) {
    char head[FLV_TAG_HEADER_SIZE];
    if (!ReadAt(f, nPos, head, sizeof(head)))
      return false;
    const unsigned char type = static_cast<unsigned char>(head[0]);
    const uint32_t s = FlvDataSize(head);
    if (type != FLV_TAG_AUDIO && type != FLV_TAG_VIDEO && type != FLV_TAG_SCRIPT)
      return false;
    if (type != FLV_TAG_SCRIPT) {
      body.resize(std::min(s, kMaxHeadBytes));
      if (!body.empty() && !ReadAt(f, nPos + FLV_TAG_HEADER_SIZE, body.data(), body.size()))
        return false;
      if (!ClassifyMedia(type, body.data(), static_cast<uint32_t>(body.size())).bCodecConfig) {
        nFramePos = nPos;
        nFrameTime = FlvTagTime(head);
        return true;
      }
    }
    nPos += static_cast<uint64_t>(s) + FLV_TAG_HEADER_SIZE + FLV_TAG_TRAILER_SIZE;
  }
  bNone = nPos == nSize;
  return false;
}

WalkResult FindResumeTagOrCut(FILE *f, uint64_t nFirstTag, int &nSkipKeyframes, ResumeData &data,
                              uint64_t &nTagStart, uint32_t &nTagSize, char (&head)[12], std::string &strError)
{
  const int nSkip = nSkipKeyframes;
  WalkResult walk = FindResumeTag(f, nFirstTag, nSkipKeyframes, data, nTagStart, nTagSize, head, strError);
  uint64_t nWholeEnd = 0;
  bool bMedia = false;
  if (walk != WALK_FAILED || !FindCutTag(f, nFirstTag, data.nFileSize, nWholeEnd, bMedia))
    return walk;
  Log(LOG_LEVEL_WARNING, "Partial file ends inside a tag at offset %llu, resuming from its last whole tag",
      static_cast<unsigned long long>(nWholeEnd));
  data.nFileSize = nWholeEnd;
  if (!bMedia)
    return WALK_NO_MEDIA;
  nSkipKeyframes = nSkip;
  return FindResumeTag(f, nFirstTag, nSkipKeyframes, data, nTagStart, nTagSize, head, strError);
}

}  // namespace

namespace {

// The file's size and header, up to its first tag. RESUME_CONTINUE when a
// chain of tags may follow.
ResumeResult ReadFileHeader(FILE *f, ResumeData &data, uint64_t &nFirstTag)
{
  const int64_t nEnd = FileSeekEnd(f);
  if (nEnd < 0) {
    Log(LOG_LEVEL_ERROR, "Couldn't read FLV file header!");
    return RESUME_FAILED;
  }
  data.nFileSize = nEnd > 0 ? static_cast<uint64_t>(nEnd) : 0;
  if (data.nFileSize == 0) {
    // Nothing was ever written: a new download, header included.
    Log(LOG_LEVEL_DEBUG, "Partial file is empty, starting a new download");
    return RESUME_FRESH;
  }

  char header[FLV_HEADER_SIZE];
  if (!ReadAt(f, 0, header, sizeof(header))) {
    Log(LOG_LEVEL_ERROR, "Couldn't read FLV file header!");
    return RESUME_FAILED;
  }
  if (header[0] != 'F' || header[1] != 'L' || header[2] != 'V' || header[3] != 0x01) {
    Log(LOG_LEVEL_ERROR, "Invalid FLV file!");
    return RESUME_FAILED;
  }
  const unsigned char flags = static_cast<unsigned char>(header[FLV_FLAGS_OFFSET]);
  data.flags = flags;
  data.bAudioOnly = (flags & FLV_FLAG_AUDIO) != 0 && (flags & FLV_FLAG_VIDEO) == 0;

  uint64_t nDataOffset = static_cast<uint32_t>(ReadInt32(header + 5));
  char field[4];
  if (!ReadAt(f, nDataOffset, field, sizeof(field))) {
    Log(LOG_LEVEL_ERROR, "Invalid FLV file: missing first prevTagSize!");
    return RESUME_FAILED;
  }
  uint32_t nFirstPrev = static_cast<uint32_t>(ReadInt32(field));
  if (nFirstPrev != 0)
    Log(LOG_LEVEL_WARNING, "First prevTagSize is not zero: prevTagSize = 0x%08X", nFirstPrev);

  nFirstTag = nDataOffset + 4;
  return RESUME_CONTINUE;
}

}  // namespace

ResumeResult AnalyzePartialFile(FILE *f, int &nSkipKeyframes, ResumeData &data)
{
  uint64_t nFirstTag = 0;
  ResumeResult header = ReadFileHeader(f, data, nFirstTag);
  if (header != RESUME_CONTINUE)
    return header;
  // A run that ended before any media leaves the flags 0; such a file is
  // only refused below when it does hold audio or video.
  const bool bNoMediaFlags = (data.flags & (FLV_FLAG_AUDIO | FLV_FLAG_VIDEO)) == 0;
  if (data.bAudioOnly)
    Log(LOG_LEVEL_DEBUG, "Resuming audio only stream!");
  ScanMetadata(f, nFirstTag, data);

  uint64_t nTagStart = 0;
  uint32_t nTagSize = 0;
  char head[12];
  std::string strError;
  WalkResult walk = FindResumeTagOrCut(f, nFirstTag, nSkipKeyframes, data, nTagStart, nTagSize, head, strError);
  // A stream cut between its codec configurations and its first frame (an
  // Enhanced sequence start is no frame to resume from) starts again too.
  uint64_t nFirstFrame = 0;
  bool bNoFrame = false;
  const bool bFirstFound = FindFirstFrame(f, nFirstTag, data.nFileSize, nFirstFrame, data.nFirstTime, bNoFrame);
  if (walk == WALK_NO_MEDIA || (walk == WALK_FAILED && bNoFrame)) {
    Log(LOG_LEVEL_DEBUG, "Partial file holds no frame to resume from, starting a new download");
    return RESUME_FRESH;
  }
  if (bNoMediaFlags) {
    Log(LOG_LEVEL_ERROR, "FLV file contains neither video nor audio, aborting!");
    return RESUME_FAILED;
  }
  if (walk == WALK_FAILED) {
    Log(LOG_LEVEL_ERROR, "%s", strError.c_str());
    return RESUME_FAILED;
  }

  data.storedKeyframeType = static_cast<unsigned char>(head[0]);
  data.storedKeyframe.resize(nTagSize - FLV_TAG_HEADER_SIZE);
  if (!data.storedKeyframe.empty() &&
      !ReadAt(f, nTagStart + FLV_TAG_HEADER_SIZE, data.storedKeyframe.data(), data.storedKeyframe.size())) {
    Log(LOG_LEVEL_ERROR, "Couldn't read last keyframe, aborting!");
    return RESUME_FAILED;
  }
  data.nSeekTime = FlvTagTime(head);
  Log(LOG_LEVEL_DEBUG, "Last keyframe found at: %d ms, size: %d, type: %02X", static_cast<int>(data.nSeekTime),
      static_cast<int>(data.storedKeyframe.size()), data.storedKeyframeType);
  // The server sends a stream's first frame again only from its start: a
  // file that holds nothing before it starts again, whatever its first time.
  if (data.nSeekTime == 0 || (bFirstFound && nTagStart <= nFirstFrame)) {
    Log(LOG_LEVEL_DEBUG, "Last keyframe is first frame in stream, switching from resume to normal mode!");
    return RESUME_FRESH;
  }
  data.nResumeOffset = nTagStart + nTagSize + 4;
  if (!FileSeek(f, data.nResumeOffset)) {
    Log(LOG_LEVEL_ERROR, "Couldn't read last keyframe, aborting!");
    return RESUME_FAILED;
  }
  return RESUME_CONTINUE;
}

ResumeResult AnalyzeLiveRecording(FILE *f, ResumeData &data, uint32_t &nLastTime)
{
  uint64_t nFirstTag = 0;
  ResumeResult header = ReadFileHeader(f, data, nFirstTag);
  if (header != RESUME_CONTINUE)
    return header;
  ScanMetadata(f, nFirstTag, data);
  // The recording goes on after its last whole tag: the last previous-tag
  // size names it, or, after a crash inside a tag, the chain walked forward.
  uint64_t nEnd = data.nFileSize;
  char field[4];
  char head[FLV_TAG_HEADER_SIZE];
  uint32_t p = 0;
  bool bWhole = nEnd >= nFirstTag + 4 && ReadAt(f, nEnd - 4, field, sizeof(field));
  if (bWhole) {
    p = static_cast<uint32_t>(ReadInt32(field));
    bWhole = p == 0 ? nEnd == nFirstTag
                    : p >= FLV_TAG_HEADER_SIZE && static_cast<uint64_t>(p) + 4 + nFirstTag <= nEnd &&
                          ReadAt(f, nEnd - 4 - p, head, sizeof(head)) && FlvDataSize(head) + FLV_TAG_HEADER_SIZE == p;
  }
  bool bMedia = true;
  if (!bWhole) {
    if (!FindCutTag(f, nFirstTag, nEnd, nEnd, bMedia)) {
      Log(LOG_LEVEL_ERROR, "%s", CorruptSize(p).c_str());
      return RESUME_FAILED;
    }
    Log(LOG_LEVEL_WARNING, "Recording ends inside a tag at offset %llu, continuing after its last whole tag",
        static_cast<unsigned long long>(nEnd));
  }
  if (nEnd <= nFirstTag) {
    Log(LOG_LEVEL_DEBUG, "Recording holds no tag, starting a new one");
    return RESUME_FRESH;
  }
  if (!ReadAt(f, nEnd - 4, field, sizeof(field)) ||
      !ReadAt(f, nEnd - 4 - static_cast<uint32_t>(ReadInt32(field)), head, sizeof(head))) {
    Log(LOG_LEVEL_ERROR, "Couldn't read header!");
    return RESUME_FAILED;
  }
  nLastTime = FlvTagTime(head);
  data.nFileSize = nEnd;
  data.nResumeOffset = nEnd;
  Log(LOG_LEVEL_DEBUG, "Continuing the recording after %u ms, at byte %llu", nLastTime,
      static_cast<unsigned long long>(nEnd));
  return RESUME_CONTINUE;
}

}  // namespace RTMP_LIB
