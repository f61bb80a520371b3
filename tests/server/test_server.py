"""Tests of the Lumox loopback test server (standard library only).

Run: python3 -m unittest discover -s tests/server -v
"""

import base64
import hashlib
import http.client
import json
import os
import select
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "lumox_server.py")
SRVCTL = os.path.join(HERE, "srvctl.py")
GOOD_AUTH = "Basic " + base64.b64encode(b"Kiva3:7391").decode()


def pattern(n, offset=0):
    return bytes((offset + i) % 251 for i in range(n))


def read_info(path):
    info = {}
    with open(path) as f:
        for line in f:
            k, v = line.rstrip("\n").split("=", 1)
            info[k] = v
    return info


def start_server(tmp, *extra):
    info = os.path.join(tmp, "info.txt")
    rec = os.path.join(tmp, "rec")
    log = open(os.path.join(tmp, "server.log"), "wb")
    proc = subprocess.Popen([sys.executable, SERVER, "--info", info, "--records", rec] +
                            list(extra), stdout=subprocess.PIPE, stderr=log)
    log.close()
    deadline = time.monotonic() + 20
    while not os.path.exists(info):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            proc.wait(5)
            raise RuntimeError("test server did not start")
        time.sleep(0.05)
    return proc, read_info(info)


def read_response(f):
    """Reads one response from a binary file object: (status, headers, body, closed)."""
    line = f.readline()
    if not line:
        raise EOFError("no response")
    status = int(line.split(b" ", 2)[1])
    headers = []
    while True:
        hl = f.readline()
        if hl in (b"\r\n", b""):
            break
        n, v = hl.rstrip(b"\r\n").split(b":", 1)
        headers.append((n.decode(), v.strip().decode("latin-1")))
    h = {n.lower(): v for n, v in headers}
    if status in (100, 204, 304):
        return status, headers, b"", False
    if h.get("transfer-encoding") == "chunked":
        body = b""
        while True:
            size = int(f.readline().strip(), 16)
            if size == 0:
                f.readline()
                break
            body += f.read(size)
            f.readline()
        return status, headers, body, False
    if "content-length" in h:
        return status, headers, f.read(int(h["content-length"])), False
    return status, headers, f.read(), True


class ServerCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmpdir = tempfile.TemporaryDirectory()
        cls.proc, cls.info = start_server(cls.tmpdir.name, "--max-seconds", "600")
        cls.http = int(cls.info["http_port"])
        cls.https = int(cls.info["https_port"])
        cls.proxy = int(cls.info["proxy_port"])
        cls.rec = cls.info["records"]
        cls.seq = 0

    @classmethod
    def tearDownClass(cls):
        os.kill(cls.proc.pid, signal.SIGTERM)
        cls.proc.wait(10)
        cls.proc.stdout.close()
        cls.tmpdir.cleanup()

    def new_id(self):
        type(self).seq += 1
        return "%s-%d" % (self._testMethodName.replace("_", "-"), self.seq)

    def record(self, rec_id, name):
        base = os.path.join(self.rec, rec_id, name)
        with open(base + ".json") as f:
            meta = json.load(f)
        raw = None
        if os.path.exists(base + ".req"):
            with open(base + ".req", "rb") as f:
                raw = f.read()
        return meta, raw

    def get(self, path, headers=None, method="GET", body=None, port=None):
        c = http.client.HTTPConnection("127.0.0.1", port or self.http, timeout=20)
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        data = r.read()
        c.close()
        return r, data

    def raw(self, port, data, timeout=20):
        s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        s.sendall(data)
        return s


class OriginTests(ServerCase):
    def test_info_file_lists_distinct_ports_and_pid(self):
        ports = [int(self.info[k]) for k in ("http_port", "https_port", "https_wrongname_port",
                                             "https_expired_port", "proxy_port")]
        self.assertTrue(all(p > 0 for p in ports))
        self.assertEqual(len(set(ports)), 5)
        self.assertEqual(int(self.info["pid"]), self.proc.pid)
        self.assertTrue(os.path.isabs(self.rec))
        printed = self.proc.stdout.readline().decode()
        self.assertEqual(printed, "http_port=%d\n" % self.http)

    def test_body_pattern_status_and_headers(self):
        i = self.new_id()
        r, data = self.get("/x/%s/body/300000/hdr/LFile-Length/12abc/hdr/X-Two/a%%20b" % i)
        self.assertEqual(r.status, 200)
        self.assertEqual(data, pattern(300000))
        self.assertEqual(r.getheader("Content-Length"), "300000")
        self.assertEqual(r.getheader("LFile-Length"), "12abc")
        self.assertEqual(r.getheader("X-Two"), "a b")
        self.assertEqual(r.getheader("X-Lumox-Record"), i + "/0001")
        r, data = self.get("/x/%s/status/404" % i)
        self.assertEqual((r.status, r.reason, data), (404, "Not Found", b""))
        r, data = self.get("/x/%s/status/204/body/10" % i)
        self.assertEqual((r.status, data, r.getheader("Content-Length")), (204, b"", None))
        r, data = self.get("/x/%s/text/%%82%%A0%%2Fok?a=1?n=v" % i)
        self.assertEqual(data, b"\x82\xa0/ok")
        meta, _ = self.record(i, "0004")
        self.assertEqual(meta["target"], "/x/%s/text/%%82%%A0%%2Fok?a=1?n=v" % i)
        self.assertEqual(meta["status"], 200)

    def test_fill_makes_huge_header_lines_or_heads(self):
        for directives, count, size in (("fill/1/300000", 1, 300000), ("fill/3000/100", 3000, 100)):
            s = self.raw(self.http, b"GET /x/%s/%s/body/3 HTTP/1.1\r\nHost: h\r\n"
                         b"Connection: close\r\n\r\n" % (self.new_id().encode(), directives.encode()))
            data = b""
            while True:
                block = s.recv(65536)
                if not block:
                    break
                data += block
            s.close()
            head, _, body = data.partition(b"\r\n\r\n")
            fills = [line for line in head.split(b"\r\n") if line.startswith(b"X-Fill-")]
            self.assertEqual(len(fills), count)
            self.assertEqual(fills[-1], b"X-Fill-%d: " % (count - 1) + b"f" * size)
            self.assertEqual(body, pattern(3))
        r, data = self.get("/x/%s/fill/5000/4000" % self.new_id())
        self.assertEqual(r.status, 400)

    def test_bad_directive_and_path_outside_x(self):
        i = self.new_id()
        r, data = self.get("/x/%s/body/notanumber" % i)
        self.assertEqual(r.status, 400)
        self.assertEqual(self.record(i, "0001")[0]["status"], 400)
        r, data = self.get("/x/%s/frobnicate" % i)
        self.assertEqual(r.status, 400)
        self.assertIn(b"unknown directive", data)
        r, data = self.get("/x/../etc/body/1")
        self.assertEqual(r.status, 400)
        self.assertFalse(os.path.exists(os.path.join(self.rec, "..", "etc")))
        r, data = self.get("/plain/page?q=1")
        self.assertEqual((r.status, data), (200, b"lumox test server\n"))
        names = sorted(os.listdir(os.path.join(self.rec, "_")))
        targets = [self.record("_", n[:-5])[0]["target"] for n in names if n.endswith(".json")]
        self.assertIn("/plain/page?q=1", targets)
        self.assertIn("/x/../etc/body/1", targets)

    def test_malformed_request_is_answered_400_and_recorded(self):
        s = self.raw(self.http, b"GARBAGE-LINE\r\nX-A: 1\r\n\r\n")
        status, headers, body, _ = read_response(s.makefile("rb"))
        s.close()
        self.assertEqual(status, 400)
        found = []
        for n in os.listdir(os.path.join(self.rec, "_")):
            if n.endswith(".req"):
                with open(os.path.join(self.rec, "_", n), "rb") as f:
                    if f.read() == b"GARBAGE-LINE\r\nX-A: 1\r\n\r\n":
                        found.append(self.record("_", n[:-4])[0])
        self.assertEqual([(m["status"], m["error"]) for m in found],
                         [(400, "malformed request line")])

    def test_keep_alive_and_connection_close(self):
        i = self.new_id()
        c = http.client.HTTPConnection("127.0.0.1", self.http, timeout=20)
        for n in range(3):
            c.request("GET", "/x/%s/body/%d" % (i, n + 1))
            self.assertEqual(c.getresponse().read(), pattern(n + 1))
        c.close()
        metas = [self.record(i, "%04d" % k)[0] for k in (1, 2, 3)]
        self.assertEqual(len(set(m["connection_index"] for m in metas)), 1)
        self.assertEqual([m["conn_request_index"] for m in metas], [1, 2, 3])
        for path, hdr in (("/x/%s/body/5" % i, b"Connection: close\r\n"),
                          ("/x/%s/body/5/close" % i, b"")):
            s = self.raw(self.http, b"GET " + path.encode() + b" HTTP/1.1\r\nHost: a\r\n" +
                         hdr + b"\r\n")
            f = s.makefile("rb")
            status, headers, body, _ = read_response(f)
            self.assertEqual((status, body), (200, pattern(5)))
            self.assertIn(("Connection", "close"), headers)
            self.assertEqual(f.read(), b"")     # server closed
            s.close()

    def test_record_keeps_exact_request_bytes(self):
        i = self.new_id()
        body = bytes(range(256)) * 3
        head = ("POST /x/%s/echo?k=v HTTP/1.1\r\nhost:127.0.0.1\r\nX-odd-CASE:   two  spaces \r\n"
                "Content-Length: %d\r\nLFile-Length: 768\r\n\r\n" % (i, len(body))).encode()
        s = self.raw(self.http, head + body)
        status, headers, reply, _ = read_response(s.makefile("rb"))
        s.close()
        self.assertEqual((status, reply), (200, body))
        meta, raw = self.record(i, "0001")
        self.assertEqual(raw, head + body)
        self.assertEqual(meta["method"], "POST")
        self.assertEqual(meta["target"], "/x/%s/echo?k=v" % i)
        self.assertEqual(meta["version"], "HTTP/1.1")
        self.assertEqual(meta["headers"], [["host", "127.0.0.1"], ["X-odd-CASE", "two  spaces"],
                                           ["Content-Length", "768"], ["LFile-Length", "768"]])
        self.assertEqual(meta["head_length"], len(head))
        self.assertEqual(meta["body_length"], 768)
        self.assertEqual(meta["body_sha256"], hashlib.sha256(body).hexdigest())
        self.assertEqual((meta["tls"], meta["via_proxy"], meta["proxy_authorization"]),
                         (False, False, None))

    def test_chunked_request_body_and_expect_continue(self):
        i = self.new_id()
        chunked = b"5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nX-Trailer: t\r\n\r\n"
        head = ("POST /x/%s/echo HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n"
                "Expect: 100-continue\r\n\r\n" % i).encode()
        s = self.raw(self.http, head)
        f = s.makefile("rb")
        self.assertEqual(f.readline(), b"HTTP/1.1 100 Continue\r\n")
        self.assertEqual(f.readline(), b"\r\n")
        s.sendall(chunked)
        status, _, reply, _ = read_response(f)
        s.close()
        self.assertEqual((status, reply), (200, b"hello world"))
        meta, raw = self.record(i, "0001")
        self.assertEqual(raw, head + chunked)
        self.assertEqual(meta["body_length"], len(chunked))
        self.assertEqual(meta["body_dechunked_length"], 11)
        self.assertEqual(meta["body_dechunked_sha256"], hashlib.sha256(b"hello world").hexdigest())
        self.assertTrue(meta["body_chunked"] and meta["body_complete"])

    def test_sink_counts_and_hashes_without_storing(self):
        i = self.new_id()
        body = os.urandom(1 << 20) * 5
        r, data = self.get("/x/%s/sink/text/done" % i, method="POST", body=body)
        self.assertEqual((r.status, data), (200, b"done"))
        meta, raw = self.record(i, "0001")
        self.assertEqual(len(raw), meta["head_length"])
        self.assertTrue(raw.endswith(b"\r\n\r\n"))
        self.assertEqual(meta["body_length"], len(body))
        self.assertEqual(meta["body_sha256"], hashlib.sha256(body).hexdigest())
        self.assertFalse(meta["body_stored"])

    def test_upload_cut_short_is_recorded_incomplete(self):
        i = self.new_id()
        s = self.raw(self.http, ("POST /x/%s/ HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\n"
                                 % i).encode() + b"x" * 40)
        s.shutdown(socket.SHUT_WR)
        self.assertEqual(s.recv(100), b"")
        s.close()
        meta, raw = self.record(i, "0001")
        self.assertEqual((meta["body_length"], meta["body_complete"], meta["status"]),
                         (40, False, None))

    def test_reply_framing_chunked_nolength_short(self):
        i = self.new_id()
        s = self.raw(self.http, b"GET /x/%s/body/70000/chunked HTTP/1.1\r\nHost: h\r\n\r\n"
                     % i.encode())
        status, headers, body, _ = read_response(s.makefile("rb"))
        s.close()
        names = [n.lower() for n, _ in headers]
        self.assertIn(("Transfer-Encoding", "chunked"), headers)
        self.assertNotIn("content-length", names)
        self.assertEqual(body, pattern(70000))

        s = self.raw(self.http, b"GET /x/%s/body/3000/nolength HTTP/1.1\r\nHost: h\r\n\r\n"
                     % i.encode())
        status, headers, body, closed = read_response(s.makefile("rb"))
        s.close()
        self.assertTrue(closed)
        self.assertNotIn("content-length", [n.lower() for n, _ in headers])
        self.assertEqual(body, pattern(3000))

        s = self.raw(self.http, b"GET /x/%s/body/1000/short/100 HTTP/1.1\r\nHost: h\r\n\r\n"
                     % i.encode())
        f = s.makefile("rb")
        f.readline()
        head = {}
        while True:
            line = f.readline()
            if line == b"\r\n":
                break
            n, v = line.decode().rstrip("\r\n").split(": ", 1)
            head[n] = v
        self.assertEqual(head["Content-Length"], "1000")
        self.assertEqual(f.read(), pattern(100))
        s.close()

    def test_reset_and_abort(self):
        i = self.new_id()
        s = self.raw(self.http, b"GET /x/%s/reset HTTP/1.1\r\nHost: h\r\n\r\n" % i.encode())
        with self.assertRaises(ConnectionResetError):
            s.recv(100)
        s.close()
        self.assertIsNone(self.record(i, "0001")[0]["status"])
        s = self.raw(self.http, b"GET /x/%s/body/100000/abort/5000 HTTP/1.1\r\nHost: h\r\n\r\n"
                     % i.encode())
        got = b""
        with self.assertRaises(ConnectionResetError):
            for _ in range(1000):
                data = s.recv(65536)
                if not data:
                    break
                got += data
        s.close()
        body = got.split(b"\r\n\r\n", 1)[1] if b"\r\n\r\n" in got else b""
        self.assertLessEqual(len(body), 5000)
        self.assertEqual(body, pattern(len(body)))

    def test_delay_and_trickle_timing(self):
        i = self.new_id()
        s = self.raw(self.http, b"GET /x/%s/delay/400/body/3 HTTP/1.1\r\nHost: h\r\n\r\n"
                     % i.encode())
        t0 = time.monotonic()
        s.recv(1)
        self.assertGreaterEqual(time.monotonic() - t0, 0.38)
        s.close()
        # 65600 is not a multiple of the server's send block: pieces stay 20000 bytes
        s = self.raw(self.http, b"GET /x/%s/body/65600/trickle/200/20000 HTTP/1.1\r\n"
                     b"Host: h\r\n\r\n" % i.encode())
        f = s.makefile("rb", buffering=0)
        while f.readline() != b"\r\n":
            pass
        t0 = time.monotonic()
        sizes, got = [], b""
        while len(got) < 65600 and len(sizes) < 50:
            piece = s.recv(65536)       # a burst ends when 80 ms pass without data
            while select.select([s], [], [], 0.08)[0]:
                more = s.recv(65536)
                if not more:
                    break
                piece += more
            sizes.append(len(piece))
            got += piece
        s.close()
        # Bursts end on the 20000-byte pieces; a slow machine may merge neighbouring bursts
        ends, total = [], 0
        for size in sizes:
            total += size
            ends.append(total)
        self.assertTrue(set(ends) <= {20000, 40000, 60000, 65600}, sizes)
        self.assertGreaterEqual(len(sizes), 2, sizes)
        self.assertEqual(got, pattern(65600))
        self.assertGreaterEqual(time.monotonic() - t0, 0.58)

    def test_redirect_and_origin_auth(self):
        i = self.new_id()
        r, _ = self.get("/x/%s/redirect/302/%%2Fx%%2F%s%%2Fbody%%2F3" % (i, i))
        self.assertEqual((r.status, r.getheader("Location")), (302, "/x/%s/body/3" % i))
        r, _ = self.get("/x/%s/redirect-path/301/x/%s/text/a" % (i, i))
        self.assertEqual((r.status, r.getheader("Location")), (301, "/x/%s/text/a" % i))
        path = "/x/%s/auth/u%%201/p%%3Aw/text/in" % i
        r, data = self.get(path)
        self.assertEqual(r.status, 401)
        self.assertEqual(r.getheader("WWW-Authenticate"), 'Basic realm="lumox"')
        bad = "Basic " + base64.b64encode(b"u 1:wrong").decode()
        self.assertEqual(self.get(path, {"Authorization": bad})[0].status, 401)
        good = "Basic " + base64.b64encode(b"u 1:p:w").decode()
        r, data = self.get(path, {"Authorization": good})
        self.assertEqual((r.status, data), (200, b"in"))

    def test_concurrent_requests_get_distinct_numbers(self):
        i = self.new_id()
        seen = []
        lock = threading.Lock()

        def one(k):
            r, data = self.get("/x/%s/text/n%d" % (i, k))
            with lock:
                seen.append((r.getheader("X-Lumox-Record"), "/x/%s/text/n%d" % (i, k)))

        threads = [threading.Thread(target=one, args=(k,)) for k in range(20)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        self.assertEqual(len(seen), 20)
        self.assertEqual(sorted(rec for rec, _ in seen),
                         ["%s/%04d" % (i, k) for k in range(1, 21)])
        for rec, target in seen:
            self.assertEqual(self.record(i, rec.split("/")[1])[0]["target"], target)


class TlsAndProxyTests(ServerCase):
    def tls_client(self, check_hostname=True):
        ctx = ssl.create_default_context(cafile=self.info["ca_cert"])
        ctx.check_hostname = check_hostname
        return ctx

    def test_certificates(self):
        def fetch(port, ctx):
            c = http.client.HTTPSConnection("127.0.0.1", port, context=ctx, timeout=20)
            c.request("GET", "/x/%s/text/secure" % i)
            data = c.getresponse().read()
            c.close()
            return data

        i = self.new_id()
        self.assertEqual(fetch(self.https, self.tls_client()), b"secure")
        self.assertTrue(self.record(i, "0001")[0]["tls"])
        with self.assertRaises(ssl.SSLCertVerificationError) as cm:
            fetch(int(self.info["https_wrongname_port"]), self.tls_client())
        self.assertIn("mismatch", cm.exception.verify_message)
        self.assertEqual(fetch(int(self.info["https_wrongname_port"]),
                               self.tls_client(False)), b"secure")
        with self.assertRaises(ssl.SSLCertVerificationError) as cm:
            fetch(int(self.info["https_expired_port"]), self.tls_client())
        self.assertIn("expired", cm.exception.verify_message)
        with self.assertRaises(ssl.SSLCertVerificationError) as cm:
            fetch(self.https, ssl.create_default_context())
        self.assertIn("self-signed certificate in certificate chain",
                      cm.exception.verify_message)

    def test_proxy_407_then_200_on_same_connection(self):
        i = self.new_id()
        url = "http://127.0.0.1:%d/x/%s/body/7" % (self.http, i)
        first = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % url).encode()
        s = self.raw(self.proxy, first)
        f = s.makefile("rb")
        status, headers, body, _ = read_response(f)
        self.assertEqual(status, 407)
        self.assertIn(("Proxy-Authenticate", 'Basic realm="lumox"'), headers)
        self.assertIn(("Content-Length", str(len(body))), headers)
        self.assertNotIn(("Connection", "close"), headers)
        wrong = "Basic " + base64.b64encode(b"Kiva3:0000").decode()
        s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nProxy-Authorization: %s\r\n\r\n"
                   % (url, wrong)).encode())
        self.assertEqual(read_response(f)[0], 407)
        second = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nProxy-Authorization: %s\r\n\r\n"
                  % (url, GOOD_AUTH)).encode()
        s.sendall(second)
        status, headers, body, _ = read_response(f)
        s.close()
        self.assertEqual((status, body), (200, pattern(7)))
        p1 = self.record(i, "proxy-0001")
        p3 = self.record(i, "proxy-0003")
        self.assertEqual((p1[0]["auth_accepted"], p1[0]["status"]), (False, 407))
        self.assertEqual(p1[1], first)
        self.assertEqual((p3[0]["auth_accepted"], p3[0]["status"], p3[0]["origin_record"]),
                         (True, 200, "0001"))
        meta, raw = self.record(i, "0001")
        self.assertEqual(raw, second)
        self.assertEqual((meta["via_proxy"], meta["proxy_authorization"], meta["target"]),
                         (True, GOOD_AUTH, url))
        self.assertEqual(meta["connection_index"], p1[0]["connection_index"])
        self.assertEqual(meta["conn_request_index"], 3)

    def test_proxy_refuses_other_hosts(self):
        for req in (b"GET http://192.0.2.1/x/a/ HTTP/1.1\r\nHost: 192.0.2.1\r\n",
                    b"CONNECT 192.0.2.1:443 HTTP/1.1\r\nHost: 192.0.2.1:443\r\n",
                    b"GET http://127.0.0.1:1/x/a/ HTTP/1.1\r\nHost: 127.0.0.1:1\r\n"):
            s = self.raw(self.proxy, req + b"Proxy-Authorization: " + GOOD_AUTH.encode() +
                         b"\r\n\r\n")
            self.assertEqual(read_response(s.makefile("rb"))[0], 502)
            s.close()

    def test_connect_tunnel_to_https_origin(self):
        i = self.new_id()
        target = "127.0.0.1:%d" % self.https
        s = self.raw(self.proxy, ("CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n"
                                  % (target, target)).encode())
        f = s.makefile("rb")
        self.assertEqual(read_response(f)[0], 407)
        s.sendall(("CONNECT %s HTTP/1.1\r\nHost: %s\r\nProxy-Authorization: %s\r\n\r\n"
                   % (target, target, GOOD_AUTH)).encode())
        self.assertEqual(f.readline(), b"HTTP/1.1 200 Connection established\r\n")
        self.assertEqual(f.readline(), b"\r\n")
        t = self.tls_client().wrap_socket(s, server_hostname="127.0.0.1")
        t.sendall(b"GET /x/%s/text/tunnelled HTTP/1.1\r\nHost: h\r\n\r\n" % i.encode())
        status, _, body, _ = read_response(t.makefile("rb"))
        t.close()
        self.assertEqual((status, body), (200, b"tunnelled"))
        meta, _ = self.record(i, "0001")
        self.assertEqual((meta["tls"], meta["via_proxy"], meta["proxy_authorization"]),
                         (True, True, GOOD_AUTH))
        cname = meta["tunnel_record"].split("/")[1]
        cmeta, craw = self.record("_connect", cname)
        self.assertEqual((cmeta["method"], cmeta["target"], cmeta["status"]),
                         ("CONNECT", target, 200))


class LifecycleTests(unittest.TestCase):
    def test_sigterm_and_max_lifetime_end_the_server(self):
        with tempfile.TemporaryDirectory() as tmp:
            proc, info = start_server(tmp)
            os.kill(proc.pid, signal.SIGTERM)
            self.assertEqual(proc.wait(10), 0)
            proc.stdout.close()
        with tempfile.TemporaryDirectory() as tmp:
            t0 = time.monotonic()
            proc, info = start_server(tmp, "--max-seconds", "2")
            self.assertEqual(proc.wait(15), 0)
            self.assertGreaterEqual(time.monotonic() - t0, 1.9)
            proc.stdout.close()

    def test_srvctl_start_and_stop(self):
        with tempfile.TemporaryDirectory() as tmp:
            info = os.path.join(tmp, "i.txt")
            out = subprocess.run([sys.executable, SRVCTL, "start", "--info", info,
                                  "--records", os.path.join(tmp, "r")],
                                 capture_output=True, timeout=30)
            self.assertEqual(out.returncode, 0, out.stderr)
            with open(info, "rb") as f:
                self.assertEqual(out.stdout, f.read())
            pid = int(read_info(info)["pid"])
            port = int(read_info(info)["http_port"])
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            c.request("GET", "/")
            self.assertEqual(c.getresponse().status, 200)
            c.close()
            out = subprocess.run([sys.executable, SRVCTL, "stop", "--info", info],
                                 capture_output=True, timeout=30)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertFalse(os.path.exists(info))
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", port), timeout=5).close()
            try:
                with open("/proc/%d/stat" % pid) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except OSError:
                state = "gone"
            self.assertIn(state, ("Z", "X", "gone"))


if __name__ == "__main__":
    unittest.main()
