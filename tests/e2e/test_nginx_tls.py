"""rtmps downloads from nginx behind a TLS terminator (stunnel).

The client trusts only the authority the tests create (SSL_CERT_FILE). A
recording proxy between client and terminator keeps the bytes the client
sent: they must be TLS records from the first byte on, with no plain RTMP
anywhere, and nothing past the handshake when the certificate is refused.
"""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flvtools  # noqa: E402
import real_media  # noqa: E402
import tls  # noqa: E402
from nginx import NginxServer, TempDirCase, log_lines, port_accepts, run_kavelo  # noqa: E402

MEDIA = None
NGINX = None
STUNNEL = None
PKI = None
PKI_DIR = None
CERTS = {}
PLAIN_DOWNLOAD = None   # bytes of the plain rtmp download of the test file


def setUpModule():
    global MEDIA, NGINX, STUNNEL, PKI, PKI_DIR
    if tls.stunnel_binary() is None:
        raise unittest.SkipTest("stunnel is missing (Debian package stunnel4)")
    MEDIA = real_media.ensure_media()
    PKI_DIR = tempfile.mkdtemp(prefix="kavelo-pki-")
    PKI = tls.Pki(PKI_DIR)
    CERTS.update({
        "good": PKI.leaf("good"),
        "wrong-name": PKI.leaf("wrong-name", dns=("other.example",), ips=()),
        "expired": PKI.leaf("expired", expired=True),
        "untrusted": PKI.leaf("untrusted", issuer="other"),
        "self-signed": PKI.leaf("self-signed", issuer="self"),
    })
    os.environ.update(PKI.trust_env())
    NGINX = NginxServer(MEDIA.directory).start()
    # Every certificate twice: with the terminator's newest TLS and capped at
    # 1.2, whose handshake records stay readable on the wire.
    services = {}
    for name, (cert, key) in CERTS.items():
        services[name] = (cert, key, None)
        services[name + "-1.2"] = (cert, key, "TLSv1.2")
    STUNNEL = tls.Stunnel(services, NGINX.port).start()


def tearDownModule():
    for server in (STUNNEL, NGINX):
        if server is not None:
            server.stop()
    if PKI_DIR:
        shutil.rmtree(PKI_DIR, ignore_errors=True)


def media_tags(path):
    if not os.path.exists(path):
        return []
    return [t for t in flvtools.read(path).tags if t.type in (8, 9)]


class TlsCase(TempDirCase):
    TMP_PREFIX = "kavelo-tls-"

    def explain(self, run, recorder=None):
        text = "exit %d, stderr:\n%s\nstunnel:\n%s" % (run.rc, run.stderr[-4000:], STUNNEL.log_text()[-2000:])
        if recorder is not None:
            text += "\nproxy: %r" % [(d, len(b)) for d, b in recorder.chunks[:20]]
        return text

    def plain_download(self):
        global PLAIN_DOWNLOAD
        if PLAIN_DOWNLOAD is None:
            path = self.out("plain.flv")
            run = run_kavelo(["-r", NGINX.url("vod", real_media.PLAIN_NAME), "-o", path])
            self.assertEqual(run.rc, 0, self.explain(run))
            self.assertValidFlv(path)
            self.assertIsNone(flvtools.compare_tags(real_media.tags_of(MEDIA.plain), flvtools.read(path).tags))
            with open(path, "rb") as f:
                PLAIN_DOWNLOAD = f.read()
        return PLAIN_DOWNLOAD

    def assertValidFlv(self, path):
        codes, report = real_media.flvmeta_check(path)
        self.assertEqual(codes, set(), "flvmeta --check on %s:\n%s" % (path, report))

    def assertOnlyTls(self, sent):
        """The client's bytes are whole TLS records from the first byte on."""
        self.assertGreater(len(sent), 5, "the client sent nothing")
        self.assertEqual(sent[0], tls.HANDSHAKE, "first byte %#x: no TLS handshake record" % sent[0])
        self.assertEqual(sent[1], 3)
        try:
            recs, rest = tls.records(sent)
        except ValueError as e:
            self.fail("the client sent something that is not TLS: %s" % e)
        self.assertEqual(rest, 0, "a partial record at the end")
        return recs


class Download(TlsCase):
    def test_rtmps_download_equals_plain_download(self):
        expected = self.plain_download()
        for service, host in (("good", "localhost"), ("good", "127.0.0.1"), ("good-1.2", "localhost")):
            with self.subTest(service=service, host=host):
                path = self.out("%s-%s.flv" % (service, host))
                with tls.Recorder(STUNNEL.ports[service]) as rec:
                    run = run_kavelo(["-r", "rtmps://%s:%d/vod/%s" % (host, rec.port, real_media.PLAIN_NAME),
                                      "-o", path, "--timeout", "30"])
                self.assertEqual(run.rc, 0, self.explain(run, rec))
                self.assertIn("Download complete", run.stderr)
                self.assertValidFlv(path)
                with open(path, "rb") as f:
                    self.assertTrue(f.read() == expected, "the rtmps download differs from the rtmp one")
                recs = self.assertOnlyTls(rec.sent_by_client())
                # SNI carries host names only, never an address literal.
                self.assertEqual(tls.client_hello_sni(recs[0][2]), None if host == "127.0.0.1" else host)
                self.assertEqual(rec.connections, 1)

    def test_rtmps_to_an_ipv6_literal(self):
        # The certificate carries ::1; the terminator listens on [::1] only.
        cert, key = PKI.leaf("v6", dns=("localhost",), ips=("::1",))
        v6 = tls.Stunnel({"v6": (cert, key, None)}, NGINX.port, listen_host="::1").start()
        self.addCleanup(v6.stop)
        path = self.out("v6.flv")
        run = run_kavelo(["-r", "rtmps://[::1]:%d/vod/%s" % (v6.ports["v6"], real_media.PLAIN_NAME),
                          "-o", path, "--timeout", "30", "--debug"])
        self.assertEqual(run.rc, 0, self.explain(run))
        self.assertIn("tcUrl         : rtmps://[::1]:%d/vod" % v6.ports["v6"], run.stderr)
        with open(path, "rb") as f:
            self.assertTrue(f.read() == self.plain_download(), "the rtmps download over IPv6 differs")
        # The same certificate does not vouch for 127.0.0.1.
        wrong = tls.Stunnel({"v6": (cert, key, None)}, NGINX.port).start()
        self.addCleanup(wrong.stop)
        run = run_kavelo(["-r", "rtmps://127.0.0.1:%d/vod/%s" % (wrong.ports["v6"], real_media.PLAIN_NAME),
                          "-o", self.out("v4.flv"), "--timeout", "30"])
        self.assertEqual(run.rc, 1, self.explain(run))
        self.assertIn("TLS: certificate verification failed for 127.0.0.1: IP address mismatch", run.stderr)

    def test_protocol_2_with_host_and_port_options(self):
        expected = self.plain_download()
        path = self.out()
        secret = "kavelo-auth-5e2b9c"
        with tls.Recorder(STUNNEL.ports["good"]) as rec:
            run = run_kavelo(["--protocol", "2", "--host", "localhost", "--port", str(rec.port),
                              "--app", "vod", "--playpath", real_media.PLAIN_NAME, "--auth", secret,
                              "-o", path, "--timeout", "30"])
        self.assertEqual(run.rc, 0, self.explain(run, rec))
        with open(path, "rb") as f:
            self.assertTrue(f.read() == expected, "the rtmps download differs from the rtmp one")
        sent = rec.sent_by_client()
        self.assertOnlyTls(sent)
        # The connect command (auth string, tcUrl) went out encrypted only.
        for clear in (secret.encode(), b"rtmps://", b"connect"):
            self.assertNotIn(clear, sent)

    def test_tcurl_and_default_port(self):
        # With a port, the tcUrl carries it; without one, rtmps means 443.
        port = STUNNEL.ports["good"]
        run = run_kavelo(["-r", "rtmps://localhost:%d/vod/%s" % (port, real_media.PLAIN_NAME),
                          "-o", self.out(), "--stop", "1", "--debug", "--timeout", "30"])
        self.assertEqual(run.rc, 0, self.explain(run))
        lines = log_lines(run.stderr)
        self.assertIn("Protocol      : RTMPS", lines)
        self.assertIn("tcUrl         : rtmps://localhost:%d/vod" % port, lines)

        run = run_kavelo(["-r", "rtmps://localhost/vod/%s" % real_media.PLAIN_NAME,
                          "-o", self.out("443.flv"), "--debug", "--timeout", "3"], timeout=60)
        self.assertIn("tcUrl         : rtmps://localhost:443/vod", log_lines(run.stderr))
        if port_accepts(443):
            self.skipTest("something listens on 127.0.0.1:443")
        self.assertEqual(run.rc, 1, self.explain(run))
        self.assertTrue(any(l.startswith("Connect, failed to connect socket to 127.0.0.1:443. Error: 111")
                            for l in log_lines(run.stderr)), self.explain(run))


class HandshakeOrder(TlsCase):
    def test_nothing_encrypted_goes_out_before_the_server_finished(self):
        # The proxy holds the server's last handshake flight (its Finished)
        # for a while: a client that sent its RTMP handshake before
        # verifying the end of the TLS handshake would show it meanwhile.
        path = self.out()
        with tls.Recorder(STUNNEL.ports["good-1.2"], hold_after_client_ccs=1.0) as rec:
            run = run_kavelo(["-r", "rtmps://localhost:%d/vod/%s" % (rec.port, real_media.PLAIN_NAME),
                              "-o", path, "--stop", "2", "--timeout", "30"])
        self.assertEqual(run.rc, 0, self.explain(run, rec))
        self.assertEqual(rec.holds, 1, "the server's Finished was not held back")
        self.assertTrue(media_tags(path))
        self.assertOnlyTls(rec.sent_by_client())
        events = tls.timeline(rec.chunks)
        server_ccs = events.index(("s", tls.CHANGE_CIPHER_SPEC, 1))
        server_finished = next(i for i in range(server_ccs + 1, len(events)) if events[i][0] == "s")
        before = [e for e in events[:server_finished] if e[0] == "c"]
        self.assertEqual(before[0][1], tls.HANDSHAKE)
        self.assertNotIn(tls.APPLICATION_DATA, [e[1] for e in before], events[:server_finished + 3])
        self.assertIn(("c", tls.APPLICATION_DATA), [e[:2] for e in events[server_finished:]])


class VerificationFailures(TlsCase):
    CASES = (
        ("wrong-name", "localhost"),
        ("wrong-name", "127.0.0.1"),
        ("expired", "localhost"),
        ("untrusted", "localhost"),
        ("self-signed", "localhost"),
    )

    def check_refused(self, service, host):
        cert = CERTS[service.replace("-1.2", "")][0]
        reason = tls.verify_reason(cert, host, PKI.ca_cert)
        self.assertIsNotNone(reason, "the test certificate %s verifies" % service)
        path = self.out()
        with tls.Recorder(STUNNEL.ports[service]) as rec:
            run = run_kavelo(["-r", "rtmps://%s:%d/vod/%s" % (host, rec.port, real_media.PLAIN_NAME),
                              "-o", path, "--timeout", "10"], timeout=60)
        self.assertEqual(run.rc, 1, self.explain(run, rec))
        lines = log_lines(run.stderr)
        self.assertIn("TLS: certificate verification failed for %s: %s" % (host, reason), lines,
                      self.explain(run))
        self.assertIn("Failed to connect!", lines)
        self.assertEqual(media_tags(path), [])
        recs = self.assertOnlyTls(rec.sent_by_client())
        kinds = [(rtype, len(body)) for rtype, _, body in recs]
        self.assertEqual(recs[0][2][0], tls.CLIENT_HELLO)
        if service.endswith("-1.2"):
            # In TLS 1.2 the client's part after the ClientHello would be
            # clear handshake records (key exchange, Finished): only an
            # alert may follow.
            self.assertEqual([k for k in kinds[1:] if k[0] != tls.ALERT], [], kinds)
        else:
            # In TLS 1.3 an alert may also go encrypted, as a short
            # application data record; the client's Finished (53 bytes with
            # SHA-256) or any data would be longer.
            for rtype, size in kinds[1:]:
                self.assertIn(rtype, (tls.ALERT, tls.CHANGE_CIPHER_SPEC, tls.APPLICATION_DATA), kinds)
                if rtype == tls.APPLICATION_DATA:
                    self.assertLessEqual(size, 32, kinds)

    def test_refused_certificates_exit_1_after_sending_only_the_handshake(self):
        for service, host in self.CASES:
            for version in ("", "-1.2"):
                with self.subTest(service=service + version, host=host):
                    self.check_refused(service + version, host)


class WrongScheme(TlsCase):
    def test_plain_rtmp_to_the_tls_port_fails_in_time(self):
        path = self.out()
        began = time.monotonic()
        run = run_kavelo(["-r", "rtmp://127.0.0.1:%d/vod/%s" % (STUNNEL.ports["good"], real_media.PLAIN_NAME),
                          "-o", path, "--timeout", "5"], timeout=60)
        self.assertEqual(run.rc, 1, self.explain(run))
        self.assertLess(time.monotonic() - began, 20)
        self.assertEqual(media_tags(path), [])

    def test_rtmps_to_a_plain_rtmp_port_fails_in_time(self):
        # nginx takes the ClientHello for the start of an RTMP handshake and
        # waits for the rest: only the client's timeout ends this.
        path = self.out()
        began = time.monotonic()
        run = run_kavelo(["-r", "rtmps://127.0.0.1:%d/vod/%s" % (NGINX.port, real_media.PLAIN_NAME),
                          "-o", path, "--timeout", "3"], timeout=60)
        self.assertEqual(run.rc, 1, self.explain(run))
        self.assertLess(time.monotonic() - began, 18)
        self.assertTrue(any(l.startswith("TLS: handshake with 127.0.0.1 failed") for l in log_lines(run.stderr)),
                        self.explain(run))
        self.assertEqual(media_tags(path), [])


if __name__ == "__main__":
    unittest.main()
