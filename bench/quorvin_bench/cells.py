"""The loads of the bench: a file at a number of connections, and the cells each part runs."""

from .docroot import FILES

SIZE_NAMES = {"1k.htm": "1 KiB", "100k.htm": "100 KiB", "10m.htm": "10 MiB"}


class Cell:
    """One load: a file at a number of connections. A keep-alive cell lets wrk send HTTP/1.1
    requests over connections it keeps; the others open a new connection per request. A TLS
    cell loads the servers' HTTPS listeners; a handshake cell is loaded by `openssl s_time -new`
    instead of wrk, so that every connection makes a full handshake."""

    def __init__(self, file, conns, keepalive=False, tls=False, handshake=False, workers=0):
        self.file, self.conns, self.keepalive = file, conns, keepalive
        self.tls, self.handshake = tls, handshake
        # Servers of several processes: nothing pinned, so "other programs" on the server's CPU
        # are not measured, and the server's figures are those of all its processes.
        self.workers = workers
        self.size = FILES[file]

    @property
    def key(self):
        return (f"{'tls-' if self.tls else ''}{f'w{self.workers}-' if self.workers else ''}"
                f"{self.file.split('.')[0]}@{self.conns}{'ka' if self.keepalive else ''}")

    @property
    def title(self):
        size = SIZE_NAMES[self.file]
        title = f"{size} file, {self.conns} connection{'s' if self.conns > 1 else ''}"
        if self.handshake:
            title = (f"HTTPS: {size} file, a new connection and a full handshake per request, "
                     f"{self.conns} at a time (openssl s_time -new)")
        elif self.tls:
            title = "HTTPS: " + title
        elif self.workers:
            title = (f"{self.workers} worker processes, servers and wrk -t{self.workers} sharing "
                     f"every CPU (nothing pinned): " + title
                     + ("" if self.keepalive else ", a new connection per request"))
        return title + (", kept alive (HTTP/1.1, connections reused)" if self.keepalive else "")


MATRIX = [Cell("1k.htm", 1), Cell("1k.htm", 10), Cell("1k.htm", 50), Cell("100k.htm", 10),
          Cell("10m.htm", 4)]
# The keep-alive row: the same file and connections as the busiest 1 KiB cell, but every
# connection carries as many requests as the server lets it.
KEEPALIVE_CELL = Cell("1k.htm", 50, keepalive=True)
# The workers part: the keep-alive row's load and the busiest 1 KiB cell, against servers of two
# worker processes.
WORKERS_CELLS = [Cell("1k.htm", 50, keepalive=True, workers=2), Cell("1k.htm", 50, workers=2)]
# HTTPS: a full handshake per request (loaded by s_time), kept connections, and large answers.
TLS_HANDSHAKE_CELL = Cell("1k.htm", 10, tls=True, handshake=True)
TLS_KEEPALIVE_CELL = Cell("1k.htm", 50, keepalive=True, tls=True)
TLS_BULK_CELL = Cell("10m.htm", 4, tls=True)
TLS_CELLS = [TLS_HANDSHAKE_CELL, TLS_KEEPALIVE_CELL, TLS_BULK_CELL]
