"""wrk, the load of the matrix, the keep-alive row, the workers and two HTTPS cells: its Lua
scripts, its command line, what it prints, and the checks of a run."""

import json
import os
import re
import shutil
import statistics
import subprocess
import time

from .docroot import MIB
from .processes import stop_process
from .procfs import (CLK_TCK, cpu_busy_ticks, proc_cpu_ticks, proc_rss_kib, tcp_passive_opens,
                     tree_cpu_ticks, tree_rss_kib)

# In the matrix wrk sends our own request text: an HTTP/1.0 request line and "Connection: close",
# so every request needs a new connection. wrk builds its static request once through wrk.format,
# which we replace; the keep-alive row leaves wrk its own HTTP/1.1 request, which keeps the
# connection. The driver's checks read the JSON line that done() prints. The counting variant
# defines response(), which makes wrk hand every body to Lua: worth it for the small files, too
# costly for the 10 MiB one (there the byte count and wrk's own status count stand guard).
LUA_HTTP10 = r"""
wrk.format = function()
  return "GET " .. wrk.path .. " HTTP/1.0\r\nConnection: close\r\n\r\n"
end
"""
LUA_DONE = r"""
local threads = {}
function setup(thread) table.insert(threads, thread) end
function done(summary, latency, requests)
  local non200 = 0
  for _, t in ipairs(threads) do non200 = non200 + (t:get("non200") or 0) end
  local e = summary.errors
  io.write(string.format(
    'BENCHJSON {"requests":%d,"bytes":%d,"duration_us":%d,"connect":%d,"read":%d,' ..
    '"write":%d,"status":%d,"timeout":%d,"non200":%d,"p99_us":%d}\n',
    summary.requests, summary.bytes, summary.duration, e.connect, e.read, e.write, e.status,
    e.timeout, non200, latency:percentile(99)))
end
"""
LUA_COUNT = r"""
non200 = 0
function response(status, headers, body)
  if status ~= 200 then non200 = non200 + 1 end
end
"""
LUA_SCRIPTS = {"plain": LUA_HTTP10 + LUA_DONE, "counting": LUA_HTTP10 + LUA_DONE + LUA_COUNT,
               "keepalive": LUA_DONE + LUA_COUNT}

# TLS 1.3 records of application data carry 22 bytes beside what they hold: a 5-byte header,
# the inner content type and a 16-byte AEAD tag.
TLS13_RECORD_OVERHEAD = 22

ERROR_KINDS = ("connect", "read", "write", "timeout", "status", "non200")


def write_lua_scripts(tmp):
    """Writes the scripts into `tmp`; returns their paths by kind."""
    paths = {}
    for kind, text in LUA_SCRIPTS.items():
        paths[kind] = os.path.join(tmp, f"wrk-{kind}.lua")
        with open(paths[kind], "w") as f:
            f.write(text)
    return paths


def parse_result(out):
    """The figures of the BENCHJSON line that LUA_DONE prints, as a dict; None when wrk printed
    none."""
    m = re.search(r"BENCHJSON (\{.*\})", out)
    return json.loads(m.group(1)) if m else None


def parse_ss_carried(out, request_len):
    """From `ss -Htni` output: how many requests each connection has carried, its bytes
    received over `request_len`. A connection's line starts in the first column, its figures
    follow on an indented line."""
    counts = []
    for line in out.splitlines():
        if line and not line[0].isspace():
            counts.append(0.0)
        elif counts:
            m = re.search(r"\bbytes_received:(\d+)", line)
            if m:
                counts[-1] = int(m.group(1)) / request_len
    return counts


def carried_requests(port, request_len):
    """How many requests each connection the server on `port` has open has carried so far
    (`ss -ti`, the server's side). None when ss cannot tell."""
    try:
        out = subprocess.run(["ss", "-Htni", "state", "established", f"( sport = :{port} )"],
                             capture_output=True, text=True, timeout=5).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    return parse_ss_carried(out, request_len)


def checks(w, cell, size, opens, carried, have_ss=True):
    """What went wrong in a run whose BENCHJSON figures are `w`: wrk's errors, bytes that do not
    add up to `size` per answer, and connections reused (or not, for a keep-alive cell) as the
    cell wants. `opens`: the connections the kernel accepted meanwhile; `carried`: the requests
    the open connections had carried near the end (keep-alive cells), None when not sampled.
    Returns (problems, the median of `carried` or None)."""
    problems = []
    errors = {k: w[k] for k in ERROR_KINDS if w[k]}
    if errors:
        problems.append(" ".join(f"{k} {v}" for k, v in errors.items()))
    # Every answer carries the file: the bytes read must match the probe's answer size times the
    # requests, up to the answers still in flight when wrk stopped.
    if size and w["requests"]:
        slack = cell.conns * size + 0.002 * w["requests"] * size
        if abs(w["bytes"] - w["requests"] * size) > slack:
            problems.append(f"bytes {w['bytes'] / w['requests']:.0f}/req, want {size}")
    per_conn = None
    if cell.keepalive:
        # Connections reused: wrk opens its connections once and keeps them as long as the
        # server does. If a server closes a connection after every K requests, the connections
        # open at any moment have carried about K/2 each; a median of at least 5 means about
        # ten requests or more per connection, far fewer connections than answers. A server that
        # closes after every answer shows 0 or 1.
        per_conn = statistics.median(carried) if carried else 0.0
        if carried is None:
            problems.append("reuse not checked: " + (
                "ss not installed" if not have_ss else "no sample of the connections"))
        elif per_conn < 5:
            problems.append(f"connections not reused: those open near the end ("
                            f"{len(carried)}) had carried a median of {per_conn:.0f} requests")
    elif opens < w["requests"]:
        # A new connection per request: the kernel's count of accepted connections must have
        # grown at least by the number of answers (other programs' connections only add to it).
        problems.append(f"only {opens} connections for {w['requests']} requests")
    if w["requests"] == 0:
        problems.append("no request completed")
    return problems, per_conn


def run_wrk(ctx, server, cell, duration, sample_rss=True):
    """One wrk run against `server`: returns the figures of this run."""
    cfg = ctx.cfg
    script = ctx.lua["keepalive" if cell.keepalive else "plain" if cell.size >= MIB
                     else "counting"]
    wrk_secs = max(1, round(duration))
    scheme = "https" if server.tls else "http"
    pin = [] if cell.workers else cfg.client_pin()
    cmd = list(cfg.priority) + pin + [
        "wrk", f"-t{max(1, cell.workers)}", f"-c{cell.conns}", f"-d{wrk_secs}s", "--timeout",
        "3s", "-s", script, f"{scheme}://127.0.0.1:{server.port}/{cell.file}"]
    cpu_ticks = tree_cpu_ticks if cell.workers else proc_cpu_ticks
    rss_kib = tree_rss_kib if cell.workers else proc_rss_kib
    ticks0, opens0, cpu0 = (cpu_ticks(server.pid), tcp_passive_opens(),
                            cpu_busy_ticks(cfg.server_cpu))
    t0 = time.monotonic()
    p = ctx.procs.popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    rss_max = 0
    carried, sampled = None, False
    while p.poll() is None:
        if sample_rss:
            rss_max = max(rss_max, rss_kib(server.pid))
        if cell.keepalive and not sampled and time.monotonic() - t0 >= wrk_secs - 0.5:
            # Shortly before wrk stops: what the server's open connections have carried. (The
            # kernel's count of accepted connections cannot tell: it counts every program's
            # connections, and on a shared machine those can outnumber wrk's by far.)
            request = f"GET /{cell.file} HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n\r\n"
            # Over TLS each request is a record of its own (wrk writes one at a time), and the
            # record's frame is counted with it.
            length = len(request) + (TLS13_RECORD_OVERHEAD if server.tls else 0)
            carried, sampled = carried_requests(server.port, length), True
        time.sleep(0.2)
        if time.monotonic() - t0 > duration + 30:
            stop_process(p)
            break
    out, err = p.communicate()
    elapsed = time.monotonic() - t0
    ctx.procs.done(p)
    ticks1, opens1, cpu1 = (cpu_ticks(server.pid), tcp_passive_opens(),
                            cpu_busy_ticks(cfg.server_cpu))
    w = parse_result(out)
    if w is None:
        raise RuntimeError(f"wrk gave no result: {out}\n{err}")
    reqs = max(w["requests"], 1)
    secs = w["duration_us"] / 1e6
    sizes = server.ka_response_size if cell.keepalive else server.response_size
    problems, per_conn = checks(w, cell, sizes.get(cell.file), opens1 - opens0, carried,
                                have_ss=bool(shutil.which("ss")))
    r = {
        "reqs": w["requests"],
        "rps": w["requests"] / secs,
        "mibps": w["bytes"] / secs / MIB,
        "cpu_us": (ticks1 - ticks0) * 1e6 / CLK_TCK / reqs,
        "busy_pct": (ticks1 - ticks0) / CLK_TCK / elapsed * 100,
        # How much of the server's CPU went to anything else during the run: other programs
        # on a shared machine show up here, and a run where this is high is not clean.
        "other_pct": 0.0 if cell.workers else max(
            0.0, ((cpu1 - cpu0) - (ticks1 - ticks0)) / CLK_TCK / elapsed * 100),
        "rss_kib": rss_max,
        "p99_ms": w["p99_us"] / 1000,
        "problems": problems,
    }
    if cell.keepalive:
        r["req_per_conn"] = per_conn
    return r
