"""A 1 GiB upload to disk: `curl -T` of one file to quorvin-serve --upload, to nginx's PUT (the
dav module) and to the floor's upload job, each storing it under the docroot; the time it takes
and what the server holds in memory meanwhile."""

import hashlib
import os
import re
import statistics
import subprocess
import time

from ..docroot import MIB
from ..processes import log
from ..procfs import CLK_TCK, cpu_busy_ticks, tree_cpu_ticks, tree_rss_kib
from ..report import Section, fmt, ratio
from .events import other_pct
from ..servers import UPLOAD_FOLDER, start_servers, stop_servers

UPLOAD_SIZE = 1024 * MIB  # 1 GiB, 1073741824 bytes exactly
SPOT = 64 * 1024  # bytes compared at each spot of an uploaded file
UPLOAD_COLUMNS = ["server", "MiB/s", "time ×nginx", "×floor", "CPU ×nginx", "RSS before MiB",
                  "RSS peak MiB", "growth MiB", "uploads", "CPU0 other %", "check"]
SAMPLE_EVERY = 0.1


def make_source(path, size=UPLOAD_SIZE):
    """The file uploaded: hashes, with every 4 KiB page opening with its own offset, so that a
    piece stored at the wrong offset differs at every spot checked."""
    base = b"".join(hashlib.sha256(str(i).encode()).digest() for i in range(MIB // 32))
    with open(path, "wb") as f:
        for start in range(0, size, MIB):
            block = bytearray(base)
            for page in range(0, MIB, 4096):
                block[page:page + 8] = (start + page).to_bytes(8, "little")
            f.write(block[:size - start])


def spot_offsets(size, length=SPOT, count=8):
    """Where the spots are checked: the start, the end, and between them at uneven offsets (not
    on block or page boundaries)."""
    if size <= length:
        return [0]
    last = size - length
    inner = [last * k // (count - 1) + 4099 * k for k in range(1, count - 1)]
    return [0] + [min(o, last) for o in inner] + [last]


def spots_differ(a, b, offsets, length=SPOT):
    """The offsets at which the files `a` and `b` differ within `length` bytes."""
    differ = []
    with open(a, "rb") as fa, open(b, "rb") as fb:
        for o in offsets:
            fa.seek(o)
            fb.seek(o)
            if fa.read(length) != fb.read(length):
                differ.append(o)
    return differ


def parse_curl(text):
    """curl's `-w "%{http_code} %{time_total}"`: (status, seconds), None where missing."""
    found = re.search(r"(\d{3}) (\d+(?:[.,]\d+)?)\s*$", text)
    if not found:
        return None, None
    return int(found.group(1)), float(found.group(2).replace(",", "."))


def check_stored(folder, name, source, size=UPLOAD_SIZE):
    """What is wrong with the upload stored as folder/name: its size, the spots that differ,
    hidden (temporary) files left in the folder. An empty list when nothing is."""
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return ["file not stored"]
    problems = []
    got = os.path.getsize(path)
    if got != size:
        problems.append(f"stored {got} bytes, want {size}")
    else:
        differ = spots_differ(source, path, spot_offsets(size))
        if differ:
            problems.append(f"differs at {len(differ)} of {len(spot_offsets(size))} spots")
    hidden = [n for n in os.listdir(folder) if n.startswith(".")]
    if hidden:
        problems.append(f"left {', '.join(sorted(hidden))}")
    return problems


def upload_once(ctx, s, source, folder):
    """`curl -T source` to the server `s`, pinned to the client CPU, while the server's resident
    memory is sampled; then the stored file is checked and removed. Returns the figures."""
    name = f"upload-{s.name.replace(' ', '-')}.bin"
    url = f"http://127.0.0.1:{s.port}/{UPLOAD_FOLDER}/{name}"
    # Without Expect every server gets the body at once; a server's answer to 100-continue is
    # not what this measures.
    cmd = (ctx.cfg.client_pin() + ["curl", "-sS", "-H", "Expect:", "-T", source, "-o",
                                   os.devnull, "-w", "%{http_code} %{time_total}", url])
    rss0 = peak = tree_rss_kib(s.pid)
    cpu0, busy0 = tree_cpu_ticks(s.pid), cpu_busy_ticks(ctx.cfg.server_cpu)
    t0 = time.monotonic()
    p = ctx.procs.popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    problems = []
    deadline = t0 + 120
    while p.poll() is None:
        peak = max(peak, tree_rss_kib(s.pid))
        if time.monotonic() > deadline:
            p.kill()
            problems.append("curl stopped after 120 s")
            deadline = float("inf")
        time.sleep(SAMPLE_EVERY)
    wall = time.monotonic() - t0
    peak = max(peak, tree_rss_kib(s.pid))
    own = tree_cpu_ticks(s.pid) - cpu0
    cpu = own / CLK_TCK
    other = other_pct(cpu_busy_ticks(ctx.cfg.server_cpu) - busy0, own, wall)
    out, err = p.communicate()
    ctx.procs.done(p)
    status, seconds = parse_curl(out.decode(errors="replace"))
    if p.returncode != 0:
        problems.append(f"curl exit {p.returncode}: {err.decode(errors='replace').strip()[-200:]}")
    if status not in (200, 201, 204):
        problems.append(f"status {status}")
    problems += check_stored(folder, name, source)
    for n in os.listdir(folder):
        os.remove(os.path.join(folder, n))
    if s.proc.poll() is not None:
        problems.append(f"server exited with {s.proc.returncode}")
    return {"seconds": seconds if seconds else wall, "cpu": cpu, "rss0": rss0, "peak": peak,
            "other_pct": other, "problems": problems}


def summary(runs):
    """The medians of a server's uploads, the highest peak, and what went wrong in any."""
    good = [r for r in runs if not r["problems"]]
    return {"seconds": statistics.median(r["seconds"] for r in good) if good else None,
            "cpu": statistics.median(r["cpu"] for r in good) if good else None,
            "rss0": min(r["rss0"] for r in runs), "peak": max(r["peak"] for r in runs),
            "ok": len(good), "count": len(runs),
            "other_pct": max((r["other_pct"] for r in runs if r["other_pct"] is not None),
                             default=None),
            "problems": sorted({p for r in runs for p in r["problems"]})}


def rows(servers, results):
    """The table's rows: `results` by server name, each a summary()."""
    n, f = results.get("nginx"), results.get("floor")
    out = []
    for s in servers:
        r = results.get(s.name)
        if r is None:
            out.append([s.name] + ["-"] * (len(UPLOAD_COLUMNS) - 2) + [s.skip or "no run"])
            continue
        sec = r["seconds"]
        check = r["problems"] + ([s.note] if s.note else [])
        out.append([s.name, fmt(UPLOAD_SIZE / MIB / sec, 0) if sec else "-",
                    ratio(sec, n["seconds"] if n else None),
                    ratio(sec, f["seconds"] if f else None),
                    ratio(r["cpu"], n["cpu"] if n else None),
                    fmt(r["rss0"] / 1024, 2), fmt(r["peak"] / 1024, 2),
                    fmt((r["peak"] - r["rss0"]) / 1024, 2), f"{r['ok']} of {r['count']}",
                    fmt(r["other_pct"], 0), "; ".join(check) if check else "ok"])
    return out


def run(ctx):
    """Uploads the 1 GiB file to each server in turn, round after round. Returns the rows."""
    folder = os.path.join(ctx.docroot, UPLOAD_FOLDER)
    os.makedirs(folder, exist_ok=True)
    source = ctx.tmp_path("upload-source.bin")
    make_source(source)  # just written, so it sits in the page cache for every upload
    servers = start_servers(ctx, "upload")
    live = [s for s in servers if not s.skip]
    runs = {s.name: [] for s in live}
    try:
        for _ in range(1 if ctx.cfg.quick else 3):
            # One upload per server a round, so that a burst of other load spreads over all.
            for s in live:
                r = upload_once(ctx, s, source, folder)
                runs[s.name].append(r)
                log(f"upload: {s.name:20} {r['seconds']:.2f} s, RSS {r['rss0'] / 1024:.2f} MiB "
                    f"before, peak {r['peak'] / 1024:.2f} MiB"
                    f"{'; ' + '; '.join(r['problems']) if r['problems'] else ''}")
    finally:
        stop_servers(servers)
        os.remove(source)
    return rows(servers, {name: summary(r) for name, r in runs.items() if r})


def sections(upload_rows):
    if not upload_rows:
        return []
    return [Section(
        "Upload: 1 GiB to disk with curl -T", UPLOAD_COLUMNS, upload_rows,
        text="quorvin-serve --upload, nginx's PUT (dav_methods) and the floor's upload job store "
             "the file under the docroot, each through a temporary file on the same filesystem "
             "renamed into place; each stored file's size and 8 spots of it are checked, then "
             "it is removed. Medians of the uploads; time from curl's total, RSS peak the "
             f"highest resident memory sampled every {SAMPLE_EVERY:g} s during an upload; "
             "CPU0 other % the largest share, over the uploads, of the server CPU's time that "
             "went to other programs.")]
