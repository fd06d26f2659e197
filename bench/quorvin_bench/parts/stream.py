"""Streaming memory: a server must send a large file without holding it, also when the client
stops reading for a while and the socket fills up."""

import os
import socket
import time

from .. import http_io
from ..docroot import MIB, STREAM_FILE, STREAM_SIZE
from ..processes import log
from ..procfs import proc_rss_kib
from ..report import Section, fmt

STREAM_COLUMNS = ["server", "RSS before MiB", "RSS peak MiB", "growth MiB", "MiB/s", "check"]


def stream_memory(server):
    pid = server.pid
    rss_idle = proc_rss_kib(pid)
    peak = rss_idle
    buf = bytearray(1 << 20)
    head = b""
    got = 0
    t0 = time.monotonic()
    with socket.create_connection(("127.0.0.1", server.port), timeout=30) as s:
        s.sendall(f"GET /{STREAM_FILE} HTTP/1.0\r\nConnection: close\r\n\r\n".encode())
        stalled = False
        last = 0.0
        while True:
            n = s.recv_into(buf)
            if n == 0:
                break
            if len(head) < 4096 and b"\r\n\r\n" not in head:
                head += bytes(buf[:n])
            got += n
            now = time.monotonic()
            if now - last > 0.05:
                peak = max(peak, proc_rss_kib(pid))
                last = now
            if not stalled and got >= 4 * MIB:
                # A reader that pauses: the socket buffers fill and the server must wait
                # rather than read ahead into memory.
                stalled = True
                for _ in range(10):
                    time.sleep(0.1)
                    peak = max(peak, proc_rss_kib(pid))
    wall = time.monotonic() - t0 - 1.0
    header, _, _ = head.partition(b"\r\n\r\n")
    body = got - len(header) - 4
    status = header.split(b"\r\n", 1)[0]
    check = "ok"
    if not http_io.is_200(status):
        check = f"status {status[:40]!r}"
    elif body != STREAM_SIZE:
        check = f"body {body} bytes, want {STREAM_SIZE}"
    return [server.name, fmt(rss_idle / 1024, 2), fmt(peak / 1024, 2),
            fmt((peak - rss_idle) / 1024, 2), fmt(STREAM_SIZE / MIB / wall, 0), check]


def run(ctx, live):
    """Each running server that serves every file sends the 1 GiB file; returns the rows."""
    # Read the file once so that every server meets it in the page cache.
    with open(os.path.join(ctx.docroot, STREAM_FILE), "rb", buffering=0) as f:
        chunk = bytearray(8 * MIB)
        while f.readinto(chunk):
            pass
    rows = []
    for s in live:
        if s.only is None:
            rows.append(stream_memory(s))
            log(f"streamed 1 GiB from {s.name}: {rows[-1][-1]}")
    return rows


def sections(rows):
    if not rows:
        return []
    return [Section("Streaming a 1 GiB file, the reader pausing 1 s after 4 MiB", STREAM_COLUMNS,
                    rows)]
