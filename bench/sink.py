#!/usr/bin/env python3
"""Loopback HTTP sink for upload benchmarks: reads every request body whole, then answers.

  sink.py PORTFILE LOGFILE

Listens on 127.0.0.1 (an ephemeral port, written to PORTFILE), one thread per connection.
Each request must carry Content-Length; the sink answers "100 Continue" when asked, reads
exactly that many bytes, appends "<content-length> <bytes-read>" to LOGFILE and only then
answers 200 with the body "OK". It stops on SIGTERM or after an hour.
"""
import os
import signal
import socket
import sys
import threading

CHUNK = 1 << 20


def read_head(conn, pending):
    while b"\r\n\r\n" not in pending:
        data = conn.recv(65536)
        if not data:
            return None, b""
        pending += data
        if len(pending) > 65536:
            return None, b""
    head, rest = pending.split(b"\r\n\r\n", 1)
    return head.decode("latin-1"), rest


def serve(conn, log, lock):
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    pending = b""
    with conn:
        while True:
            head, pending = read_head(conn, pending)
            if head is None:
                return
            headers = {}
            for line in head.split("\r\n")[1:]:
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
            if "content-length" not in headers:
                conn.sendall(b"HTTP/1.1 411 Length Required\r\nContent-Length: 0\r\n"
                             b"Connection: close\r\n\r\n")
                return
            length = int(headers["content-length"])
            if headers.get("expect", "").lower() == "100-continue":
                conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
            got = min(len(pending), length)
            pending = pending[got:]
            while got < length:
                n = conn.recv_into(view, min(CHUNK, length - got))
                if n == 0:
                    break
                got += n
            with lock:
                with open(log, "a") as f:
                    f.write("%d %d\n" % (length, got))
            if got < length:
                return
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                         b"Content-Length: 2\r\n\r\nOK")


def main():
    port_file, log = sys.argv[1], sys.argv[2]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    signal.alarm(3600)
    lock = threading.Lock()
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(64)
    with open(port_file + ".new", "w") as f:
        f.write("%d\n" % server.getsockname()[1])
    os.replace(port_file + ".new", port_file)
    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve, args=(conn, log, lock), daemon=True).start()


if __name__ == "__main__":
    main()
