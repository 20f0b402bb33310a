"""Downloads over IPv6 from nginx listening on [::1] only.

By literal (in a URL and as --host, with and without brackets) and by host
names. The names live in a private hosts file that only the client sees: the
client runs in its own mount namespace (`unshare -m`) where that file is
bound over /etc/hosts, and where a gai.conf can be bound too to choose which
family getaddrinfo puts first.
"""

import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flvtools  # noqa: E402
import real_media  # noqa: E402
from nginx import NginxServer, TempDirCase, log_lines, run_kavelo  # noqa: E402
from procs import port_accepts  # noqa: E402

MEDIA = None
V6 = None      # nginx on [::1] only
V4 = None      # nginx on 127.0.0.1 only
NAMESPACE_PROBLEM = None   # why private hosts files cannot be used here, if so

# IPv4 addresses before IPv6 ones, whatever the scopes say.
GAI_PREFER_V4 = "precedence ::ffff:0:0/96 100\n"


class Ipv6NginxServer(NginxServer):
    """The shared nginx set-up, listening on [::1] instead of 127.0.0.1."""

    def __init__(self, *args, **kw):
        super().__init__(*args, **kw)
        self.listen_host = "::1"

    def config_text(self):
        text = super().config_text()
        v4 = "listen 127.0.0.1:%d;" % self.port
        if v4 not in text:
            raise RuntimeError("nginx.py no longer writes %r: update Ipv6NginxServer" % v4)
        return text.replace(v4, "listen [::1]:%d;" % self.port)

    def url(self, app, name):
        return "rtmp://[::1]:%d/%s/%s" % (self.port, app, name)


def _namespace_problem():
    """None when a private hosts file works here, else the reason."""
    if shutil.which("unshare") is None:
        return "unshare is missing"
    with tempfile.NamedTemporaryFile("w", suffix=".hosts") as hosts:
        hosts.write("::1 kavelo-probe.test\n")
        hosts.flush()
        proc = subprocess.run(["unshare", "-m", "sh", "-c",
                               'mount --bind "$1" /etc/hosts && exec getent ahosts kavelo-probe.test',
                               "sh", hosts.name],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
    text = proc.stdout.decode(errors="replace")
    if proc.returncode != 0 or "::1" not in text:
        return "a private mount namespace is not permitted here (unshare -m): %s" % text.strip()
    return None


def setUpModule():
    global MEDIA, V6, V4, NAMESPACE_PROBLEM
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
    except OSError as e:
        raise unittest.SkipTest("no IPv6 loopback here: %s" % e)
    MEDIA = real_media.ensure_media()
    V6 = Ipv6NginxServer(MEDIA.directory).start()
    V4 = NginxServer(MEDIA.directory).start()
    # Each server's port must be closed in the other family, or a client
    # could reach the wrong one.
    while V4.port == V6.port:
        V4.stop()
        V4 = NginxServer(MEDIA.directory).start()
    NAMESPACE_PROBLEM = _namespace_problem()


def tearDownModule():
    for server in (V6, V4):
        if server is not None:
            server.stop()


def closed_port(family_host):
    """A port that nothing listens on at that address right now."""
    family = socket.AF_INET6 if ":" in family_host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((family_host, 0))
        return s.getsockname()[1]


def _namespace_command(directory, hosts, gai):
    """unshare and sh arguments that bind `hosts` (and `gai`) over the
    system's files and then run the arguments that follow."""
    files = []
    script = ""
    for text, target in ((hosts, "/etc/hosts"), (gai, "/etc/gai.conf")):
        if text is None:
            continue
        path = os.path.join(directory, os.path.basename(target))
        with open(path, "w") as f:
            f.write(text)
        files.append(path)
        script += 'mount --bind "$1" %s && shift && ' % target
    return ["unshare", "-m", "sh", "-c", script + 'exec "$@"', "sh"] + files


def run_with_hosts(directory, hosts, args, gai=None, timeout=120):
    """kavelo in a private mount namespace whose /etc/hosts is `hosts` (and
    /etc/gai.conf `gai`, when given)."""
    return run_kavelo(args, timeout=timeout, prefix=_namespace_command(directory, hosts, gai))


def resolve_with_hosts(directory, hosts, name, gai=None):
    """The addresses getaddrinfo gives for `name` in such a namespace, in order."""
    proc = subprocess.run(_namespace_command(directory, hosts, gai) + ["getent", "ahosts", name],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)
    return [fields[0] for fields in (line.split() for line in proc.stdout.decode(errors="replace").splitlines())
            if len(fields) >= 2 and fields[1] == "STREAM"]


class Ipv6Case(TempDirCase):
    TMP_PREFIX = "kavelo-v6-"

    def explain(self, run):
        return "exit %d, stderr:\n%s\nnginx:\n%s" % (run.rc, run.stderr[-4000:], V6.log_text()[-2000:])

    def assertWholeFile(self, path):
        codes, report = real_media.flvmeta_check(path)
        self.assertEqual(codes, set(), "flvmeta --check on %s:\n%s" % (path, report))
        self.assertIsNone(flvtools.compare_tags(real_media.tags_of(MEDIA.plain), flvtools.read(path).tags))

    def assertSomeMedia(self, path):
        flv = flvtools.read(path)
        self.assertEqual(flv.errors, [])
        self.assertTrue([t for t in flv.tags if t.type in (8, 9)], "no media written")


def literal_forms(port):
    """The ways of naming [::1]:port/vod/plain on the command line."""
    options = ["--port", str(port), "--app", "vod", "--playpath", real_media.PLAIN_NAME]
    return (
        ("url", ["-r", "rtmp://[::1]:%d/vod/%s" % (port, real_media.PLAIN_NAME)]),
        ("--host ::1", ["--host", "::1"] + options),
        ("--host [::1]", ["--host", "[::1]"] + options),
    )


class Literals(Ipv6Case):
    def test_download_by_literal_equals_the_served_file(self):
        for form, args in literal_forms(V6.port):
            with self.subTest(form=form):
                path = self.out(form.replace(" ", "_") + ".flv")
                run = run_kavelo(args + ["-o", path, "--timeout", "30"])
                self.assertEqual(run.rc, 0, self.explain(run))
                self.assertIn("Download complete", run.stderr)
                self.assertWholeFile(path)

    def test_tcurl_writes_the_literal_in_brackets(self):
        for form, args in literal_forms(V6.port):
            with self.subTest(form=form):
                path = self.out(form.replace(" ", "_") + ".flv")
                run = run_kavelo(args + ["-o", path, "--stop", "1", "--debug", "--timeout", "30"])
                self.assertEqual(run.rc, 0, self.explain(run))
                tc_url = "rtmp://[::1]:%d/vod" % V6.port
                self.assertIn("tcUrl         : " + tc_url, log_lines(run.stderr))
                # What went out in the connect command, as nginx read it.
                connects = re.findall(r"connect: app='vod' .*? tc_url='([^']*)'", V6.log_text())
                self.assertEqual(connects[-1:], [tc_url])
                self.assertSomeMedia(path)

    def test_literal_without_port_uses_1935(self):
        run = run_kavelo(["-r", "rtmp://[::1]/vod/%s" % real_media.PLAIN_NAME, "-o", self.out(),
                          "--debug", "--timeout", "3"], timeout=60)
        lines = log_lines(run.stderr)
        self.assertIn("tcUrl         : rtmp://[::1]:1935/vod", lines, self.explain(run))
        if port_accepts(1935, host="::1"):
            self.skipTest("something listens on [::1]:1935")
        self.assertEqual(run.rc, 1, self.explain(run))
        self.assertIn("Connect, failed to connect socket to [::1]:1935. Error: 111 (Connection refused)", lines)

    def test_failed_connect_names_the_address(self):
        for host, shown in (("::1", "[::1]"), ("127.0.0.1", "127.0.0.1")):
            with self.subTest(host=host):
                port = closed_port(host)
                run = run_kavelo(["--host", host, "--port", str(port), "--app", "vod", "--playpath", "x",
                                  "-o", self.out(), "--timeout", "3"], timeout=60)
                self.assertEqual(run.rc, 1, self.explain(run))
                lines = log_lines(run.stderr)
                self.assertIn("Connect, failed to connect socket to %s:%d. Error: 111 (Connection refused)"
                              % (shown, port), lines)
                self.assertIn("Failed to connect!", lines)


class Names(Ipv6Case):
    def setUp(self):
        super().setUp()
        if NAMESPACE_PROBLEM:
            self.skipTest(NAMESPACE_PROBLEM)

    def test_name_that_resolves_to_ipv6_only(self):
        hosts = "::1 kavelo-v6-only.test\n"
        self.assertEqual(resolve_with_hosts(self.tmp, hosts, "kavelo-v6-only.test"), ["::1"])
        path = self.out()
        run = run_with_hosts(self.tmp, hosts, ["-r", "rtmp://kavelo-v6-only.test:%d/vod/%s" % (
            V6.port, real_media.PLAIN_NAME), "-o", path, "--timeout", "30"])
        self.assertEqual(run.rc, 0, self.explain(run))
        self.assertWholeFile(path)

    def test_next_address_is_tried_when_the_first_refuses(self):
        # One name, both loopback addresses; the server listens on the one
        # getaddrinfo gives second. The preference is pinned by gai.conf and
        # checked, so the first address really is the refusing one.
        hosts = "127.0.0.1 kavelo-dual.test\n::1 kavelo-dual.test\n"
        cases = (
            ("IPv4 first, nginx on [::1]", GAI_PREFER_V4, V6, "127.0.0.1", "::1"),
            ("IPv6 first, nginx on 127.0.0.1", "", V4, "::1", "127.0.0.1"),
        )
        for label, gai, server, first, second in cases:
            with self.subTest(case=label):
                order = resolve_with_hosts(self.tmp, hosts, "kavelo-dual.test", gai=gai)
                self.assertEqual(order, [first, second], "getaddrinfo order under gai.conf %r" % gai)
                path = self.out(label.split(",")[0].replace(" ", "_") + ".flv")
                run = run_with_hosts(self.tmp, hosts, [
                    "-r", "rtmp://kavelo-dual.test:%d/vod/%s" % (server.port, real_media.PLAIN_NAME),
                    "-o", path, "--stop", "2", "--verbose", "--timeout", "30"], gai=gai)
                self.assertEqual(run.rc, 0, self.explain(run))
                shown = "[%s]" % first if ":" in first else first
                self.assertIn("Connect, failed to connect socket to %s:%d. Error: 111 (Connection refused)"
                              % (shown, server.port), log_lines(run.stderr))
                self.assertSomeMedia(path)


if __name__ == "__main__":
    unittest.main()
