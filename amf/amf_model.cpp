// The AMF value tree: constructors, accessors and lookups. Lookups never fail;
// a missing property reads as the shared invalid one, so chains of lookups on
// absent data end in empty or zero values.
#include "amf/AMFObject.h"

namespace RTMP_LIB {

const std::string strEmpty;
const AMFObjectProperty AMFObject::m_invalidProp;

AMFObject::AMFObject() {}

AMFObject::~AMFObject()
{
  Reset();
}

void AMFObject::AddProperty(const AMFObjectProperty &prop)
{
  m_props.push_back(prop);
}

int AMFObject::GetPropertyCount() const
{
  return static_cast<int>(m_props.size());
}

const AMFObjectProperty &AMFObject::GetProperty(const std::string &strName) const
{
  for (const AMFObjectProperty &prop : m_props) {
    if (prop.m_strPropName == strName)
      return prop;
  }
  return m_invalidProp;
}

const AMFObjectProperty &AMFObject::GetProperty(int nIndex) const
{
  // A negative index becomes huge and so falls outside like any other.
  if (static_cast<unsigned>(nIndex) < m_props.size())
    return m_props[static_cast<unsigned>(nIndex)];
  return m_invalidProp;
}

void AMFObject::Reset()
{
  m_props.clear();
}

AMFObjectProperty::AMFObjectProperty() : m_nType(AMF_INVALID), m_dNumber(0), m_nUTCOffset(0) {}

AMFObjectProperty::AMFObjectProperty(const std::string &strName, double dValue)
    : m_strPropName(strName), m_nType(AMF_NUMBER), m_dNumber(dValue), m_nUTCOffset(0)
{
}

AMFObjectProperty::AMFObjectProperty(const std::string &strName, bool bValue)
    : m_strPropName(strName), m_nType(AMF_BOOLEAN), m_dNumber(bValue ? 1 : 0), m_nUTCOffset(0)
{
}

AMFObjectProperty::AMFObjectProperty(const std::string &strName, const std::string &strValue)
    : m_strPropName(strName), m_nType(AMF_STRING), m_dNumber(0), m_nUTCOffset(0),
      m_strValue(strValue)
{
}

AMFObjectProperty::AMFObjectProperty(const std::string &strName, const char *szValue)
    : AMFObjectProperty(strName, std::string(szValue != nullptr ? szValue : ""))
{
}

AMFObjectProperty::AMFObjectProperty(const std::string &strName, const AMFObject &objValue)
    : m_strPropName(strName), m_nType(AMF_OBJECT), m_dNumber(0), m_nUTCOffset(0),
      m_object(objValue)
{
}

AMFObjectProperty::~AMFObjectProperty() {}

const std::string &AMFObjectProperty::GetPropName() const
{
  return m_strPropName;
}

void AMFObjectProperty::SetPropName(const std::string strName)
{
  m_strPropName = strName;
}

AMFDataType AMFObjectProperty::GetType() const
{
  return m_nType;
}

double AMFObjectProperty::GetNumber() const
{
  return m_dNumber;
}

bool AMFObjectProperty::GetBoolean() const
{
  // NaN compares unequal to 0 and so reads as true.
  return m_dNumber != 0;
}

const std::string &AMFObjectProperty::GetString() const
{
  return m_strValue;
}

const AMFObject &AMFObjectProperty::GetObject() const
{
  return m_object;
}

bool AMFObjectProperty::IsValid() const
{
  return m_nType != AMF_INVALID;
}

void AMFObjectProperty::Reset()
{
  // The name and the UTC offset survive a reset.
  m_dNumber = 0;
  m_strValue.clear();
  m_object.Reset();
  m_nType = AMF_INVALID;
}

AMF3ClassDefinition::AMF3ClassDefinition(const std::string &strClassName, bool bExternalizable,
                                         bool bDynamic)
    : m_strClassName(strClassName), m_bExternalizable(bExternalizable), m_bDynamic(bDynamic)
{
}

AMF3ClassDefinition::~AMF3ClassDefinition() {}

void AMF3ClassDefinition::AddProperty(const std::string &strPropName)
{
  m_memberNames.push_back(strPropName);
}

int AMF3ClassDefinition::GetMemberCount() const
{
  return static_cast<int>(m_memberNames.size());
}

const std::string &AMF3ClassDefinition::GetProperty(int nIndex) const
{
  if (static_cast<unsigned>(nIndex) < m_memberNames.size())
    return m_memberNames[static_cast<unsigned>(nIndex)];
  return strEmpty;
}

static bool FindProperty(const AMFObject &obj, const std::string &strName, AMFObjectProperty &p,
                         int nDepth)
{
  if (nDepth > AMF_MAX_DEPTH + 1)
    return false;
  for (int i = 0; i < obj.GetPropertyCount(); i++) {
    const AMFObjectProperty &prop = obj.GetProperty(i);
    if (prop.GetPropName() == strName) {
      p = prop;
      return true;
    }
    if (prop.GetType() == AMF_OBJECT && FindProperty(prop.GetObject(), strName, p, nDepth + 1))
      return true;
  }
  return false;
}

bool FindNestedProperty(const AMFObject &obj, const std::string &strName, AMFObjectProperty &p)
{
  return FindProperty(obj, strName, p, 0);
}

}  // namespace RTMP_LIB
