"""The matrix (every server, a new connection per request, at each file size and number of
connections) and the keep-alive row beside it: both run in one interleaving, so that a burst of
other load spreads over them all. After the timed runs, against the matrix's servers: system
calls per request, streaming memory and the client."""

import dataclasses
import time

from ..cells import KEEPALIVE_CELL, MATRIX
from ..docroot import STREAM_FILE
from ..processes import log, stop_process
from ..report import MEMORY_COLUMNS, Section, cell_rows, columns_for, memory_rows
from ..runs import run_cells
from ..servers import make_servers, start_servers, stop_servers
from . import client, profiles, stream


def cells_of(cfg):
    """The cells that run: the matrix's (those --cells names, when given) and the keep-alive
    row."""
    cells = MATRIX if "matrix" in cfg.parts else []
    if cfg.cells:
        keys = [k.strip() for k in cfg.cells.split(",")]
        cells = [c for c in cells if c.key in keys]
    if "keepalive" in cfg.parts:
        cells = cells + [KEEPALIVE_CELL]
    return cells


def start(ctx, wrapper=()):
    """Starts and probes the matrix's servers (under `wrapper`, e.g. callgrind, when given);
    returns them all, those that failed with `skip` set."""
    servers = make_servers(ctx) if "matrix" in ctx.cfg.parts else []
    if wrapper and not ctx.cfg.servers:  # python under valgrind takes minutes to get going
        servers = [s for s in servers if not s.name.startswith("python")]
    for s in servers:
        s.start(ctx, wrapper)
        if s.skip:
            log(f"{s.name}: {s.skip}")
            continue
        problems = s.probe(ctx.docroot)
        if problems:
            log(f"{s.name}: probe failed: {'; '.join(problems)}")
            stop_process(s.proc)
            s.skip = "probe failed: " + "; ".join(problems)
            s.idle_rss_kib = 0
        else:
            log(f"{s.name}: listening on {s.port}, pid {s.pid}, "
                f"idle RSS {s.idle_rss_kib / 1024:.2f} MiB")
    return servers


@dataclasses.dataclass
class Outcome:
    cells: list
    servers: list
    ka_servers: list
    seconds: float = 0.0  # the timed runs' length
    syscalls: dict = dataclasses.field(default_factory=dict)
    allocations: dict = dataclasses.field(default_factory=dict)
    stream_rows: list = dataclasses.field(default_factory=list)
    client_rows: list = dataclasses.field(default_factory=list)
    client_skip: str = None
    big_rows: list = dataclasses.field(default_factory=list)
    big_skip: str = None
    big_walls: dict = dataclasses.field(default_factory=dict)
    big_peaks: dict = dataclasses.field(default_factory=dict)


def run(ctx, servers, results):
    """The timed runs of the matrix's `servers` (started) and the keep-alive row's (started
    here), into `results`, then what runs after them; stops every server."""
    cfg = ctx.cfg
    out = Outcome(cells_of(cfg), servers, [])
    try:
        live = [s for s in servers if not s.skip]
        # The keep-alive row's servers run beside the matrix's, set up to keep connections, so
        # that its runs take their turn in the same interleaving.
        if "keepalive" in cfg.parts:
            out.ka_servers = start_servers(ctx, "keepalive", keepalive_probe=True)
        ka_live = [s for s in out.ka_servers if not s.skip]
        t0 = time.monotonic()
        run_cells(ctx, out.cells, live, ka_live, results)
        live = [s for s in live if not s.skip]
        out.seconds = time.monotonic() - t0
        stop_servers(out.ka_servers)

        # System calls per request, one connection at a time: after the matrix, so that strace
        # (which slows a process it watches) disturbs none of its runs.
        if cfg.strace_requests > 0 and live:
            out.syscalls = profiles.strace_profile(
                ctx, live, cfg.strace_requests,
                names=("quorvin scktcomp", "quorvin dwinsock", "nginx"), verbose=False)
        # Allocations per request, under callgrind: servers of their own, after the matrix's
        # runs for the same reason.
        if cfg.alloc_requests > 0 and "matrix" in cfg.parts:
            out.allocations = profiles.allocation_profile(
                ctx, cfg.alloc_requests, names=("quorvin scktcomp", "quorvin dwinsock", "nginx"))
        if not cfg.no_stream and live:
            out.stream_rows = stream.run(ctx, live)
        if "matrix" in cfg.parts:
            nginx = next((s for s in servers if s.name == "nginx"), None)
            out.client_rows, out.client_skip = client.run(ctx, nginx)
            # 1 GiB to disk: the body must stream through, not pile up in memory.
            out.big_rows, out.big_skip = client.run(
                ctx, nginx, figures=out.big_walls, file=STREAM_FILE,
                count=1 if cfg.quick else 3, peaks=out.big_peaks)
    finally:
        # The matrix's servers are done; the parts after it start their own.
        stop_servers(servers + out.ka_servers)
    return out


def sections(out, results):
    """The tables of the cells, the keep-alive row's last."""
    return [Section(c.title, columns_for(c),
                    cell_rows(c, out.ka_servers if c.keepalive else out.servers, results))
            for c in out.cells]


def memory_sections(out, results):
    """The resident memory of the matrix's servers, idle and under load."""
    rows = memory_rows(out.servers, results)
    return [Section("Resident memory", MEMORY_COLUMNS, rows)] if rows else []
