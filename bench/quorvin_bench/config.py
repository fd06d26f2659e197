"""What a run was told (its options, the CPUs it uses) and what it holds while it runs (its
temporary directory, the docroot, wrk's scripts, the processes it started). Both are made once
by the command line and passed down; nothing below changes them."""

import dataclasses
import os
from typing import Optional

BENCH_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPO = os.path.dirname(BENCH_DIR)

PARTS = ("matrix", "keepalive", "slow", "idle", "bodies", "events", "upload", "tls", "workers")


@dataclasses.dataclass(frozen=True)
class Config:
    # The options of bench/run, after --quick has set its own.
    runs: int
    duration: float
    warmup: float
    quick: bool
    noisy: float
    retries: int
    nice: int
    realtime: bool
    no_stream: bool
    slow_duration: int
    slow_connections: int
    slow_probe: int
    idle_connections: int
    subscribers: int
    servers: Optional[str]
    cells: Optional[str]
    write_results: bool
    strace: Optional[int]
    strace_requests: int
    perf: Optional[float]
    notes: Optional[str]
    callgrind: Optional[int]
    build_dir: Optional[str]
    parts: frozenset  # of PARTS: those that run
    # The server runs on the first CPU the driver may use, wrk and the driver on the second.
    server_cpu: int = 0
    client_cpu: int = 1
    # Sequential requests counted under callgrind for the allocations per request (0: none).
    alloc_requests: int = 200
    # A prefix for the servers' and wrk's command lines: chrt or nice, from --realtime, --nice.
    priority: tuple = ()

    @property
    def shown_duration(self):
        """The run length as the report shows it: "5", not "5.0"."""
        return int(self.duration) if self.duration == int(self.duration) else self.duration

    def server_pin(self):
        return ["taskset", "-c", str(self.server_cpu)]

    def client_pin(self):
        return ["taskset", "-c", str(self.client_cpu)]


class Context:
    """One run: its settings, its temporary directory (`tmp`, where the docroot, the peers'
    configurations, logs and profiles go), wrk's Lua scripts by kind, and its processes."""

    def __init__(self, cfg, tmp, docroot, lua, procs):
        self.cfg, self.tmp, self.docroot, self.lua, self.procs = cfg, tmp, docroot, lua, procs

    def tmp_path(self, name):
        return os.path.join(self.tmp, name)
