// AMF3 decoding, for the values that arrive behind the AMF0 marker 0x11. No
// reference tables are kept: string, object, class and date references are
// logged and not followed. Every integer, string and member list is checked
// against the bytes that remain before it is read or allocated.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "amf/AMFObject.h"
#include "amf/amf_decode_context.h"
#include "foundation/bytes.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

const char kAMF3Decode[] = "AMF3Decode";

enum {
  AMF3_UNDEFINED = 0x00,
  AMF3_NULL = 0x01,
  AMF3_FALSE = 0x02,
  AMF3_TRUE = 0x03,
  AMF3_INTEGER = 0x04,
  AMF3_DOUBLE = 0x05,
  AMF3_STRING = 0x06,
  AMF3_XML_DOC = 0x07,
  AMF3_DATE = 0x08,
  AMF3_OBJECT = 0x0A,
  AMF3_XML = 0x0B
};

// Names and values are stored as text up to the first NUL.
std::string Text(const char *pText, int nLen)
{
  return std::string(pText, strnlen(pText, static_cast<size_t>(nLen)));
}

// Reads a string into *pText. Returns the bytes used, or -1.
int ReadText(const char *pBuffer, int nSize, std::string *pText, AMFDecodeContext *pCtx)
{
  const char *pStart = nullptr;
  int nLen = 0;
  int nRes = AMF3ReadStringText(pBuffer, nSize, &pStart, &nLen);
  if (nRes < 0 || !pCtx->SpendText(nLen, kAMF3Decode))
    return -1;
  *pText = Text(pStart, nLen);
  return nRes;
}

// Log lines are cut at 2 KB: a longer name would only cost formatting time.
int Logged(int nLen)
{
  const int kLoggedTextMax = 4096;
  return nLen < kLoggedTextMax ? nLen : kLoggedTextMax;
}

// A name of the class header, found in place.
struct NameText {
  const char *pText;
  int nLen;
};

}  // namespace

int AMFObject::AMF3Decode(const char *pBuffer, int nSize, bool bAMFData)
{
  return AMF3Decode(pBuffer, nSize, bAMFData, 0);
}

int AMFObject::AMF3Decode(const char *pBuffer, int nSize, bool bAMFData, int nDepth)
{
  AMFDecodeContext ctx(pBuffer, nSize);
  return ctx.Finish(AMF3DecodeRange(pBuffer, nSize, bAMFData, nDepth, &ctx), kAMF3Decode);
}

// Returns the bytes consumed, at most nSize, or -1 when the object header, the
// class name or a member name does not fit in the range.
int AMFObject::AMF3DecodeRange(const char *pBuffer, int nSize, bool bAMFData, int nDepth,
                               AMFDecodeContext *pCtx)
{
  if (pBuffer == nullptr || nSize <= 0 || nDepth > AMF_MAX_DEPTH || nDepth < 0)
    return -1;

  const int nOriginalSize = nSize;

  if (bAMFData) {
    if (*pBuffer != AMF3_OBJECT)
      Log(LOG_LEVEL_ERROR, "AMF3 Object encapsulated in AMF stream does not start with 0x0A!");
    pBuffer++;
    nSize--;
  }

  int32_t nRef = 0;
  int nLen = AMF3ReadInteger(pBuffer, nSize, &nRef);
  if (nLen < 0)
    return -1;
  pBuffer += nLen;
  nSize -= nLen;

  if ((nRef & 1) == 0) {
    Log(LOG_LEVEL_DEBUG, "Object reference, index: %d", nRef >> 1);
    return nOriginalSize - nSize;
  }

  if ((nRef & 2) == 0) {
    // No class table is kept, so there is no member list to follow: the
    // object ends with its header.
    Log(LOG_LEVEL_DEBUG, "Class reference: %d", nRef >> 2);
    return nOriginalSize - nSize;
  }

  bool bExternalizable = (nRef & 4) != 0;
  bool bDynamic = (nRef & 8) != 0;
  int32_t nMembers = nRef >> 4;

  // The header is checked in place before any name is copied: a failed
  // sealed member is retried on the same bytes by the next one, and a header
  // that fails late must not cost the length of its names on every retry.
  NameText className = {nullptr, 0};
  nLen = AMF3ReadStringText(pBuffer, nSize, &className.pText, &className.nLen);
  if (nLen < 0)
    return -1;
  pBuffer += nLen;
  nSize -= nLen;
  Log(LOG_LEVEL_DEBUG, "Class name: %.*s, externalizable: %d, dynamic: %d, classMembers: %d",
      Logged(className.nLen), className.pText, bExternalizable ? 1 : 0, bDynamic ? 1 : 0,
      nMembers);

  // Each member name takes at least one byte: a count beyond the bytes left
  // cannot be honest, and must not size anything. The names live as long as
  // the object is read, so each one counts as a value.
  if (nMembers < 0 || nMembers > nSize)
    return -1;
  if (!pCtx->Spend(nMembers, kAMF3Decode))
    return -1;

  std::vector<NameText> members;
  int nTextLen = className.nLen;
  for (int32_t i = 0; i < nMembers; i++) {
    NameText member = {nullptr, 0};
    nLen = AMF3ReadStringText(pBuffer, nSize, &member.pText, &member.nLen);
    if (nLen < 0)
      return -1;
    Log(LOG_LEVEL_DEBUG, "Member: %.*s", Logged(member.nLen), member.pText);
    members.push_back(member);
    nTextLen += member.nLen;
    pBuffer += nLen;
    nSize -= nLen;
  }

  if (!pCtx->SpendText(nTextLen, kAMF3Decode))
    return -1;
  AMF3ClassDefinition classDef(Text(className.pText, className.nLen), bExternalizable, bDynamic);
  for (const NameText &member : members)
    classDef.AddProperty(Text(member.pText, member.nLen));
  std::vector<NameText>().swap(members);

  if (classDef.isExternalizable()) {
    Log(LOG_LEVEL_DEBUG, "Externalizable, TODO check");
    AMFObjectProperty prop;
    int nRes = prop.AMF3DecodeRange(pBuffer, nSize, false, nDepth, pCtx);
    if (nRes == -1) {
      Log(LOG_LEVEL_DEBUG, "%s, failed to decode AMF3 property!", kAMF3Decode);
    } else {
      pBuffer += nRes;
      nSize -= nRes;
    }
    prop.SetPropName("DEFAULT_ATTRIBUTE");
    m_props.push_back(std::move(prop));
  } else {
    // A failed sealed member does not move the position, so the next member
    // starts on the same bytes; the count is bounded above, so this ends.
    // The failed members are kept too: the budget paid for them with their
    // names.
    for (int i = 0; i < classDef.GetMemberCount(); i++) {
      AMFObjectProperty prop;
      int nRes = prop.AMF3DecodeRange(pBuffer, nSize, false, nDepth, pCtx);
      if (nRes == -1) {
        Log(LOG_LEVEL_DEBUG, "%s, failed to decode AMF3 property!", kAMF3Decode);
      } else {
        pBuffer += nRes;
        nSize -= nRes;
      }
      prop.SetPropName(classDef.GetProperty(i));
      m_props.push_back(std::move(prop));
    }

    if (classDef.isDynamic()) {
      // Name/value pairs up to an empty name; each one consumes at least a
      // byte, and an empty range fails, so the loop ends with the data.
      for (;;) {
        AMFObjectProperty prop;
        int nRes = prop.AMF3DecodeRange(pBuffer, nSize, true, nDepth, pCtx);
        bool bEnd = nRes == -1 || prop.GetPropName().empty();
        if (nRes != -1) {
          pBuffer += nRes;
          nSize -= nRes;
        }
        m_props.push_back(std::move(prop));
        if (bEnd)
          break;
      }
    }
  }

  Log(LOG_LEVEL_DEBUG, "class object!");
  return nOriginalSize - nSize;
}

int AMFObjectProperty::AMF3Decode(const char *pBuffer, int nSize, bool bDecodeName)
{
  return AMF3Decode(pBuffer, nSize, bDecodeName, 0);
}

int AMFObjectProperty::AMF3Decode(const char *pBuffer, int nSize, bool bDecodeName, int nDepth)
{
  AMFDecodeContext ctx(pBuffer, nSize);
  return ctx.Finish(AMF3DecodeRange(pBuffer, nSize, bDecodeName, nDepth, &ctx), kAMF3Decode);
}

int AMFObjectProperty::AMF3DecodeRange(const char *pBuffer, int nSize, bool bDecodeName,
                                       int nDepth, AMFDecodeContext *pCtx)
{
  const int nOriginalSize = nSize;

  if (nSize <= 0 || pBuffer == nullptr) {
    Log(LOG_LEVEL_DEBUG, "empty buffer/no buffer pointer!");
    return -1;
  }

  // Every attempt counts, as in AMF0; the dynamic terminator too, since it
  // is kept.
  if (!pCtx->Spend(1, kAMF3Decode))
    return -1;

  if (bDecodeName) {
    std::string strName;
    int nRes = ReadText(pBuffer, nSize, &strName, pCtx);
    if (nRes < 0)
      return -1;
    // The empty name (0x01) closes a dynamic member list; a name sent as a
    // reference reads as empty and so closes it too.
    if (strName.empty())
      return nRes;
    m_strPropName = std::move(strName);
    pBuffer += nRes;
    nSize -= nRes;
  }

  if (nSize <= 0)
    return -1;

  unsigned char nMarker = static_cast<unsigned char>(*pBuffer);
  int nRes = AMF3DecodeValue(nMarker, pBuffer + 1, nSize - 1, nDepth, pCtx);
  if (nRes < 0) {
    // A failed member may still be kept under its name: leave no half value.
    Reset();
    return -1;
  }
  nSize -= 1 + nRes;
  return nOriginalSize - nSize;
}

// Decodes the value after its marker; returns the bytes used after the
// marker, or -1.
int AMFObjectProperty::AMF3DecodeValue(unsigned char nMarker, const char *pBuffer, int nSize,
                                       int nDepth, AMFDecodeContext *pCtx)
{
  switch (nMarker) {
  case AMF3_UNDEFINED:
  case AMF3_NULL:
    m_nType = AMF_NULL;
    return 0;

  case AMF3_FALSE:
    m_nType = AMF_BOOLEAN;
    m_dNumber = 0;
    return 0;

  case AMF3_TRUE:
    m_nType = AMF_BOOLEAN;
    m_dNumber = 1;
    return 0;

  case AMF3_INTEGER: {
    int32_t nValue = 0;
    int nLen = AMF3ReadInteger(pBuffer, nSize, &nValue);
    if (nLen < 0)
      return -1;
    m_nType = AMF_NUMBER;
    m_dNumber = nValue;
    return nLen;
  }

  case AMF3_DOUBLE:
    Log(LOG_LEVEL_DEBUG, "AMF3_NUMBER");
    if (nSize < 8)
      return -1;
    m_nType = AMF_NUMBER;
    m_dNumber = ReadNumber(pBuffer);
    return 8;

  case AMF3_XML_DOC:
  case AMF3_XML:
    // XML travels as a plain string.
    Log(LOG_LEVEL_DEBUG, "AMF3_XML_DOC");
    [[fallthrough]];
  case AMF3_STRING: {
    int nLen = ReadText(pBuffer, nSize, &m_strValue, pCtx);
    if (nLen < 0)
      return -1;
    m_nType = AMF_STRING;
    return nLen;
  }

  case AMF3_DATE: {
    int32_t nRef = 0;
    int nLen = AMF3ReadInteger(pBuffer, nSize, &nRef);
    if (nLen < 0)
      return -1;
    if ((nRef & 1) == 0) {
      // Counted as decoded, but without a type.
      Log(LOG_LEVEL_DEBUG, "AMF3_DATE reference: %d, not supported!", nRef >> 1);
      return nLen;
    }
    if (nSize - nLen < 8)
      return -1;
    m_nType = AMF_NUMBER;
    m_dNumber = ReadNumber(pBuffer + nLen);
    return nLen + 8;
  }

  case AMF3_OBJECT: {
    Log(LOG_LEVEL_DEBUG, "AMF3_OBJECT");
    if (nDepth >= AMF_MAX_DEPTH) {
      Log(LOG_LEVEL_DEBUG, "%s, nesting deeper than %d levels not supported!", kAMF3Decode,
          AMF_MAX_DEPTH);
      return -1;
    }
    int nRes = m_object.AMF3DecodeRange(pBuffer, nSize, false, nDepth + 1, pCtx);
    if (nRes < 0 || nRes > nSize)
      return -1;
    m_nType = AMF_OBJECT;
    return nRes;
  }

  default:
    // Arrays (0x09) included: their dense/associative layout is not read.
    Log(LOG_LEVEL_DEBUG, "%s - AMF3 unknown/unsupported datatype 0x%02x, @0x%08X", kAMF3Decode,
        nMarker, static_cast<unsigned>(pBuffer - 1 - pCtx->Base()));
    return -1;
  }
}

}  // namespace RTMP_LIB
