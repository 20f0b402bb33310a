#include "rtmp/tls_library.h"

#include <dlfcn.h>
#include <string>

#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

#define KAVELO_STR2(x) #x
#define KAVELO_STR(x) KAVELO_STR2(x)

bool Load(OpenSsl &ssl)
{
  // The soname of the same major version as the headers: its interface is
  // the one this program was compiled for.
  const char *szName = "libssl.so." KAVELO_STR(OPENSSL_VERSION_MAJOR);
  void *pLib = dlopen(szName, RTLD_NOW | RTLD_LOCAL);
  if (pLib == nullptr) {
    const char *szWhy = dlerror();
    Log(LOG_LEVEL_ERROR, "TLS: cannot load %s: %s", szName, szWhy != nullptr ? szWhy : "unknown error");
    return false;
  }
  // dlsym on the handle also searches the libraries it depends on, so the
  // libcrypto functions are found through libssl's handle.
#define KAVELO_OPENSSL_RESOLVE(name)                                                             \
  ssl.name = reinterpret_cast<decltype(ssl.name)>(dlsym(pLib, #name));                         \
  if (ssl.name == nullptr) {                                                                   \
    Log(LOG_LEVEL_ERROR, "TLS: %s has no function %s", szName, #name);                        \
    return false;                                                                              \
  }
  KAVELO_OPENSSL_FUNCTIONS(KAVELO_OPENSSL_RESOLVE)
#undef KAVELO_OPENSSL_RESOLVE
  return true;
}

}  // namespace

const OpenSsl *LoadOpenSsl()
{
  static OpenSsl ssl;
  static int nState = 0;  // 0 not tried, 1 loaded, -1 failed
  if (nState == 0)
    nState = Load(ssl) ? 1 : -1;
  return nState == 1 ? &ssl : nullptr;
}

}  // namespace RTMP_LIB
