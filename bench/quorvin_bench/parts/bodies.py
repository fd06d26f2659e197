"""Request bodies bounded in memory: many connections each sending a large body at once, which a
server must take whole before it answers, without holding them in memory."""

import re
import resource
import select
import socket
import time

from ..processes import log, raise_nofile
from ..procfs import proc_nofile_soft, tree_rss_kib
from ..report import Section, fmt, ratio
from ..servers import BODIES_PATH, start_servers, stop_servers

BODY_SIZE = 15 * 1024 * 1024
PIECE = 256 * 1024
CONNECTIONS = (40, 500)
BODIES_COLUMNS = ["server", "connections", "RSS before MiB", "RSS peak MiB", "×nginx",
                  "growth KiB/conn", "wall ×nginx", "answered", "fd limit", "check"]
SAMPLE_EVERY = 0.1  # seconds between readings of the server's resident memory


def request_head(port, size=BODY_SIZE, path=BODIES_PATH):
    return (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
            f"Content-Type: application/octet-stream\r\nContent-Length: {size}\r\n"
            f"Connection: close\r\n\r\n").encode()


def answer_status(data):
    """The status code of an answer's first line, or None when `data` holds no status line."""
    found = re.match(rb"HTTP/1\.[01] (\d{3})", data)
    return int(found.group(1)) if found else None


def tally(answers, early):
    """What the connections' answers say: (answered with 200, the problems). `answers` holds the
    bytes each connection received up to its close; `early`, how many were answered or closed
    by the server before their body was whole."""
    ok, problems, others = 0, [], {}
    for data in answers:
        code = answer_status(data)
        if code == 200:
            ok += 1
        else:
            key = str(code) if code is not None else ("closed" if not data else "no status line")
            others[key] = others.get(key, 0) + 1
    if early:
        problems.append(f"{early} answered or closed before the body was whole")
    problems += [f"{n} {what}" for what, n in sorted(others.items())]
    return ok, problems


class _Sampler:
    """The highest resident memory of a server's processes, read at most every SAMPLE_EVERY
    seconds as the client's loop comes by."""

    def __init__(self, pid):
        self.pid, self.peak, self.last = pid, tree_rss_kib(pid), time.monotonic()

    def tick(self, force=False):
        now = time.monotonic()
        if force or now - self.last >= SAMPLE_EVERY:
            self.peak = max(self.peak, tree_rss_kib(self.pid))
            self.last = now


def send_bodies(s, count, size=BODY_SIZE, piece=PIECE):
    """Opens `count` connections to the server `s`, sends each a POST of `size` bytes in pieces
    of `piece`, all in step (no connection is sent its next piece before every one has had the
    one before), so that all bodies are in flight together, then reads every answer. Samples the
    server's resident memory throughout. Returns the figures."""
    sampler = _Sampler(s.pid)
    rss0 = sampler.peak
    block = memoryview(b"\x5a" * piece)
    head = request_head(s.port, size)
    socks, problems = [], []
    t0 = time.monotonic()
    for i in range(count):
        try:
            c = socket.create_connection(("127.0.0.1", s.port), timeout=10)
            c.sendall(head)
            c.setblocking(False)
            socks.append(c)
        except OSError as e:
            problems.append(f"connection {i + 1} failed: {e}")
            break
        sampler.tick()
    ep = select.epoll()
    by_fd = {c.fileno(): i for i, c in enumerate(socks)}
    sent = [0] * len(socks)
    received = [b"" for _ in socks]
    ended = [False] * len(socks)  # answered and closed, or reset, by the server
    early = set()  # connections answered or closed before their body was whole

    def end(i):
        if not ended[i]:
            ended[i] = True
            ep.unregister(socks[i].fileno())

    def read(i):
        """Reads what came on connection `i`; once the server has closed it, no more events."""
        if ended[i]:
            return
        got, closed = _read_some(socks[i], received, i)
        if (got or closed) and sent[i] < size:
            early.add(i)
        if closed:
            end(i)

    def push(i, target):
        """Sends connection `i` its body up to `target` bytes; returns whether it got there (or
        has ended)."""
        while sent[i] < target and not ended[i]:
            try:
                sent[i] += socks[i].send(block[:target - sent[i]])
            except BlockingIOError:
                return False
            except OSError:
                read(i)  # reset: what the server said before, if anything
                end(i)
        return True

    try:
        for c in socks:
            ep.register(c.fileno(), select.EPOLLIN)
        target = 0
        while target < size:
            target = min(size, target + piece)
            waiting = {i for i in range(len(socks)) if not push(i, target)}
            for i in waiting:
                ep.modify(socks[i].fileno(), select.EPOLLIN | select.EPOLLOUT)
            while waiting:
                for fd, ev in ep.poll(SAMPLE_EVERY):
                    i = by_fd[fd]
                    if ev & (select.EPOLLIN | select.EPOLLHUP | select.EPOLLERR):
                        read(i)  # an answer or the end before the body was whole
                    if i in waiting and (ended[i] or push(i, target)):
                        waiting.discard(i)
                        if not ended[i]:
                            ep.modify(fd, select.EPOLLIN)
                sampler.tick()
        # Every body is whole: the answers.
        deadline = time.monotonic() + 60
        while not all(ended) and time.monotonic() < deadline:
            for fd, _ in ep.poll(SAMPLE_EVERY):
                read(by_fd[fd])
            sampler.tick()
        if not all(ended):
            problems.append(f"{ended.count(False)} not answered within 60 s")
        sampler.tick(force=True)
    finally:
        ep.close()
        for c in socks:
            c.close()
    wall = time.monotonic() - t0
    ok, answer_problems = tally(received, len(early))
    if s.proc.poll() is not None:
        problems.append(f"server exited with {s.proc.returncode}")
    return {"rss0": rss0, "peak": sampler.peak, "opened": len(socks), "wanted": count,
            "ok": ok, "wall": wall, "problems": problems + answer_problems,
            "nofile": proc_nofile_soft(s.pid)}


def _read_some(c, received, i):
    """Reads what has come on connection `i`, keeping the first 4 KiB in received[i]. Returns
    (whether anything came, whether the server closed or reset the connection)."""
    got = False
    while True:
        try:
            data = c.recv(65536)
        except BlockingIOError:
            return got, False
        except OSError:
            return got, True
        if not data:
            return got, True
        got = True
        if len(received[i]) < 4096:
            received[i] += data


def rows(servers, results):
    """The table's rows: `results` by (server name, connections)."""
    out = []
    for s in servers:
        for count in CONNECTIONS:
            r = results.get((s.name, count))
            if r is None:
                out.append([s.name, str(count)] + ["-"] * (len(BODIES_COLUMNS) - 3)
                           + [s.skip or "no run"])
                continue
            n = results.get(("nginx", count))
            check = r["problems"] + ([s.note] if s.note else [])
            growth = (r["peak"] - r["rss0"]) / r["opened"] if r["opened"] else None
            out.append([s.name, str(count), fmt(r["rss0"] / 1024, 2), fmt(r["peak"] / 1024, 2),
                        ratio(r["peak"], n["peak"] if n else None), fmt(growth, 1),
                        ratio(r["wall"], n["wall"] if n else None),
                        f"{r['ok']} of {r['wanted']}", r["nofile"],
                        "; ".join(check) if check else "ok"])
    return out


def peaks_mib(results):
    """{(server name, connections): peak RSS in MiB} for the goals."""
    return {key: r["peak"] / 1024 for key, r in results.items() if r["ok"] == r["wanted"]}


def run(ctx):
    """quorvin-serve (both bindings) and nginx taking CONNECTIONS bodies at once. Returns
    (the table's rows, {(server, connections): figures})."""
    servers = [s for s in start_servers(ctx, "bodies") if s.name != "floor"]
    results = {}
    saved = raise_nofile()
    try:
        for s in servers:
            if s.skip:
                continue
            for count in CONNECTIONS:
                time.sleep(0.3)
                r = results[(s.name, count)] = send_bodies(s, count)
                log(f"bodies: {s.name:20} {count:4} × {BODY_SIZE // 2**20} MiB: RSS "
                    f"{r['rss0'] / 1024:.2f} MiB before, peak {r['peak'] / 1024:.2f} MiB, "
                    f"{r['ok']} answered 200 ({r['wall']:.1f} s)"
                    f"{'; ' + '; '.join(r['problems']) if r['problems'] else ''}")
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, saved)
        stop_servers(servers)
    return rows(servers, results), results


def sections(bodies_rows):
    if not bodies_rows:
        return []
    return [Section(
        f"Request bodies: {', '.join(map(str, CONNECTIONS))} connections at once, each sending "
        f"{BODY_SIZE // 2**20} MiB in pieces of {PIECE // 1024} KiB, all in step",
        BODIES_COLUMNS, bodies_rows,
        text=f"quorvin-serve takes each body whole for its /status action ({BODIES_PATH}); "
             "nginx reads each into its body buffer (16 KiB, the rest in a file) through the "
             "mirror module. RSS peak: the highest resident memory of the server's processes "
             f"sampled every {SAMPLE_EVERY:g} s from the first connection to the last answer.")]
