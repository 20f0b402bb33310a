// Stream metadata: decoding onMetaData, printing it for the user and taking
// the duration from it.
#include <cmath>
#include <cstdio>
#include <string>

#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

// Objects nest at most as deep as the decoder allows; the printer and the
// search recurse no deeper than that.
#define METADATA_MAX_DEPTH (AMF_MAX_DEPTH + 1)

bool CRTMP::HandleMetadata(char *body, unsigned int len)
{
  AMFObject obj;
  if (!body || len > RTMP_MAX_BODY_SIZE || obj.Decode(body, static_cast<int>(len), false) < 0) {
    Log(LOG_LEVEL_ERROR, "%s, error decoding meta data packet", "HandleMetadata");
    return false;
  }
  obj.Dump();

  if (obj.GetProperty(0).GetString() != "onMetaData")
    return false;

  LogPrintf("\r%s\n", "Metadata:                  ");
  DumpMetaData(obj);

  AMFObjectProperty prop;
  if (FindFirstMatchingProperty(obj, "duration", prop))
    m_fDuration = prop.GetNumber();
  return true;
}

// The value of a property that is not an object, as the metadata listing shows it.
static std::string FormatValue(const AMFObjectProperty &prop)
{
  char str[256] = "";
  switch (prop.GetType()) {
  case AMF_NUMBER: {
    double dValue = prop.GetNumber();
    // Whole numbers inside int print without decimals. The range is tested
    // first: converting NaN or an out-of-range value to int is undefined.
    bool bWhole = std::isfinite(dValue) && dValue > -2147483649.0 && dValue < 2147483648.0 &&
                  static_cast<double>(static_cast<int>(dValue)) == dValue;
    snprintf(str, sizeof(str), bWhole ? "%.0f" : "%.2f", dValue);
    break;
  }
  case AMF_BOOLEAN:
    snprintf(str, sizeof(str), "%s", prop.GetNumber() == 1.0 ? "TRUE" : "FALSE");
    break;
  case AMF_STRING:
    snprintf(str, sizeof(str), "%s", prop.GetString().c_str());
    break;
  case AMF_DATE:
    snprintf(str, sizeof(str), "timestamp:%.2f", prop.GetNumber());
    break;
  default:
    snprintf(str, sizeof(str), "INVALID TYPE 0x%02x", static_cast<unsigned char>(prop.GetType()));
    break;
  }
  return str;
}

static void DumpObject(const AMFObject &obj, int nDepth)
{
  if (nDepth > METADATA_MAX_DEPTH)
    return;
  for (int i = 0; i < obj.GetPropertyCount(); i++) {
    const AMFObjectProperty &prop = obj.GetProperty(i);
    const std::string &strName = prop.GetPropName();
    if (prop.GetType() == AMF_OBJECT) {
      if (!strName.empty())
        LogPrintf("%s:\n", strName.c_str());
      DumpObject(prop.GetObject(), nDepth + 1);
      continue;
    }
    if (strName.empty())
      continue;
    std::string strValue = FormatValue(prop);
    if (!strValue.empty() && strValue.back() == '\n')
      strValue.pop_back();
    LogPrintf("  %-22s%s\n", strName.c_str(), strValue.c_str());
  }
}

void CRTMP::DumpMetaData(AMFObject &obj)
{
  DumpObject(obj, 0);
}

bool CRTMP::FindFirstMatchingProperty(AMFObject &obj, std::string name, AMFObjectProperty &p)
{
  return FindNestedProperty(obj, name, p);
}

}  // namespace RTMP_LIB
