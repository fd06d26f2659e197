"""The client side: quorvin-fetch (both bindings) against curl, fetching from the running
nginx. Runs only once quorvin-fetch is built."""

import hashlib
import os
import statistics
import subprocess
import time

from ..docroot import MIB
from ..report import Section, fmt, ratio
from ..servers import find_binary

CLIENT_COLUMNS = ["client", "wall ms/fetch", "×curl", "CPU ms/fetch", "MiB/s", "peak RSS MiB",
                  "check"]


def _digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(8 * MIB):
            h.update(chunk)
    return h.hexdigest()


def run(ctx, nginx, figures=None, file="10m.htm", count=None, peaks=None):
    """Fetches `file` (the 10 MiB one unless said) from the running `nginx` with curl and with
    quorvin-fetch (both bindings) to a file, over HTTPS when nginx speaks it (both clients then
    verify its certificate against the run's). Returns the table's rows, or None and why not;
    `figures`, a dict, receives each client's median wall time in ms, `peaks` its largest peak
    resident memory in MiB."""
    cfg = ctx.cfg
    fetch = find_binary(cfg, "apps/quorvin-fetch")
    if fetch is None:
        return None, "skipped: quorvin-fetch not built"
    if nginx is None or nginx.skip:
        return None, "skipped: nginx is not running"
    url = f"{'https' if nginx.tls else 'http'}://127.0.0.1:{nginx.port}/{file}"
    ca = ["--cacert", nginx.tls["cert"]] if nginx.tls else []
    out = ctx.tmp_path("fetched")
    want = _digest(os.path.join(ctx.docroot, file))
    size = os.path.getsize(os.path.join(ctx.docroot, file))
    count = count or (3 if cfg.quick else 20)
    clients = [("curl", ["curl", "-s", "-0"] + ca + ["-o", out, url])]
    for b in ("scktcomp", "dwinsock"):
        clients.append((f"quorvin-fetch {b}", [fetch, "--binding", b] + ca + ["-o", out, url]))
    # The fetches take turns (one of each client, then the next round), so that a burst of other
    # load on the shared machine spreads over all clients instead of stretching one's.
    walls = {name: [] for name, _ in clients}
    cpus = {name: [] for name, _ in clients}
    rss = {name: [] for name, _ in clients}
    problems = {}
    for _ in range(count):
        for name, cmd in clients:
            if name in problems:
                continue
            if os.path.exists(out):
                os.remove(out)
            # GNU time reports the client's own peak: a child forked from this (large) Python
            # process would count the parent's pages it shared before exec.
            rss_file = ctx.tmp_path("client.rss")
            t0 = time.monotonic()
            p = ctx.procs.popen(["/usr/bin/time", "-f", "%M", "-o", rss_file]
                                + cfg.client_pin() + cmd,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            _, status, ru = os.wait4(p.pid, 0)
            p.returncode = os.waitstatus_to_exitcode(status)
            ctx.procs.done(p)
            walls[name].append(time.monotonic() - t0)
            cpus[name].append(ru.ru_utime + ru.ru_stime)
            try:
                with open(rss_file) as f:
                    rss[name].append(int(f.read().split()[-1]) / 1024)  # KiB
            except (OSError, ValueError, IndexError):
                rss[name].append(float("nan"))
            err = p.stderr.read().decode(errors="replace").strip()
            p.stderr.close()
            if p.returncode != 0:
                problems[name] = ("skipped: not built" if "binding" in err or "not built" in err
                                  else f"exit {p.returncode}: {err[-200:]}")
                continue
            if _digest(out) != want:
                problems[name] = "body differs from the file"
    rows, base = [], None
    for name, _ in clients:
        problem = problems.get(name)
        if problem and not walls[name][:-1]:
            rows.append([name, "-", "-", "-", "-", problem])
            continue
        wall = statistics.median(walls[name]) * 1000
        cpu = statistics.median(cpus[name]) * 1000
        if name == "curl":
            base = wall
        if figures is not None and not problem:
            figures[name] = wall
        if peaks is not None and not problem:
            peaks[name] = max(rss[name])
        rows.append([name, fmt(wall, 1), ratio(wall, base), fmt(cpu, 1),
                     fmt(size / MIB / (wall / 1000), 0), fmt(max(rss[name]), 1), problem or "ok"])
    if os.path.exists(out):
        os.remove(out)
    return rows, None


def sections(rows, skip, big_rows, big_skip):
    """The client's sections after the matrix: the 10 MiB file and 1 GiB to disk, or why they
    did not run."""
    out = []
    if rows:
        out.append(Section("Client: 10 MiB from nginx", CLIENT_COLUMNS, rows,
                           shown_title="Client: 10 MiB from nginx, medians of fetches"))
    elif skip:
        out.append(Section("Client", text=skip, inline=True, written=False))
    if big_rows:
        out.append(Section("Client: 1 GiB from nginx to disk", CLIENT_COLUMNS, big_rows,
                           shown_title="Client: 1 GiB from nginx to disk, medians of fetches",
                           results_text="Each client writes the file to disk (-o); peak RSS is "
                                        "the process's maxrss."))
    elif big_skip:
        out.append(Section("Client, 1 GiB", text=big_skip, inline=True, written=False))
    # RESULTS.md says why once, after where both tables would be.
    if not big_rows and skip:
        out.append(Section("Client", text=skip, printed=False))
    return out
