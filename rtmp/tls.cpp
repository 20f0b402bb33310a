// TLS for rtmps, through OpenSSL. The session reads and writes the socket
// through its own BIO so that a send never raises SIGPIPE and the socket's
// receive timeout and EINTR end a read just as they do for plain TCP.
#include "rtmp/tls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>

#include "foundation/log.h"
#include "rtmp/tls_library.h"

namespace RTMP_LIB {

namespace {

// Only sessions use it, and a session exists only once the library loaded.
const OpenSsl &Lib()
{
  return *LoadOpenSsl();
}

}  // namespace

// The socket blocks, so a short read or write that failed is final (a
// timeout, a signal or a dead connection) and no retry flag is set; the one
// exception is a read that only looks for more of what already arrived.
int CTlsSession::BioWrite(BIO *bio, const char *data, int n)
{
  const CTlsSession *s = static_cast<const CTlsSession *>(Lib().BIO_get_data(bio));
  Lib().BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  return static_cast<int>(send(s->m_fd, data, static_cast<size_t>(n), MSG_NOSIGNAL));
}

int CTlsSession::BioRead(BIO *bio, char *data, int n)
{
  const CTlsSession *s = static_cast<const CTlsSession *>(Lib().BIO_get_data(bio));
  Lib().BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  int nResult = static_cast<int>(recv(s->m_fd, data, static_cast<size_t>(n), s->m_bNoWait ? MSG_DONTWAIT : 0));
  if (nResult < 0 && s->m_bNoWait && (errno == EAGAIN || errno == EWOULDBLOCK))
    Lib().BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
  return nResult;
}

namespace {

long BioCtrl(BIO *, int nCmd, long, void *)
{
  return nCmd == BIO_CTRL_FLUSH ? 1 : 0;
}

bool IsIpLiteral(const char *szHost)
{
  unsigned char addr[16];
  return inet_pton(AF_INET, szHost, addr) == 1 || inet_pton(AF_INET6, szHost, addr) == 1;
}

// OpenSSL's reason for the last failure, else the socket's, else a plain close.
std::string FailureReason(int nErrno)
{
  unsigned long nError = Lib().ERR_get_error();
  if (nError != 0) {
    char sz[256];
    Lib().ERR_error_string_n(nError, sz, sizeof sz);
    return sz;
  }
  if (nErrno == EAGAIN || nErrno == EWOULDBLOCK)
    return "timed out";
  if (nErrno != 0)
    return strerror(nErrno);
  return "connection closed by the server";
}

}  // namespace

CTlsSession::~CTlsSession()
{
  const OpenSsl &lib = Lib();
  // A polite close_notify; the server's answer is not awaited.
  if (m_ssl != nullptr && !m_bBroken)
    lib.SSL_shutdown(m_ssl);
  lib.SSL_free(m_ssl);  // frees the BIO too
  lib.SSL_CTX_free(m_ctx);
  lib.BIO_meth_free(m_bioMethod);
}

std::unique_ptr<CTlsSession> CTlsSession::Start(int fd, const char *szHost)
{
  const OpenSsl *pLib = LoadOpenSsl();
  if (pLib == nullptr)
    return nullptr;
  const OpenSsl &lib = *pLib;
  std::unique_ptr<CTlsSession> session(new CTlsSession);
  CTlsSession &s = *session;
  lib.ERR_clear_error();
  s.m_ctx = lib.SSL_CTX_new(lib.TLS_client_method());
  s.m_bioMethod = lib.BIO_meth_new(lib.BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kavelo socket");
  if (s.m_ctx == nullptr || s.m_bioMethod == nullptr) {
    Log(LOG_LEVEL_ERROR, "TLS: could not set up a session: %s", FailureReason(0).c_str());
    s.m_bBroken = true;
    return nullptr;
  }
  lib.BIO_meth_set_write(s.m_bioMethod, CTlsSession::BioWrite);
  lib.BIO_meth_set_read(s.m_bioMethod, CTlsSession::BioRead);
  lib.BIO_meth_set_ctrl(s.m_bioMethod, BioCtrl);

  lib.SSL_CTX_ctrl(s.m_ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
  // A server that drops the TCP connection without close_notify ends the
  // stream like a plain close; RTMP's own status messages tell a complete
  // stream from a cut one.
  lib.SSL_CTX_set_options(s.m_ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  lib.SSL_CTX_set_verify(s.m_ctx, SSL_VERIFY_PEER, nullptr);
  // Read what the socket holds, several records at a time, like the plain
  // path's 64 KiB reads.
  lib.SSL_CTX_ctrl(s.m_ctx, SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
  lib.SSL_CTX_set_default_read_buffer_len(s.m_ctx, 65536);
  if (lib.SSL_CTX_set_default_verify_paths(s.m_ctx) != 1)
    Log(LOG_LEVEL_WARNING, "TLS: could not load the system's trusted certificates");

  s.m_ssl = lib.SSL_new(s.m_ctx);
  BIO *bio = s.m_ssl != nullptr ? lib.BIO_new(s.m_bioMethod) : nullptr;
  if (bio == nullptr) {
    Log(LOG_LEVEL_ERROR, "TLS: could not set up a session: %s", FailureReason(0).c_str());
    s.m_bBroken = true;
    return nullptr;
  }
  s.m_fd = fd;
  lib.BIO_set_data(bio, &s);
  lib.BIO_set_init(bio, 1);
  lib.SSL_set_bio(s.m_ssl, bio, bio);

  // An address is checked against the certificate's IP entries and is never
  // sent as a server name.
  bool bNamed = true;
  if (IsIpLiteral(szHost))
    bNamed = lib.X509_VERIFY_PARAM_set1_ip_asc(lib.SSL_get0_param(s.m_ssl), szHost) == 1;
  else
    bNamed = lib.SSL_ctrl(s.m_ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                          const_cast<char *>(szHost)) == 1 &&
             lib.SSL_set1_host(s.m_ssl, szHost) == 1;
  if (!bNamed) {
    Log(LOG_LEVEL_ERROR, "TLS: cannot check a certificate for host %s", szHost);
    s.m_bBroken = true;
    return nullptr;
  }

  errno = 0;
  int nResult = lib.SSL_connect(s.m_ssl);
  int nErrno = errno;
  if (nResult != 1) {
    s.m_bBroken = true;
    long nVerify = lib.SSL_get_verify_result(s.m_ssl);
    if (nVerify != X509_V_OK)
      Log(LOG_LEVEL_ERROR, "TLS: certificate verification failed for %s: %s", szHost,
          lib.X509_verify_cert_error_string(nVerify));
    else
      Log(LOG_LEVEL_ERROR, "TLS: handshake with %s failed: %s", szHost, FailureReason(nErrno).c_str());
    return nullptr;
  }
  Log(LOG_LEVEL_DEBUG, "TLS: connected to %s, %s, %s", szHost, lib.SSL_get_version(s.m_ssl),
      lib.SSL_CIPHER_get_name(lib.SSL_get_current_cipher(s.m_ssl)));
  return session;
}

int CTlsSession::Failed(int nResult, const char *szWho)
{
  const OpenSsl &lib = Lib();
  int nErrno = errno;
  int nError = lib.SSL_get_error(m_ssl, nResult);
  m_bBroken = true;
  // A timeout or a signal is reported by the caller, as for plain sockets.
  if (nError == SSL_ERROR_SYSCALL && nErrno != 0 && lib.ERR_peek_error() == 0) {
    errno = nErrno;
    return -1;
  }
  Log(LOG_LEVEL_ERROR, "TLS: %s failed: %s", szWho, FailureReason(nErrno).c_str());
  errno = EPROTO;
  return -1;
}

int CTlsSession::Read(char *buffer, int n)
{
  const OpenSsl &lib = Lib();
  lib.ERR_clear_error();
  errno = 0;
  int nResult = lib.SSL_read(m_ssl, buffer, n);
  if (nResult > 0) {
    // Records already received are decrypted in the same call, up to n
    // bytes; the socket is then only asked for what it holds at once, so
    // this never waits for the server.
    int nTotal = nResult;
    m_bNoWait = true;
    while (nTotal < n && lib.SSL_has_pending(m_ssl) == 1) {
      nResult = lib.SSL_read(m_ssl, buffer + nTotal, n - nTotal);
      // Wanting more bytes, a close or an error: the next call reports it.
      if (nResult <= 0)
        break;
      nTotal += nResult;
    }
    m_bNoWait = false;
    return nTotal;
  }
  if (lib.SSL_get_error(m_ssl, nResult) == SSL_ERROR_ZERO_RETURN)
    return 0;
  return Failed(nResult, "read");
}

int CTlsSession::Write(const char *buffer, int n)
{
  const OpenSsl &lib = Lib();
  lib.ERR_clear_error();
  errno = 0;
  int nResult = lib.SSL_write(m_ssl, buffer, n);
  if (nResult > 0)
    return nResult;
  return Failed(nResult, "write");
}

}  // namespace RTMP_LIB
