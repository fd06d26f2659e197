"""The timed runs of a set of cells: warm-up, repeated noisy runs, and the interleaving."""

from . import s_time, wrk
from .processes import log, stop_process


def load_of(cell):
    return s_time.run if cell.handshake else wrk.run_wrk


def measure(ctx, s, cell, run, duration):
    """One measured run of `s` in `cell`, after a warm-up on the first round."""
    cfg = ctx.cfg
    load = load_of(cell)
    if run == 0 and cfg.warmup > 0:
        load(ctx, s, cell, cfg.warmup, sample_rss=False)
    # On a shared machine another program may take the server's CPU for a while; such a run is
    # repeated and the cleanest attempt kept.
    r = load(ctx, s, cell, duration)
    for _ in range(cfg.retries):
        if r["other_pct"] <= cfg.noisy:
            break
        log(f"run {run + 1}/{cfg.runs} {cell.key:8} {s.name:20} repeated: "
            f"{r['other_pct']:.0f}% of CPU {cfg.server_cpu} went to other programs")
        again = load(ctx, s, cell, duration)
        if again["other_pct"] < r["other_pct"]:
            r = again
    return r


def run_cells(ctx, cells, live, ka_live, results):
    """The timed runs of `cells` against the running servers (`ka_live` for the keep-alive
    cells, `live` for the others), into `results`: {(cell key, server name): [run, ...]}.
    Runs are interleaved (run 1 of every cell and server, then run 2, ...), so a burst of other
    load on the machine spreads over all servers instead of hitting one. A server that fails
    is stopped and skipped from then on."""
    cfg = ctx.cfg
    for run in range(cfg.runs):
        for cell in cells:
            for s in ka_live if cell.keepalive else live:
                if s.skip or not s.serves(cell):
                    continue
                try:
                    r = measure(ctx, s, cell, run, cfg.shown_duration)
                except (OSError, RuntimeError) as e:
                    if s.proc.poll() is not None:
                        s.skip = f"exited with {s.proc.returncode} during {cell.key}"
                    else:
                        s.skip = f"failed during {cell.key}: {str(e)[:200]}"
                    log(f"{s.name}: {s.skip}")
                    stop_process(s.proc)
                    continue
                results.setdefault((cell.key, s.name), []).append(r)
                said = r["problems"] + ([r["said"]] if r.get("said") else [])
                log(f"run {run + 1}/{cfg.runs} {cell.key:8} {s.name:20} "
                    f"{r['rps']:10,.0f} req/s {r['cpu_us']:7.1f} µs/req "
                    f"{'; '.join(said) or 'ok'}")
