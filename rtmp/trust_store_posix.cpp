#include "rtmp/trust_store.h"

#include <openssl/ssl.h>

namespace RTMP_LIB {

bool LoadTrustedAuthorities(SSL_CTX *ctx)
{
  // OpenSSL's default paths are the system's store, and follow
  // SSL_CERT_FILE and SSL_CERT_DIR.
  return SSL_CTX_set_default_verify_paths(ctx) == 1;
}

}  // namespace RTMP_LIB
