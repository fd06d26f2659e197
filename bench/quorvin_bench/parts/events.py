"""Server-Sent Events subscribers: what a subscriber costs a server in resident memory, and how
long one event takes to reach every subscriber (the fan-out), seen from the receiving side."""

import re
import resource
import select
import socket
import statistics
import struct
import time

from ..processes import log, raise_nofile
from ..procfs import (CLK_TCK, cpu_busy_ticks, proc_nofile_soft, tree_cpu_ticks,
                      tree_rss_kib)
from ..report import Section, fmt, ratio
from ..servers import start_servers, stop_servers

EVENTS_COLUMNS = ["server", "subscribers", "RSS before MiB", "RSS with them MiB",
                  "KiB/subscriber", "×nginx", "fan-out ms", "×floor", "slowest ms", "ticks",
                  "fd limit", "CPU0 other %", "check"]
# Kernel receive timestamps: the time a segment reached the receiving socket, whenever the
# client reads it. The value is the generic one; Python names it only on some versions.
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
STAMP = struct.Struct("@qq")  # struct timespec
BATCH = 100  # connections opened before waiting for their answers
TICK_ID = re.compile(rb"(?:^|\n)id: (\d+)\n")


def kernel_stamp(ancdata):
    """The receive time in seconds from recvmsg's ancillary data, or None when it has none."""
    for level, kind, data in ancdata:
        if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= STAMP.size:
            sec, nsec = STAMP.unpack_from(data)
            return sec + nsec / 1e9
    return None


def sse_ready(buf):
    """An event stream has begun: quorvin-serve's and the floor's first event has come."""
    return b"data: listening\n\n" in buf


def answer_whole(buf):
    """A whole answer with a Content-Length has come (nginx's answer to a kept connection)."""
    head, sep, body = buf.partition(b"\r\n\r\n")
    if not sep:
        return False
    length = re.search(rb"(?im)^content-length:[ \t]*(\d+)", head)
    return length is not None and len(body) >= int(length.group(1))


class Ticks:
    """When each tick reached the subscribers: the first and the last arrival, and how many got
    it. A read that holds more than one tick counts its time for each."""

    def __init__(self):
        self.first, self.last, self.count = {}, {}, {}

    def arrived(self, data, stamp):
        for found in TICK_ID.finditer(data):
            k = int(found.group(1))
            self.count[k] = self.count.get(k, 0) + 1
            self.first[k] = min(self.first.get(k, stamp), stamp)
            self.last[k] = max(self.last.get(k, stamp), stamp)

    def newest(self):
        return max(self.count, default=0)

    def fanouts(self, after, subscribers):
        """The ticks after tick `after` that every one of `subscribers` got: [(tick, ms from its
        first arrival to its last)]."""
        return [(k, (self.last[k] - self.first[k]) * 1000) for k in sorted(self.count)
                if k > after and self.count[k] >= subscribers]


class Crowd:
    """Many client connections to one server, read from one epoll set, each sending one request
    and then reading: what comes before `ready(buf)` holds is kept, what comes after is
    discarded once its ticks are noted."""

    def __init__(self, port, request, ready):
        self.port, self.request, self.ready = port, request, ready
        self.ep = select.epoll()
        self.socks, self.bufs, self.is_ready, self.by_fd = [], [], [], {}
        self.closed, self.ticks, self.problems = 0, Ticks(), []
        self.stamped = True  # every read had a kernel timestamp

    def open(self, count, timeout=10.0):
        """Opens `count` connections, BATCH at a time, each waited for until it is ready (up to
        `timeout` seconds a batch). Returns how many are ready."""
        while len(self.socks) < count:
            first = len(self.socks)
            for _ in range(min(BATCH, count - first)):
                try:
                    c = socket.create_connection(("127.0.0.1", self.port), timeout=5)
                    c.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
                    c.sendall(self.request)
                    c.setblocking(False)
                except OSError as e:
                    self.problems.append(f"connection {len(self.socks) + 1} failed: {e}")
                    return self.ready_count()
                self.by_fd[c.fileno()] = len(self.socks)
                self.socks.append(c)
                self.bufs.append(b"")
                self.is_ready.append(False)
                self.ep.register(c.fileno(), select.EPOLLIN)
            deadline = time.monotonic() + timeout
            while (not all(self.is_ready[first:]) and time.monotonic() < deadline):
                self.pump(0.1)
            if not all(self.is_ready[first:]):
                self.problems.append(f"{self.is_ready[first:].count(False)} of connections "
                                     f"{first + 1} to {len(self.socks)} not answered in "
                                     f"{timeout:g} s")
                return self.ready_count()
        return self.ready_count()

    def ready_count(self):
        return sum(self.is_ready)

    def pump(self, timeout):
        """Reads whatever has come within `timeout` seconds."""
        for fd, _ in self.ep.poll(timeout):
            i = self.by_fd[fd]
            c = self.socks[i]
            try:
                data, anc, _, _ = c.recvmsg(65536, socket.CMSG_SPACE(STAMP.size))
            except BlockingIOError:
                continue
            except OSError:
                data, anc = b"", []
            if not data:
                self.ep.unregister(fd)
                self.closed += 1
                continue
            if not self.is_ready[i]:
                self.bufs[i] += data
                if self.ready(self.bufs[i]):
                    self.is_ready[i], self.bufs[i] = True, b""
                continue
            stamp = kernel_stamp(anc)
            if stamp is None:
                self.stamped, stamp = False, time.time()
            self.ticks.arrived(data, stamp)

    def close(self):
        self.ep.close()
        for c in self.socks:
            c.close()


def other_pct(busy_ticks, own_ticks, seconds):
    """The share of a CPU's time that went to other programs: its busy ticks less the server's
    own, over the wall time."""
    if seconds <= 0:
        return None
    return max(0.0, (busy_ticks - own_ticks) / CLK_TCK / seconds * 100)


def subscribers_memory(s, count, ticks_wanted, cpu):
    """Opens `count` subscribers to the server `s` (for nginx: kept connections that have had
    one answer), reads its resident memory before and with them, and, for a server that sends
    events, the fan-out of `ticks_wanted` ticks that every subscriber got, and how much of the
    server's CPU `cpu` other programs took meanwhile. Returns the figures."""
    sse = s.name != "nginx"
    if sse:
        request = (f"GET /events HTTP/1.1\r\nHost: 127.0.0.1:{s.port}\r\n"
                   f"Accept: text/event-stream\r\n\r\n").encode()
        ready = sse_ready
    else:
        request = f"GET /1k.htm HTTP/1.1\r\nHost: 127.0.0.1:{s.port}\r\n\r\n".encode()
        ready = answer_whole
    rss0 = tree_rss_kib(s.pid)
    crowd = Crowd(s.port, request, ready)
    t0 = time.monotonic()
    try:
        got = crowd.open(count)
        settle = time.monotonic() + 0.5
        while time.monotonic() < settle:
            crowd.pump(0.1)
        rss1 = rss2 = tree_rss_kib(s.pid)
        fanouts, other = [], None
        if sse and got:
            # Ticks sent while subscribers were still joining reached only some: the ones
            # counted start after the newest tick seen once all had joined.
            after = crowd.ticks.newest()
            busy0, own0, w0 = cpu_busy_ticks(cpu), tree_cpu_ticks(s.pid), time.monotonic()
            deadline = time.monotonic() + ticks_wanted + 2.5
            while time.monotonic() < deadline:
                crowd.pump(0.1)
                rss2 = max(rss2, tree_rss_kib(s.pid))
                fanouts = crowd.ticks.fanouts(after, got - crowd.closed)
                # The last of them must have had time to reach every subscriber.
                if len(fanouts) >= ticks_wanted:
                    fanouts = fanouts[:ticks_wanted]
                    break
            other = other_pct(cpu_busy_ticks(cpu) - busy0, tree_cpu_ticks(s.pid) - own0,
                              time.monotonic() - w0)
        problems = list(crowd.problems)
        if crowd.closed:
            problems.append(f"{crowd.closed} closed by the server")
        if sse and len(fanouts) < ticks_wanted:
            problems.append(f"{len(fanouts)} of {ticks_wanted} ticks reached every subscriber")
        if sse and not crowd.stamped:
            problems.append("no kernel receive timestamps: times are the client's reads")
    finally:
        crowd.close()
    if s.proc.poll() is not None:
        problems.append(f"server exited with {s.proc.returncode}")
    return {"rss0": rss0, "rss1": rss1, "rss2": rss2, "got": got, "wanted": count,
            "fanouts": [ms for _, ms in fanouts], "ticks_wanted": ticks_wanted if sse else 0,
            "problems": problems, "nofile": proc_nofile_soft(s.pid), "other_pct": other,
            "seconds": time.monotonic() - t0}


def _per_subscriber(r):
    if not r["got"]:
        return None
    return (max(r["rss1"], r["rss2"]) - r["rss0"]) / r["got"]


def _fanout(r):
    return statistics.median(r["fanouts"]) if r and r["fanouts"] else None


def rows(servers, results):
    """The table's rows: `results` by server name."""
    n, f = results.get("nginx"), results.get("floor")
    n_kib = _per_subscriber(n) if n else None
    f_ms = _fanout(f)
    out = []
    for s in servers:
        r = results.get(s.name)
        if r is None:
            out.append([s.name] + ["-"] * (len(EVENTS_COLUMNS) - 2) + [s.skip or "no run"])
            continue
        kib, ms = _per_subscriber(r), _fanout(r)
        few = r["got"] < 0.9 * r["wanted"]  # the growth over a few is noise: no ratio
        check = r["problems"] + ([s.note] if s.note else [])
        out.append([
            s.name + (" (kept connections)" if s.name == "nginx" else ""),
            f"{r['got']} of {r['wanted']}", fmt(r["rss0"] / 1024, 2),
            fmt(max(r["rss1"], r["rss2"]) / 1024, 2), fmt(kib, 2),
            "-" if few else ratio(kib, n_kib), fmt(ms, 1), ratio(ms, f_ms),
            fmt(max(r["fanouts"]), 1) if r["fanouts"] else "-",
            f"{len(r['fanouts'])} of {r['ticks_wanted']}" if r["ticks_wanted"] else "-",
            r["nofile"], fmt(r["other_pct"], 0), "; ".join(check) if check else "ok"])
    return out


def run(ctx):
    """quorvin-serve (both bindings) and the floor with --subscribers event subscribers, nginx
    with as many kept connections. Returns the table's rows."""
    count = ctx.cfg.subscribers
    ticks_wanted = 2 if ctx.cfg.quick else 3
    servers = start_servers(ctx, "events")
    results = {}
    saved = raise_nofile()
    # The kernel stamps arriving packets only while some socket asks for it, and turns that on a
    # moment after the first one does: one socket asks from the start, so that the first
    # server's ticks are stamped too.
    stamping = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    stamping.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    try:
        for s in servers:
            if s.skip:
                continue
            time.sleep(0.3)
            r = results[s.name] = subscribers_memory(s, count, ticks_wanted, ctx.cfg.server_cpu)
            fan = (f", fan-out {statistics.median(r['fanouts']):.1f} ms (median of "
                   f"{len(r['fanouts'])})" if r["fanouts"] else "")
            log(f"events: {s.name:20} {r['rss0'] / 1024:.2f} MiB before, "
                f"{max(r['rss1'], r['rss2']) / 1024:.2f} MiB with {r['got']} subscribers{fan} "
                f"({r['seconds']:.1f} s){'; ' + '; '.join(r['problems']) if r['problems'] else ''}")
    finally:
        stamping.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, saved)
        stop_servers(servers)
    return rows(servers, results)


def sections(cfg, events_rows):
    if not events_rows:
        return []
    return [Section(
        f"Server-Sent Events: {cfg.subscribers} subscribers, one tick a second to all",
        EVENTS_COLUMNS, events_rows,
        text="quorvin-serve's /events and the floor's event job (one write per subscriber per "
             "tick, nothing else) against nginx holding as many kept connections that have had "
             "one answer (it has no event streams of its own): KiB/subscriber is the growth of "
             "resident memory over the subscribers. fan-out ms: from the first subscriber's "
             "receipt of a tick to the last one's, by the kernel's receive timestamps, the "
             "median over the ticks every subscriber got; slowest ms the largest of them. "
             "CPU0 other %: the share of the server CPU's time that went to other programs "
             "during the ticks.")]
