#!/usr/bin/env python3
"""Runs a command with the test servers up: nginx and the fault server on free
loopback ports, both ended afterwards.

  with_servers.py [--docroot FOLDER] -- COMMAND [ARGS...]
  with_servers.py --start STATE    starts them in the background (a CTest fixture)
                                   and writes their variables to STATE, KEY=VALUE
                                   lines; nothing when they are up already (the
                                   variables are set)
  with_servers.py --stop STATE     ends the servers that --start started

A test program that finds CORVANA_TEST_NGINX unset reads the variables from the
file named by CORVANA_TEST_SERVERS (tests/support/test_env.cpp, tests/e2e/run.py).

The command gets CORVANA_TEST_NGINX and CORVANA_TEST_FAULT (host:port),
CORVANA_TEST_NGINX_TLS (host:port of nginx over HTTPS, with a certificate for
127.0.0.1 from a test CA made here, CORVANA_TEST_CA; /to-http redirects to plain
HTTP), CORVANA_TEST_NGINX_TLS_OTHER (the same with a certificate from another CA,
never trusted), CORVANA_TEST_NGINX_CACHE (a caching proxy in front of nginx,
keeping every answer for 10 minutes), and
CORVANA_TEST_DOCROOT, nginx's document root, which holds the files
size-0.bin, size-1.bin, size-64k.bin, size-5m.bin, size-15m.bin (exactly
15,728,640 bytes), size-20m.bin (above that) and patch_info.txt.
"""
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fault_server  # noqa: E402

FILES = {
    "size-0.bin": 0,
    "size-1.bin": 1,
    "size-64k.bin": 64 * 1024,
    "size-5m.bin": 5 * 1024 * 1024,
    "size-15m.bin": 15728640,
    "size-20m.bin": 20 * 1024 * 1024,
}

NGINX_CONF = """
daemon off;
master_process off;
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log {root}/access.log;
    client_body_temp_path {root}/tmp/body;
    proxy_temp_path {root}/tmp/proxy;
    fastcgi_temp_path {root}/tmp/fastcgi;
    uwsgi_temp_path {root}/tmp/uwsgi;
    scgi_temp_path {root}/tmp/scgi;
    default_type application/octet-stream;
    sendfile on;
    server {{
        listen 127.0.0.1:{port};
        root {docroot};
        # Below /slow/ everything is sent at 64 KiB/s: transfers long enough to cancel.
        location /slow/ {{ limit_rate 64k; }}
        # The serial number of the connection the request came on.
        location = /connection {{ default_type text/plain; return 200 "$connection"; }}
    }}
    # A caching proxy in front of the first server, as a CDN's edge or a LAN
    # cache: every answer is kept for 10 minutes.
    proxy_cache_path {root}/cache keys_zone=corvana:1m;
    server {{
        listen 127.0.0.1:{cache_port};
        location / {{
            proxy_pass http://127.0.0.1:{port};
            proxy_cache corvana;
            proxy_cache_valid 200 10m;
        }}
    }}
    server {{
        listen 127.0.0.1:{tls_port} ssl;
        ssl_certificate {root}/tls/server.pem;
        ssl_certificate_key {root}/tls/server.key;
        root {docroot};
        location = /to-http {{ return 302 http://127.0.0.1:{port}/size-1.bin; }}
    }}
    server {{
        listen 127.0.0.1:{other_port} ssl;
        ssl_certificate {root}/tls/other.pem;
        ssl_certificate_key {root}/tls/other.key;
        root {docroot};
    }}
}}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def make_docroot(docroot):
    docroot.mkdir(parents=True)
    for name, size in FILES.items():
        (docroot / name).write_bytes(os.urandom(size))
    (docroot / "patch_info.txt").write_bytes(
        b"# test manifest\r\n101=base.zip;base files\r\n150=sound.zip\r\n#END\r\n")


def make_certificates(folder):
    """A test CA and a certificate it issued for 127.0.0.1 (server.pem); another CA,
    never trusted, and its certificate for the same address (other.pem)."""
    folder.mkdir()
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    # The address is a DNS name too: Wine matches a host only against those.
    (folder / "server.ext").write_text("subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    for ca, name, title in (("ca", "server", "Corvana test CA"), ("other-ca", "other", "Corvana other CA")):
        openssl("req", "-x509", *ec, "-keyout", ca + ".key", "-out", ca + ".pem", "-days", "2", "-subj", "/CN=" + title)
        openssl("req", *ec, "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=127.0.0.1")
        openssl("x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                "-CAcreateserial", "-out", name + ".pem", "-days", "2", "-extfile", "server.ext")
    return folder / "ca.pem"


def start_nginx(root, docroot):
    (root / "tmp").mkdir(exist_ok=True)
    for _ in range(5):
        ports = port, tls_port, other_port, cache_port = free_port(), free_port(), free_port(), free_port()
        conf = root / "nginx.conf"
        conf.write_text(NGINX_CONF.format(root=root, port=port, tls_port=tls_port, other_port=other_port,
                                          cache_port=cache_port, docroot=docroot))
        process = subprocess.Popen(["nginx", "-p", str(root), "-c", str(conf)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if all(wait_for_port(p, process) for p in ports):
            return process, ports
        process.kill()
        process.wait()
    sys.exit("with_servers: nginx did not start:\n" + (root / "error.log").read_text())


def start_servers(root, served=None):
    """Starts nginx and the fault server; their variables, and a function that ends them."""
    docroot = served or root / "www"
    if served is None:
        make_docroot(docroot)
    ca = make_certificates(root / "tls")
    nginx, (nginx_port, tls_port, other_port, cache_port) = start_nginx(root, docroot)
    fault = fault_server.start()
    variables = {
        "CORVANA_TEST_NGINX": "127.0.0.1:%d" % nginx_port,
        "CORVANA_TEST_FAULT": "127.0.0.1:%d" % fault.server_address[1],
        "CORVANA_TEST_NGINX_TLS": "127.0.0.1:%d" % tls_port,
        "CORVANA_TEST_NGINX_TLS_OTHER": "127.0.0.1:%d" % other_port,
        "CORVANA_TEST_NGINX_CACHE": "127.0.0.1:%d" % cache_port,
        "CORVANA_TEST_CA": str(ca),
        "CORVANA_TEST_DOCROOT": str(docroot),
    }

    def stop():
        nginx.terminate()
        try:
            nginx.wait(timeout=10)
        except subprocess.TimeoutExpired:
            nginx.kill()
        shutil.rmtree(root, ignore_errors=True)
    return variables, stop


def read_state(state):
    try:
        return dict(line.split("=", 1) for line in state.read_text().splitlines() if "=" in line)
    except OSError:
        return {}


def ours(pid):
    """Whether pid is a server process that --start left (not a reused number)."""
    try:
        return b"with_servers.py" in pathlib.Path("/proc/%s/cmdline" % pid).read_bytes()
    except OSError:
        return False


def start_in_background(state):
    if os.environ.get("CORVANA_TEST_NGINX"):
        return 0  # up already, around the whole test run
    pid = read_state(state).get("CORVANA_TEST_SERVERS_PID")
    if pid and ours(pid):
        return 0
    ready, tell = os.pipe()
    if os.fork() != 0:
        os.close(tell)
        return 0 if os.read(ready, 1) == b"1" else 1
    os.close(ready)
    os.setsid()
    root = pathlib.Path(tempfile.mkdtemp(prefix="corvana-servers-"))
    variables, stop = start_servers(root)
    variables["CORVANA_TEST_SERVERS_PID"] = str(os.getpid())
    state.write_text("".join("%s=%s\n" % item for item in variables.items()))
    ended = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: ended.set())
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 1)
        os.dup2(null.fileno(), 2)
    os.write(tell, b"1")
    os.close(tell)
    while not ended.wait(1):
        pass
    stop()
    os._exit(0)


def stop_background(state):
    if os.environ.get("CORVANA_TEST_NGINX"):
        return 0
    pid = read_state(state).get("CORVANA_TEST_SERVERS_PID")
    if pid and ours(pid):
        os.kill(int(pid), signal.SIGTERM)
        for _ in range(100):
            if not ours(pid):
                break
            time.sleep(0.1)
    state.unlink(missing_ok=True)
    return 0


def main():
    args = sys.argv[1:]
    if args[:1] in (["--start"], ["--stop"]) and len(args) == 2:
        state = pathlib.Path(args[1])
        return start_in_background(state) if args[0] == "--start" else stop_background(state)
    served = None
    if args[:1] == ["--docroot"]:  # serve that folder, without the test files
        served = pathlib.Path(args[1]).resolve()
        args = args[2:]
    if args[:1] == ["--"]:
        args = args[1:]
    if not args:
        sys.exit(__doc__)
    root = pathlib.Path(tempfile.mkdtemp(prefix="corvana-servers-"))
    stop = None
    try:
        variables, stop = start_servers(root, served)
        return subprocess.call(args, env=dict(os.environ, **variables))
    finally:
        if stop is not None:
            stop()
        else:
            shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
