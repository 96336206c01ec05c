#!/usr/bin/env python3
"""A loopback server that records when it hands body bytes to the network (standard library only).

usage: paced_server.py LOGFILE

Binds 127.0.0.1 on a port the kernel picks, prints "PORT <n>" and serves until standard input
reaches end of file. "GET /SIZE" is answered with SIZE pattern bytes (byte i is i % 251), written
in pieces of 4 KiB through a small send buffer, so that a client that stops reading soon stops the
server. After each piece a line "<monotonic seconds> <bytes>" is appended to LOGFILE.
"""

import socket
import socketserver
import sys
import threading
import time

LOG = sys.argv[1]
LOCK = threading.Lock()
PIECE = 4096
PATTERN = bytes(i % 251 for i in range(251 * PIECE))


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 16384)
        data = b""
        try:
            while b"\r\n\r\n" not in data:
                chunk = sock.recv(65536)
                if not chunk:
                    return
                data += chunk
            size = int(data.split(b" ", 2)[1].strip(b"/") or b"0")
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nAccept-Ranges: bytes\r\n"
                         b"Connection: close\r\n\r\n" % size)
            sent = 0
            with open(LOG, "a") as log:
                while sent < size:
                    length = min(PIECE, size - sent)
                    offset = sent % 251
                    sock.sendall(PATTERN[offset:offset + length])
                    sent += length
                    with LOCK:
                        log.write("%.6f %d\n" % (time.monotonic(), length))
                        log.flush()
        except (OSError, ValueError):
            pass


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
