#!/usr/bin/env python3
"""Times the real diffmark run against the I/O floor, in the same run.

For each pair (8192 x 8192 and 4096 x 4096, 1 % and 50 % of the pixels
differing, and 8192 x 8192 with the second file top-down, so that the
first image's rows are turned over) it runs diffmark and io_floor alternately, several times, with a
warm page cache and nothing left to write back, and prints the median wall time and peak resident memory
of each and their ratios.  Figures only; nothing fails on timing.

usage: bench/run_bench.py [BUILD_DIR] [RUNS]   (default build/bench, 7)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build/bench"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
diffmark = os.path.abspath(os.path.join(build, "app", "diffmark"))
floor = os.path.abspath(os.path.join(build, "bench", "io_floor"))
make_pair = os.path.abspath(os.path.join(build, "bench", "make_pair"))


def run(program, cwd):
    """Wall seconds and peak RSS (MiB) of one run.  The previous run's
    output is flushed first, so no run pays for another's writeback."""
    os.sync()
    start = time.perf_counter()
    pid = os.posix_spawn(program, [program], os.environ)  # noqa: S606
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{program} failed with status {status}")
    return wall, usage.ru_maxrss / 1024.0


print(f"{'pair':<36}{'diffmark s':>12}{'floor s':>10}{'ratio':>8}{'diffmark MiB':>14}{'floor MiB':>11}{'extra MiB':>11}")
cases = [(side, percent, False) for side in (8192, 4096) for percent in (1, 50)] + [(8192, 1, True)]
for side, percent, top_down in cases:
    work = tempfile.mkdtemp(prefix="diffmark-bench-")
    try:
        extra = ["top-down"] if top_down else []
        subprocess.run([make_pair, str(side), str(side), str(percent), work] + extra, check=True)
        os.chdir(work)
        results = {"d": [], "f": []}
        run(diffmark, work)  # warm the page cache and the output file
        run(floor, work)
        for _ in range(runs):
            results["d"].append(run(diffmark, work))
            results["f"].append(run(floor, work))
        dw = statistics.median(w for w, _ in results["d"])
        fw = statistics.median(w for w, _ in results["f"])
        dm = statistics.median(m for _, m in results["d"])
        fm = statistics.median(m for _, m in results["f"])
        name = f"{side}x{side} {percent:>2}% differ" + (", 2nd top-down" if top_down else "")
        print(f"{name:<36}{dw:>12.3f}{fw:>10.3f}{dw / fw:>8.2f}{dm:>14.1f}{fm:>11.1f}{dm - fm:>11.1f}")
    finally:
        os.chdir("/")
        shutil.rmtree(work, ignore_errors=True)
