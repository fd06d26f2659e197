"""The goal verdicts: each goal's figure, its limit, and the marks of the runs it came from."""

import unittest

import recorded  # noqa: F401 - puts the driver on the path

from quorvin_bench import goals
from quorvin_bench.goals import D, Q


def run(rps=10000.0, cpu_us=50.0, mibps=10.0, other_pct=1.0, rss_kib=4096, problems=(), **kw):
    return dict(rps=rps, cpu_us=cpu_us, mibps=mibps, other_pct=other_pct, rss_kib=rss_kib,
                problems=list(problems), **kw)


def rows_by_text(measured, parts=("matrix", "keepalive", "slow", "tls")):
    return {text: (figure, result) for text, figure, result in goals.verdicts(measured, parts)}


class Verdicts(unittest.TestCase):
    def test_ratio_to_nginx_at_each_side_of_the_limit(self):
        cases = [
            # name, quorvin's CPU µs/req (nginx's is 50), figure, result
            ("Below", 40.0, "0.80", "met"),
            ("AtTheLimit", 42.5, "0.85", "met"),
            ("Above", 43.0, "0.86", "NOT met"),
        ]
        for name, cpu, figure, result in cases:
            with self.subTest(name):
                m = goals.Measured({("1k@10", Q): [run(cpu_us=cpu)],
                                    ("1k@10", "nginx"): [run(cpu_us=50.0)]})
                self.assertEqual(rows_by_text(m)[f"1k@10: {Q} CPU/req ≤ 0.85× nginx"],
                                 (figure, result))

    def test_higher_is_better_goals_need_the_figure_reached(self):
        m = goals.Measured({("1k@50", Q): [run(rps=9000.0)], ("1k@50", "nginx"): [run()],
                            ("1k@50", D): [run(rps=8000.0)]})
        rows = rows_by_text(m)
        self.assertEqual(rows["1k@50: req/s ≥ 1.00× nginx"], ("0.90", "NOT met"))
        self.assertEqual(rows["1k@50: dwinsock req/s ≥ 0.90× scktcomp"], ("0.89", "NOT met"))

    def test_medians_of_the_runs_are_compared(self):
        m = goals.Measured({("1k@1", D): [run(cpu_us=c) for c in (40.0, 90.0, 45.0)],
                            ("1k@1", "nginx"): [run(cpu_us=c) for c in (50.0, 10.0, 60.0)]})
        self.assertEqual(rows_by_text(m)[f"1k@1: {D} CPU/req ≤ 0.85× nginx"], ("0.90", "NOT met"))

    def test_missing_figures_are_not_measured(self):
        m = goals.Measured({("1k@10", Q): [run()], ("100k@10", "nginx"): [run(cpu_us=0.0)]})
        rows = rows_by_text(m)
        self.assertEqual(rows[f"1k@10: {Q} CPU/req ≤ 0.85× nginx"], ("-", "not measured"))
        # A base of zero gives no ratio either.
        self.assertEqual(rows[f"100k@10: {Q} CPU/req ≤ 0.85× nginx"], ("-", "not measured"))
        self.assertEqual(rows["RSS idle ≤ 3 MiB"], ("-", "not measured"))

    def test_marks_of_the_runs_behind_a_verdict(self):
        tls_hs = "tls-1k@10"
        cases = [
            # name, cell, quorvin's run, nginx's run, result
            ("Clean", "1k@10", run(), run(), "met"),
            ("OtherProgramsOnTheServerCpu", "1k@10", run(), run(other_pct=25.0),
             "met (disturbed run)"),
            ("AtTheNoisyShareStillClean", "1k@10", run(other_pct=10.0), run(), "met"),
            ("KeptConnectionsClosed", "1k@50ka", run(problems=["connections not reused: x"]),
             run(), "met (connections not reused)"),
            ("SessionsResumed", tls_hs, run(resumed=3, hung=0, late=0), run(),
             "met (sessions resumed)"),
            ("ClientsHeldUp", tls_hs, run(resumed=0, hung=0, late=1),
             run(resumed=0, hung=0, late=0), "met (connections hung)"),
            ("Several", tls_hs, run(other_pct=50.0, resumed=1, hung=1, late=0), run(),
             "met (disturbed run) (sessions resumed) (connections hung)"),
        ]
        texts = {"1k@10": "1k@10: req/s ≥ 1.00× nginx",
                 "1k@50ka": f"1k@50ka (keep-alive): {Q} CPU/req ≤ 1.00× nginx",
                 tls_hs: f"{tls_hs} (HTTPS, full handshakes): {Q} CPU/req ≤ 1.00× nginx"}
        for name, cell, mine, nginx, result in cases:
            with self.subTest(name):
                m = goals.Measured({(cell, Q): [mine], (cell, "nginx"): [nginx]}, noisy=10.0)
                self.assertEqual(rows_by_text(m)[texts[cell]], ("1.00", result))

    def test_a_mark_of_a_server_the_goal_does_not_compare_is_left_out(self):
        m = goals.Measured({("1k@10", Q): [run()], ("1k@10", "nginx"): [run()],
                            ("1k@10", D): [run(other_pct=90.0)]})
        self.assertEqual(rows_by_text(m)["1k@10: req/s ≥ 1.00× nginx"], ("1.00", "met"))

    def test_system_calls_against_nginxs(self):
        def calls(total):
            return [(total - 1.0, 0.0, "epoll_wait"), (1.0, 0.0, "close")]
        m = goals.Measured({}, syscalls={Q: calls(11.0), D: calls(12.5), "nginx": calls(12.0)})
        rows = rows_by_text(m)
        self.assertEqual(rows[f"{Q}: system calls/req at 1 connection ≤ nginx's"],
                         ("11.00", "met"))
        self.assertEqual(rows[f"{D}: system calls/req at 1 connection ≤ nginx's"],
                         ("12.50", "NOT met"))
        without_nginx = rows_by_text(goals.Measured({}, syscalls={Q: calls(11.0)}))
        self.assertEqual(without_nginx[f"{Q}: system calls/req at 1 connection ≤ nginx's"],
                         ("-", "not measured"))

    def test_allocations_against_nginxs(self):
        m = goals.Measured({}, allocations={Q: (3.0, 13000), D: (4.5, 13000), "nginx": (4.0, 12000)})
        rows = rows_by_text(m)
        self.assertEqual(rows[f"{Q}: allocations/req at 1 connection ≤ nginx's"], ("3.00", "met"))
        self.assertEqual(rows[f"{D}: allocations/req at 1 connection ≤ nginx's"],
                         ("4.50", "NOT met"))

    def test_memory_slow_clients_and_the_client(self):
        m = goals.Measured(
            {("1k@50", Q): [run(rss_kib=7 * 1024)]}, idle_rss_kib={Q: 3 * 1024, "nginx": 7000},
            slow={(Q, "slow headers"): {"available_pct": 100.0},
                  (Q, "slow read"): {"available_pct": 96.0}},
            tls_walls={"curl": 100.0, "quorvin-fetch scktcomp": 110.0},
            big_walls={"curl": 1000.0, "quorvin-fetch dwinsock": 1200.0},
            big_peaks={"curl": 10.0, "quorvin-fetch scktcomp": 2.0})
        rows = rows_by_text(m)
        self.assertEqual(rows["RSS idle ≤ 3 MiB"], ("3.00", "met"))
        self.assertEqual(rows["RSS under 1k@50 ≤ 6 MiB"], ("7.00", "NOT met"))
        self.assertEqual(rows[f"slow clients, slow headers (-H): {Q} available % = 100"],
                         ("100.00", "met"))
        self.assertEqual(rows[f"slow clients, slow read (-X): {Q} available % = 100"],
                         ("96.00", "NOT met"))
        self.assertEqual(rows[f"slow clients, slow body (-B): {Q} available % = 100"],
                         ("-", "not measured"))
        self.assertEqual(rows["HTTPS client, 10 MiB from nginx: quorvin-fetch scktcomp wall "
                              "time ≤ 1.10× curl"], ("1.10", "met"))
        big = "Client, 1 GiB from nginx to disk: quorvin-fetch"
        self.assertEqual(rows[f"{big} dwinsock wall time ≤ 1.10× curl"], ("1.20", "NOT met"))
        self.assertEqual(rows[f"{big} scktcomp peak RSS ≤ curl's + 8 MiB (figure: the "
                              "difference, MiB)"], ("-8.00", "met"))

    def test_request_bodies_peak_memory(self):
        m = goals.Measured({}, bodies_peaks={(Q, 40): 5.5, (Q, 500): 64.0, (D, 500): 64.5})
        rows = rows_by_text(m, parts=("bodies",))
        body = "request bodies, {} × 15 MiB at once: {} peak RSS ≤ 64 MiB"
        self.assertEqual(rows[body.format(40, Q)], ("5.50", "met"))
        self.assertEqual(rows[body.format(500, Q)], ("64.00", "met"))
        self.assertEqual(rows[body.format(500, D)], ("64.50", "NOT met"))
        self.assertEqual(rows[body.format(40, D)], ("-", "not measured"))

    def test_only_the_goals_of_the_parts_that_ran_in_the_tables_order(self):
        m = goals.Measured({})
        counts = {part: len(goals.verdicts(m, {part}))
                  for part in ("matrix", "keepalive", "slow", "idle", "bodies", "events",
                               "upload", "tls", "workers")}
        self.assertEqual(counts, {"matrix": 31, "keepalive": 4, "slow": 6, "idle": 0,
                                  "bodies": 4, "events": 0, "upload": 0, "tls": 8,
                                  "workers": 0})
        texts = [row[0] for row in goals.verdicts(m, {"matrix", "keepalive"})]
        self.assertTrue(texts[0].endswith("system calls/req at 1 connection ≤ nginx's"))
        self.assertTrue(texts[-1].endswith("(figure: the difference, MiB)"))
        self.assertIn("(keep-alive)", texts[27])


if __name__ == "__main__":
    unittest.main()
