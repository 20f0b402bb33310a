// AMF3 decoding, for the values that arrive behind the AMF0 marker 0x11. No
// reference tables are kept: string, object, class and date references are
// logged and not followed. Every integer, string and member list is checked
// against the bytes that remain before it is read or allocated.
#include <memory>
#include <utility>

#include "amf/AMFObject.h"
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

// Reads a string and keeps only its text before the first NUL, the way names
// and values are stored. Returns the bytes used, or -1.
int ReadText(const char *pBuffer, int nSize, std::string *pText)
{
  char *pStr = nullptr;
  int nRes = AMF3ReadString(pBuffer, nSize, &pStr);
  std::unique_ptr<char[]> owner(pStr);
  if (nRes < 0)
    return -1;
  pText->assign(pStr);
  return nRes;
}

}  // namespace

int AMFObject::AMF3Decode(const char *pBuffer, int nSize, bool bAMFData)
{
  return AMF3DecodeRange(pBuffer, nSize, bAMFData, 0, pBuffer);
}

int AMFObject::AMF3Decode(const char *pBuffer, int nSize, bool bAMFData, int nDepth)
{
  return AMF3DecodeRange(pBuffer, nSize, bAMFData, nDepth, pBuffer);
}

// Returns the bytes consumed, at most nSize, or -1 when the object header, the
// class name or a member name does not fit in the range.
int AMFObject::AMF3DecodeRange(const char *pBuffer, int nSize, bool bAMFData, int nDepth,
                               const char *pBase)
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

  std::string strClassName;
  nLen = ReadText(pBuffer, nSize, &strClassName);
  if (nLen < 0)
    return -1;
  pBuffer += nLen;
  nSize -= nLen;
  Log(LOG_LEVEL_DEBUG, "Class name: %s, externalizable: %d, dynamic: %d, classMembers: %d",
      strClassName.c_str(), bExternalizable ? 1 : 0, bDynamic ? 1 : 0, nMembers);

  // Each member name takes at least one byte: a count beyond the bytes left
  // cannot be honest, and must not size anything.
  if (nMembers < 0 || nMembers > nSize)
    return -1;

  AMF3ClassDefinition classDef(strClassName, bExternalizable, bDynamic);
  for (int32_t i = 0; i < nMembers; i++) {
    std::string strMember;
    nLen = ReadText(pBuffer, nSize, &strMember);
    if (nLen < 0)
      return -1;
    Log(LOG_LEVEL_DEBUG, "Member: %s", strMember.c_str());
    classDef.AddProperty(strMember);
    pBuffer += nLen;
    nSize -= nLen;
  }

  if (classDef.isExternalizable()) {
    Log(LOG_LEVEL_DEBUG, "Externalizable, TODO check");
    AMFObjectProperty prop;
    int nRes = prop.AMF3DecodeRange(pBuffer, nSize, false, nDepth, pBase);
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
    for (int i = 0; i < classDef.GetMemberCount(); i++) {
      AMFObjectProperty prop;
      int nRes = prop.AMF3DecodeRange(pBuffer, nSize, false, nDepth, pBase);
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
        int nRes = prop.AMF3DecodeRange(pBuffer, nSize, true, nDepth, pBase);
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
  return AMF3DecodeRange(pBuffer, nSize, bDecodeName, 0, pBuffer);
}

int AMFObjectProperty::AMF3Decode(const char *pBuffer, int nSize, bool bDecodeName, int nDepth)
{
  return AMF3DecodeRange(pBuffer, nSize, bDecodeName, nDepth, pBuffer);
}

int AMFObjectProperty::AMF3DecodeRange(const char *pBuffer, int nSize, bool bDecodeName,
                                       int nDepth, const char *pBase)
{
  const int nOriginalSize = nSize;

  if (nSize <= 0 || pBuffer == nullptr) {
    Log(LOG_LEVEL_DEBUG, "empty buffer/no buffer pointer!");
    return -1;
  }

  if (bDecodeName) {
    std::string strName;
    int nRes = ReadText(pBuffer, nSize, &strName);
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
  int nRes = AMF3DecodeValue(nMarker, pBuffer + 1, nSize - 1, nDepth, pBase);
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
                                       int nDepth, const char *pBase)
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
    int nLen = ReadText(pBuffer, nSize, &m_strValue);
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
    int nRes = m_object.AMF3DecodeRange(pBuffer, nSize, false, nDepth + 1, pBase);
    if (nRes < 0 || nRes > nSize)
      return -1;
    m_nType = AMF_OBJECT;
    return nRes;
  }

  default:
    // Arrays (0x09) included: their dense/associative layout is not read.
    Log(LOG_LEVEL_DEBUG, "%s - AMF3 unknown/unsupported datatype 0x%02x, @0x%08X", kAMF3Decode,
        nMarker, static_cast<unsigned>(pBuffer - 1 - pBase));
    return -1;
  }
}

}  // namespace RTMP_LIB
