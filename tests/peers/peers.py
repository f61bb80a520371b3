#!/usr/bin/env python3
"""Real servers for the peers tests: nginx (origin over HTTP and HTTPS), PHP behind it
(php-fpm), and three squid forward proxies asking for Basic, Digest and NTLM.

  peers.py check                      prints what is missing; exit 0 when nothing is
  peers.py start --info F [--max-seconds S]
  peers.py stop --info F

start makes a temporary folder, writes every configuration, the test CA and the server
certificate, the static files and the PHP scripts into it, and runs a supervisor detached
from the caller. The supervisor starts the servers on loopback ports of their own (as the
unprivileged user "nobody" when it runs as root), writes the info file (key=value lines the
tests read) once each port is held by its own server, and stops every server by its process
group when it gets SIGTERM or after --max-seconds, whatever happens first, then removes the
folder.
On a machine without the packages, start writes "unavailable=..." into the info file and
exits 0: the tests skip with that message. stop sends SIGTERM to the supervisor named in the
info file and waits for it.
"""

import argparse
import glob
import hashlib
import os
import pwd
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ORIGIN = "origin.lumox.test"  # the origin's name through the proxies (squid's hosts file)
USER, PASSWORD = "kiva", "s3cret"
SIZES = {"0.bin": 0, "1k.bin": 1024, "1m.bin": 1 << 20, "100m.bin": 100 << 20}
# Sizes of the pattern files the tests upload, whose SHA-256 the info file gives them.
SENT_SIZES = (2000, 5000, 300000)
HELPERS = {"basic": "basic_ncsa_auth", "digest": "digest_file_auth", "ntlm": "ntlm_fake_auth"}
READY_SECONDS = 30


def pattern(n):
    """byte[i] = i % 251, as the tests expect."""
    unit = bytes(range(251))
    return (unit * (n // 251 + 1))[:n]


def php_fpm():
    found = sorted(glob.glob("/usr/sbin/php-fpm*"))
    return found[-1] if found else None


def missing():
    """Programs the stage needs that this machine lacks (Debian package names)."""
    out = []
    if not shutil.which("nginx"):
        out.append("nginx")
    if not php_fpm():
        out.append("php-fpm")
    if not shutil.which("squid") and not os.path.exists("/usr/sbin/squid"):
        out.append("squid")
    elif not all(os.path.exists("/usr/lib/squid/" + h) for h in HELPERS.values()):
        out.append("squid (auth helpers)")
    if not shutil.which("openssl"):
        out.append("openssl")
    return out


def free_port():
    """A free port below the kernel's ephemeral range, where the test servers that other test
    programs start on port 0, and every outgoing connection, take theirs: such a server
    could otherwise take the port between this check and the server's own bind."""
    with open("/proc/sys/net/ipv4/ip_local_port_range", encoding="ascii") as f:
        ephemeral = int(f.read().split()[0])
    rng = random.SystemRandom()
    for _ in range(200):
        port = rng.randrange(max(1024, ephemeral - 12000), ephemeral)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port below the ephemeral range")


def write(path, text, mode=0o644):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)


def run(cmd, cwd):
    subprocess.run(cmd, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(d):
    """A test CA made now, and a server certificate it signs for the origin's names."""
    ext = os.path.join(d, "server.ext")
    write(ext, "subjectAltName=DNS:%s,DNS:localhost,IP:127.0.0.1\n"
               "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
               "extendedKeyUsage=serverAuth\n" % ORIGIN)
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=Lumox peers test CA", "-keyout", "ca.key", "-out", "ca.pem",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign"], d)
    run(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + ORIGIN,
         "-keyout", "server.key", "-out", "server.csr"], d)
    run(["openssl", "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
         "-CAcreateserial", "-days", "2", "-extfile", ext, "-out", "server.pem"], d)


SERVER = """  server {{
    listen 127.0.0.1:{listen};
    keepalive_timeout {keepalive};
    ssl_certificate {d}/server.pem;
    ssl_certificate_key {d}/server.key;
    root {d}/www;
    # /s/<id>/<file>: the static files; the id only tells the tests' requests apart.
    location ~ ^/s/[^/]+/(?<file>[^/]+)$ {{ alias {d}/www/$file; }}
    location ~ ^/r/[^/]+/301$ {{ return 301 /s/moved/1k.bin; }}
    location ~ ^/r/[^/]+/302$ {{ return 302 /s/found/1k.bin; }}
    # /p/<id>/<script>.php: the PHP receivers.
    location ~ ^/p/[^/]+/(?<script>[a-z]+\\.php)$ {{
      fastcgi_pass unix:{d}/php.sock;
      fastcgi_buffering off;
      fastcgi_read_timeout 300s;
      fastcgi_param SCRIPT_FILENAME {d}/php/$script;
      fastcgi_param QUERY_STRING $query_string;
      fastcgi_param REQUEST_METHOD $request_method;
      fastcgi_param CONTENT_TYPE $content_type;
      fastcgi_param CONTENT_LENGTH $content_length;
      fastcgi_param REQUEST_URI $request_uri;
      fastcgi_param SERVER_PROTOCOL $server_protocol;
      fastcgi_param HTTPS $https if_not_empty;
      fastcgi_param REMOTE_ADDR $remote_addr;
      fastcgi_param SERVER_PORT $server_port;
      fastcgi_param REDIRECT_STATUS 200;
    }}
  }}
"""


def nginx_conf(d, ports):
    conf = """worker_processes 1;
daemon off;
pid {d}/nginx.pid;
error_log {d}/nginx-error.log warn;
events {{ worker_connections 256; }}
http {{
  log_format peers '$request_method $request_uri $status $body_bytes_sent $server_port '
                   'via="$http_via" te="$sent_http_transfer_encoding"';
  access_log {d}/nginx-access.log peers;
  client_body_temp_path {d}/tmp/body;
  proxy_temp_path {d}/tmp/proxy;
  fastcgi_temp_path {d}/tmp/fastcgi;
  uwsgi_temp_path {d}/tmp/uwsgi;
  scgi_temp_path {d}/tmp/scgi;
  client_max_body_size 300m;
  default_type application/octet-stream;
  sendfile on;
{servers}}}
"""
    # Squid logs a tunnel (CONNECT) only once it closes, and a client that pools its
    # connections keeps it open: the port the tests reach through the proxies closes idle
    # connections soon, the others keep them as nginx does by default.
    listens = (("%d" % ports["http"], "75s"), ("%d ssl" % ports["https"], "75s"),
               ("%d ssl" % ports["tunnel"], "1s"))
    servers = "".join(SERVER.format(d=d, listen=listen, keepalive=keepalive)
                      for listen, keepalive in listens)
    return conf.format(d=d, servers=servers)


def fpm_conf(d):
    return """[global]
pid = {d}/php-fpm.pid
error_log = {d}/php-fpm.log
daemonize = no
[peers]
listen = {d}/php.sock
listen.mode = 0666
pm = static
pm.max_children = 2
clear_env = yes
php_admin_value[upload_max_filesize] = 300M
php_admin_value[post_max_size] = 310M
php_admin_value[max_file_uploads] = 4
php_admin_value[upload_tmp_dir] = {d}/tmp/php
php_admin_value[memory_limit] = 64M
php_admin_value[max_input_time] = 300
php_admin_value[output_buffering] = 0
php_admin_value[default_charset] = ""
php_admin_value[error_log] = {d}/php-errors.log
""".format(d=d)


def squid_conf(d, scheme, port):
    helper = "/usr/lib/squid/" + HELPERS[scheme]
    args = {"basic": " %s/basic.htpasswd" % d, "digest": " %s/digest.users" % d, "ntlm": ""}
    realm = "" if scheme == "ntlm" else "auth_param %s realm lumox\n" % scheme
    return """http_port 127.0.0.1:{port}
visible_hostname lumox-peers-{scheme}
pid_filename {d}/squid-{scheme}.pid
logformat peers %rm %ru %>Hs %un
access_log stdio:{d}/squid-{scheme}-access.log peers
cache_log {d}/squid-{scheme}-cache.log
cache_store_log none
cache deny all
cache_mem 8 MB
coredump_dir {d}
netdb_filename none
pinger_enable off
icp_port 0
htcp_port 0
shutdown_lifetime 0 seconds
dns_nameservers 127.0.0.1
hosts_file {d}/hosts
auth_param {scheme} program {helper}{arg}
auth_param {scheme} children 2
{realm}acl authenticated proxy_auth REQUIRED
http_access allow authenticated
http_access deny all
""".format(d=d, scheme=scheme, port=port, helper=helper, arg=args[scheme], realm=realm)


def prepare(d, ports):
    for sub in ("www", "php", "tmp", "tmp/body", "tmp/proxy", "tmp/fastcgi", "tmp/uwsgi",
                "tmp/scgi", "tmp/php"):
        os.makedirs(os.path.join(d, sub), exist_ok=True)
    for name, size in SIZES.items():
        with open(os.path.join(d, "www", name), "wb") as f:
            f.write(pattern(size))
    for script in glob.glob(os.path.join(HERE, "php", "*.php")):
        shutil.copy(script, os.path.join(d, "php"))
    make_certificates(d)
    write(os.path.join(d, "nginx.conf"), nginx_conf(d, ports))
    write(os.path.join(d, "php-fpm.conf"), fpm_conf(d))
    write(os.path.join(d, "hosts"), "127.0.0.1 %s\n" % ORIGIN)
    apr1 = subprocess.run(["openssl", "passwd", "-apr1", PASSWORD], check=True,
                          capture_output=True, text=True).stdout.strip()
    write(os.path.join(d, "basic.htpasswd"), "%s:%s\n" % (USER, apr1))
    write(os.path.join(d, "digest.users"), "%s:%s\n" % (USER, PASSWORD))
    for scheme in HELPERS:
        write(os.path.join(d, "squid-%s.conf" % scheme), squid_conf(d, scheme, ports[scheme]))


def as_nobody():
    """Arguments that run a server unprivileged: as "nobody" when this runs as root."""
    if os.geteuid() != 0:
        return {}
    return {"user": "nobody", "group": pwd.getpwnam("nobody").pw_gid, "extra_groups": []}


def give_to_nobody(d):
    if os.geteuid() != 0:
        return
    nobody = pwd.getpwnam("nobody")
    for root, dirs, files in os.walk(d):
        for name in dirs + files + [""]:
            os.chown(os.path.join(root, name), nobody.pw_uid, nobody.pw_gid)
    os.chmod(d, 0o755)


def listening_inode(port):
    """The socket inode of the loopback listener on port, or None."""
    want = "0100007F:%04X" % port
    with open("/proc/net/tcp", encoding="ascii") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1] == want and fields[3] == "0A":
                return fields[9]
    return None


def served_by(port, children):
    """True when one of children listens on port: a port that only answers could belong to
    another program's server, and the tests would then talk to a stranger."""
    inode = listening_inode(port)
    if inode is None:
        return False
    target = "socket:[%s]" % inode
    for child in children:
        fd_dir = "/proc/%d/fd" % child.pid
        try:
            if any(os.readlink(os.path.join(fd_dir, fd)) == target for fd in os.listdir(fd_dir)):
                return True
        except OSError:
            continue
    return False


def stop_groups(children):
    """Stops the servers and everything they started, by their process groups (each the
    server's own pid): SIGTERM to all, then SIGKILL to what is left."""
    for child in children:
        try:
            os.killpg(child.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + 10
    for child in children:
        try:
            child.wait(max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            pass
    for child in children:
        try:
            os.killpg(child.pid, signal.SIGKILL)  # helpers and workers left in the group
        except ProcessLookupError:
            pass
        if child.poll() is None:
            child.wait(5)


def supervise(args):
    """Runs in the detached supervisor: starts the servers, writes the info file, waits."""
    d = args.dir
    ports = {"http": free_port(), "https": free_port(), "tunnel": free_port()}
    for scheme in HELPERS:
        ports[scheme] = free_port()
    children = []
    stopping = []

    def on_term(signum, frame):
        stopping.append(signum)

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)
    deadline = time.monotonic() + args.max_seconds
    try:
        prepare(d, ports)
        give_to_nobody(d)
        log = open(os.path.join(d, "servers.log"), "ab")
        commands = [
            ["nginx", "-e", d + "/nginx-error.log", "-p", d, "-c", d + "/nginx.conf"],
            [php_fpm(), "-n", "-F", "-y", d + "/php-fpm.conf"],
        ] + [["squid", "-N", "-f", "%s/squid-%s.conf" % (d, s)] for s in HELPERS]
        for cmd in commands:
            children.append(subprocess.Popen(cmd, cwd=d, stdin=subprocess.DEVNULL, stdout=log,
                                             stderr=log, start_new_session=True,
                                             **as_nobody()))
        ready_by = time.monotonic() + READY_SECONDS
        while (not all(served_by(p, children) for p in ports.values()) or
               not os.path.exists(d + "/php.sock")):
            if any(c.poll() is not None for c in children) or time.monotonic() > ready_by:
                raise RuntimeError("a server did not start")
            if stopping:
                raise RuntimeError("stopped before the servers were ready")
            time.sleep(0.1)
        info = {"pid": os.getpid(), "dir": d, "origin": ORIGIN, "user": USER,
                "password": PASSWORD, "http_port": ports["http"], "https_port": ports["https"],
                "https_tunnel_port": ports["tunnel"],
                "ca_cert": d + "/ca.pem", "nginx_log": d + "/nginx-access.log"}
        for scheme in HELPERS:
            info["squid_%s_port" % scheme] = ports[scheme]
            info["squid_%s_log" % scheme] = "%s/squid-%s-access.log" % (d, scheme)
        for size in sorted(set(SIZES.values()) | set(SENT_SIZES)):
            info["sha256_%d" % size] = hashlib.sha256(pattern(size)).hexdigest()
        text = "".join("%s=%s\n" % kv for kv in info.items())
        write(args.info + ".tmp", text)
        os.replace(args.info + ".tmp", args.info)
        while not stopping and time.monotonic() < deadline:
            if any(c.poll() is not None for c in children):
                break  # a server died: the tests that need it fail on their own
            time.sleep(0.2)
    except Exception as e:  # the starter reports it, with the servers' own words
        sys.stderr.write("peers: %s\n" % e)
        for name in ["servers.log", "nginx-error.log", "php-fpm.log"] + [
                "squid-%s-cache.log" % s for s in HELPERS]:
            try:
                with open(os.path.join(d, name), encoding="utf-8", errors="replace") as f:
                    sys.stderr.write("--- %s\n%s" % (name, f.read()[-4000:]))
            except OSError:
                pass
    finally:
        stop_groups(children)
        shutil.rmtree(d, ignore_errors=True)


def read_info(path):
    info = {}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, sep, value = line.rstrip("\n").partition("=")
                if sep:
                    info[key] = value
    except OSError:
        pass
    return info


def is_supervisor(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            cmd = f.read().split(b"\0")
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return False
    return b"supervise" in cmd and any(c.endswith(b"peers.py") for c in cmd) and state != "Z"


def stop(info_path):
    pid = int(read_info(info_path).get("pid", "0") or 0)
    if pid > 0 and is_supervisor(pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 30
        while is_supervisor(pid) and time.monotonic() < deadline:
            time.sleep(0.1)
        if is_supervisor(pid):
            sys.stderr.write("peers: the supervisor %d did not stop\n" % pid)
            return 1
    try:
        os.remove(info_path)
    except OSError:
        pass
    return 0


def start(args):
    info_path = os.path.abspath(args.info)
    os.makedirs(os.path.dirname(info_path), exist_ok=True)
    stop(info_path)  # what an earlier run left behind goes first
    lacking = missing()
    if lacking:
        reason = "missing %s (scripts/setup.sh installs them)" % ", ".join(lacking)
        write(info_path, "unavailable=%s\n" % reason)
        print("peers: skipped: " + reason)
        return 0
    d = tempfile.mkdtemp(prefix="lumox-peers-")
    errors = os.path.join(os.path.dirname(info_path), "peers-supervisor.log")
    with open(errors, "wb") as err:
        child = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "supervise", "--info", info_path,
             "--dir", d, "--max-seconds", str(args.max_seconds)],
            stdin=subprocess.DEVNULL, stdout=err, stderr=err, start_new_session=True)
    deadline = time.monotonic() + READY_SECONDS + 60
    while time.monotonic() < deadline:
        if read_info(info_path).get("pid") == str(child.pid):
            with open(info_path, encoding="utf-8") as f:
                sys.stdout.write(f.read())
            return 0
        if child.poll() is not None:
            break
        time.sleep(0.1)
    if child.poll() is None:
        child.terminate()
        child.wait(30)
    with open(errors, encoding="utf-8", errors="replace") as f:
        sys.stderr.write(f.read())
    sys.stderr.write("peers: the servers did not start\n")
    return 1


def main():
    ap = argparse.ArgumentParser(description="real servers for the peers tests")
    sub = ap.add_subparsers(dest="cmd", required=True)
    sub.add_parser("check")
    sp = sub.add_parser("start")
    sp.add_argument("--info", required=True)
    sp.add_argument("--max-seconds", type=float, default=1800.0)
    vp = sub.add_parser("supervise")
    vp.add_argument("--info", required=True)
    vp.add_argument("--dir", required=True)
    vp.add_argument("--max-seconds", type=float, required=True)
    tp = sub.add_parser("stop")
    tp.add_argument("--info", required=True)
    args = ap.parse_args()
    if args.cmd == "check":
        lacking = missing()
        if lacking:
            print("missing " + ", ".join(lacking))
        return 1 if lacking else 0
    if args.cmd == "start":
        return start(args)
    if args.cmd == "supervise":
        supervise(args)
        return 0
    return stop(os.path.abspath(args.info))


if __name__ == "__main__":
    sys.exit(main())
