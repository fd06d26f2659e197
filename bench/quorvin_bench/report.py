"""The report: figures of runs reduced to medians and ratios, the tables of the cells, and the
sections printed on stdout and written to bench/RESULTS.md."""

import dataclasses
import platform
import re
import statistics
import subprocess
from typing import Optional

from . import s_time
from .cells import MATRIX


def med(runs, key):
    return statistics.median(r[key] for r in runs) if runs else None


def spread(runs, key):
    vals = [r[key] for r in runs]
    if len(vals) < 2 or not statistics.median(vals):
        return None
    return (max(vals) - min(vals)) / statistics.median(vals) * 100


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "-"


def fmt(v, digits=0):
    if v is None:
        return "-"
    return f"{v:,.{digits}f}"


def text_table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    out = ["  ".join(str(h).ljust(w) if i == 0 else str(h).rjust(w)
                     for i, (h, w) in enumerate(zip(header, widths))).rstrip()]
    for r in rows:
        out.append("  ".join(str(c).ljust(w) if i in (0, len(r) - 1) else str(c).rjust(w)
                             for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    return "\n".join(out)


def md_table(header, rows):
    out = ["| " + " | ".join(header) + " |",
           "|" + "|".join("---" if i == 0 or i == len(header) - 1 else "---:"
                          for i in range(len(header))) + "|"]
    for r in rows:
        out.append("| " + " | ".join(str(c) for c in r) + " |")
    return "\n".join(out)


@dataclasses.dataclass
class Section:
    """One section of the report: a heading, a paragraph and a table, each optional but the
    heading. On stdout the heading may read otherwise (`shown_title`), a part that did not run
    is one line ("title: text", `inline`), and a section may be left out of one of the two
    (`printed`, `written`); `results_text` is a paragraph for RESULTS.md alone."""
    title: str
    columns: Optional[list] = None
    rows: Optional[list] = None
    text: str = ""
    shown_title: Optional[str] = None
    inline: bool = False
    printed: bool = True
    written: bool = True
    results_text: str = ""

    def as_text(self):
        if self.inline:
            return f"\n{self.title}: {self.text}"
        return (f"\n{self.shown_title or self.title}" + (f"\n{self.text}" if self.text else "")
                + (f"\n{text_table(self.columns, self.rows)}" if self.columns else ""))

    def as_markdown(self):
        text = self.text or self.results_text
        return (f"## {self.title}\n\n" + (f"{text}\n" if text else "")
                + (("\n" if text else "") + f"{md_table(self.columns, self.rows)}\n"
                   if self.columns else ""))


COLUMNS = ["server", "req/s", "±%", "×nginx", "×floor", "MiB/s", "×nginx", "CPU µs/req",
           "×nginx", "×floor", "busy %", "RSS load MiB", "×nginx", "p99 ms", "CPU0 other %",
           "check"]
# The keep-alive row has no floor (it answers one request per connection); instead it shows how
# many requests the server's open connections had carried near the end of a run (the median).
KEEPALIVE_COLUMNS = ["server", "req/s", "±%", "×nginx", "MiB/s", "×nginx", "CPU µs/req", "×nginx",
                     "busy %", "RSS load MiB", "×nginx", "p99 ms", "req/conn", "CPU0 other %",
                     "check"]
# A full handshake per request: no MiB/s (a 1 KiB answer), no latency (s_time measures none),
# and the connections that resumed a session instead, which must be none.
HANDSHAKE_COLUMNS = ["server", "req/s", "±%", "×nginx", "CPU µs/req", "×nginx", "busy %",
                     "RSS load MiB", "×nginx", "resumed", "CPU0 other %", "check"]
# HTTPS without a floor (it speaks no TLS); whether kernel TLS carried the answers.
TLS_COLUMNS = ["server", "req/s", "±%", "×nginx", "MiB/s", "×nginx", "CPU µs/req", "×nginx",
               "busy %", "RSS load MiB", "×nginx", "p99 ms", "kernel TLS", "CPU0 other %",
               "check"]
MEMORY_COLUMNS = ["server", "RSS idle MiB", "×nginx", "×floor", "RSS peak under load MiB", "note"]
SYSCALL_COLUMNS = ["server", "calls/req", "×nginx", "failed/req", "calls"]
ALLOCATION_COLUMNS = ["server", "mallocs/req", "×nginx", "instructions/req", "×nginx"]
BINDING_COLUMNS = ["cell", "scktcomp CPU µs/req", "dwinsock CPU µs/req",
                   "dwinsock ÷ scktcomp CPU", "dwinsock ÷ scktcomp req/s"]
GOAL_COLUMNS = ["goal (quorvin-serve)", "figure", "result"]


def columns_for(cell):
    if cell.handshake:
        return HANDSHAKE_COLUMNS
    if cell.keepalive:
        return KEEPALIVE_COLUMNS
    return TLS_COLUMNS if cell.tls else COLUMNS


def cell_rows(cell, servers, results):
    def get(name, key):
        return med(results.get((cell.key, name), []), key)

    columns = columns_for(cell)
    rows = []
    for s in servers:
        if not s.serves(cell):
            continue
        runs = results.get((cell.key, s.name), [])
        if not runs:
            rows.append([s.name] + ["-"] * (len(columns) - 2) + [s.skip or "no run"])
            continue
        rps, mibps, cpu = med(runs, "rps"), med(runs, "mibps"), med(runs, "cpu_us")
        rss = med(runs, "rss_kib") / 1024
        problems = sorted({p for r in runs for p in r["problems"]}) + ([s.note] if s.note else [])
        if cell.handshake:
            problems += s_time.hung_text(cell, runs)
        n_rss = get("nginx", "rss_kib")
        sp = spread(runs, "rps")
        req_s = [fmt(rps), fmt(sp, 1) if sp is not None else "-", ratio(rps, get("nginx", "rps"))]
        mib_s = [fmt(mibps, 1), ratio(mibps, get("nginx", "mibps"))]
        cpu_s = [fmt(cpu, 1), ratio(cpu, get("nginx", "cpu_us"))]
        load = [fmt(med(runs, "busy_pct"), 0), fmt(rss, 2),
                ratio(rss, n_rss / 1024 if n_rss else None)]
        tail = ["-" if cell.workers else fmt(max(r["other_pct"] for r in runs), 0),
                "; ".join(problems) if problems else "ok"]
        if cell.handshake:
            rows.append([s.name] + req_s + cpu_s + load + [str(sum(r["resumed"] for r in runs))]
                        + tail)
            continue
        load.append(fmt(med(runs, "p99_ms"), 2))
        if cell.tls and not cell.keepalive:
            rows.append([s.name] + req_s + mib_s + cpu_s + load + [s.kernel_tls or "-"] + tail)
        elif cell.keepalive:
            rows.append([s.name] + req_s + mib_s + cpu_s + load
                        + [fmt(med(runs, "req_per_conn"), 0)] + tail)
        else:
            rows.append([s.name] + req_s + [ratio(rps, get("floor", "rps"))] + mib_s + cpu_s
                        + [ratio(cpu, get("floor", "cpu_us"))] + load + tail)
    return rows


def cell_sections(cells, servers, results):
    return [Section(cell.title, columns_for(cell), cell_rows(cell, servers, results))
            for cell in cells]


def memory_rows(servers, results):
    nginx = next((s for s in servers if s.name == "nginx" and s.idle_rss_kib), None)
    floor = next((s for s in servers if s.name == "floor" and s.idle_rss_kib), None)
    rows = []
    for s in servers:
        if not s.idle_rss_kib:
            rows.append([s.name, "-", "-", "-", "-", s.skip or ""])
            continue
        idle = s.idle_rss_kib / 1024
        loads = [med(results[(c.key, s.name)], "rss_kib") for c in MATRIX
                 if (c.key, s.name) in results]
        peak = max(loads) / 1024 if loads else None
        rows.append([s.name, fmt(idle, 2),
                     ratio(idle, nginx.idle_rss_kib / 1024 if nginx else None),
                     ratio(idle, floor.idle_rss_kib / 1024 if floor else None), fmt(peak, 2),
                     s.skip or ""])
    return rows


def syscall_rows(found):
    """One row per server: system calls per request, the ratio to nginx's, and the calls."""
    totals = {name: sum(c for c, _, _ in rows) for name, rows in found.items()}
    base = totals.get("nginx")
    out = []
    for name, rows in found.items():
        calls = ", ".join(f"{call} {c:.2f}" for c, _, call in rows if c >= 0.05)
        failed = sum(e for _, e, _ in rows)
        out.append([name, f"{totals[name]:.2f}", ratio(totals[name], base), f"{failed:.2f}",
                    calls])
    return out


def binding_rows(results, cells):
    """The second binding against the first, cell by cell: CPU per request and req/s."""
    q, d = "quorvin scktcomp", "quorvin dwinsock"
    rows = []
    for cell in cells:
        a, b = results.get((cell.key, q)), results.get((cell.key, d))
        if not a or not b:
            continue
        rows.append([cell.key, fmt(med(a, "cpu_us"), 1), fmt(med(b, "cpu_us"), 1),
                     ratio(med(b, "cpu_us"), med(a, "cpu_us")),
                     ratio(med(b, "rps"), med(a, "rps"))])
    return rows


def versions():
    def version(cmd, pattern):
        try:
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            return "-"
        found = re.search(pattern, p.stdout + p.stderr)
        return found.group(1) if found else "-"
    return {"nginx": version(["nginx", "-v"], r"nginx/(\S+)"),
            "lighttpd": version(["lighttpd", "-v"], r"lighttpd/(\S+)"),
            "python": platform.python_version(),
            "wrk": version(["wrk", "-v"], r"wrk (?:debian/)?(\S+)"),
            "curl": version(["curl", "--version"], r"curl (\S+)")}


COLUMNS_NOTE = (
    "Columns: req/s and MiB/s as wrk counted them (±% is the spread of the runs' req/s);"
    " CPU µs/req is the server process's utime+stime over the completed requests;"
    " busy % is the server's CPU time over the run's wall time (near 100: the server was"
    " the bottleneck; well below: wrk or the network path was);"
    " CPU0 other % is the largest share, over the runs, of the server CPU's time"
    " that went to other processes (a clean run shows 0-2); RSS load is the highest VmRSS"
    " sampled during a run. "
    "×nginx and ×floor divide by the same figure of nginx and of the floor server. "
    "bench/README.md describes the keep-alive row, the slow clients, the idle "
    "connections and HTTPS.")


@dataclasses.dataclass
class Heading:
    """What the report says before its sections."""
    header: str    # the run: its length, CPUs, the kind of load
    machine: str   # CPUs, memory, kernel, load average
    versions: dict  # the peers' and tools' versions by name
    took: dict     # seconds each part took, by name

    def as_text(self):
        return "\n".join([self.header, self.machine,
                          "Versions: " + ", ".join(f"{k} {v}" for k, v in self.versions.items()),
                          "Time taken: " + ", ".join(f"{k} {v:.0f} s"
                                                     for k, v in self.took.items())])

    def as_markdown(self):
        return ["# Benchmark results\n", f"{self.header}.\n", f"Machine: {self.machine}.\n",
                "Versions: " + ", ".join(f"{k} {v}" for k, v in self.versions.items()) + ".\n",
                COLUMNS_NOTE + "\n"]


def text(heading, sections):
    """The report as stdout shows it."""
    # Each section's text starts with a blank line.
    return "\n".join([heading.as_text()] + [s.as_text() for s in sections if s.printed])


def markdown(heading, sections, notes=None):
    """The report as bench/RESULTS.md holds it."""
    md = heading.as_markdown() + [s.as_markdown() for s in sections if s.written]
    if notes:
        md.append(f"## Notes\n\n{notes}\n")
    return "\n".join(md)
