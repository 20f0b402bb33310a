"""TLS for the end-to-end tests: certificates, a TLS terminator and a
recording proxy.

Pki        a test certificate authority made with the `openssl` command line,
           server certificates signed by it (valid or expired), by a second
           authority that the client does not trust, or self-signed.
Stunnel    stunnel4 in the foreground as the TLS terminator in front of a
           plain RTMP port: one process, one service (and port) per
           certificate; started and stopped by its pid.
Recorder   a TCP proxy between the client and the terminator that keeps every
           chunk of bytes in both directions in the order it passed, so a test
           can read the TLS records the client sent and when.

The client trusts exactly our authority when run with `trust_env(pki)`:
OpenSSL's default verify paths follow SSL_CERT_FILE and SSL_CERT_DIR.
"""

import os
import select
import socket
import subprocess
import tempfile
import threading
import time

from procs import ServerProcess

STUNNEL_CANDIDATES = ("/usr/bin/stunnel4", "/usr/bin/stunnel")

# TLS record content types.
CHANGE_CIPHER_SPEC, ALERT, HANDSHAKE, APPLICATION_DATA = 20, 21, 22, 23
CLIENT_HELLO = 1

_CA_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[v3_ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ca]
default_ca = ca_any
[ca_any]
database = {dir}/index.txt
new_certs_dir = {dir}/issued
serial = {dir}/serial
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
[policy_any]
commonName = supplied
"""

_LEAF_EXTENSIONS = """\
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = {sans}
"""


def stunnel_binary():
    for path in STUNNEL_CANDIDATES:
        if os.access(path, os.X_OK):
            return path
    return None


def _openssl(*args):
    proc = subprocess.run(["openssl"] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=60)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed:\n%s" % (" ".join(args), proc.stdout.decode(errors="replace")))


class Pki:
    """Keys and certificates in one directory. `ca_cert` is the authority the
    client is told to trust; `other_ca_cert` is never trusted."""

    def __init__(self, directory):
        self.dir = directory
        os.makedirs(os.path.join(directory, "issued"), exist_ok=True)
        open(os.path.join(directory, "index.txt"), "w").close()
        with open(os.path.join(directory, "serial"), "w") as f:
            f.write("1000\n")
        self.config = os.path.join(directory, "openssl.cnf")
        with open(self.config, "w") as f:
            f.write(_CA_CONFIG.format(dir=directory))
        # The trust store as SSL_CERT_DIR: empty, so only SSL_CERT_FILE counts.
        self.empty_dir = os.path.join(directory, "no-certs")
        os.makedirs(self.empty_dir, exist_ok=True)
        self.ca_cert, self.ca_key = self._authority("ca", "Kavelo Test CA")
        self.other_ca_cert, self.other_ca_key = self._authority("other-ca", "Kavelo Untrusted CA")

    def _path(self, name):
        return os.path.join(self.dir, name)

    def _authority(self, name, cn):
        cert, key = self._path(name + ".crt"), self._path(name + ".key")
        _openssl("req", "-config", self.config, "-x509", "-new", "-newkey", "ec",
                 "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
                 "-out", cert, "-subj", "/CN=" + cn, "-days", "30", "-extensions", "v3_ca")
        return cert, key

    def leaf(self, name, dns=("localhost",), ips=("127.0.0.1",), issuer="ca", expired=False):
        """(certificate, key) of a server certificate called `name`.

        issuer: "ca" (trusted), "other" (untrusted authority) or "self".
        expired: valid for a day that ended two days ago.
        """
        cert, key = self._path(name + ".crt"), self._path(name + ".key")
        sans = ",".join(["DNS:" + d for d in dns] + ["IP:" + i for i in ips])
        subject = "/CN=" + (dns[0] if dns else ips[0])
        ext = self._path(name + ".ext")
        with open(ext, "w") as f:
            f.write(_LEAF_EXTENSIONS.format(sans=sans))
        if issuer == "self":
            if expired:
                raise ValueError("no expired self-signed certificates")
            _openssl("req", "-config", self.config, "-x509", "-new", "-newkey", "ec",
                     "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
                     "-out", cert, "-subj", subject, "-days", "30",
                     "-addext", "subjectAltName=" + sans)
            return cert, key
        csr = self._path(name + ".csr")
        _openssl("req", "-config", self.config, "-new", "-newkey", "ec",
                 "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
                 "-out", csr, "-subj", subject)
        ca_cert, ca_key = ((self.ca_cert, self.ca_key) if issuer == "ca"
                           else (self.other_ca_cert, self.other_ca_key))
        if expired:
            now = time.time()
            span = ["-startdate", _asn1_time(now - 3 * 86400), "-enddate", _asn1_time(now - 2 * 86400)]
        else:
            span = ["-days", "30"]
        _openssl("ca", "-config", self.config, "-batch", "-notext", "-in", csr, "-out", cert,
                 "-cert", ca_cert, "-keyfile", ca_key, "-extfile", ext, *span)
        return cert, key

    def trust_env(self):
        """Environment entries that make OpenSSL trust our authority only."""
        return {"SSL_CERT_FILE": self.ca_cert, "SSL_CERT_DIR": self.empty_dir}


def _asn1_time(t):
    return time.strftime("%Y%m%d%H%M%SZ", time.gmtime(t))


class Stunnel(ServerProcess):
    """stunnel as a TLS server in front of 127.0.0.1:`target_port`.

    services: {name: (cert, key, max_version or None)}; after start(),
    `ports[name]` is the loopback port of that service. max_version is an
    stunnel protocol name such as "TLSv1.2".
    """

    NAME = "stunnel"
    KEEP_ENV = "KAVELO_KEEP_NGINX"
    LOG_FILES = ("stunnel.log",)

    def __init__(self, services, target_port, listen_host="127.0.0.1"):
        super().__init__()
        self.services = dict(services)
        self.target_port = target_port
        self.listen_host = listen_host
        self.ports = {}

    def config_text(self):
        lines = ["foreground = yes", "pid =", "debug = info", ""]
        for name in sorted(self.services):
            cert, key, max_version = self.services[name]
            lines += ["[%s]" % name,
                      "accept = %s:%d" % (self.listen_host, self.ports[name]),
                      "connect = 127.0.0.1:%d" % self.target_port,
                      "cert = %s" % cert,
                      "key = %s" % key]
            if max_version:
                lines.append("sslVersionMax = %s" % max_version)
            lines.append("")
        return "\n".join(lines)

    def start(self, timeout=15.0):
        binary = stunnel_binary()
        if binary is None:
            raise RuntimeError("stunnel is missing (Debian package stunnel4)")
        self.workdir = tempfile.mkdtemp(prefix="kavelo-stunnel-")
        self.start_listening(lambda ports: self._launch(binary, ports), list(self.services), timeout)
        return self

    def _launch(self, binary, ports):
        self.ports = ports
        conf = self.write_file("stunnel.conf", self.config_text())
        with self.log_file("stunnel.log") as log:
            return subprocess.Popen([binary, conf], stdin=subprocess.DEVNULL, stdout=log, stderr=log)


class Recorder:
    """A TCP proxy on a free loopback port in front of 127.0.0.1:`target_port`.

    `chunks` lists (direction, bytes) in the order the proxy passed them on:
    "c" for client to server, "s" for server to client. With
    `hold_after_client_ccs`, server bytes that arrive after the client's
    ChangeCipherSpec record are held back that many seconds while the client
    side is still read, so whatever the client sends before it can have seen
    the server's Finished shows up in `chunks` ahead of it.
    """

    def __init__(self, target_port, hold_after_client_ccs=0.0):
        self.target_port = target_port
        self.hold = hold_after_client_ccs
        self.chunks = []
        self.connections = 0
        self.holds = 0        # server flights held back and then released
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(8)
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self.connections += 1
            try:
                self._relay(client)
            finally:
                client.close()

    def _relay(self, client):
        try:
            server = socket.create_connection(("127.0.0.1", self.target_port), timeout=5)
        except OSError:
            return
        head = b""            # the client's first bytes, where its CCS is looked for
        state = "waiting"     # then "holding" the server's bytes, then "done"
        held = b""
        release_at = 0.0
        try:
            open_ends = {client, server}
            while len(open_ends) == 2 and not self._stop.is_set():
                if state == "holding" and time.monotonic() >= release_at:
                    self.holds += 1 if held else 0
                    self._forward(client, "s", held)
                    held, state = b"", "done"
                readable, _, _ = select.select(list(open_ends), [], [], 0.05)
                for sock in readable:
                    data = sock.recv(65536)
                    if not data:
                        open_ends.discard(sock)
                    elif sock is client:
                        self._forward(server, "c", data)
                        if self.hold and state == "waiting" and len(head) < 65536:
                            head += data
                            if _has_ccs(head):
                                state, release_at = "holding", time.monotonic() + self.hold
                    elif state == "holding":
                        held += data
                    else:
                        self._forward(client, "s", data)
            if held:
                self._forward(client, "s", held)
        except OSError:
            pass
        finally:
            server.close()

    def _forward(self, sock, direction, data):
        if data:
            self._record(direction, data)
            sock.sendall(data)

    def _record(self, direction, data):
        with self._lock:
            self.chunks.append((direction, bytes(data)))

    def sent_by_client(self):
        with self._lock:
            return b"".join(d for k, d in self.chunks if k == "c")

    def stop(self):
        self._stop.set()
        self._listener.close()
        self._thread.join(timeout=10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


# --- TLS records ------------------------------------------------------------

def records(data):
    """[(type, version, body)] of the TLS records in `data`, and the count of
    bytes after the last whole record. ValueError when a header is no TLS
    record header (such as the 0x03 that opens a plain RTMP handshake)."""
    out = []
    pos = 0
    while pos + 5 <= len(data):
        rtype, major, minor = data[pos], data[pos + 1], data[pos + 2]
        length = int.from_bytes(data[pos + 3:pos + 5], "big")
        if rtype not in (CHANGE_CIPHER_SPEC, ALERT, HANDSHAKE, APPLICATION_DATA) or major != 3 or length > 18432:
            raise ValueError("no TLS record at byte %d: %s" % (pos, data[pos:pos + 8].hex()))
        if pos + 5 + length > len(data):
            break
        out.append((rtype, (major, minor), data[pos + 5:pos + 5 + length]))
        pos += 5 + length
    return out, len(data) - pos


def _has_ccs(data):
    try:
        recs, _ = records(data)
    except ValueError:
        return False
    return any(r[0] == CHANGE_CIPHER_SPEC for r in recs)


def client_hello_sni(record_body):
    """The host name of the server_name extension of a ClientHello record
    body, or None when it carries none. ValueError when the body is no
    ClientHello."""
    b = record_body
    if len(b) < 4 or b[0] != CLIENT_HELLO:
        raise ValueError("not a ClientHello")
    pos = 4 + 2 + 32                                  # header, version, random
    pos += 1 + b[pos]                                 # session id
    pos += 2 + int.from_bytes(b[pos:pos + 2], "big")  # cipher suites
    pos += 1 + b[pos]                                 # compression methods
    end = pos + 2 + int.from_bytes(b[pos:pos + 2], "big")
    pos += 2
    while pos + 4 <= end:
        etype = int.from_bytes(b[pos:pos + 2], "big")
        elen = int.from_bytes(b[pos + 2:pos + 4], "big")
        ext = b[pos + 4:pos + 4 + elen]
        if etype == 0 and len(ext) >= 5 and ext[2] == 0:   # server_name, host_name
            nlen = int.from_bytes(ext[3:5], "big")
            return ext[5:5 + nlen].decode("ascii", "replace")
        pos += 4 + elen
    return None


def timeline(chunks):
    """[(direction, type, body length)] of the whole TLS records in a
    Recorder's chunks, each at the point where its last byte passed the proxy.
    ValueError when either direction holds something that is no TLS record."""
    streams = {"c": b"", "s": b""}
    done = {"c": 0, "s": 0}
    out = []
    for direction, data in chunks:
        streams[direction] += data
        recs, _ = records(streams[direction])
        for rtype, _, body in recs[done[direction]:]:
            out.append((direction, rtype, len(body)))
        done[direction] = len(recs)
    return out


def verify_reason(cert, host, ca_cert):
    """OpenSSL's own text for why `cert` fails for `host` against `ca_cert`
    alone, as `openssl verify` reports it; None when it verifies."""
    check = ["-verify_ip", host] if host.replace(".", "").isdigit() or ":" in host else ["-verify_hostname", host]
    proc = subprocess.run(["openssl", "verify", "-CAfile", ca_cert, "-purpose", "sslserver"] + check + [cert],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    text = proc.stdout.decode(errors="replace")
    if proc.returncode == 0:
        return None
    for line in text.splitlines():
        # "error 10 at 0 depth lookup: certificate has expired"
        if line.startswith("error ") and " lookup: " in line:
            return line.split(" lookup: ", 1)[1].strip()
    raise RuntimeError("no reason in openssl verify output:\n" + text)
