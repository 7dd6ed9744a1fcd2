"""Tests of the benchmark script's arithmetic: /proc parsing, rates,
verdicts, the README block and the tools' outputs."""

import os
import subprocess
import tempfile
import unittest

import bench


class ProcParsing(unittest.TestCase):
    def test_stat_ticks_counts_fields_after_the_command_name(self):
        cases = [
            ("1 (rousel) S 0 1 1 0 -1 4194560 10 0 0 0 7 5 0 0 20 0 3 0", 12),
            # A name with blanks and parentheses must not shift the fields.
            ("2 (a) b (c) S 0 1 1 0 -1 4194560 10 0 0 0 30 12 0 0 20 0 1 0", 42),
        ]
        for text, ticks in cases:
            with self.subTest(text=text):
                self.assertEqual(bench.stat_ticks(text), ticks)

    def test_snapshot_sums_all_threads(self):
        with tempfile.TemporaryDirectory() as proc:
            for tid, (ns, utime, switches) in {"10": (1000, 3, 7), "11": (500, 1, 4)}.items():
                base = os.path.join(proc, "10", "task", tid)
                os.makedirs(base)
                with open(os.path.join(base, "schedstat"), "w") as f:
                    f.write(f"{ns} 0 0\n")
                with open(os.path.join(base, "stat"), "w") as f:
                    f.write(f"{tid} (x) S 0 0 0 0 0 0 0 0 0 0 {utime} 1 0 0\n")
                with open(os.path.join(base, "status"), "w") as f:
                    f.write(f"Name:\tx\nvoluntary_ctxt_switches:\t{switches}\n"
                            "nonvoluntary_ctxt_switches:\t2\n")
            with open(os.path.join(proc, "10", "status"), "w") as f:
                f.write("Name:\tx\nVmHWM:\t    4408 kB\n")
            with open(os.path.join(proc, "10", "smaps_rollup"), "w") as f:
                f.write("Rss:\t3000 kB\nShared_Clean:\t2000 kB\nPrivate_Clean:\t100 kB\n"
                        "Private_Dirty:\t 230 kB\n")
            snap = bench.process_snapshot(10, proc=proc)
        # Wake-ups count involuntary switches too; memory only private pages.
        self.assertEqual((snap["cpu_ns"], snap["ticks"], snap["switches"], snap["voluntary"],
                          snap["threads"], snap["hwm_kb"], snap["private_kb"]),
                         (1500, 6, 15, 11, 2, 4408, 330))


class Smaps(unittest.TestCase):
    def test_memory_of_one_copy_by_what_holds_it(self):
        # Resident pages count, whoever else maps them; of the runtime
        # libraries only the pages written; the vDSO not at all.
        smaps = "\n".join([
            "55e7c615b000-55e7c615f000 r--p 00000000 fd:01 12 /work/rousel",
            "Rss:                  16 kB",
            "Shared_Clean:         16 kB",
            "Private_Dirty:         0 kB",
            "55e7c6193000-55e7c6194000 rw-p 00038000 fd:01 12 /work/rousel",
            "Rss:                   4 kB",
            "Private_Dirty:         4 kB",
            "55e804da2000-55e804dea000 rw-p 00000000 00:00 0 [heap]",
            "Rss:                 108 kB",
            "Private_Dirty:       108 kB",
            "7ff974000000-7ff974021000 rw-p 00000000 00:00 0 ",
            "Rss:                   8 kB",
            "7ff983b0d000-7ff983b11000 r-xp 001d4000 fd:01 40 /usr/lib/libasound.so.2.0.0",
            "Rss:                 300 kB",
            "Shared_Clean:        300 kB",
            "Private_Dirty:         0 kB",
            "7ff983b0d000-7ff983b11000 r--p 001d4000 fd:01 41 /usr/lib/libstdc++.so.6.0.30",
            "Rss:                 900 kB",
            "Shared_Clean:        856 kB",
            "Private_Dirty:        44 kB",
            "7ff983c0d000-7ff983c11000 r--p 00000000 fd:01 42 /usr/lib/locale/C.utf8/LC_CTYPE",
            "Rss:                  12 kB",
            "Private_Dirty:         0 kB",
            "7fff32653000-7fff32674000 rw-p 00000000 00:00 0 [stack]",
            "Rss:                  12 kB",
            "7fff326f0000-7fff326f2000 r-xp 00000000 00:00 0 [vdso]",
            "Rss:                   8 kB",
            "VmFlags: rd wr mr mw me gd ac",
        ])
        with tempfile.TemporaryDirectory() as proc:
            os.makedirs(os.path.join(proc, "7"))
            with open(os.path.join(proc, "7", "smaps"), "w") as f:
                f.write(smaps + "\n")
            groups = bench.smaps_groups(7, "/work/rousel", proc=proc)
        self.assertEqual(groups, {"program": 20, "libraries": 344, "heap": 108, "anonymous": 20})


class Strace(unittest.TestCase):
    def test_calls_counted_once_and_write_bytes_from_their_results(self):
        log = "\n".join([
            '101 futex(0x1, FUTEX_WAIT_PRIVATE, 0, NULL <unfinished ...>',
            '100 writev(5, [{iov_base="\\33[2;37H12", iov_len=9}], 1) = 9',
            '101 <... futex resumed>) = 0',
            '100 write(5, "abc", 3 <unfinished ...>',
            '102 clock_nanosleep(CLOCK_MONOTONIC, 0, {tv_sec=0}, NULL) = 0',
            '100 <... write resumed>) = 3',
            '100 write(5, "x", 1) = -1 EAGAIN (Resource temporarily unavailable)',
            '100 --- SIGWINCH {si_signo=SIGWINCH} ---',
            '100 +++ exited with 0 +++',
        ])
        stats = bench.parse_strace(log)
        self.assertEqual(stats["calls"], {"futex": 1, "writev": 1, "write": 2,
                                          "clock_nanosleep": 1})
        self.assertEqual((stats["writes"], stats["write_bytes"]), (3, 12))


class Callgrind(unittest.TestCase):
    def test_self_instructions_by_object_leave_out_the_calls(self):
        dump = "\n".join([
            "events: Ir",
            "ob=(1) /usr/lib/ld-linux-x86-64.so.2",
            "fl=(1) ???",
            "fn=(1) _dl_relocate_object",
            "0 700",
            "cob=(2) /work/rousel",
            "cfn=(2) main",
            "calls=1 0",
            "0 5000",  # main's instructions, called from here: counted in main
            "+3 100",
            "ob=(2)",
            "fn=(2)",
            "0 40",
            "ob=(3) /usr/lib/libc.so.6",
            "fn=(3) memcpy",
            "-2 9",
            "totals: 849",
        ])
        objects = bench.callgrind_objects(dump)
        self.assertEqual(objects, {"/usr/lib/ld-linux-x86-64.so.2": 800, "/work/rousel": 40,
                                   "/usr/lib/libc.so.6": 9})
        self.assertEqual(bench.loader_share(objects), 800)


class Runs(unittest.TestCase):
    def test_medians_ranges_and_every_run_must_pass(self):
        F = bench.Figure
        runs = [[F("w", "/s", m, r, "ratio", 1.05)] for m, r in ((6.0, 6.0), (6.6, 6.0),
                                                                  (6.1, 5.9))]
        (combined,) = bench.combine(runs)
        self.assertEqual((combined.measured, combined.reference), (6.1, 6.0))
        self.assertIn("6..6.6", combined.note)
        self.assertIs(combined.passed(), False)  # the second run is 1.1x
        runs[1][0].measured = 6.2
        self.assertIs(bench.combine(runs)[0].passed(), True)
        (single,) = bench.combine([[F("x", "B", 1.0, None, note="kept")]])
        self.assertEqual(single.note, "kept")


class Rates(unittest.TestCase):
    def test_rates_per_minute_and_second(self):
        before = {"time": 10.0, "cpu_ns": 0, "ticks": 0, "switches": 100, "voluntary": 90,
                  "threads": 3, "hwm_kb": 1}
        after = {"time": 40.0, "cpu_ns": 5_000_000, "ticks": 1, "switches": 280,
                 "voluntary": 210, "threads": 3, "hwm_kb": 2}
        r = bench.waiting_rates(before, after, 1000, 1450)
        self.assertAlmostEqual(r["cpu_ms_per_min"], 10.0)
        self.assertAlmostEqual(r["tick_ms_per_min"], 20.0)
        self.assertAlmostEqual(r["wakeups_per_s"], 6.0)
        self.assertAlmostEqual(r["voluntary_per_s"], 4.0)
        self.assertAlmostEqual(r["bytes_per_s"], 15.0)
        self.assertEqual(r["hwm_kb"], 2)
        with self.assertRaises(ValueError):
            bench.waiting_rates(after, before, 0, 0)


class Verdicts(unittest.TestCase):
    def test_targets(self):
        F = bench.Figure
        cases = [
            (F("cpu", "ms", 15.0, 10.0, "ratio", 1.5), True),
            (F("cpu", "ms", 15.1, 10.0, "ratio", 1.5), False),
            (F("bytes", "B/s", 0.0, 0.0, "ratio", 1.2), True),
            (F("bytes", "B/s", 3.0, 0.0, "ratio", 1.2), False),
            (F("rss", "MiB", 3.9, 1.7, "below", 4.0), True),
            (F("rss", "MiB", 4.0, 1.7, "below", 4.0), False),
            (F("period", "ms", 152.9, 150.0, "near", 3, 150), True),
            (F("period", "ms", 146.9, 150.0, "near", 3, 150), False),
            (F("period", "ms", None, 150.0, "near", 3, 150), None),
            (F("micro", "ns", 12.0), None),
        ]
        for figure, verdict in cases:
            with self.subTest(name=figure.name, measured=figure.measured):
                self.assertIs(figure.passed(), verdict)

    def test_missing_and_failed(self):
        F = bench.Figure
        figures = [F("a", "", None, None, "below", 1), F("b", "", 2.0, None, "below", 1),
                   F("c", "", 0.5, None, "below", 1), F("d", "", None)]
        self.assertEqual(bench.missing(figures), ["a", "d"])
        self.assertEqual(bench.failed(figures), ["a", "b"])

    def test_figures_the_build_cannot_produce_are_skipped_not_missing(self):
        figures = bench.skip_all(bench.micro_figures({}), "no Google Benchmark")
        figures += bench.ringing_figures({})
        self.assertEqual(len(bench.missing(figures)), 3)
        self.assertEqual(len(bench.failed(figures)), 3)
        self.assertNotIn("FAIL", bench.table(figures[:1]))

    def test_cache_entries_count_only_when_found(self):
        with tempfile.TemporaryDirectory() as build:
            with open(os.path.join(build, "CMakeCache.txt"), "w") as f:
                f.write("ALSA_LIBRARY:FILEPATH=ALSA_LIBRARY-NOTFOUND\n"
                        "benchmark_DIR:PATH=/usr/lib/cmake/benchmark\n")
            self.assertFalse(bench.cache_has(build, "ALSA_LIBRARY:"))
            self.assertTrue(bench.cache_has(build, "benchmark_DIR:"))
        self.assertFalse(bench.cache_has("/nonexistent", "ALSA_LIBRARY:"))

    def test_table_marks_quick_runs_unjudged(self):
        figures = [bench.Figure("rss", "MiB", 5.0, 1.0, "below", 4.0)]
        self.assertIn("| FAIL |", bench.table(figures))
        self.assertIn("| - |", bench.table(figures, judge=False))
        self.assertIn("5.00x", bench.table(figures))


class Outputs(unittest.TestCase):
    def test_readme_block_is_replaced_between_the_marks(self):
        text = f"intro\n{bench.BEGIN_MARK}\nold table\n{bench.END_MARK}\ntail\n"
        new = bench.replace_results(text, "new table\n")
        self.assertEqual(new, f"intro\n{bench.BEGIN_MARK}\nnew table\n{bench.END_MARK}\ntail\n")
        with self.assertRaises(ValueError):
            bench.replace_results("no marks", "x")

    def test_tone_lines(self):
        out = ("samples 192000\nperiod_ms 150.021 149.9 150.3 0.1 20\n"
               "tone_ms 99.979 99.9 100.0 0.01 21\nfrequency_hz 2000.0 1999.9 2000.1 0.02 21\n")
        tone = bench.parse_tone(out)
        self.assertEqual(sorted(tone), ["frequency_hz", "period_ms", "tone_ms"])
        self.assertEqual(tone["period_ms"]["count"], 20)
        self.assertAlmostEqual(tone["tone_ms"]["median"], 99.979)

    def test_micro_json_per_iteration_and_per_item(self):
        report = {"benchmarks": [
            {"name": "BM_FormatFixed", "run_type": "iteration", "cpu_time": 1.5, "real_time": 4.0,
             "time_unit": "us"},
            {"name": "BM_KeyDecoderPerByte", "run_type": "iteration", "cpu_time": 900, "real_time": 2000,
             "time_unit": "ns", "items_per_second": 2.0e8},
            {"name": "BM_FormatFixed_mean", "run_type": "aggregate", "cpu_time": 9, "real_time": 9,
             "time_unit": "ns"},
        ]}
        self.assertEqual(bench.parse_micro(report),
                         {"FormatFixed": 1500.0, "KeyDecoderPerByte": 5.0})

    def test_redraw_steps_give_the_worst_second_against_its_text(self):
        out = ("start-up 2166 0 0\nDrawStatusScreen 427 330 330\nfirst-second 35 16 16\n"
               "second 14 16 2\nsecond 21 16 6\nsecond 14 16 2\nClrScr 2115 0 2000\n")
        steps = bench.parse_redraw(out)
        self.assertEqual(len(steps["second"]), 3)
        figures = {f.name: f for f in bench.redraw_figures(steps)}
        worst = figures["redraw of one second (worst)"]
        self.assertEqual((worst.measured, worst.reference, worst.passed()), (21.0, 16.0, True))
        self.assertIn("mean 16.3 B", worst.note)
        self.assertEqual(figures["ClrScr of the waiting screen"].measured, 2115.0)
        empty = bench.redraw_figures({})
        self.assertEqual(bench.missing(empty), [f.name for f in empty])

    def test_ringing_figures_without_a_recording_are_missing(self):
        figures = bench.ringing_figures({})
        self.assertEqual(len(figures), 3)
        self.assertTrue(all(f.measured is None for f in figures))


@unittest.skipUnless(os.environ.get("ROUSEL_REDRAW_BYTES"),
                     "ROUSEL_REDRAW_BYTES names no rousel_redraw_bytes to run")
class RedrawBytes(unittest.TestCase):
    """The terminal stand-in's output for the waiting screen, counted on a
    pseudo-terminal: byte counts, not timings, so they can be held to."""

    @classmethod
    def setUpClass(cls):
        out = subprocess.run([os.environ["ROUSEL_REDRAW_BYTES"], "--seconds", "35"],
                             check=True, capture_output=True, text=True, timeout=60).stdout
        cls.steps = bench.parse_redraw(out)

    def test_every_step_is_reported(self):
        self.assertEqual(sorted(self.steps),
                         ["ClrScr", "DrawStatusScreen", "first-second", "second", "start-up"])
        self.assertEqual(len(self.steps["second"]), 34)

    def test_each_second_sends_its_change_and_little_else(self):
        # The run crosses 12:59:59 -> 13:00:00, where five digits change.
        for i, (sent, text, changed) in enumerate(self.steps["second"]):
            with self.subTest(second=i):
                self.assertEqual(text, 16)
                self.assertGreaterEqual(changed, 2)
                self.assertGreaterEqual(sent, changed)  # nothing may be lost
                self.assertLess(sent, 40)
        self.assertGreaterEqual(max(c for _, _, c in self.steps["second"]), 5)

    def test_full_draws_stay_near_their_text(self):
        (sent, text, _), = self.steps["DrawStatusScreen"]
        self.assertGreater(text, 250)
        self.assertGreaterEqual(sent, text)
        self.assertLess(sent, 2 * text)
        (first, first_text, _), = self.steps["first-second"]
        self.assertEqual(first_text, 16)
        self.assertTrue(16 <= first < 60, first)


if __name__ == "__main__":
    unittest.main()
