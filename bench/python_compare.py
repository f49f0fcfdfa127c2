#!/usr/bin/env python3
"""The vexa Python module beside the standard library's compressors, and
beside the vexa program itself.

Part one compresses and restores every corpus file with vexa, bz2, lzma and
zlib (levels 9, as `bench/compare` runs bzip2, xz and gzip), codecs in turn
within each repetition, and prints a Markdown table of whole-corpus ratio
and speed (MB = 10^6 bytes over the sum of per-file median times, by CPU
time unless --clock wall). Every round trip is checked.

Part two times vexa.compress/vexa.decompress against `vexa c`/`vexa d` on
the large files (1 MB and more by default), alternating the two in every
repetition, and prints the module's time over the program's: the median of
the repetitions and their range, in wall-clock and in CPU time (user and
system; steadier on a busy machine). The program's time runs from start to
exit of the process and includes reading and writing its files; that of
compress and decompress is the call alone, on data already in memory, and
that of `vexa.open(path).read()` includes reading the compressed file.

Part three (--memory) measures readers, each in a fresh process: many
readers left open part-way into a large corpus file (resident size and
threads, beside bz2's), and one file of --stream-mb MB read through
vexa.open in 1 MiB reads, its resident size sampled after every read.

Run it with the interpreter that has the module installed (README, "Python"):
    .venv/bin/python bench/python_compare.py [--runs 5] [--cli-runs 11] [--memory]
"""

import argparse
import bz2
import fnmatch
import lzma
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import zlib

import vexa

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MB = 1e6

CODECS = [
    ("vexa", vexa.compress, vexa.decompress),
    ("bz2 (level 9)", lambda d: bz2.compress(d, 9), bz2.decompress),
    ("lzma (preset 9)", lambda d: lzma.compress(d, preset=9), lzma.decompress),
    ("zlib (level 9)", lambda d: zlib.compress(d, 9), zlib.decompress),
]


def timed(fn, data, clock):
    start = clock()
    result = fn(data)
    return clock() - start, result


def corpus_files(corpus, patterns):
    names = sorted(n for n in os.listdir(corpus) if os.path.isfile(os.path.join(corpus, n)) and n != "MANIFEST.md")
    if patterns:
        names = [n for n in names if any(fnmatch.fnmatch(n, p) for p in patterns.split(","))]
    return [os.path.join(corpus, n) for n in names]


def compare_codecs(files, runs, clock):
    """{codec: (compressed bytes, [compress seconds per file], [decompress seconds per file])}"""
    samples = {name: ([], []) for name, _, _ in CODECS}
    sizes = {name: 0 for name, _, _ in CODECS}
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        times = {name: ([], []) for name, _, _ in CODECS}
        for run in range(runs):
            # The first codec rotates, so that drift in the machine's speed hits all alike.
            for name, pack, unpack in CODECS[run % len(CODECS):] + CODECS[:run % len(CODECS)]:
                tc, packed = timed(pack, data, clock)
                td, restored = timed(unpack, packed, clock)
                if restored != data:
                    sys.exit(f"{name}: round trip of {path} changed the data")
                times[name][0].append(tc)
                times[name][1].append(td)
                if run == 0:
                    sizes[name] += len(packed)
        for name in times:
            samples[name][0].append(statistics.median(times[name][0]))
            samples[name][1].append(statistics.median(times[name][1]))
        print(f"  {os.path.basename(path)}", file=sys.stderr)
    return {name: (sizes[name], *samples[name]) for name in sizes}


def codec_table(results, total):
    lines = ["| module | compressed bytes | ratio | compress MB/s | decompress MB/s |", "|---|---:|---:|---:|---:|"]
    for name, (size, tc, td) in results.items():
        lines.append(f"| {name} | {size:,} | {total / size:.3f} | {total / MB / sum(tc):.2f} | {total / MB / sum(td):.2f} |")
    return "\n".join(lines)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_cli(cli, mode, src, dst):
    """Wall-clock and CPU seconds of one run of the program."""
    cpu, start = children_cpu(), time.perf_counter()
    subprocess.run([cli, mode, src, dst], check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start, children_cpu() - cpu


def run_module(fn, data):
    cpu, start = time.process_time(), time.perf_counter()
    result = fn(data)
    return time.perf_counter() - start, time.process_time() - cpu, result


def compare_with_cli(files, cli, runs):
    """Per repetition, the summed wall-clock and CPU times over the files of
    the module and of the program, each direction; which goes first alternates."""
    datas = []
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        datas.append((path, data, vexa.compress(data)))
    rounds = []
    with tempfile.TemporaryDirectory() as scratch:
        out_path, restored_path = os.path.join(scratch, "out.vx"), os.path.join(scratch, "a.out")
        for i, (_, _, packed) in enumerate(datas):
            with open(os.path.join(scratch, f"{i}.vx"), "wb") as f:
                f.write(packed)
        for run in range(runs):
            sums = {f"{who} {d} {clock}": 0.0 for who in ("module", "cli") for d in "cdo" for clock in ("wall", "cpu")
                    if (who, d) != ("cli", "o")}

            def add(key, times):
                sums[f"{key} wall"] += times[0]
                sums[f"{key} cpu"] += times[1]

            for i, (path, data, packed) in enumerate(datas):
                packed_path = os.path.join(scratch, f"{i}.vx")

                def module_side():
                    *tc, p = run_module(vexa.compress, data)
                    *td, r = run_module(vexa.decompress, packed)
                    *to, o = run_module(read_file, packed_path)
                    if p != packed or r != data or o != data:
                        sys.exit(f"module round trip of {path} failed")
                    add("module c", tc)
                    add("module d", td)
                    add("module o", to)

                def cli_side():
                    add("cli c", run_cli(cli, "c", path, out_path))
                    add("cli d", run_cli(cli, "d", packed_path, restored_path))

                for side in ((module_side, cli_side) if run % 2 == 0 else (cli_side, module_side)):
                    side()
            rounds.append(sums)
            print(f"  repetition {run + 1}/{runs}", file=sys.stderr)
    return rounds


def read_file(path):
    with vexa.open(path) as f:
        return f.read()


def cli_summary(rounds, size):
    lines = ["| direction | clock | module s | program s | module / program: median | range |",
             "|---|---|---:|---:|---:|---:|"]
    # vexa.open(path).read() stands against `vexa d`, as reading a file.
    for d, cli_d, label in (("c", "c", "compress"), ("d", "d", "decompress"), ("o", "d", "vexa.open(path).read()")):
        for clock in ("wall", "cpu"):
            module = statistics.median(r[f"module {d} {clock}"] for r in rounds)
            program = statistics.median(r[f"cli {cli_d} {clock}"] for r in rounds)
            ratios = [r[f"module {d} {clock}"] / r[f"cli {cli_d} {clock}"] for r in rounds]
            lines.append(f"| {label} ({size / MB:.1f} MB) | {clock} | {module:.3f} | {program:.3f} | "
                         f"{statistics.median(ratios):.3f} | {min(ratios):.3f} to {max(ratios):.3f} |")
    return "\n".join(lines)


# Run in a fresh interpreter each, so that nothing else has touched its memory.
READERS_SCRIPT = """
import bz2, sys, vexa
def status(key):
    with open("/proc/self/status") as f:
        return int(next(line.split()[1] for line in f if line.startswith(key + ":")))
path, count = sys.argv[1], int(sys.argv[2])
opener = bz2.open if path.endswith(".bz2") else vexa.open
base = status("VmRSS")
readers = [opener(path) for _ in range(count)]
for r in readers:
    r.read(1)   # each part-way into its first block, its decoder's state held
print(status("VmRSS") - base, status("VmHWM"), status("Threads"))
"""

STREAM_SCRIPT = """
import sys, time, vexa
def rss():
    with open("/proc/self/status") as f:
        return int(next(line.split()[1] for line in f if line.startswith("VmRSS:")))
samples, total = [], 0
start = time.perf_counter()
with vexa.open(sys.argv[1]) as f:
    while data := f.read(1 << 20):
        total += len(data)
        samples.append(rss())
del data
print(total, time.perf_counter() - start, samples[0], max(samples), samples[-1])
"""


def run_script(script, *args):
    done = subprocess.run([sys.executable, "-c", script, *args], check=True, capture_output=True, text=True)
    return [float(x) for x in done.stdout.split()]


def measure_memory(files, readers, stream_mb, cli):
    """Readers open part-way into the largest file (vexa and bz2), and one
    stream of stream_mb MB (the files over and over) read through vexa.open."""
    largest = max(files, key=os.path.getsize)
    with open(largest, "rb") as f:
        data = f.read()
    lines = ["| readers left open | resident growth MB | peak resident MB | threads |", "|---|---:|---:|---:|"]
    with tempfile.TemporaryDirectory() as scratch:
        for name, packed in (("vexa", vexa.compress(data)), ("bz2", bz2.compress(data, 9))):
            path = os.path.join(scratch, f"one.{'vx' if name == 'vexa' else 'bz2'}")
            with open(path, "wb") as f:
                f.write(packed)
            grown, peak, threads = run_script(READERS_SCRIPT, path, str(readers))
            lines.append(f"| {readers} x {name} | {grown / 1024:.1f} | {peak / 1024:.1f} | {threads:.0f} |")
        print(f"Readers, each part-way into {os.path.basename(largest)} ({len(data):,} bytes):\n")
        print("\n".join(lines) + "\n")

        plain, packed = os.path.join(scratch, "stream"), os.path.join(scratch, "stream.vx")
        with open(plain, "wb") as out:
            written = 0
            while written < stream_mb * MB:
                for path in files:
                    with open(path, "rb") as f:
                        part = f.read(int(stream_mb * MB) - written)
                    out.write(part)
                    written += len(part)
        print(f"  compressing {written:,} bytes for the stream", file=sys.stderr)
        if os.access(cli, os.X_OK):
            subprocess.run([cli, "c", plain, packed], check=True, stdout=subprocess.DEVNULL)
        else:
            with open(plain, "rb") as src, vexa.open(packed, "wb") as dst:
                while chunk := src.read(1 << 20):
                    dst.write(chunk)
        os.remove(plain)
        total, seconds, first, most, last = run_script(STREAM_SCRIPT, packed)
        if total != written:
            sys.exit(f"the stream restored {total:.0f} bytes of {written}")
        print(f"One stream of {written / MB:.0f} MB ({os.path.getsize(packed) / MB:.1f} MB compressed) read "
              f"through vexa.open in 1 MiB reads, {seconds:.1f} s: resident size {first / 1024:.1f} MB after the "
              f"first read, {most / 1024:.1f} MB at most, {last / 1024:.1f} MB after the last.")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpus", default=os.path.join(REPO, "..", "shared", "corpus"))
    ap.add_argument("--files", help="comma-separated name patterns, e.g. 'alice*,*.bmp'")
    ap.add_argument("--runs", type=int, default=3, help="repetitions of the codec table (default 3)")
    ap.add_argument("--cli", default=os.path.join(REPO, "build", "release", "vexa"), help="the vexa program")
    ap.add_argument("--cli-runs", type=int, default=11, help="repetitions of the module/program check (default 11)")
    ap.add_argument("--large", type=int, default=10**6, help="bytes from which a file counts as large (default 10^6)")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="time the codec table by CPU time (default; steady on a busy machine) or wall-clock")
    ap.add_argument("--skip-codecs", action="store_true", help="only the module/program check")
    ap.add_argument("--memory", action="store_true", help="also measure readers' memory (part three)")
    ap.add_argument("--readers", type=int, default=200, help="readers left open for --memory (default 200)")
    ap.add_argument("--stream-mb", type=float, default=200, help="MB of the stream read for --memory (default 200)")
    args = ap.parse_args()

    if not os.path.isdir(args.corpus):
        sys.exit(f"no corpus at {args.corpus}")
    files = corpus_files(args.corpus, args.files)
    if not files:
        sys.exit("no file matches")
    total = sum(os.path.getsize(p) for p in files)
    print(f"vexa {vexa.__version__}, Python {platform.python_version()}, {platform.machine()}, "
          f"{os.cpu_count()} cores; {len(files)} files, {total:,} bytes\n")

    if not args.skip_codecs:
        clock = time.process_time if args.clock == "cpu" else time.perf_counter
        print(f"Speeds from {args.clock} time, medians of {args.runs} runs:\n")
        print(codec_table(compare_codecs(files, args.runs, clock), total) + "\n")

    large = [p for p in files if os.path.getsize(p) >= args.large]
    if not os.access(args.cli, os.X_OK):
        print(f"(no vexa program at {args.cli}: module/program check skipped)")
    elif large:
        print(f"Module against the program on {len(large)} files of {args.large:,} bytes or more:", file=sys.stderr)
        rounds = compare_with_cli(large, args.cli, args.cli_runs)
        print(cli_summary(rounds, sum(os.path.getsize(p) for p in large)) + "\n")

    if args.memory:
        measure_memory(files, args.readers, args.stream_mb, args.cli)


if __name__ == "__main__":
    main()
