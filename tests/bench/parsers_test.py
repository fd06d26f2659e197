"""The bench driver's readings of what its tools print, fed with recorded output."""

import unittest

from recorded import sample

from quorvin_bench import procfs, s_time, servers, wrk
from quorvin_bench.cells import KEEPALIVE_CELL, MATRIX, TLS_HANDSHAKE_CELL
from quorvin_bench.config import Config
from quorvin_bench.parts import profiles, slow, tls

CELL_1K_10 = MATRIX[1]
# wrk's HTTP/1.1 request for the 1 KiB file on the port of the recorded ss sample.
KEEPALIVE_REQUEST_LEN = len("GET /1k.htm HTTP/1.1\r\nHost: 127.0.0.1:18431\r\n\r\n")


class WrkOutput(unittest.TestCase):
    def test_result_line_is_read_among_wrks_own_lines(self):
        w = wrk.parse_result(sample("wrk-ok.txt"))
        self.assertEqual((w["requests"], w["bytes"], w["duration_us"], w["p99_us"]),
                         (7213, 8684452, 1006088, 5044))
        self.assertEqual([w[k] for k in wrk.ERROR_KINDS], [0] * 6)

    def test_statuses_not_200_are_counted_by_wrk_and_by_the_hook(self):
        w = wrk.parse_result(sample("wrk-404.txt"))
        self.assertEqual((w["status"], w["non200"]), (6173, 6173))

    def test_no_result_when_wrk_could_not_connect(self):
        self.assertIsNone(wrk.parse_result(sample("wrk-refused.txt")))

    def test_requests_carried_by_each_open_connection(self):
        # bytes_received of the three connections over one request's length.
        self.assertEqual(wrk.parse_ss_carried(sample("ss-keepalive.txt"), KEEPALIVE_REQUEST_LEN),
                         [12.0, 7.0, 20.0])
        self.assertEqual(wrk.parse_ss_carried("", KEEPALIVE_REQUEST_LEN), [])


class WrkChecks(unittest.TestCase):
    """What a run's check column says, from wrk's figures and the connections counted."""

    def test_checks_of_a_run(self):
        ok = wrk.parse_result(sample("wrk-ok.txt"))  # 7213 answers of 1204 bytes
        not_found = wrk.parse_result(sample("wrk-404.txt"))
        carried = wrk.parse_ss_carried(sample("ss-keepalive.txt"), KEEPALIVE_REQUEST_LEN)
        cases = [
            # name, figures, cell, answer size, connections accepted, carried, problems,
            # requests per kept connection
            ("AllAnswersOnNewConnections", ok, CELL_1K_10, 1204, 7213, None, [], None),
            ("AnswersInFlightAtTheEndAllowed", dict(ok, bytes=ok["bytes"] - 10 * 1204),
             CELL_1K_10, 1204, 7300, None, [], None),
            ("ShortBeyondTheAnswersInFlight", dict(ok, bytes=ok["bytes"] - 30000), CELL_1K_10,
             1204, 7213, None, ["bytes 1200/req, want 1204"], None),
            ("ErrorPagesInsteadOfTheFile", not_found, CELL_1K_10, 1204, 6173, None,
             ["status 6173 non200 6173", "bytes 313/req, want 1204"], None),
            ("ConnectionsReusedWhereEachShouldBeNew", ok, CELL_1K_10, 1204, 100, None,
             ["only 100 connections for 7213 requests"], None),
            ("NothingCompleted", dict(ok, requests=0, bytes=0), CELL_1K_10, 1204, 0, None,
             ["no request completed"], None),
            ("KeptConnectionsReused", ok, KEEPALIVE_CELL, 1204, 0, carried, [], 12.0),
            ("KeptConnectionsClosedAfterEachAnswer", ok, KEEPALIVE_CELL, 1204, 0, [1.0, 0.0, 1.0],
             ["connections not reused: those open near the end (3) had carried a median of 1 "
              "requests"], 1.0),
            ("KeptConnectionsNotSampled", ok, KEEPALIVE_CELL, 1204, 0, None,
             ["reuse not checked: no sample of the connections"], 0.0),
        ]
        for name, w, cell, size, opens, carried_now, want, per_conn_want in cases:
            with self.subTest(name):
                problems, per_conn = wrk.checks(w, cell, size, opens, carried_now)
                self.assertEqual(problems, want)
                self.assertEqual(per_conn, per_conn_want)


class STimeOutput(unittest.TestCase):
    def test_new_sessions_counted_from_the_marks(self):
        marks, done = s_time.parse_output(sample("s_time-new.txt"))
        self.assertEqual((len(marks), marks.count("r")), (622, 0))
        self.assertEqual(done, (622, 748888))  # 1204 bytes a connection

    def test_resumed_sessions_marked_r(self):
        marks, done = s_time.parse_output(sample("s_time-reuse.txt"))
        self.assertEqual((len(marks), marks.count("r")), (1022, 1022))
        self.assertEqual(done, (1022, 1230488))

    def test_stopped_client_has_marks_but_no_summary(self):
        text = sample("s_time-new.txt").split("\n\n")[0]
        marks, done = s_time.parse_output(text)
        self.assertEqual((len(marks), done), (622, None))

    def test_clients_held_up_are_summed_over_the_runs(self):
        runs = [{"hung": 0, "late": 0}, {"hung": 2, "late": 1}, {"hung": 0, "late": 0}]
        self.assertEqual(s_time.hung_text(TLS_HANDSHAKE_CELL, runs), [
            "clients stopped, still waiting 10 s after the run's end: 0, 2, 0 of 10 in the runs",
            "clients that finished more than a second late: 0, 1, 0 of 10 in the runs"])
        self.assertEqual(s_time.hung_text(TLS_HANDSHAKE_CELL, runs[:1]), [])


class StraceOutput(unittest.TestCase):
    def test_calls_per_request_from_strace_c(self):
        rows = profiles.parse_strace_summary(sample("strace-c.txt"), 20)
        self.assertEqual(rows[0], (65 / 20, 0.0, "epoll_wait"))
        self.assertIn((21 / 20, 1 / 20, "openat"), rows)  # the errors column, where given
        self.assertNotIn("total", [name for _, _, name in rows])
        self.assertAlmostEqual(sum(c for c, _, _ in rows), 255 / 20)

    def test_kernel_tls_column_from_the_calls_of_one_answer(self):
        cases = [
            ("quorvin-serve without kernel TLS", sample("strace-ktls-quorvin.txt"),
             "no: 0 sendfile, 4 writes; tls ULP not asked for"),
            ("nginx asking the kernel in vain", sample("strace-ktls-nginx.txt"),
             "no: 0 sendfile, 5 writes; tls ULP refused"),
            ("nginx where the kernel has it",
             sample("strace-ktls-nginx.txt").replace("= -1 ENOENT (No such file or directory)",
                                                     "= 0")
             + '22992 sendfile(7, 9, [0] => [1024], 1024) = 1024\n',
             "yes: 1 sendfile, 5 writes; tls ULP switched to"),
        ]
        for name, text, want in cases:
            with self.subTest(name):
                self.assertEqual(tls.kernel_tls_words(*tls.count_strace_calls(text)), want)


class CallgrindOutput(unittest.TestCase):
    def test_instructions_per_request_and_where_they_go(self):
        total, functions = profiles.parse_callgrind_annotate(sample("callgrind-annotate.txt"), 20)
        self.assertEqual(total, 307788)
        # main and the frames below it carry the whole total (the dump was taken in
        # epoll_wait): they are left out; names lose "???:" and the object in brackets.
        self.assertEqual(functions[0], (22190 / 20, "quorvin::web::HeadReader::GetLine("
                                        "std::basic_string_view<char, std::char_traits<char> "
                                        ">, unsigned long&)"))
        self.assertNotIn("main", [name for _, name in functions])
        self.assertIn((12958 / 20, "malloc"), functions)

    def test_malloc_calls_through_compressed_names(self):
        dump = sample("callgrind-dump.txt").splitlines(keepends=True)
        self.assertEqual(profiles.malloc_calls(dump), 341)
        # A later call site names malloc by its number alone; calls of free do not count.
        later = ["fn=(492)\n", "cfn=(124)\n", "calls=5 0 \n", "0 40\n", "cfn=(176)\n",
                 "calls=7 0 \n", "0 90\n"]
        self.assertEqual(profiles.malloc_calls(dump + later), 346)


class SlowhttptestOutput(unittest.TestCase):
    def read(self, name):
        return slow.parse_slowhttptest(sample(f"slowhttptest-{name}.csv", newline=""),
                                       sample(f"slowhttptest-{name}.out"))

    def test_availability_of_each_recorded_attack(self):
        cases = [
            # recording, exit status, share available, first second unavailable, connected
            ("held", "Hit test time limit", 100.0, None, 20),
            ("full", "Hit test time limit", 100.0 * 2 / 6, 4, 20),  # probes lost from 4 s on
            ("refused", "Connection refused", 0.0, 0, 0),
        ]
        for name, ended_want, pct, first_down, connected in cases:
            with self.subTest(name):
                samples, ended, errors = self.read(name)
                self.assertEqual((ended, errors), (ended_want, 0))
                r = slow.availability(samples, ended, probe=2, length=6, server_died=False)
                self.assertAlmostEqual(r["available_pct"], pct)
                self.assertEqual((r["first_down"], r["connected"]), (first_down, connected))

    def test_rows_before_the_first_probe_had_its_time_are_no_samples(self):
        samples, ended, _ = self.read("held")
        self.assertEqual(len(samples), 8)
        self.assertEqual(slow.availability(samples, ended, 2, 6, False)["samples"], 6)

    def test_server_that_died_counts_as_unavailable_to_the_end(self):
        samples, ended, _ = self.read("held")
        r = slow.availability(samples[:4], ended, probe=2, length=6, server_died=True)
        self.assertEqual((r["samples"], r["first_down"]), (5, 4))  # 2, 3 up; 4, 5, 6 down
        self.assertAlmostEqual(r["available_pct"], 40.0)

    def test_terminal_output_stands_in_for_a_csv_without_availability(self):
        samples, _, _ = slow.parse_slowhttptest("Seconds,Closed,Pending,Connected\n0,0,1,0\n",
                                                sample("slowhttptest-full.out"))
        self.assertEqual([(x["seconds"], x["connected"], x["available"]) for x in samples],
                         [(0, 0, True), (5, 20, False)])


class SClientOutput(unittest.TestCase):
    def test_session_table_row(self):
        first, again = sample("s_client-first.txt"), sample("s_client-again.txt")
        older = sample("s_client-tls12.txt")
        unverified = first.replace("Verify return code: 0 (ok)", "Verify return code: 18 (self "
                                   "signed certificate)")
        cases = [
            ("AllWell", (first, again, older),
             ["TLSv1.3", "TLS_AES_256_GCM_SHA384", "X25519", "ECDSA (SHA256)", "yes",
              "ECDHE-ECDSA-AES256-GCM-SHA384", "ok"]),
            ("TicketNotOffered", (first, "", older),
             ["TLSv1.3", "TLS_AES_256_GCM_SHA384", "X25519", "ECDSA (SHA256)", "-",
              "ECDHE-ECDSA-AES256-GCM-SHA384", "a ticket did not resume"]),
            ("TicketRefused", (first, first, ""),
             ["TLSv1.3", "TLS_AES_256_GCM_SHA384", "X25519", "ECDSA (SHA256)", "no",
              "not spoken", "a ticket did not resume"]),
            ("NotVerified", (unverified, again, older),
             ["TLSv1.3", "TLS_AES_256_GCM_SHA384", "X25519", "ECDSA (SHA256)", "yes",
              "ECDHE-ECDSA-AES256-GCM-SHA384", "certificate not verified"]),
            ("NoHandshake", ("", "", ""),
             ["-", "-", "-", "-", "-", "not spoken", "no TLS session; a ticket did not resume"]),
        ]
        for name, outputs, want in cases:
            with self.subTest(name):
                self.assertEqual(tls.session_row("nginx", *outputs), ["nginx"] + want)


class ProcReadings(unittest.TestCase):
    def test_cpu_ticks_counted_after_the_command_name(self):
        self.assertEqual(procfs.stat_cpu_ticks(sample("proc-stat-serve.txt")), 41 + 96)
        # A name with spaces and parentheses of its own: "odd) (name 1 2".
        self.assertEqual(procfs.stat_cpu_ticks(sample("proc-stat-odd.txt")), 23 + 4)

    def test_memory_and_descriptor_limit(self):
        self.assertEqual(procfs.status_rss_kib(sample("proc-status.txt")), 3548)
        self.assertEqual(procfs.status_rss_kib("Name:\tzombie\nState:\tZ (zombie)\n"), 0)
        self.assertEqual(procfs.limits_nofile_soft(sample("proc-limits.txt")), "20000")
        self.assertEqual(procfs.limits_nofile_soft(""), "?")

    def test_accepted_connections_from_the_tcp_columns(self):
        self.assertEqual(procfs.snmp_passive_opens(sample("proc-net-snmp.txt")), 71600)

    def test_busy_ticks_of_one_cpu(self):
        text = sample("proc-stat-cpus.txt")
        # user + nice + system + irq + softirq; not idle, iowait or steal.
        self.assertEqual(procfs.stat_cpu_busy_ticks(text, 0), 78384 + 7234 + 23479 + 0 + 155)
        self.assertEqual(procfs.stat_cpu_busy_ticks(text, 1), 75892 + 9491 + 24321 + 0 + 257)
        self.assertEqual(procfs.stat_cpu_busy_ticks(text, 2), 0)


def config(**kw):
    values = dict(runs=3, duration=5, warmup=1, quick=False, noisy=10, retries=1, nice=0,
                  realtime=False, no_stream=False, slow_duration=30, slow_connections=200,
                  slow_probe=2, idle_connections=1000, subscribers=10000, servers=None, cells=None,
                  write_results=False, strace=None, strace_requests=2000, perf=None, notes=None,
                  callgrind=None, build_dir=None, parts=frozenset())
    values.update(kw)
    return Config(**values)


class QuorvinServeOptions(unittest.TestCase):
    def test_options_named_only_whole(self):
        options = servers.options_in_usage(sample("serve-help.txt"))
        self.assertTrue({"--bind", "--binding", "--keep-alive", "--no-keep-alive",
                         "--keep-alive-timeout", "--workers", "--tls-cert"} <= options)
        self.assertNotIn("--keep-alive", servers.options_in_usage(
            "[--no-keep-alive] [--keep-alive-timeout SECONDS]"))

    def test_each_part_passes_what_the_build_lists(self):
        full = servers.options_in_usage(sample("serve-help.txt"))
        old = full - {"--bind", "--workers", "--keep-alive"}
        tls_files = {"cert": "c.pem", "key": "k.pem"}
        loopback = ["--bind", "127.0.0.1"]
        cases = [
            ("matrix", full, None, loopback + ["--no-dispatcher", "--no-keep-alive"], [], None),
            ("slow", full, None, loopback, [], None),
            ("keepalive", full, None, loopback + [
                "--no-dispatcher", "--keep-alive", "--keep-alive-requests", "1000000",
                "--keep-alive-timeout", "300"], [], None),
            ("idle", full, None, loopback + ["--no-dispatcher", "--max-connections", "2000"], [],
             None),
            # The body and event parts need the demo actions: the dispatcher stays.
            ("bodies", full, None, loopback + ["--max-connections", "1000", "--body-folder",
                                               "/run/tmp"], [], None),
            ("events", full, None, loopback + ["--max-connections", "20000", "--timeout", "0"],
             [], None),
            ("upload", full, None, loopback + ["--no-dispatcher", "--upload", "--max-body", "1G"],
             [], None),
            ("matrix", full, tls_files, loopback + [
                "--no-dispatcher", "--no-keep-alive", "--tls-cert", "c.pem", "--tls-key", "k.pem"],
             [], None),
            # An older build: what it lacks is left out, or said, or the part skipped.
            ("matrix", old, None, ["--no-dispatcher", "--no-keep-alive"], [], None),
            ("workers", old, None, ["--no-dispatcher", "--keep-alive-requests", "1000000",
                                    "--keep-alive-timeout", "300"], [],
             "skipped: quorvin-serve has no --workers"),
            ("keepalive", {"--no-dispatcher"}, None, ["--no-dispatcher"],
             ["skipped: quorvin-serve has no --keep-alive"], None),
            ("upload", old - {"--upload"}, None, ["--no-dispatcher"], [],
             "skipped: quorvin-serve has no --upload or --max-body"),
        ]
        for part, options, tls_given, extra, notes, skip in cases:
            with self.subTest(part=part, build="full" if options is full else "older"):
                self.assertEqual(
                    servers.quorvin_extra(options, part, config(), tls_given, "/run/tmp"),
                    (extra, notes, skip))


if __name__ == "__main__":
    unittest.main()
