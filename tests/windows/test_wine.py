"""kavelo.exe, the Windows build, run under Wine against the scripted test
server: one row per behaviour, its files compared byte for byte with what the
Linux binary writes.

Environment: KAVELO_EXE (the Windows binary; required), KAVELO_BIN (the Linux
one). Wine runs in a prefix of its own, made for this module and removed at
its end with its wineserver.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from harness import KaveloTestCase, Result, flvtools, run_kavelo, wait_blocked, wait_until  # noqa: E402
import tls  # noqa: E402

RUN_TIMEOUT = 180      # a fresh Wine prefix is slow on its first runs
MEDIA = {"synthetic": {"duration_ms": 6000}}
VOD = {"media": MEDIA}
# The first connection breaks inside a message, the next one serves it all.
DROPPED = {"media": MEDIA, "connections": [{"media": dict(MEDIA, max_messages=200, cut_bytes=700),
                                            "end": "close"}, {}]}
# The first connection goes silent after 200 messages and stays open longer
# than a run may last: only the interrupt can end the wait.
STALLED = {"media": MEDIA, "connections": [{"media": dict(MEDIA, inject=[
    {"at": 200, "steps": [{"op": "hold", "seconds": 900}]}])}, {}]}
LIVE = {"media": dict(MEDIA, live=True, pace_ms=1)}
URL_OUT = ["-r", "{url}", "-o", "{out}"]
CLOSED = "a port nobody listens on"

PREFIX = None
PKI = None
CERTS = {}


def wine_env(trust=None):
    env = {k: v for k, v in os.environ.items() if k not in ("SSL_CERT_FILE", "SSL_CERT_DIR")}
    env.update(WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if trust == "trust":
        env.update(PKI.trust_env())
    return env


def setUpModule():
    global PREFIX, PKI
    exe = os.environ.get("KAVELO_EXE")
    if not exe or not os.path.isfile(exe):
        raise RuntimeError("KAVELO_EXE must name the Windows binary, not %r" % exe)
    PREFIX = tempfile.mkdtemp(prefix="kavelo-wine-")
    boot = subprocess.run(["wineboot", "-i"], env=wine_env(), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT)
    if boot.returncode != 0:
        raise RuntimeError("wineboot -i failed:\n%s" % boot.stdout.decode(errors="replace"))
    PKI = tls.Pki(os.path.join(PREFIX, "pki"))
    CERTS.update(good=PKI.leaf("good"), untrusted=PKI.leaf("untrusted", issuer="other"),
                 v6=PKI.leaf("v6", ips=("::1",)))


def tearDownModule():
    if PREFIX:
        subprocess.run(["wineserver", "-k"], env=wine_env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(PREFIX, ignore_errors=True)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def text(data):
    """Console text as on Linux: Windows ends its lines with CR LF."""
    return data.replace(b"\r\n", b"\n").decode("utf-8", "replace")


def read(path):
    with open(path, "rb") as fh:
        return fh.read()


class UnderWine(KaveloTestCase):
    def start_exe(self, args, env, name):
        out, err = (open(self.path("%s.%s" % (name, s)), "wb") for s in ("stdout", "stderr"))
        with out, err:
            return subprocess.Popen(["wine", os.environ["KAVELO_EXE"]] + args, stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err, env=env, cwd=self.tmp)

    def finish(self, proc, name):
        try:
            proc.wait(RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        out, err = (read(self.path("%s.%s" % (name, s))) for s in ("stdout", "stderr"))
        return Result(proc.returncode, out, text(err), proc.returncode == -signal.SIGKILL)

    def run_exe(self, args, env, name):
        return self.finish(self.start_exe(args, env, name), name)

    def one_shot(self):
        """The whole stream as the Linux binary downloads it."""
        if not hasattr(UnderWine, "expected"):
            srv = self.server(VOD)
            r = run_kavelo(["-r", srv.url("vod/clip"), "-o", self.path("one-shot.flv")], timeout=RUN_TIMEOUT)
            self.assertEqual(r.rc, 0, r)
            UnderWine.expected = read(self.path("one-shot.flv"))
        return UnderWine.expected

    def interrupt(self, proc, srv):
        """Ctrl-C: Wine turns SIGINT to its process into CTRL_C_EVENT. The
        script /usr/bin/wine execs the loader, which runs kavelo.exe in the
        process Popen started."""
        self.assertTrue(wait_until(lambda: sum(r.get("dir") == "out" for r in srv.log()) >= 200, RUN_TIMEOUT),
                        "the server never reached its stall")
        with open("/proc/%d/cmdline" % proc.pid, "rb") as fh:
            self.assertTrue(fh.read().split(b"\0")[0].endswith(b"kavelo.exe"), "pid is not kavelo.exe")
        self.assertTrue(wait_blocked(proc.pid, RUN_TIMEOUT), "kavelo.exe never waited for the server")
        proc.send_signal(signal.SIGINT)

    def test_rows(self):
        reason = tls.verify_reason(CERTS["untrusted"][0], "127.0.0.1", PKI.ca_cert)
        refused = "TLS: certificate verification failed for 127.0.0.1: " + reason
        store_refused = "TLS: certificate verification failed for 127.0.0.1: "
        # (name, server, (certificate, trust[, address]) for rtmps, arguments, Ctrl-C, exit code, a line of its
        # output, check: "linux" same as the Linux binary, "one-shot" the file is the whole stream,
        # "resume" --resume then completes it, "whole" an FLV file that ends with its last whole tag,
        # "no file" none written)
        rows = [
            ("download", VOD, None, URL_OUT, False, 0, "Download complete", "linux"),
            ("download to standard output", VOD, None, ["-r", "{url}", "-o", "-"], False, 0,
             "Download complete", "linux"),
            ("resume after a dropped connection", DROPPED, None, URL_OUT, False, 2,
             "the server closed the connection; try --resume", "resume"),
            ("retry across a dropped connection", DROPPED, None, URL_OUT + ["--retry", "2"], False, 0,
             "Connection lost (the server closed the connection), retry 1 of 2 in 1 s", "one-shot"),
            ("live up to a stop offset", LIVE, None, URL_OUT + ["--live", "--stop", "2"], False, 0,
             "Stop offset has been reached at 2.000 sec", "whole"),
            # Winsock's error, in the words the Linux build uses; a refused
            # connection ends at once, not at the timeout.
            ("nobody listening", CLOSED, None, URL_OUT + ["--timeout", "900"], False, 1,
             ": Connection refused\n", "no file"),
            ("unknown option", None, None, ["--bogus", "-o", "{out}"], False, 1,
             "ERROR: Unknown option --bogus (try --help)", "no file"),
            ("Ctrl-C on a stalled server", STALLED, None, URL_OUT + ["--timeout", "900"], True, 2,
             "Download interrupted by signal 2, try --resume", "resume"),
            ("version", None, None, ["--version"], False, 0, None, "linux"),
            ("rtmps, our authority trusted", VOD, ("good", "trust"), URL_OUT, False, 0, "Download complete",
             "one-shot"),
            ("rtmps over IPv6", VOD, ("v6", "trust", "::1"), URL_OUT, False, 0, "Download complete", "one-shot"),
            ("rtmps, untrusted authority", VOD, ("untrusted", "trust"), URL_OUT, False, 1, refused, "no file"),
            ("rtmps, Windows certificate store", VOD, ("good", "store"), URL_OUT, False, 1, store_refused,
             "no file"),
        ]
        for n, (name, scenario, rtmps, args, ctrl_c, rc, line, check) in enumerate(rows):
            with self.subTest(name):
                srv = self.server(scenario) if isinstance(scenario, dict) else None
                url = srv.url("vod/clip") if srv else None
                if scenario == CLOSED:
                    url = "rtmp://127.0.0.1:%d/vod/clip" % closed_port()
                if rtmps:
                    cert, key = CERTS[rtmps[0]]
                    host = rtmps[2] if len(rtmps) > 2 else "127.0.0.1"
                    tunnel = tls.Stunnel({"rtmps": (cert, key, None)}, srv.port, listen_host=host).start()
                    self.addCleanup(tunnel.stop)
                    url = "rtmps://%s:%d/vod/clip" % ("[%s]" % host if ":" in host else host, tunnel.ports["rtmps"])
                out = self.path("row-%d.flv" % n)
                argv = [a.format(url=url, out=out) for a in args]
                env = wine_env(rtmps[1] if rtmps else None)
                proc = self.start_exe(argv, env, "row-%d" % n)
                if ctrl_c:
                    self.interrupt(proc, srv)
                r = self.finish(proc, "row-%d" % n)
                self.assertEqual(r.rc, rc, r)
                if line is not None:
                    self.assertIn(line, r.stderr, r)
                to_stdout = "-" in argv
                got = r.stdout if to_stdout else read(out) if os.path.exists(out) else None
                if check == "linux":
                    lin = run_kavelo([a.format(url=url, out=out + ".linux") for a in args], timeout=RUN_TIMEOUT)
                    self.assertEqual(lin.rc, rc, lin)
                    if to_stdout:
                        self.assertTrue(got == lin.stdout, "standard output differs from the Linux binary's")
                    else:
                        self.assertEqual(text(r.stdout), text(lin.stdout))
                        self.assertTrue(got == (read(out + ".linux") if srv else None),
                                        "the file differs from the Linux binary's")
                elif check == "one-shot":
                    self.assertTrue(got == self.one_shot(), "the file is not the whole stream")
                elif check == "resume":
                    r = self.run_exe(argv + ["--resume"], env, "row-%d-resume" % n)
                    self.assertEqual(r.rc, 0, r)
                    self.assertTrue(read(out) == self.one_shot(), "the resumed file is not the whole stream")
                elif check == "whole":
                    f = flvtools.read(out)
                    self.assertEqual((f.errors, f.end_of_chain), ([], len(got)))
                    self.assertEqual(max(t.ts for t in f.tags), 2000)
                else:
                    self.assertIsNone(got)


if __name__ == "__main__":
    unittest.main()
