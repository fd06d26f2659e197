"""HTTPS clients whose last handshake flight and first request leave in one TCP segment, as a busy
client's often do: the server reads both at once, and must answer the request without waiting
for more input. COUNT connections, one after another; prints how many got each outcome, one
line each: the count, the answer's status line and the number of body bytes, or "no answer".

Usage: python3 tls_coalesced.py PORT CA-FILE TLS-VERSION(1.2|1.3) PATH COUNT TIMEOUT-SECONDS
"""
import collections
import socket
import ssl
import sys

port, cafile, version, path = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
count, timeout = int(sys.argv[5]), float(sys.argv[6])
context = ssl.create_default_context(cafile=cafile)
context.minimum_version = context.maximum_version = {"1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}[version]


def fetch_once():
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_hostname="localhost")
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:

        def receive():
            data = sock.recv(65536)
            if data:
                incoming.write(data)
            return bool(data)

        # The handshake through memory: what it sends waits in `outgoing` until it needs input.
        while True:
            try:
                tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                if outgoing.pending:
                    sock.sendall(outgoing.read())
                if not receive():
                    return "closed during the handshake"
        # The client's last flight is still in `outgoing` (TLS 1.3: its Finished; TLS 1.2:
        # nothing, the server spoke last); the request joins it in one send.
        tls.write(f"GET {path} HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n".encode())
        sock.sendall(outgoing.read())
        answer = b""
        try:
            while receive():
                try:
                    while piece := tls.read(65536):
                        answer += piece
                except ssl.SSLWantReadError:
                    pass
        except (socket.timeout, ssl.SSLZeroReturnError):
            pass
    head, _, body = answer.partition(b"\r\n\r\n")
    status = head.split(b"\r\n")[0].decode()
    return f"{status} {len(body)}" if head else "no answer"


outcomes = collections.Counter(fetch_once() for _ in range(count))
for outcome, n in sorted(outcomes.items()):
    print(n, outcome)
