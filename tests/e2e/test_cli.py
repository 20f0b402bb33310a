"""The command line of the real binary: banner, help text, validation
messages and exit codes, quiet mode, option order, refused values, signals.

Everything that stops before a connection is compared byte for byte. Runs that
pass validation go on to download; those use a loopback port that refuses
connections (or a listener of our own) and accept exit code 0 or 1, checking
only what the start-up printed.
"""

import os
import re
import shlex
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from harness import wait_blocked

KAVELO = os.environ.get("KAVELO_BIN", "kavelo")
SOURCE = os.path.join(os.environ.get("KAVELO_TESTS", os.path.dirname(os.path.dirname(__file__))), "..")


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(kavelo VERSION (\S+)", f.read()).group(1)


BANNER = "Kavelo %s\n" % project_version()


def usage(timeout=300, buffer=36000000, skip=0):
    rows = [
        ("", "\nThis program streams the flv media content from an rtmp server to stdout.\n\n"),
        ("--help|-h", "Prints this help screen.\n"),
        ("--version", "Prints the version and exits.\n"),
        ("--rtmp|-r url", "URL (e.g. rtmp//hotname[:port]/path), also taken without -r\n"),
        ("--host|-n hostname", "Overrides the hostname in the rtmp url\n"),
        ("--port|-c port", "Overrides the port in the rtmp url\n"),
        ("--protocol|-l", "Overrides the protocol in the rtmp url (0 - RTMP, 2 - RTMPS)\n"),
        ("--playpath|-y", "Overrides the playpath parsed from rtmp url\n"),
        ("--swfUrl|-s url", "URL to player swf file\n"),
        ("--tcUrl|-t url", "URL to played stream (default: \"rtmp://host[:port]/app\")\n"),
        ("--pageUrl|-p url", "Web URL of played programme\n"),
        ("--app|-a app", "Name of player used\n"),
        ("--auth|-u string", "Authentication string to be appended to the connect string\n"),
        ("--flashVer|-f string", "Flash version string (default: \"LNX 10,0,22,87\")\n"),
        ("--live|-v", "Save a live stream, no --resume (seeking) of live streams possible\n"),
        ("--subscribe|-d string",
         "Stream name to subscribe to (otherwise defaults to playpath if live is specifed)\n"),
        ("--flv|-o string", "FLV dump file\n"),
        ("--resume|-e", "Resume a partial RTMP download\n"),
        ("--timeout|-m num", "Timeout connection num seconds (default: %d)\n" % timeout),
        ("--retry num", "Reconnect and continue up to num times in a row after a lost connection (default: 0)\n"),
        ("--live-idle num", "End a live recording as complete after num seconds without media (default: 0, off)\n"),
        ("--start|-A time", "Start at time into stream, as 90, 90.5, 90s, 1.5m, 2h, 1:30 or 1:02:03.5 "
                            "(not valid when using --live)\n"),
        ("--stop|-B time", "Stop at time into stream (or duration of live stream to play)\n"),
        ("--hashes|-#", "Display progress with hashes, not with the byte counter\n"),
        ("--buffer|-b", "Buffer time in milliseconds (default: %d), this option makes only sense in "
                        "stdout mode (-o -)\n" % buffer),
        ("--skip|-k num", "Skip num keyframes when looking for last keyframe to resume from. "
                          "Useful if resume fails (default: %d)\n\n" % skip),
        ("--quiet|-q", "Supresses all command output.\n"),
        ("--verbose|-x", "Verbose command output.\n"),
        ("--debug|-z", "Debug level command output.\n"),
        ("", "If you don't pass parameters for swfUrl, pageUrl, app or auth these properties will "
             "not be included in the connect "),
        ("", "packet.\n\n"),
    ]
    assert len(rows) == 31
    return "".join(text if not option else option.ljust(24) + text for option, text in rows)


# Standard error is a pipe here: log lines are whole, without a carriage return.
def error(text):
    return "ERROR: %s\n" % text


def warning(text):
    return "WARNING: %s\n" % text


def run(args, timeout=60):
    proc = subprocess.run([KAVELO] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout)
    return proc.returncode, proc.stderr.decode("latin-1"), proc.stdout


def closed_port():
    """A loopback port bound but not listening: connections to it are refused."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    return sock, sock.getsockname()[1]


class Listener:
    """Accepts connections on 127.0.0.1 and keeps them open without a word."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.accepted = threading.Event()
        self.conns = []
        self.stopping = False
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def _loop(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            self.conns.append(conn)
            self.accepted.set()

    def close(self):
        self.stopping = True
        self.thread.join()
        for c in self.conns:
            c.close()
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def connects(args):
    """Whether the binary, run with args (%(port)d standing for the listener's
    port), connects to a listener on 127.0.0.1."""
    with Listener() as listener:
        proc = subprocess.Popen([KAVELO, "-q", "--timeout", "2"] + [a % {"port": listener.port} for a in args],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                if listener.accepted.wait(0.1):
                    return True
                if proc.poll() is not None:
                    return listener.accepted.wait(0.2)
            return False
        finally:
            proc.kill()
            proc.wait()


class Help(unittest.TestCase):
    def test_help_prints_usage_on_standard_output(self):
        # Quiet mode hides the banner, never the usage asked for.
        for args, banner in ((["-h"], BANNER), (["--help"], BANNER), (["-q", "-h"], ""), (["-h", "-q"], ""),
                             (["--quiet", "--help"], ""), (["-qh"], BANNER)):
            with self.subTest(args=args):
                self.assertEqual((0, banner, usage().encode()), run(args))

    def test_no_arguments_print_usage_on_standard_error(self):
        self.assertEqual((1, BANNER + usage(), b""), run([]))

    def test_version_goes_to_standard_output_alone(self):
        # Whatever comes first ends the run; the banner gives way to the version.
        version = BANNER.encode()
        for args, expected in ((["--version"], (0, "", version)), (["-q", "--version", "-h"], (0, "", version)),
                               (["-h", "--version"], (0, "", usage().encode()))):
            with self.subTest(args=args):
                self.assertEqual(expected, run(args))

    def test_defaults_shown_are_those_before_help(self):
        cases = [
            (["--timeout", "10", "-h"], "", usage(timeout=10)),
            (["-h", "--timeout", "10"], "", usage()),
            (["--buffer", "5000", "-h"], "", usage(buffer=5000)),
            (["-b", "5000", "-h"], "", usage(buffer=5000)),
            (["--buffer", "0", "-h"], "", usage(buffer=0)),
            (["--buffer", "4294967295", "-h"], "", usage(buffer=4294967295)),
            (["-k", "3", "-h"], "", usage(skip=3)),
            (["--skip", "-3", "-h"],
             error("Number of keyframes skipped must be greater or equal zero, using zero!"), usage()),
            (["--buffer", "-5", "-h"],
             error("Buffer time must be greater than zero, ignoring the specified value -5!"), usage()),
            (["-m", "7", "--buffer", "1", "--skip", "2", "-h"], "", usage(timeout=7, buffer=1, skip=2)),
            # The flash version shown is always the built-in one.
            (["--flashVer", "WIN 9,0,0,0", "-h"], "", usage()),
        ]
        for args, err, out in cases:
            with self.subTest(args=args):
                self.assertEqual((0, BANNER + err, out.encode()), run(args))

    def test_quiet_prints_nothing(self):
        for args in (["-q"], ["-q", "--protocol", "3"], ["-q", "--port", "70000"], ["-q", "--bogus"],
                     ["-q", "rtmp://h/a/s", "rtmp://h/a/t"]):
            with self.subTest(args=args):
                self.assertEqual((1, "", b""), run(args))


def on_terminal(args):
    """Runs the binary with a pseudo-terminal as standard output (and input);
    what it wrote there comes back with the terminal's line ends undone."""
    proc = subprocess.run(["script", "-qec", " ".join(shlex.quote(a) for a in [KAVELO] + args), "/dev/null"],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    # Log lines on a terminal start with a carriage return of their own.
    return proc.returncode, proc.stdout.decode("latin-1").replace("\r\n", "\n").replace("\n\r", "\n"), b""


class Refusals(unittest.TestCase):
    """Command lines that end with exit code 1 before any connection, the
    output file untouched."""

    def setUp(self):
        # A listener nobody accepts from: a connection would wait in its queue.
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.listener.setblocking(False)
        self.addCleanup(self.listener.close)
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.out = os.path.join(tmp.name, "out.flv")

    def assert_refused(self, args, expected, runner=run):
        fill = {"port": self.listener.getsockname()[1], "out": self.out}
        self.assertEqual((1, BANNER + expected, b""), runner([a % fill for a in args]))
        self.assertFalse(os.path.exists(self.out))
        with self.assertRaises(BlockingIOError):
            self.listener.accept()[0].close()

    def test_messages_and_exit_codes(self):
        url = "rtmp://127.0.0.1:%(port)d/app/s"
        host = error('You must specify a hostname (--host) or url (-r "rtmp://host[:port]/playpath") '
                     "containing a hostname")
        playpath = error('You must specify a playpath (--playpath) or url (-r "rtmp://host[:port]/playpath") '
                         "containing a playpath")
        port = "Port number %s is out of range, it must be between 0 and 65535!"
        url_port = "Port number %s in url (%s) is out of range, it must be between 0 and 65535!"
        offset = ("--%s must be a time of at most 4294967 s such as 90, 90.5, 90s, 1.5m, 2h, 1:30 or 1:02:03.5, "
                  "not %s (try --help)")
        whole = "--%s must be a whole number, not %s (try --help)"
        timeout = "--timeout must be a number of seconds from 0 to 2147483647, not %s!"
        buffer = "Buffer time %s does not fit in 32 bits, it must be at most 4294967295 ms!"
        protocol = "Protocol %d (%s) is not supported; use 0 (rtmp) or 2 (rtmps)"
        scheme = "%s:// is not supported; use rtmp:// or rtmps://"
        unknown_scheme = "Unknown protocol in url (%s); use rtmp:// or rtmps://"
        unparsed = "Couldn't parse the specified url (%s)!"
        cases = [
            (["--host", "a"], playpath),
            (["--playpath", "s"], host),
            (["-r", "rtmp://h"], playpath),
            (["-r", "rtmp://h/app"], error("No playpath found!") + playpath),
            (["-r", "host/app/s", "--host", "127.0.0.1"], error(unparsed % "host/app/s")),
            (["-x", "-r", "host/app/s"],
             "DEBUG: Parsing...\n" + warning("RTMP URL: No :// in url!") + error(unparsed % "host/app/s")),
            (["-r", "rtmp://"], error(unparsed % "rtmp://")),
            # Options and their values.
            (["--bogus", url, "-o", "%(out)s"], error("Unknown option --bogus (try --help)")),
            (["-Z", url], error("Unknown option -Z (try --help)")),
            (["--live=1", url], error("Option --live takes no value (try --help)")),
            ([url, "-o", "%(out)s", "--port"], error("Option --port needs a value (try --help)")),
            (["--host"], error("Option --host needs a value (try --help)")),
            ([url, "-c"], error("Option -c needs a value (try --help)")),
            ([url, "--port", "19x"], error(whole % ("port", "19x"))),
            ([url, "-c", "abc"], error(whole % ("port", "abc"))),
            ([url, "--timeout", "abc"], error(whole % ("timeout", "abc"))),
            ([url, "--retry", "1.5"], error(whole % ("retry", "1.5"))),
            ([url, "--buffer", ""], error(whole % ("buffer", ""))),
            ([url, "--skip", "2k"], error(whole % ("skip", "2k"))),
            ([url, "--protocol", "zero"], error(whole % ("protocol", "zero"))),
            (["--protocol", "1", url], error(protocol % (1, "rtmpt"))),
            (["--protocol", "3"], error(protocol % (3, "rtmpe"))),
            (["-l", "-1", "-h"], error("Unknown protocol specified: -1; use 0 (rtmp) or 2 (rtmps)")),
            (["--protocol", "99999999999999999999"],
             error("Unknown protocol specified: 99999999999999999999; use 0 (rtmp) or 2 (rtmps)")),
            (["--port", "65536", "-h"], error(port % "65536")),
            (["-c", "-1"], error(port % "-1")),
            (["--port", "99999999999999999999"], error(port % "99999999999999999999")),
            (["-r", "rtmp://h:70000/a/s", "-h"], error(url_port % ("70000", "rtmp://h:70000/a/s"))),
            (["-r", "rtmp://h:-1/a/s"], error(url_port % ("-1", "rtmp://h:-1/a/s"))),
            (["--port", "80", "-r", "rtmp://h:99999/a/s"], error(url_port % ("99999", "rtmp://h:99999/a/s"))),
            # Times.
            ([url, "--stop", "5x", "-o", "%(out)s"], error(offset % ("stop", "5x"))),
            (["--start", "-1"], error(offset % ("start", "-1"))),
            (["--start", "-0"], error(offset % ("start", "-0"))),
            (["-A", "4294967.5"], error(offset % ("start", "4294967.5"))),
            (["--start", "inf"], error(offset % ("start", "inf"))),
            (["--stop", "nan"], error(offset % ("stop", "nan"))),
            (["-B", "1e400"], error(offset % ("stop", "1e400"))),
            ([url, "-o", "%(out)s", "--start", "1:30", "--stop", "90"],
             error("--start 1:30 is not before --stop 90: there would be nothing to download")),
            (["--buffer", "4294967296"], error(buffer % "4294967296")),
            (["--buffer", "-2147483649"], error(buffer % "-2147483649")),
            (["--buffer", "99999999999999999999"], error(buffer % "99999999999999999999")),
            (["--timeout", "2147483648"], error(timeout % "2147483648")),
            (["--timeout", "-5"], error(timeout % "-5")),
            (["--retry", "-1"], error("--retry must be a number from 0 to 2147483647, not -1!")),
            (["--live-idle", "-1"], error("--live-idle must be a number of seconds from 0 to 2147483647, not -1!")),
            (["--skip", "-99999999999"], error("Number of keyframes to skip -99999999999 is out of range!")),
            # Protocols never spoken, whatever --protocol says; credentials.
            (["-r", "rtmpt://127.0.0.1:%(port)d/app/s", "-o", "%(out)s"], error(scheme % "rtmpt")),
            (["-l", "0", "RTMPE://127.0.0.1:%(port)d/app/s"], error(scheme % "rtmpe")),
            (["-r", "rtmfp://127.0.0.1:%(port)d/app/s"], error(scheme % "rtmfp")),
            (["-r", "rtmpts://127.0.0.1:%(port)d/app/s", "-o", "%(out)s"],
             error(unknown_scheme % "rtmpts://127.0.0.1:%(port)d/app/s")),
            (["http://127.0.0.1:%(port)d/app/s"], error(unknown_scheme % "http://127.0.0.1:%(port)d/app/s")),
            (["-r", "rtmp://user:pw@127.0.0.1:%(port)d/app/s", "-o", "%(out)s"],
             error("A user name or password in the url (user:password@host) is not supported; give what the "
                   "server asks for with --auth or in the url's query")),
            # A URL without -r, but only one.
            ([url, "%(out)s"], error("Unexpected argument %(out)s: give one url, and an output file with -o "
                                     "(try --help)")),
            (["-r", url, url], error("Unexpected argument %s: the url is given with --rtmp already (try --help)"
                                     % url)),
            (["%(out)s", "--host", "127.0.0.1"],
             error("Unexpected argument %(out)s: it is not an rtmp:// or rtmps:// url (try --help)")),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                fill = {"port": self.listener.getsockname()[1], "out": self.out}
                self.assert_refused(args, expected % fill if "%(" in expected else expected)

    def test_no_flv_to_a_terminal(self):
        self.assert_refused(["rtmp://127.0.0.1:%(port)d/app/s"],
                            error("Not writing FLV data to a terminal: save it with -o FILE, or give -o - to "
                                  "write it to standard output all the same"), on_terminal)

    def test_values_longer_than_65535_bytes(self):
        for option in ("--host", "--app", "--playpath", "--tcUrl", "--swfUrl", "--pageUrl", "--auth",
                       "--flashVer", "--subscribe", "--flv", "--rtmp"):
            with self.subTest(option=option):
                rc, err, _ = run([option, "x" * 65536, "-h"])
                self.assertEqual((1, BANNER + error("The value of %s is longer than 65535 bytes!" % option)),
                                 (rc, err))
        rc, err, _ = run(["-a", "x" * 70000])
        self.assertEqual((1, BANNER + error("The value of --app is longer than 65535 bytes!")), (rc, err))
        # The limit itself is fine; --help after the option proves it was taken.
        self.assertEqual((0, BANNER, usage().encode()), run(["--app", "x" * 65535, "-h"]))

    def test_edge_values_accepted(self):
        # --help after the option proves that the value was taken.
        for args in (["--port", "65535"], ["--port", "0"], ["--protocol", "0"], ["--protocol", "2"],
                     ["--start", "4294967"], ["--stop", "0.0004"], ["--start", "1.5"], ["--start", "1:02:03.5"],
                     ["--stop", "2h"], ["-r", "rtmp://h:65535/a/s"], ["-r", "rtmp://h:0/a/s"],
                     ["-r", "RTMPS://h/a/s"], ["--buffer", "-2147483648"]):
            with self.subTest(args=args):
                rc, err, out = run(args + ["-h"])
                self.assertEqual((0, usage().encode()), (rc, out))
                if args[0] != "--buffer":
                    self.assertEqual(BANNER, err)


class Validation(unittest.TestCase):
    """Runs that pass start-up and go on to a port that refuses connections."""

    @classmethod
    def setUpClass(cls):
        cls.sock, cls.port = closed_port()
        cls.url = "rtmp://127.0.0.1:%d/app/s" % cls.port
        cls.tmp = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.sock.close()
        cls.tmp.cleanup()

    def start_up(self, args):
        rc, err, _ = run(args + ["--timeout", "5"])
        self.assertIn(rc, (0, 1), err)
        self.assertNotIn("You must specify", err)
        return err

    def test_warnings(self):
        port = warning("You haven't specified a port (--port) or rtmp url (-r), using default port 1935")
        protocol = warning("You haven't specified a protocol (--protocol) or rtmp url (-r), "
                           "using default protocol RTMP")
        stdout_resume = warning("Can't resume in stdout mode, ignoring --resume option")
        live_resume = warning("Can't resume live stream, ignoring --resume option")
        flv = os.path.join(self.tmp.name, "out.flv")
        cases = [
            (["--verbose", "--host", "127.0.0.1", "--port", str(self.port), "--playpath", "s"],
             [protocol], [port]),
            (["--verbose", "-r", self.url], [], [port, protocol]),
            (["--verbose", "--port", str(self.port), "-r", "rtmp://127.0.0.1/app/s"], [], [port, protocol]),
            (["--verbose", "-r", self.url, "--resume"], [stdout_resume], [live_resume]),
            # A live recording in a file is continued.
            (["-x", "-r", self.url, "--live", "--resume", "-o", flv], [], [live_resume, stdout_resume]),
            (["-x", "-r", self.url, "--live", "--resume"], [stdout_resume], [live_resume]),
            # The default level hides warnings.
            (["-r", self.url, "--resume"], [], ["WARNING"]),
            (["--host", "127.0.0.1", "--port", str(self.port), "--playpath", "s"], [], ["WARNING"]),
        ]
        for args, present, absent in cases:
            with self.subTest(args=args):
                err = self.start_up(args)
                self.assertTrue(err.startswith(BANNER), err)
                for text in present:
                    self.assertIn(text, err)
                for text in absent:
                    self.assertNotIn(text, err)

    def test_missing_port_and_protocol_warn_in_order(self):
        # The default port may be in use on this machine: any ending will do.
        rc, err, _ = run(["--verbose", "--host", "127.0.0.1", "--playpath", "s", "--timeout", "2",
                          "--stop", "1", "-o", os.path.join(self.tmp.name, "default.flv")], timeout=120)
        self.assertIn(rc, (0, 1, 2))
        port = err.find("using default port 1935")
        protocol = err.find("using default protocol RTMP")
        self.assertTrue(0 < port < protocol, err)

    def test_url_is_parsed_where_it_stands(self):
        # --verbose before -r shows the parser's lines, after it only the later ones.
        url = "rtmp://127.0.0.1:0/app/s"
        err = self.start_up(["--verbose", "-r", url, "--port", str(self.port)])
        self.assertIn("\nDEBUG: Parsed port    : 1935\nDEBUG: Parsed app     : app\n", err)
        err = self.start_up(["-r", url, "--verbose", "--port", str(self.port)])
        self.assertNotIn("Parsed", err)

    def test_second_url_fills_only_what_the_first_left(self):
        # Neither URL alone has both a host and a play path.
        self.start_up(["-r", "rtmp://127.0.0.1:%d" % self.port, "-r", "rtmp://127.0.0.2/app/s"])


class OptionOrder(unittest.TestCase):
    """Which host and port the binary really connects to."""

    def test_explicit_options_win_over_the_url(self):
        # 127.0.0.2 and the second port refuse; only the listener on 127.0.0.1 accepts.
        closed, other = closed_port()
        try:
            cases = [
                (["-r", "rtmp://127.0.0.2:%(port)d/app/s", "--host", "127.0.0.1"], True),
                (["--host", "127.0.0.1", "-r", "rtmp://127.0.0.2:%(port)d/app/s"], True),
                (["--port", "%(port)d", "-r", "rtmp://127.0.0.1:%d/app/s" % other], True),
                (["-r", "rtmp://127.0.0.1:%d/app/s" % other, "-c", "%(port)d"], True),
                (["-r", "rtmp://127.0.0.1:%(port)d/app/s", "-r", "rtmp://127.0.0.2:%d/app/s" % other], True),
                (["-r", "rtmp://127.0.0.1:%d/app/s" % other, "-r", "rtmp://127.0.0.1:%(port)d/app/s"], False),
                (["--host", "127.0.0.2", "-r", "rtmp://127.0.0.1:%(port)d/app/s"], False),
            ]
            for args, expected in cases:
                with self.subTest(args=args):
                    self.assertEqual(expected, connects(args))
        finally:
            closed.close()


class Signals(unittest.TestCase):
    def test_signal_interrupts_a_stalled_connection(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(sig=sig), Listener() as listener:
                # The listener never answers; only the signal can end the run.
                proc = subprocess.Popen([KAVELO, "-r", "rtmp://127.0.0.1:%d/app/s" % listener.port,
                                         "--timeout", "120"], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                try:
                    self.assertTrue(listener.accepted.wait(10))
                    self.assertTrue(wait_blocked(proc.pid))
                    proc.send_signal(sig)
                    _, err = proc.communicate(timeout=20)
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
                self.assertIn("\nCaught signal: %d, cleaning up, just a second...\n" % sig, err.decode("latin-1"))
                self.assertIn(proc.returncode, (1, 2))

    def test_quiet_run_prints_nothing_on_a_signal(self):
        with Listener() as listener:
            proc = subprocess.Popen([KAVELO, "-q", "-r", "rtmp://127.0.0.1:%d/app/s" % listener.port,
                                     "--timeout", "120"], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            try:
                self.assertTrue(listener.accepted.wait(10))
                self.assertTrue(wait_blocked(proc.pid))
                proc.send_signal(signal.SIGINT)
                _, err = proc.communicate(timeout=20)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            self.assertEqual(b"", err)
            self.assertIn(proc.returncode, (1, 2))


if __name__ == "__main__":
    unittest.main()
