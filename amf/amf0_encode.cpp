// AMF0 encoding of the value tree into a caller-sized buffer. Room is checked
// before every write; nothing is written past nSize bytes.
#include <cstring>

#include "amf/AMFObject.h"
#include "foundation/bytes.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

// AMF0 names and plain strings carry a 16-bit length; a longer text cannot be
// written without corrupting the length field.
const size_t kMaxShortString = 0xFFFF;

}  // namespace

int AMFObject::Encode(char *pBuffer, int nSize) const
{
  if (nSize < 4)
    return -1;

  char *pStart = pBuffer;
  *pBuffer++ = 0x03;
  nSize--;

  for (size_t i = 0; i < m_props.size(); i++) {
    int nRes = m_props[i].Encode(pBuffer, nSize);
    if (nRes == -1) {
      // Whatever the failed property wrote is overwritten by the next one.
      Log(LOG_LEVEL_ERROR, "AMFObject::Encode - failed to encode property in index %d",
          static_cast<int>(i));
    } else {
      pBuffer += nRes;
      nSize -= nRes;
    }
  }

  if (nSize < 3)
    return -1;
  pBuffer += EncodeInt24(pBuffer, 0x000009);
  return static_cast<int>(pBuffer - pStart);
}

int AMFObjectProperty::EncodeName(char *pBuffer) const
{
  EncodeInt16(pBuffer, static_cast<short>(m_strPropName.size()));
  memcpy(pBuffer + 2, m_strPropName.data(), m_strPropName.size());
  return 2 + static_cast<int>(m_strPropName.size());
}

int AMFObjectProperty::Encode(char *pBuffer, int nSize) const
{
  if (m_nType == AMF_INVALID)
    return -1;

  const long long nRoom = nSize;
  // A null goes out unnamed: it is the placeholder argument of commands.
  if (m_nType != AMF_NULL && nRoom < static_cast<long long>(m_strPropName.size()) + 3)
    return -1;

  int nNameSize = 0;
  if (m_nType != AMF_NULL && !m_strPropName.empty()) {
    if (m_strPropName.size() > kMaxShortString)
      return -1;
    nNameSize = EncodeName(pBuffer);
    pBuffer += nNameSize;
    nSize -= nNameSize;
  }

  int nValueSize;
  switch (m_nType) {
  case AMF_NUMBER:
    if (nSize < 9)
      return -1;
    nValueSize = EncodeNumber(pBuffer, GetNumber());
    break;
  case AMF_BOOLEAN:
    if (nSize < 2)
      return -1;
    nValueSize = EncodeBoolean(pBuffer, GetBoolean());
    break;
  case AMF_STRING:
    if (m_strValue.size() > kMaxShortString ||
        static_cast<long long>(nSize) < static_cast<long long>(m_strValue.size()) + 3)
      return -1;
    nValueSize = EncodeString(pBuffer, m_strValue);
    break;
  case AMF_OBJECT:
    nValueSize = m_object.Encode(pBuffer, nSize);
    if (nValueSize == -1)
      return -1;
    break;
  case AMF_NULL:
    if (nSize < 1)
      return -1;
    *pBuffer = 0x05;
    nValueSize = 1;
    break;
  default:
    Log(LOG_LEVEL_ERROR, "%s, invalid type. %d", "Encode", static_cast<int>(m_nType));
    return -1;
  }

  return nNameSize + nValueSize;
}

}  // namespace RTMP_LIB
