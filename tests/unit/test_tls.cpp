// The TLS session of rtmps over a socket pair, against an in-process server
// whose certificates the test makes: verification outcomes and their
// messages, data both ways, a closed session and a receive timeout.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include "log_capture.h"
#include "rtmp/tls.h"

using RTMP_LIB::CTlsSession;

namespace {

struct KeyAndCert {
  EVP_PKEY *pKey = nullptr;
  X509 *pCert = nullptr;
  ~KeyAndCert()
  {
    EVP_PKEY_free(pKey);
    X509_free(pCert);
  }
};

void AddExtension(X509 *pCert, X509 *pIssuer, int nNid, const char *szValue)
{
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, pIssuer, pCert, nullptr, nullptr, 0);
  X509_EXTENSION *pExt = X509V3_EXT_conf_nid(nullptr, &ctx, nNid, szValue);
  ASSERT_NE(pExt, nullptr);
  X509_add_ext(pCert, pExt, -1);
  X509_EXTENSION_free(pExt);
}

// A certificate for szName (subject CN and subjectAltName szSan), valid from
// nFromDays to nToDays around now, signed by pIssuer (self-signed when null).
void MakeCert(KeyAndCert &out, const char *szName, const char *szSan, const KeyAndCert *pIssuer, long nFromDays,
              long nToDays)
{
  out.pKey = EVP_EC_gen("P-256");
  ASSERT_NE(out.pKey, nullptr);
  out.pCert = X509_new();
  X509_set_version(out.pCert, 2);
  static long nSerial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(out.pCert), nSerial++);
  X509_gmtime_adj(X509_getm_notBefore(out.pCert), nFromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(out.pCert), nToDays * 86400);
  X509_set_pubkey(out.pCert, out.pKey);
  X509_NAME *pName = X509_get_subject_name(out.pCert);
  X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(szName), -1, -1,
                             0);
  X509 *pIssuerCert = pIssuer ? pIssuer->pCert : out.pCert;
  X509_set_issuer_name(out.pCert, X509_get_subject_name(pIssuerCert));
  if (pIssuer == nullptr) {
    AddExtension(out.pCert, pIssuerCert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(out.pCert, pIssuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(out.pCert, pIssuerCert, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(out.pCert, pIssuerCert, NID_subject_alt_name, szSan);
  }
  ASSERT_GT(X509_sign(out.pCert, pIssuer ? pIssuer->pKey : out.pKey, EVP_sha256()), 0);
}

// The trusted authority goes to a file that SSL_CERT_FILE names, the way a
// user points kavelo at a private authority.
class TrustedAuthority
{
public:
  explicit TrustedAuthority(const KeyAndCert &ca)
  {
    char szPath[] = "/tmp/kavelo_tls_caXXXXXX";
    int fd = mkstemp(szPath);
    m_strPath = szPath;
    FILE *f = fdopen(fd, "w");
    PEM_write_X509(f, ca.pCert);
    fclose(f);
    const char *szOld = getenv("SSL_CERT_FILE");
    m_bHadOld = szOld != nullptr;
    if (m_bHadOld)
      m_strOld = szOld;
    setenv("SSL_CERT_FILE", m_strPath.c_str(), 1);
  }
  ~TrustedAuthority()
  {
    if (m_bHadOld)
      setenv("SSL_CERT_FILE", m_strOld.c_str(), 1);
    else
      unsetenv("SSL_CERT_FILE");
    unlink(m_strPath.c_str());
  }

private:
  std::string m_strPath, m_strOld;
  bool m_bHadOld = false;
};

// A TLS server on one end of a socket pair: handshakes, reads nEcho bytes,
// answers with their reverse, then closes.
class TlsServer
{
public:
  TlsServer(int fd, const KeyAndCert &server, int nEcho) : m_fd(fd)
  {
    m_ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(m_ctx, server.pCert);
    SSL_CTX_use_PrivateKey(m_ctx, server.pKey);
    m_thread = std::thread([this, nEcho] { Serve(nEcho); });
  }
  ~TlsServer()
  {
    m_thread.join();
    SSL_CTX_free(m_ctx);
    close(m_fd);
  }
  bool HandshakeDone() const { return m_bHandshakeDone; }

private:
  void Serve(int nEcho)
  {
    SSL *ssl = SSL_new(m_ctx);
    SSL_set_fd(ssl, m_fd);
    if (SSL_accept(ssl) == 1) {
      m_bHandshakeDone = true;
      char buf[4096];
      int n;
      std::string s;
      while (static_cast<int>(s.size()) < nEcho && (n = SSL_read(ssl, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
      // One write: records of at most 16 KiB, back to back.
      std::string r(s.rbegin(), s.rend());
      if (!r.empty())
        SSL_write(ssl, r.data(), static_cast<int>(r.size()));
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    shutdown(m_fd, SHUT_RDWR);
  }

  int m_fd;
  SSL_CTX *m_ctx = nullptr;
  std::thread m_thread;
  bool m_bHandshakeDone = false;
};

struct Pair {
  int fd[2] = {-1, -1};
  Pair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
  ~Pair()
  {
    if (fd[0] >= 0)
      close(fd[0]);
  }
};

int Readable(int fd)
{
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

class Tls : public ::testing::Test
{
protected:
  void SetUp() override
  {
    // The test's own server writes with plain write(2) to a client that may
    // have gone.
    signal(SIGPIPE, SIG_IGN);
    MakeCert(m_ca, "Kavelo Test CA", nullptr, nullptr, -1, 30);
    MakeCert(m_other, "Someone Else CA", nullptr, nullptr, -1, 30);
  }
  KeyAndCert m_ca, m_other;
};

TEST_F(Tls, VerificationOutcomes)
{
  const struct {
    const char *szCase;
    const char *szSan;
    bool bTrustedIssuer;
    long nFrom, nTo;
    const char *szHost;
    const char *szError;  // nullptr: the session starts
  } cases[] = {
      {"name in the certificate", "DNS:localhost,IP:127.0.0.1", true, -1, 30, "localhost", nullptr},
      {"address in the certificate", "DNS:localhost,IP:127.0.0.1", true, -1, 30, "127.0.0.1", nullptr},
      {"IPv6 address in the certificate", "IP:::1", true, -1, 30, "::1", nullptr},
      {"wildcard name", "DNS:*.example.test", true, -1, 30, "media.example.test", nullptr},
      {"other name", "DNS:localhost", true, -1, 30, "media.example.test",
       "TLS: certificate verification failed for media.example.test: hostname mismatch\n"},
      {"address not in the certificate", "DNS:localhost", true, -1, 30, "127.0.0.1",
       "TLS: certificate verification failed for 127.0.0.1: IP address mismatch\n"},
      {"expired", "DNS:localhost", true, -10, -1, "localhost",
       "TLS: certificate verification failed for localhost: certificate has expired\n"},
      {"not yet valid", "DNS:localhost", true, 2, 10, "localhost",
       "TLS: certificate verification failed for localhost: certificate is not yet valid\n"},
      {"untrusted issuer", "DNS:localhost", false, -1, 30, "localhost",
       "TLS: certificate verification failed for localhost: unable to get local issuer certificate\n"},
  };
  TrustedAuthority trust(m_ca);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szCase);
    KeyAndCert server;
    MakeCert(server, "server", c.szSan, c.bTrustedIssuer ? &m_ca : &m_other, c.nFrom, c.nTo);
    Pair pair;
    LogCapture log(LOG_LEVEL_ERROR);
    std::unique_ptr<CTlsSession> session;
    {
      TlsServer tlsServer(pair.fd[1], server, 0);
      session = CTlsSession::Start(pair.fd[0], c.szHost);
      session.reset();
      shutdown(pair.fd[0], SHUT_RDWR);
    }
    if (c.szError == nullptr) {
      EXPECT_EQ(log.Text(), "");
    } else {
      // OpenSSL's reason texts vary in case between versions.
      std::string strText = log.Text();
      for (char &ch : strText)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
      std::string strWant = std::string("\rerror: ") + c.szError;
      for (char &ch : strWant)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
      EXPECT_EQ(strText, strWant);
    }
  }
}

TEST_F(Tls, SessionFailsWithoutATrustedAuthority)
{
  KeyAndCert server;
  MakeCert(server, "server", "DNS:localhost", &m_ca, -1, 30);
  TrustedAuthority trust(m_other);
  Pair pair;
  LogCapture log(LOG_LEVEL_ERROR);
  {
    TlsServer tlsServer(pair.fd[1], server, 0);
    EXPECT_EQ(CTlsSession::Start(pair.fd[0], "localhost"), nullptr);
    shutdown(pair.fd[0], SHUT_RDWR);
    EXPECT_FALSE(tlsServer.HandshakeDone());
  }
  EXPECT_NE(log.Text().find("certificate verification failed for localhost"), std::string::npos) << log.Text();
}

TEST_F(Tls, DataBothWaysThenCloseReadsZero)
{
  KeyAndCert server;
  MakeCert(server, "server", "DNS:localhost", &m_ca, -1, 30);
  TrustedAuthority trust(m_ca);
  Pair pair;
  LogCapture log(LOG_LEVEL_ERROR);
  TlsServer tlsServer(pair.fd[1], server, 40000);
  std::unique_ptr<CTlsSession> session = CTlsSession::Start(pair.fd[0], "localhost");
  ASSERT_NE(session, nullptr);
  // Larger than one TLS record both ways.
  std::string strSent(40000, '\0');
  for (size_t i = 0; i < strSent.size(); i++)
    strSent[i] = static_cast<char>(i * 7 + i / 256);
  ASSERT_EQ(session->Write(strSent.data(), 40000), 40000);
  // Once the whole answer has arrived, one read takes several records.
  for (int i = 0; i < 1000 && Readable(pair.fd[0]) < 40000; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GE(Readable(pair.fd[0]), 40000);
  std::string strGot;
  char buf[65536];
  int nFirst = 0;
  while (strGot.size() < 40000) {
    int n = session->Read(buf, sizeof buf);
    ASSERT_GT(n, 0);
    if (nFirst == 0)
      nFirst = n;
    strGot.append(buf, static_cast<size_t>(n));
  }
  EXPECT_GT(nFirst, 16384);
  EXPECT_EQ(strGot, std::string(strSent.rbegin(), strSent.rend()));
  // The server closes: close_notify reads as the end of the stream.
  EXPECT_EQ(session->Read(buf, sizeof buf), 0);
  EXPECT_EQ(log.Text(), "");
}

TEST_F(Tls, SilentServerTimesOutWithEagain)
{
  KeyAndCert server;
  MakeCert(server, "server", "DNS:localhost", &m_ca, -1, 30);
  TrustedAuthority trust(m_ca);
  Pair pair;
  TlsServer tlsServer(pair.fd[1], server, 1);
  std::unique_ptr<CTlsSession> session = CTlsSession::Start(pair.fd[0], "localhost");
  ASSERT_NE(session, nullptr);
  struct timeval tv = {0, 200000};
  ASSERT_EQ(setsockopt(pair.fd[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
  char buf[16];
  LogCapture log(LOG_LEVEL_ERROR);
  errno = 0;
  EXPECT_EQ(session->Read(buf, sizeof buf), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
  // The caller reports a timeout, as for a plain socket.
  EXPECT_EQ(log.Text(), "");
  session.reset();
  shutdown(pair.fd[0], SHUT_RDWR);
}

TEST_F(Tls, PlainServerIsAHandshakeFailure)
{
  Pair pair;
  std::thread plain([&pair] {
    const char reply[] = "\x03 not a TLS server";
    char buf[512];
    (void)!read(pair.fd[1], buf, sizeof buf);
    (void)!write(pair.fd[1], reply, sizeof reply);
    close(pair.fd[1]);
  });
  LogCapture log(LOG_LEVEL_ERROR);
  EXPECT_EQ(CTlsSession::Start(pair.fd[0], "localhost"), nullptr);
  plain.join();
  EXPECT_EQ(log.Text().rfind("\rERROR: TLS: handshake with localhost failed: ", 0), 0u) << log.Text();
}

}  // namespace
