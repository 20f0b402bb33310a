"""Processes the end-to-end tests start: free loopback ports, waiting until a
server accepts connections, starting a server on free ports (again on new
ones when another process took one first), and stopping it by the pid we
started (SIGTERM, then SIGKILL), never by name."""

import os
import shutil
import signal
import socket
import subprocess
import time


def free_port():
    """A loopback port that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_accepts(port, timeout=0.2, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=timeout):
            return True
    except OSError:
        return False


def wait_accepting(proc, ports, timeout, host="127.0.0.1"):
    """True once every port accepts; False if proc ends or time runs out."""
    deadline = time.monotonic() + timeout
    waiting = set(ports)
    while time.monotonic() < deadline and proc.poll() is None:
        waiting = {p for p in waiting if not port_accepts(p, host=host)}
        if not waiting:
            return True
        time.sleep(0.05)
    return False


def stop_process(proc, grace=5.0):
    """Stops proc (a Popen, or None) and reaps it."""
    if proc is None:
        return
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=grace)


def start_on_free_ports(launch, names, timeout, log_text, port_taken=None, host="127.0.0.1", tries=5):
    """(Popen, {name: port}) of a server that accepts on a free port per name,
    or (None, None) with nothing left running.

    `launch(ports)` starts the server for those ports and returns its Popen.
    Another process may take a port between our probe and the server's bind:
    a server that does not come up is stopped and started again on new ports,
    up to `tries` times; with `port_taken`, only while its log (`log_text()`)
    holds that text, as anything else would fail again the same way.
    """
    for _ in range(tries):
        ports = {name: free_port() for name in names}
        proc = launch(ports)
        if wait_accepting(proc, ports.values(), timeout, host=host):
            return proc, ports
        stop_process(proc)
        if port_taken is not None and port_taken not in log_text():
            break
    return None, None


class ServerProcess:
    """A server run as one process of ours, its files in a temporary
    directory (`workdir`) that goes when it stops, unless the environment
    variable `KEEP_ENV` is set. Subclasses create the directory, then call
    `start_listening` with a `launch(ports)` that starts the process."""

    NAME = "server"            # in the error when it does not come up
    KEEP_ENV = None
    LOG_FILES = ()             # files in workdir that log_text() shows
    PORT_TAKEN = None          # the server's log text for a port already in use

    def __init__(self):
        self.workdir = None
        self.proc = None
        self.listen_host = "127.0.0.1"   # where start_listening waits for it

    def start_listening(self, launch, names, timeout):
        """{name: port} once the server accepts on each; RuntimeError with
        its log, everything stopped and removed, when it does not."""
        self.proc, ports = start_on_free_ports(launch, names, timeout, self.log_text,
                                               self.PORT_TAKEN, self.listen_host)
        if self.proc is None:
            text = self.log_text()
            self.stop()
            raise RuntimeError("%s did not start listening:\n%s" % (self.NAME, text))
        return ports

    def write_file(self, name, text):
        """The path of a new file in workdir holding text."""
        path = os.path.join(self.workdir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def log_file(self, name):
        """A log file in workdir, opened for appending in binary."""
        return open(os.path.join(self.workdir, name), "ab")

    def log_text(self):
        text = ""
        for name in self.LOG_FILES:
            path = os.path.join(self.workdir or "", name)
            if self.workdir and os.path.exists(path):
                with open(path, errors="replace") as f:
                    body = f.read()
                text += "--- %s\n%s" % (name, body) if len(self.LOG_FILES) > 1 else body
        return text

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        """Stop our process by its pid and remove the work directory."""
        stop_process(self.proc)
        self.proc = None
        if self.workdir and not (self.KEEP_ENV and os.environ.get(self.KEEP_ENV)):
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False
