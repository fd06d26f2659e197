"""Two worker processes against two: quorvin-serve --workers 2 against nginx with a master and
two workers, nothing pinned (servers and wrk share every CPU)."""

from ..cells import WORKERS_CELLS
from ..report import cell_sections
from ..runs import run_cells
from ..servers import start_servers, stop_servers


def run(ctx, results):
    """Runs the part's cells into `results`; returns its servers (stopped)."""
    servers = start_servers(ctx, "workers", keepalive_probe=True)
    live = [s for s in servers if not s.skip]
    try:
        run_cells(ctx, WORKERS_CELLS, live, live, results)
    finally:
        stop_servers(servers)
    return servers


def sections(servers, results):
    return cell_sections(WORKERS_CELLS, servers, results) if servers else []
