"""The report's shape: sections on stdout and in RESULTS.md, and the ratio columns of a cell."""

import types
import unittest

import recorded  # noqa: F401 - puts the driver on the path

from quorvin_bench import report
from quorvin_bench.cells import KEEPALIVE_CELL, MATRIX


def server(name, only=None):
    return types.SimpleNamespace(name=name, skip=None, note="", kernel_tls=None,
                                 serves=lambda cell: only is None or cell.file in only)


def run(rps, cpu_us, other_pct=1.0, problems=(), **kw):
    return dict(rps=rps, mibps=rps * 1178 / 2**20, cpu_us=cpu_us, busy_pct=50.0,
                other_pct=other_pct, rss_kib=4096, p99_ms=0.25, problems=list(problems), **kw)


class Sections(unittest.TestCase):
    def test_a_section_on_stdout_and_in_results(self):
        s = report.Section("Title", ["server", "req/s", "check"], [["nginx", "5,373", "ok"]],
                           text="A paragraph.")
        self.assertEqual(s.as_text(), "\nTitle\nA paragraph.\n"
                                      "server  req/s  check\n"
                                      "nginx   5,373  ok")
        self.assertEqual(s.as_markdown(), "## Title\n\nA paragraph.\n\n"
                                          "| server | req/s | check |\n"
                                          "|---|---:|---|\n"
                                          "| nginx | 5,373 | ok |\n")

    def test_a_part_that_did_not_run(self):
        s = report.Section("Slow clients", text="skipped: slowhttptest not installed", inline=True)
        self.assertEqual(s.as_text(), "\nSlow clients: skipped: slowhttptest not installed")
        self.assertEqual(s.as_markdown(),
                         "## Slow clients\n\nskipped: slowhttptest not installed\n")

    def test_report_text_and_markdown_around_the_sections(self):
        heading = report.Heading("Quorvin bench", "2 CPUs", {"nginx": "1.22.1"}, {"cells": 14.2})
        shown = report.Section("Client: 10 MiB from nginx", ["client"], [["curl"]],
                               shown_title="Client: 10 MiB from nginx, medians of fetches")
        hidden = report.Section("Client", text="skipped", printed=False)
        self.assertEqual(report.text(heading, [shown, hidden]),
                         "Quorvin bench\n2 CPUs\nVersions: nginx 1.22.1\nTime taken: cells 14 s\n"
                         "\nClient: 10 MiB from nginx, medians of fetches\nclient\ncurl")
        md = report.markdown(heading, [shown, hidden], notes="A note.")
        self.assertTrue(md.startswith("# Benchmark results\n\nQuorvin bench.\n\nMachine: 2 CPUs."
                                      "\n\nVersions: nginx 1.22.1.\n\nColumns: "))
        self.assertTrue(md.endswith("## Client: 10 MiB from nginx\n\n| client |\n|---|\n"
                                    "| curl |\n\n## Client\n\nskipped\n\n## Notes\n\nA note.\n"))


class CellTables(unittest.TestCase):
    def test_matrix_row_with_its_ratios_to_nginx_and_the_floor(self):
        cell = MATRIX[0]
        results = {(cell.key, "quorvin scktcomp"): [run(5000, 80.0), run(6000, 84.5),
                                                    run(5500, 90.0, other_pct=3.0)],
                   (cell.key, "nginx"): [run(5373, 88.0)],
                   (cell.key, "floor"): [run(6749, 59.6)]}
        servers = [server("quorvin scktcomp"), server("nginx"), server("floor"),
                   server("lighttpd")]
        rows = report.cell_rows(cell, servers, results)
        self.assertEqual(len(rows[0]), len(report.COLUMNS))
        self.assertEqual(rows[0], ["quorvin scktcomp", "5,500", "18.2", "1.02", "0.81", "6.2",
                                   "1.02", "84.5", "0.96", "1.42", "50", "4.00", "1.00", "0.25",
                                   "3", "ok"])
        self.assertEqual(rows[3], ["lighttpd"] + ["-"] * 14 + ["no run"])

    def test_keepalive_row_shows_requests_per_connection_and_no_floor(self):
        results = {(KEEPALIVE_CELL.key, "nginx"): [
            run(9000, 20.0, req_per_conn=120.0, problems=["connections not reused: x"])]}
        rows = report.cell_rows(KEEPALIVE_CELL, [server("nginx"), server("floor", {"10m.htm"})],
                                results)
        self.assertEqual(len(rows), 1)  # the floor serves none of its files
        self.assertEqual(dict(zip(report.KEEPALIVE_COLUMNS, rows[0])),
                         {"server": "nginx", "req/s": "9,000", "±%": "-", "×nginx": "1.00",
                          "MiB/s": "10.1", "CPU µs/req": "20.0", "busy %": "50",
                          "RSS load MiB": "4.00", "p99 ms": "0.25", "req/conn": "120",
                          "CPU0 other %": "1", "check": "connections not reused: x"})

    def test_results_tables_keep_their_columns(self):
        # As bench/RESULTS.md has shown them: a reader compares runs across versions.
        self.assertEqual(report.md_table(report.COLUMNS, []).splitlines(), [
            "| server | req/s | ±% | ×nginx | ×floor | MiB/s | ×nginx | CPU µs/req | ×nginx | "
            "×floor | busy % | RSS load MiB | ×nginx | p99 ms | CPU0 other % | check |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"])
        self.assertEqual(report.md_table(report.KEEPALIVE_COLUMNS, []).splitlines()[0],
                         "| server | req/s | ±% | ×nginx | MiB/s | ×nginx | CPU µs/req | ×nginx "
                         "| busy % | RSS load MiB | ×nginx | p99 ms | req/conn | CPU0 other % "
                         "| check |")


if __name__ == "__main__":
    unittest.main()
