"""Profiles of the servers' per-request path, instead of the matrix (--strace, --perf,
--callgrind), and the system calls per request that the matrix reports."""

import os
import re
import shutil
import signal
import subprocess
import time

from .. import http_io
from ..cells import MATRIX
from ..processes import log, stop_process
from ..report import ALLOCATION_COLUMNS, Section, SYSCALL_COLUMNS, ratio, syscall_rows
from ..servers import make_servers
from ..wrk import run_wrk


def parse_strace_summary(text, count):
    """The table of `strace -c` as [(calls per request, failed per request, syscall), ...],
    most calls first, over `count` requests."""
    rows = []
    for line in text.splitlines():
        parts = line.split()
        # "% time  seconds  usecs/call  calls  [errors]  syscall"
        if len(parts) >= 5 and re.match(r"^[\d.]+$", parts[0]) and parts[-1] != "total":
            errors = int(parts[4]) if len(parts) == 6 else 0
            rows.append((int(parts[3]) / count, errors / count, parts[-1]))
    rows.sort(reverse=True)
    return rows


def strace_profile(ctx, servers, count, names=None, verbose=True):
    """Attaches strace -c -f to each running server while `count` sequential 1 KiB requests are
    answered, one connection at a time. Returns {server name: [(calls per request, failed per
    request, syscall), ...]} and prints each table when `verbose`."""
    if not shutil.which("strace"):
        log("strace profile: skipped: strace not installed")
        return {}
    found = {}
    for s in servers:
        if s.skip or not s.serves(MATRIX[0]) or (names and s.name not in names):
            continue
        out = ctx.tmp_path(f"strace-{s.name.replace(' ', '-')}.txt")
        p = ctx.procs.popen(["strace", "-c", "-f", "-o", out, "-p", str(s.pid)],
                            stderr=subprocess.DEVNULL)
        time.sleep(1.0)  # strace attaches asynchronously; give it its moment
        for _ in range(count):
            http_io.http10_get(s.port, "/1k.htm")
        os.kill(p.pid, signal.SIGINT)
        p.wait(timeout=30)
        ctx.procs.done(p)
        with open(out) as f:
            rows = parse_strace_summary(f.read(), count)
        found[s.name] = rows
        if verbose:
            print(f"\nstrace -c -f on {s.name}, {count} requests of 1 KiB (calls per request):")
            print("   calls  failed  syscall")
            for c, e, name in rows:
                if c >= 0.05:
                    print(f"  {c:6.2f}  {e:6.2f}  {name}")
            print(f"  {sum(c for c, _, _ in rows):6.2f}          total")
    return found


def syscall_sections(cfg, found):
    rows = syscall_rows(found)
    if not rows:
        return []
    return [Section(f"System calls per request: 1 KiB, one connection at a time "
                    f"(strace -c over {cfg.strace_requests} requests)", SYSCALL_COLUMNS, rows)]


def perf_profile(ctx, servers, seconds):
    """Samples each server with perf while wrk loads it with the 1 KiB file at 10 connections;
    prints the hottest symbols."""
    if not shutil.which("perf"):
        print("perf profile: skipped: perf not installed")
        return
    for s in servers:
        if s.skip or not s.group == "quorvin":
            continue
        data = ctx.tmp_path(f"perf-{s.name.replace(' ', '-')}.data")
        p = ctx.procs.popen(["perf", "record", "-g", "-o", data, "-p", str(s.pid)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        run_wrk(ctx, s, MATRIX[1], seconds, sample_rss=False)
        os.kill(p.pid, signal.SIGINT)
        p.wait(timeout=60)
        ctx.procs.done(p)
        print(f"\nperf on {s.name}, 1 KiB at 10 connections, {seconds:g} s (self time):")
        for sort, limit in (("dso", "0.5"), ("dso,symbol", "0.7")):
            rep = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children",
                                  "--sort", sort, "-g", "none", "--percent-limit", limit],
                                 capture_output=True, text=True, timeout=300)
            for line in rep.stdout.splitlines():
                if line.strip() and not line.startswith("#"):
                    print("  " + " ".join(line.split()).rstrip(" -"))
            print()


def malloc_calls(lines):
    """The number of calls of malloc recorded in the lines of a callgrind dump (names are
    compressed: the first mention of a function gives "(id) name", later ones only "(id)")."""
    names, calls, callee = {}, 0, None
    for line in lines:
        m = re.match(r"^(c?)fn=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
        if m:
            if m.group(3):
                names[m.group(2)] = m.group(3)
            if m.group(1):
                callee = names.get(m.group(2))
            continue
        if line.startswith("calls=") and callee == "malloc":
            calls += int(line[6:].split()[0])
    return calls


def parse_callgrind_annotate(text, count):
    """From callgrind_annotate's report: (the instructions in total, [(instructions per
    request, function)] of the functions by self cost, most first, leaving out the frames a
    dump taken in epoll_wait charges the whole total to)."""
    rows = re.findall(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)$", text, re.M)
    total = int(rows[0][0].replace(",", "")) if rows else 0
    functions = []
    for ir, where in rows[1:]:
        # A dump taken while the program waits in epoll_wait charges the whole total to the
        # frames it stands in (main and what calls it); they say nothing.
        if int(ir.replace(",", "")) >= total:
            continue
        name = re.sub(r"\s*\[[^\]]*\]$", "", where).split(":", 1)[-1]
        functions.append((int(ir.replace(",", "")) / count, name))
    return total, functions


def callgrind_count(ctx, s, count):
    """Runs `count` sequential 1 KiB requests against server `s` (running under callgrind),
    after 100 of warm-up. Returns (instructions in user space per request, [(instructions per
    request, function)] by self cost, calls of malloc per request), or None without a dump."""
    for _ in range(100):
        http_io.http10_get(s.port, "/1k.htm", timeout=30)
    subprocess.run(["callgrind_control", "-z", str(s.pid)], capture_output=True, timeout=60)
    for _ in range(count):
        http_io.http10_get(s.port, "/1k.htm", timeout=30)
    subprocess.run(["callgrind_control", "-d", str(s.pid)], capture_output=True, timeout=60)
    dumps = sorted(f for f in os.listdir(ctx.tmp) if f.startswith(f"callgrind.{s.pid}."))
    if not dumps:
        return None
    dump = ctx.tmp_path(dumps[-1])
    rep = subprocess.run(["callgrind_annotate", "--threshold=100", dump],
                         capture_output=True, text=True, timeout=300).stdout
    total, functions = parse_callgrind_annotate(rep, count)
    with open(dump, errors="replace") as f:
        mallocs = malloc_calls(f)
    return total / count, functions, mallocs / count


def callgrind_profile(ctx, servers, count):
    """Counts the instructions each server (run under callgrind) executes in user space per
    request over `count` sequential 1 KiB requests, after 100 requests of warm-up, and shows
    where they go."""
    for s in servers:
        if s.skip or not s.serves(MATRIX[0]):
            continue
        found = callgrind_count(ctx, s, count)
        if found is None:
            print(f"\ncallgrind on {s.name}: no profile written")
            continue
        instructions, functions, mallocs = found
        print(f"\ncallgrind on {s.name}: {instructions:,.0f} instructions and "
              f"{mallocs:.1f} calls of malloc per request in user space ({count} "
              f"requests of 1 KiB); self cost per request:")
        for per_request, name in functions[:25]:
            print(f"  {per_request:9,.0f}  {name[:110]}")


def allocation_profile(ctx, count, names):
    """The calls of malloc and the instructions per request of the servers named `names`,
    each started anew under callgrind: {name: (mallocs, instructions)}."""
    if not (shutil.which("valgrind") and shutil.which("callgrind_control")):
        log("allocations: skipped: valgrind not installed (scripts/install-deps bench)")
        return {}
    found = {}
    for s in make_servers(ctx):
        if s.name not in names:
            continue
        s.start(ctx, callgrind_wrapper(ctx.tmp))
        try:
            if s.skip:
                log(f"allocations on {s.name}: {s.skip}")
                continue
            counted = callgrind_count(ctx, s, count)
            if counted is None:
                log(f"allocations on {s.name}: no profile written")
                continue
            found[s.name] = (counted[2], counted[0])
        finally:
            stop_process(s.proc)
    return found


def allocation_sections(cfg, found):
    if not found:
        return []
    nginx = found.get("nginx")
    rows = [[name, f"{mallocs:.2f}", ratio(mallocs, nginx[0] if nginx else None),
             f"{instructions:,.0f}", ratio(instructions, nginx[1] if nginx else None)]
            for name, (mallocs, instructions) in found.items()]
    return [Section(f"Allocations per request: 1 KiB, one connection at a time (callgrind over "
                    f"{cfg.alloc_requests} requests, calls of malloc and instructions in user "
                    f"space)", ALLOCATION_COLUMNS, rows)]


def callgrind_wrapper(tmp):
    """The command line that runs a server under callgrind, its dumps in `tmp`."""
    return ("valgrind", "--tool=callgrind",
            f"--callgrind-out-file={os.path.join(tmp, 'callgrind.%p')}")
