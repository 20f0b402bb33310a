"""Downloads under valgrind memcheck: no invalid access, no use of
uninitialised memory, nothing definitely or indirectly lost.

Valgrind cannot run a sanitizer build, so this test needs a plain build of
kavelo, named by KAVELO_PLAIN_BIN; without it the test is skipped.
"""

import os
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from harness import KaveloTestCase, flvtools  # noqa: E402

PLAIN_BIN = os.environ.get("KAVELO_PLAIN_BIN")
VALGRIND = ["valgrind", "--error-exitcode=99", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
            "--track-origins=yes"]
MEDIA = {"synthetic": {"duration_ms": 3000}}


@unittest.skipUnless(PLAIN_BIN, "KAVELO_PLAIN_BIN (a build without sanitizers) is not set")
@unittest.skipUnless(shutil.which("valgrind"), "valgrind is not installed")
class Memcheck(KaveloTestCase):
    def memcheck(self, *args):
        p = subprocess.run(VALGRIND + [PLAIN_BIN] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=600, cwd=self.tmp)
        err = p.stderr.decode("utf-8", "replace")
        self.assertNotEqual(p.returncode, 99, err[-4000:])
        self.assertIn("ERROR SUMMARY: 0 errors", err, err[-4000:])
        self.assertNotIn("definitely lost: 1", err)
        return p.returncode, err

    def test_download_and_resume(self):
        """A download that passes through most of the client: a chunk size
        change, aggregates, an undecodable nested command, a message left
        unfinished on another chunk stream when the connection closes; then
        a resume of a file cut short."""
        nested = {"op": "nested", "depth": 1000, "type": 20}
        # One whole chunk of a message that never ends.
        unfinished = {"op": "message", "csid": 30, "type": 9, "msid": 1, "size": 100000,
                      "fill": {"size": 4096, "head_hex": "17"}}
        srv = self.server({"chunk_size": 4096, "media": dict(MEDIA, aggregate=4,
                                                              inject=[{"at": 5, "steps": [nested, unfinished]}])})
        out = self.path("out.flv")
        rc, err = self.memcheck("-r", srv.url("vod/clip"), "-o", out)
        self.assertEqual(rc, 0, err[-4000:])
        sent = flvtools.expand_messages(srv.sent_messages())
        self.assertIsNone(flvtools.compare_tags(sent, flvtools.read(out).tags))

        with open(out, "rb") as fh:
            whole = fh.read()
        f = flvtools.parse(whole)
        cut = self.write_flv("cut.flv", whole[:f.tags[len(f.tags) * 2 // 3].offset])
        srv = self.server({"media": MEDIA})
        rc, err = self.memcheck("-r", srv.url("vod/clip"), "-o", cut, "--resume")
        self.assertEqual(rc, 0, err[-4000:])
        self.assertGreater(srv.commands("play")[0]["amf"][4], 0, "not resumed from a keyframe")
        self.assertIsNone(flvtools.compare_tags(f.tags, flvtools.read(cut).tags))

    @unittest.skipUnless(shutil.which("stunnel4") or shutil.which("stunnel"), "stunnel is not installed")
    def test_rtmps_download(self):
        """rtmps through a TLS terminator in front of the test server: the
        TLS library, its socket glue and the session's end."""
        import tls  # noqa: E402  (only this test needs the TLS helpers)
        pki = tls.Pki(self.path("pki"))
        cert, key = pki.leaf("good")
        srv = self.server({"media": MEDIA})
        terminator = tls.Stunnel({"good": (cert, key, None)}, srv.port).start()
        self.addCleanup(terminator.stop)
        saved = {k: os.environ.get(k) for k in pki.trust_env()}
        os.environ.update(pki.trust_env())
        try:
            out = self.path("tls.flv")
            rc, err = self.memcheck("-r", "rtmps://localhost:%d/vod/clip" % terminator.ports["good"], "-o", out)
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        self.assertEqual(rc, 0, err[-4000:])
        sent = flvtools.expand_messages(srv.sent_messages())
        self.assertIsNone(flvtools.compare_tags(sent, flvtools.read(out).tags))


if __name__ == "__main__":
    unittest.main()
