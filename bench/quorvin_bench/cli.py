"""bench/run's command line: its options, the order of the parts, and the report."""

import argparse
import datetime
import os
import shutil
import signal
import sys
import tempfile
import time

from . import __doc__ as DOC
from . import goals, report, wrk
from .cells import TLS_CELLS
from .config import BENCH_DIR, PARTS, Config, Context
from .docroot import make_docroot
from .parts import bodies, events, idle, matrix, profiles, slow, tls, upload, workers
from .parts import client as client_part
from .parts import stream as stream_part
from .processes import Processes, log
from .procfs import machine_info
from .servers import find_binary, quorvin_options


def parser():
    ap = argparse.ArgumentParser(prog="bench/run", description=DOC.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=3, help="measured runs per cell (default 3)")
    ap.add_argument("--duration", type=float, default=5, help="seconds per run (default 5)")
    ap.add_argument("--warmup", type=float, default=1, help="seconds of warm-up per cell")
    ap.add_argument("--quick", action="store_true", help="one 2 s run per cell, no warm-up")
    ap.add_argument("--noisy", type=float, default=10, metavar="PCT",
                    help="repeat a run when more than PCT%% of the server CPU's time went to "
                         "other programs (default 10)")
    ap.add_argument("--retries", type=int, default=1,
                    help="how often a noisy run is repeated at most (default 1)")
    ap.add_argument("--nice", type=int, default=0, metavar="N",
                    help="run the servers and wrk at this nice value; a negative one (root "
                         "only) keeps other programs on a shared machine from taking their CPUs")
    ap.add_argument("--realtime", action="store_true",
                    help="run the servers and wrk under SCHED_FIFO (root only): on a shared "
                         "machine other programs then run only while they wait")
    ap.add_argument("--no-stream", action="store_true",
                    help="leave out the 1 GiB streaming memory check")
    ap.add_argument("--only", metavar="NAMES",
                    help="run only these parts, comma-separated: matrix (the cells, system "
                         "calls, streaming and client), keepalive, slow, idle, bodies (many "
                         "large request bodies at once), events (Server-Sent Events "
                         "subscribers), upload (1 GiB PUT to disk), tls (HTTPS: its loads, "
                         "kernel TLS, the client and idle TLS connections), workers "
                         "(default: all)")
    ap.add_argument("--no-keepalive", action="store_true",
                    help="leave out the keep-alive row (1 KiB, 50 persistent connections)")
    ap.add_argument("--no-slow", action="store_true",
                    help="leave out the slow clients (slowhttptest -H, -B and -X)")
    ap.add_argument("--no-idle", action="store_true",
                    help="leave out the memory of idle connections")
    ap.add_argument("--no-bodies", action="store_true",
                    help="leave out the request bodies (40 and 500 bodies of 15 MiB at once)")
    ap.add_argument("--no-events", action="store_true",
                    help="leave out the Server-Sent Events subscribers")
    ap.add_argument("--no-upload", action="store_true",
                    help="leave out the 1 GiB upload to disk")
    ap.add_argument("--no-tls", action="store_true",
                    help="leave out HTTPS (quorvin-serve and nginx with TLS on)")
    ap.add_argument("--no-workers", action="store_true",
                    help="leave out two worker processes (quorvin-serve --workers 2 against "
                         "nginx's worker_processes 2, unpinned)")
    ap.add_argument("--slow-duration", type=int, metavar="S",
                    help="seconds each slowhttptest mode runs (default 30; 10 with --quick)")
    ap.add_argument("--slow-connections", type=int, default=200, metavar="N",
                    help="connections slowhttptest opens, 100 a second (default 200)")
    ap.add_argument("--slow-probe", type=int, default=2, metavar="S",
                    help="slowhttptest's probe: one every S seconds, unavailable when it has no "
                         "answer within S seconds (default 2)")
    ap.add_argument("--idle-connections", type=int, default=1000, metavar="N",
                    help="idle connections opened to each server for its memory (default 1000)")
    ap.add_argument("--subscribers", type=int, default=10000, metavar="N",
                    help="Server-Sent Events subscribers opened to each server (default 10000)")
    ap.add_argument("--servers", help="comma-separated parts of server names to run")
    ap.add_argument("--cells", help="comma-separated cells, e.g. 1k@10,10m@4")
    ap.add_argument("--write-results", action="store_true", help="write bench/RESULTS.md")
    ap.add_argument("--strace", type=int, metavar="N",
                    help="instead of the matrix: syscalls per request over N requests")
    ap.add_argument("--strace-requests", type=int, default=2000, metavar="N",
                    help="after the matrix, count the system calls of quorvin-serve and nginx "
                         "over N sequential 1 KiB requests (default 2000; 0 leaves it out)")
    ap.add_argument("--alloc-requests", type=int, default=200, metavar="N",
                    help="after the matrix, count the allocations of quorvin-serve and nginx "
                         "under callgrind over N sequential 1 KiB requests (default 200; 0 "
                         "leaves it out)")
    ap.add_argument("--perf", type=float, metavar="S",
                    help="instead of the matrix: perf profile of quorvin-serve over S seconds")
    ap.add_argument("--notes", help="a paragraph for the Notes section of bench/RESULTS.md")
    ap.add_argument("--callgrind", type=int, metavar="N",
                    help="instead of the matrix: user-space instructions per request over N "
                         "requests, each server run under callgrind")
    ap.add_argument("--build-dir", help="where quorvin-serve and floor_server were built "
                                        "(default build/release, then build/bench-release)")
    return ap


def config_from(args, cpus=None):
    """The run's settings from the parsed options; `cpus`, the CPUs the driver may use, sets
    the server's and the client's. Exits with a message on options that do not go together."""
    runs, duration, warmup, retries = args.runs, args.duration, args.warmup, args.retries
    if args.quick:
        runs, duration, warmup, retries = 1, 2, 0, 0
    slow_duration = args.slow_duration
    if slow_duration is None:
        slow_duration = 10 if args.quick else 30
    parts = set(PARTS)
    if args.only:
        parts = {p.strip() for p in args.only.split(",") if p.strip()}
        unknown = parts - set(PARTS)
        if unknown:
            sys.exit(f"bench/run: --only takes {', '.join(PARTS)}, not {', '.join(unknown)}")
    for name in ("keepalive", "slow", "idle", "bodies", "events", "upload", "tls", "workers"):
        if getattr(args, f"no_{name}"):
            parts.discard(name)
    if args.strace or args.perf or args.callgrind:
        parts = {"matrix"}  # the profiles look at the matrix's servers only
    priority = ()
    if args.realtime:
        if not shutil.which("chrt"):
            sys.exit("bench/run: --realtime needs chrt (util-linux)")
        priority = ("chrt", "-f", "10")
    elif args.nice:
        priority = ("nice", "-n", str(args.nice))
    kept = {k: v for k, v in vars(args).items()
            if k not in ("only", "no_keepalive", "no_slow", "no_idle", "no_bodies", "no_events",
                         "no_upload", "no_tls", "no_workers")}
    kept.update(runs=runs, duration=duration, warmup=warmup, retries=retries,
                slow_duration=slow_duration)
    cpu_roles = {"server_cpu": cpus[0], "client_cpu": cpus[1]} if cpus else {}
    return Config(**kept, parts=frozenset(parts), priority=priority, **cpu_roles)


def main(argv=None):
    args = parser().parse_args(argv)
    cpus = sorted(os.sched_getaffinity(0))
    cfg = config_from(args, cpus if len(cpus) >= 2 else None)
    for tool in ("wrk", "taskset"):
        if not shutil.which(tool):
            sys.exit(f"bench/run: {tool} is not installed (scripts/install-deps bench)")
    if len(cpus) < 2:
        sys.exit("bench/run: needs two CPUs, one for the servers and one for wrk")
    # The driver only sleeps and samples; it keeps off the servers' CPU.
    os.sched_setaffinity(0, {cfg.client_cpu})

    procs = Processes()
    signal.signal(signal.SIGINT, procs.on_signal)
    signal.signal(signal.SIGTERM, procs.on_signal)
    tmp = tempfile.mkdtemp(prefix="quorvin-bench-")
    try:
        ctx = Context(cfg, tmp, make_docroot(tmp), wrk.write_lua_scripts(tmp), procs)
        measured = run_parts(ctx)
    finally:
        procs.stop_all()
        shutil.rmtree(tmp, ignore_errors=True)
    if measured is not None:
        write_report(cfg, *measured)
    return 0


def run_parts(ctx):
    """Runs the parts in their order. Returns what the report needs, or None after a profile
    (which prints its own)."""
    cfg = ctx.cfg
    took = {}  # seconds each part took
    load_avg_start = os.getloadavg()
    started_at = datetime.datetime.now().astimezone()

    wrapper = ()
    if cfg.callgrind:
        if not shutil.which("valgrind"):
            sys.exit("bench/run: --callgrind needs valgrind")
        wrapper = profiles.callgrind_wrapper(ctx.tmp)
    servers = matrix.start(ctx, wrapper)
    if cfg.strace:
        profiles.strace_profile(ctx, servers, cfg.strace)
        return None
    if cfg.perf:
        profiles.perf_profile(ctx, servers, cfg.perf)
        return None
    if cfg.callgrind:
        profiles.callgrind_profile(ctx, servers, cfg.callgrind)
        return None

    results = {}
    m = matrix.run(ctx, servers, results)
    took["cells"] = m.seconds
    # Slow clients and idle connections: after the timed runs, each with servers of its own.
    slow_out = slow.Outcome({}, [])
    if "slow" in cfg.parts:
        t0 = time.monotonic()
        slow_out = slow.run(ctx)
        took["slow clients"] = time.monotonic() - t0
    idle_rows = []
    if "idle" in cfg.parts:
        t0 = time.monotonic()
        idle_rows = idle.run(ctx)
        took["idle connections"] = time.monotonic() - t0
    bodies_rows, bodies_results = [], {}
    if "bodies" in cfg.parts:
        t0 = time.monotonic()
        bodies_rows, bodies_results = bodies.run(ctx)
        took["request bodies"] = time.monotonic() - t0
    events_rows = []
    if "events" in cfg.parts:
        t0 = time.monotonic()
        events_rows = events.run(ctx)
        took["events"] = time.monotonic() - t0
    upload_rows = []
    if "upload" in cfg.parts:
        t0 = time.monotonic()
        upload_rows = upload.run(ctx)
        took["upload"] = time.monotonic() - t0
    https = None
    if "tls" in cfg.parts:
        t0 = time.monotonic()
        https = tls.run(ctx, results)
        took["https"] = time.monotonic() - t0
    worker_servers = []
    if "workers" in cfg.parts:
        t0 = time.monotonic()
        worker_servers = workers.run(ctx, results)
        took["workers"] = time.monotonic() - t0
    serve_options = quorvin_options(find_binary(cfg, "apps/quorvin-serve"))
    heading = report.Heading(header(cfg, started_at), machine(load_avg_start, os.getloadavg()),
                             report.versions(), took)

    sections = (matrix.sections(m, results) + workers.sections(worker_servers, results)
                + matrix.memory_sections(m, results)
                + profiles.syscall_sections(cfg, m.syscalls)
                + profiles.allocation_sections(cfg, m.allocations))
    bind_rows = report.binding_rows(results, m.cells + (TLS_CELLS if https else []))
    if bind_rows:
        sections.append(report.Section("The second binding against the first",
                                       report.BINDING_COLUMNS, bind_rows))
    if "slow" in cfg.parts:
        sections += slow.sections(cfg, slow_out, serve_options)
    sections += idle.sections(cfg, idle_rows)
    sections += bodies.sections(bodies_rows)
    sections += events.sections(cfg, events_rows)
    sections += upload.sections(upload_rows)
    if https:
        sections += tls.sections(cfg, https, results)
    measured = goals.Measured(
        results, cfg.noisy, idle_rss_kib={s.name: s.idle_rss_kib for s in m.servers},
        syscalls=m.syscalls, allocations=m.allocations, slow=slow_out.results,
        tls_walls=https.client_walls if https else {}, big_walls=m.big_walls,
        big_peaks=m.big_peaks, bodies_peaks=bodies.peaks_mib(bodies_results))
    sections.append(report.Section("Goals", report.GOAL_COLUMNS,
                                   goals.verdicts(measured, cfg.parts)))
    sections += stream_part.sections(m.stream_rows)
    sections += client_part.sections(m.client_rows, m.client_skip, m.big_rows, m.big_skip)
    return heading, sections


def header(cfg, started_at):
    parts = cfg.parts
    return (f"Quorvin bench, {started_at:%Y-%m-%d %H:%M %Z}: {cfg.runs} run(s) × "
            f"{cfg.shown_duration} s per cell, medians; server on CPU {cfg.server_cpu}, wrk on "
            f"CPU {cfg.client_cpu}"
            f"{' (both SCHED_FIFO)' if cfg.realtime else ''}"
            f"{f' (both at nice {cfg.nice})' if cfg.nice and not cfg.realtime else ''}; "
            f"new TCP connection per request (HTTP/1.0, Connection: close)"
            + (", but for the keep-alive row (HTTP/1.1, connections reused)"
               if "keepalive" in parts else "")
            + ("; HTTPS as its sections say" if "tls" in parts else ""))


def machine(load_avg_start, load_avg_end):
    info = machine_info()
    return (f"{info['nproc']} CPUs, {info['cpu']}, {info['mem_mib']} MiB, Linux "
            f"{info['kernel']}; load average {load_avg_start[0]:.2f} at start, "
            f"{load_avg_end[0]:.2f} at end")


def write_report(cfg, heading, sections):
    print(report.text(heading, sections))
    if cfg.write_results:
        with open(os.path.join(BENCH_DIR, "RESULTS.md"), "w") as f:
            f.write(report.markdown(heading, sections, cfg.notes))
        log("wrote bench/RESULTS.md")
