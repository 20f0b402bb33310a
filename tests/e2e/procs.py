"""Processes the end-to-end tests start: free loopback ports, waiting until a
server accepts connections, and stopping it by the pid we started (SIGTERM,
then SIGKILL), never by name."""

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
