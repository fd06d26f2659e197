"""Idle connections: what a connection that does nothing costs a server in resident memory,
with TLS (connections that finished their handshake) or without."""

import resource
import selectors
import socket
import ssl
import time

from .. import http_io
from ..processes import log, raise_nofile
from ..procfs import proc_fd_count, proc_nofile_soft, proc_rss_kib
from ..report import Section, fmt, ratio
from ..servers import start_servers, stop_servers

IDLE_COLUMNS = ["server", "RSS idle MiB", "RSS connected MiB", "KiB/conn", "×nginx",
                "RSS partial line MiB", "KiB/conn", "×nginx", "accepted", "fd limit", "check"]
PARTIAL_LINE = b"GET /1k.htm HTTP/1."


def _heard(c, tls):
    """What the server sent on `c` unasked: "data", "closed", or None for nothing (a session
    ticket is taken in by a TLS socket and counts as nothing)."""
    try:
        if tls:
            c.setblocking(False)
            data = c.recv(1)
        else:
            data = c.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT)
    except (BlockingIOError, ssl.SSLWantReadError, ssl.SSLWantWriteError):
        return None
    except OSError:
        return "closed"
    finally:
        if tls:
            c.settimeout(5)
    return "data" if data else "closed"


def _accepted(s, fds0, want, timeout):
    """How many connections the server has accepted (its descriptors beyond `fds0`), waited for
    up to `timeout` seconds until there are `want`."""
    deadline = time.monotonic() + timeout
    while True:
        got = proc_fd_count(s.pid) - fds0
        if got >= want or time.monotonic() > deadline or s.proc.poll() is not None:
            return got
        time.sleep(0.05)


def _handshakes_finished(socks, timeout):
    """How many of the TLS connections have the server's session ticket, waited for up to
    `timeout` seconds."""
    deadline, done = time.monotonic() + timeout, set()
    while True:
        for i, c in enumerate(socks):
            if i not in done:
                _heard(c, True)
                if c.session is not None and c.session.has_ticket:
                    done.add(i)
        if len(done) == len(socks) or time.monotonic() > deadline:
            return len(done)
        time.sleep(0.1)


def idle_memory(s, count):
    """Opens `count` connections to `s` that send nothing, waits until the server has accepted
    them (its descriptors in /proc/PID/fd), and reads its VmRSS; then sends a partial request
    line on each, so that the server reads and must hold what it got, and reads VmRSS again.
    Closes them all. Returns the figures.
    To a server that speaks HTTPS every connection first makes its TLS handshake, and VmRSS is
    read once the server has finished each one: the session ticket it sends after it has read
    the client's Finished has come. The partial line then goes as a TLS record."""
    pid = s.pid
    rss0, fds0 = proc_rss_kib(pid), proc_fd_count(pid)
    socks, problems = [], []
    t0 = time.monotonic()
    for i in range(count):
        try:
            socks.append(http_io.connect(s.port, 5, s.tls))
        except OSError as e:
            problems.append(f"connection {i + 1} failed: {e}")
            break

    finished = None
    try:
        # A server that accepts only once bytes arrive (TCP_DEFER_ACCEPT) never gets here with
        # silent connections: after the wait, the partial lines below make it accept them.
        got1 = _accepted(s, fds0, len(socks), 5.0)
        if s.tls:
            finished = _handshakes_finished(socks, 5.0)
        time.sleep(0.2)
        rss1 = proc_rss_kib(pid)
        for c in socks:
            try:
                c.sendall(PARTIAL_LINE)
            except OSError:
                pass
        got2 = _accepted(s, fds0, len(socks), 5.0)
        time.sleep(0.5)  # let the server read them all
        rss2 = proc_rss_kib(pid)
        got2 = max(got2, proc_fd_count(pid) - fds0)
        # Which connections the server closed or answered (a 408 or 503, say) meanwhile.
        closed = answered = 0
        sel = selectors.DefaultSelector()
        for c in socks:
            sel.register(c, selectors.EVENT_READ)
        for key, _ in sel.select(timeout=0):
            what = _heard(key.fileobj, s.tls)
            answered += what == "data"
            closed += what == "closed"
        sel.close()
    finally:
        for c in socks:
            c.close()
    elapsed = time.monotonic() - t0
    if s.proc.poll() is not None:
        problems.append(f"server exited with {s.proc.returncode}")
    if got1 < len(socks):
        problems.append(f"accepted {max(got1, 0)} of {len(socks)} before any bytes")
    if finished is not None and finished < len(socks):
        problems.append(f"no session ticket on {len(socks) - finished} of {len(socks)} "
                        f"(handshake not finished by the server?)")
    if got2 < len(socks):
        problems.append(f"accepted {max(got2, 0)} of {len(socks)} with a partial line")
    if answered:
        problems.append(f"{answered} answered")
    if closed:
        problems.append(f"{closed} closed by the server")
    return {"rss0": rss0, "rss1": rss1, "rss2": rss2, "got1": max(got1, 0),
            "got2": max(got2, 0), "opened": len(socks), "problems": problems,
            "nofile": proc_nofile_soft(pid), "seconds": elapsed, "note": s.note}


def _per_conn(r, key, got):
    return (r[key] - r["rss0"]) / r[got] if r[got] else None


def rows(servers, results, wanted):
    """The table's rows: `results` by server name, `wanted` the connections each was sent."""
    n = results.get("nginx")
    n1 = _per_conn(n, "rss1", "got1") if n else None
    n2 = _per_conn(n, "rss2", "got2") if n else None
    out = []
    for s in servers:
        r = results.get(s.name)
        if r is None:
            out.append([s.name] + ["-"] * (len(IDLE_COLUMNS) - 2) + [s.skip or "no run"])
            continue
        k1, k2 = _per_conn(r, "rss1", "got1"), _per_conn(r, "rss2", "got2")
        check = r["problems"] + ([r["note"]] if r["note"] else [])
        # Over a handful of connections the growth is within a page or two of noise: no ratio.
        few = min(r["got1"], r["got2"]) < 0.9 * wanted
        out.append([s.name, fmt(r["rss0"] / 1024, 2), fmt(r["rss1"] / 1024, 2), fmt(k1, 2),
                    "-" if few else ratio(k1, n1), fmt(r["rss2"] / 1024, 2), fmt(k2, 2),
                    "-" if few else ratio(k2, n2),
                    f"{r['got2']} of {r['opened']}", r["nofile"],
                    "; ".join(check) if check else "ok"])
    return out


def run(ctx, tls=None):
    """The resident memory of quorvin-serve and nginx holding --idle-connections idle
    connections (with `tls`, the run's certificate and key: HTTPS connections that finished
    their handshake). Returns the table's rows."""
    count = ctx.cfg.idle_connections
    servers = start_servers(ctx, "idle", tls=tls)
    results = {}
    # The client sockets are the driver's own: its soft limit on open files goes up to the hard
    # one for them (after the servers started, which keep what they were given or raise their
    # own), and back afterwards.
    saved = raise_nofile()
    try:
        for s in servers:
            if s.skip:
                continue
            time.sleep(0.3)
            r = results[s.name] = idle_memory(s, count)
            log(f"idle {'HTTPS ' if tls else ''}connections: {s.name:20} "
                f"{r['rss0'] / 1024:.2f} MiB idle, "
                f"{r['rss1'] / 1024:.2f} MiB with {r['got1']} connected, "
                f"{r['rss2'] / 1024:.2f} MiB with a partial line on {r['got2']} "
                f"({r['seconds']:.1f} s){'; ' + '; '.join(r['problems']) if r['problems'] else ''}")
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, saved)
        stop_servers(servers)
    return rows(servers, results, count)


def sections(cfg, idle_rows):
    if not idle_rows:
        return []
    return [Section(f"Idle connections: resident memory with {cfg.idle_connections} "
                    f"connections that send nothing, then a partial request line on each",
                    IDLE_COLUMNS, idle_rows)]


def tls_sections(cfg, idle_rows):
    if not idle_rows:
        return []
    return [Section(
        f"Idle HTTPS connections: resident memory with {cfg.idle_connections} connections "
        f"that finished their TLS handshake and send nothing, then a partial request line "
        f"on each", IDLE_COLUMNS, idle_rows,
        text="As the idle connections without TLS, but every connection made its handshake "
             "(TLS 1.3) and the server's session ticket had come before RSS was read; the "
             "partial line goes as one TLS record.")]
