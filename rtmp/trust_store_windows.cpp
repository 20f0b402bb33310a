// Windows keeps its trusted authorities in the certificate store, not in
// files: each certificate of the "ROOT" store is handed to OpenSSL.
#include "rtmp/trust_store.h"

#include <cstdlib>

#include <windows.h>
#include <wincrypt.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace RTMP_LIB {

namespace {

bool IsSet(const char *szName)
{
  const char *szValue = getenv(szName);
  return szValue != nullptr && *szValue != '\0';
}

}  // namespace

bool LoadTrustedAuthorities(SSL_CTX *ctx)
{
  if (IsSet("SSL_CERT_FILE") || IsSet("SSL_CERT_DIR"))
    return SSL_CTX_set_default_verify_paths(ctx) == 1;
  HCERTSTORE hStore = CertOpenSystemStoreW(0, L"ROOT");
  if (hStore == nullptr)
    return false;
  X509_STORE *store = SSL_CTX_get_cert_store(ctx);
  int nAdded = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(hStore, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(hStore, c)) {
    const unsigned char *p = c->pbCertEncoded;
    X509 *x = d2i_X509(nullptr, &p, static_cast<long>(c->cbCertEncoded));
    if (x == nullptr)
      continue;
    if (X509_STORE_add_cert(store, x) == 1)
      nAdded++;
    X509_free(x);
  }
  CertCloseStore(hStore, 0);
  return nAdded > 0;
}

}  // namespace RTMP_LIB
