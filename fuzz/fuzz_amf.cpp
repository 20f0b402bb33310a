// Fuzz target for the AMF decoders. The first input byte chooses the mode
// (bit 0: values carry names; bit 1: also read the body as an AMF3 object,
// bit 2: with its 0x0A marker; bit 3: print the log at --debug level); the
// other bytes are the message body.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "amf/AMFObject.h"
#include "foundation/log.h"
#include "fuzz_support.h"

using RTMP_LIB::AMFObject;
using RTMP_LIB::AMFObjectProperty;

namespace {

// Room for re-encoding: AMF3 integers of two bytes grow to nine, so the
// encoding may be larger than the input; a fixed room also tests the checks.
const int kEncodeRoom = 1 << 16;

int Walk(const AMFObject &obj, int nLevel)
{
  // Every accessor on every node, as the messaging code reads them.
  int n = 0;
  for (int i = 0; i < obj.GetPropertyCount(); i++) {
    const AMFObjectProperty &prop = obj.GetProperty(i);
    n += static_cast<int>(prop.GetString().size()) + prop.GetBoolean() + prop.IsValid();
    if (&obj.GetProperty(prop.GetPropName()) == &AMFObject::m_invalidProp)
      __builtin_trap();
    if (prop.GetType() == RTMP_LIB::AMF_OBJECT) {
      if (nLevel > AMF_MAX_DEPTH + 1)
        __builtin_trap();
      n += Walk(prop.GetObject(), nLevel + 1);
    }
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  SilenceLog(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 1 || size > (1u << 24))
    return 0;
  const uint8_t nMode = data[0];
  const char *pBody = reinterpret_cast<const char *>(data + 1);
  const int nSize = static_cast<int>(size - 1);
  debuglevel = (nMode & 8) != 0 ? LOG_LEVEL_DEBUG + 1 : 0;

  AMFObject obj;
  int nRes = obj.Decode(pBody, nSize, (nMode & 1) != 0);
  if (nRes > nSize || nRes < -1)
    __builtin_trap();

  obj.Dump();
  Walk(obj, 0);

  AMFObject copy(obj);
  static std::vector<char> out(kEncodeRoom);
  int nEnc = copy.Encode(out.data(), kEncodeRoom);
  if (nEnc > kEncodeRoom || nEnc < -1)
    __builtin_trap();

  if ((nMode & 2) != 0) {
    AMFObject amf3;
    nRes = amf3.AMF3Decode(pBody, nSize, (nMode & 4) != 0);
    if (nRes > nSize || nRes < -1)
      __builtin_trap();
    amf3.Dump();
    Walk(amf3, 0);
  }
  return 0;
}
