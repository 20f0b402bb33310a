// Analysis of a partial FLV file before its download is continued.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace RTMP_LIB {

// What the partial file tells the download.
struct ResumeData {
  uint64_t nFileSize = 0;        // the file's size; the byte counter starts from it
  uint64_t nResumeOffset = 0;    // right after the chosen tag and its previous-tag size
  uint32_t nSeekTime = 0;        // the chosen tag's time
  uint32_t nFirstTime = 0;       // the first frame's time (not a codec configuration): where the stream starts
  std::vector<char> storedMeta;  // data of the first onMetaData script tag
  double dDuration = 0.0;        // its "duration", 0 when there is none
  std::vector<char> storedKeyframe;
  unsigned char storedKeyframeType = 0;
  bool bAudioOnly = false;
  unsigned char flags = 0;       // the header's audio and video flags
};

enum ResumeResult {
  RESUME_CONTINUE,  // the file is positioned at nResumeOffset
  RESUME_FRESH,     // nothing to continue: download anew
  RESUME_FAILED     // the error is logged; exit code 1
};

// Reads the file open for update. Counts nSkipKeyframes down while skipping.
ResumeResult AnalyzePartialFile(FILE *f, int &nSkipKeyframes, ResumeData &data);

// A live recording to be continued: its metadata, the end of its last whole
// tag (nResumeOffset, also nFileSize) and that tag's time.
ResumeResult AnalyzeLiveRecording(FILE *f, ResumeData &data, uint32_t &nLastTime);

}  // namespace RTMP_LIB
