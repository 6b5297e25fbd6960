#!/usr/bin/env python3
"""Runs a command with the test servers up: nginx and the fault server on free
loopback ports, both ended afterwards.

  with_servers.py [--docroot FOLDER] -- COMMAND [ARGS...]

The command gets CORVANA_TEST_NGINX and CORVANA_TEST_FAULT (host:port),
CORVANA_TEST_NGINX_TLS (host:port of nginx over HTTPS, with a certificate for
127.0.0.1 from a test CA made here, CORVANA_TEST_CA; /to-http redirects to plain
HTTP), and
CORVANA_TEST_ARCHIVES, a folder of test archives (make_archives.py), and
CORVANA_TEST_DOCROOT, nginx's document root, which holds the files
size-0.bin, size-1.bin, size-64k.bin, size-5m.bin, size-15m.bin (exactly
15,728,640 bytes) and patch_info.txt.
"""
import os
import pathlib
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fault_server  # noqa: E402
import make_archives  # noqa: E402

FILES = {
    "size-0.bin": 0,
    "size-1.bin": 1,
    "size-64k.bin": 64 * 1024,
    "size-5m.bin": 5 * 1024 * 1024,
    "size-15m.bin": 15728640,
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
    }}
    server {{
        listen 127.0.0.1:{tls_port} ssl;
        ssl_certificate {root}/tls/server.pem;
        ssl_certificate_key {root}/tls/server.key;
        root {docroot};
        location = /to-http {{ return 302 http://127.0.0.1:{port}/size-1.bin; }}
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
    """A test CA and a certificate it issued for 127.0.0.1."""
    folder.mkdir()
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Corvana test CA")
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    (folder / "server.ext").write_text("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext")
    return folder / "ca.pem"


def start_nginx(root, docroot):
    (root / "tmp").mkdir(exist_ok=True)
    for _ in range(5):
        port, tls_port = free_port(), free_port()
        conf = root / "nginx.conf"
        conf.write_text(NGINX_CONF.format(root=root, port=port, tls_port=tls_port, docroot=docroot))
        process = subprocess.Popen(["nginx", "-p", str(root), "-c", str(conf)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_for_port(port, process) and wait_for_port(tls_port, process):
            return process, port, tls_port
        process.kill()
        process.wait()
    sys.exit("with_servers: nginx did not start:\n" + (root / "error.log").read_text())


def main():
    args = sys.argv[1:]
    served = None
    if args[:1] == ["--docroot"]:  # serve that folder, without the test files
        served = pathlib.Path(args[1]).resolve()
        args = args[2:]
    if args[:1] == ["--"]:
        args = args[1:]
    if not args:
        sys.exit(__doc__)
    root = pathlib.Path(tempfile.mkdtemp(prefix="corvana-servers-"))
    nginx = None
    try:
        docroot = served or root / "www"
        if served is None:
            make_docroot(docroot)
            make_archives.make_all(root / "archives")
        ca = make_certificates(root / "tls")
        nginx, nginx_port, tls_port = start_nginx(root, docroot)
        fault = fault_server.start()
        env = dict(os.environ)
        env["CORVANA_TEST_NGINX"] = "127.0.0.1:%d" % nginx_port
        env["CORVANA_TEST_FAULT"] = "127.0.0.1:%d" % fault.server_address[1]
        env["CORVANA_TEST_NGINX_TLS"] = "127.0.0.1:%d" % tls_port
        env["CORVANA_TEST_CA"] = str(ca)
        env["CORVANA_TEST_DOCROOT"] = str(docroot)
        env["CORVANA_TEST_ARCHIVES"] = str(root / "archives")
        return subprocess.call(args, env=env)
    finally:
        if nginx is not None:
            nginx.terminate()
            try:
                nginx.wait(timeout=10)
            except subprocess.TimeoutExpired:
                nginx.kill()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
