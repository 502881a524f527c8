#!/usr/bin/env python3
"""Times the real diffmark run against the I/O floor, in the same run, two ways.

The floor (bench/io_floor) is the least a whole-image run can do: read both
files into fresh memory and write one file of the first's size.

For each pair (8192 x 8192 and 4096 x 4096, 1 % and 50 % of the pixels
differing; and 8192 x 8192 with the second file top-down, a pair the run
does not stream) it runs diffmark and io_floor alternately:

  back to back   one run straight after the other, page cache warm;
  after idle     a 5 s pause before each run, as a user runs it once: on this
                 machine freed memory goes back to the host after about 2 s,
                 so a program that needs fresh memory pays for it again.

and prints the median wall times, their ratios, and the peak resident
memory of each (from /usr/bin/time).  Figures only; nothing fails on timing.

usage: bench/run_bench.py [BUILD_DIR] [RUNS] [PAUSE_SECONDS]   (default build/bench, 7, 5)
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
pause = float(sys.argv[3]) if len(sys.argv) > 3 else 5.0
diffmark = os.path.abspath(os.path.join(build, "app", "diffmark"))
floor = os.path.abspath(os.path.join(build, "bench", "io_floor"))
make_pair = os.path.abspath(os.path.join(build, "bench", "make_pair"))
time_tool = "/usr/bin/time"


def run(program, idle):
    """Wall seconds and peak RSS (MiB) of one run.  The previous run's
    output is flushed first, so no run pays for another's writeback."""
    os.sync()
    if idle:
        time.sleep(idle)
    start = time.perf_counter()
    done = subprocess.run([time_tool, "-f", "%M", program], stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{program} failed with status {done.returncode}: {done.stderr}")
    return wall, int(done.stderr.strip().splitlines()[-1]) / 1024.0


def measure(idle):
    d, f = [], []
    for _ in range(runs):
        d.append(run(diffmark, idle))
        f.append(run(floor, idle))
    med = statistics.median
    return (med(w for w, _ in d), med(w for w, _ in f), med(m for _, m in d), med(m for _, m in f))


if not os.path.exists(time_tool):
    sys.exit("needs /usr/bin/time (Debian package time)")
print(f"{runs} runs each, medians; idle pause {pause:g} s")
print(f"{'pair':<30}{'back to back':>24}{'after idle':>24}{'peak RSS MiB':>20}")
print(f"{'':<30}{'diffmark  floor  ratio':>24}{'diffmark  floor  ratio':>24}{'diffmark   floor':>20}")
cases = [(side, percent, False) for side in (8192, 4096) for percent in (1, 50)] + [(8192, 1, True)]
for side, percent, top_down in cases:
    work = tempfile.mkdtemp(prefix="diffmark-bench-")
    try:
        extra = ["top-down"] if top_down else []
        subprocess.run([make_pair, str(side), str(side), str(percent), work] + extra, check=True)
        os.chdir(work)
        run(diffmark, 0)  # warm the page cache and the output file
        run(floor, 0)
        dw, fw, dm, fm = measure(0)
        iw, ifw, _, _ = measure(pause)
        name = f"{side}x{side} {percent:>2}% differ" + (", 2nd top-down" if top_down else "")
        print(f"{name:<30}{dw:>9.3f}{fw:>7.3f}{dw / fw:>7.2f}   {iw:>9.3f}{ifw:>7.3f}{iw / ifw:>7.2f}   "
              f"{dm:>10.1f}{fm:>8.1f}", flush=True)
    finally:
        os.chdir("/")
        shutil.rmtree(work, ignore_errors=True)
