#!/usr/bin/env python3
"""Small loopback servers for the request engine's tests (standard library only).

usage: helper_servers.py MODE LOGFILE

Binds 127.0.0.1 on a port the kernel picks, prints "PORT <n>" and serves until standard
input reaches end of file. Every request it sees is appended to LOGFILE as one line.

Modes:
  proxy       an HTTP proxy: absolute-form requests are forwarded (logged "GET http://..."),
              CONNECT opens a tunnel (logged "CONNECT host:port")
  socks       a SOCKS5 proxy without authentication (logged "SOCKS host:port")
  drop-first  an origin server that closes the first connection after reading its request,
              without answering, and answers later ones with 200 and the body "second try"
  drop-always an origin server that closes every connection after reading its request
  reset-body  an origin server that announces 1000 body bytes, sends 400 ("a" each) and then
              resets the connection
  tls-redirect an HTTPS origin (a certificate of its own for 127.0.0.1) that answers
              "GET /?status=S&to=URL" with status S and "Location: URL"; it logs the request line
              and every header line, joined by " | "
  big-header  an origin server whose answer to "GET /SIZE" carries a header of about SIZE bytes
              in lines of 1000 ("GET /line-SIZE": in one line), then the body "ok"; it logs
              each request line
"""

import os
import select
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time
from urllib.parse import parse_qs, urlsplit

MODE = sys.argv[1]
LOG = sys.argv[2]
LOCK = threading.Lock()
CONNECTIONS = [0]


def log(line):
    with LOCK:
        with open(LOG, "a") as f:
            f.write(line + "\n")


def read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None, b""
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    return head.decode("latin-1"), rest


def pump(a, b):
    sockets = [a, b]
    while True:
        readable, _, _ = select.select(sockets, [], [], 30)
        if not readable:
            return
        for s in readable:
            data = s.recv(65536)
            if not data:
                return
            (b if s is a else a).sendall(data)


def parse_host_port(text, default_port):
    if text.startswith("["):
        host, _, rest = text[1:].partition("]")
        port = int(rest[1:]) if rest.startswith(":") else default_port
        return host, port
    host, _, port = text.partition(":")
    return host, int(port) if port else default_port


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        try:
            if MODE == "proxy":
                self.proxy(sock)
            elif MODE == "socks":
                self.socks(sock)
            elif MODE == "reset-body":
                self.reset_body(sock)
            elif MODE == "tls-redirect":
                self.tls_redirect(sock)
            elif MODE == "big-header":
                self.big_header(sock)
            else:
                self.drop_first(sock)
        except (OSError, ValueError):
            pass

    def proxy(self, sock):
        while True:
            head, rest = read_head(sock)
            if head is None:
                return
            lines = head.split("\r\n")
            method, target, version = lines[0].split(" ", 2)
            log("%s %s" % (method, target))
            if method == "CONNECT":
                host, port = parse_host_port(target, 443)
                upstream = socket.create_connection((host, port))
                sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                if rest:
                    upstream.sendall(rest)
                pump(sock, upstream)
                upstream.close()
                return
            # Absolute form: http://host:port/path
            without_scheme = target.split("://", 1)[1]
            authority, _, path = without_scheme.partition("/")
            host, port = parse_host_port(authority, 80)
            headers = [l for l in lines[1:] if not l.lower().startswith("proxy-connection")]
            request = "%s /%s %s\r\n%s\r\nConnection: close\r\n\r\n" % (
                method, path, version, "\r\n".join(h for h in headers if not h.lower().startswith("connection")))
            upstream = socket.create_connection((host, port))
            upstream.sendall(request.encode("latin-1") + rest)
            while True:
                data = upstream.recv(65536)
                if not data:
                    break
                sock.sendall(data)
            upstream.close()
            return

    def socks(self, sock):
        greeting = sock.recv(2)
        methods = sock.recv(greeting[1])
        if 0 not in methods:
            sock.sendall(b"\x05\xff")
            return
        sock.sendall(b"\x05\x00")
        version, command, _, address_type = sock.recv(4)
        if address_type == 1:
            host = socket.inet_ntoa(sock.recv(4))
        elif address_type == 3:
            host = sock.recv(sock.recv(1)[0]).decode()
        else:
            host = socket.inet_ntop(socket.AF_INET6, sock.recv(16))
        port = struct.unpack("!H", sock.recv(2))[0]
        log("SOCKS %s:%d" % (host, port))
        upstream = socket.create_connection((host, port))
        sock.sendall(b"\x05\x00\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack("!H", 0))
        pump(sock, upstream)
        upstream.close()

    def drop_first(self, sock):
        with LOCK:
            CONNECTIONS[0] += 1
            number = CONNECTIONS[0]
        head, _ = read_head(sock)
        if head is None:
            return
        log("%d %s" % (number, head.split("\r\n")[0]))
        if number == 1 or MODE == "drop-always":
            return
        body = b"second try"
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body)


    def reset_body(self, sock):
        with LOCK:
            CONNECTIONS[0] += 1
            number = CONNECTIONS[0]
        head, _ = read_head(sock)
        if head is None:
            return
        log("%d %s" % (number, head.split("\r\n")[0]))
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + b"a" * 400)
        # Let the client read the bytes before the reset, which may discard unread ones.
        time.sleep(0.3)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()


    def tls_redirect(self, sock):
        sock = TLS.wrap_socket(sock, server_side=True)
        head, _ = read_head(sock)
        if head is None:
            return
        log(" | ".join(head.split("\r\n")))
        query = parse_qs(urlsplit(head.split(" ")[1]).query)
        status = int(query.get("status", ["302"])[0])
        sock.sendall(b"HTTP/1.1 %d Redirect\r\nLocation: %s\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
                     % (status, query["to"][0].encode("latin-1")))
        sock.close()

    def big_header(self, sock):
        head, _ = read_head(sock)
        if head is None:
            return
        log(head.split("\r\n")[0])
        path = head.split(" ")[1].strip("/")
        if path.startswith("line-"):
            lines = b"X-Filler: %s\r\n" % (b"f" * int(path[5:]))
        else:
            lines = b"".join(b"X-Filler-%d: %s\r\n" % (i, b"f" * 980) for i in range(int(path) // 1000))
        try:
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n" + lines + b"\r\nok")
        except OSError:
            pass


TLS = None


def make_tls_context():
    folder = os.path.dirname(os.path.abspath(LOG))
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global TLS
    if MODE == "tls-redirect":
        TLS = make_tls_context()
    server = Server(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
