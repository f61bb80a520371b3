#!/usr/bin/env python3
"""Tests of the `lumox` command-line tool against the running test server.

Environment (set by the CTest registration):
  LUMOX_CLI            the built lumox (lumox.exe on the win64 leg), or the first argument
  LUMOX_CLI_RUNNER     optional program that runs it (scripts/wine-run.sh under Wine)
  LUMOX_CLI_VERSION    the project version lumox --version must show
  LUMOX_SERVER_INFO    the test server's info file
  LUMOX_CLI_REPORT     where the GoogleTest-style XML report goes (one entry per test)
"""
import ctypes
import hashlib
import json
import os
import pty
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

LUMOX = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.environ.get("LUMOX_CLI", ""))
RUNNER = [r for r in [os.environ.get("LUMOX_CLI_RUNNER", "")] if r]
WINDOWS = LUMOX.lower().endswith(".exe")
# What stdout and stderr carry when they are pipes: UTF-8 on Linux; on Windows the console
# code page, which is 932 in the Japanese setting the Wine tests run in.
ENCODING = "cp932" if WINDOWS else "utf-8"
RUN_SECONDS = 120


def server_info():
    info = {}
    with open(os.environ["LUMOX_SERVER_INFO"], encoding="utf-8") as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            info[key] = value
    return info


INFO = server_info() if os.environ.get("LUMOX_SERVER_INFO") else {}
BASE = "http://127.0.0.1:%s" % INFO.get("http_port", "0")
PROXY = "127.0.0.1:%s" % INFO.get("proxy_port", "0")
RECORDS = INFO.get("records", "")
PROXY_AUTH = "Basic S2l2YTM6NzM5MQ=="  # Kiva3:7391

M404 = "lumox: error 404: 要求された URI は存在しない。\n"
M407 = "lumox: error 407: プロクシー認証リクエスト\n"


def pattern(n):
    """The body the server generates for body/N."""
    return bytes(i % 251 for i in range(n))


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def known_wine_difference(test, reason):
    """Where Wine's WinINet differs from Windows the Windows expectation is not checked;
    the difference is reported the way the other Windows test programs report it."""
    print("[ KNOWN    ] Wine differs from Windows in %s: %s" % (test.id(), reason))


WINE_NOISE = re.compile(rb"^wine client error:[0-9a-f]+: [^\n]*\n?", re.M)


class Result:
    def __init__(self, code, out, err):
        if WINDOWS:
            # Wine's own loader occasionally reports a hiccup of its server connection on
            # stderr; that line is not the program's output.
            for noise in WINE_NOISE.findall(err):
                print("[ WINE     ] %r" % noise)
            err = WINE_NOISE.sub(b"", err)
        self.code, self.out, self.err = code, out, err
        # Windows programs end their text lines with CR LF.
        self.text = out.decode(ENCODING, "replace").replace("\r\n", "\n")
        self.error = err.decode(ENCODING, "replace").replace("\r\n", "\n")


class CliTest(unittest.TestCase):
    """Runs lumox in a folder of its own; each test names its own record id."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="lumox-cli-")
        self.started = time.time()

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def run_lumox(self, *args, env=None, stdin=subprocess.DEVNULL):
        environ = dict(os.environ)
        environ.pop("LUMOX_PROXY_PASSWORD", None)
        environ.update(env or {})
        p = subprocess.run(RUNNER + [LUMOX] + list(args), cwd=self.work, env=environ, stdin=stdin,
                           capture_output=True, timeout=RUN_SECONDS)
        return Result(p.returncode, p.stdout, p.stderr)

    def records(self, rid):
        """The origin records of one id made since the test started, oldest first (the
        record folders outlive a test run)."""
        folder = os.path.join(RECORDS, rid)
        if not os.path.isdir(folder):
            return []
        out = []
        for name in sorted(os.listdir(folder)):
            if name.endswith(".json") and not name.startswith("proxy-"):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    rec = json.load(f)
                if rec["time"] >= self.started - 0.5:
                    out.append(rec)
        return out

    def request_bytes(self, rid, record):
        with open(os.path.join(RECORDS, rid, record["record"] + ".req"), "rb") as f:
            return f.read()

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assertOk(self, r):
        self.assertEqual((r.code, r.error), (0, ""), r.error)

    def assertFails(self, r, status, line):
        self.assertEqual(r.code, status, r.error)
        self.assertEqual(r.error, line)
        self.assertEqual(r.out, b"")


class GetTest(CliTest):
    def test_get_sends_pairs_as_query_and_writes_body(self):
        r = self.run_lumox("get", BASE + "/x/cg1/body/3000", "-o", "out.bin", "-d", "a=1",
                           "--data", "b=x y/z", "-db=")
        self.assertOk(r)
        self.assertEqual(r.out, b"")
        self.assertEqual(self.read("out.bin"), pattern(3000))
        (rec,) = self.records("cg1")
        self.assertEqual((rec["method"], rec["target"]), ("GET", "/x/cg1/body/3000?a=1&b=x%20y%2Fz&b="))

    def test_post_sends_pairs_as_form_fields(self):
        r = self.run_lumox("get", BASE + "/x/cg2/text/posted", "--post", "-o", "p.txt",
                           "-d", "Name1=Value1", "-d", "Name2=a=b")
        self.assertOk(r)
        self.assertEqual(self.read("p.txt"), b"posted")
        (rec,) = self.records("cg2")
        self.assertEqual((rec["method"], rec["target"]), ("POST", "/x/cg2/text/posted"))
        body = self.request_bytes("cg2", rec).split(b"\r\n\r\n", 1)[1]
        self.assertIn(b'name="Name1"\r\n\r\nValue1\r\n', body)
        self.assertIn(b'name="Name2"\r\n\r\na=b\r\n', body)

    def test_existing_output_is_replaced(self):
        with open(self.path("old.bin"), "wb") as f:
            f.write(b"old content that is longer than the new one" * 100)
        r = self.run_lumox("get", BASE + "/x/cg3/body/10", "-o", "old.bin")
        self.assertOk(r)
        self.assertEqual(self.read("old.bin"), pattern(10))
        self.assertEqual(sorted(os.listdir(self.work)), ["old.bin"])

    def test_default_name_is_last_path_segment_decoded(self):
        r = self.run_lumox("get", BASE + "/x/cg4/text/report%20one.txt?v=2#top")
        self.assertOk(r)
        self.assertEqual(os.listdir(self.work), ["report one.txt"])
        self.assertEqual(self.read("report one.txt"), b"report one.txt")
        (rec,) = self.records("cg4")
        self.assertEqual(rec["target"], "/x/cg4/text/report%20one.txt?v=2#top")

    def test_unsafe_or_empty_default_names_are_refused_before_sending(self):
        cases = ["/x/cg5a/", "/x/cg5b/text/..", "/x/cg5c/text/%2E%2E", "/x/cg5d/text/.",
                 "/x/cg5e/text/a%2Fb", "/x/cg5f/text/a%5Cb", "/x/cg5g/text/a%0Ab", "",
                 "/x/cg5h/text/c%3Aevil", "/x/cg5i/text/?q=1"]
        if not WINDOWS:
            cases.append("/x/cg5j/text/%FF%FE")  # not UTF-8: no Shift-JIS name for the library
        for case in cases:
            with self.subTest(url=case):
                r = self.run_lumox("get", BASE + case)
                self.assertEqual(r.code, 3, r.error)
                self.assertTrue(r.error.startswith("lumox: cannot name the output file: "), r.error)
                self.assertTrue(r.error.endswith("; give one with -o FILE\n"), r.error)
                self.assertEqual(os.listdir(self.work), [])
        for rid in "abcdefghij":
            self.assertEqual(self.records("cg5" + rid), [])

    def test_http_status_fails_with_status_4_and_leaves_no_file(self):
        r = self.run_lumox("get", BASE + "/x/cg6/status/404", "-o", "nf.bin")
        self.assertFails(r, 4, M404)
        self.assertEqual(os.listdir(self.work), [])

    def test_unreachable_server_is_a_network_failure(self):
        r = self.run_lumox("get", "http://127.0.0.1:%d/x/cg7/body/5" % closed_port(), "-o", "n.bin")
        self.assertFails(r, 5, "lumox: error 12029: サーバーへの接続に失敗しました。\n")
        self.assertEqual(os.listdir(self.work), [])

    def test_short_body_is_a_network_failure(self):
        r = self.run_lumox("get", BASE + "/x/cg8/body/6/hdr/LFile-Length/5", "-o", "s.bin")
        self.assertFails(r, 5, "lumox: error 10011: "
                         "ダウンロードしたファイルのサイズがサーバーと合いません。\n")
        self.assertEqual(os.listdir(self.work), [])

    def test_unwritable_output_fails_before_sending(self):
        r = self.run_lumox("get", BASE + "/x/cg9/body/5", "-o", os.path.join("missing", "x.bin"))
        self.assertEqual(r.code, 3, r.error)
        self.assertTrue(r.error.startswith("lumox: cannot write missing"), r.error)
        self.assertEqual(self.records("cg9"), [])

    def test_japanese_arguments_reach_the_library_in_shift_jis(self):
        r = self.run_lumox("get", BASE + "/x/cg11/body/5", "-o", "データ.bin", "-d", "名前=値 1")
        self.assertOk(r)
        self.assertEqual(os.listdir(self.work), ["データ.bin"])
        (rec,) = self.records("cg11")
        safe = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._"
        # Byte by byte: a trail byte that is an ASCII letter stays as it is.
        sjis = lambda text: "".join(chr(b) if b in safe else "%%%02X" % b for b in text.encode("cp932"))
        self.assertEqual(rec["target"], "/x/cg11/body/5?%s=%s%%201" % (sjis("名前"), sjis("値")))
        if not WINDOWS:  # Windows takes its arguments in the ANSI code page already
            r = self.run_lumox("get", BASE + "/x/cg12/body/5", "-o", "x.bin", "-d", "n=\u00e9\u20ac")
            self.assertFails(r, 2, "lumox: '\u00e9\u20ac' has characters without a Shift-JIS form; "
                             "see 'lumox get --help'\n")
            self.assertEqual(self.records("cg12"), [])

    def test_no_progress_when_stderr_is_not_a_terminal(self):
        # About a second: long enough for several progress lines on a terminal.
        r = self.run_lumox("get", BASE + "/x/cr5/body/40000/trickle/100/4000", "-o", "slow.bin")
        self.assertOk(r)
        self.assertEqual(r.out, b"")
        self.assertEqual(self.read("slow.bin"), pattern(40000))

    def test_too_many_pairs_is_refused_by_the_library(self):
        pairs = []
        for i in range(65):
            pairs += ["-d", "n%d=v" % i]
        r = self.run_lumox("get", BASE + "/x/cg10/body/5", "-o", "m.bin", *pairs)
        self.assertFails(r, 6, "lumox: error 10001: URL又はパラメータが長すぎます\n")
        self.assertEqual(self.records("cg10"), [])


class UploadTest(CliTest):
    def setUp(self):
        super().setUp()
        self.data = bytes(range(256)) * 40 + b"end"
        with open(self.path("up.bin"), "wb") as f:
            f.write(self.data)

    def test_multipart_upload_keeps_the_reply(self):
        r = self.run_lumox("upload", BASE + "/x/cu1/echo", "up.bin", "-d", "k=v", "--reply", "reply.txt")
        self.assertOk(r)
        (rec,) = self.records("cu1")
        body = self.request_bytes("cu1", rec).split(b"\r\n\r\n", 1)[1]
        self.assertEqual(self.read("reply.txt"), body)
        self.assertIn(b'name="k"\r\n\r\nv\r\n', body)
        self.assertIn(b'name="file"; filename="up.bin"\r\n', body)
        self.assertIn(self.data + b"\r\n--", body)
        self.assertIn(["LFile-Length", str(len(self.data))], rec["headers"])

    def test_field_name_and_no_reply_file(self):
        r = self.run_lumox("upload", BASE + "/x/cu2/echo", "up.bin", "--field", "attachment")
        self.assertOk(r)
        (rec,) = self.records("cu2")
        self.assertIn(b'name="attachment"; filename="up.bin"\r\n', self.request_bytes("cu2", rec))
        self.assertEqual(sorted(os.listdir(self.work)), ["up.bin"])

    def test_raw_upload_sends_bare_body_and_pairs_in_query(self):
        r = self.run_lumox("upload", BASE + "/x/cu3/text/thanks", "up.bin", "--raw", "-d", "n=v 1",
                           "--reply", "r.txt")
        self.assertOk(r)
        (rec,) = self.records("cu3")
        self.assertEqual(rec["target"], "/x/cu3/text/thanks?n=v%201")
        self.assertEqual(self.request_bytes("cu3", rec).split(b"\r\n\r\n", 1)[1], self.data)
        self.assertEqual(self.read("r.txt"), b"thanks")

    def test_unreadable_file_is_named_with_the_reason(self):
        os.mkdir(self.path("folder"))
        for name, why in [("absent.bin", "No such file or directory"), ("folder", "Is a directory")]:
            with self.subTest(name=name):
                r = self.run_lumox("upload", BASE + "/x/cu4/echo", name)
                self.assertFails(r, 3, "lumox: cannot read %s: %s\n" % (name, why))
        self.assertEqual(self.records("cu4"), [])

    def test_unwritable_reply_fails_before_sending(self):
        r = self.run_lumox("upload", BASE + "/x/cu5/echo", "up.bin", "--reply",
                           os.path.join("missing", "r.txt"))
        self.assertEqual(r.code, 3, r.error)
        self.assertTrue(r.error.startswith("lumox: cannot write missing"), r.error)
        self.assertEqual(self.records("cu5"), [])

    def test_server_error_status(self):
        r = self.run_lumox("upload", BASE + "/x/cu6/status/500", "up.bin", "--reply", "r.txt")
        self.assertFails(r, 4, "lumox: error 500: サーバ内部エラー\n")
        self.assertEqual(sorted(os.listdir(self.work)), ["up.bin"])

    def test_cut_reply_fails_and_keeps_the_reply_file(self):
        for plan, code in [("/body/100000/short/10000", 10011), ("/body/5000/chunked/short/1000", 12030)]:
            with self.subTest(plan=plan):
                with open(self.path("r.txt"), "wb") as f:
                    f.write(b"old")
                r = self.run_lumox("upload", BASE + "/x/cu7" + plan, "up.bin", "--reply", "r.txt")
                if RUNNER and "chunked" in plan and r.code == 0:
                    known_wine_difference(self, "Wine's InternetReadFile ends a cut chunked body "
                                          "like a complete one")
                    continue
                self.assertIn("lumox: error %d: " % code, r.error)
                self.assertNotEqual(r.code, 0)
                self.assertEqual(self.read("r.txt"), b"old")
                self.assertEqual(sorted(os.listdir(self.work)), ["r.txt", "up.bin"])


class ProxyTest(CliTest):
    def via_proxy(self, rid):
        (rec,) = self.records(rid)
        self.assertTrue(rec["via_proxy"])
        self.assertEqual(rec["proxy_authorization"], PROXY_AUTH)

    def test_password_option(self):
        r = self.run_lumox("get", BASE + "/x/cp1/body/5000", "-o", "p.bin", "--proxy", PROXY,
                           "--proxy-user", "Kiva3", "--proxy-password", "7391")
        self.assertOk(r)
        self.assertEqual(self.read("p.bin"), pattern(5000))
        self.via_proxy("cp1")

    def test_password_from_environment(self):
        r = self.run_lumox("get", BASE + "/x/cp2/body/50", "-o", "p.bin", "--proxy=" + PROXY,
                           "--proxy-user=Kiva3", env={"LUMOX_PROXY_PASSWORD": "7391"})
        self.assertOk(r)
        self.via_proxy("cp2")

    def test_option_wins_over_environment(self):
        r = self.run_lumox("get", BASE + "/x/cp3/body/50", "-o", "p.bin", "--proxy", PROXY,
                           "--proxy-user", "Kiva3", "--proxy-password", "7391",
                           env={"LUMOX_PROXY_PASSWORD": "wrong"})
        self.assertOk(r)

    def test_no_password_without_terminal_gets_407(self):
        r = self.run_lumox("get", BASE + "/x/cp4/body/50", "-o", "p.bin", "--proxy", PROXY,
                           "--proxy-user", "Kiva3")
        self.assertFails(r, 4, M407)
        r = self.run_lumox("get", BASE + "/x/cp4/body/50", "-o", "p.bin", "--proxy", PROXY,
                           "--proxy-user", "Kiva3", env={"LUMOX_PROXY_PASSWORD": "wrong"})
        self.assertFails(r, 4, M407)
        self.assertEqual(self.records("cp4"), [])

    def posted_past_wine_proxy(self, r):
        """True when a POST through the proxy met Wine's known difference (then the Windows
        expectation is not checked)."""
        if WINDOWS and r.code == 4 and r.error == M407:
            known_wine_difference(self, "Wine keeps no proxy credentials between requests and "
                                  "its HttpEndRequestA does not answer the proxy's 407")
            return True
        return False

    def test_upload_through_proxy(self):
        with open(self.path("up.txt"), "wb") as f:
            f.write(b"proxied upload")
        r = self.run_lumox("upload", BASE + "/x/cp5/text/thanks", "up.txt", "--reply", "r.txt",
                           "--proxy", PROXY, "--proxy-user", "Kiva3",
                           env={"LUMOX_PROXY_PASSWORD": "7391"})
        if self.posted_past_wine_proxy(r):
            return
        self.assertOk(r)
        self.assertEqual(self.read("r.txt"), b"thanks")
        recs = self.records("cp5")
        self.assertTrue(recs and all(rec["via_proxy"] for rec in recs))
        self.assertIn(b"proxied upload", self.request_bytes("cp5", recs[-1]))

    def test_post_download_through_proxy(self):
        r = self.run_lumox("get", BASE + "/x/cp6/text/posted", "--post", "-d", "a=b", "-o", "p.txt",
                           "--proxy", PROXY, "--proxy-user", "Kiva3", "--proxy-password", "7391")
        if self.posted_past_wine_proxy(r):
            return
        self.assertOk(r)
        self.assertEqual(self.read("p.txt"), b"posted")

    @unittest.skipIf(WINDOWS, "needs a Unix pseudo-terminal")
    def test_password_prompt_on_terminal_without_echo(self):
        # A signal ignored from the start stays ignored while echo is off.
        for rid, ignored in [("cp7", None), ("cp8", signal.SIGINT), ("cp9", signal.SIGHUP)]:
            with self.subTest(ignored=ignored):
                r = run_on_pty(self.work, ["get", BASE + "/x/%s/body/50" % rid, "-o", "p.bin",
                                           "--proxy", PROXY, "--proxy-user", "Kiva3", "-s"],
                               stdin_text=b"7391\n", ignored=ignored)
                self.assertEqual(r.code, 0, r.terminal)
                self.assertIn(b"Proxy password for Kiva3: ", r.terminal)
                self.assertNotIn(b"7391", r.terminal)
                self.via_proxy(rid)


class UsageTest(CliTest):
    def test_bad_arguments_exit_2_and_send_nothing(self):
        url = BASE + "/x/cz1/body/5"
        cases = [
            ([], "no command given"),
            (["fetch", url], "unknown command 'fetch'"),
            (["get"], "missing operand"),
            (["get", url, "extra"], "too many operands"),
            (["get", "ftp://127.0.0.1/x"], "the URL must start with http:// or https://"),
            (["get", url, "-d", "novalue"], "-d takes NAME=VALUE, not 'novalue'"),
            (["get", url, "-o"], "option '-o' needs a value"),
            (["get", url, "-o", ""], "-o needs a file name"),
            (["get", url, "--raw"], "option '--raw' does not apply to get"),
            (["get", url, "--bogus"], "unknown option '--bogus'"),
            (["get", url, "--post=1"], "option --post takes no value"),
            (["get", url, "--proxy", "127.0.0.1"], "--proxy takes HOST:PORT with a port from 1 to 65535, not '127.0.0.1'"),
            (["get", url, "--proxy", "127.0.0.1:0"], "--proxy takes HOST:PORT with a port from 1 to 65535, not '127.0.0.1:0'"),
            (["get", url, "--proxy", "127.0.0.1:65536"], "--proxy takes HOST:PORT with a port from 1 to 65535, not '127.0.0.1:65536'"),
            (["get", url, "--proxy-user", "Kiva3"], "--proxy-user and --proxy-password need --proxy"),
            (["get", url, "--proxy", PROXY, "--proxy-password", "7391"], "--proxy-password needs --proxy-user"),
            (["get", url, "--max-time", "1.2345"], "--max-time takes SECONDS (0 for no limit, up to three decimals), not '1.2345'"),
            (["get", url, "--max-time=-1"], "--max-time takes SECONDS (0 for no limit, up to three decimals), not '-1'"),
            (["upload", url, "f", "--connect-timeout", "0"], "--connect-timeout takes SECONDS above 0 (up to three decimals), not '0'"),
            (["get", url, "-k1"], "unknown option '-k1'"),
            (["upload", url], "missing operand"),
            (["upload", url, "f", "--raw", "--field", "x"], "--field and --raw exclude each other"),
            (["upload", url, "f", "--field", ""], "--field needs a name (use --raw to send the bare file)"),
            (["upload", url, "f", "-o", "x"], "option '-o' does not apply to upload"),
            (["message", "12x"], "CODE must be a whole number, not '12x'"),
            (["message", "99999999999"], "CODE must be a whole number, not '99999999999'"),
            (["canon", url, "-s"], "option '-s' does not apply to canon"),
        ]
        for args, why in cases:
            with self.subTest(args=args):
                r = self.run_lumox(*args)
                command = args[0] if args and args[0] in ("get", "upload", "canon", "message") else ""
                hint = "lumox %s --help" % command if command else "lumox --help"
                self.assertFails(r, 2, "lumox: %s; see '%s'\n" % (why, hint))
        self.assertEqual(self.records("cz1"), [])
        self.assertEqual(os.listdir(self.work), [])

    def test_help_for_tool_and_each_command(self):
        for args, head in [(["--help"], "Usage: lumox COMMAND"), (["get", "--help"], "Usage: lumox get URL"),
                           (["upload", "-h"], "Usage: lumox upload URL FILE"),
                           (["canon", "--help"], "Usage: lumox canon URL"),
                           (["message", "--help", "bad"], "Usage: lumox message CODE")]:
            with self.subTest(args=args):
                r = self.run_lumox(*args)
                self.assertOk(r)
                self.assertTrue(r.text.startswith(head), r.text)
        r = self.run_lumox("--help")
        self.assertIn("Exit status: 0 success, 2 usage, 3 local file, 4 HTTP status, 5 network, 6 other.",
                      r.text)
        # the proxy password is steered away from the command line
        self.assertIn("best given by\nLUMOX_PROXY_PASSWORD or at the prompt", r.text)
        self.assertIn("give the password by LUMOX_PROXY_PASSWORD\n", self.run_lumox("get", "--help").text)
        self.assertIn("process list", self.run_lumox("get", "--help").text)

    def test_version(self):
        r = self.run_lumox("--version")
        self.assertOk(r)
        self.assertEqual(r.text, "lumox %s\n" % os.environ["LUMOX_CLI_VERSION"])


class CanonAndMessageTest(CliTest):
    def test_canon(self):
        r = self.run_lumox("canon", "http://127.0.0.1:8080/a/./b/../c%7e d")
        self.assertOk(r)
        self.assertEqual(r.text, "http://127.0.0.1:8080/a/c%7e%20d\n")

    def test_canon_failure_is_other(self):
        r = self.run_lumox("canon", "http://127.0.0.1/" + "a" * 1100)
        self.assertFails(r, 6, "lumox: error 10001: URL又はパラメータが長すぎます\n")

    def test_messages_in_terminal_encoding(self):
        for code, text in [("404", "要求された URI は存在しない。"),
                           ("12002", "要求がタイムアウトになりました。"),
                           ("0", "不明なエラーが発生しました。"),
                           ("-1", "不明なエラーが発生しました。"),
                           ("10000", "APIに不正パラメータを渡られた")]:
            with self.subTest(code=code):
                r = self.run_lumox("message", code)
                self.assertOk(r)
                self.assertEqual(r.out, (text + "\r\n").encode("cp932") if WINDOWS
                                 else (text + "\n").encode("utf-8"))


    @unittest.skipUnless(os.path.exists("/dev/full"), "needs /dev/full")
    def test_output_that_cannot_be_written_fails(self):
        # A result that does not reach standard output (here a full disk) is no success.
        for args in (["canon", "http://127.0.0.1/a"], ["message", "404"], ["--version"]):
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                p = subprocess.run(RUNNER + [LUMOX] + args, cwd=self.work, stdout=full,
                                   stderr=subprocess.PIPE, timeout=RUN_SECONDS)
                self.assertEqual(p.returncode, 3, p.stderr)
                self.assertIn(b"lumox: cannot write the output: ", p.stderr)


UNTRUSTED = " (the server's certificate is not signed by a trusted authority; -k skips the check)"
WRONG_NAME = " (the server's certificate does not name the URL's host; -k skips the name check)"
EXPIRED = " (the server's certificate has expired or is not yet valid; -k skips the date check)"
UNKNOWN = "不明なエラーが発生しました。"


def https(port_key, rid, directives):
    # The good certificate names localhost as a DNS name, which every platform's check matches.
    return "https://localhost:%s/x/%s/%s" % (INFO.get(port_key, "0"), rid, directives)


class CertificateTest(CliTest):
    CERTIFICATES = [("https_port", "self-signed authority"), ("https_wrongname_port", "wrong name"),
                    ("https_expired_port", "expired")]

    def test_checked_by_default_relaxed_by_k(self):
        with open(self.path("c.bin"), "wb") as f:
            f.write(b"old")
        for port_key, what in self.CERTIFICATES:
            with self.subTest(certificate=what):
                rid = "ck1" + port_key[6:10]
                r = self.run_lumox("get", https(port_key, rid, "body/100"), "-o", "c.bin")
                self.assertEqual(r.code, 5, r.error)
                self.assertRegex(r.error, r"^lumox: error (12045|12037|12038): %s \(.*; -k skips the "
                                 r"(date |name )?check\)\n$" % UNKNOWN)
                self.assertEqual((sorted(os.listdir(self.work)), self.read("c.bin")), (["c.bin"], b"old"))
                self.assertEqual(self.records(rid), [])
                r = self.run_lumox("get", https(port_key, rid, "body/100"), "-o", "c.bin", "--insecure")
                self.assertOk(r)
                self.assertEqual(self.read("c.bin"), pattern(100))
                with open(self.path("c.bin"), "wb") as f:
                    f.write(b"old")

    @unittest.skipIf(WINDOWS, "the test CA is trusted through SSL_CERT_FILE on Linux only")
    def test_trusted_authority_leaves_name_and_date_checks(self):
        env = {"SSL_CERT_FILE": INFO.get("ca_cert", "")}
        for port_key, status, line in [("https_port", 0, ""),
                                       ("https_wrongname_port", 5, "error 12038: " + UNKNOWN + WRONG_NAME),
                                       ("https_expired_port", 5, "error 12037: " + UNKNOWN + EXPIRED)]:
            with self.subTest(port=port_key):
                r = self.run_lumox("get", https(port_key, "ck2", "body/10"), "-o", "t.bin", env=env)
                self.assertEqual((r.code, r.error), (status, "lumox: %s\n" % line if line else ""))
                self.assertEqual(os.listdir(self.work), ["t.bin"] if status == 0 else [])
                shutil.rmtree(self.work)
                os.mkdir(self.work)


class TimeLimitTest(CliTest):
    @unittest.skipIf(WINDOWS, "relies on how the Linux kernel treats a full listen backlog")
    def test_connect_timeout_ends_a_connection_never_accepted(self):
        # A listener with a full backlog drops further connection attempts unanswered. The
        # library tries four sends, each bounded by the connect time-out (60 s by default).
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(0)
            port = listener.getsockname()[1]
            waiting = [socket.socket() for _ in range(3)]
            for s in waiting:
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", port))
            try:
                started = time.monotonic()
                r = self.run_lumox("get", "http://127.0.0.1:%d/x/ct1/body/5" % port, "-o", "ct.bin",
                                   "--connect-timeout", "0.5")
                elapsed = time.monotonic() - started
            finally:
                for s in waiting:
                    s.close()
        self.assertFails(r, 5, "lumox: error 12002: 要求がタイムアウトになりました。\n")
        self.assertLess(elapsed, 15)
        self.assertEqual(os.listdir(self.work), [])


class NoHalfFileTest(CliTest):
    # 2,000,000 bytes in parts of 20,000 every 50 ms: about five seconds.
    SLOW = "/body/2000000/trickle/50/20000"

    def listing(self):
        return sorted(os.listdir(self.work))

    def bytes_written(self, old):
        """Bytes in the work folder beyond the old target's. lumox's own write check creates
        and removes a file while it starts, so a file may go between listing and sizing."""
        total = 0
        for base, _, files in os.walk(self.work):
            for f in files:
                try:
                    total += os.path.getsize(os.path.join(base, f))
                except FileNotFoundError:
                    pass
        return total - len(old or b"")

    def start_get(self, url, target, ignored=None):
        """lumox get in the background, with signal `ignored` set to be ignored (as nohup
        and a shell's background jobs do), once its download has started."""
        ignore = (lambda: signal.signal(ignored, signal.SIG_IGN)) if ignored else None
        before = set(self.listing())
        proc = subprocess.Popen(RUNNER + [LUMOX, "get", url, "-o", target], cwd=self.work,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, preexec_fn=ignore)
        self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not any(
                os.path.getsize(self.path(n + "/part")) > 0
                for n in set(self.listing()) - before if os.path.exists(self.path(n + "/part"))):
            time.sleep(0.05)
        self.assertLess(time.monotonic(), deadline, self.listing())
        return proc

    @unittest.skipIf(WINDOWS, "POSIX signals")
    def test_signal_in_the_middle_leaves_the_target_as_it_was(self):
        for sig, old in [(signal.SIGINT, None), (signal.SIGTERM, b"old"), (signal.SIGHUP, b"old"),
                         (signal.SIGQUIT, b"old"), (signal.SIGPIPE, None), (signal.SIGUSR1, b"old"),
                         (signal.SIGXFSZ, None), (signal.SIGALRM, b"old")]:
            with self.subTest(signal=sig.name):
                if old is not None:
                    with open(self.path("t.bin"), "wb") as f:
                        f.write(old)
                proc = subprocess.Popen([LUMOX, "get", BASE + "/x/ch1" + self.SLOW, "-o", "t.bin"],
                                        cwd=self.work, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    deadline = time.monotonic() + 20
                    while self.bytes_written(old) <= 0 and time.monotonic() < deadline:
                        time.sleep(0.05)
                    self.assertGreater(self.bytes_written(old), 0)
                    proc.send_signal(sig)
                    self.assertEqual(proc.wait(timeout=20), -sig)
                finally:
                    if proc.poll() is None:
                        # Killed after a failed check: its staging cannot be cleaned by
                        # lumox, so the next case starts from an empty folder all the same.
                        proc.kill()
                        proc.wait()
                        for name in self.listing():
                            shutil.rmtree(self.path(name), ignore_errors=True)
                            if os.path.exists(self.path(name)):
                                os.remove(self.path(name))
                self.assertEqual(self.listing(), [] if old is None else ["t.bin"])
                if old is not None:
                    self.assertEqual(self.read("t.bin"), old)
                    os.remove(self.path("t.bin"))

    @unittest.skipIf(WINDOWS, "POSIX signals")
    def test_ignored_signal_stays_ignored_and_the_download_completes(self):
        # 400,000 bytes in parts of 20,000 every 50 ms: about one second.
        for sig in [signal.SIGHUP, signal.SIGINT]:
            with self.subTest(signal=sig.name):
                proc = self.start_get(BASE + "/x/ch3/body/400000/trickle/50/20000", "t.bin", sig)
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=30), 0)
                self.assertEqual(self.listing(), ["t.bin"])
                self.assertEqual(self.read("t.bin"), pattern(400000))
                os.remove(self.path("t.bin"))

    def test_stale_staging_is_removed_and_live_staging_kept(self):
        # Under Wine the Windows process id is not the Unix one that Popen knows.
        def name_of(proc):
            return r"^\.lumox-%s-\d+-\w{6}$" % (r"\d+" if WINDOWS else proc.pid)
        killed = self.start_get(BASE + "/x/ch4" + self.SLOW, "a.bin")
        killed.kill()
        killed.wait()
        (stale,) = self.listing()
        self.assertRegex(stale, name_of(killed))
        # Same shape but not only lumox's file inside, or not lumox's shape: not ours to remove.
        kept = {".lumox-4194304-1-abcdef": "notes", ".lumox-AbCd12": "part"}
        for name, inside in kept.items():
            os.mkdir(self.path(name))
            with open(os.path.join(self.path(name), inside), "wb"):
                pass
        live = self.start_get(BASE + "/x/ch4" + self.SLOW, "b.bin")
        (running,) = set(self.listing()) - set(kept)
        self.assertRegex(running, name_of(live))
        r = self.run_lumox("get", BASE + "/x/ch4/body/10", "-o", "c.bin")
        self.assertOk(r)
        self.assertEqual(self.listing(), sorted(list(kept) + [running, "c.bin"]))
        live.send_signal(signal.SIGINT)  # under Wine, the console's Ctrl-C
        self.assertEqual(live.wait(timeout=20), 130 if WINDOWS else -signal.SIGINT)
        self.assertEqual(self.listing(), sorted(list(kept) + ["c.bin"]))

    @unittest.skipIf(WINDOWS, "POSIX permission bits")
    def test_replaced_file_keeps_its_mode(self):
        with open(self.path("up.bin"), "wb") as f:
            f.write(b"up")
        for args in [["get", BASE + "/x/ch3/body/700", "-o", "t.bin"],
                     ["upload", BASE + "/x/ch3/body/700", "up.bin", "--reply", "t.bin"]]:
            with self.subTest(command=args[0]):
                with open(self.path("t.bin"), "wb") as f:
                    f.write(b"old")
                os.chmod(self.path("t.bin"), 0o600)
                self.assertOk(self.run_lumox(*args))
                self.assertEqual(len(self.read("t.bin")), 700)
                self.assertEqual(os.stat(self.path("t.bin")).st_mode & 0o7777, 0o600)

    def test_time_limit_leaves_the_target_as_it_was(self):
        for old in [None, b"old"]:
            with self.subTest(old=old):
                if old is not None:
                    with open(self.path("t.bin"), "wb") as f:
                        f.write(old)
                r = self.run_lumox("get", BASE + "/x/ch2" + self.SLOW, "-o", "t.bin", "--max-time", "0.5")
                self.assertFails(r, 5, "lumox: error 12002: 要求がタイムアウトになりました。\n")
                self.assertEqual(self.listing(), [] if old is None else ["t.bin"])
                if old is not None:
                    self.assertEqual(self.read("t.bin"), old)


@unittest.skipUnless(WINDOWS, "a console Ctrl-C, as Wine delivers it")
class ConsoleInterruptTest(CliTest):
    def test_ctrl_c_during_a_slow_connect_ends_with_130_and_no_staging(self):
        # Wine turns SIGINT into the console's Ctrl-C event for the program. A listener with a
        # full backlog leaves the connection unanswered for the whole 60 s connect time-out.
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(0)
            port = listener.getsockname()[1]
            waiting = [socket.socket() for _ in range(3)]
            for s in waiting:
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", port))
                self.addCleanup(s.close)
            proc = subprocess.Popen(RUNNER + [LUMOX, "get", "http://127.0.0.1:%d/x/ci1/body/5" % port,
                                              "-o", "ci.bin"], cwd=self.work, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
            deadline = time.monotonic() + RUN_SECONDS
            while not os.listdir(self.work) and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertTrue("".join(os.listdir(self.work)).startswith(".lumox-"), os.listdir(self.work))
            time.sleep(1)  # into the connect
            self.assertIsNone(proc.poll())
            started = time.monotonic()
            proc.send_signal(signal.SIGINT)
            self.assertEqual(proc.wait(timeout=30), 130)
            elapsed = time.monotonic() - started
        self.assertLess(elapsed, 5)
        self.assertEqual(os.listdir(self.work), [])
        # On Windows closing the request ends the connect at once; Wine's InternetCloseHandle
        # leaves a connect that another thread waits in running, and lumox's console handler
        # ends the process itself after three seconds.
        if RUNNER and elapsed >= 2:
            known_wine_difference(self, "InternetCloseHandle does not end a connect another "
                                  "thread waits in (ended after %.1f s by the handler)" % elapsed)
        else:
            self.assertLess(elapsed, 2)


class StreamTest(CliTest):
    """-o - and --reply -: the body on standard output, nothing on disk, and an exit status
    that tells whether it is whole."""

    def test_body_to_standard_output(self):
        with open(self.path("up.bin"), "wb") as f:
            f.write(b"sent")
        cases = [
            (["get", BASE + "/x/cs1/body/300000", "-o", "-"], 0, pattern(300000), ""),
            (["get", BASE + "/x/cs2/body/70000/chunked", "-o-"], 0, pattern(70000), ""),
            (["get", BASE + "/x/cs3/text/posted", "--post", "-d", "a=1", "-o", "-"], 0, b"posted", ""),
            (["upload", BASE + "/x/cs4/sink/text/stored", "up.bin", "--reply", "-"], 0, b"stored", ""),
            # Cut short of the announced length, or of the length header: a network failure.
            (["get", BASE + "/x/cs5/body/600/short/300", "-o", "-"], 5, pattern(300),
             "lumox: error 10011: ダウンロードしたファイルのサイズがサーバーと合いません。\n"),
            (["get", BASE + "/x/cs6/body/6/hdr/LFile-Length/5", "-o", "-"], 5, pattern(6),
             "lumox: error 10011: ダウンロードしたファイルのサイズがサーバーと合いません。\n"),
            (["get", BASE + "/x/cs7/status/404", "-o", "-"], 4, b"", M404),
        ]
        for args, code, out, error in cases:
            with self.subTest(url=args[1]):
                r = self.run_lumox(*args)
                self.assertEqual((r.code, r.error), (code, error))
                self.assertEqual(hashlib.sha256(r.out).hexdigest(), hashlib.sha256(out).hexdigest())
                self.assertEqual(self.listing(), ["up.bin"])

    @unittest.skipIf(WINDOWS, "POSIX signals")
    def test_closed_pipe_ends_the_stream(self):
        # As for other programs in a pipeline: SIGPIPE by default, a write failure (3) when
        # SIGPIPE is ignored.
        for ignored, code in [(False, -signal.SIGPIPE), (True, 3)]:
            with self.subTest(ignored=ignored):
                ignore = (lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN)) if ignored else None
                proc = subprocess.Popen([LUMOX, "get", BASE + "/x/cs8/body/3000000", "-o", "-"],
                                        cwd=self.work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, preexec_fn=ignore)
                self.assertEqual(len(proc.stdout.read(10)), 10)
                proc.stdout.close()
                error = proc.stderr.read()
                self.assertEqual((proc.wait(timeout=RUN_SECONDS), error),
                                 (code, b"lumox: cannot write the body to standard output\n" if ignored else b""))
                proc.stderr.close()
        self.assertEqual(self.listing(), [])

    def listing(self):
        return sorted(os.listdir(self.work))


@unittest.skipIf(WINDOWS, "inotify")
class WritableCheckTest(CliTest):
    """The check before a download touches no name but its own unique one."""

    def watch(self):
        """What lumox created, removed or moved in the work folder, by name."""
        libc = ctypes.CDLL(None, use_errno=True)
        fd = libc.inotify_init1(os.O_NONBLOCK)
        self.assertGreaterEqual(fd, 0)
        self.addCleanup(os.close, fd)
        # IN_CREATE, IN_DELETE, IN_MOVED_FROM, IN_MOVED_TO
        self.assertGreaterEqual(libc.inotify_add_watch(fd, self.work.encode(), 0x100 | 0x200 | 0x40 | 0x80), 0)

        def names():
            data = b""
            while True:
                try:
                    data += os.read(fd, 65536)
                except BlockingIOError:
                    break
            out, at = [], 0
            while at < len(data):
                _, _, _, length = struct.unpack_from("iIII", data, at)
                out.append(data[at + 16:at + 16 + length].rstrip(b"\0").decode())
                at += 16 + length
            return out
        return names

    def test_target_name_is_never_touched_and_a_dangling_link_never_followed(self):
        os.symlink("elsewhere.bin", self.path("link.bin"))
        names = self.watch()
        for target in ["t.bin", "link.bin"]:
            with self.subTest(target=target):
                # 404: the transfer writes nothing, so every name seen is the check's or the
                # staging's.
                r = self.run_lumox("get", BASE + "/x/cw1/status/404", "-o", target)
                self.assertFails(r, 4, M404)
                seen = names()
                self.assertEqual([n for n in seen if not n.startswith(".lumox-")], [])
                self.assertTrue(any(n.startswith(".lumox-check-") for n in seen), seen)
        self.assertEqual(sorted(os.listdir(self.work)), ["link.bin"])
        self.assertEqual(os.readlink(self.path("link.bin")), "elsewhere.bin")


MANUAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "lumox.1.md")


def manual_descriptions():
    """The ERRORS table of lumox(1): {code: description}."""
    text = open(MANUAL, encoding="utf-8").read().split("## ERRORS", 1)[1].split("\n## ", 1)[0]
    table = {}
    for codes, description in re.findall(r"^\| ([0-9, ]+) \| (.+) \|$", text, re.M):
        for code in codes.split(","):
            table[int(code)] = description
    return table


class DescriptionTest(CliTest):
    def test_codes_without_a_message_are_described_as_the_manual_says(self):
        table = manual_descriptions()
        self.assertLessEqual({5, 112, 12007, 12037, 12038, 12045, 12152, 12175}, set(table))
        table[429] = "the server answered with HTTP status 429 instead of 200"
        for code, text in sorted(table.items()):
            with self.subTest(code=code):
                r = self.run_lumox("message", str(code))
                self.assertOk(r)
                self.assertEqual(r.text, "%s (%s)\n" % (UNKNOWN, text))

    def test_failed_status_without_message_is_described(self):
        r = self.run_lumox("get", BASE + "/x/cd1/status/429", "-o", "d.bin")
        self.assertFails(r, 4, "lumox: error 429: %s (the server answered with HTTP status 429 "
                         "instead of 200)\n" % UNKNOWN)


class PtyResult:
    def __init__(self, code, terminal):
        self.code, self.terminal = code, terminal


def run_on_pty(cwd, args, stdin_text=None, env=None, ignored=None):
    """Runs lumox with stderr (and stdin when text is given) on a pseudo-terminal. With
    `ignored`, that signal is ignored in lumox from its start and sent to it at the prompt."""
    master, slave = pty.openpty()
    environ = dict(os.environ)
    environ.pop("LUMOX_PROXY_PASSWORD", None)
    environ.update(env or {})
    ignore = (lambda: signal.signal(ignored, signal.SIG_IGN)) if ignored else None
    proc = subprocess.Popen(RUNNER + [LUMOX] + args, cwd=cwd, env=environ, stdout=subprocess.DEVNULL,
                            stderr=slave, stdin=slave if stdin_text is not None else subprocess.DEVNULL,
                            preexec_fn=ignore)
    os.close(slave)
    seen = b""
    deadline = time.monotonic() + RUN_SECONDS
    sent = False
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        if stdin_text is not None and not sent and b": " in seen:
            if ignored:
                proc.send_signal(ignored)
                time.sleep(0.2)
            os.write(master, stdin_text)
            sent = True
        if proc.poll() is not None and not ready:
            break
    try:
        code = proc.wait(timeout=max(1, deadline - time.monotonic()))
    finally:
        if proc.poll() is None:
            proc.kill()
        os.close(master)
    return PtyResult(code, seen)


@unittest.skipIf(WINDOWS, "needs a Unix pseudo-terminal")
class ProgressTest(CliTest):
    # 40,000 bytes in parts of 2,000 every 100 ms: about two seconds, so that a loaded machine
    # still shows several updates at five a second.
    SLOW = "/body/40000/trickle/100/2000"

    RATE = rb"  \d+(\.\d)? (B|KiB|MiB|GiB)/s"

    def updates(self, r, label, total, count):
        """The lines before the last, each checked against the layout; their amounts."""
        self.assertEqual(r.code, 0, r.terminal)
        lines = [u for u in r.terminal.split(b"\r")[1:] if u.strip()][:-1]
        self.assertGreaterEqual(len(lines), count, r.terminal)
        shown = rb"^%s  (\d+(?:\.\d)? (?:B|KiB|MiB))" % re.escape(label)
        if total:
            shown += rb" of %s  +(\d+)%%%s  (\d+:\d\d|-:--) left *$" % (re.escape(total), self.RATE)
        else:
            shown += rb"%s *$" % self.RATE
        return [re.match(shown, line) or self.fail(line) for line in lines]

    def test_download_progress_with_and_without_announced_length(self):
        # The length comes from Content-Length; the percentage only grows, and the last
        # line has the whole file and the time taken.
        r = run_on_pty(self.work, ["get", BASE + "/x/cr1" + self.SLOW, "-o", "slow.bin"])
        percents = [int(m.group(2)) for m in self.updates(r, b"slow.bin", b"39.1 KiB", 4)]
        self.assertEqual(percents, sorted(percents))
        self.assertRegex(r.terminal, rb"\rslow\.bin  39\.1 KiB of 39\.1 KiB  100%%%s  in 0:0[0-9] *\r\n$"
                         % self.RATE)
        self.assertEqual(self.read("slow.bin"), pattern(40000))
        r = run_on_pty(self.work, ["get", BASE + "/x/cr5" + self.SLOW + "/nolength", "-o", "n.bin"])
        self.updates(r, b"n.bin", None, 4)
        self.assertRegex(r.terminal, rb"\rn\.bin  39\.1 KiB%s  in 0:0[0-9] *\r\n$" % self.RATE)

    def test_upload_progress_counts_the_whole_body(self):
        with open(self.path("big.bin"), "wb") as f:
            f.write(b"\0" * (1 << 20))
        # The reply comes 700 ms after the body: the line stays at 100 % meanwhile.
        r = run_on_pty(self.work, ["upload", BASE + "/x/cr2/delay/700/sink/text/OK", "big.bin",
                                   "--raw"])
        self.assertIn(b"100%", [m.group(2) + b"%" for m in self.updates(r, b"big.bin", b"1.0 MiB", 2)])
        self.assertRegex(r.terminal, rb"\rbig\.bin  1\.0 MiB of 1\.0 MiB  100%%%s  in 0:0[0-9] *\r\n$"
                         % self.RATE)
        # A form upload's total is the file and the form around it: 97.7 KiB of file, 97.9 KiB
        # of body.
        with open(self.path("form.bin"), "wb") as f:
            f.write(b"\0" * 100000)
        r = run_on_pty(self.work, ["upload", BASE + "/x/cr6/delay/500/sink/text/OK", "form.bin",
                                   "-d", "a=1"])
        self.assertEqual(r.code, 0, r.terminal)
        (rec,) = self.records("cr6")
        body = int(dict(rec["headers"])["Content-Length"])
        self.assertEqual("%.1f" % (body / 1024), "97.9")
        self.assertRegex(r.terminal, rb"\rform\.bin  97\.9 KiB of 97\.9 KiB  100%")

    def test_silent_and_failures_on_terminal(self):
        r = run_on_pty(self.work, ["get", BASE + "/x/cr3" + self.SLOW, "-o", "s.bin", "-s"])
        self.assertEqual((r.code, r.terminal), (0, b""))
        r = run_on_pty(self.work, ["get", BASE + "/x/cr4/status/404", "-o", "n.bin"])
        self.assertEqual(r.code, 4)
        self.assertEqual(r.terminal, M404.encode("utf-8").replace(b"\n", b"\r\n"))


class GTestStyleResult(unittest.TextTestResult):
    """Keeps every test's outcome for a GoogleTest-style XML report."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.cases = []
        self.started = 0.0

    def startTest(self, test):
        self.started = time.monotonic()
        super().startTest(test)

    def _record(self, test, outcome, text=""):
        self.cases.append((test, outcome, text, time.monotonic() - self.started))

    def addSuccess(self, test):
        super().addSuccess(test)
        self._record(test, "ok")

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self._record(test, "failure", self._exc_info_to_string(err, test))

    def addError(self, test, err):
        super().addError(test, err)
        self._record(test, "failure", self._exc_info_to_string(err, test))

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        self._record(test, "skipped", reason)

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        if err is not None:
            self._record(test, "failure", "%s: %s" % (subtest, self._exc_info_to_string(err, test)))


def write_report(path, result):
    root = ET.Element("testsuites", name="cli_tests")
    suites = {}
    outcome = {}
    for test, kind, text, seconds in result.cases:
        key = test.id()
        if key in outcome and outcome[key][0] == "failure":
            continue  # a failed subtest keeps the case failed
        outcome[key] = (kind, text, seconds, test)
    for key, (kind, text, seconds, test) in outcome.items():
        suite_name = type(test).__name__
        if suite_name not in suites:
            suites[suite_name] = ET.SubElement(root, "testsuite", name=suite_name)
        case = ET.SubElement(suites[suite_name], "testcase", name=test._testMethodName,
                             classname=suite_name, time="%.3f" % seconds,
                             status="run" if kind != "skipped" else "notrun")
        if kind == "failure":
            ET.SubElement(case, "failure", message=text.splitlines()[-1] if text else "").text = text
        elif kind == "skipped":
            ET.SubElement(case, "skipped", message=text)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)


def main():
    if not LUMOX or not INFO:
        print("LUMOX_CLI and LUMOX_SERVER_INFO must be set", file=sys.stderr)
        return 2
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
    runner = unittest.TextTestRunner(verbosity=2, resultclass=GTestStyleResult)
    result = runner.run(suite)
    report = os.environ.get("LUMOX_CLI_REPORT")
    if report:
        write_report(report, result)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
