#!/usr/bin/env python3
"""What sharded folder runs cost: identical files, and merging the shards.

1. Identical files.  200 pairs of 1280 x 800 PNG screenshots (bench/
   make_screens), all equal byte for byte, as a test run that changed
   nothing leaves them: `diffmark-cli -q -j 2 base other`, alternately with
   the build given by --before (one from before identical files were
   reported without decoding), and the ratio before / now.
2. merge.  200 pairs, 10 % changed, run as 4 shards (-o, --report, --junit,
   --json), then merged; at 640 x 400 and at 2560 x 1600 (16 times the
   pixels).  Prints merge's wall time and peak memory at both sizes and the
   unsharded run's beside them: merge should cost the same at both sizes,
   a small part of the run.

Figures only; nothing fails on timing.

usage: bench/shard_bench.py [--build build/bench] [--before OLD_CLI] [--runs N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

parser = argparse.ArgumentParser()
parser.add_argument("--build", default="build/bench")
parser.add_argument("--before", help="a diffmark-cli built before identical files skipped decoding")
parser.add_argument("--runs", type=int, default=5)
args = parser.parse_args()
cli = os.path.abspath(os.path.join(args.build, "cli", "diffmark-cli"))
make_screens = os.path.abspath(os.path.join(args.build, "bench", "make_screens"))
plugins = os.path.abspath(os.path.join(args.build, "plugins"))
os.environ["DIFFMARK_PLUGINS"] = plugins
PAIRS = 200


def run(argv, cwd, expect, stdout=subprocess.DEVNULL):
    """Wall seconds and peak memory (MiB) of one run, whose exit status must be `expect`."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, cwd=cwd, stdout=stdout)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code not in expect:
        sys.exit(f"{' '.join(argv)} ended with status {code}")
    return wall, usage.ru_maxrss / 1024


def screens(work, width, height, percent):
    for side in ("base", "other"):
        os.makedirs(os.path.join(work, side), exist_ok=True)
    subprocess.run([make_screens, str(PAIRS), str(width), str(height), str(percent), work, "png"], check=True,
                   stdout=subprocess.DEVNULL)


def identical_files():
    work = tempfile.mkdtemp(prefix="diffmark-identical-")
    try:
        screens(work, 1280, 800, 0)
        same = sum(open(os.path.join(work, "base", f), "rb").read() == open(os.path.join(work, "other", f), "rb").read()
                   for f in os.listdir(os.path.join(work, "base")))
        print(f"1. {PAIRS} pairs of 1280 x 800 PNG, {same} of them identical files; medians of {args.runs} runs")
        programs = {"now": cli}
        if args.before:
            programs["before"] = os.path.abspath(args.before)
        times = {name: [] for name in programs}
        for name, program in programs.items():
            run([program, "-q", "-j", "2", "base", "other"], work, (0,))  # warm the page cache
        for _ in range(args.runs):
            for name, program in programs.items():
                times[name].append(run([program, "-q", "-j", "2", "base", "other"], work, (0,)))
        for name in programs:
            wall = statistics.median(w for w, _ in times[name])
            memory = statistics.median(m for _, m in times[name])
            print(f"   {name:<8}{wall:>8.3f} s {1000 * wall / PAIRS:>7.2f} ms/pair {memory:>7.1f} MiB")
        if args.before:
            ratio = statistics.median(w for w, _ in times["before"]) / statistics.median(w for w, _ in times["now"])
            print(f"   before / now: {ratio:.1f} x as fast")
        else:
            print("   (--before OLD_CLI gives the ratio against an older build)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def merging(width, height):
    work = tempfile.mkdtemp(prefix="diffmark-merge-")
    try:
        screens(work, width, height, 10)
        outputs = ["-o", "diff", "--report", "report.html", "--junit", "junit.xml", "--json"]
        whole_dir = os.path.join(work, "whole")
        os.makedirs(whole_dir)
        whole = run([cli] + outputs + ["-j", "2", "../base", "../other"], whole_dir, (1,))
        for k in range(1, 5):
            shard_dir = os.path.join(work, f"s{k}")
            os.makedirs(shard_dir)
            with open(os.path.join(shard_dir, "result.json"), "wb") as out:
                run([cli] + outputs + ["-j", "2", "--shard", f"{k}/4", "../base", "../other"], shard_dir, (0, 1), out)
        merges = [run([cli, "merge", "-q", "merged", "s1", "s2", "s3", "s4"], work, (1,)) for _ in range(args.runs)]
        wall = statistics.median(w for w, _ in merges)
        memory = statistics.median(m for _, m in merges)
        print(f"   {width} x {height:<6} merge {1000 * wall:>7.1f} ms {memory:>6.1f} MiB   "
              f"the unsharded run {whole[0]:>6.2f} s {whole[1]:>6.1f} MiB   merge / run {wall / whole[0]:.3f}")
        return wall, memory
    finally:
        shutil.rmtree(work, ignore_errors=True)


if not os.path.exists(make_screens):
    sys.exit(f"{make_screens} not found: cmake --preset bench && cmake --build --preset bench")
identical_files()
print(f"2. merge of 4 shards, {PAIRS} pairs, 10 % changed (marked copies and report pictures linked); "
      f"medians of {args.runs} merges")
small = merging(640, 400)
large = merging(2560, 1600)
print(f"   16 x the pixels: merge time x {large[0] / small[0]:.2f}, merge memory x {large[1] / small[1]:.2f}")
