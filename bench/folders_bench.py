#!/usr/bin/env python3
"""Times diffmark-cli on two folders of screenshots, in the same run.

200 pairs of 1024 x 768 screenshot-like pictures (bench/make_screens), 10 %
of them changed, once as BMP and once as PNG (when the PNG plug-in is
built).  For each it times, with a warm page cache, alternately:

  -j 1        the folder form on one worker, marked copies into a folder
  -j 2        the same on two workers (this machine has two cores)
  -j 2 no -o  the folder form comparing only
  loop        a shell loop running the single-pair form once per pair,
              comparing only (what a script without the folder form does)

and prints the median wall times, the per-pair times, and the ratios
-j 2 / -j 1 and (-j 2, no -o) / loop.  Figures only; nothing fails on timing.

usage: bench/folders_bench.py [BUILD_DIR] [RUNS] [PERCENT]   (default build/bench, 5, 10)

PERCENT is the share of pairs changed; the others are identical files, which
are compared without decoding, so 100 times the decodes.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build/bench"
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
cli = os.path.abspath(os.path.join(build, "cli", "diffmark-cli"))
make_screens = os.path.abspath(os.path.join(build, "bench", "make_screens"))
plugins = os.path.abspath(os.path.join(build, "plugins"))
PAIRS, WIDTH, HEIGHT = 200, 1024, 768
PERCENT = int(sys.argv[3]) if len(sys.argv) > 3 else 10


def timed(command, cwd, shell=False):
    """Wall seconds and processor seconds (user + system, the program's and
    its children's) of one run; its exit status must be 1 (some pairs
    differ)."""
    shutil.rmtree(os.path.join(cwd, "out"), ignore_errors=True)
    os.sync()
    argv = ["/bin/sh", "-c", command] if shell else command
    start = time.perf_counter()
    process = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = code = os.waitstatus_to_exitcode(status)
    if code != 1:
        sys.exit(f"{command} ended with status {code}, not 1")
    return wall, usage.ru_utime + usage.ru_stime


def pressure():
    """The share of the last ten seconds in which some runnable task waited
    for a processor (Linux's pressure stall information), or None."""
    try:
        with open("/proc/pressure/cpu") as f:
            return float(f.readline().split()[1].split("=")[1])
    except (OSError, IndexError, ValueError):
        return None


def has_plugin_for(ext):
    probe = tempfile.mkdtemp(prefix="diffmark-probe-")
    os.makedirs(os.path.join(probe, "base"))
    os.makedirs(os.path.join(probe, "other"))
    try:
        status = subprocess.run([make_screens, "2", "320", "240", "50", probe, ext], stderr=subprocess.DEVNULL,
                                cwd=probe).returncode
        if status != 0:
            return False
        return subprocess.run([cli, "-q", "base", "other"], cwd=probe, env=dict(os.environ, DIFFMARK_PLUGINS=plugins),
                              stderr=subprocess.DEVNULL).returncode == 1
    finally:
        shutil.rmtree(probe, ignore_errors=True)


os.environ["DIFFMARK_PLUGINS"] = plugins
# The loop runs every pair through the single-pair form, failing on trouble
# (status 2) and noting a difference (status 1) the way a CI script would.
loop = ('status=0; for f in base/*; do n=${f#base/}; "$CLI" -q "base/$n" "other/$n"; '
        'case $? in 0) ;; 1) status=1 ;; *) exit 2 ;; esac; done; exit $status')
commands = {
    "-j 1": [cli, "-q", "-j", "1", "base", "other", "-o", "out"],
    "-j 2": [cli, "-q", "-j", "2", "base", "other", "-o", "out"],
    "-j 2 no -o": [cli, "-q", "-j", "2", "base", "other"],
    "loop": loop,
}
os.environ["CLI"] = cli

print(f"{PAIRS} pairs of {WIDTH} x {HEIGHT}, {PERCENT} % changed; medians of {runs} runs, {os.cpu_count()} processors")
print(f"{'format':<8}{'command':<12}{'wall s':>9}{'ms/pair':>9}{'cpu s':>8}")
for ext in ("bmp", "png"):
    if not has_plugin_for(ext):
        print(f"{ext:<8}(skipped: no plug-in for {ext} in {plugins}, or make_screens without libspng)")
        continue
    work = tempfile.mkdtemp(prefix="diffmark-folders-")
    os.makedirs(os.path.join(work, "base"))
    os.makedirs(os.path.join(work, "other"))
    try:
        subprocess.run([make_screens, str(PAIRS), str(WIDTH), str(HEIGHT), str(PERCENT), work, ext], check=True)
        size = sum(os.path.getsize(os.path.join(work, "base", f)) for f in os.listdir(os.path.join(work, "base")))
        times = {name: [] for name in commands}
        for name, command in commands.items():  # warm the page cache and every code path once
            timed(command, work, shell=isinstance(command, str))
        stalls = [pressure()]
        for _ in range(runs):
            for name, command in commands.items():
                times[name].append(timed(command, work, shell=isinstance(command, str)))
        stalls.append(pressure())
        wall = {name: statistics.median(w for w, _ in t) for name, t in times.items()}
        cpu = {name: statistics.median(c for _, c in t) for name, t in times.items()}
        for name in commands:
            print(f"{ext:<8}{name:<12}{wall[name]:>9.3f}{1000 * wall[name] / PAIRS:>9.2f}{cpu[name]:>8.3f}")
        print(f"{ext:<8}one folder holds {size / 2**20:.1f} MiB")
        print(f"{ext:<8}ratio -j 2 / -j 1:              {wall['-j 2'] / wall['-j 1']:.2f}")
        print(f"{ext:<8}ratio -j 2 (no -o) / loop:      {wall['-j 2 no -o'] / wall['loop']:.2f}")
        if None not in stalls:
            # Other programs on the machine take processors from the runs:
            # with much waiting, wall-time ratios say little.
            print(f"{ext:<8}processors busy elsewhere: some task waited {stalls[0]:.0f} % of the time "
                  f"before, {stalls[1]:.0f} % after")
    finally:
        shutil.rmtree(work, ignore_errors=True)
