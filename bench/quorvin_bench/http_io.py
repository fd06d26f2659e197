"""The driver's own requests: raw HTTP/1.0 and HTTP/1.1 over a socket on 127.0.0.1, plain or
TLS, to probe a server's answers and to make the requests a profile watches."""

import functools
import re
import socket
import ssl


@functools.lru_cache(maxsize=None)
def tls_context(cert):
    """The driver's own TLS client settings for a run's certificate: it must verify, and name
    127.0.0.1."""
    return ssl.create_default_context(cafile=cert)


def connect(port, timeout, tls=None):
    """A connection to 127.0.0.1:port; with `tls` (a server's certificate and key), one whose TLS
    handshake is done."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    if tls:
        try:
            s = tls_context(tls["cert"]).wrap_socket(s, server_hostname="127.0.0.1")
        except BaseException:
            s.close()
            raise
    return s


def _recv_or_eof(s):
    """recv, with a reset by the peer taken for the end of the connection."""
    try:
        return s.recv(1 << 20)
    except ConnectionResetError:
        return b""


def http11_exchange(port, path, count, timeout=10.0, tls=None):
    """Sends `count` HTTP/1.1 requests for `path` on one connection, each after the answer to the
    one before. Returns [(head, body), ...] of the answers that came before the server closed the
    connection. An answer without Content-Length runs to the end of the connection."""
    answers = []
    request = f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode()
    with connect(port, timeout, tls) as s:
        buf = b""
        for _ in range(count):
            try:
                s.sendall(request)
            except OSError:
                break  # closed after the last answer
            closed = False
            while b"\r\n\r\n" not in buf and not closed:
                chunk = _recv_or_eof(s)
                closed = not chunk
                buf += chunk
            if b"\r\n\r\n" not in buf:
                break
            head, _, buf = buf.partition(b"\r\n\r\n")
            length = re.search(rb"(?im)^content-length:[ \t]*(\d+)[ \t]*\r?$", head)
            want = int(length.group(1)) if length else None
            while not closed and (want is None or len(buf) < want):
                chunk = _recv_or_eof(s)
                closed = not chunk
                buf += chunk
            if want is None:
                want = len(buf)
            answers.append((head, buf[:want]))
            buf = buf[want:]
            if closed or len(answers[-1][1]) < want:
                break
    return answers


def http10_get(port, path, timeout=10.0, tls=None, request=None):
    """The whole of what the server sends for one HTTP/1.0 request (by default with "Connection:
    close") up to its close."""
    if request is None:
        request = f"GET {path} HTTP/1.0\r\nConnection: close\r\n\r\n".encode()
    with connect(port, timeout, tls) as s:
        s.sendall(request)
        chunks = []
        while True:
            c = s.recv(1 << 20)
            if not c:
                break
            chunks.append(c)
    return b"".join(chunks)


def s_time_request(path):
    """What `openssl s_time -www PATH` sends: its request line and nothing else."""
    return f"GET {path} HTTP/1.0\r\n\r\n".encode()


def is_200(status_line):
    return re.match(rb"HTTP/1\.[01] 200 ", status_line) is not None
