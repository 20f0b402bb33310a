// The AMF value tree: one property (a value with an optional name), an ordered
// list of properties, and the class description of an AMF3 object being read.
// AMF0 is decoded and encoded, AMF3 (embedded behind the AMF0 marker 0x11) decoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace RTMP_LIB {

typedef enum {
  AMF_INVALID = 0,
  AMF_NUMBER = 1,
  AMF_BOOLEAN = 2,
  AMF_STRING = 3,
  AMF_OBJECT = 4,
  AMF_NULL = 5,
  AMF_DATE = 8
} AMFDataType;

// Objects, arrays and AMF3 objects nest by recursion; deeper values fail.
#define AMF_MAX_DEPTH 64

// Values one outermost decode call may create, AMF0 and AMF3 together: each
// decode attempt counts one, and so do each AMF3 class member name and each
// 128 bytes of text copied; later values fail like an unsupported marker.
// The metadata of a 24-hour recording with its keyframe index holds under
// 100,000; a million properties of 128 bytes keep a hostile 16 MB message of
// one-byte nulls near 130 MB instead of 2 GB.
#define AMF_MAX_VALUES 1000000

class AMFObjectProperty;
class AMFDecodeContext;

class AMFObject
{
public:
  AMFObject();
  AMFObject(const AMFObject &) = default;
  AMFObject(AMFObject &&) noexcept = default;
  AMFObject &operator=(const AMFObject &) = default;
  AMFObject &operator=(AMFObject &&) noexcept = default;
  virtual ~AMFObject();

  int Encode(char *pBuffer, int nSize) const;
  int Decode(const char *pBuffer, int nSize, bool bDecodeName = false);
  int DecodeArray(const char *pBuffer, int nSize, int nArrayLen, bool bDecodeName = false);
  int AMF3Decode(const char *pBuffer, int nSize, bool bAMFData = false);
  void AddProperty(const AMFObjectProperty &prop);
  int GetPropertyCount() const;
  const AMFObjectProperty &GetProperty(const std::string &strName) const;
  const AMFObjectProperty &GetProperty(int nIndex) const;
  void Dump() const;
  void Reset();

  // The same decoders with the nesting depth of the value being decoded: the
  // number of objects and arrays around it, 0 for the values of a message body.
  int Decode(const char *pBuffer, int nSize, bool bDecodeName, int nDepth);
  int DecodeArray(const char *pBuffer, int nSize, int nArrayLen, bool bDecodeName, int nDepth);
  int AMF3Decode(const char *pBuffer, int nSize, bool bAMFData, int nDepth);

  static const AMFObjectProperty m_invalidProp;

protected:
  std::vector<AMFObjectProperty> m_props;

private:
  friend class AMFObjectProperty;
  // pCtx belongs to the outermost decode call: the start of its range (the
  // "unknown datatype" messages print marker offsets from it) and its budget.
  int DecodeRange(const char *pBuffer, int nSize, bool bDecodeName, int nDepth,
                  AMFDecodeContext *pCtx);
  int DecodeArrayRange(const char *pBuffer, int nSize, int nArrayLen, bool bDecodeName, int nDepth,
                       AMFDecodeContext *pCtx);
  int AMF3DecodeRange(const char *pBuffer, int nSize, bool bAMFData, int nDepth,
                      AMFDecodeContext *pCtx);
};

class AMFObjectProperty
{
public:
  AMFObjectProperty();
  AMFObjectProperty(const std::string &strName, double dValue);
  AMFObjectProperty(const std::string &strName, bool bValue);
  AMFObjectProperty(const std::string &strName, const std::string &strValue);
  // Without it a string literal would pick the boolean constructor.
  AMFObjectProperty(const std::string &strName, const char *szValue);
  AMFObjectProperty(const std::string &strName, const AMFObject &objValue);
  AMFObjectProperty(const AMFObjectProperty &) = default;
  AMFObjectProperty(AMFObjectProperty &&) noexcept = default;
  AMFObjectProperty &operator=(const AMFObjectProperty &) = default;
  AMFObjectProperty &operator=(AMFObjectProperty &&) noexcept = default;
  virtual ~AMFObjectProperty();

  const std::string &GetPropName() const;
  void SetPropName(const std::string strName);
  AMFDataType GetType() const;
  double GetNumber() const;
  bool GetBoolean() const;
  const std::string &GetString() const;
  const AMFObject &GetObject() const;
  bool IsValid() const;

  int Encode(char *pBuffer, int nSize) const;
  int EncodeName(char *pBuffer) const;
  int Decode(const char *pBuffer, int nSize, bool bDecodeName);
  int AMF3Decode(const char *pBuffer, int nSize, bool bDecodeName = false);
  void Dump() const;
  void Reset();

  int Decode(const char *pBuffer, int nSize, bool bDecodeName, int nDepth);
  int AMF3Decode(const char *pBuffer, int nSize, bool bDecodeName, int nDepth);

protected:
  friend class AMFObject;
  std::string m_strPropName;
  AMFDataType m_nType;
  double m_dNumber;
  int16_t m_nUTCOffset;
  AMFObject m_object;
  std::string m_strValue;

private:
  int DecodeRange(const char *pBuffer, int nSize, bool bDecodeName, int nDepth,
                  AMFDecodeContext *pCtx);
  int DecodeValue(unsigned char nMarker, const char *pBuffer, int nSize, int nDepth,
                  AMFDecodeContext *pCtx);
  int AMF3DecodeRange(const char *pBuffer, int nSize, bool bDecodeName, int nDepth,
                      AMFDecodeContext *pCtx);
  int AMF3DecodeValue(unsigned char nMarker, const char *pBuffer, int nSize, int nDepth,
                      AMFDecodeContext *pCtx);
};

class AMF3ClassDefinition
{
public:
  AMF3ClassDefinition(const std::string &strClassName, bool bExternalizable, bool bDynamic);
  virtual ~AMF3ClassDefinition();

  void AddProperty(const std::string &strPropName);
  int GetMemberCount() const;
  const std::string &GetProperty(int nIndex) const;
  bool isExternalizable() const { return m_bExternalizable; }
  bool isDynamic() const { return m_bDynamic; }

protected:
  std::string m_strClassName;
  bool m_bExternalizable;
  bool m_bDynamic;
  std::vector<std::string> m_memberNames;
};

extern const std::string strEmpty;

// AMF3 wire elements. The bounded forms take the bytes available and return
// -1 when the element does not fit (or, for a string, when its length is
// negative). A string comes back in a new[] array that the caller delete[]s;
// a string reference reads as an empty string.
int AMF3ReadInteger(const char *data, int32_t *valp);
int AMF3ReadString(const char *data, char **pStr);
int AMF3ReadInteger(const char *data, int nSize, int32_t *valp);
int AMF3ReadString(const char *data, int nSize, char **pStr);
// The bounded string read without a copy: *ppText points at the string's
// *pnLen bytes inside data (at an empty text for a reference).
int AMF3ReadStringText(const char *data, int nSize, const char **ppText, int *pnLen);

// The first property named strName, searched in order through nested
// objects as well (metadata often holds keyframe tables or track lists before
// the property wanted), at most as deep as the decoder nests.
bool FindNestedProperty(const AMFObject &obj, const std::string &strName, AMFObjectProperty &p);

}  // namespace RTMP_LIB
