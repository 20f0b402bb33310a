"""node-media-server 4 as a second real live server for the end-to-end tests.

scripts/node_deps.sh installs it with npm into <repo>/.deps/nms; KAVELO_NMS_DIR
may name another install prefix (or the package folder itself). A missing
install is an error, not a reason to skip: the live tests must run in CI.

Each NmsServer runs its own node process with a config written into a
temporary directory: RTMP only, on a free loopback port, no HTTP, HTTPS,
RTMPS, admin console or recording, and its store kept in that directory. It
is stopped by the pid we started (SIGTERM, then SIGKILL), never by name.

The server accepts any application and stream name made of letters, digits,
"_" and "-"; a player may come before the publisher. It keeps a stream's
state for 30 s after its publisher leaves and continues the next publish of
the same name from there, so every test publishes under a name of its own.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time

from procs import ServerProcess

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS_DIR = os.environ.get("KAVELO_TESTS") or os.path.dirname(HERE)
PACKAGE = os.path.join("node_modules", "node-media-server")

# Loads the package from the folder given first and runs it with the config
# given second; node's default SIGTERM action ends it.
LAUNCHER = """\
const fs = require("fs");
const NodeMediaServer = require(process.argv[2]);
const configPath = process.argv[3];
const config = JSON.parse(fs.readFileSync(configPath, "utf8"));
new NodeMediaServer(config, configPath).run();
"""


def package_dir():
    """The node-media-server package folder; RuntimeError naming where it was
    looked for when it is not installed."""
    given = os.environ.get("KAVELO_NMS_DIR")
    repo_default = os.path.join(os.path.dirname(os.path.abspath(TESTS_DIR)), ".deps", "nms")
    candidates = [given, os.path.join(given, PACKAGE)] if given else [os.path.join(repo_default, PACKAGE)]
    for path in candidates:
        if os.path.isfile(os.path.join(path, "package.json")) and \
                os.path.isfile(os.path.join(path, "src", "index.js")):
            return path
    raise RuntimeError(
        "node-media-server is not installed (looked in %s); run scripts/node_deps.sh "
        "or set KAVELO_NMS_DIR to its npm prefix" % ", ".join(candidates))


def package_version(path):
    with open(os.path.join(path, "package.json"), encoding="utf-8") as fh:
        return json.load(fh).get("version", "?")


class NmsServer(ServerProcess):
    """Usage: with NmsServer() as srv: srv.url("live", "name")."""

    NAME = "node-media-server"
    KEEP_ENV = "KAVELO_KEEP_NMS"
    LOG_FILES = ("server.log",)
    PORT_TAKEN = "already in use"

    def __init__(self):
        super().__init__()
        self.package = package_dir()
        self.version = package_version(self.package)
        self.port = None

    def config(self):
        return {
            "bind": "127.0.0.1",
            "rtmp": {"port": self.port},
            "notify": {"url": ""},
            "auth": {"play": False, "publish": False, "secret": ""},
            "store": {"path": os.path.join(self.workdir, "data")},
            "record": {"auto": False, "path": os.path.join(self.workdir, "record")},
            "webadmin": {"enable": False},
        }

    def start(self, timeout=20.0):
        if shutil.which("node") is None:
            raise RuntimeError("node is missing (Debian package nodejs)")
        if not self.version.startswith("4."):
            raise RuntimeError("node-media-server %s found, the tests need version 4" % self.version)
        self.workdir = tempfile.mkdtemp(prefix="kavelo-nms-")
        self.write_file("launch.js", LAUNCHER)
        self.start_listening(self._launch, ["rtmp"], timeout)
        return self

    def _launch(self, ports):
        self.port = ports["rtmp"]
        conf = self.write_file("config.json", json.dumps(self.config(), indent=2))
        with self.log_file("server.log") as log:
            return subprocess.Popen(["node", os.path.join(self.workdir, "launch.js"), self.package, conf],
                                    cwd=self.workdir, stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def url(self, app, name):
        return "rtmp://127.0.0.1:%d/%s/%s" % (self.port, app, name)

    def has_player(self, app, name):
        """True once a player of app/name has joined (the server logs it then)."""
        return ("start play /%s/%s\n" % (app, name)) in self.log_text()


if __name__ == "__main__":
    with NmsServer() as srv:
        print("node-media-server %s pid %d listening on %s"
              % (srv.version, srv.proc.pid, srv.url("live", "")))
        time.sleep(1)
        print(srv.log_text())
