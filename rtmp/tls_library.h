// The system's OpenSSL, loaded when the first rtmps connection needs it: a
// plain rtmp download never maps the library, which would cost every run
// about 2 MB of resident memory for its start-up relocations.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace RTMP_LIB {

// Each entry has the type of the function the headers declare, so a call
// through the table is checked like a direct one.
#define KAVELO_OPENSSL_FUNCTIONS(X)                                                                              \
  X(TLS_client_method) X(SSL_CTX_new) X(SSL_CTX_free) X(SSL_CTX_ctrl) X(SSL_CTX_set_options) X(SSL_CTX_set_verify) \
  X(SSL_CTX_set_default_verify_paths) X(SSL_new) X(SSL_free) X(SSL_ctrl) X(SSL_set_bio) X(SSL_get0_param)          \
  X(SSL_set1_host) X(SSL_connect) X(SSL_read) X(SSL_write) X(SSL_shutdown) X(SSL_get_error) X(SSL_has_pending)     \
  X(SSL_get_verify_result) X(SSL_get_version) X(SSL_get_current_cipher) X(SSL_CIPHER_get_name)                     \
  X(BIO_get_new_index) X(BIO_meth_new) X(BIO_meth_free) X(BIO_meth_set_write) X(BIO_meth_set_read)                \
  X(BIO_meth_set_ctrl) X(BIO_new) X(BIO_set_data) X(BIO_get_data) X(BIO_set_init) X(BIO_clear_flags) X(BIO_set_flags)              \
  X(ERR_clear_error) X(ERR_get_error) X(ERR_peek_error) X(ERR_error_string_n) X(X509_VERIFY_PARAM_set1_ip_asc)    \
  X(X509_verify_cert_error_string) X(SSL_CTX_set_default_read_buffer_len)

struct OpenSsl {
#define KAVELO_OPENSSL_MEMBER(name) decltype(&::name) name = nullptr;
  KAVELO_OPENSSL_FUNCTIONS(KAVELO_OPENSSL_MEMBER)
#undef KAVELO_OPENSSL_MEMBER
};

// The functions of libssl (and the libcrypto it brings) of the major version
// the program was built against; nullptr, with the reason logged, when the
// library or one of them is missing. Loaded once, kept for the process.
const OpenSsl *LoadOpenSsl();

}  // namespace RTMP_LIB
