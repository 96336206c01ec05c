#!/usr/bin/env python3
"""Scripted HTTP/1.1 server for the engine's fault tests (standard library only).

Binds 127.0.0.1 on a port the kernel picks, prints "PORT <n>" on its first line of
standard output and serves until standard input reaches end of file (so it dies with
the test process that started it) or it is killed.

Every response carries "X-Connection-ID" (a number per accepted connection, from 1)
and "X-Request-Index" (1 for the first request on that connection, 2 for the second...),
so tests can tell whether the client re-used a connection.

Body bytes of "pattern" bodies are byte i = i % 251 (ZRTestScriptedServer::patternBytes).

Scenarios, chosen by the path (query parameters in brackets, defaults after "="):

  /echo                      200, body = the request line and header lines exactly as received
  /bytes        [size=1000, type=application/octet-stream, name=]
                             200 with Content-Length and a pattern body; name adds
                             'Content-Disposition: attachment; filename="name"' (UTF-8)
  /range        [size=1000]  honours "Range: bytes=N-" / "bytes=N-M" with 206 and Content-Range
  /ignore-range [size=1000]  answers a Range request with the whole body and 200
  /ranges-refused [size=1000, after=size, seconds=0]
                             claims "Accept-Ranges: bytes" but answers every request with the
                             whole body and 200; a request without Range gets after bytes, then
                             a pause of seconds, then the rest
  /no-length    [size=1000]  200 without Content-Length, "Connection: close", body ends at close
  /chunked      [size=1000, chunk=100]
                             pattern body in chunked transfer encoding
  /gzip         [size=1000, bytewise=1, chunked=0, delay=0]
                             gzip-compressed text body with "Content-Encoding: gzip"; with
                             bytewise=1 each compressed byte is sent in its own write (delay
                             seconds between writes); chunked=1 frames it in chunks.
                             The uncompressed body is ZRTestScriptedServer::gzipPlainText(size).
  /redirect/N   [status=302, absolute=0, method=]
                             redirect chain: /redirect/N -> /redirect/N-1 ... /redirect/0 is
                             200 "done"; relative Location unless absolute=1
  /loop         [status=302] always redirects to itself
  /redirect-to  [url, status=302, body=]
                             Location = url (as given, may be relative)
  /status/CODE  [location=, body=, auth=0]
                             any status with the given body (3xx and 401 bodies); location adds
                             a Location header; a 401 adds a Basic WWW-Authenticate challenge,
                             a 407 a Proxy-Authenticate one
  /keepalive    [timeout=, max=, close=0, http10=0, size=100]
                             Keep-Alive header "timeout=T, max=M" (each only when given);
                             close=1 sends "Connection: close" and closes; http10=1 answers
                             with HTTP/1.0 and closes
  /drop-reused  [key=default, size=100]
                             the first time a request with this key arrives on a re-used
                             connection (request index > 1), the connection is closed without
                             an answer; every other time it answers normally
  /truncate     [size=1000, send=500]
                             announces size bytes, sends send bytes and closes the connection
  /stall        [size=1000, after=100, seconds=60]
                             announces size bytes, sends after bytes and then nothing for
                             seconds (the connection stays open), then the rest
  /delay        [seconds=1, size=100]
                             waits before the response header
  /faulty/NAME  [size=1000, rate=0, key=NAME, faults=, cut=]
                             serves ranges like /range with "ETag: \"v1\"" and a fixed
                             Last-Modified, ignores "If-Range", and sends bodies at rate bytes
                             per second per connection (0: at once); with cut, a request
                             without Range gets the first cut bytes of its body, and then the
                             connection closes. The ranged requests for
                             the key are counted from 1; faults lists "N:KIND" or "N:KIND:WAIT"
                             (comma-separated) for the Nth one, answered after WAIT seconds:
                             503 / 416 (error answers), short (a 206 for the first quarter of
                             the asked range), etag (a 206 of the range with ETag "v2" and other
                             bytes: pattern offset 7), total (a 206 whose Content-Range states
                             size + 1 as the total)
  /ranges       [key]        the "Range" header of each /faulty request for the key, one a line
                             in arrival order ("-" for none)
  /auth/SCHEME  [user=user, password=secret, realm=quorvel-test, size=100, stale=0]
                             SCHEME basic or digest (MD5, qop=auth, a fresh nonce per
                             challenge): a pattern body of size bytes for the right
                             credentials, else 401 with the challenge; stale=1 calls a
                             correct answer to a nonce of an earlier challenge stale
  /auth-log                  one line per /auth request: "<target> <scheme sent or -> <status>"
  /set-cookie   [name=a, value=b, path=/, attrs=]
                             sets a cookie ("name=value; Path=path" plus attrs); body "ok"
  /requests                  the request log: one line per request received so far,
                             "<connection id> <request index> <method> <target>"
  /reset                     clears the request log, the drop-reused keys and the ranged-request
                             counts

Unknown paths answer 404. To add a scenario, write a function handler(conn, req) and add
it to SCENARIOS; it may use send_response(), or write raw bytes with conn.sock.sendall().
A handler returns False to close the connection after it, True to keep it open.
"""

import base64
import struct
import gzip
import hashlib
import os
import re
import socket
import socketserver
import sys
import threading
import time
from urllib.parse import parse_qs, urlsplit

STATE_LOCK = threading.Lock()
REQUEST_LOG = []
DROPPED_KEYS = set()
RANGED_REQUESTS = {}
RANGE_LOG = {}
CONNECTION_COUNTER = [0]
SERVER_PORT = [0]


def pattern_bytes(offset, length):
    return bytes((i % 251) for i in range(offset, offset + length))


def gzip_plain_text(size):
    line = b"The quick brown fox jumps over the lazy dog. 0123456789\n"
    data = (line * (size // len(line) + 1))[:size]
    return data


class Request:
    def __init__(self, method, target, version, headers, raw, body):
        self.method = method
        self.target = target
        self.version = version
        self.headers = headers  # lower-case name -> value (last wins)
        self.raw = raw
        self.body = body
        parts = urlsplit(target)
        self.path = parts.path
        self.query = {k: v[-1] for k, v in parse_qs(parts.query, keep_blank_values=True).items()}

    def param(self, name, default=None):
        return self.query.get(name, default)

    def int_param(self, name, default):
        try:
            return int(self.query.get(name, default))
        except ValueError:
            return default

    def float_param(self, name, default):
        try:
            return float(self.query.get(name, default))
        except ValueError:
            return default


REASONS = {
    200: "OK", 206: "Partial Content", 301: "Moved Permanently", 302: "Found",
    303: "See Other", 304: "Not Modified", 307: "Temporary Redirect", 308: "Permanent Redirect",
    401: "Unauthorized", 404: "Not Found", 407: "Proxy Authentication Required",
    416: "Range Not Satisfiable", 500: "Internal Server Error", 503: "Service Unavailable",
}


class Connection:
    def __init__(self, sock, connection_id):
        self.sock = sock
        self.id = connection_id
        self.index = 0
        self.buffer = b""

    def read_request(self):
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        lines = head.split(b"\r\n")
        try:
            method, target, version = lines[0].decode("latin-1").split(" ", 2)
        except ValueError:
            return None
        headers = {}
        for line in lines[1:]:
            name, _, value = line.decode("latin-1").partition(":")
            headers[name.strip().lower()] = value.strip()
        body = b""
        length = int(headers.get("content-length", "0") or "0")
        while len(self.buffer) < length:
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.buffer += chunk
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        self.index += 1
        return Request(method, target, version, headers, head + b"\r\n\r\n", body)

    def send_head(self, status, headers, version="HTTP/1.1"):
        lines = ["%s %d %s" % (version, status, REASONS.get(status, "Status"))]
        lines.append("X-Connection-ID: %d" % self.id)
        lines.append("X-Request-Index: %d" % self.index)
        for name, value in headers:
            lines.append("%s: %s" % (name, value))
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))

    def send_response(self, status, body=b"", headers=(), length=True, version="HTTP/1.1"):
        headers = list(headers)
        if length:
            headers.append(("Content-Length", str(len(body))))
        self.send_head(status, headers, version)
        if body:
            self.sock.sendall(body)


# --- scenarios -------------------------------------------------------------------------

def handle_big_header(conn, req):
    # About 2 MB of header fields in lines of 1000 bytes, then a short body.
    filler = [("X-Filler-%d" % i, "f" * 980) for i in range(2000)]
    conn.send_response(200, b"ok", filler + [("Content-Type", "application/octet-stream")])
    return True


def handle_echo(conn, req):
    conn.send_response(200, req.raw + req.body, [("Content-Type", "text/plain")])
    return True


def handle_bytes(conn, req):
    size = req.int_param("size", 1000)
    headers = [("Content-Type", req.param("type", "application/octet-stream"))]
    if req.param("name"):
        # Sent as UTF-8 bytes, as many servers do.
        headers.append(("Content-Disposition", 'attachment; filename="%s"'
                        % req.param("name").encode("utf-8").decode("latin-1")))
    conn.send_response(200, pattern_bytes(0, size), headers)
    return True


def parse_range(header, size):
    if not header or not header.startswith("bytes="):
        return None
    first, _, last = header[6:].partition("-")
    try:
        start = int(first)
        end = int(last) if last else size - 1
    except ValueError:
        return None
    return start, min(end, size - 1)


def handle_range(conn, req):
    size = req.int_param("size", 1000)
    wanted = parse_range(req.headers.get("range"), size)
    if wanted is None:
        conn.send_response(200, pattern_bytes(0, size), [("Accept-Ranges", "bytes")])
    elif wanted[0] >= size:
        conn.send_response(416, b"", [("Content-Range", "bytes */%d" % size)])
    else:
        start, end = wanted
        conn.send_response(206, pattern_bytes(start, end - start + 1),
                           [("Accept-Ranges", "bytes"),
                            ("Content-Range", "bytes %d-%d/%d" % (start, end, size))])
    return True


def handle_ignore_range(conn, req):
    size = req.int_param("size", 1000)
    conn.send_response(200, pattern_bytes(0, size))
    return True


def handle_ranges_refused(conn, req):
    size = req.int_param("size", 1000)
    after = min(size, req.int_param("after", size))
    seconds = req.float_param("seconds", 0.0)
    body = pattern_bytes(0, size)
    conn.send_head(200, [("Accept-Ranges", "bytes"), ("Content-Length", str(size))])
    if req.headers.get("range"):
        conn.sock.sendall(body)
        return True
    conn.sock.sendall(body[:after])
    time.sleep(seconds)
    conn.sock.sendall(body[after:])
    return True


def handle_no_length(conn, req):
    size = req.int_param("size", 1000)
    conn.send_response(200, pattern_bytes(0, size), [("Connection", "close")], length=False)
    return False


def handle_chunked(conn, req):
    size = req.int_param("size", 1000)
    step = max(1, req.int_param("chunk", 100))
    conn.send_head(200, [("Transfer-Encoding", "chunked")])
    body = pattern_bytes(0, size)
    for start in range(0, size, step):
        piece = body[start:start + step]
        conn.sock.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
    conn.sock.sendall(b"0\r\n\r\n")
    return True


def handle_gzip(conn, req):
    compressed = gzip.compress(gzip_plain_text(req.int_param("size", 1000)))
    chunked = req.param("chunked", "0") == "1"
    bytewise = req.param("bytewise", "1") == "1"
    delay = req.float_param("delay", 0.0)
    headers = [("Content-Encoding", "gzip"), ("Content-Type", "text/plain")]
    if chunked:
        headers.append(("Transfer-Encoding", "chunked"))
    else:
        headers.append(("Content-Length", str(len(compressed))))
    conn.send_head(200, headers)
    conn.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pieces = [compressed[i:i + 1] for i in range(len(compressed))] if bytewise else [compressed]
    for piece in pieces:
        conn.sock.sendall(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
        if delay:
            time.sleep(delay)
    if chunked:
        conn.sock.sendall(b"0\r\n\r\n")
    return True


def handle_redirect(conn, req):
    try:
        remaining = int(req.path.rsplit("/", 1)[1])
    except ValueError:
        remaining = 0
    if remaining <= 0:
        conn.send_response(200, b"done", [("Content-Type", "text/plain")])
        return True
    query = ("?" + urlsplit(req.target).query) if urlsplit(req.target).query else ""
    location = "/redirect/%d%s" % (remaining - 1, query)
    if req.param("absolute", "0") == "1":
        location = "http://127.0.0.1:%d%s" % (SERVER_PORT[0], location)
    conn.send_response(req.int_param("status", 302), b"redirecting",
                       [("Location", location), ("Content-Type", "text/plain")])
    return True


def handle_loop(conn, req):
    conn.send_response(req.int_param("status", 302), b"", [("Location", req.target)])
    return True


def handle_redirect_to(conn, req):
    conn.send_response(req.int_param("status", 302), req.param("body", "").encode("latin-1"),
                       [("Location", req.param("url", "/"))])
    return True


def handle_status(conn, req):
    try:
        status = int(req.path.rsplit("/", 1)[1])
    except ValueError:
        status = 500
    headers = [("Content-Type", "text/plain")]
    if req.param("location"):
        headers.append(("Location", req.param("location")))
    if status == 401:
        headers.append(("WWW-Authenticate", 'Basic realm="quorvel-test"'))
    if status == 407:
        headers.append(("Proxy-Authenticate", 'Basic realm="quorvel-test"'))
    conn.send_response(status, req.param("body", "").encode("latin-1"), headers)
    return True


AUTH_LOG = []
DIGEST_NONCES = []


def md5_hex(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


def parse_auth_params(text):
    params = {}
    for match in re.finditer(r'([A-Za-z0-9_-]+)\s*=\s*("((?:[^"\\]|\\.)*)"|[^,\s]*)', text):
        value = match.group(3) if match.group(3) is not None else match.group(2)
        params[match.group(1).lower()] = value.replace('\\"', '"')
    return params


def ntlm_message(sent):
    """The NTLM message of an "NTLM <base64>" field: (type, bytes), or (0, b"") when there is none."""
    try:
        data = base64.b64decode(sent.split(" ", 1)[1].strip(), validate=True)
    except (IndexError, ValueError):
        return 0, b""
    if len(data) < 12 or data[:8] != b"NTLMSSP\0":
        return 0, b""
    return struct.unpack("<I", data[8:12])[0], data


def ntlm_field(data, offset):
    """A security buffer of a type-3 message (length, allocated, offset), as text."""
    if len(data) < offset + 8:
        return None
    length, _, start = struct.unpack("<HHI", data[offset:offset + 8])
    flags = struct.unpack("<I", data[60:64])[0] if len(data) >= 64 else 0
    raw = data[start:start + length]
    return raw.decode("utf-16-le" if flags & 1 else "latin-1", "replace")


# A canned type-2 challenge: Unicode, NTLM, always sign, target info for NTLMv2.
NTLM_TARGET_INFO = struct.pack("<HH", 2, 8) + "TEST".encode("utf-16-le") + struct.pack("<HH", 0, 0)
NTLM_CHALLENGE = (b"NTLMSSP\0" + struct.pack("<I", 2) + struct.pack("<HHI", 0, 0, 48)
                  + struct.pack("<I", 0x00808205) + b"\x01\x23\x45\x67\x89\xab\xcd\xef" + b"\0" * 8
                  + struct.pack("<HHI", len(NTLM_TARGET_INFO), len(NTLM_TARGET_INFO), 48) + NTLM_TARGET_INFO)


def handle_ntlm(conn, req, user, sent):
    """NTLM is a handshake on one connection: type 1 gets the challenge, type 3 must name the user
    (and domain) and carry an NTLMv2 or NTLM response; anything else starts over."""
    kind, data = ntlm_message(sent) if sent.split(" ", 1)[0].lower() == "ntlm" else (0, b"")
    if kind == 1:
        return False, "NTLM " + base64.b64encode(NTLM_CHALLENGE).decode("ascii")
    if kind == 3 and len(data) >= 64:
        nt_length = struct.unpack("<H", data[20:22])[0]
        named = ntlm_field(data, 36)
        domain = ntlm_field(data, 28)
        expected_domain = req.param("domain", "")
        return (named == user and nt_length >= 24 and (not expected_domain or domain == expected_domain)), "NTLM"
    return False, "NTLM"


def handle_auth(conn, req):
    scheme = req.path.rsplit("/", 1)[1]
    user = req.param("user", "user")
    password = req.param("password", "secret")
    realm = req.param("realm", "quorvel-test")
    sent = req.headers.get("authorization", "")
    sent_scheme = sent.split(" ", 1)[0] if sent else "-"
    authorized = False
    stale = False
    ntlm_challenge = None
    if scheme == "ntlm":
        authorized, ntlm_challenge = handle_ntlm(conn, req, user, sent)
    elif scheme == "basic" and sent_scheme.lower() == "basic":
        expected = base64.b64encode(("%s:%s" % (user, password)).encode("utf-8")).decode("ascii")
        authorized = sent.split(" ", 1)[1].strip() == expected
    elif scheme == "digest" and sent_scheme.lower() == "digest":
        p = parse_auth_params(sent.split(" ", 1)[1])
        ha1 = md5_hex("%s:%s:%s" % (user, realm, password))
        ha2 = md5_hex("%s:%s" % (req.method, p.get("uri", "")))
        expected = md5_hex(":".join([ha1, p.get("nonce", ""), p.get("nc", ""), p.get("cnonce", ""),
                                     p.get("qop", ""), ha2]))
        with STATE_LOCK:
            known = p.get("nonce") in DIGEST_NONCES
            latest = bool(DIGEST_NONCES) and p.get("nonce") == DIGEST_NONCES[-1]
        authorized = (known and p.get("username") == user and p.get("realm") == realm
                      and p.get("qop") == "auth" and p.get("response") == expected)
        if authorized and req.param("stale", "0") == "1" and not latest:
            authorized, stale = False, True
    if authorized:
        body = pattern_bytes(0, req.int_param("size", 100))
        status, headers = 200, []
    else:
        body, status = b"log in first", 401
        if ntlm_challenge:
            challenge = ntlm_challenge
        elif scheme == "digest":
            nonce = os.urandom(12).hex()
            with STATE_LOCK:
                DIGEST_NONCES.append(nonce)
            challenge = 'Digest realm="%s", qop="auth", algorithm=MD5, nonce="%s", opaque="q0"' % (realm, nonce)
            if stale:
                challenge += ", stale=true"
        else:
            challenge = 'Basic realm="%s"' % realm
        headers = [("WWW-Authenticate", challenge), ("Content-Type", "text/plain")]
    with STATE_LOCK:
        AUTH_LOG.append("%s %s %d" % (req.target, sent_scheme, status))
    conn.send_response(status, body, headers)
    return True


def handle_auth_log(conn, req):
    with STATE_LOCK:
        body = "".join(line + "\n" for line in AUTH_LOG).encode("utf-8")
    conn.send_response(200, body)
    return True


def handle_keepalive(conn, req):
    body = pattern_bytes(0, req.int_param("size", 100))
    if req.param("http10", "0") == "1":
        conn.send_response(200, body, [], version="HTTP/1.0")
        return False
    if req.param("close", "0") == "1":
        conn.send_response(200, body, [("Connection", "close")])
        return False
    values = []
    if req.param("timeout") is not None:
        values.append("timeout=%s" % req.param("timeout"))
    if req.param("max") is not None:
        values.append("max=%s" % req.param("max"))
    headers = [("Connection", "Keep-Alive")]
    if values:
        headers.append(("Keep-Alive", ", ".join(values)))
    conn.send_response(200, body, headers)
    return True


def handle_drop_reused(conn, req):
    key = req.param("key", "default")
    with STATE_LOCK:
        drop = conn.index > 1 and key not in DROPPED_KEYS
        if drop:
            DROPPED_KEYS.add(key)
    if drop:
        return False
    conn.send_response(200, pattern_bytes(0, req.int_param("size", 100)))
    return True


def handle_truncate(conn, req):
    size = req.int_param("size", 1000)
    conn.send_head(200, [("Content-Length", str(size))])
    conn.sock.sendall(pattern_bytes(0, min(size, req.int_param("send", 500))))
    return False


def handle_stall(conn, req):
    size = req.int_param("size", 1000)
    after = min(size, req.int_param("after", 100))
    conn.send_head(200, [("Content-Length", str(size))])
    conn.sock.sendall(pattern_bytes(0, after))
    deadline = time.monotonic() + req.float_param("seconds", 60.0)
    conn.sock.settimeout(0.1)
    while time.monotonic() < deadline:
        try:
            if not conn.sock.recv(65536):
                return False  # the client gave up
        except socket.timeout:
            pass
        except OSError:
            return False
    conn.sock.settimeout(None)
    conn.sock.sendall(pattern_bytes(after, size - after))
    return True


def send_paced(conn, body, rate):
    if rate <= 0:
        conn.sock.sendall(body)
        return
    step = 8192
    for start in range(0, len(body), step):
        conn.sock.sendall(body[start:start + step])
        time.sleep(min(step, len(body) - start) / float(rate))


def handle_faulty(conn, req):
    size = req.int_param("size", 1000)
    rate = req.int_param("rate", 0)
    validators = [("Accept-Ranges", "bytes"), ("Last-Modified", "Mon, 02 Jan 2023 03:04:05 GMT")]
    wanted = parse_range(req.headers.get("range"), size)
    key = req.param("key", req.path)
    with STATE_LOCK:
        RANGE_LOG.setdefault(key, []).append(req.headers.get("range", "-"))
    if wanted is None:
        head = validators + [("ETag", '"v1"'), ("Content-Length", str(size))]
        conn.send_head(200, head)
        cut = req.int_param("cut", -1)
        if 0 <= cut < size:
            send_paced(conn, pattern_bytes(0, cut), rate)
            return False
        send_paced(conn, pattern_bytes(0, size), rate)
        return True
    with STATE_LOCK:
        RANGED_REQUESTS[key] = RANGED_REQUESTS.get(key, 0) + 1
        number = RANGED_REQUESTS[key]
    fault, wait = None, 0.0
    for entry in req.param("faults", "").split(","):
        fields = entry.split(":")
        if len(fields) >= 2 and fields[0] == str(number):
            fault = fields[1]
            wait = float(fields[2]) if len(fields) > 2 else 0.0
    time.sleep(wait)
    start, end = wanted
    if fault in ("503", "416") or start >= size:
        status = 503 if fault == "503" else 416
        conn.send_response(status, b"", validators + [("Content-Range", "bytes */%d" % size)])
        return True
    etag, offset, total = '"v1"', 0, size
    if fault == "short":
        end = start + max(1, (end - start + 1) // 4) - 1
    elif fault == "etag":
        etag, offset = '"v2"', 7
    elif fault == "total":
        total = size + 1
    body = pattern_bytes(start + offset, end - start + 1)
    conn.send_head(206, validators + [("ETag", etag), ("Content-Length", str(len(body))),
                                      ("Content-Range", "bytes %d-%d/%d" % (start, end, total))])
    send_paced(conn, body, rate)
    return True


def handle_ranges(conn, req):
    with STATE_LOCK:
        body = "".join(line + "\n" for line in RANGE_LOG.get(req.param("key", ""), []))
    conn.send_response(200, body.encode("latin-1"), [("Content-Type", "text/plain")])
    return False


def handle_delay(conn, req):
    time.sleep(req.float_param("seconds", 1.0))
    conn.send_response(200, pattern_bytes(0, req.int_param("size", 100)))
    return True


def handle_set_cookie(conn, req):
    cookie = "%s=%s; Path=%s" % (req.param("name", "a"), req.param("value", "b"), req.param("path", "/"))
    if req.param("attrs"):
        cookie += "; " + req.param("attrs")
    conn.send_response(200, b"ok", [("Set-Cookie", cookie), ("Content-Type", "text/plain")])
    return True


def handle_requests(conn, req):
    with STATE_LOCK:
        body = "".join(line + "\n" for line in REQUEST_LOG)
    conn.send_response(200, body.encode("latin-1"), [("Content-Type", "text/plain")])
    return True


def handle_reset(conn, req):
    with STATE_LOCK:
        REQUEST_LOG.clear()
        DROPPED_KEYS.clear()
        RANGED_REQUESTS.clear()
        RANGE_LOG.clear()
        AUTH_LOG.clear()
    conn.send_response(200, b"ok")
    return True


# Longest matching prefix wins; an entry ending in "/" matches everything below it.
SCENARIOS = {
    "/echo": handle_echo,
    "/bytes": handle_bytes,
    "/range": handle_range,
    "/ignore-range": handle_ignore_range,
    "/ranges-refused": handle_ranges_refused,
    "/no-length": handle_no_length,
    "/chunked": handle_chunked,
    "/gzip": handle_gzip,
    "/redirect/": handle_redirect,
    "/loop": handle_loop,
    "/redirect-to": handle_redirect_to,
    "/status/": handle_status,
    "/keepalive": handle_keepalive,
    "/drop-reused": handle_drop_reused,
    "/truncate": handle_truncate,
    "/stall": handle_stall,
    "/delay": handle_delay,
    "/faulty/": handle_faulty,
    "/ranges": handle_ranges,
    "/auth/": handle_auth,
    "/auth-log": handle_auth_log,
    "/set-cookie": handle_set_cookie,
    "/requests": handle_requests,
    "/reset": handle_reset,
    "/big-header": handle_big_header,
}


def find_handler(path):
    best = None
    for prefix, handler in SCENARIOS.items():
        matches = path.startswith(prefix) if prefix.endswith("/") else path == prefix
        if matches and (best is None or len(prefix) > len(best[0])):
            best = (prefix, handler)
    return best[1] if best else None


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        with STATE_LOCK:
            CONNECTION_COUNTER[0] += 1
            connection_id = CONNECTION_COUNTER[0]
        conn = Connection(self.request, connection_id)
        try:
            while True:
                req = conn.read_request()
                if req is None:
                    return
                if req.path not in ("/requests", "/reset", "/ranges", "/auth-log"):
                    with STATE_LOCK:
                        REQUEST_LOG.append("%d %d %s %s" % (conn.id, conn.index, req.method, req.target))
                handler = find_handler(req.path)
                if handler is None:
                    conn.send_response(404, b"not found")
                    keep = True
                else:
                    keep = handler(conn, req)
                wants_close = req.headers.get("connection", "").lower() == "close" or req.version == "HTTP/1.0"
                if not keep or wants_close:
                    return
        except OSError:
            return
        finally:
            try:
                self.request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    SERVER_PORT[0] = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    sys.stdout.write("PORT %d\n" % SERVER_PORT[0])
    sys.stdout.flush()
    # Stop when the test process that started us goes away.
    try:
        while sys.stdin.buffer.read(65536):
            pass
    except (OSError, KeyboardInterrupt):
        pass
    server.shutdown()


if __name__ == "__main__":
    main()
