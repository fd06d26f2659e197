"""The targets quorvin-serve is measured against, as a table: each goal names the part it
belongs to, the figure it reads, its limit and which way is good. `verdicts` turns the table and
a run's measurements into the Goals section's rows."""

import dataclasses

from .cells import KEEPALIVE_CELL, TLS_BULK_CELL, TLS_HANDSHAKE_CELL, TLS_KEEPALIVE_CELL
from .parts.bodies import BODY_SIZE
from .parts.bodies import CONNECTIONS as BODY_CONNECTIONS
from .parts.slow import SLOW_MODES
from .report import med

Q, D = "quorvin scktcomp", "quorvin dwinsock"
BINDINGS = (Q, D)
FETCHERS = ("scktcomp", "dwinsock")


@dataclasses.dataclass
class Measured:
    """What a run measured, as the goals read it."""
    results: dict  # {(cell key, server name): [run figures, ...]}
    noisy: float = 10.0  # --noisy: a run where others took more of the server's CPU is disturbed
    idle_rss_kib: dict = dataclasses.field(default_factory=dict)  # matrix servers, idle
    syscalls: dict = dataclasses.field(default_factory=dict)  # {server: [(calls, failed, name)]}
    allocations: dict = dataclasses.field(default_factory=dict)  # {server: (mallocs, instructions)}
    slow: dict = dataclasses.field(default_factory=dict)  # {(server, mode): figures}
    tls_walls: dict = dataclasses.field(default_factory=dict)  # HTTPS client: ms by client
    big_walls: dict = dataclasses.field(default_factory=dict)  # 1 GiB client: ms by client
    big_peaks: dict = dataclasses.field(default_factory=dict)  # 1 GiB client: MiB by client
    # Request bodies: peak RSS in MiB by (server, connections), of runs whose bodies were all
    # answered.
    bodies_peaks: dict = dataclasses.field(default_factory=dict)

    def median(self, cell, server, key):
        runs = self.results.get((cell, server))
        return med(runs, key) if runs else None

    def runs(self, cell, names):
        return [r for n in names for r in self.results.get((cell, n), [])]


# The figures a goal can read. Each is a small record with value(measured): the figure, or None
# when the run did not measure it.

@dataclasses.dataclass(frozen=True)
class CellRatio:
    """A server's median over another's in one cell. Its runs (both servers') mark the
    verdict."""
    cell: str
    server: str
    base: str
    key: str

    def value(self, m):
        x, y = m.median(self.cell, self.server, self.key), m.median(self.cell, self.base, self.key)
        return x / y if x is not None and y else None

    @property
    def marked_by(self):
        return self.cell, (self.server, self.base)


@dataclasses.dataclass(frozen=True)
class CellMedianMiB:
    """A server's median of a figure in KiB, in MiB; nothing when it is 0."""
    cell: str
    server: str
    key: str
    marked_by = None

    def value(self, m):
        v = m.median(self.cell, self.server, self.key)
        return v / 1024 if v else None


@dataclasses.dataclass(frozen=True)
class IdleRssMiB:
    """A matrix server's resident memory after its probe."""
    server: str
    marked_by = None

    def value(self, m):
        v = m.idle_rss_kib.get(self.server)
        return v / 1024 if v else None


@dataclasses.dataclass(frozen=True)
class SyscallsPerRequest:
    server: str
    marked_by = None

    def value(self, m):
        rows = m.syscalls.get(self.server)
        return sum(c for c, _, _ in rows) if rows is not None else None


@dataclasses.dataclass(frozen=True)
class AllocationsPerRequest:
    server: str
    marked_by = None

    def value(self, m):
        found = m.allocations.get(self.server)
        return found[0] if found is not None else None


@dataclasses.dataclass(frozen=True)
class AvailablePct:
    """The share of slowhttptest's samples in which the server answered its probe."""
    server: str
    mode: str
    marked_by = None

    def value(self, m):
        return (m.slow.get((self.server, self.mode)) or {}).get("available_pct")


@dataclasses.dataclass(frozen=True)
class ClientRatio:
    """A client's median wall time over curl's: `table` is "tls_walls" or "big_walls"."""
    table: str
    client: str
    marked_by = None

    def value(self, m):
        walls = getattr(m, self.table)
        wall, curl = walls.get(self.client), walls.get("curl")
        return wall / curl if wall is not None and curl else None


@dataclasses.dataclass(frozen=True)
class PeakOverCurl:
    """How much more a client's peak resident memory was than curl's, in MiB."""
    client: str
    marked_by = None

    def value(self, m):
        peak, curl = m.big_peaks.get(self.client), m.big_peaks.get("curl")
        return peak - curl if peak is not None and curl is not None else None


@dataclasses.dataclass(frozen=True)
class BodiesPeakMiB:
    """A server's peak resident memory while taking `connections` request bodies at once."""
    server: str
    connections: int
    marked_by = None

    def value(self, m):
        return m.bodies_peaks.get((self.server, self.connections))


@dataclasses.dataclass(frozen=True)
class Goal:
    part: str  # listed only when this part ran
    text: str
    figure: object
    limit: object  # a number, or a figure to compare with (another server's)
    at_least: bool  # the figure must reach the limit; otherwise stay within it


def at_most(part, text, figure, limit):
    return Goal(part, text, figure, limit, at_least=False)


def at_least(part, text, figure, limit):
    return Goal(part, text, figure, limit, at_least=True)


KA, HS, TKA, BULK = (KEEPALIVE_CELL.key, TLS_HANDSHAKE_CELL.key, TLS_KEEPALIVE_CELL.key,
                     TLS_BULK_CELL.key)
BIG = "Client, 1 GiB from nginx to disk"

GOALS = [
    *(at_most("matrix", f"{n}: system calls/req at 1 connection ≤ nginx's",
              SyscallsPerRequest(n), SyscallsPerRequest("nginx")) for n in BINDINGS),
    *(at_most("matrix", f"{n}: allocations/req at 1 connection ≤ nginx's",
              AllocationsPerRequest(n), AllocationsPerRequest("nginx")) for n in BINDINGS),
    *(at_most("matrix", f"{c}: {n} CPU/req ≤ 0.85× nginx", CellRatio(c, n, "nginx", "cpu_us"),
              0.85) for c in ("1k@1", "1k@10", "1k@50", "100k@10") for n in BINDINGS),
    *(at_most("matrix", f"{c}: dwinsock CPU/req ≤ 1.20× scktcomp", CellRatio(c, D, Q, "cpu_us"),
              1.2) for c in ("100k@10", "10m@4")),
    *(at_most("matrix", f"{c}: CPU/req ≤ 1.15× floor", CellRatio(c, Q, "floor", "cpu_us"), 1.15)
      for c in ("1k@10", "1k@50")),
    *(at_least("matrix", f"{c}: req/s ≥ 1.00× nginx", CellRatio(c, Q, "nginx", "rps"), 1.0)
      for c in ("1k@10", "1k@50", "100k@10", "10m@4")),
    at_most("matrix", "RSS idle ≤ 3 MiB", IdleRssMiB(Q), 3.0),
    at_most("matrix", "RSS under 1k@50 ≤ 6 MiB", CellMedianMiB("1k@50", Q, "rss_kib"), 6.0),
    *(at_least("matrix", f"{c}: dwinsock req/s ≥ 0.90× scktcomp", CellRatio(c, D, Q, "rps"), 0.9)
      for c in ("1k@1", "1k@10", "1k@50", "100k@10", "10m@4")),
    # Persistent connections: the 1 KiB file over 50 kept connections, against nginx with
    # keep-alive on.
    *(g for n in BINDINGS for g in (
        at_least("keepalive", f"{KA} (keep-alive): {n} req/s ≥ 1.30× nginx",
                 CellRatio(KA, n, "nginx", "rps"), 1.3),
        at_most("keepalive", f"{KA} (keep-alive): {n} CPU/req ≤ 1.00× nginx",
                CellRatio(KA, n, "nginx", "cpu_us"), 1.0))),
    # Slow clients must not keep anyone else out: every probe answered.
    *(at_least("slow", f"slow clients, {mode} ({flag}): {n} available % = 100",
               AvailablePct(n, mode), 100.0) for n in BINDINGS for mode, flag, _, _ in SLOW_MODES),
    # HTTPS, against nginx with the same certificate and TLS settings.
    *(at_most("tls", f"{HS} (HTTPS, full handshakes): {n} CPU/req ≤ 1.00× nginx",
              CellRatio(HS, n, "nginx", "cpu_us"), 1.0) for n in BINDINGS),
    *(at_least("tls", f"{TKA} (HTTPS, keep-alive): {n} req/s ≥ 1.00× nginx",
               CellRatio(TKA, n, "nginx", "rps"), 1.0) for n in BINDINGS),
    *(at_least("tls", f"{BULK} (HTTPS): {n} MiB/s ≥ 1.00× nginx",
               CellRatio(BULK, n, "nginx", "mibps"), 1.0) for n in BINDINGS),
    *(at_most("tls", f"HTTPS client, 10 MiB from nginx: quorvin-fetch {b} wall time ≤ 1.10× curl",
              ClientRatio("tls_walls", f"quorvin-fetch {b}"), 1.1) for b in FETCHERS),
    *(g for b in FETCHERS for g in (
        at_most("matrix", f"{BIG}: quorvin-fetch {b} wall time ≤ 1.10× curl",
                ClientRatio("big_walls", f"quorvin-fetch {b}"), 1.1),
        at_most("matrix", f"{BIG}: quorvin-fetch {b} peak RSS ≤ curl's + 8 MiB "
                "(figure: the difference, MiB)", PeakOverCurl(f"quorvin-fetch {b}"), 8))),
    # Request bodies are spooled, not held: memory stays bounded however many arrive at once.
    *(at_most("bodies", f"request bodies, {c} × {BODY_SIZE // 2**20} MiB at once: {n} peak RSS "
              "≤ 64 MiB", BodiesPeakMiB(n, c), 64.0) for n in BINDINGS for c in BODY_CONNECTIONS),
]


# What can make a verdict less trustworthy than its figure, read from the runs of the cell it
# came from: (the words added to the verdict, whether a run shows it).
def _disturbed(run, noisy):
    return run["other_pct"] > noisy


def _not_reused(run, _noisy):
    return any("not reused" in p for p in run["problems"])


def _resumed(run, _noisy):
    return bool(run.get("resumed"))


def _hung(run, _noisy):
    return bool(run.get("hung") or run.get("late"))


MARKS = [(" (disturbed run)", _disturbed), (" (connections not reused)", _not_reused),
         (" (sessions resumed)", _resumed), (" (connections hung)", _hung)]


def verdict(goal, m):
    """The goal's row: its text, the figure and "met", "NOT met" or "not measured", with the
    marks of the runs it came from."""
    limit = goal.limit.value(m) if hasattr(goal.limit, "value") else goal.limit
    value = goal.figure.value(m) if limit is not None else None
    if value is None:
        return [goal.text, "-", "not measured"]
    ok = value >= limit if goal.at_least else value <= limit
    words = "met" if ok else "NOT met"
    if goal.figure.marked_by:
        runs = m.runs(*goal.figure.marked_by)
        words += "".join(mark for mark, shows in MARKS if any(shows(r, m.noisy) for r in runs))
    return [goal.text, f"{value:.2f}", words]


def verdicts(m, parts, goals=GOALS):
    """The rows of the goals of the parts that ran."""
    return [verdict(g, m) for g in goals if g.part in parts]
