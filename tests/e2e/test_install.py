"""What ships: the man page (lint-clean, every option of the usage text in
it), `cmake --install` into a DESTDIR, and the Debian package built by CPack
from a plain build: lintian finds no error or warning in it, and it installs
into a private root and runs.

KAVELO_BUILD is the build dir to install from; the package is built from the
build dir of KAVELO_PLAIN_BIN (a build without sanitizers), and skipped
without one.
"""

import glob
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from harness import TESTS_DIR, kavelo_bin  # noqa: E402

SOURCE = os.path.abspath(os.path.join(TESTS_DIR, ".."))
MAN_PAGE = os.path.join(SOURCE, "dist", "kavelo.1")
PLAIN_BIN = os.environ.get("KAVELO_PLAIN_BIN")
# Where each file lands under the prefix, and its source in the tree.
INSTALLED = {
    "bin/kavelo": None,
    "share/man/man1/kavelo.1": MAN_PAGE,
    "share/bash-completion/completions/kavelo": os.path.join(SOURCE, "dist", "kavelo.bash"),
    "share/doc/kavelo/README.md": os.path.join(SOURCE, "README.md"),
    "share/doc/kavelo/CHANGELOG.md": os.path.join(SOURCE, "CHANGELOG.md"),
    "share/doc/kavelo/LICENSE": os.path.join(SOURCE, "LICENSE"),
}


def run(args, **kw):
    return subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300, **kw)


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(kavelo VERSION (\S+)", f.read()).group(1)


def read(path, opener=open):
    with opener(path, "rb") as f:
        return f.read()


class InstallCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kavelo-install-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def check_version(self, binary):
        p = run([binary, "--version"])
        self.assertEqual((0, "Kavelo %s\n" % project_version()), (p.returncode, p.stdout), p.stderr)


class ManPage(unittest.TestCase):
    def test_lint_clean_and_every_usage_option_documented(self):
        for cmd in (["groff", "-man", "-ww", "-z", MAN_PAGE], ["mandoc", "-T", "lint", "-W", "style", MAN_PAGE]):
            with self.subTest(cmd=cmd[0]):
                p = run(cmd)
                self.assertEqual((0, ""), (p.returncode, p.stdout + p.stderr))
        usage = run([kavelo_bin(), "-h"]).stdout
        options = set(re.findall(r"--[A-Za-z]+", usage))
        self.assertIn("--version", options)
        # Rendered, so that an option is found as a reader sees it; mandoc
        # neither hyphenates nor justifies, and overstrikes bold as X\bX.
        text = re.sub(".\b", "", run(["mandoc", "-T", "ascii", MAN_PAGE]).stdout)
        self.assertEqual([], sorted(o for o in options if not re.search(re.escape(o) + r"\b", text)))
        self.assertIn("Kavelo %s" % project_version(), text, "the man page's version differs from the project's")


class CmakeInstall(InstallCase):
    def test_destdir_and_prefix_are_honoured(self):
        build = os.environ.get("KAVELO_BUILD") or os.path.dirname(kavelo_bin())
        p = run(["cmake", "--install", build, "--prefix", "/opt/kv"], env=dict(os.environ, DESTDIR=self.tmp))
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)
        root = os.path.join(self.tmp, "opt", "kv")
        for path, source in INSTALLED.items():
            with self.subTest(path=path):
                self.assertTrue(os.path.isfile(os.path.join(root, path)))
                if source:
                    self.assertEqual(read(source), read(os.path.join(root, path)))
        self.check_version(os.path.join(root, "bin", "kavelo"))


@unittest.skipUnless(PLAIN_BIN and os.path.isfile(os.path.join(os.path.dirname(PLAIN_BIN), "CPackConfig.cmake")),
                     "KAVELO_PLAIN_BIN names no build dir to package")
class DebianPackage(InstallCase):
    def test_package_builds_installs_and_runs(self):
        config = os.path.join(os.path.dirname(PLAIN_BIN), "CPackConfig.cmake")
        p = run(["cpack", "-G", "DEB", "--config", config, "-B", self.tmp])
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)
        debs = glob.glob(os.path.join(self.tmp, "kavelo_*.deb"))
        self.assertEqual(1, len(debs), p.stdout)
        deb = debs[0]

        fields = dict(line.split(": ", 1) for line in run(["dpkg-deb", "-f", deb]).stdout.splitlines()
                      if ": " in line and not line.startswith(" "))
        self.assertEqual(("kavelo", "video", project_version()),
                         (fields.get("Package"), fields.get("Section"), fields.get("Version")))
        depends = [d.split()[0] for d in fields.get("Depends", "").split(", ")]
        for library in ("libc6", "libssl3"):
            self.assertIn(library, depends, fields)

        root = os.path.join(self.tmp, "root")
        os.makedirs(os.path.join(root, "var", "lib", "dpkg", "updates"))
        os.makedirs(os.path.join(root, "var", "lib", "dpkg", "info"))
        open(os.path.join(root, "var", "lib", "dpkg", "status"), "w").close()
        p = run(["dpkg", "--root=" + root, "--force-not-root", "--force-depends", "-i", deb])
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)
        usr = os.path.join(root, "usr")
        self.assertEqual(read(MAN_PAGE), read(os.path.join(usr, "share/man/man1/kavelo.1.gz"), gzip.open))
        for path in ("share/bash-completion/completions/kavelo", "share/doc/kavelo/README.md"):
            with self.subTest(path=path):
                self.assertEqual(read(INSTALLED[path]), read(os.path.join(usr, path)))
        # Debian's names: the licence as copyright, the changelog compressed.
        self.assertEqual(read(INSTALLED["share/doc/kavelo/LICENSE"]),
                         read(os.path.join(usr, "share/doc/kavelo/copyright")))
        changelog = read(os.path.join(usr, "share/doc/kavelo/changelog.gz"), gzip.open).decode()
        self.assertTrue(changelog.startswith("kavelo (%s) " % project_version()), changelog[:80])
        self.check_version(os.path.join(usr, "bin", "kavelo"))

        # Informational tags (the usage text's own spellings) may stay.
        p = run(["lintian", "--no-cfg", deb])
        self.assertEqual([], [line for line in p.stdout.splitlines() if re.match(r"[EW]: ", line)], p.stdout)


if __name__ == "__main__":
    unittest.main()
