#!/usr/bin/env python3
"""Starts and stops the Lumox test server for test fixtures.

  srvctl.py start --info F --records D [--proxy-port N] [--max-seconds S]
  srvctl.py stop  --info F

start runs the server detached (its output goes to D/server.log), waits up
to 20 seconds for the info file, prints it and exits 0.  stop sends SIGTERM
to the pid named in the info file, waits, and uses SIGKILL if it must.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "lumox_server.py")


def read_info(path):
    info = {}
    try:
        with open(path) as f:
            for line in f:
                if "=" in line:
                    k, v = line.rstrip("\n").split("=", 1)
                    info[k] = v
    except OSError:
        pass
    return info


def is_our_server(pid):
    """True while pid is a live (not zombie) lumox_server.py process."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            cmd = f.read()
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return b"lumox_server.py" in cmd and state not in ("Z", "X")


def wait_gone(pid, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not is_our_server(pid):
            return True
        time.sleep(0.05)
    return not is_our_server(pid)


def stop(info_path):
    info = read_info(info_path)
    pid = int(info.get("pid", "0") or 0)
    ok = True
    if pid > 0 and is_our_server(pid):
        os.kill(pid, signal.SIGTERM)
        if not wait_gone(pid, 10):
            os.kill(pid, signal.SIGKILL)
            ok = wait_gone(pid, 5)
    if ok:
        try:
            os.remove(info_path)
        except OSError:
            pass
    return ok


def start(args):
    info_path = os.path.abspath(args.info)
    records = os.path.abspath(args.records)
    # a server left behind by an earlier run with the same info file goes first
    stop(info_path)
    try:
        os.remove(info_path)
    except OSError:
        pass
    os.makedirs(records, exist_ok=True)
    cmd = [sys.executable, SERVER, "--info", info_path, "--records", records,
           "--max-seconds", str(args.max_seconds)]
    if args.proxy_port is not None:
        cmd += ["--proxy-port", str(args.proxy_port)]
    if args.proxy_user is not None:
        cmd += ["--proxy-user", args.proxy_user]
    if args.proxy_password is not None:
        cmd += ["--proxy-password", args.proxy_password]
    logf = open(os.path.join(records, "server.log"), "ab")
    child = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=logf, stderr=logf,
                             start_new_session=True, close_fds=True)
    logf.close()
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        info = read_info(info_path)
        if info.get("pid") == str(child.pid):
            with open(info_path) as f:
                sys.stdout.write(f.read())
            sys.stdout.flush()
            return 0
        if child.poll() is not None:
            sys.stderr.write("test server exited with %s before it was ready; see %s\n"
                             % (child.returncode, os.path.join(records, "server.log")))
            return 1
        time.sleep(0.05)
    sys.stderr.write("test server not ready after 20 s; stopping it\n")
    child.terminate()
    try:
        child.wait(5)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait(5)
    return 1


def main():
    ap = argparse.ArgumentParser(description="start or stop the Lumox test server")
    sub = ap.add_subparsers(dest="cmd", required=True)
    sp = sub.add_parser("start")
    sp.add_argument("--info", required=True)
    sp.add_argument("--records", required=True)
    sp.add_argument("--proxy-port", type=int)
    sp.add_argument("--proxy-user")
    sp.add_argument("--proxy-password")
    sp.add_argument("--max-seconds", type=float, default=3600.0)
    tp = sub.add_parser("stop")
    tp.add_argument("--info", required=True)
    args = ap.parse_args()
    if args.cmd == "start":
        return start(args)
    return 0 if stop(os.path.abspath(args.info)) else 1


if __name__ == "__main__":
    sys.exit(main())
