#!/usr/bin/env python3
"""A small HTTP/1.1 server for the client's tests, on one dual-stack loopback-reachable socket:
chunked bodies (with extensions and trailers), malformed chunk framing, an endless chunked body,
redirects of every kind and a redirect loop. Prints "port N" once listening.
Usage: http11_server.py HTTPS-BASE   (where /to-https redirects)"""
import socket
import sys
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HTTPS_BASE = sys.argv[1] if len(sys.argv) > 1 else ""
PIECES = [b"hello ", b"chunked ", b"world, " * 50, b"end"]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_raw(self, head, body=b""):
        self.wfile.write(head.encode() + body)
        self.wfile.flush()

    def chunked(self, pieces, ext=False, trailer=False):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for p in pieces:
            self.wfile.write(b"%x%s\r\n%s\r\n" % (len(p), b';note="x"' if ext else b"", p))
        self.wfile.write(b"0\r\n" + (b"X-Checksum: 42\r\nX-More: yes\r\n" if trailer else b"") + b"\r\n")
        self.wfile.flush()

    def redirect(self, code, location):
        self.send_response(code)
        self.send_header("Location", location)
        self.send_header("Content-Length", "9")
        self.end_headers()
        self.wfile.write(b"redirect!")

    def answer(self, text):
        body = text.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        path = self.path
        if path == "/chunked":
            return self.chunked(PIECES)
        if path == "/chunked-ext":
            return self.chunked(PIECES, ext=True, trailer=True)
        if path == "/bad-size":
            return self.send_raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", b"5\r\nhello\r\nzz\r\n")
        if path == "/overlong-chunk":
            return self.send_raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", b"3\r\nabcdef\r\n0\r\n\r\n")
        if path == "/huge-size-line":
            return self.send_raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", b"1;" + b"x" * 5000 + b"\r\n")
        if path == "/endless":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            try:
                while True:
                    self.wfile.write(b"400\r\n" + b"e" * 1024 + b"\r\n")
            except OSError:
                return
        if path == "/loop":
            return self.redirect(302, "/loop")
        if path.startswith("/r") and path[2:5].isdigit():
            return self.redirect(int(path[2:5]), "/method")
        if path == "/relative/start":
            return self.redirect(302, "next?x=1")
        if path == "/relative/next?x=1":
            return self.answer("relative ok")
        if path == "/absolute":
            host = self.headers.get("Host")
            return self.redirect(301, "http://%s/method" % host)
        if path == "/to-https":
            return self.redirect(302, HTTPS_BASE + "/index.htm")
        if path == "/method":
            return self.answer("%s %s host=%s" % (self.command, body.decode(), self.headers.get("Host")))
        self.send_error(404)

    do_GET = do_POST = do_PUT = do_HEAD = handle_any


class DualStack(ThreadingHTTPServer):
    address_family = socket.AF_INET6
    daemon_threads = True

    def server_bind(self):
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        super().server_bind()


try:
    server = DualStack(("::", 0), Handler)
except OSError:
    DualStack.address_family = socket.AF_INET
    DualStack.server_bind = ThreadingHTTPServer.server_bind
    server = DualStack(("127.0.0.1", 0), Handler)
print("port", server.server_address[1], flush=True)
server.serve_forever()
