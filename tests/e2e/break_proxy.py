"""A TCP proxy from 127.0.0.1 to a server on 127.0.0.1 that breaks connections
on purpose. Connection k (from 0) behaves as behaviours[k], the last one
serving all later ones: "pass" forwards all; after N bytes from the server
"close:N" closes both sides cleanly, "reset:N" resets the client (RST),
"stall:N" forwards nothing more but keeps both open.

In a test: p = BreakProxy(server_port, ["close:50000", "pass"]); p.port;
p.connections (accepted so far); p.close()."""

import contextlib
import fcntl
import socket
import struct
import termios
import threading
import time


def parse(behaviour):
    action, _, n = behaviour.partition(":")
    if action != "pass" and (action not in ("close", "reset", "stall") or not n.isdigit()):
        raise ValueError("bad behaviour %r" % behaviour)
    return action, int(n) if n else None


class BreakProxy:
    def __init__(self, target_port, behaviours, port=0):
        self.target = ("127.0.0.1", target_port)
        self.behaviours = [parse(b) for b in behaviours] or [("pass", None)]
        self.connections = 0
        self._socks = []
        self._listener = socket.create_server(("127.0.0.1", port))
        self.port = self._listener.getsockname()[1]
        threading.Thread(target=self._accept_loop, daemon=True).start()

    def _accept_loop(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            index, self.connections = self.connections, self.connections + 1
            try:
                upstream = socket.create_connection(self.target)
            except OSError:
                client.close()
                continue
            self._socks += [client, upstream]
            behaviour = self.behaviours[min(index, len(self.behaviours) - 1)]
            threading.Thread(target=self._serve, args=(client, upstream, *behaviour), daemon=True).start()

    def _serve(self, client, upstream, action, limit):
        broken, client_gone = threading.Event(), threading.Event()
        threading.Thread(target=_to_server, args=(client, upstream, broken, client_gone), daemon=True).start()
        sent = 0
        while limit is None or sent < limit:
            data = _recv(upstream, 65536 if limit is None else min(65536, limit - sent))
            if not data or not _send(client, data):
                break
            sent += len(data)
        if limit is not None and sent >= limit:
            broken.set()
        if broken.is_set() and action == "reset":
            # Once the client has every byte (a reset drops unacknowledged ones):
            # SO_LINGER 0 makes close send RST; SHUT_RD only wakes the other pump.
            end = time.monotonic() + 5
            while time.monotonic() < end and fcntl.ioctl(client, termios.TIOCOUTQ, b"\0" * 4) != b"\0" * 4:
                time.sleep(0.01)
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            _shut(client, socket.SHUT_RD)
            client.close()
        elif broken.is_set() and action == "stall":
            client_gone.wait()  # the client's timeout, or close() here
        else:
            # FIN after the data; close once the client has (unread bytes would reset).
            _shut(client, socket.SHUT_WR)
            client_gone.wait(5)
        _shut(client)
        _shut(upstream)

    def close(self):
        _shut(self._listener)
        for s in list(self._socks):
            _shut(s)


def _to_server(client, upstream, broken, client_gone):
    """Client bytes go to the server until the break, then are dropped."""
    while True:
        data = _recv(client, 65536)
        if not data or (not broken.is_set() and not _send(upstream, data)):
            break
    client_gone.set()
    _shut(upstream)


def _recv(sock, n):
    with contextlib.suppress(OSError):  # a reset, or closed here
        return sock.recv(n)
    return b""


def _send(sock, data):
    with contextlib.suppress(OSError):
        return sock.sendall(data) is None
    return False


def _shut(sock, how=socket.SHUT_RDWR):
    with contextlib.suppress(OSError):
        sock.shutdown(how)
    if how == socket.SHUT_RDWR:
        sock.close()
