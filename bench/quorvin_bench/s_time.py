"""`openssl s_time -new`, the load of the HTTPS handshake cell.

wrk cannot load that cell: on a connection closed after the answer it keeps the TLS session it
had and offers it on the next connect, so that (checked with nginx's $ssl_session_reused) all
but its first few connections resume by a ticket and skip the certificate and its signature.
`openssl s_time -new` makes a new session for every connection and offers none, and it prints a
mark per connection: "r" for one that resumed a session, another for a new one, which the
driver counts."""

import os
import re
import subprocess
import time

from .docroot import MIB
from .processes import stop_process
from .procfs import CLK_TCK, cpu_busy_ticks, proc_cpu_ticks, proc_rss_kib, tcp_passive_opens

MARKS = re.compile(r"^[*rt3]+$", re.M)
# s_time looks at the clock only between connections: it ends within a second of its length.
# One that is still running this much later waits on a connection that hangs, and is stopped.
GRACE = 10


def parse_output(text):
    """What one s_time printed: (its marks, one per connection, joined; the connections and
    bytes read of its closing summary, or None when it printed none)."""
    marks = "".join(MARKS.findall(text))
    done = re.search(r"(\d+) connections in [\d.]+s;.*?bytes read (\d+)", text)
    return marks, (int(done.group(1)), int(done.group(2))) if done else None


def run(ctx, server, cell, duration, sample_rss=True):
    """One run of the handshake cell against `server`: `cell.conns` processes of `openssl s_time
    -new` on the client CPU, each making one connection after another for `duration` seconds,
    every one a full handshake, then s_time's request for the file and the answer up to the
    server's close. Returns the figures of the run, as wrk.run_wrk does."""
    cfg = ctx.cfg
    secs = max(1, round(duration))
    cmd = list(cfg.priority) + cfg.client_pin() + [
        "openssl", "s_time", "-connect", f"127.0.0.1:{server.port}", "-new", "-time", str(secs),
        "-www", "/" + cell.file,
        # The run's certificate is the only CA: by default s_time searches the system's
        # certificate directory at every handshake, which doubles its CPU time per connection
        # and leaves the servers waiting for their client.
        "-CAfile", server.tls["cert"], "-no-CApath", "-no-CAstore"]
    outs = [ctx.tmp_path(f"s_time-{server.port}-{i}.out") for i in range(cell.conns)]
    ticks0, opens0, cpu0 = (proc_cpu_ticks(server.pid), tcp_passive_opens(),
                            cpu_busy_ticks(cfg.server_cpu))
    t0 = time.monotonic()
    procs = []
    for out in outs:
        with open(out, "wb") as f:
            procs.append(ctx.procs.popen(cmd, stdout=f, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL))
    ended, stopped, rss_max = {}, set(), 0
    while len(ended) < len(procs):
        if sample_rss:
            rss_max = max(rss_max, proc_rss_kib(server.pid))
        now = time.monotonic()
        for i, p in enumerate(procs):
            if i not in ended and p.poll() is not None:
                ended[i] = now - t0
            elif i not in ended and now - t0 > secs + 1 + GRACE:
                stop_process(p)
                stopped.add(i)
                ended[i] = now - t0
        time.sleep(0.1)
    elapsed = max(ended.values())
    for p in procs:
        ctx.procs.done(p)
    ticks1, opens1, cpu1 = (proc_cpu_ticks(server.pid), tcp_passive_opens(),
                            cpu_busy_ticks(cfg.server_cpu))

    size = server.response_size.get("s_time:" + cell.file)
    reqs = resumed = got_bytes = want_bytes = 0
    problems = []
    for i, out in enumerate(outs):
        with open(out, errors="replace") as f:
            text = f.read()
        os.remove(out)
        marks, done = parse_output(text)
        reqs += len(marks)
        resumed += marks.count("r")
        if i in stopped:
            continue
        if procs[i].returncode != 0 or not done:
            tail = " ".join(text.replace(marks, "").split())[-160:]
            problems.append(f"s_time exited with {procs[i].returncode}: {tail}")
            continue
        got_bytes += done[1]
        want_bytes += done[0] * (size or 0)
    # Clients held up by a connection: the table sums them up over the runs (hung_text).
    late = [t for i, t in ended.items() if i not in stopped and t > secs + 2]
    said = []
    if stopped:
        said.append(f"{len(stopped)} of {cell.conns} clients stopped, still waiting "
                    f"{GRACE} s after the run's end")
    if late:
        said.append(f"{len(late)} of {cell.conns} clients ran up to {max(late):.0f} s of "
                    f"{secs} s")
    if resumed:
        problems.append(f"{resumed} of {reqs} connections resumed a session")
    # Every connection ran to the server's close: each finished client read exactly one answer
    # per connection.
    if size and want_bytes and got_bytes != want_bytes:
        finished = sum(1 for i in range(len(procs)) if i not in stopped)
        problems.append(f"bytes {got_bytes} of {want_bytes} for the connections of {finished} "
                        f"clients (answers of {size})")
    if opens1 - opens0 < reqs:
        problems.append(f"only {opens1 - opens0} connections for {reqs} requests")
    if reqs == 0:
        problems.append("no request completed")
    n = max(reqs, 1)
    return {
        "reqs": reqs,
        "rps": reqs / elapsed,
        "mibps": got_bytes / elapsed / MIB,
        "cpu_us": (ticks1 - ticks0) * 1e6 / CLK_TCK / n,
        "busy_pct": (ticks1 - ticks0) / CLK_TCK / elapsed * 100,
        "other_pct": max(0.0, ((cpu1 - cpu0) - (ticks1 - ticks0)) / CLK_TCK / elapsed * 100),
        "rss_kib": rss_max,
        "p99_ms": None,
        "resumed": resumed,
        "hung": len(stopped),
        "late": len(late),
        "said": "; ".join(said),
        "problems": problems,
    }


def hung_text(cell, runs):
    """The check column's words for handshake runs whose clients a connection held up: stopped
    after the grace, or finished more than a second late."""
    words = []
    for key, what in (("hung", f"clients stopped, still waiting {GRACE} s after the "
                               f"run's end"),
                      ("late", "clients that finished more than a second late")):
        if any(r[key] for r in runs):
            words.append(f"{what}: {', '.join(str(r[key]) for r in runs)} of {cell.conns} in "
                         f"the runs")
    return words
