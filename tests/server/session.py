"""One client connection: socket I/O, the reader thread, and the script run."""

import socket
import struct
import threading
import time
import traceback

import chunks
import clientlog
import handshake
import steps
from steps import EndSession


class _Backlog:
    """Records the reader thread appends and the script takes in order,
    each past a cursor of its own."""

    def __init__(self):
        self.records = []
        self.cursor = 0

    def take(self, accept):
        """The next record past the cursor for which accept holds, or None;
        the cursor moves past every record looked at."""
        while self.cursor < len(self.records):
            rec = self.records[self.cursor]
            self.cursor += 1
            if accept(rec):
                return rec
        return None


class Session:
    def __init__(self, sock, scenario, log, conn_index, options):
        self.sock = sock
        self.sc = scenario
        self.log = log
        self.conn = conn_index
        self.options = options
        self.writer = chunks.ChunkWriter(128, compress=scenario.get("compress", True),
                                         wide=scenario.get("wide_csid", False))
        self.reader = chunks.ChunkReader()
        self.cond = threading.Condition()
        self.commands = _Backlog()     # the client's commands, for wait_command
        self.messages = _Backlog()     # all its messages, for wait_message
        self.current = None
        self.client_closed = False
        self.stream_id = 1
        self.play = None
        self.refused = False
        self.bytes_sent = 0
        self.acks = []
        self.thread = None
        self.sock_closed = False

    # -- logging -----------------------------------------------------------
    def log_event(self, event, **fields):
        rec = {"event": event, "conn": self.conn}
        rec.update(fields)
        self.log.write(rec)

    # -- raw socket --------------------------------------------------------
    def send(self, data):
        if self.sock_closed:
            raise EndSession("socket closed")
        try:
            self.sock.sendall(data)
        except OSError as e:
            raise EndSession("send failed: %s" % e)
        self.bytes_sent += len(data)

    def recv_exact(self, n):
        out = bytearray()
        while len(out) < n:
            try:
                b = self.sock.recv(n - len(out))
            except OSError:
                return None
            if not b:
                return None
            out += b
        return bytes(out)

    def hold(self, seconds):
        """Keep the connection open, reading and dropping, until the client
        closes it or the time is up."""
        self.sock.settimeout(0.2)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                if not self.sock.recv(65536):
                    break
            except socket.timeout:
                continue
            except OSError:
                break
        self.sock.settimeout(None)

    def close(self, reset=False):
        if self.sock_closed:
            return
        if reset:
            # SO_LINGER 0: close sends a TCP reset instead of a FIN.  Shutting
            # the read side first wakes the reader thread and sends nothing.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            try:
                self.sock.shutdown(socket.SHUT_RD)
            except OSError:
                pass
        else:
            try:
                self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.sock.close()
        self.sock_closed = True

    # -- chunk stream ------------------------------------------------------
    def send_message(self, csid, mtype, msid, ts, body, **override):
        self.send(self.writer.message(csid, mtype, msid, ts, body, **override))

    def _reader_loop(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                data = b""
            if not data:
                break
            try:
                msgs = self.reader.feed(data)
            except chunks.ProtocolError as e:
                self.log_event("client_protocol_error", error=str(e))
                break
            for m in msgs:
                self._on_message(m)
        with self.cond:
            self.client_closed = True
            self.cond.notify_all()
        self.log_event("client_closed", bytes_received=self.reader.bytes_in)

    def _on_message(self, m):
        rec = clientlog.describe(m)
        rec["conn"] = self.conn
        if m["type"] == 3 and "value" in rec:
            rec["server_sent"] = self.bytes_sent
            self.acks.append(rec["value"])
        if self.sc.get("log_in", True) or m["type"] != 3:
            self.log.write(rec)
        with self.cond:
            self.messages.records.append(rec)
            if m["type"] in (17, 20) and "name" in rec:
                self.commands.records.append(rec)
            self.cond.notify_all()

    def _wait(self, take, timeout):
        """What take() gives, called under the lock whenever the reader
        thread adds something, until it gives something other than None;
        None once the client has closed or the time is up."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                found = take()
                if found is not None:
                    return found
                if self.client_closed:
                    return None
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def wait_command(self, name, timeout):
        """The next command called name after the cursor, or None."""
        return self._wait(lambda: self.commands.take(lambda rec: name is None or rec.get("name") == name),
                          timeout)

    def wait_message(self, match, timeout):
        """The next client message after the message cursor whose record
        has every field of match, or None."""
        return self._wait(lambda: self.messages.take(lambda rec: all(rec.get(k) == v for k, v in match.items())),
                          timeout)

    def wait_client_close(self, timeout):
        return self._wait(lambda: True if self.client_closed else None, timeout) is True

    # -- run ---------------------------------------------------------------
    def run(self):
        self.log_event("connection")
        try:
            if not handshake.run(self, self.sc.get("handshake")):
                self.close()
                return
            self.thread = threading.Thread(target=self._reader_loop, daemon=True)
            self.thread.start()
            default = steps.FAST_SCRIPT if "fast" in self.sc else steps.DEFAULT_SCRIPT
            steps.run_script(self, self.sc.get("script") or default)
            if not self.sock_closed:
                self.wait_client_close(self.sc.get("linger", 10))
        except EndSession as e:
            self.log_event("session_end", reason=str(e))
        except Exception as e:  # a scenario fault: report it, serve the next client
            traceback.print_exc()
            self.log_event("server_error", error="%s: %s" % (type(e).__name__, e))
        finally:
            self.close()
            if self.thread is not None:
                self.thread.join(5)
            self.log_event("end", bytes_sent=self.bytes_sent,
                           bytes_received=self.reader.bytes_in, acks=self.acks)
