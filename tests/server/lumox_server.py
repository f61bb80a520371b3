#!/usr/bin/env python3
"""Loopback test server for the Lumox integration and GUI tests.

One process serves, on 127.0.0.1:
  * an HTTP/1.1 origin whose behaviour is chosen by the request path,
  * the same origin over HTTPS (good certificate, wrong-name certificate,
    expired certificate), and
  * a forward proxy with Basic authentication (absolute-URI requests and
    CONNECT tunnels).

Every request the origin sees is recorded byte for byte under the records
folder.  Standard library only; the openssl command-line tool makes the
certificates at start.  See README.md beside this file for the interface.
"""

import argparse
import base64
import binascii
import datetime
import hashlib
import http
import json
import os
import re
import select
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

SERVER_NAME = b"lumox-test-server"
REALM = b"lumox"
MAX_LINE = 65536          # longest request line or header line accepted
MAX_HEAD = 262144         # longest request head accepted
IO_BLOCK = 262144         # socket receive size
SEND_BLOCK = 65511        # 261 periods of the 251-byte body pattern
IDLE_TIMEOUT = 120.0      # seconds a keep-alive connection may sit idle
TUNNEL_IDLE = 300.0       # seconds a CONNECT tunnel may sit idle
MAX_WAIT_MS = 600000      # upper bound for delay/trickle waits
MAX_BODY = 1 << 42        # upper bound for generated bodies
ID_RE = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9_.-]{0,127}$")
TOKEN_RE = re.compile(r"^[!#$%&'*+.^_`|~0-9A-Za-z-]+$")
LOOPBACK_HOSTS = {"127.0.0.1": ("127.0.0.1", socket.AF_INET),
                  "localhost": ("127.0.0.1", socket.AF_INET),
                  "::1": ("::1", socket.AF_INET6)}

_PATTERN = bytes(range(251)) * 262   # 251 + SEND_BLOCK bytes and more


def pattern_bytes(offset, count):
    """Bytes offset .. offset+count-1 of the pattern byte[i] = i % 251."""
    start = offset % 251
    return _PATTERN[start:start + count]


def reason_phrase(code):
    try:
        return http.HTTPStatus(code).phrase.encode("ascii")
    except ValueError:
        return b"Status %d" % code


def log(msg):
    try:
        sys.stderr.write("%s %s\n" % (time.strftime("%H:%M:%S"), msg))
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


class ClientGone(Exception):
    """The peer closed or reset the connection."""


class BadRequest(Exception):
    def __init__(self, status, text):
        Exception.__init__(self, text)
        self.status = status
        self.text = text


# --------------------------------------------------------------------------
# Buffered reading from a (plain or TLS) socket, keeping leftover bytes.

class Reader:
    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def _fill(self):
        try:
            data = self.sock.recv(IO_BLOCK)
        except (ConnectionError, ssl.SSLError) as exc:
            raise ClientGone(str(exc))
        if not data:
            return False
        self.buf += data
        return True

    def readline(self, limit=MAX_LINE):
        """One line including its LF; a partial line at EOF; b'' at EOF."""
        scanned = 0
        while True:
            i = self.buf.find(b"\n", scanned)
            if i >= 0:
                line = bytes(self.buf[:i + 1])
                del self.buf[:i + 1]
                return line
            scanned = len(self.buf)
            if scanned > limit:
                raise BadRequest(431, "line too long")
            if not self._fill():
                line = bytes(self.buf)
                self.buf.clear()
                return line

    def read_some(self, n):
        """Up to n bytes (at least one unless at EOF)."""
        if not self.buf:
            try:
                data = self.sock.recv(min(n, IO_BLOCK))
            except (ConnectionError, ssl.SSLError) as exc:
                raise ClientGone(str(exc))
            return data
        data = bytes(self.buf[:n])
        del self.buf[:n]
        return data

    def take_buffer(self):
        data = bytes(self.buf)
        self.buf.clear()
        return data


# --------------------------------------------------------------------------
# Records.

class Recorder:
    """Numbers and writes the record files; numbering is per id and prefix."""

    def __init__(self, root):
        self.root = root
        self.lock = threading.Lock()
        self.next = {}

    def allocate(self, rec_id, prefix=""):
        folder = os.path.join(self.root, rec_id)
        with self.lock:
            key = (rec_id, prefix)
            if key not in self.next:
                os.makedirs(folder, exist_ok=True)
                high = 0
                pat = re.compile("^" + re.escape(prefix) + r"(\d{4,})\.")
                for name in os.listdir(folder):
                    m = pat.match(name)
                    if m:
                        high = max(high, int(m.group(1)))
                self.next[key] = high + 1
            num = self.next[key]
            self.next[key] = num + 1
        return folder, "%s%04d" % (prefix, num)

    @staticmethod
    def write_json(folder, name, obj):
        path = os.path.join(folder, name + ".json")
        tmp = path + ".part"
        # one key per line, so a test can also find a field with a plain text search
        text = "{\n" + ",\n".join(" %s: %s" % (json.dumps(k), json.dumps(v))
                                   for k, v in obj.items()) + "\n}\n"
        with open(tmp, "w", encoding="ascii") as f:
            f.write(text)
        os.replace(tmp, path)


class BodyStats:
    def __init__(self):
        self.raw_len = 0
        self.raw_hash = hashlib.sha256()
        self.dec_len = 0
        self.dec_hash = hashlib.sha256()
        self.complete = True
        self.chunked = False

    def as_dict(self):
        return {"body_length": self.raw_len,
                "body_sha256": self.raw_hash.hexdigest(),
                "body_dechunked_length": self.dec_len,
                "body_dechunked_sha256": self.dec_hash.hexdigest(),
                "body_chunked": self.chunked,
                "body_complete": self.complete}


class ReqFile:
    """NNNN.req written while the body streams in; renamed when complete."""

    def __init__(self, folder, name, head, store_body):
        self.path = os.path.join(folder, name + ".req")
        self.tmp = self.path + ".part"
        self.f = open(self.tmp, "wb")
        self.f.write(head)
        self.store_body = store_body

    def body(self, data):
        if self.store_body:
            self.f.write(data)

    def finish(self):
        self.f.close()
        os.replace(self.tmp, self.path)


# --------------------------------------------------------------------------
# Request parsing.

class Request:
    def __init__(self):
        self.head = b""
        self.preceding_empty_lines = 0
        self.method = ""
        self.target = ""
        self.version = ""
        self.headers = []       # [(name, value)] as latin-1 text

    def header(self, name):
        lname = name.lower()
        for n, v in self.headers:
            if n.lower() == lname:
                return v
        return None

    def header_all(self, name):
        lname = name.lower()
        return [v for n, v in self.headers if n.lower() == lname]

    def tokens(self, name):
        out = []
        for v in self.header_all(name):
            out += [t.strip().lower() for t in v.split(",") if t.strip()]
        return out

    def wants_close(self):
        conn = self.tokens("Connection")
        if self.version == "HTTP/1.1":
            return "close" in conn
        return "keep-alive" not in conn

    def framing(self):
        """('chunked', None), ('length', n) or ('none', 0)."""
        te = self.tokens("Transfer-Encoding")
        if te:
            if te[-1] != "chunked":
                raise BadRequest(501, "unsupported Transfer-Encoding")
            return "chunked", None
        cls = self.header_all("Content-Length")
        if cls:
            vals = set(v.strip() for v in cls)
            if len(vals) != 1:
                raise BadRequest(400, "conflicting Content-Length")
            v = vals.pop()
            if not v.isdigit():
                raise BadRequest(400, "bad Content-Length")
            return "length", int(v)
        return "none", 0


def read_request_head(reader):
    """Reads one request head; None when the connection ends between requests."""
    req = Request()
    while True:
        line = reader.readline()
        if not line:
            return None
        if line in (b"\r\n", b"\n"):
            req.preceding_empty_lines += 1
            if req.preceding_empty_lines > 16:
                raise BadRequest(400, "too many empty lines")
            continue
        break
    parts = [line]
    total = len(line)
    while True:
        hl = reader.readline()
        if not hl:
            raise ClientGone("connection ended inside the request head")
        parts.append(hl)
        total += len(hl)
        if total > MAX_HEAD:
            raise BadRequest(431, "request head too large")
        if hl in (b"\r\n", b"\n"):
            break
        if not hl.endswith(b"\n"):
            raise ClientGone("connection ended inside the request head")
    req.head = b"".join(parts)
    try:
        parse_head(req, line, parts)
    except BadRequest as exc:
        exc.req = req
        raise
    return req


def parse_head(req, line, parts):
    rl = line.rstrip(b"\r\n").decode("latin-1")
    items = rl.split(" ")
    if len(items) != 3 or not items[2].startswith("HTTP/"):
        req.method, req.target, req.version = (items + ["", "", ""])[:3]
        raise BadRequest(400, "malformed request line")
    req.method, req.target, req.version = items
    for hl in parts[1:-1]:
        text = hl.rstrip(b"\r\n").decode("latin-1")
        if text[:1] in (" ", "\t") and req.headers:
            n, v = req.headers[-1]
            req.headers[-1] = (n, v + " " + text.strip())
            continue
        if ":" not in text:
            raise BadRequest(400, "malformed header line")
        n, v = text.split(":", 1)
        req.headers.append((n, v.strip(" \t")))


def receive_body(reader, kind, length, sinks, stats):
    """Streams the request body to each sink(raw, decoded).

    Raises ClientGone (after marking stats incomplete) when the peer stops
    sending early."""
    def raw(data):
        stats.raw_len += len(data)
        stats.raw_hash.update(data)
        for s in sinks:
            s.raw(data)

    def dec(data):
        stats.dec_len += len(data)
        stats.dec_hash.update(data)
        for s in sinks:
            s.decoded(data)

    def exact(n):
        while n > 0:
            data = reader.read_some(min(n, IO_BLOCK))
            if not data:
                stats.complete = False
                raise ClientGone("body cut short")
            raw(data)
            dec(data)
            n -= len(data)

    if kind == "length":
        exact(length)
        return
    if kind != "chunked":
        return
    stats.chunked = True
    while True:
        line = reader.readline(4096)
        if not line.endswith(b"\n"):
            raw(line)
            stats.complete = False
            raise ClientGone("chunked body cut short")
        raw(line)
        size_text = line.split(b";", 1)[0].strip()
        try:
            size = int(size_text, 16)
        except ValueError:
            stats.complete = False
            raise BadRequest(400, "bad chunk size")
        if size == 0:
            break
        # chunk data, then its CRLF (recorded raw, not part of the body)
        n = size
        while n > 0:
            data = reader.read_some(min(n, IO_BLOCK))
            if not data:
                stats.complete = False
                raise ClientGone("chunked body cut short")
            raw(data)
            dec(data)
            n -= len(data)
        crlf = reader.readline(4096)
        raw(crlf)
        if crlf not in (b"\r\n", b"\n"):
            stats.complete = False
            if not crlf.endswith(b"\n"):
                raise ClientGone("chunked body cut short")
            raise BadRequest(400, "chunk not followed by CRLF")
    while True:       # trailer section
        line = reader.readline(MAX_LINE)
        raw(line)
        if not line.endswith(b"\n"):
            stats.complete = False
            raise ClientGone("chunked trailer cut short")
        if line in (b"\r\n", b"\n"):
            return


class ReqSink:
    def __init__(self, reqfile):
        self.reqfile = reqfile

    def raw(self, data):
        self.reqfile.body(data)

    def decoded(self, data):
        pass


class EchoSink:
    def __init__(self):
        self.spool = tempfile.SpooledTemporaryFile(max_size=8 << 20)

    def raw(self, data):
        pass

    def decoded(self, data):
        self.spool.write(data)


# --------------------------------------------------------------------------
# Directives.

class Plan:
    """What the origin answers, parsed from the request path."""

    def __init__(self):
        self.rec_id = "_"
        self.under_x = False
        self.status = 200
        self.reason = None
        self.body_kind = "none"     # none | pattern | text | echo
        self.body_len = 0
        self.text = b""
        self.headers = []           # [(name bytes, value bytes)]
        self.trickle_ms = 0
        self.trickle_chunk = 0
        self.short = None
        self.abort = None
        self.chunked = False
        self.nolength = False
        self.delay_ms = 0
        self.location = None
        self.auth = None            # (user bytes, pass bytes)
        self.digest = None          # (user bytes, pass bytes): Digest instead of Basic
        self.close = False
        self.sink = False
        self.reset = False
        self.noread = False
        self.nocontinue = False
        self.error = None           # text of a directive error (answered 400)
        self.directives = []


def _num(seg, lo, hi, what):
    if not seg.isdigit():
        raise ValueError("%s: %r is not a number" % (what, seg))
    v = int(seg)
    if v < lo or v > hi:
        raise ValueError("%s: %d out of range %d..%d" % (what, v, lo, hi))
    return v


def _pct(seg):
    return urllib.parse.unquote_to_bytes(seg)


def _header_value(raw):
    if b"\r" in raw or b"\n" in raw or b"\0" in raw:
        raise ValueError("header value with CR, LF or NUL")
    return raw


def path_of_target(target):
    """Path part of an origin-form or absolute-form target, query removed."""
    path = target.split("?", 1)[0].split("#", 1)[0]
    low = path.lower()
    if low.startswith("http://") or low.startswith("https://"):
        rest = path.split("://", 1)[1]
        slash = rest.find("/")
        path = rest[slash:] if slash >= 0 else "/"
    return path


def parse_plan(target):
    plan = Plan()
    path = path_of_target(target)
    if not path.startswith("/x/"):
        plan.body_kind = "text"
        plan.text = b"lumox test server\n"
        return plan
    segs = path[3:].split("/")
    rec_id = segs[0]
    if not ID_RE.match(rec_id):
        plan.error = "bad record id %r" % rec_id
        return plan
    plan.rec_id = rec_id
    plan.under_x = True
    args = segs[1:]
    i = 0

    def take(n, name):
        if i + n > len(args):
            raise ValueError("%s needs %d argument(s)" % (name, n))
        return args[i:i + n]

    try:
        while i < len(args):
            d = args[i]
            i += 1
            if d == "":
                continue
            plan.directives.append(d)
            if d == "status":
                (a,) = take(1, d); i += 1
                plan.status = _num(a, 200, 999, d)
            elif d == "reason":
                (a,) = take(1, d); i += 1
                plan.reason = _header_value(_pct(a))
            elif d == "body":
                (a,) = take(1, d); i += 1
                plan.body_kind = "pattern"
                plan.body_len = _num(a, 0, MAX_BODY, d)
            elif d == "text":
                (a,) = take(1, d); i += 1
                plan.body_kind = "text"
                plan.text = _pct(a)
            elif d == "echo":
                plan.body_kind = "echo"
            elif d == "hdr":
                n, v = take(2, d); i += 2
                if not TOKEN_RE.match(n):
                    raise ValueError("hdr: bad header name %r" % n)
                plan.headers.append((n.encode("ascii"), _header_value(_pct(v))))
            elif d == "fill":
                a, b = take(2, d); i += 2
                count = _num(a, 1, 100000, d)
                size = _num(b, 0, 4 << 20, d)
                if count * size > 16 << 20:
                    raise ValueError("fill: more than 16 MiB of headers")
                plan.headers += [(b"X-Fill-%d" % n, b"f" * size) for n in range(count)]
            elif d == "trickle":
                a, b = take(2, d); i += 2
                plan.trickle_ms = _num(a, 0, MAX_WAIT_MS, d)
                plan.trickle_chunk = _num(b, 1, 1 << 24, d)
            elif d == "short":
                (a,) = take(1, d); i += 1
                plan.short = _num(a, 0, MAX_BODY, d)
            elif d == "abort":
                (a,) = take(1, d); i += 1
                plan.abort = _num(a, 0, MAX_BODY, d)
            elif d == "chunked":
                plan.chunked = True
            elif d == "nolength":
                plan.nolength = True
            elif d == "delay":
                (a,) = take(1, d); i += 1
                plan.delay_ms = _num(a, 0, MAX_WAIT_MS, d)
            elif d == "redirect":
                a, b = take(2, d); i += 2
                plan.status = _num(a, 200, 999, d)
                plan.location = _header_value(_pct(b))
            elif d == "redirect-path":
                (a,) = take(1, d); i += 1
                plan.status = _num(a, 200, 999, d)
                plan.location = _header_value(
                    ("/" + "/".join(args[i:])).encode("latin-1"))
                i = len(args)
            elif d == "auth":
                u, p = take(2, d); i += 2
                plan.auth = (_pct(u), _pct(p))
            elif d == "digest":
                u, p = take(2, d); i += 2
                plan.digest = (_pct(u), _pct(p))
            elif d == "close":
                plan.close = True
            elif d == "sink":
                plan.sink = True
            elif d == "reset":
                plan.reset = True
            elif d == "noread":
                plan.noread = True
            elif d == "nocontinue":
                plan.nocontinue = True
            else:
                raise ValueError("unknown directive %r" % d)
    except ValueError as exc:
        plan.error = str(exc)
    return plan


DIGEST_NONCE = "6c756d6f782d6e6f6e6365"


def digest_matches(value, method, user, password):
    """True when an Authorization value is a right Digest answer (MD5, qop auth) to the
    challenge of digest_challenge for user:password."""
    if value is None or not value.strip().lower().startswith("digest "):
        return False
    fields = dict((k.lower(), v.strip('"')) for k, v in
                  re.findall(r'(\w+)=("[^"]*"|[^,\s]+)', value.strip()[7:]))
    if fields.get("username", "").encode("latin-1") != user or \
            fields.get("nonce") != DIGEST_NONCE:
        return False
    md5 = lambda text: hashlib.md5(text.encode("latin-1")).hexdigest()
    ha1 = md5("%s:%s:%s" % (user.decode("latin-1"), REALM.decode(), password.decode("latin-1")))
    ha2 = md5("%s:%s" % (method, fields.get("uri", "")))
    if fields.get("qop") == "auth":
        want = md5(":".join([ha1, DIGEST_NONCE, fields.get("nc", ""), fields.get("cnonce", ""),
                             "auth", ha2]))
    else:
        want = md5("%s:%s:%s" % (ha1, DIGEST_NONCE, ha2))
    return fields.get("response") == want


def digest_challenge():
    return ('WWW-Authenticate: Digest realm="%s", nonce="%s", qop="auth", algorithm=MD5'
            % (REALM.decode(), DIGEST_NONCE)).encode("latin-1")


def basic_matches(value, user, password):
    """True when an Authorization-style value carries Basic user:password."""
    if value is None:
        return False
    parts = value.strip().split(None, 1)
    if len(parts) != 2 or parts[0].lower() != "basic":
        return False
    try:
        decoded = base64.b64decode(parts[1].strip().encode("latin-1"), validate=True)
    except (binascii.Error, ValueError):
        return False
    return decoded == user + b":" + password


# --------------------------------------------------------------------------
# Replies.

def send_all(sock, data):
    try:
        sock.sendall(data)
    except (OSError, ssl.SSLError) as exc:
        raise ClientGone(str(exc))


def close_gracefully(sock):
    """Sends FIN (and TLS close_notify), drains briefly, then closes."""
    try:
        sock.settimeout(1.0)
        if isinstance(sock, ssl.SSLSocket):
            try:
                sock = sock.unwrap()
            except (OSError, ssl.SSLError, ValueError):
                pass
        sock.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            if not sock.recv(65536):
                break
    except (OSError, ssl.SSLError, ValueError):
        pass
    try:
        sock.close()
    except OSError:
        pass


def close_abruptly(sock):
    """Closes with SO_LINGER 0 so the peer sees a reset."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    try:
        if isinstance(sock, ssl.SSLSocket):
            # close the descriptor without a TLS close_notify
            socket.socket.close(sock)
        else:
            sock.close()
    except OSError:
        pass


def simple_reply(sock, status, body, extra=(), close=False, reason=None):
    lines = [b"HTTP/1.1 %d %s" % (status, reason or reason_phrase(status)),
             b"Server: " + SERVER_NAME]
    lines += list(extra)
    lines.append(b"Content-Type: text/plain")
    lines.append(b"Content-Length: %d" % len(body))
    if close:
        lines.append(b"Connection: close")
    send_all(sock, b"\r\n".join(lines) + b"\r\n\r\n" + body)


def body_pieces(plan, echo_sink):
    """Yields the reply body in pieces of at most SEND_BLOCK bytes."""
    if plan.body_kind == "pattern":
        off = 0
        while off < plan.body_len:
            n = min(SEND_BLOCK, plan.body_len - off)
            yield pattern_bytes(off, n)
            off += n
    elif plan.body_kind == "text":
        for k in range(0, len(plan.text), SEND_BLOCK):
            yield plan.text[k:k + SEND_BLOCK]
    elif plan.body_kind == "echo" and echo_sink is not None:
        f = echo_sink.spool
        f.seek(0)
        while True:
            data = f.read(SEND_BLOCK)
            if not data:
                break
            yield data


def parts_of(pieces, size):
    """Regroups pieces into parts of exactly size bytes (the last may be shorter)."""
    if not size:
        yield from pieces
        return
    buf = bytearray()
    for piece in pieces:
        buf += piece
        while len(buf) >= size:
            yield bytes(buf[:size])
            del buf[:size]
    if buf:
        yield bytes(buf)


def body_length(plan, echo_sink):
    if plan.body_kind == "pattern":
        return plan.body_len
    if plan.body_kind == "text":
        return len(plan.text)
    if plan.body_kind == "echo" and echo_sink is not None:
        return echo_sink.spool.tell() if not echo_sink.spool.closed else 0
    return 0


def send_reply(sock, req, plan, echo_sink, record_name, keep):
    """Sends the reply the plan asks for; returns whether to keep the connection."""
    status = plan.status
    no_body_status = status in (204, 304)
    total = 0 if no_body_status else body_length(plan, echo_sink)
    head_only = req.method.upper() == "HEAD" or no_body_status
    chunked = plan.chunked and req.version == "HTTP/1.1" and not no_body_status
    nolength = (plan.nolength or (plan.chunked and not chunked)) and not no_body_status
    user_names = set(n.lower() for n, _ in plan.headers)
    if plan.short is not None or plan.abort is not None or plan.nolength or plan.close:
        keep = False
    if user_names & {b"content-length", b"transfer-encoding"}:
        keep = False
    if nolength:
        keep = False

    defaults = [(b"Server", SERVER_NAME), (b"X-Lumox-Record", record_name.encode("latin-1"))]
    if not no_body_status:
        ctype = b"text/plain" if plan.body_kind == "text" else b"application/octet-stream"
        defaults.append((b"Content-Type", ctype))
        if chunked:
            defaults.append((b"Transfer-Encoding", b"chunked"))
        elif not nolength:
            defaults.append((b"Content-Length", b"%d" % total))
    if plan.location is not None:
        defaults.append((b"Location", plan.location))
    if not keep:
        defaults.append((b"Connection", b"close"))
    elif req.version != "HTTP/1.1":
        defaults.append((b"Connection", b"keep-alive"))
    hdrs = [(n, v) for n, v in defaults if n.lower() not in user_names]
    hdrs += plan.headers
    head = b"HTTP/1.1 %d %s\r\n" % (status, plan.reason or reason_phrase(status))
    head += b"".join(n + b": " + v + b"\r\n" for n, v in hdrs) + b"\r\n"

    if plan.delay_ms:
        time.sleep(plan.delay_ms / 1000.0)
    send_all(sock, head)
    if head_only:
        return keep

    limit = None
    if plan.short is not None:
        limit = plan.short
    if plan.abort is not None:
        limit = plan.abort if limit is None else min(limit, plan.abort)
    sent = 0
    first = True

    def emit(data):
        if chunked:
            send_all(sock, b"%x\r\n" % len(data) + data + b"\r\n")
        else:
            send_all(sock, data)

    for part in parts_of(body_pieces(plan, echo_sink), plan.trickle_chunk):
        if limit is not None and sent + len(part) > limit:
            part = part[:limit - sent]
        if not part:
            break
        if plan.trickle_chunk and not first:
            time.sleep(plan.trickle_ms / 1000.0)
        first = False
        emit(part)
        sent += len(part)
        if limit is not None and sent >= limit:
            break
    if plan.abort is not None:
        close_abruptly(sock)
        raise ClientGone("reply aborted on purpose")
    if limit is not None and sent < total:
        # cut short on purpose: no final chunk either
        return False
    if chunked:
        send_all(sock, b"0\r\n\r\n")
    return keep


# --------------------------------------------------------------------------
# The server.

class Conn:
    """One accepted TCP connection."""

    def __init__(self, server, sock, listener, index, tls):
        self.server = server
        self.sock = sock
        self.reader = Reader(sock)
        self.listener = listener
        self.index = index
        self.tls = tls
        self.requests = 0
        self.peer_port = 0
        self.tunnel = None      # dict from the proxy when this came through CONNECT


class LumoxServer:
    def __init__(self, args):
        self.args = args
        self.records = os.path.abspath(args.records)
        os.makedirs(self.records, exist_ok=True)
        self.recorder = Recorder(self.records)
        self.stop_event = threading.Event()
        self.counter_lock = threading.Lock()
        self.conn_counts = {}
        self.tunnels = {}           # local port of a proxy upstream socket -> info
        self.tunnels_lock = threading.Lock()
        self.listeners = []
        self.ports = {}
        self.proxy_user = args.proxy_user.encode("latin-1")
        self.proxy_password = args.proxy_password.encode("latin-1")
        self.tls_dir = None
        self.ca_cert = ""

    # -- set-up ------------------------------------------------------------

    def make_certificates(self):
        """Makes a test CA and three leaf certificates with openssl."""
        d = tempfile.mkdtemp(prefix="lumox-tls-")
        self.tls_dir = d

        def run(*cmd):
            subprocess.run(["openssl"] + list(cmd), cwd=d, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           timeout=60)

        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
            "-out", "ca.crt", "-subj", "/CN=Lumox Test CA", "-days", "3650",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        run("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "leaf.key",
            "-out", "leaf.csr", "-subj", "/CN=127.0.0.1")
        os.mkdir(os.path.join(d, "newcerts"))
        open(os.path.join(d, "index.txt"), "w").close()
        with open(os.path.join(d, "serial"), "w") as f:
            f.write("1000\n")
        with open(os.path.join(d, "ca.cnf"), "w") as f:
            f.write("[ ca ]\ndefault_ca = tca\n[ tca ]\ndir = .\n"
                    "database = index.txt\nnew_certs_dir = newcerts\n"
                    "serial = serial\ndefault_md = sha256\npolicy = pol\n"
                    "unique_subject = no\ncopy_extensions = none\n"
                    "email_in_dn = no\n[ pol ]\ncommonName = supplied\n")
        now = datetime.datetime.now(datetime.timezone.utc)
        fmt = "%Y%m%d%H%M%SZ"
        good_from = (now - datetime.timedelta(days=1)).strftime(fmt)
        good_to = (now + datetime.timedelta(days=3650)).strftime(fmt)
        leaves = {
            "good": ("/CN=127.0.0.1", "IP:127.0.0.1,DNS:localhost", good_from, good_to),
            "wrongname": ("/CN=wrong.example", "DNS:wrong.example", good_from, good_to),
            "expired": ("/CN=127.0.0.1", "IP:127.0.0.1,DNS:localhost",
                        "20200101000000Z", "20200102000000Z"),
        }
        with open(os.path.join(d, "ca.crt"), "rb") as f:
            ca_pem = f.read()
        out = {}
        for name, (subj, san, start, end) in leaves.items():
            ext = os.path.join(d, name + ".ext")
            with open(ext, "w") as f:
                f.write("subjectAltName=%s\nbasicConstraints=CA:FALSE\n"
                        "keyUsage=critical,digitalSignature,keyEncipherment\n"
                        "extendedKeyUsage=serverAuth\n" % san)
            run("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.crt", "-keyfile", "ca.key",
                "-in", "leaf.csr", "-out", name + ".crt", "-subj", subj, "-extfile", ext,
                "-startdate", start, "-enddate", end, "-notext")
            chain = os.path.join(d, name + "-chain.pem")
            with open(os.path.join(d, name + ".crt"), "rb") as f:
                leaf_pem = f.read()
            with open(chain, "wb") as f:
                f.write(leaf_pem + ca_pem)
            out[name] = chain
        self.ca_cert = os.path.join(d, "ca.crt")
        return out, os.path.join(d, "leaf.key")

    def listen(self, name, port, handler, tls_ctx=None):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.listen(64)
        self.listeners.append(s)
        self.ports[name] = s.getsockname()[1]
        t = threading.Thread(target=self.accept_loop, args=(s, name, handler, tls_ctx),
                             name="accept-" + name, daemon=True)
        t.start()

    def start(self):
        self.listen("http", 0, self.serve_origin)
        try:
            chains, key = self.make_certificates()
        except (OSError, subprocess.SubprocessError) as exc:
            log("certificates could not be made: %s" % exc)
            chains, key = {}, None
        for name, port_key in (("good", "https"), ("wrongname", "https_wrongname"),
                               ("expired", "https_expired")):
            if name not in chains:
                self.ports[port_key] = 0
                continue
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(chains[name], key)
            self.listen(port_key, 0, self.serve_origin, ctx)
        self.listen("proxy", self.args.proxy_port, self.serve_proxy)
        # a second HTTP origin (another port of the same host), a forward proxy spoken to
        # over TLS (good certificate) and a SOCKS5 proxy
        self.listen("http_other", 0, self.serve_origin)
        if "good" in chains:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(chains["good"], key)
            self.listen("proxy_tls", 0, self.serve_proxy, ctx)
        else:
            self.ports["proxy_tls"] = 0
        self.listen("socks", 0, self.serve_socks)

    def info_lines(self):
        return ["http_port=%d" % self.ports["http"],
                "https_port=%d" % self.ports.get("https", 0),
                "https_wrongname_port=%d" % self.ports.get("https_wrongname", 0),
                "https_expired_port=%d" % self.ports.get("https_expired", 0),
                "proxy_port=%d" % self.ports["proxy"],
                "http_other_port=%d" % self.ports["http_other"],
                "proxy_tls_port=%d" % self.ports["proxy_tls"],
                "socks_port=%d" % self.ports["socks"],
                "proxy_user=%s" % self.args.proxy_user,
                "proxy_password=%s" % self.args.proxy_password,
                "ca_cert=%s" % self.ca_cert,
                "records=%s" % self.records,
                "pid=%d" % os.getpid()]

    def write_info(self):
        text = "\n".join(self.info_lines()) + "\n"
        path = os.path.abspath(self.args.info)
        tmp = path + ".tmp%d" % os.getpid()
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, path)
        if self.args.pidfile:
            ptmp = self.args.pidfile + ".tmp%d" % os.getpid()
            with open(ptmp, "w") as f:
                f.write("%d\n" % os.getpid())
            os.replace(ptmp, self.args.pidfile)
        sys.stdout.write(text)
        sys.stdout.flush()

    def shutdown(self):
        for s in self.listeners:
            try:
                s.close()
            except OSError:
                pass
        if self.tls_dir:
            shutil.rmtree(self.tls_dir, ignore_errors=True)

    # -- accepting -----------------------------------------------------------

    def next_conn_index(self, name):
        with self.counter_lock:
            n = self.conn_counts.get(name, 0) + 1
            self.conn_counts[name] = n
            return n

    def accept_loop(self, lsock, name, handler, tls_ctx):
        while not self.stop_event.is_set():
            try:
                sock, addr = lsock.accept()
            except OSError:
                if self.stop_event.is_set():
                    return
                time.sleep(0.05)
                continue
            index = self.next_conn_index(name)
            t = threading.Thread(target=self.run_conn,
                                 args=(sock, addr, name, index, handler, tls_ctx),
                                 name="%s-%d" % (name, index), daemon=True)
            t.start()

    def run_conn(self, sock, addr, name, index, handler, tls_ctx):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with self.tunnels_lock:
            tunnel = self.tunnels.get(addr[1])
        try:
            sock.settimeout(IDLE_TIMEOUT)
            if tls_ctx is not None:
                sock.settimeout(15.0)
                try:
                    sock = tls_ctx.wrap_socket(sock, server_side=True)
                except (OSError, ssl.SSLError) as exc:
                    log("%s connection %d: TLS handshake failed: %s" % (name, index, exc))
                    close_abruptly(sock)
                    return
                sock.settimeout(IDLE_TIMEOUT)
            conn = Conn(self, sock, name, index, tls_ctx is not None)
            conn.peer_port = addr[1]
            conn.tunnel = tunnel
            handler(conn)
        except Exception as exc:    # keep the server up whatever one connection does
            log("%s connection %d: %s: %s" % (name, index, type(exc).__name__, exc))
            close_abruptly(sock)

    # -- origin ------------------------------------------------------------

    def serve_origin(self, conn):
        while not self.stop_event.is_set():
            try:
                req = read_request_head(conn.reader)
            except (ClientGone, socket.timeout, TimeoutError):
                close_abruptly(conn.sock)
                return
            except BadRequest as exc:
                self.answer_bad_head(conn, exc)
                return
            if req is None:
                close_gracefully(conn.sock)
                return
            conn.requests += 1
            if not self.origin_request(conn, req, None):
                return

    def answer_bad_head(self, conn, exc):
        req = getattr(exc, "req", None)
        if req is not None:
            conn.requests += 1
            folder, name = self.recorder.allocate("_")
            ReqFile(folder, name, req.head, False).finish()
            record = self.base_record(conn, req, "_", name)
            record["status"] = exc.status
            record["error"] = exc.text
            self.recorder.write_json(folder, name, record)
        try:
            simple_reply(conn.sock, exc.status, (exc.text + "\n").encode("latin-1"),
                         close=True)
        except ClientGone:
            pass
        close_gracefully(conn.sock)

    def base_record(self, conn, req, rec_id, name):
        via_proxy = conn.listener in ("proxy", "proxy_tls") or conn.tunnel is not None
        if conn.listener in ("proxy", "proxy_tls"):
            pa = req.header("Proxy-Authorization")
        elif conn.tunnel is not None:
            pa = conn.tunnel["proxy_authorization"]
        else:
            pa = None
        return {"id": rec_id, "record": name, "time": time.time(),
                "method": req.method, "target": req.target, "version": req.version,
                "headers": [[n, v] for n, v in req.headers],
                "head_length": len(req.head),
                "preceding_empty_lines": req.preceding_empty_lines,
                "tls": conn.tls, "via_proxy": via_proxy,
                "proxy_authorization": pa,
                "listener": conn.listener if conn.tunnel is None else conn.listener + "+tunnel",
                "connection_index": conn.index,
                "conn_request_index": conn.requests,
                "client_port": conn.peer_port,
                "tunnel_record": conn.tunnel["record"] if conn.tunnel else None}

    def origin_request(self, conn, req, proxy_rec):
        """Handles one request at the origin.  proxy_rec is set when the proxy
        hands over an accepted absolute-URI request.  Returns keep-alive."""
        plan = parse_plan(req.target)
        folder, name = self.recorder.allocate(plan.rec_id)
        record = self.base_record(conn, req, plan.rec_id, name)
        record["directives"] = plan.directives
        stats = BodyStats()
        error = plan.error
        try:
            kind, length = req.framing()
        except BadRequest as exc:
            kind, length = "none", 0
            error = exc.text
        if proxy_rec is not None:
            record["proxy_record"] = proxy_rec["record"]
            proxy_rec["json"]["origin_record"] = name

        def finish(status, reqfile):
            reqfile.finish()
            record.update(stats.as_dict())
            record["body_stored"] = not plan.sink
            record["status"] = status
            self.recorder.write_json(folder, name, record)
            if proxy_rec is not None:
                proxy_rec["json"]["status"] = status
                self.recorder.write_json(proxy_rec["folder"], proxy_rec["record"],
                                         proxy_rec["json"])

        reqfile = ReqFile(folder, name, req.head, not plan.sink)
        if error is not None:
            stats.complete = (kind == "none")
            finish(400, reqfile)
            try:
                simple_reply(conn.sock, 400, (error + "\n").encode("latin-1"), close=True)
            except ClientGone:
                pass
            close_gracefully(conn.sock)
            return False
        if plan.reset:
            stats.complete = (kind == "none" or (kind == "length" and length == 0))
            finish(None, reqfile)
            close_abruptly(conn.sock)
            return False

        keep = not req.wants_close()
        echo = EchoSink() if plan.body_kind == "echo" else None
        if plan.noread:
            stats.complete = (kind == "none" or (kind == "length" and length == 0))
            keep = False
        else:
            if (req.version == "HTTP/1.1" and "100-continue" in req.tokens("Expect")
                    and not plan.nocontinue):
                send_all(conn.sock, b"HTTP/1.1 100 Continue\r\n\r\n")
            sinks = [ReqSink(reqfile)] + ([echo] if echo else [])
            try:
                receive_body(conn.reader, kind, length, sinks, stats)
            except (ClientGone, socket.timeout, TimeoutError):
                stats.complete = False
                finish(None, reqfile)
                close_gracefully(conn.sock)
                return False
            except BadRequest as exc:
                finish(400, reqfile)
                try:
                    simple_reply(conn.sock, 400, (exc.text + "\n").encode("latin-1"),
                                 close=True)
                except ClientGone:
                    pass
                close_gracefully(conn.sock)
                return False

        refused = plan.auth is not None and not basic_matches(req.header("Authorization"),
                                                              *plan.auth)
        if plan.digest is not None and not digest_matches(req.header("Authorization"),
                                                          req.method, *plan.digest):
            refused = True
        if refused:
            finish(401, reqfile)
            body = b"authorization required\n"
            challenge = (digest_challenge() if plan.digest is not None
                         else b'WWW-Authenticate: Basic realm="' + REALM + b'"')
            simple_reply(conn.sock, 401, body,
                         extra=[challenge, b"X-Lumox-Record: " + name.encode()],
                         close=not keep or plan.close)
            if keep and not plan.close:
                return True
            close_gracefully(conn.sock)
            return False

        finish(plan.status, reqfile)
        try:
            keep = send_reply(conn.sock, req, plan, echo, plan.rec_id + "/" + name, keep)
        except ClientGone:
            close_abruptly(conn.sock)
            return False
        finally:
            if echo:
                echo.spool.close()
        if not keep:
            close_gracefully(conn.sock)
        return keep

    # -- proxy ---------------------------------------------------------------

    def serve_proxy(self, conn):
        while not self.stop_event.is_set():
            try:
                req = read_request_head(conn.reader)
            except (ClientGone, socket.timeout, TimeoutError):
                close_abruptly(conn.sock)
                return
            except BadRequest as exc:
                self.answer_bad_head(conn, exc)
                return
            if req is None:
                close_gracefully(conn.sock)
                return
            conn.requests += 1
            if not self.proxy_request(conn, req):
                return

    def proxy_request(self, conn, req):
        is_connect = req.method.upper() == "CONNECT"
        plan = None if is_connect else parse_plan(req.target)
        rec_id = "_connect" if is_connect else plan.rec_id
        folder, name = self.recorder.allocate(rec_id, "proxy-")
        pa = req.header("Proxy-Authorization")
        accepted = self.args.proxy_noauth or basic_matches(pa, self.proxy_user,
                                                           self.proxy_password)
        prec = {"id": rec_id, "record": name, "time": time.time(),
                "method": req.method, "target": req.target, "version": req.version,
                "headers": [[n, v] for n, v in req.headers],
                "proxy_authorization": pa, "auth_accepted": accepted,
                "listener": conn.listener,
                "connection_index": conn.index, "conn_request_index": conn.requests,
                "client_port": conn.peer_port, "status": None, "origin_record": None}
        holder = {"folder": folder, "record": name, "json": prec}

        if is_connect:
            return self.proxy_connect(conn, req, holder, accepted)

        target_ok, why = self.proxy_target_ok(req.target)
        if accepted and target_ok:
            # the origin writes its record and this proxy record before it answers
            return self.origin_request(conn, req, holder)

        status = 407 if not accepted else (400 if why == "origin-form" else 502)
        # refuse: record what came, answer ourselves
        try:
            kind, length = req.framing()
        except BadRequest:
            kind, length = "none", 0
            status, why = 400, "bad framing"
        expects = "100-continue" in req.tokens("Expect")
        keep = not req.wants_close() and status == 407 and not expects
        stats = BodyStats()
        reqfile = ReqFile(folder, name, req.head, not (plan and plan.sink))
        if not expects and keep:
            try:
                receive_body(conn.reader, kind, length, [ReqSink(reqfile)], stats)
            except (ClientGone, socket.timeout, TimeoutError, BadRequest):
                keep = False
        else:
            stats.complete = (kind == "none" or (kind == "length" and length == 0))
        reqfile.finish()
        prec.update(stats.as_dict())
        prec["status"] = status
        if status != 407:
            prec["refused"] = why
        self.recorder.write_json(folder, name, prec)
        try:
            if status == 407:
                simple_reply(conn.sock, 407, b"proxy authentication required\n",
                             extra=[b'Proxy-Authenticate: Basic realm="' + REALM + b'"'],
                             close=not keep)
            else:
                simple_reply(conn.sock, status, (why + "\n").encode("latin-1"), close=True)
        except ClientGone:
            close_abruptly(conn.sock)
            return False
        if not keep:
            close_gracefully(conn.sock)
        return keep

    def proxy_target_ok(self, target):
        """Absolute-URI targets are served only for this server's HTTP origin."""
        low = target.lower()
        if not low.startswith("http://"):
            if low.startswith("https://"):
                return False, "https absolute-URI is not proxied; use CONNECT"
            return False, "origin-form"
        hostport = target[7:].split("/", 1)[0].split("?", 1)[0]
        if "@" in hostport:
            hostport = hostport.rsplit("@", 1)[1]
        host, port = split_host_port(hostport, 80)
        if host is None or host.lower() not in LOOPBACK_HOSTS:
            return False, "target host is not loopback"
        if port != self.ports["http"]:
            return False, "target port %s is not this server's HTTP origin" % port
        return True, ""

    def proxy_connect(self, conn, req, holder, accepted):
        prec = holder["json"]
        folder, name = holder["folder"], holder["record"]
        reqfile = ReqFile(folder, name, req.head, True)
        reqfile.finish()
        if not accepted:
            keep = not req.wants_close()
            prec["status"] = 407
            self.recorder.write_json(folder, name, prec)
            try:
                simple_reply(conn.sock, 407, b"proxy authentication required\n",
                             extra=[b'Proxy-Authenticate: Basic realm="' + REALM + b'"'],
                             close=not keep)
            except ClientGone:
                close_abruptly(conn.sock)
                return False
            if not keep:
                close_gracefully(conn.sock)
            return keep
        host, port = split_host_port(req.target, None)
        upstream = None
        why = None
        if host is None or port is None or host.lower() not in LOOPBACK_HOSTS:
            why = "CONNECT target is not a loopback host:port"
        else:
            addr, family = LOOPBACK_HOSTS[host.lower()]
            upstream = socket.socket(family, socket.SOCK_STREAM)
            try:
                upstream.bind((addr, 0))
                local_port = upstream.getsockname()[1]
                with self.tunnels_lock:
                    self.tunnels[local_port] = {
                        "proxy_authorization": req.header("Proxy-Authorization"),
                        "record": "_connect/" + name}
                upstream.settimeout(10.0)
                upstream.connect((addr, port))
            except OSError as exc:
                why = "cannot connect to %s: %s" % (req.target, exc)
                upstream.close()
                upstream = None
        if upstream is None:
            prec["status"] = 502
            prec["refused"] = why
            self.recorder.write_json(folder, name, prec)
            try:
                simple_reply(conn.sock, 502, (why + "\n").encode("latin-1"), close=True)
            except ClientGone:
                pass
            close_gracefully(conn.sock)
            return False
        prec["status"] = 200
        self.recorder.write_json(folder, name, prec)
        try:
            send_all(conn.sock, b"HTTP/1.1 200 Connection established\r\n\r\n")
            self.pump(conn.sock, upstream, conn.reader.take_buffer())
        finally:
            with self.tunnels_lock:
                self.tunnels.pop(local_port, None)
        return False

    # -- SOCKS5 --------------------------------------------------------------

    def serve_socks(self, conn):
        """A SOCKS5 proxy (RFC 1928; no authentication, or user and password of RFC 1929
        taken as they come) that relays CONNECTs to loopback hosts and records each in
        _socks/socks-NNNN.json; the origin record names it as its tunnel."""
        sock = conn.sock
        sock.settimeout(15.0)
        folder, name = self.recorder.allocate("_socks", "socks-")
        rec = {"id": "_socks", "record": name, "time": time.time(), "user": None,
               "target": None, "atyp": None, "status": None}

        def recv_exact(n):
            data = b""
            while len(data) < n:
                chunk = sock.recv(n - len(data))
                if not chunk:
                    raise ClientGone()
                data += chunk
            return data

        upstream = None
        local_port = None
        try:
            ver, count = recv_exact(2)
            methods = recv_exact(count)
            if ver != 5:
                raise ClientGone()
            if 0 in methods:
                sock.sendall(b"\x05\x00")
            elif 2 in methods:
                sock.sendall(b"\x05\x02")
                _, ulen = recv_exact(2)
                user = recv_exact(ulen)
                plen = recv_exact(1)[0]
                recv_exact(plen)
                rec["user"] = user.decode("latin-1")
                sock.sendall(b"\x01\x00")
            else:
                sock.sendall(b"\x05\xff")
                raise ClientGone()
            _, cmd, _, atyp = recv_exact(4)
            if atyp == 1:
                host = socket.inet_ntop(socket.AF_INET, recv_exact(4))
            elif atyp == 4:
                host = socket.inet_ntop(socket.AF_INET6, recv_exact(16))
            else:
                host = recv_exact(recv_exact(1)[0]).decode("latin-1")
            port = struct.unpack("!H", recv_exact(2))[0]
            rec["target"] = "%s:%d" % (host, port)
            rec["atyp"] = {1: "ipv4", 3: "name", 4: "ipv6"}.get(atyp, "?")
            reply = 0
            if cmd != 1 or host.lower() not in LOOPBACK_HOSTS:
                reply = 2   # not allowed by the rule set
            else:
                addr, family = LOOPBACK_HOSTS[host.lower()]
                upstream = socket.socket(family, socket.SOCK_STREAM)
                upstream.bind((addr, 0))
                local_port = upstream.getsockname()[1]
                with self.tunnels_lock:
                    self.tunnels[local_port] = {"proxy_authorization": None,
                                                "record": "_socks/" + name}
                try:
                    upstream.settimeout(10.0)
                    upstream.connect((addr, port))
                except OSError:
                    reply = 5   # connection refused
            rec["status"] = reply
            self.recorder.write_json(folder, name, rec)
            sock.sendall(bytes([5, reply, 0, 1, 0, 0, 0, 0, 0, 0]))
            if reply != 0:
                close_gracefully(sock)
                return
            sock.settimeout(IDLE_TIMEOUT)
            self.pump(sock, upstream, b"")
        except (ClientGone, OSError, ValueError):
            close_abruptly(sock)
        finally:
            if upstream is not None:
                upstream.close()
            if local_port is not None:
                with self.tunnels_lock:
                    self.tunnels.pop(local_port, None)

    def pump(self, a, b, pending):
        """Relays bytes both ways until both sides have closed."""
        a.setblocking(False)
        b.setblocking(False)
        open_read = {a: True, b: True}
        other = {a: b, b: a}
        try:
            if pending:
                b.setblocking(True)
                b.sendall(pending)
                b.setblocking(False)
            while open_read[a] or open_read[b]:
                rl = [s for s in (a, b) if open_read[s]]
                r, _, _ = select.select(rl, [], [], TUNNEL_IDLE)
                if not r:
                    break
                for s in r:
                    try:
                        data = s.recv(IO_BLOCK)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except OSError:
                        data = None
                    if data is None:
                        raise ConnectionError("tunnel side reset")
                    o = other[s]
                    if not data:
                        open_read[s] = False
                        try:
                            o.shutdown(socket.SHUT_WR)
                        except OSError:
                            pass
                        continue
                    o.setblocking(True)
                    o.settimeout(TUNNEL_IDLE)
                    o.sendall(data)
                    o.setblocking(False)
        except OSError:
            for s in (a, b):
                close_abruptly(s)
            return
        for s in (a, b):
            try:
                s.close()
            except OSError:
                pass


def split_host_port(text, default_port):
    """'host:port', '[v6]:port' or 'host' -> (host, port); (None, None) if bad."""
    if text.startswith("["):
        end = text.find("]")
        if end < 0:
            return None, None
        host = text[1:end]
        rest = text[end + 1:]
        if rest == "":
            return host, default_port
        if not rest.startswith(":") or not rest[1:].isdigit():
            return None, None
        return host, int(rest[1:])
    if ":" in text:
        host, port = text.rsplit(":", 1)
        if not port.isdigit():
            return None, None
        return host, int(port)
    return text, default_port


def main(argv=None):
    ap = argparse.ArgumentParser(description="Lumox loopback test server")
    ap.add_argument("--info", required=True, help="file that receives key=value lines")
    ap.add_argument("--records", required=True, help="folder for request records")
    ap.add_argument("--proxy-port", type=int, default=0)
    ap.add_argument("--proxy-user", default="Kiva3")
    ap.add_argument("--proxy-password", default="7391")
    ap.add_argument("--proxy-noauth", action="store_true",
                    help="proxy accepts requests without credentials")
    ap.add_argument("--pidfile")
    ap.add_argument("--max-seconds", type=float, default=3600.0)
    args = ap.parse_args(argv)

    server = LumoxServer(args)
    done = threading.Event()

    def on_signal(signum, frame):
        done.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        server.start()
    except OSError as exc:
        log("cannot start: %s" % exc)
        server.shutdown()
        return 2
    server.write_info()
    deadline = time.monotonic() + args.max_seconds
    while not done.is_set():
        left = deadline - time.monotonic()
        if left <= 0:
            log("maximum lifetime reached")
            break
        done.wait(min(left, 1.0))
    server.stop_event.set()
    server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
