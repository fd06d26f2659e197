"""The request bodies, event subscribers and upload parts: what they read from the answers, the
ticks and curl, the checks of a stored upload, and their tables."""

import os
import socket
import struct
import tempfile
import types
import unittest

import recorded  # noqa: F401 - puts the driver on the path

from quorvin_bench.parts import bodies, events, upload


def server(name, skip=None, note=""):
    return types.SimpleNamespace(name=name, skip=skip, note=note)


class BodyAnswers(unittest.TestCase):
    def test_request_head_announces_the_whole_body(self):
        head = bodies.request_head(8080, size=15 * 2**20, path="/status?code=200")
        self.assertTrue(head.startswith(b"POST /status?code=200 HTTP/1.1\r\n"))
        self.assertIn(b"\r\nContent-Length: 15728640\r\n", head)
        self.assertTrue(head.endswith(b"\r\nConnection: close\r\n\r\n"))

    def test_answers_tallied(self):
        ok = b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nstatus 200"
        cases = [
            # name, answers, answered early, answered 200, problems
            ("AllTaken", [ok, ok, b"HTTP/1.0 200 OK\r\n\r\n"], 0, 3, []),
            ("RefusedOrDropped", [ok, b"HTTP/1.1 413 Content Too Large\r\n\r\n", b"",
                                  b"HTTP/1.1 413 Content Too Large\r\n\r\n", b"garbage"], 0, 1,
             ["2 413", "1 closed", "1 no status line"]),
            ("AnsweredBeforeTheBody", [ok, ok], 1, 2,
             ["1 answered or closed before the body was whole"]),
        ]
        for name, answers, early, want_ok, problems in cases:
            with self.subTest(name):
                self.assertEqual(bodies.tally(answers, early), (want_ok, problems))

    def test_table_sets_each_count_beside_nginxs(self):
        def r(peak_mib, wall, ok=40, problems=()):
            return {"rss0": 4096, "peak": peak_mib * 1024, "opened": 40, "wanted": 40, "ok": ok,
                    "wall": wall, "problems": list(problems), "nofile": "20000"}
        results = {("quorvin scktcomp", 40): r(5, 2.0), ("nginx", 40): r(10, 1.0),
                   ("nginx", 500): r(20, 10.0, ok=499, problems=["1 closed"])}
        rows = bodies.rows([server("quorvin scktcomp"), server("nginx"),
                            server("quorvin dwinsock", skip="skipped: not built")], results)
        by = {(row[0], row[1]): dict(zip(bodies.BODIES_COLUMNS, row)) for row in rows}
        q = by[("quorvin scktcomp", "40")]
        self.assertEqual((q["RSS peak MiB"], q["×nginx"], q["growth KiB/conn"], q["wall ×nginx"],
                          q["answered"], q["check"]), ("5.00", "0.50", "25.6", "2.00", "40 of 40",
                                                       "ok"))
        self.assertEqual(by[("quorvin scktcomp", "500")]["check"], "no run")
        self.assertEqual(by[("quorvin dwinsock", "500")]["check"], "skipped: not built")
        self.assertEqual(by[("nginx", "500")]["check"], "1 closed")
        # A run whose bodies were not all answered gives the goals nothing.
        self.assertEqual(bodies.peaks_mib(results),
                         {("quorvin scktcomp", 40): 5.0, ("nginx", 40): 10.0})


class EventTicks(unittest.TestCase):
    def test_ticks_read_from_chunked_and_plain_streams(self):
        ticks = events.Ticks()
        # quorvin-serve's chunks, the floor's bare events, and a read that caught two ticks.
        ticks.arrived(b"24\r\nid: 7\ndata: tick 7 at 11:41:33 UTC\n\n\r\n", 100.000)
        ticks.arrived(b"id: 7\ndata: tick 7 at 11:41:33 UTC\n\n", 100.080)
        ticks.arrived(b"id: 7\ndata: tick 7\n\nid: 8\ndata: tick 8\n\n", 100.050)
        ticks.arrived(b"24\r\nid: 8\ndata: tick 8 at 11:41:34 UTC\n\n\r\n", 101.010)
        ticks.arrived(b"data: listening\n\n", 99.0)  # no tick in it
        self.assertEqual(ticks.count, {7: 3, 8: 2})
        self.assertEqual(ticks.newest(), 8)
        fan = ticks.fanouts(after=0, subscribers=3)
        self.assertEqual([k for k, _ in fan], [7])
        self.assertAlmostEqual(fan[0][1], 80.0, places=3)
        # Ticks up to `after` came while subscribers were joining: not counted.
        self.assertEqual(ticks.fanouts(after=7, subscribers=2)[0][0], 8)
        self.assertEqual(ticks.fanouts(after=8, subscribers=1), [])

    def test_kernel_timestamp_from_ancillary_data(self):
        stamp = struct.pack("@qq", 1765453293, 250_000_000)
        self.assertEqual(events.kernel_stamp(
            [(socket.SOL_SOCKET, events.SO_TIMESTAMPNS, stamp)]), 1765453293.25)
        self.assertIsNone(events.kernel_stamp([]))
        self.assertIsNone(events.kernel_stamp([(socket.SOL_SOCKET, events.SO_TIMESTAMPNS, b"")]))

    def test_when_a_connection_is_ready(self):
        cases = [
            ("StreamBegun", events.sse_ready,
             b"HTTP/1.1 200 OK\r\n\r\n1d\r\nretry: 1000\ndata: listening\n\n\r\n", True),
            ("HeadOnly", events.sse_ready, b"HTTP/1.1 200 OK\r\n\r\n", False),
            ("WholeAnswer", events.answer_whole,
             b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd", True),
            ("ShortAnswer", events.answer_whole,
             b"HTTP/1.1 200 OK\r\ncontent-length: 5\r\n\r\nabcd", False),
            ("NoLength", events.answer_whole, b"HTTP/1.1 200 OK\r\n\r\nabcd", False),
            ("NoHeadEnd", events.answer_whole, b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n", False),
        ]
        for name, ready, buf, want in cases:
            with self.subTest(name):
                self.assertEqual(ready(buf), want)

    def test_table_memory_beside_nginx_and_fan_out_beside_the_floor(self):
        def r(rss0, rss1, rss2, fanouts, got=10000, ticks_wanted=3, problems=()):
            return {"rss0": rss0, "rss1": rss1, "rss2": rss2, "got": got, "wanted": 10000,
                    "fanouts": fanouts, "ticks_wanted": ticks_wanted,
                    "problems": list(problems), "nofile": "20000",
                    "other_pct": 3.4 if ticks_wanted else None}
        results = {
            "quorvin scktcomp": r(4000, 20000, 30000, [140.0, 130.0, 200.0]),  # 2.6 KiB/sub
            "quorvin dwinsock": r(4000, 4100, 4200, [90.0], got=50, problems=["x"]),
            "nginx": r(11000, 16000, 16000, [], ticks_wanted=0),  # 0.5 KiB/conn
            "floor": r(1000, 1200, 1200, [80.0, 70.0, 75.0]),
        }
        rows = events.rows([server(n) for n in results], results)
        by = {row[0]: dict(zip(events.EVENTS_COLUMNS, row)) for row in rows}
        q = by["quorvin scktcomp"]
        self.assertEqual((q["RSS with them MiB"], q["KiB/subscriber"], q["×nginx"],
                          q["fan-out ms"], q["×floor"], q["slowest ms"], q["ticks"]),
                         ("29.30", "2.60", "5.20", "140.0", "1.87", "200.0", "3 of 3"))
        # Over a few connections the growth is noise: no ratio.
        self.assertEqual((by["quorvin dwinsock"]["×nginx"], by["quorvin dwinsock"]["ticks"],
                          by["quorvin dwinsock"]["check"]), ("-", "1 of 3", "x"))
        self.assertEqual(q["CPU0 other %"], "3")
        n = by["nginx (kept connections)"]
        self.assertEqual((n["KiB/subscriber"], n["fan-out ms"], n["ticks"], n["CPU0 other %"]),
                         ("0.50", "-", "-", "-"))

    def test_share_of_the_server_cpu_other_programs_took(self):
        ticks = events.CLK_TCK  # one second of CPU time
        cases = [("Half", 2 * ticks, ticks, 2.0, 50.0),
                 ("NoneButTheServer", ticks, ticks, 1.0, 0.0),
                 # The server's ticks and the CPU's are read at slightly different moments.
                 ("ServerReadLater", ticks, ticks + 1, 1.0, 0.0), ("NoTime", ticks, 0, 0.0, None)]
        for name, busy, own, seconds, want in cases:
            with self.subTest(name):
                self.assertEqual(events.other_pct(busy, own, seconds), want)


class Upload(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def test_curl_write_out(self):
        cases = [("201 1.653352", (201, 1.653352)), ("\n204 0,5\n", (204, 0.5)),
                 ("000 0.000123", (0, 0.000123)), ("", (None, None)), ("201", (None, None))]
        for text, want in cases:
            with self.subTest(text=text):
                self.assertEqual(upload.parse_curl(text), want)

    def test_spots_cover_both_ends_and_fall_off_the_boundaries(self):
        size = upload.UPLOAD_SIZE
        offsets = upload.spot_offsets(size)
        self.assertEqual((len(offsets), offsets[0], offsets[-1]), (8, 0, size - upload.SPOT))
        self.assertEqual(offsets, sorted(set(offsets)))
        self.assertTrue(all(o % 4096 for o in offsets[1:-1]))
        self.assertEqual(upload.spot_offsets(1000), [0])

    def test_source_pages_open_with_their_offset(self):
        size = 3 * upload.MIB + 100
        upload.make_source(self.path("src"), size)
        self.assertEqual(os.path.getsize(self.path("src")), size)
        with open(self.path("src"), "rb") as f:
            data = f.read()
        for offset in (0, 4096, 2 * upload.MIB + 8192, 3 * upload.MIB):
            self.assertEqual(int.from_bytes(data[offset:offset + 8], "little"), offset)

    def test_checks_of_a_stored_upload(self):
        size = 2 * upload.MIB
        upload.make_source(self.path("src"), size)
        with open(self.path("src"), "rb") as f:
            good = f.read()
        os.mkdir(self.path("up"))
        # A 1 MiB block written where the other belongs: right size, wrong bytes.
        swapped = good[upload.MIB:] + good[:upload.MIB]
        cases = [
            ("Whole", {"f": good}, []),
            ("Missing", {}, ["file not stored"]),
            ("Short", {"f": good[:-1]}, [f"stored {size - 1} bytes, want {size}"]),
            ("BlocksSwapped", {"f": swapped}, ["differs at 8 of 8 spots"]),
            ("TemporaryFileLeft", {"f": good, ".part": b"x"}, ["left .part"]),
        ]
        for name, files, problems in cases:
            with self.subTest(name):
                for n in os.listdir(self.path("up")):
                    os.remove(os.path.join(self.path("up"), n))
                for n, data in files.items():
                    with open(os.path.join(self.path("up"), n), "wb") as f:
                        f.write(data)
                self.assertEqual(upload.check_stored(self.path("up"), "f", self.path("src"),
                                                     size), problems)

    def test_table_of_medians_beside_nginx_and_the_floor(self):
        def r(seconds, cpu, peak_kib, problems=()):
            return {"seconds": seconds, "cpu": cpu, "rss0": 3000, "peak": peak_kib,
                    "other_pct": seconds, "problems": list(problems)}
        runs = {"quorvin scktcomp": [r(1.5, 1.0, 3100), r(1.7, 1.2, 3900),
                                     r(9.0, 5.0, 3200, ["status 500"])],
                "nginx": [r(1.4, 1.0, 7000), r(1.6, 1.0, 7000)],
                "floor": [r(0.8, 0.5, 2000)]}
        summaries = {name: upload.summary(rs) for name, rs in runs.items()}
        rows = upload.rows([server(n) for n in runs] + [server("quorvin dwinsock", "skip")],
                           summaries)
        by = {row[0]: dict(zip(upload.UPLOAD_COLUMNS, row)) for row in rows}
        q = by["quorvin scktcomp"]
        # The failed upload counts for the peak and the check, not for the medians.
        self.assertEqual((q["MiB/s"], q["time ×nginx"], q["×floor"], q["CPU ×nginx"],
                          q["RSS peak MiB"], q["growth MiB"], q["uploads"], q["CPU0 other %"],
                          q["check"]),
                         ("640", "1.07", "2.00", "1.10", "3.81", "0.88", "2 of 3", "9",
                          "status 500"))
        self.assertEqual(by["quorvin dwinsock"]["check"], "skip")


if __name__ == "__main__":
    unittest.main()
