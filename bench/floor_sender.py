#!/usr/bin/env python3
"""Serves one file once over plain TCP, as fast as the kernel can.

Usage: floor_sender.py FILE [BYTES]
Listens on 127.0.0.1 on a free port, prints the port on standard output,
accepts one connection, sends the whole file (or its first BYTES bytes) with
sendfile (no copy through user space) and exits.
"""
import os
import socket
import sys


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(60)
        print(listener.getsockname()[1], flush=True)
        conn, _ = listener.accept()
        with conn, open(sys.argv[1], "rb") as source:
            conn.settimeout(None)
            size = os.fstat(source.fileno()).st_size
            if len(sys.argv) == 3:
                size = min(size, int(sys.argv[2]))
            sent = conn.sendfile(source, 0, size)
            if sent != size:
                print("sent %d of %d bytes" % (sent, size), file=sys.stderr)
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
