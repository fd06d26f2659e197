"""Starting, watching and ending the processes of a run. Every process the driver starts is
recorded in its run's `Processes` and ended by its pid, also when the run is interrupted."""

import os
import resource
import signal
import socket
import subprocess
import sys
import time


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def stop_process(p, grace=5.0):
    if p.poll() is None:
        try:
            os.kill(p.pid, signal.SIGTERM)
            p.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            os.kill(p.pid, signal.SIGKILL)
            p.wait()
        except ProcessLookupError:
            pass
    if p.stdout:
        p.stdout.close()


class Processes:
    """The processes a run has started and not yet seen end."""

    def __init__(self):
        self._live = []

    def popen(self, cmd, **kw):
        p = subprocess.Popen(cmd, **kw)
        self._live.append(p)
        return p

    def start(self, cmd, log_path, **kw):
        """A server: its stdout piped (quorvin-serve says there when it listens), stderr to
        `log_path`, no stdin."""
        with open(log_path, "ab") as logf:
            return self.popen(cmd, stdout=subprocess.PIPE, stderr=logf, stdin=subprocess.DEVNULL,
                              **kw)

    def done(self, p):
        """`p` has ended (or was stopped): no longer the run's to end."""
        self._live.remove(p)

    def stop_all(self):
        for p in reversed(self._live):
            try:
                stop_process(p)
            except Exception:  # noqa: BLE001 - best effort on the way out
                pass
        self._live.clear()

    def on_signal(self, signum, _frame):
        self.stop_all()
        sys.exit(128 + signum)


def raise_nofile():
    """Raises the soft limit on open files to the hard one (to 65536 when there is no hard
    one); returns the limits it replaced."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = hard if hard != resource.RLIM_INFINITY else 65536
    if soft == resource.RLIM_INFINITY or soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))
    return soft, hard


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(p, port, prints_line, timeout=10.0, said=None):
    """Waits until the server listens. Returns None when it does, else the reason it did not.
    What a server that prints its state said until then is added to the list `said`."""
    deadline = time.monotonic() + timeout
    if prints_line:
        # quorvin-serve and the floor server say so on stdout once they listen.
        os.set_blocking(p.stdout.fileno(), False)
        buf = b""
        while time.monotonic() < deadline:
            chunk = p.stdout.read()
            if chunk:
                buf += chunk
                if b"Listening on port" in buf:
                    if said is not None:
                        said.append(buf.decode(errors="replace"))
                    return None
            if p.poll() is not None:
                return f"exited with {p.returncode}"
            time.sleep(0.02)
        return "did not say it was listening"
    while time.monotonic() < deadline:
        if p.poll() is not None:
            return f"exited with {p.returncode}"
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return None
        except OSError:
            time.sleep(0.05)
    return "did not listen"
