#!/usr/bin/env python3
"""Checks of bench/compare that need no vexa binary: run with python3 bench/test_compare.py."""

import contextlib
import importlib.machinery
import importlib.util
import io
import json
import os
import re
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
_loader = importlib.machinery.SourceFileLoader("bench_compare", os.path.join(HERE, "compare"))
_spec = importlib.util.spec_from_loader("bench_compare", _loader)
compare = importlib.util.module_from_spec(_spec)
_loader.exec_module(compare)


def fake(key, compress, decompress):
    return compare.Program(key, key, "." + key, compress, decompress, True)


# Stores the file as it is; restores it as it is.
COPY = fake("copy", ["cat", "{in}"], ["cat", "{in}"])


def run_main(argv, programs=None):
    err = io.StringIO()
    with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(err):
        code = compare.main(argv, programs)
    return code, out.getvalue(), err.getvalue()


class Corpus(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="compare-test-")
        self.corpus = os.path.join(self.dir, "corpus")
        self.out = os.path.join(self.dir, "out")
        os.makedirs(os.path.join(self.corpus, "expected"))
        self.files = {"a.txt": b"banana bandana " * 2000, "b.bin": os.urandom(30000)}
        for name, data in self.files.items():
            with open(os.path.join(self.corpus, name), "wb") as f:
                f.write(data)
        with open(os.path.join(self.corpus, "MANIFEST.md"), "w") as f:
            f.write("# not a sample\n")
        with open(os.path.join(self.corpus, "expected", "a.txt.vx"), "wb") as f:
            f.write(b"x")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def args(self, *more):
        return ["--corpus", self.corpus, "--out-dir", self.out, "--runs", "1", "--no-plot"] + list(more)

    def snapshot(self):
        return sorted((root, name, os.stat(os.path.join(root, name)).st_mtime_ns)
                      for root, _, names in os.walk(self.corpus) for name in names)

    def test_a_corrupting_decompressor_stops_the_run(self):
        bad = fake("bad", ["cat", "{in}"], ["sh", "-c", 'tr a b < "$1"', "sh", "{in}"])
        code, out, err = run_main(self.args(), [COPY, bad])
        self.assertEqual(code, 1)
        self.assertIn("ROUND TRIP MISMATCH: bad on a.txt", err)
        self.assertIn("first difference at byte 1", err)  # 'b' survives, the first 'a' does not
        kept = re.search(r"kept in (\S+)", err).group(1)
        self.assertTrue(os.path.isdir(kept))
        shutil.rmtree(kept)
        self.assertFalse(os.path.exists(os.path.join(self.out, "compare.md")))

    def test_a_truncated_restore_is_caught(self):
        short = fake("short", ["cat", "{in}"], ["head", "-c", "100", "{in}"])
        code, _, err = run_main(self.args(), [short])
        self.assertEqual(code, 1)
        self.assertIn("restored 100 bytes", err)
        shutil.rmtree(re.search(r"kept in (\S+)", err).group(1))

    def test_a_failing_program_is_reported_with_its_status(self):
        failing = fake("failing", ["cat", "{in}"], ["sh", "-c", "echo broken >&2; exit 3"])
        code, _, err = run_main(self.args(), [failing])
        self.assertEqual(code, 1)
        self.assertIn("failing failed (exit status 3) to decompress", err)
        self.assertIn("broken", err)

    @unittest.skipUnless(shutil.which("gzip") and shutil.which("bzip2"), "gzip or bzip2 not installed")
    def test_real_peers_end_to_end_leave_the_corpus_alone(self):
        before = self.snapshot()
        code, out, err = run_main(self.args("--programs", "gzip,bzip2", "--runs", "2"))
        self.assertEqual(code, 0, err)
        self.assertEqual(self.snapshot(), before)
        with open(os.path.join(self.out, "compare.md")) as f:
            md = f.read()
        self.assertEqual(md, out)
        self.assertIn("| a.txt (30,000) | gzip -9 |", md)
        self.assertIn("b.bin", md)
        self.assertNotIn("MANIFEST", md)
        self.assertNotIn("expected", md)
        with open(os.path.join(self.out, "compare.json")) as f:
            data = json.load(f)
        self.assertEqual(data["bytes"], 60000)
        gz = data["per_file"]["a.txt"]["samples"]["gzip"]
        self.assertEqual(len(gz["c_s"]), 2)
        # Repeated text must shrink, random bytes must not.
        self.assertLess(gz["size"][0], 3000)
        self.assertGreater(data["per_file"]["b.bin"]["samples"]["bzip2"]["size"][0], 29000)

    def test_file_globs_restrict_the_corpus(self):
        self.assertEqual(compare.list_corpus(self.corpus, None), ["a.txt", "b.bin"])
        self.assertEqual(compare.list_corpus(self.corpus, ["*.bin", "zzz"]), ["b.bin"])
        code, _, err = run_main(self.args("--files", "nothing*"), [COPY])
        self.assertEqual(code, 1)
        self.assertIn("no corpus file matches", err)

    def test_a_missing_vexa_is_named(self):
        code, _, err = run_main(self.args("--vexa", os.path.join(self.dir, "nope"), "--programs", "vexa"))
        self.assertEqual(code, 1)
        self.assertIn("no vexa binary at", err)


class Measuring(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="compare-test-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def check(self, runner):
        err = os.path.join(self.dir, "err")
        # This process is made large on purpose: its size must not leak into the child's figure.
        ballast = bytearray(150 * 1024 * 1024)
        ballast[::4096] = b"\1" * len(ballast[::4096])
        _, small, code = runner.run(["true"], os.devnull, os.devnull, err)
        self.assertEqual(code, 0)
        self.assertLess(small, 20 * 1024)
        _, big, _ = runner.run([sys.executable, "-c", "b = bytearray(80 << 20); b[::4096] = b'1' * len(b[::4096])"],
                               os.devnull, os.devnull, err)
        self.assertGreater(big, 80 * 1024)
        self.assertLess(big, 140 * 1024)
        seconds, _, _ = runner.run(["sleep", "0.3"], os.devnull, os.devnull, err)
        self.assertGreater(seconds, 0.29)
        self.assertLess(seconds, 3)
        _, _, code = runner.run(["sh", "-c", "exit 5"], os.devnull, os.devnull, err)
        self.assertEqual(code, 5)
        del ballast

    def test_launcher(self):
        runner = compare.Runner(self.dir)
        self.assertEqual(runner.method, "launcher")
        self.check(runner)

    @unittest.skipUnless(os.access("/usr/bin/time", os.X_OK), "no GNU time")
    def test_gnu_time_fallback(self):
        runner = compare.Runner(self.dir, method="time")
        self.assertEqual(runner.method, "time")
        self.check(runner)


class Arithmetic(unittest.TestCase):
    def test_schedule_alternates_programs_within_each_repetition(self):
        progs = ["p", "q", "r"]
        order = list(compare.schedule(["f", "g"], 3, progs))
        self.assertEqual(len(order), 18)
        for i in range(0, 18, 3):
            group = order[i:i + 3]
            self.assertEqual(sorted(p for _, _, p in group), progs)
            self.assertEqual(len({(n, rep) for n, rep, _ in group}), 1)
        self.assertEqual([p for _, _, p in order[:9:3]], ["p", "q", "r"])  # each goes first once
        self.assertEqual([n for n, _, _ in order], ["f"] * 9 + ["g"] * 9)

    def test_totals_are_total_bytes_over_summed_median_times(self):
        progs = [fake("x", [], []), fake("y", [], [])]
        sizes = {"big": 2_000_000, "small": 1_000_000}
        samples = {
            "big": {"x": {"size": [500_000] * 3, "c_s": [1.0, 90.0, 0.5], "d_s": [0.2] * 3,
                          "c_kib": [1024, 4096, 2048], "d_kib": [512] * 3},
                    "y": {"size": [400_000] * 3, "c_s": [4.0] * 3, "d_s": [0.1] * 3,
                          "c_kib": [100] * 3, "d_kib": [100] * 3}},
            "small": {"x": {"size": [100_000] * 3, "c_s": [2.0, 2.0, 3.0], "d_s": [0.8] * 3,
                            "c_kib": [512] * 3, "d_kib": [1024 * 10] * 3},
                      "y": {"size": [100_000] * 3, "c_s": [1.0] * 3, "d_s": [0.1] * 3,
                            "c_kib": [100] * 3, "d_kib": [100] * 3}},
        }
        rows, totals = compare.summarise(progs, ["big", "small"], samples, sizes)
        self.assertAlmostEqual(rows[("big", "x")]["c_mbs"], 2.0)  # median 1.0 s, not the 90 s outlier
        self.assertAlmostEqual(rows[("big", "x")]["ratio"], 4.0)
        self.assertAlmostEqual(rows[("big", "x")]["c_mib"], 4.0)  # peak, not median
        x = totals["x"]
        self.assertEqual(x["size"], 600_000)
        self.assertAlmostEqual(x["ratio"], 5.0)
        self.assertAlmostEqual(x["c_mbs"], 1.0)  # 3 MB in 1 + 2 s, not the mean of 2 and 0.5 MB/s
        self.assertAlmostEqual(x["d_mbs"], 3.0)
        self.assertAlmostEqual(x["d_mib"], 10.0)
        self.assertEqual(x["wins"], 1)  # the tie on "small" counts for both
        self.assertEqual(totals["y"]["wins"], 2)
        md = compare.markdown(progs, ["big", "small"], sizes, rows, totals)
        self.assertIn("| big (2,000,000) | x | 500,000 | 4.000 | 2.00 | 10.0 | 4.0 | 0.5 |", md)
        self.assertIn("| **TOTAL** 2 files (3,000,000) | x | 600,000 | 5.000 | 1.00 | 3.00 |", md)
        self.assertIn("|  | y | **500,000** | **6.000** |", md)

    def test_vexa_against_bzip2_divides_bzip2_time_by_vexa_time(self):
        progs = [fake("vexa", [], []), fake("bzip2", [], [])]
        sizes = {"f": 1_000_000, "g": 1_000_000}
        def one(size, c, d):
            return {"size": [size], "c_s": [c], "d_s": [d], "c_kib": [1], "d_kib": [1]}
        samples = {"f": {"vexa": one(250_000, 1.0, 0.5), "bzip2": one(500_000, 2.0, 0.25)},
                   "g": {"vexa": one(500_000, 3.0, 0.5), "bzip2": one(500_000, 3.0, 1.75)}}
        rows, totals = compare.summarise(progs, ["f", "g"], samples, sizes)
        table = compare.against_bzip2(progs, ["f", "g"], rows, totals)
        self.assertIn("| f | 4.000 | 2.000 | 2.00 | 0.50 |", table)
        self.assertIn("| g | 2.000 | 2.000 | 1.00 | 3.50 |", table)
        # Summed times, 5 s against 4 s and 2 s against 1 s, not the mean of the file ratios.
        self.assertIn("| **whole corpus** | 2.667 | 2.000 | 1.25 | 2.00 |", table)
        self.assertEqual(compare.against_bzip2(progs[:1], ["f", "g"], rows, totals), [])
        # With the samples of several repetitions, the quartiles of the per-repetition ratios.
        samples["f"]["vexa"]["c_s"] += [2.0, 1.0, 1.0]
        samples["f"]["bzip2"]["c_s"] += [2.0, 3.0, 4.0]
        table = compare.against_bzip2(progs, ["f"], rows, totals, samples)
        self.assertIn("| f | 4.000 | 2.000 | 2.00 (1.25-3.75) | 0.50 |", table)


if __name__ == "__main__":
    unittest.main()
