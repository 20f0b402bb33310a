// AMF0 decoding. Every length and count comes from the network: each is
// compared, as unsigned, with the bytes that remain before anything is read
// or allocated.
#include <cstdint>
#include <utility>

#include "amf/AMFObject.h"
#include "amf/amf_decode_context.h"
#include "foundation/bytes.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

const char kDecode[] = "Decode";

// AMF0 markers; only the decoder needs their wire values.
enum {
  AMF0_NUMBER = 0x00,
  AMF0_BOOLEAN = 0x01,
  AMF0_STRING = 0x02,
  AMF0_OBJECT = 0x03,
  AMF0_MOVIECLIP = 0x04,
  AMF0_NULL = 0x05,
  AMF0_UNDEFINED = 0x06,
  AMF0_REFERENCE = 0x07,
  AMF0_ECMA_ARRAY = 0x08,
  AMF0_STRICT_ARRAY = 0x0A,
  AMF0_DATE = 0x0B,
  AMF0_LONG_STRING = 0x0C,
  AMF0_UNSUPPORTED = 0x0D,
  AMF0_RECORDSET = 0x0E,
  AMF0_XML_DOC = 0x0F,
  AMF0_TYPED_OBJECT = 0x10,
  AMF0_AVMPLUS = 0x11
};

bool IsObjectEnd(const char *p)
{
  return p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x09;
}

// A container that would nest too deep fails like an unsupported marker, so
// the enclosing object's recovery scan takes over instead of the stack.
bool TooDeep(int nDepth)
{
  if (nDepth < AMF_MAX_DEPTH)
    return false;
  Log(LOG_LEVEL_ERROR, "%s, nesting deeper than %d levels not supported!", kDecode, AMF_MAX_DEPTH);
  return true;
}

}  // namespace

int AMFObject::Decode(const char *pBuffer, int nSize, bool bDecodeName)
{
  return Decode(pBuffer, nSize, bDecodeName, 0);
}

int AMFObject::Decode(const char *pBuffer, int nSize, bool bDecodeName, int nDepth)
{
  AMFDecodeContext ctx(pBuffer, nSize);
  return ctx.Finish(DecodeRange(pBuffer, nSize, bDecodeName, nDepth, &ctx), kDecode);
}

int AMFObject::DecodeRange(const char *pBuffer, int nSize, bool bDecodeName, int nDepth,
                           AMFDecodeContext *pCtx)
{
  if (nDepth > AMF_MAX_DEPTH || nDepth < 0)
    return -1;
  if (pBuffer == nullptr && nSize > 0)
    return -1;
  if (pBuffer == nullptr || nSize < 0)
    nSize = 0;

  const int nOriginalSize = nSize;
  bool bError = false;

  // The end-marker test needs three bytes, so a final value of one or two
  // bytes (a null, a boolean) in a message body is neither decoded nor counted.
  while (nSize > 2) {
    if (IsObjectEnd(pBuffer)) {
      nSize -= 3;
      bError = false;
      break;
    }

    if (bError) {
      // After a value we cannot decode, nothing tells where the next one
      // starts: skip to the end of the enclosing object. Every level of a
      // hostile nest of unclosed objects scans to the end of the message,
      // so past the first bytes of a decode the scan goes on unlogged and
      // in one step.
      int nSkip = 1;
      if (pCtx->LogEachSkip()) {
        Log(LOG_LEVEL_ERROR, "DECODING ERROR, IGNORING BYTES UNTIL NEXT KNOWN PATTERN!");
      } else {
        // Up to the next end marker, or to the last two bytes, where the
        // scan stops.
        const char *pEnd = pCtx->NextObjectEnd(pBuffer, pBuffer + nSize);
        nSkip = pEnd != nullptr ? static_cast<int>(pEnd - pBuffer) : nSize - 2;
      }
      if (!pCtx->CountSkipped(nSkip))
        return -1;
      nSize -= nSkip;
      pBuffer += nSkip;
      continue;
    }

    AMFObjectProperty prop;
    int nRes = prop.DecodeRange(pBuffer, nSize, bDecodeName, nDepth, pCtx);
    if (nRes == -1) {
      bError = true;
    } else {
      nSize -= nRes;
      pBuffer += nRes;
      m_props.push_back(std::move(prop));
    }
  }

  if (bError)
    return -1;
  return nOriginalSize - nSize;
}

int AMFObject::DecodeArray(const char *pBuffer, int nSize, int nArrayLen, bool bDecodeName)
{
  return DecodeArray(pBuffer, nSize, nArrayLen, bDecodeName, 0);
}

int AMFObject::DecodeArray(const char *pBuffer, int nSize, int nArrayLen, bool bDecodeName,
                           int nDepth)
{
  AMFDecodeContext ctx(pBuffer, nSize);
  return ctx.Finish(DecodeArrayRange(pBuffer, nSize, nArrayLen, bDecodeName, nDepth, &ctx),
                    kDecode);
}

int AMFObject::DecodeArrayRange(const char *pBuffer, int nSize, int nArrayLen, bool bDecodeName,
                                int nDepth, AMFDecodeContext *pCtx)
{
  if (nDepth > AMF_MAX_DEPTH || nDepth < 0)
    return -1;

  const int nOriginalSize = nSize;
  // Every value takes at least one byte and an empty range fails, so a count
  // far beyond the data ends when the bytes do.
  while (nArrayLen > 0) {
    nArrayLen--;
    AMFObjectProperty prop;
    int nRes = prop.DecodeRange(pBuffer, nSize, bDecodeName, nDepth, pCtx);
    if (nRes == -1)
      return -1;
    nSize -= nRes;
    pBuffer += nRes;
    m_props.push_back(std::move(prop));
  }
  return nOriginalSize - nSize;
}

int AMFObjectProperty::Decode(const char *pBuffer, int nSize, bool bDecodeName)
{
  return Decode(pBuffer, nSize, bDecodeName, 0);
}

int AMFObjectProperty::Decode(const char *pBuffer, int nSize, bool bDecodeName, int nDepth)
{
  AMFDecodeContext ctx(pBuffer, nSize);
  return ctx.Finish(DecodeRange(pBuffer, nSize, bDecodeName, nDepth, &ctx), kDecode);
}

int AMFObjectProperty::DecodeRange(const char *pBuffer, int nSize, bool bDecodeName, int nDepth,
                                   AMFDecodeContext *pCtx)
{
  const int nOriginalSize = nSize;

  if (nSize <= 0 || pBuffer == nullptr) {
    Log(LOG_LEVEL_DEBUG, "%s: Empty buffer/no buffer pointer!", kDecode);
    return -1;
  }

  // Every attempt counts, failed ones too: nothing is decoded twice in a
  // well-formed message, and a hostile one may not make us retry forever.
  if (!pCtx->Spend(1, kDecode))
    return -1;

  if (bDecodeName && nSize < 4) {
    // An end marker (3 bytes) is the shortest thing that may follow a name.
    Log(LOG_LEVEL_DEBUG, "%s: Not enough data for decoding with name, less then 4 bytes!", kDecode);
    return -1;
  }

  if (bDecodeName) {
    unsigned nNameSize = static_cast<unsigned short>(ReadInt16(pBuffer));
    if (nNameSize > static_cast<unsigned>(nSize - 2)) {
      Log(LOG_LEVEL_DEBUG, "%s: Name size out of range: namesize (%d) > len (%d) - 2", kDecode,
          static_cast<int>(nNameSize), nSize);
      return -1;
    }
    if (!pCtx->SpendText(static_cast<int>(nNameSize), kDecode))
      return -1;
    m_strPropName = ReadString(pBuffer);
    nSize -= 2 + static_cast<int>(nNameSize);
    pBuffer += 2 + nNameSize;
  }

  if (nSize == 0)
    return -1;

  unsigned char nMarker = static_cast<unsigned char>(*pBuffer);
  int nRes = DecodeValue(nMarker, pBuffer + 1, nSize - 1, nDepth, pCtx);
  if (nRes < 0)
    return -1;
  nSize -= 1 + nRes;
  return nOriginalSize - nSize;
}

// Decodes the value after its marker from the nSize bytes at pBuffer; returns
// the bytes used after the marker, or -1. The caller discards the property
// when this fails.
int AMFObjectProperty::DecodeValue(unsigned char nMarker, const char *pBuffer, int nSize,
                                   int nDepth, AMFDecodeContext *pCtx)
{
  const unsigned nAvail = static_cast<unsigned>(nSize);

  switch (nMarker) {
  case AMF0_NUMBER:
    if (nAvail < 8)
      return -1;
    m_dNumber = ReadNumber(pBuffer);
    m_nType = AMF_NUMBER;
    return 8;

  case AMF0_BOOLEAN:
    if (nAvail < 1)
      return -1;
    m_dNumber = ReadBool(pBuffer) ? 1 : 0;
    m_nType = AMF_BOOLEAN;
    return 1;

  case AMF0_STRING: {
    if (nAvail < 2)
      return -1;
    unsigned nLen = static_cast<unsigned short>(ReadInt16(pBuffer));
    if (nLen > nAvail - 2)
      return -1;
    if (!pCtx->SpendText(static_cast<int>(nLen), kDecode))
      return -1;
    m_strValue = ReadString(pBuffer);
    m_nType = AMF_STRING;
    return static_cast<int>(2 + nLen);
  }

  case AMF0_OBJECT: {
    if (TooDeep(nDepth))
      return -1;
    int nRes = m_object.DecodeRange(pBuffer, nSize, true, nDepth + 1, pCtx);
    if (nRes == -1)
      return -1;
    m_nType = AMF_OBJECT;
    return nRes;
  }

  case AMF0_MOVIECLIP:
    Log(LOG_LEVEL_ERROR, "AMF_MOVIE_CLIP not supported!");
    return -1;

  case AMF0_NULL:
  case AMF0_UNDEFINED:
  case AMF0_UNSUPPORTED:
    m_nType = AMF_NULL;
    return 0;

  case AMF0_REFERENCE:
    Log(LOG_LEVEL_ERROR, "AMF_REFERENCE not supported!");
    return -1;

  case AMF0_ECMA_ARRAY: {
    // The element count is advisory: metadata writers get it wrong, and the
    // end marker is what closes the array.
    if (nAvail < 4)
      return -1;
    if (TooDeep(nDepth))
      return -1;
    int nRes = m_object.DecodeRange(pBuffer + 4, nSize - 4, true, nDepth + 1, pCtx);
    if (nRes == -1)
      return -1;
    m_nType = AMF_OBJECT;
    return 4 + nRes;
  }

  case AMF0_STRICT_ARRAY: {
    if (nAvail < 4)
      return -1;
    if (TooDeep(nDepth))
      return -1;
    int nCount = ReadInt32(pBuffer);
    int nRes = 0;
    if (nCount > 0) {
      nRes = m_object.DecodeArrayRange(pBuffer + 4, nSize - 4, nCount, false, nDepth + 1, pCtx);
      if (nRes == -1)
        return -1;
    }
    m_nType = AMF_OBJECT;
    return 4 + nRes;
  }

  case AMF0_DATE:
    Log(LOG_LEVEL_DEBUG, "AMF_DATE");
    if (nAvail < 10)
      return -1;
    m_dNumber = ReadNumber(pBuffer);
    m_nUTCOffset = ReadInt16(pBuffer + 8);
    m_nType = AMF_DATE;
    return 10;

  case AMF0_LONG_STRING: {
    Log(LOG_LEVEL_WARNING, "AMF_LONG_STRING not tested!");
    if (nAvail < 4)
      return -1;
    uint32_t nLen = static_cast<uint32_t>(ReadInt32(pBuffer));
    if (nLen > nAvail - 4)
      return -1;
    if (!pCtx->SpendText(static_cast<int>(nLen), kDecode))
      return -1;
    m_strValue.assign(pBuffer + 4, nLen);
    m_nType = AMF_STRING;
    return static_cast<int>(4 + nLen);
  }

  case AMF0_RECORDSET:
    Log(LOG_LEVEL_ERROR, "AMF_RECORDSET not supported!");
    return -1;

  case AMF0_XML_DOC:
    Log(LOG_LEVEL_ERROR, "AMF_XML not supported!");
    return -1;

  case AMF0_TYPED_OBJECT:
    Log(LOG_LEVEL_ERROR, "AMF_CLASS_OBJECT not supported!");
    return -1;

  case AMF0_AVMPLUS: {
    Log(LOG_LEVEL_ERROR, "AMF_AMF3_OBJECT to be tested!");
    if (TooDeep(nDepth))
      return -1;
    int nRes = m_object.AMF3DecodeRange(pBuffer, nSize, true, nDepth + 1, pCtx);
    if (nRes < 0 || nRes > nSize)
      return -1;
    m_nType = AMF_OBJECT;
    return nRes;
  }

  default:
    // The object end marker 0x09 lands here too: it is only valid after an
    // empty name, which the sequence decoder recognises before us.
    Log(LOG_LEVEL_DEBUG, "%s - unknown datatype 0x%02x, @0x%08X", kDecode, nMarker,
        static_cast<unsigned>(pBuffer - 1 - pCtx->Base()));
    return -1;
  }
}

}  // namespace RTMP_LIB
