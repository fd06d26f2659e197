"""HTTPS: quorvin-serve (both bindings) and nginx with TLS on, one certificate and the same TLS
settings (nginx-tls.conf.in says which), started afresh for the part. Three loads in the
matrix's interleaving, warm-up, runs and medians; then kernel TLS, the client and the memory
of idle TLS connections."""

import dataclasses
import os
import re
import shutil
import signal
import socket
import subprocess
import time

from .. import http_io
from ..cells import TLS_CELLS, TLS_HANDSHAKE_CELL, TLS_KEEPALIVE_CELL, TLS_BULK_CELL
from ..docroot import FILES
from ..processes import log, stop_process
from ..report import Section, cell_rows, columns_for
from ..runs import run_cells
from ..servers import start_servers, stop_servers
from . import client, idle

TLS_SESSION_COLUMNS = ["server", "protocol", "suite", "key exchange", "signature",
                       "ticket resumes", "TLS 1.2", "check"]


def make_certificate(tmp):
    """A P-256 key and a self-signed certificate for 127.0.0.1 (and localhost), made for the run
    with the openssl command: {"cert": PATH, "key": PATH}, or None and why not."""
    cert, key = os.path.join(tmp, "tls-cert.pem"), os.path.join(tmp, "tls-key.pem")
    cmd = ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
           "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
           "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, f"cannot make a certificate: {e}"
    if p.returncode != 0:
        return None, f"cannot make a certificate: {p.stderr.strip()[-200:]}"
    return {"cert": cert, "key": key}, None


def kernel_tls_offered():
    """Whether the kernel offers TLS offload (the "tls" upper-layer protocol of TCP), and the
    evidence: what /proc/sys/net/ipv4/tcp_available_ulp lists, and what
    setsockopt(TCP_ULP, "tls") says on a loopback connection, as a server that wants kernel TLS
    asks it."""
    try:
        with open("/proc/sys/net/ipv4/tcp_available_ulp") as f:
            listed = f.read().split()
    except OSError:
        listed = None
    tcp_ulp = getattr(socket, "TCP_ULP", 31)
    outcome = "not tried"
    try:
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            with socket.create_connection(listener.getsockname(), timeout=5) as c:
                accepted, _ = listener.accept()
                with accepted:
                    try:
                        c.setsockopt(socket.IPPROTO_TCP, tcp_ulp, b"tls")
                        outcome = "accepted"
                    except OSError as e:
                        outcome = os.strerror(e.errno) if e.errno else str(e)
    except OSError as e:
        outcome = f"no loopback connection: {e}"
    offered = outcome == "accepted"
    where = "-" if listed is None else " ".join(listed) or "nothing"
    return offered, (f"the kernel {'offers' if offered else 'does not offer'} the tls ULP "
                     f"(tcp_available_ulp: {where}; setsockopt TCP_ULP \"tls\": {outcome})")


def session_row(name, first, again, older):
    """The session table's row from what `openssl s_client` printed: `first` (a connection that
    verified the certificate and kept the ticket), `again` (one that offered that ticket) and
    `older` (one limited to TLS 1.2)."""
    problems = []
    made = re.search(r"^(New|Reused), (TLSv[\d.]+), Cipher is (\S+)", first, re.M)
    group = re.search(r"^Server Temp Key: ([^,\n]+)", first, re.M)
    signature = re.search(r"^Peer signature type: (\S+)", first, re.M)
    digest = re.search(r"^Peer signing digest: (\S+)", first, re.M)
    if not made:
        problems.append("no TLS session")
    elif "Verify return code: 0 (ok)" not in first:
        problems.append("certificate not verified")
    resumed = re.search(r"^(New|Reused), ", again, re.M)
    if resumed is None or resumed.group(1) != "Reused":
        problems.append("a ticket did not resume")
    made12 = re.search(r"^(?:New|Reused), TLSv1\.2, Cipher is (\S+)", older, re.M)
    return [name, made.group(2) if made else "-", made.group(3) if made else "-",
            group.group(1) if group else "-",
            (signature.group(1) + (f" ({digest.group(1)})" if digest else "")) if signature
            else "-",
            "-" if resumed is None else "yes" if resumed.group(1) == "Reused" else "no",
            made12.group(1) if made12 else "not spoken",
            "; ".join(problems) if problems else "ok"]


def tls_session_probe(ctx, server):
    """How a server's HTTPS is set up, as `openssl s_client` sees it: protocol, suite, key
    exchange and signature of a first connection (which verifies the certificate), whether a
    second one resumes from the ticket the first got, and the suite TLS 1.2 would use. Returns
    the table's row."""
    ticket = ctx.tmp_path(f"tls-ticket-{server.port}.pem")
    base = ["openssl", "s_client", "-connect", f"127.0.0.1:{server.port}", "-CAfile",
            server.tls["cert"], "-verify_return_error", "-ign_eof"]

    def s_client(extra):
        # The request makes the server answer and close, so that s_client ends; the tickets
        # of TLS 1.3 come before the answer.
        try:
            p = subprocess.run(ctx.cfg.client_pin() + base + extra,
                               input=http_io.s_time_request("/1k.htm"), capture_output=True,
                               timeout=15)
        except (OSError, subprocess.TimeoutExpired):
            return ""
        return p.stdout.decode(errors="replace")

    first = s_client(["-sess_out", ticket])
    again = s_client(["-sess_in", ticket]) if os.path.exists(ticket) else ""
    older = s_client(["-tls1_2"])
    return session_row(server.name, first, again, older)


def count_strace_calls(text):
    """From `strace -f -qq -o` output: the calls by name, and for each attempt to set TCP_ULP
    whether it succeeded."""
    calls, ulp = {}, []
    for line in text.splitlines():
        m = re.match(r"^\d+\s+(\w+)\(", line)
        if not m:
            continue
        calls[m.group(1)] = calls.get(m.group(1), 0) + 1
        if "TCP_ULP" in line:
            ulp.append(line.rstrip().endswith("= 0"))
    return calls, ulp


def kernel_tls_words(calls, ulp):
    """The kernel TLS column from the calls a server made for one 10 MiB answer: sendfile is how
    a file goes out over kernel TLS (SSL_sendfile), writes are records encrypted in the
    process."""
    sendfiles = calls.get("sendfile", 0)
    writes = sum(calls.get(c, 0) for c in ("write", "writev", "sendmsg", "sendto"))
    asked = ("not asked for" if not ulp else "switched to" if any(ulp) else "refused")
    used = "yes" if sendfiles or any(ulp) else "no"
    return f"{used}: {sendfiles} sendfile, {writes} writes; tls ULP {asked}"


def kernel_tls_use(ctx, server, kernel_offered):
    """Whether kernel TLS carries a server's 10 MiB answer: strace watches the server while the
    driver fetches the file once, and counts its sendfile calls (SSL_sendfile's, possible only
    over kernel TLS) against its writes, and its attempts to switch a connection to the tls ULP.
    quorvin-serve's own word on kernel TLS, printed as it starts, is set beside it."""
    words = ""
    if server.group == "quorvin":
        words = ("; says: kernel TLS offered" if "kernel TLS offered" in server.said else
                 "; says: no kernel TLS" if "no kernel TLS" in server.said else "")
    if not shutil.which("strace"):
        return f"{'kernel offers it' if kernel_offered else 'no: not offered'}{words}"
    out = ctx.tmp_path(f"strace-ktls-{server.port}.txt")
    p = ctx.procs.popen(["strace", "-f", "-qq", "-e",
                         "trace=setsockopt,sendfile,write,writev,sendmsg,sendto", "-o", out,
                         "-p", str(server.pid)], stderr=subprocess.DEVNULL)
    time.sleep(1.0)  # strace attaches asynchronously
    try:
        data = http_io.http10_get(server.port, "/10m.htm", timeout=60, tls=server.tls)
    except OSError as e:
        data = b""
        words += f"; fetch failed: {e}"
    os.kill(p.pid, signal.SIGINT)
    p.wait(timeout=30)
    ctx.procs.done(p)
    with open(out, errors="replace") as f:
        calls, ulp = count_strace_calls(f.read())
    os.remove(out)
    if len(data) < FILES["10m.htm"]:
        words += f"; only {len(data)} bytes came"
    return kernel_tls_words(calls, ulp) + words


@dataclasses.dataclass
class Outcome:
    skip: str = None
    sessions: list = dataclasses.field(default_factory=list)
    servers: list = dataclasses.field(default_factory=list)
    ka_servers: list = dataclasses.field(default_factory=list)
    kernel: str = None
    client_rows: list = dataclasses.field(default_factory=list)
    client_skip: str = None
    client_walls: dict = dataclasses.field(default_factory=dict)
    idle_rows: list = dataclasses.field(default_factory=list)


def run(ctx, results):
    """The HTTPS part: runs its cells into `results` and returns what the report shows of it."""
    part = Outcome()
    if not shutil.which("openssl"):
        part.skip = "skipped: the openssl command is not installed"
        return part
    tls, why = make_certificate(ctx.tmp)
    if tls is None:
        part.skip = f"skipped: {why}"
        return part
    kernel_offered, part.kernel = kernel_tls_offered()
    servers = start_servers(ctx, "matrix", tls=tls)
    ka_servers = start_servers(ctx, "keepalive", keepalive_probe=True, tls=tls)
    part.servers, part.ka_servers = servers, ka_servers
    try:
        for s in servers:
            if s.skip:
                continue
            part.sessions.append(tls_session_probe(ctx, s))
            # The handshake cell's answers: to s_time's request, which has no header at all.
            with open(os.path.join(ctx.docroot, "1k.htm"), "rb") as f:
                want = f.read()
            try:
                data = http_io.http10_get(s.port, "/1k.htm", tls=s.tls,
                                          request=http_io.s_time_request("/1k.htm"))
                if not data.endswith(b"\r\n\r\n" + want):
                    raise OSError(f"answer to s_time's request: {data[:40]!r}...")
                s.response_size["s_time:1k.htm"] = len(data)
            except OSError as e:
                log(f"{s.name} (HTTPS): probe failed: {e}")
                stop_process(s.proc)
                s.skip = f"probe failed: {e}"
        live = [s for s in servers if not s.skip]
        ka_live = [s for s in ka_servers if not s.skip]
        run_cells(ctx, TLS_CELLS, live, ka_live, results)
        for s in live:
            if not s.skip:
                s.kernel_tls = kernel_tls_use(ctx, s, kernel_offered)
                log(f"{s.name} (HTTPS): kernel TLS: {s.kernel_tls}")
        nginx = next((s for s in servers if s.name == "nginx"), None)
        part.client_rows, part.client_skip = client.run(ctx, nginx, figures=part.client_walls)
    finally:
        stop_servers(servers + ka_servers)
    part.idle_rows = idle.run(ctx, tls=tls)
    return part


def sections(cfg, https, results):
    """The HTTPS part's sections of the report."""
    if https.skip:
        return [Section("HTTPS", text=https.skip)]
    n = TLS_HANDSHAKE_CELL.conns
    intros = {
        TLS_HANDSHAKE_CELL.key:
            f"Each of {n} `openssl s_time -new` processes on the client CPU makes one "
            f"connection after another: a full handshake (TLS 1.3, X25519, the P-256 "
            f"certificate and its signature; s_time offers no session, and marks every "
            f"connection that resumed one: `resumed`), its request `GET /1k.htm HTTP/1.0` and "
            f"the answer up to the server's close. The client's side of a handshake costs it "
            f"more than the server's side costs a server, so the servers wait for it (busy %): "
            f"CPU µs/req is the figure that compares them, req/s mostly measures s_time.",
        TLS_KEEPALIVE_CELL.key:
            "wrk over HTTPS, its HTTP/1.1 requests on 50 kept connections: each connection "
            "makes its handshake once, at the start of the run.",
        TLS_BULK_CELL.key:
            "wrk, a new connection per request (HTTP/1.0, Connection: close; wrk offers the "
            "session it had on reconnect, and against 10 MiB a handshake weighs nothing). "
            "kernel TLS: whether it carried one 10 MiB answer, watched with strace after the "
            "runs: sendfile is how a server sends a file over kernel TLS, writes are records "
            "encrypted in user space.",
    }
    out = [Section(
        "HTTPS: how each server speaks it (openssl s_client)", TLS_SESSION_COLUMNS,
        https.sessions,
        text="quorvin-serve (--tls-cert, --tls-key) and nginx (nginx-tls.conf.in) serve one "
             "certificate made for the run (a P-256 key, self-signed for 127.0.0.1), TLS 1.2 and "
             "1.3 with the same TLS 1.2 suites and groups, session tickets on and no session "
             f"cache on either side; {https.kernel}.")]
    for cell in TLS_CELLS:
        servers = https.ka_servers if cell.keepalive else https.servers
        out.append(Section(cell.title, columns_for(cell), cell_rows(cell, servers, results),
                           text=intros[cell.key]))
    out += idle.tls_sections(cfg, https.idle_rows)
    if https.client_rows:
        out.append(Section(
            "HTTPS client: 10 MiB from nginx over TLS, medians of fetches", client.CLIENT_COLUMNS,
            https.client_rows,
            text="curl -0 and quorvin-fetch, both given the run's certificate (--cacert) to "
                 "verify nginx's, pinned to the client CPU."))
    elif https.client_skip:
        out.append(Section("HTTPS client", text=https.client_skip))
    return out
