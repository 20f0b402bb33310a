// Debug listing of a value tree: one log line per property at LOG_LEVEL_DEBUG,
// nested objects flattened without indentation. Unnamed properties print as
// "no-name.", which the log keeps quiet below --debug.
#include <cstdio>

#include "amf/AMFObject.h"
#include "foundation/log.h"

namespace RTMP_LIB {

void AMFObject::Dump() const
{
  for (const AMFObjectProperty &prop : m_props)
    prop.Dump();
}

void AMFObjectProperty::Dump() const
{
  if (m_nType == AMF_INVALID) {
    Log(LOG_LEVEL_DEBUG, "Property: INVALID");
    return;
  }
  if (m_nType == AMF_NULL) {
    Log(LOG_LEVEL_DEBUG, "Property: NULL");
    return;
  }

  const char *szName = m_strPropName.empty() ? "no-name." : m_strPropName.c_str();

  if (m_nType == AMF_OBJECT) {
    Log(LOG_LEVEL_DEBUG, "Property: <Name: %25s, OBJECT>", szName);
    m_object.Dump();
    return;
  }

  // Fixed stack buffers: texts longer than 254 characters are cut.
  char strName[256] = {0};
  char strValue[256] = {0};
  snprintf(strName, 255, "Name: %25s, ", szName);

  switch (m_nType) {
  case AMF_NUMBER:
    snprintf(strValue, 255, "NUMBER:\t%.2f", m_dNumber);
    break;
  case AMF_BOOLEAN:
    snprintf(strValue, 255, "BOOLEAN:\t%s", m_dNumber == 1 ? "TRUE" : "FALSE");
    break;
  case AMF_STRING:
    snprintf(strValue, 255, "STRING:\t%s", m_strValue.c_str());
    break;
  case AMF_DATE:
    snprintf(strValue, 255, "DATE:\ttimestamp: %.2f, UTC offset: %d", m_dNumber,
             static_cast<int>(m_nUTCOffset));
    break;
  default:
    snprintf(strValue, 255, "INVALID TYPE 0x%02x", static_cast<unsigned>(m_nType) & 0xff);
    break;
  }

  Log(LOG_LEVEL_DEBUG, "Property: <%s%s>", strName, strValue);
}

}  // namespace RTMP_LIB
