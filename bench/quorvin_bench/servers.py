"""The servers under test: quorvin-serve (both bindings), nginx, lighttpd, python's http.server
and the floor server, each part's settings of them, and starting and probing them."""

import os
import re
import shutil
import subprocess
import sys
import time

from . import http_io
from .config import BENCH_DIR, REPO
from .docroot import FILES
from .processes import free_port, log, raise_nofile, stop_process, wait_listening
from .procfs import proc_rss_kib


class Server:
    """One server under test. `cmd` is its command line, in which "{port}" stands for the port it
    gets and "{conf}" for its configuration file, written from `conf` (template, part, values)
    for that port; `only` limits the files it serves (the floor answers every request with the
    1 KiB file)."""

    def __init__(self, name, cmd, prints_line=False, only=None, skip=None, group="peer",
                 note="", preexec=None, tls=None, pinned=True, conf=None):
        self.name, self.cmd, self.prints_line = name, cmd, prints_line
        self.only, self.skip, self.group = only, skip, group
        # What this run of the server lacks or does differently, e.g. an option its build does
        # not have yet; shown beside its figures.
        self.note = note
        self.preexec = preexec  # run in the child before exec, e.g. to raise a limit
        # The certificate and key ({"cert": PATH, "key": PATH}) of a server that speaks HTTPS:
        # the driver's own requests and the loads then go through TLS.
        self.tls = tls
        # Pinned to the server CPU; a server of several processes runs where the system puts it.
        self.pinned = pinned
        self.conf = conf
        self.proc = self.port = None
        self.said = ""  # what a server that prints its state said before it listened
        self.idle_rss_kib = 0
        self.response_size = {}
        self.ka_response_size = {}  # the keep-alive probe's answers, when they differ in length
        self.reuses = None  # whether a second request was answered on the probe's connection
        self.kernel_tls = None  # HTTPS: whether kernel TLS carried a 10 MiB answer, and why

    def serves(self, cell):
        return self.only is None or cell.file in self.only

    @property
    def pid(self):
        return self.proc.pid

    def command(self, ctx, port):
        cmd = [str(port) if c == "{port}" else c for c in self.cmd]
        if self.conf:
            template, part, values = self.conf
            path = write_conf(ctx, template, part, port, values)
            cmd = [path if c == "{conf}" else c for c in cmd]
        return cmd

    def start(self, ctx, wrapper=()):
        if self.skip:
            return
        self.port = free_port()
        log_path = ctx.tmp_path(f"{self.name.replace(' ', '-')}.log")
        pin = ctx.cfg.server_pin() if self.pinned else []
        cmd = list(ctx.cfg.priority) + pin + list(wrapper) + self.command(ctx, self.port)
        self.proc = ctx.procs.start(cmd, log_path, cwd=ctx.tmp, preexec_fn=self.preexec)
        said = []
        why = wait_listening(self.proc, self.port, self.prints_line,
                             timeout=60.0 if wrapper else 10.0, said=said)
        self.said = "".join(said)
        if why is not None:
            with open(log_path, errors="replace") as f:
                err = f.read().strip()
            stop_process(self.proc)
            self.proc = None
            if "dwinsock" in self.name and re.search(r"not built|binding", err):
                self.skip = "skipped: not built"
            else:
                self.skip = f"failed to start ({why}): {err[-300:]}"

    def probe(self, docroot):
        """Fetches each file once over a raw socket and checks the answer: status 200, the file's
        bytes, the connection closed by the server. Records the answer's size for the load
        checks. Returns a list of problems."""
        problems = []
        for name in FILES:
            if self.only is not None and name not in self.only:
                continue
            with open(os.path.join(docroot, name), "rb") as f:
                want = f.read()
            try:
                data = http_io.http10_get(self.port, "/" + name, tls=self.tls)
            except OSError as e:
                problems.append(f"{name}: {e}")
                continue
            head, _, body = data.partition(b"\r\n\r\n")
            status = head.split(b"\r\n", 1)[0]
            if not http_io.is_200(status):
                problems.append(f"{name}: status {status!r}")
            elif body != want:
                problems.append(f"{name}: body of {len(body)} bytes differs from the file")
            self.response_size[name] = len(data)
        time.sleep(0.3)
        self.idle_rss_kib = proc_rss_kib(self.pid)
        return problems

    def probe_keepalive(self, docroot, name="1k.htm"):
        """The keep-alive row's probe: two HTTP/1.1 requests, one after the other, on one
        connection. The first answer must be a 200 with the file's bytes; its size is what wrk's
        answers are checked against. Whether the second is answered on the same connection only
        says whether the server keeps connections (`reuses`): the load's own check reports it.
        Returns a list of problems."""
        with open(os.path.join(docroot, name), "rb") as f:
            want = f.read()
        try:
            answers = http_io.http11_exchange(self.port, "/" + name, 2, tls=self.tls)
        except OSError as e:
            return [f"{name}: {e}"]
        if not answers:
            return [f"{name}: no answer"]
        problems = []
        for i, (head, body) in enumerate(answers):
            status = head.split(b"\r\n", 1)[0]
            if not http_io.is_200(status):
                problems.append(f"{name}: answer {i + 1}: status {status!r}")
            elif body != want:
                problems.append(f"{name}: answer {i + 1}: body of {len(body)} bytes differs")
        head, body = answers[0]
        self.response_size[name] = self.ka_response_size[name] = len(head) + 4 + len(body)
        self.reuses = len(answers) == 2
        time.sleep(0.3)
        self.idle_rss_kib = proc_rss_kib(self.pid)
        return problems


def find_binary(cfg, rel):
    dirs = [os.path.abspath(cfg.build_dir)] if cfg.build_dir else []
    dirs += [os.path.join(REPO, "build", "release"), os.path.join(REPO, "build", "bench-release")]
    for d in dirs:
        path = os.path.join(d, rel)
        if os.access(path, os.X_OK):
            return path
    return None


def options_in_usage(usage):
    """The options a usage text names, e.g. {"--no-dispatcher", "--port", ...}. A name counts
    only whole: "--keep-alive" is not found in "--no-keep-alive" or "--keep-alive-timeout"."""
    return set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", usage))


def quorvin_options(serve):
    """The options `quorvin-serve --help` lists."""
    if not serve:
        return set()
    try:
        usage = subprocess.run([serve, "--help"], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return set()
    return options_in_usage(usage.stdout + usage.stderr)


# Descriptor room for the idle-connection memory: quorvin-serve is told to take twice the
# connections the driver opens (it raises its own limit on open files to match).
def idle_max_connections(cfg):
    return max(2000, 2 * cfg.idle_connections)


# The request bodies part opens at most this many connections at once.
BODIES_MAX_CONNECTIONS = 1000
# Where the parts that send bodies aim them. quorvin-serve's /status action takes the whole body
# before it answers (as every web action without a body handler of its own does) and answers ten
# bytes; /echo would copy the body into its answer, which measures that action, not the bounded
# reading of bodies. nginx gets a location of the same path (below).
BODIES_PATH = "/status?code=200"
# The folder under the docroot that uploads go into.
UPLOAD_FOLDER = "up"
# quorvin-serve's --max-body for the 1 GiB upload: its largest body is 2 GiB less one byte.
UPLOAD_MAX_BODY = "1G"

# nginx reads and buffers a request body only for a module that asks for it: a `return` or a
# static file drops it unread. The mirror module asks for the whole body before the content phase
# (mirror_request_body on), held as for a proxy_pass (client_body_buffer_size in memory, the rest
# in a file under client_body_temp_path); its copy goes to an internal location that answers 204,
# without leaving the process. The path then names no file: the 404 is answered as a 200 by a
# named location.
NGINX_BODIES_LOCATIONS = """
        location = /status {
            client_body_buffer_size 16k;
            client_max_body_size 20m;
            mirror /bench-sink;
            mirror_request_body on;
            log_not_found off;
            error_page 404 =200 @read;
        }
        location = /bench-sink {
            internal;
            client_max_body_size 20m;
            return 204;
        }
        location @read {
            return 200 "read\n";
        }"""
# PUT stores the body as the file it names: written to a file under client_body_temp_path (the
# run's temporary directory, on the docroot's filesystem, so the file is renamed into place).
NGINX_UPLOAD_LOCATIONS = f"""
        location /{UPLOAD_FOLDER}/ {{
            dav_methods PUT;
            client_max_body_size 2g;
        }}"""


# What each part of the bench sets in nginx.conf.in and lighttpd.conf.in.
NGINX_CONF = {
    # One request per connection, as the matrix measures.
    "matrix": {"WORKER_CONNECTIONS": "1024", "KEEPALIVE_TIMEOUT": "0",
               "KEEPALIVE_REQUESTS": "1000"},
    # wrk's connections stay up for the whole run, however many requests they carry.
    "keepalive": {"WORKER_CONNECTIONS": "1024", "KEEPALIVE_TIMEOUT": "300s",
                  "KEEPALIVE_REQUESTS": "1000000"},
    # The bench's own configuration: slow clients meet nginx as the matrix does.
    "slow": {"WORKER_CONNECTIONS": "1024", "KEEPALIVE_TIMEOUT": "0",
             "KEEPALIVE_REQUESTS": "1000"},
    # Room for the idle connections and then some.
    "idle": {"WORKER_CONNECTIONS": "8192", "KEEPALIVE_TIMEOUT": "0",
             "KEEPALIVE_REQUESTS": "1000"},
    # Two workers under a master, which opens the listening socket and hands it down (no
    # reuseport), as quorvin-serve --workers shares one socket; kept connections as in the
    # keep-alive row (the new-connection cell's requests ask for the close themselves).
    "workers": {"WORKER_CONNECTIONS": "1024", "KEEPALIVE_TIMEOUT": "300s",
                "KEEPALIVE_REQUESTS": "1000000", "MASTER_PROCESS": "on", "WORKER_PROCESSES": "2",
                # As root the master would hand its workers to "nobody", who cannot read the
                # run's private temporary folder.
                "USER": "user root;" if os.geteuid() == 0 else ""},
    # Room for every body connection and its file under client_body_temp_path.
    "bodies": {"WORKER_CONNECTIONS": str(2 * BODIES_MAX_CONNECTIONS), "KEEPALIVE_TIMEOUT": "0",
               "KEEPALIVE_REQUESTS": "1000", "LOCATIONS": NGINX_BODIES_LOCATIONS},
    # Idle keep-alive connections beside the event subscribers (make_servers sets the count).
    "events": {"KEEPALIVE_TIMEOUT": "300s", "KEEPALIVE_REQUESTS": "1000"},
    "upload": {"WORKER_CONNECTIONS": "1024", "KEEPALIVE_TIMEOUT": "0",
               "KEEPALIVE_REQUESTS": "1000", "LOCATIONS": NGINX_UPLOAD_LOCATIONS},
}
# 65535 requests a connection: some 15 times what one carries in a 5 s run at 40,000 req/s over
# 50 connections, and small enough for 16 bits.
LIGHTTPD_CONF = {"matrix": {"KEEPALIVE_REQUESTS": "0"},
                 "keepalive": {"KEEPALIVE_REQUESTS": "65535"}}


def fill_template(text, values):
    """`text` with every @NAME@ replaced by values[NAME]; a placeholder left over is an error."""
    for name, value in values.items():
        text = text.replace(f"@{name}@", value)
    left = re.search(r"@[A-Z_]+@", text)
    if left:
        raise RuntimeError(f"nothing fills in {left.group(0)}")
    return text


def write_conf(ctx, template, part, port, values):
    """A peer's configuration for `part` on `port`, written into the run's directory from
    `template` (a file of bench/); returns its path."""
    out = ctx.tmp_path(os.path.basename(template)[:-3] + f".{part}.{port}")
    # One process that serves by itself unless the part says otherwise.
    values = dict({"MASTER_PROCESS": "off", "WORKER_PROCESSES": "1", "USER": "", "LOCATIONS": ""},
                  **values,
                  ROOT=ctx.docroot, TMP=ctx.tmp, PORT=str(port))
    with open(os.path.join(BENCH_DIR, template)) as f:
        text = f.read()
    try:
        text = fill_template(text, values)
    except RuntimeError as e:
        raise RuntimeError(f"{template}: {e}") from None
    with open(out, "w") as f:
        f.write(text)
    return out


def quorvin_extra(options, part, cfg, tls, tmp=None):
    """quorvin-serve's options for `part`, each passed only when its --help lists it: (the
    options, notes on what the part needs and the build lacks, why it is skipped or None)."""
    extra, notes, skip = [], [], None
    # Every peer listens on 127.0.0.1 only; so does quorvin-serve when it can be told.
    if "--bind" in options:
        extra += ["--bind", "127.0.0.1"]
    # The demo web actions (/status, /events) answer the body and event parts.
    if part not in ("slow", "bodies", "events") and "--no-dispatcher" in options:
        extra.append("--no-dispatcher")
    if part == "matrix" and "--no-keep-alive" in options:
        # The matrix measures a new connection per request, whatever the default is.
        extra.append("--no-keep-alive")
    elif part in ("keepalive", "workers"):
        if "--keep-alive" in options:
            extra.append("--keep-alive")
        elif "--no-keep-alive" not in options:
            notes.append("skipped: quorvin-serve has no --keep-alive")
        # The same room as nginx is given: wrk's connections stay up for the whole run.
        if "--keep-alive-requests" in options:
            extra += ["--keep-alive-requests", "1000000"]
        if "--keep-alive-timeout" in options:
            extra += ["--keep-alive-timeout", "300"]
    elif part == "idle":
        if "--max-connections" in options:
            extra += ["--max-connections", str(idle_max_connections(cfg))]
        else:
            notes.append("skipped: quorvin-serve has no --max-connections")
    elif part == "bodies":
        if "--max-connections" in options:
            extra += ["--max-connections", str(BODIES_MAX_CONNECTIONS)]
        else:
            notes.append("quorvin-serve has no --max-connections")
        # The bodies' files go to the run's own directory, which is removed after it.
        if "--body-folder" in options and tmp:
            extra += ["--body-folder", tmp]
    elif part == "events":
        if "--max-connections" in options:
            extra += ["--max-connections", str(2 * cfg.subscribers)]
        else:
            notes.append("quorvin-serve has no --max-connections")
        # No bound on a connection's lifetime: it would end the streams.
        if "--timeout" in options:
            extra += ["--timeout", "0"]
    elif part == "upload":
        if "--upload" in options and "--max-body" in options:
            extra += ["--upload", "--max-body", UPLOAD_MAX_BODY]
        else:
            skip = "skipped: quorvin-serve has no --upload or --max-body"
    if part == "workers":
        if "--workers" in options:
            extra += ["--workers", "2"]
        else:
            skip = "skipped: quorvin-serve has no --workers"
    if tls:
        if "--tls-cert" in options and "--tls-key" in options:
            extra += ["--tls-cert", tls["cert"], "--tls-key", tls["key"]]
        else:
            skip = "skipped: quorvin-serve has no --tls-cert"
    return extra, notes, skip


def _installed(name):
    return shutil.which(name) or (f"/usr/sbin/{name}" if os.access(f"/usr/sbin/{name}", os.X_OK)
                                  else None)


def make_servers(ctx, part="matrix", tls=None):
    """The servers of one part of the bench: "matrix" (every server, a new connection per
    request), "keepalive" (quorvin-serve and the peers that keep connections, set up to keep
    them), "slow" (quorvin-serve with its defaults and nginx with the bench configuration),
    "idle" (quorvin-serve and nginx with room for many connections), "workers" (two worker
    processes each), "bodies" (quorvin-serve's demo actions and nginx's mirror location, room
    for a thousand bodies), "events" (quorvin-serve's /events, nginx keeping connections, the
    floor's event job) or "upload" (quorvin-serve --upload, nginx's PUT, the floor's upload
    job). With `tls` (the run's certificate and key) the same settings, but only
    quorvin-serve and nginx, which then speak HTTPS only (nginx from nginx-tls.conf.in)."""
    cfg, tmp, docroot = ctx.cfg, ctx.tmp, ctx.docroot
    servers = []
    serve = find_binary(cfg, "apps/quorvin-serve")
    floor = find_binary(cfg, "bench/floor_server")
    extra, notes, skip = quorvin_extra(quorvin_options(serve), part, cfg, tls, tmp)
    if not serve:
        skip = "skipped: quorvin-serve not built"
    one_file = {"1k.htm"} if part in ("keepalive", "workers", "events") else None
    for binding in ("scktcomp", "dwinsock"):
        servers.append(Server(
            f"quorvin {binding}",
            [serve, "--root", docroot, "--port", "{port}", "--binding", binding] + extra,
            prints_line=True, skip=skip, group="quorvin", note="; ".join(notes), only=one_file,
            tls=tls, pinned=part != "workers"))

    nginx = _installed("nginx")
    values = dict(NGINX_CONF[part], **({"CERT": tls["cert"], "KEY": tls["key"]} if tls else {}))
    if part == "events":
        values["WORKER_CONNECTIONS"] = str(cfg.subscribers + 1000)
    servers.append(Server(
        "nginx", [nginx, "-p", tmp, "-e", os.path.join(tmp, "nginx-error.log"), "-c", "{conf}"],
        conf=("nginx-tls.conf.in" if tls else "nginx.conf.in", part, values),
        skip=None if nginx else "skipped: nginx not installed", only=one_file,
        pinned=part != "workers",
        # With master_process off, worker_rlimit_nofile is not applied: the driver raises the
        # limit on open files for nginx itself.
        preexec=raise_nofile if part in ("idle", "bodies", "events") else None, tls=tls))
    if part in ("matrix", "keepalive") and not tls:
        lighttpd = _installed("lighttpd")
        servers.append(Server(
            "lighttpd", [lighttpd, "-D", "-f", "{conf}"],
            conf=("lighttpd.conf.in", part, LIGHTTPD_CONF[part]),
            skip=None if lighttpd else "skipped: lighttpd not installed",
            only={"1k.htm"} if part == "keepalive" else None))
    if part == "matrix" and not tls:
        servers.append(Server(
            "python http.server",
            [sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "--directory", docroot,
             "{port}"]))
        servers.append(Server(
            "floor", [floor, "--port", "{port}", "--file", os.path.join(docroot, "1k.htm")],
            prints_line=True, only={"1k.htm"},
            skip=None if floor else "skipped: floor_server not built"))

    # The floor's event and upload jobs: the kernel's share of a fan-out and of an upload. It
    # serves no file there, so its probe fetches none.
    if part in ("events", "upload") and not tls:
        job = (["--events"] if part == "events"
               else ["--upload", os.path.join(docroot, UPLOAD_FOLDER)])
        servers.append(Server(
            "floor", [floor, "--port", "{port}"] + job, prints_line=True, only=set(),
            skip=None if floor else "skipped: floor_server not built",
            preexec=raise_nofile if part == "events" else None))

    if cfg.servers:
        wanted = [w.strip() for w in cfg.servers.split(",")]
        servers = [s for s in servers if any(w in s.name for w in wanted)]
    return servers


def start_servers(ctx, part, keepalive_probe=False, only=None, tls=None):
    """Starts the servers of `part` (those named in `only`, when given; with `tls`, the run's
    certificate and key, their HTTPS listeners) and probes each; returns them all, those that
    failed with `skip` set."""
    servers = make_servers(ctx, part, tls=tls)
    if only is not None:
        servers = [s for s in servers if s.name in only]
    label = f"{part}, HTTPS" if tls else part
    for s in servers:
        s.start(ctx)
        if s.skip:
            log(f"{s.name} ({label}): {s.skip}")
            continue
        problems = s.probe_keepalive(ctx.docroot) if keepalive_probe else s.probe(ctx.docroot)
        if part == "workers" and not problems:
            # Its cells load kept connections and a connection per request, whose answers
            # differ by their Connection header: each is checked against its own probe.
            problems = s.probe(ctx.docroot)
        if problems:
            log(f"{s.name} ({label}): probe failed: {'; '.join(problems)}")
            stop_process(s.proc)
            s.skip = "probe failed: " + "; ".join(problems)
            s.idle_rss_kib = 0
            continue
        reuse = ("" if s.reuses is None else
                 ", keeps connections" if s.reuses else ", closed the connection after one answer")
        log(f"{s.name} ({label}): listening on {s.port}, pid {s.pid}{reuse}"
            f"{'; ' + s.note if s.note else ''}")
    return servers


def stop_servers(servers):
    for s in servers:
        if s.proc is not None:
            stop_process(s.proc)
