"""Slow clients: slowhttptest holds many connections open doing as little as it can, and checks
with a probe connection of its own, every --slow-probe seconds, whether the server still
answers a request within as many seconds. Every mode runs against all servers at once, each
with its own slowhttptest on the client CPU, so that the three modes cost about their length
each. (A one-second budget is too tight for that: while three attacks open their connections
side by side on a busy machine, even nginx misses a probe now and then. Two seconds is still
far beyond any answer a server that is not held up gives on loopback.)"""

import csv
import dataclasses
import re
import shutil
import subprocess
import time

from ..processes import log, stop_process
from ..procfs import CLK_TCK, proc_cpu_ticks, proc_rss_kib
from ..report import Section, fmt
from ..servers import make_servers, start_servers, stop_servers

SLOW_MODES = [
    # (mode, slowhttptest flag, the file asked for, the mode's own flags)
    # Slow headers: the request's header never ends; a header line follows every 10 s.
    ("slow headers", "-H", "1k.htm", ["-i", "10"]),
    # Slow body: a POST announcing 4 KiB of body that comes a few bytes every 10 s.
    ("slow body", "-B", "1k.htm", ["-i", "10", "-s", "4096"]),
    # Slow read: a receive window of 512 to 1024 bytes, 32 bytes read every 5 s, of an answer
    # far larger than the socket buffers, so the server's sends stall.
    ("slow read", "-X", "10m.htm", ["-w", "512", "-y", "1024", "-n", "5", "-z", "32"]),
]
SLOW_COLUMNS = ["server", "mode", "samples", "available %", "first unavailable s",
                "connected at end", "pending at end", "closed at end", "server CPU s",
                "RSS peak MiB", "slowhttptest ended", "check"]
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


def parse_slowhttptest(csv_text, out_text):
    """Reads what slowhttptest wrote: its CSV statistics (one row a second: seconds, closed,
    pending, connected, and the service-available column, which holds the number of connections
    while its probe is answered and 0 once a probe went unanswered for the probe timeout), and
    its terminal output, from which the exit status and the error count come. When the CSV lacks
    the availability column (older versions), the "service available: YES|NO" lines of the
    output, printed every 5 s, stand in for the samples.
    Returns (samples, exit status, errors at the end): samples is a list of dicts with the keys
    seconds, closed, pending, connected and available (a bool)."""
    samples = []
    rows = list(csv.reader(csv_text.splitlines()))
    text = ANSI.sub("", out_text)
    if rows:
        index = {name.strip().lower(): i for i, name in enumerate(rows[0])}
        keys = ("seconds", "closed", "pending", "connected", "service available")
        if all(k in index for k in keys):
            for row in rows[1:]:
                try:
                    v = {k: int(row[index[k]].strip()) for k in keys}
                except (ValueError, IndexError):
                    continue  # a line cut short when the tool was stopped
                samples.append({"seconds": v["seconds"], "closed": v["closed"],
                                "pending": v["pending"], "connected": v["connected"],
                                "available": v["service available"] > 0})
    if not samples:
        blocks = re.findall(r"status on (\d+)th second:(.*?)service available:\s*(YES|NO)", text,
                            re.S)
        for second, body, yes in blocks:
            counts = dict((k, int(n)) for k, n in re.findall(r"(\w+):\s*(\d+)", body))
            samples.append({"seconds": int(second), "closed": counts.get("closed", 0),
                            "pending": counts.get("pending", 0),
                            "connected": counts.get("connected", 0), "available": yes == "YES"})
    ended = re.findall(r"Exit status:\s*(.*?)\s*$", text, re.M)
    errors = re.findall(r"^\s*error:\s*(\d+)", text, re.M)
    return samples, (ended[-1] if ended else None), (int(errors[-1]) if errors else None)


def _read(path, newline=None):
    try:
        with open(path, errors="replace", newline=newline) as f:
            return f.read()
    except OSError:
        return ""


def availability(samples, ended, probe, length, server_died):
    """Whether the server answered slowhttptest's probes: {"available_pct", "first_down"} (both
    None when there were no samples) and the tool's connections at the end ("connected",
    "pending", "closed", when it reported any). `probe`: the probe's interval (and its budget);
    `length`: the mode's seconds."""
    r = {"available_pct": None, "first_down": None, "samples": 0}
    # Until the first probe has had its time, a row only repeats the tool's initial
    # "available": those rows are no samples. A server that closed every connection of the
    # attack before then ("No open connections left") shed it: its early rows stand. One that
    # could not be reached at all was not available, whatever the rows say.
    early = samples
    samples = [x for x in samples if x["seconds"] >= probe]
    if not samples and ended == "No open connections left":
        samples = early
    unreachable = ended in ("Connection refused", "Cannot establish connection")
    if server_died and samples:
        # The server died during the mode: the seconds the tool did not see count as
        # unavailable ones.
        last = samples[-1]["seconds"]
        samples = samples + [{"seconds": sec, "available": False}
                             for sec in range(last + 1, length + 1)]
    if early:
        r.update({k: early[-1][k] for k in ("connected", "pending", "closed")})
    r["samples"] = len(samples)
    if unreachable:
        r["available_pct"], r["first_down"] = 0.0, early[-1]["seconds"] if early else 0
    elif samples:
        up = sum(1 for x in samples if x["available"])
        r["available_pct"] = 100.0 * up / len(samples)
        down = [x["seconds"] for x in samples if not x["available"]]
        r["first_down"] = down[0] if down else None
    return r


@dataclasses.dataclass
class Outcome:
    results: dict  # {(server, mode): figures, or {"skip": why}}
    rows: list
    skip: str = None


def run(ctx):
    """Runs slowhttptest's three modes against quorvin-serve (its defaults) and nginx (the
    bench configuration)."""
    cfg = ctx.cfg
    if not shutil.which("slowhttptest"):
        return Outcome({}, [], "skipped: slowhttptest not installed (scripts/install-deps bench)")
    results = {}
    length = cfg.slow_duration
    for mode, flag, file, flags in SLOW_MODES:
        # Slow reads pull a large file through hundreds of connections: three such attacks at
        # once load the two CPUs enough that every server's probe, nginx's too, misses an answer
        # now and then. That mode attacks one server at a time.
        groups = [None]
        if flag == "-X":
            groups = [[s.name] for s in make_servers(ctx, "slow")]
        for group in groups:
            # Fresh servers for every mode, so that what one mode left behind (connections the
            # server still holds, memory it grew) does not count against the next.
            servers = start_servers(ctx, "slow", only=group)
            live = [s for s in servers if not s.skip]
            runs = []
            for s in live:
                prefix = ctx.tmp_path(f"slow-{flag[1]}-{s.name.replace(' ', '-')}")
                cmd = cfg.client_pin() + [
                    "slowhttptest", flag, "-c", str(cfg.slow_connections), "-r", "100", "-l",
                    str(length), "-p", str(cfg.slow_probe), "-g", "-o", prefix,
                    "-u", f"http://127.0.0.1:{s.port}/{file}"] + flags
                with open(prefix + ".out", "wb") as out:
                    p = ctx.procs.popen(cmd, stdout=out, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
                runs.append((s, p, prefix, proc_cpu_ticks(s.pid)))
            log(f"slow clients: {mode} ({flag}) against {', '.join(s.name for s in live)} "
                f"for {length} s")
            # slowhttptest stops by itself after its length (or once the server closed every
            # connection); past a generous margin the driver stops it.
            deadline = time.monotonic() + length + 30
            rss_peak = {s.name: proc_rss_kib(s.pid) for s in live}
            cpu_end = {}
            while any(p.poll() is None for _, p, _, _ in runs) and time.monotonic() < deadline:
                for s, p, _, _ in runs:
                    rss_peak[s.name] = max(rss_peak[s.name], proc_rss_kib(s.pid))
                    if p.poll() is not None and s.name not in cpu_end and s.proc.poll() is None:
                        cpu_end[s.name] = proc_cpu_ticks(s.pid)
                time.sleep(0.5)
            for s, p, prefix, ticks0 in runs:
                overdue = p.poll() is None
                stop_process(p)
                ctx.procs.done(p)
                problems = []
                if overdue:
                    problems.append(f"slowhttptest did not end within {length + 30} s")
                died = s.proc.poll() is not None
                if died:
                    problems.append(f"server exited with {s.proc.returncode}")
                    cpu = None
                else:
                    cpu = (cpu_end.get(s.name) or proc_cpu_ticks(s.pid)) - ticks0
                samples, ended, errors = parse_slowhttptest(_read(prefix + ".csv", newline=""),
                                                            _read(prefix + ".out"))
                r = availability(samples, ended, cfg.slow_probe, length, died)
                r.update({"ended": ended or f"exit code {p.returncode}", "errors": errors,
                          "cpu_s": cpu / CLK_TCK if cpu is not None else None,
                          "rss_peak_kib": rss_peak[s.name], "problems": problems,
                          "note": s.note})
                if r["available_pct"] is None:
                    problems.append("no samples from slowhttptest")
                if errors:
                    problems.append(f"{errors} connection errors")
                results[(s.name, mode)] = r
                log(f"slow clients: {mode:12} {s.name:20} "
                    f"{fmt(r['available_pct'], 0)}% of {r['samples']} samples available, "
                    f"{r['ended']}{'; ' + '; '.join(problems) if problems else ''}")
            stop_servers(servers)
            for s in servers:
                if s.skip:
                    results[(s.name, mode)] = {"skip": s.skip}
    return Outcome(results, rows(results))


def rows(results):
    out = []
    for s_name in dict.fromkeys(name for name, _ in results):
        for mode, flag, _, _ in SLOW_MODES:
            r = results.get((s_name, mode))
            if r is None:
                continue
            if "skip" in r:
                out.append([s_name, f"{mode} ({flag})"] + ["-"] * (len(SLOW_COLUMNS) - 3)
                           + [r["skip"]])
                continue
            check = r["problems"] + ([r["note"]] if r["note"] else [])
            out.append([s_name, f"{mode} ({flag})", str(r["samples"]),
                        fmt(r["available_pct"], 1),
                        "-" if r["first_down"] is None else str(r["first_down"]),
                        str(r.get("connected", "-")), str(r.get("pending", "-")),
                        str(r.get("closed", "-")), fmt(r["cpu_s"], 2),
                        fmt(r["rss_peak_kib"] / 1024, 2), r["ended"],
                        "; ".join(check) if check else "ok"])
    return out


def sections(cfg, outcome, serve_options):
    """The slow clients' section: its table, or why the part did not run."""
    if not outcome.rows:
        return [Section("Slow clients", text=outcome.skip or "no server ran", inline=True)]
    title = (f"Slow clients: slowhttptest, {cfg.slow_connections} connections opened at 100 "
             f"a second, {cfg.slow_duration} s per mode, a probe every {cfg.slow_probe} s "
             f"(unavailable when it had no answer within {cfg.slow_probe} s)")
    lacking = [o for o in ("--header-timeout", "--body-timeout", "--send-timeout")
               if o not in serve_options]
    note = ("quorvin-serve runs with its defaults"
            + (f"; it has no {', '.join(lacking)}" if lacking else "") + ".")
    return [Section(title, SLOW_COLUMNS, outcome.rows, text=note)]
