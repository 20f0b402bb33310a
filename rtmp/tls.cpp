// TLS for rtmps, through OpenSSL. The session reads and writes the socket
// through its own BIO so that a send never raises SIGPIPE and the socket's
// receive timeout and EINTR end a read just as they do for plain TCP.
#include "rtmp/tls.h"

#include <cstring>
#include <string>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "foundation/log.h"
#include "rtmp/sockets.h"
#include "rtmp/trust_store.h"

namespace RTMP_LIB {

// The socket blocks, so a short read or write that failed is final (a
// timeout, a signal or a dead connection) and no retry flag is set; the one
// exception is a read that only looks for more of what already arrived.
int CTlsSession::BioWrite(BIO *bio, const char *data, int n)
{
  CTlsSession *s = static_cast<CTlsSession *>(BIO_get_data(bio));
  BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  int nResult = SockSend(s->m_fd, data, n);
  if (nResult < 0)
    s->m_nError = GetSockError();
  return nResult;
}

int CTlsSession::BioRead(BIO *bio, char *data, int n)
{
  CTlsSession *s = static_cast<CTlsSession *>(BIO_get_data(bio));
  BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  int nResult = SockRecv(s->m_fd, data, n, s->m_bNoWait);
  if (nResult < 0) {
    s->m_nError = GetSockError();
    if (s->m_bNoWait && SockErrorIsWouldBlock(s->m_nError))
      BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
  }
  return nResult;
}

namespace {

long BioCtrl(BIO *, int nCmd, long, void *)
{
  return nCmd == BIO_CTRL_FLUSH ? 1 : 0;
}

// OpenSSL's reason for the last failure, else the socket's, else a plain close.
std::string FailureReason(int nSockError)
{
  unsigned long nError = ERR_get_error();
  if (nError != 0) {
    char sz[256];
    ERR_error_string_n(nError, sz, sizeof sz);
    return sz;
  }
  if (SockErrorIsTimeout(nSockError))
    return "timed out";
  if (nSockError != 0)
    return SockErrorText(nSockError);
  return "connection closed by the server";
}

}  // namespace

CTlsSession::~CTlsSession()
{
  // A polite close_notify; the server's answer is not awaited.
  if (m_ssl != nullptr && !m_bBroken)
    SSL_shutdown(m_ssl);
  SSL_free(m_ssl);  // frees the BIO too
  SSL_CTX_free(m_ctx);
  BIO_meth_free(m_bioMethod);
}

std::unique_ptr<CTlsSession> CTlsSession::Start(int fd, const char *szHost)
{
  std::unique_ptr<CTlsSession> session(new CTlsSession);
  CTlsSession &s = *session;
  ERR_clear_error();
  s.m_ctx = SSL_CTX_new(TLS_client_method());
  s.m_bioMethod = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kavelo socket");
  if (s.m_ctx == nullptr || s.m_bioMethod == nullptr) {
    Log(LOG_LEVEL_ERROR, "TLS: could not set up a session: %s", FailureReason(0).c_str());
    s.m_bBroken = true;
    return nullptr;
  }
  BIO_meth_set_write(s.m_bioMethod, CTlsSession::BioWrite);
  BIO_meth_set_read(s.m_bioMethod, CTlsSession::BioRead);
  BIO_meth_set_ctrl(s.m_bioMethod, BioCtrl);

  SSL_CTX_set_min_proto_version(s.m_ctx, TLS1_2_VERSION);
  // A server that drops the TCP connection without close_notify ends the
  // stream like a plain close; RTMP's own status messages tell a complete
  // stream from a cut one.
  SSL_CTX_set_options(s.m_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_verify(s.m_ctx, SSL_VERIFY_PEER, nullptr);
  // Read what the socket holds, several records at a time, like the plain
  // path's 64 KiB reads.
  SSL_CTX_set_read_ahead(s.m_ctx, 1);
  SSL_CTX_set_default_read_buffer_len(s.m_ctx, 65536);
  if (!LoadTrustedAuthorities(s.m_ctx))
    Log(LOG_LEVEL_WARNING, "TLS: could not load the system's trusted certificates");

  s.m_ssl = SSL_new(s.m_ctx);
  BIO *bio = s.m_ssl != nullptr ? BIO_new(s.m_bioMethod) : nullptr;
  if (bio == nullptr) {
    Log(LOG_LEVEL_ERROR, "TLS: could not set up a session: %s", FailureReason(0).c_str());
    s.m_bBroken = true;
    return nullptr;
  }
  s.m_fd = fd;
  BIO_set_data(bio, &s);
  BIO_set_init(bio, 1);
  SSL_set_bio(s.m_ssl, bio, bio);

  // An address is checked against the certificate's IP entries and is never
  // sent as a server name.
  bool bNamed = true;
  if (IsIpLiteral(szHost))
    bNamed = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.m_ssl), szHost) == 1;
  else
    bNamed = SSL_set_tlsext_host_name(s.m_ssl, szHost) == 1 && SSL_set1_host(s.m_ssl, szHost) == 1;
  if (!bNamed) {
    Log(LOG_LEVEL_ERROR, "TLS: cannot check a certificate for host %s", szHost);
    s.m_bBroken = true;
    return nullptr;
  }

  s.m_nError = 0;
  int nResult = SSL_connect(s.m_ssl);
  if (nResult != 1) {
    s.m_bBroken = true;
    long nVerify = SSL_get_verify_result(s.m_ssl);
    if (nVerify != X509_V_OK)
      Log(LOG_LEVEL_ERROR, "TLS: certificate verification failed for %s: %s", szHost,
          X509_verify_cert_error_string(nVerify));
    else
      Log(LOG_LEVEL_ERROR, "TLS: handshake with %s failed: %s", szHost, FailureReason(s.m_nError).c_str());
    return nullptr;
  }
  Log(LOG_LEVEL_DEBUG, "TLS: connected to %s, %s, %s", szHost, SSL_get_version(s.m_ssl),
      SSL_CIPHER_get_name(SSL_get_current_cipher(s.m_ssl)));
  return session;
}

int CTlsSession::Failed(int nResult, const char *szWho)
{
  int nError = SSL_get_error(m_ssl, nResult);
  m_bBroken = true;
  // A timeout or a signal is reported by the caller, as for plain sockets.
  if (nError == SSL_ERROR_SYSCALL && m_nError != 0 && ERR_peek_error() == 0)
    return -1;
  Log(LOG_LEVEL_ERROR, "TLS: %s failed: %s", szWho, FailureReason(m_nError).c_str());
  m_nError = SockProtocolError();
  return -1;
}

int CTlsSession::Read(char *buffer, int n)
{
  ERR_clear_error();
  m_nError = 0;
  int nResult = SSL_read(m_ssl, buffer, n);
  if (nResult > 0) {
    // Records already received are decrypted in the same call, up to n
    // bytes; the socket is then only asked for what it holds at once, so
    // this never waits for the server.
    int nTotal = nResult;
    m_bNoWait = true;
    while (nTotal < n && SSL_has_pending(m_ssl) == 1) {
      nResult = SSL_read(m_ssl, buffer + nTotal, n - nTotal);
      // Wanting more bytes, a close or an error: the next call reports it.
      if (nResult <= 0)
        break;
      nTotal += nResult;
    }
    m_bNoWait = false;
    return nTotal;
  }
  if (SSL_get_error(m_ssl, nResult) == SSL_ERROR_ZERO_RETURN)
    return 0;
  return Failed(nResult, "read");
}

int CTlsSession::Write(const char *buffer, int n)
{
  ERR_clear_error();
  m_nError = 0;
  int nResult = SSL_write(m_ssl, buffer, n);
  if (nResult > 0)
    return nResult;
  return Failed(nResult, "write");
}

}  // namespace RTMP_LIB
