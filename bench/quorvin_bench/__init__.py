"""Side-by-side benchmark of quorvin-serve against nginx, lighttpd, python's http.server and a
floor server of our own, one request per new TCP connection, as `make bench` runs it.

Each server runs pinned to one CPU, wrk to another. For every cell of the matrix (file size x
connections) and every server the driver takes three short runs and reports medians of req/s,
MiB/s, the server's CPU time per request (utime + stime from /proc over the completed requests),
its resident memory idle and under load, and each figure as a ratio to nginx and to the floor.
It checks that every answer was a 200 with the file's bytes and that no connection was reused.

Beside the matrix: a keep-alive row (the 1 KiB file over 50 persistent HTTP/1.1 connections,
checked for reuse), slow clients (slowhttptest's slow headers, slow body and slow read, with the
share of its probes the server answered), the resident memory of 1,000 idle connections, and
HTTPS (quorvin-serve and nginx with the same certificate and TLS settings: a full handshake per
request, kept connections, 10 MiB answers, idle TLS connections, and quorvin-fetch against curl),
and two worker processes (quorvin-serve --workers 2 against nginx's worker_processes 2, the 1 KiB
file kept alive and a connection per request, unpinned: servers and wrk share every CPU).

usage: bench/run [--quick] [--runs N] [--duration S] [--servers a,b] [--cells 1k@10,...]
                 [--only matrix,keepalive,slow,idle,tls,workers] [--no-keepalive] [--no-slow]
                 [--no-idle] [--no-tls] [--no-workers]
                 [--write-results [--notes TEXT]] [--build-dir DIR] ...   (--help: all options)
       bench/run --strace N | --callgrind N | --perf S      (profiles instead of the matrix)
Only the standard library is used. Every client connects to 127.0.0.1, and every server listens
there (quorvin-serve is given --bind 127.0.0.1); every process the driver starts is ended by its
pid when it finishes or is interrupted, and the loads and attacks are stopped when they overrun
their length by a margin.

bench/README.md ("The driver") says which module holds what.
"""
