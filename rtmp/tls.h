// TLS over a connected socket, for rtmps.
#pragma once

#include <memory>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_method_st BIO_METHOD;
typedef struct bio_st BIO;

namespace RTMP_LIB {

class CTlsSession
{
public:
  ~CTlsSession();
  CTlsSession(const CTlsSession &) = delete;
  CTlsSession &operator=(const CTlsSession &) = delete;

  // Runs the client handshake on fd: the server name goes out as SNI, and the
  // certificate must chain to the system's trusted authorities (its store,
  // or SSL_CERT_FILE and SSL_CERT_DIR when set) and carry the
  // host name, or the address when the host is an IP literal. Logs why it
  // failed and returns nullptr; never falls back to plain TCP.
  static std::unique_ptr<CTlsSession> Start(int fd, const char *szHost);

  // Like recv: bytes read, 0 when the server closed the session, -1 on an
  // error (LastError() holds the socket's error when the socket call was
  // interrupted or timed out).
  int Read(char *buffer, int n);
  // Like send: bytes written (all of them), or -1.
  int Write(const char *buffer, int n);
  // The socket's error behind the last failure, or SockProtocolError() for
  // one of TLS itself.
  int LastError() const { return m_nError; }

private:
  CTlsSession() = default;
  int Failed(int nResult, const char *szWho);

  static int BioWrite(BIO *bio, const char *data, int n);
  static int BioRead(BIO *bio, char *data, int n);

  int m_fd = -1;
  int m_nError = 0;        // of the last failed socket call
  bool m_bNoWait = false;  // reads only take what the socket already holds
  SSL_CTX *m_ctx = nullptr;
  SSL *m_ssl = nullptr;
  BIO_METHOD *m_bioMethod = nullptr;
  bool m_bBroken = false;  // a fatal error: no close_notify may follow
};

}  // namespace RTMP_LIB
