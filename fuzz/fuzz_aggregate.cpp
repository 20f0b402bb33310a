// Fuzz target for the repair of an aggregate message: the input is the body
// of an FLV data message (type 0x16), as the FLV writer copies it out. The
// same bytes go through the audio and video header classification, which the
// repair also runs on every inner tag, and the repaired tags pass the guard
// that writes codec configurations in front of first frames.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "flv/aggregate.h"
#include "download/codec_configs.h"
#include "download/continuation.h"
#include "flv/flv.h"
#include "flv/media_header.h"
#include "fuzz/tag_chain.h"
#include "foundation/log.h"
#include "fuzz_support.h"

using namespace RTMP_LIB;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  SilenceLog(true);
  return 0;
}

namespace {

// A damaged header says nothing else; a keyframe or a configuration is never
// a command, and only frames make a keyframe.
void CheckHeader(const MediaHeader &h)
{
  if (h.bDamaged && (h.bKeyframe || h.bCodecConfig || h.bCodedFrames || h.bCommandFrame))
    __builtin_trap();
  if (h.bCommandFrame && (h.bCodedFrames || (h.bEnhanced && (h.bKeyframe || h.bCodecConfig))))
    __builtin_trap();
  if (h.bEnhanced && h.bKeyframe && !h.bCodedFrames)
    __builtin_trap();
  if (h.bCodecConfig && h.bCodedFrames)
    __builtin_trap();
}

// The repaired tags as a write that a stream continued on a new connection
// joins: what comes out is still whole tags, and a live join starts at or
// after the last time written.
void CheckContinuation(const char *p, size_t n)
{
  for (int nMode = 0; nMode < 2; nMode++) {
    StreamContinuation cont;
    cont.Record(p, n);
    const uint32_t nLastTime = cont.LastTime();
    nMode == 0 ? cont.BeginPassOver() : cont.BeginLiveJoin();
    const char *pOut = p;
    size_t nOut = n;
    cont.Rewrite(pOut, nOut);
    size_t nTags = 0;
    if (!IsTagChain(pOut, nOut, nTags) || (nMode == 1 && nTags > 0 && FlvTagTime(pOut) < nLastTime))
      __builtin_trap();
  }
}

// Configurations "fetched" from the body itself: whole tags come out, the
// input's and at most the ones written in front of them.
void CheckConfigGuard(const char *pBody, uint32_t nLen, const char *p, size_t n)
{
  ConfigGuard guard;
  guard.Begin([pBody, nLen](const std::vector<uint32_t> &, std::vector<CodecConfig> &found) {
    for (unsigned char type : {FLV_TAG_VIDEO, FLV_TAG_AUDIO}) {
      CodecConfig config;
      if (ReadCodecConfig(type, pBody, nLen, config))
        found.push_back(config);
    }
  });
  const char *pOut = p;
  size_t nOut = n;
  guard.Pass(pOut, nOut);
  size_t nTags = 0, nInTags = 0;
  if (nOut < n || !IsTagChain(pOut, nOut, nTags) || !IsTagChain(p, n, nInTags) || nTags < nInTags)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  // A message body is at most 24 bits long.
  if (size > FLV_MAX_DATA_SIZE)
    return 0;
  // libFuzzer's buffer is exactly the input: a read past it is reported.
  const char *pBody = reinterpret_cast<const char *>(data);
  CheckHeader(ClassifyMedia(FLV_TAG_VIDEO, pBody, static_cast<uint32_t>(size)));
  CheckHeader(ClassifyMedia(FLV_TAG_AUDIO, pBody, static_cast<uint32_t>(size)));
  const uint32_t nLen = static_cast<uint32_t>(size);
  // Exactly the body and the 4 spare bytes the writer provides.
  std::vector<char> buf(size + 4);
  if (size > 0)
    memcpy(buf.data(), data, size);
  AggregateInfo info;
  int nOut = RepairAggregate(buf.data(), nLen, info);
  if (nOut == -2)
    return 0;
  if (nOut < 0 || static_cast<uint64_t>(nOut) > static_cast<uint64_t>(nLen) + 4)
    __builtin_trap();

  size_t nTags = 0;
  if (!IsTagChain(buf.data(), static_cast<size_t>(nOut), nTags) || nTags != info.nTagCount)
    __builtin_trap();
  // Either a previous-tag size was appended, or the rest of the body is a
  // stray tail too short for a tag.
  const uint32_t nOutLen = static_cast<uint32_t>(nOut);
  if (nOutLen <= nLen ? nOutLen + info.nStrayBytes != nLen || info.nStrayBytes > FLV_TAG_HEADER_SIZE
                      : info.nStrayBytes != 0)
    __builtin_trap();

  // Only previous-tag sizes change: headers and data stay as the server sent them.
  unsigned char types = 0;
  uint32_t nLastTime = 0;
  bool bTimed = false;
  size_t nPos = 0;
  while (nPos < static_cast<size_t>(nOut)) {
    const char *tag = buf.data() + nPos;
    size_t nTag = FLV_TAG_HEADER_SIZE + FlvDataSize(tag);
    if (memcmp(tag, data + nPos, nTag) != 0)
      __builtin_trap();
    if (tag[0] == FLV_TAG_AUDIO)
      types |= FLV_FLAG_AUDIO;
    else if (tag[0] == FLV_TAG_VIDEO)
      types |= FLV_FLAG_VIDEO;
    if (tag[0] == FLV_TAG_AUDIO || tag[0] == FLV_TAG_VIDEO)
      bTimed = bTimed || !ClassifyMedia(static_cast<unsigned char>(tag[0]), tag + FLV_TAG_HEADER_SIZE,
                                        FlvDataSize(tag)).bCodecConfig;
    nLastTime = FlvTagTime(tag);
    nPos += nTag + FLV_TAG_TRAILER_SIZE;
  }
  if (types != info.dataTypes || bTimed != info.bTimedMedia || (nTags > 0 && nLastTime != info.nLastTime))
    __builtin_trap();
  CheckContinuation(buf.data(), static_cast<size_t>(nOut));
  CheckConfigGuard(pBody, nLen, buf.data(), static_cast<size_t>(nOut));
  return 0;
}
