#!/usr/bin/env python3
"""A fault-injecting HTTP/1.1 server for the downloader's tests, on loopback.

Paths (N a byte count):
  /file/N            N bytes with Content-Length (byte i is (7*i + 3) mod 256)
  /nolength/N        N bytes, no Content-Length, the connection closed after them
  /chunked/N         N bytes in chunked transfer coding
  /404-doctype       404 with an HTML page that starts "<!DOCTYPE"
  /404-plain         404 with a plain "<html>" page
  /500               500 with a short page
  /403               403 with a short page (a file the server may not read)
  /stall-response    accepts the request and never answers
  /stall-headers     headers announcing 1000 bytes, then nothing
  /stall-body        headers announcing 1000 bytes, 400 of them, then nothing
  /close-body        headers announcing 1000 bytes, 400 of them, then closes
  /extra             announces 10 bytes and sends 30
  /oversize          announces 15,728,641 bytes
  /huge-length       announces a length beyond 64 bits
  /endless           no length, bytes until the client goes away
  /trickle/N/MS      N bytes with Content-Length, one every MS milliseconds
  /redirect/K        K redirects (relative Location), then /file/100
  /redirect-ftp      a redirect to an ftp:// URL
  /echo              the request's head as the body
  /portal            200 with a login page that has no "<!DOCTYPE" (a captive portal)
  /cut/N/AT          N bytes with an entity tag: a request without a range gets AT
                     of them and the connection closes; "Range: bytes=F-" (with
                     the tag in If-Range, or none) gets the rest from F (206)
Later segments of a path are ignored: a scenario serves a patch server's base path.
Stalls and endless bodies end when the client closes, or after 120 s.
"""
import socket
import socketserver
import threading
import time

LIMIT_SECONDS = 120


def pattern(n):
    return bytes((7 * i + 3) & 0xFF for i in range(n))


class Handler(socketserver.BaseRequestHandler):
    def setup(self):
        self.request.settimeout(LIMIT_SECONDS)

    def handle(self):
        head = b""
        while b"\r\n\r\n" not in head:
            data = self.request.recv(4096)
            if not data:
                return
            head += data
        request_line = head.split(b"\r\n", 1)[0].decode("latin-1")
        parts = request_line.split(" ")
        path = parts[1] if len(parts) > 1 else "/"
        self.head = head[: head.index(b"\r\n\r\n") + 4]
        try:
            self.dispatch(path)
        except OSError:
            pass

    # -- helpers
    def send(self, data):
        self.request.sendall(data)

    def respond(self, status, body, extra=b"", length=True):
        head = b"HTTP/1.1 " + status + b"\r\nServer: fault\r\nConnection: close\r\n" + extra
        if length:
            head += b"Content-Length: %d\r\n" % len(body)
        self.send(head + b"\r\n" + body)

    def header(self, name):
        for line in self.head.split(b"\r\n")[1:]:
            key, _, value = line.partition(b":")
            if key.strip().lower() == name:
                return value.strip()
        return None

    def requested_start(self, tag):
        """The first byte a "bytes=F-" range asks for, when the tag still holds."""
        wanted = self.header(b"range")
        if_range = self.header(b"if-range")
        if wanted is None or not wanted.startswith(b"bytes=") or not wanted.endswith(b"-"):
            return None
        if if_range is not None and if_range != tag:
            return None
        first = wanted[6:-1]
        return int(first) if first.isdigit() else None

    def wait_for_close(self):
        """Holds the connection open until the client closes it (bounded)."""
        deadline = time.monotonic() + LIMIT_SECONDS
        self.request.settimeout(0.2)
        while time.monotonic() < deadline:
            try:
                if not self.request.recv(4096):
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    # -- scenarios
    def dispatch(self, path):
        segments = path.strip("/").split("/")
        name = segments[0]
        number = int(segments[1]) if len(segments) > 1 and segments[1].isdigit() else 0
        if name == "file":
            self.respond(b"200 OK", pattern(number))
        elif name == "nolength":
            self.respond(b"200 OK", pattern(number), length=False)
        elif name == "chunked":
            body = pattern(number)
            chunks = b""
            for start in range(0, len(body), 1000):
                piece = body[start : start + 1000]
                chunks += b"%x\r\n" % len(piece) + piece + b"\r\n"
            self.respond(b"200 OK", chunks + b"0\r\n\r\n", b"Transfer-Encoding: chunked\r\n", False)
        elif name == "404-doctype":
            page = b"<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\n<html><body>Not Found</body></html>\n"
            self.respond(b"404 Not Found", page, b"Content-Type: text/html\r\n")
        elif name == "404-plain":
            page = b"<html>\r\n<head><title>404 Not Found</title></head>\r\n<body>\r\n<center><h1>404 Not Found</h1></center>\r\n</body>\r\n</html>\r\n"
            self.respond(b"404 Not Found", page, b"Content-Type: text/html\r\n")
        elif name == "500":
            self.respond(b"500 Internal Server Error", b"<html>oops</html>")
        elif name == "403":
            self.respond(b"403 Forbidden", b"<html>forbidden</html>")
        elif name == "stall-response":
            self.wait_for_close()
        elif name == "stall-headers":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")
            self.wait_for_close()
        elif name in ("stall-body", "close-body"):
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + pattern(1000)[:400])
            if name == "stall-body":
                self.wait_for_close()
        elif name == "cut":
            size = number
            cut_at = int(segments[2]) if len(segments) > 2 and segments[2].isdigit() else size
            tag = b'"cut-%d"' % size
            start = self.requested_start(tag)
            if start is None:
                self.send(b"HTTP/1.1 200 OK\r\nETag: " + tag + b"\r\nContent-Length: %d\r\n\r\n" % size
                          + pattern(size)[:cut_at])
            else:
                rest = pattern(size)[start:]
                self.send(b"HTTP/1.1 206 Partial Content\r\nETag: " + tag + b"\r\nConnection: close\r\n"
                          + b"Content-Range: bytes %d-%d/%d\r\n" % (start, size - 1, size)
                          + b"Content-Length: %d\r\n\r\n" % len(rest) + rest)
        elif name == "extra":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n" + pattern(30))
        elif name == "oversize":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 15728641\r\n\r\n" + pattern(1000))
            self.wait_for_close()
        elif name == "huge-length":
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: 184467440737095516160\r\n\r\n" + pattern(100))
            self.wait_for_close()
        elif name == "endless":
            self.send(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")
            block = pattern(65536)
            deadline = time.monotonic() + LIMIT_SECONDS
            while time.monotonic() < deadline:
                self.send(block)
        elif name == "trickle":
            interval = int(segments[2]) / 1000.0 if len(segments) > 2 else 0.1
            body = pattern(number)
            self.send(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body))
            for i in range(len(body)):
                time.sleep(interval)
                self.send(body[i : i + 1])
        elif name == "redirect":
            target = b"/redirect/%d" % (number - 1) if number > 1 else b"/file/100"
            self.respond(b"302 Found", b"moved", b"Location: " + target + b"\r\n")
        elif name == "redirect-ftp":
            self.respond(b"302 Found", b"moved", b"Location: ftp://127.0.0.1/file\r\n")
        elif name == "portal":
            page = b"<html><head><title>Hotel Wi-Fi</title></head><body>Please log in</body></html>\n"
            self.respond(b"200 OK", page, b"Content-Type: text/html\r\n")
        elif name == "echo":
            self.respond(b"200 OK", self.head)
        else:
            self.respond(b"404 Not Found", b"no such scenario")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def start():
    """Starts the server on a free loopback port in a thread; returns it."""
    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


if __name__ == "__main__":
    s = start()
    print("fault server on 127.0.0.1:%d" % s.server_address[1], flush=True)
    threading.Event().wait()
