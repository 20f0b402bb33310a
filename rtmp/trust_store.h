// The certificate authorities a TLS session trusts: the system's own.
#pragma once

typedef struct ssl_ctx_st SSL_CTX;

namespace RTMP_LIB {

// Loads the system's trusted authorities into ctx. A CA file or directory
// named in SSL_CERT_FILE or SSL_CERT_DIR is used instead, on every system.
// False when none could be loaded.
bool LoadTrustedAuthorities(SSL_CTX *ctx);

}  // namespace RTMP_LIB
