#!/usr/bin/env python3
"""One comparison of two screenshots, process start to exit: diffmark-cli
against odiff, in the same run.

The pictures are real Chromium screenshots (headless /usr/bin/chromium) of
a small page with text, 1280 x 800 and 1920 x 1080: a base, the same page
with its content moved by 0.3 px (anti-aliased edges change everywhere) and
one with a heading's colour changed; each also as JPEG and WebP (ImageMagick,
quality 90), which odiff reads too.  For every pair, alternating, RUNS
runs each, medians:

  compare only   diffmark-cli -q A B          odiff A B
  diff image     diffmark-cli -q A B -o d.png odiff A B d.png
  perceptual     (PNG pairs) diffmark-cli -q --metric yiq --aa --mode overlay A B -o d.png
                 against odiff --antialiasing A B d.png: both leave anti-aliased
                 pixels out and write the usual diff picture

odiff is the npm package odiff-bin 4.x; its prebuilt binary is run
directly, not through the package's node wrapper (which would add node's
start-up to every run).  odiff's exit status 22 (pixels differ) counts as
a finished run, as diffmark-cli's 1 does.  Both run with their defaults:
diffmark-cli compares bytes exactly, odiff with its colour threshold 0.1.

Also printed: the CPU time of each (user + system, every thread: the
figure to trust when other work shares the machine), and the peak resident
memory of each program (one more run under /usr/bin/time) against the
bytes of the two decoded pictures (24-bit and RGBA).

Figures only; nothing fails on timing.

usage: bench/odiff_bench.py [--build DIR] [--runs N] [--shots DIR] [--before CLI]
                           [--large] [--formats png,jpg,webp]
  --build   the build tree whose cli/diffmark-cli is timed (build/release)
  --runs    runs of each program per pair (15)
  --shots   take the screenshots from DIR (made there when missing;
            default: $XDG_CACHE_HOME/diffmark-bench/shots)
  --before  another diffmark-cli (an older build) timed in the same
            alternation, for before/after figures
  --large   also 4096 x 4096 PNG screenshots (perceptual mode only)
  --formats the input formats timed (all three)
"""
import argparse
import glob
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "diffmark-bench")

parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
parser.add_argument("--build", default="build/release")
parser.add_argument("--runs", type=int, default=15)
parser.add_argument("--shots", default=os.path.join(cache, "shots"))
parser.add_argument("--before", default=None)
parser.add_argument("--large", action="store_true")
parser.add_argument("--formats", default="png,jpg,webp")
args = parser.parse_args()

cli = os.path.join(os.path.abspath(args.build), "cli", "diffmark-cli")
runs = args.runs
sizes = [(1280, 800), (1920, 1080)]
formats = [f for f in args.formats.split(",") if f]
changes = ["shift", "colour"]

PAGE = """<!doctype html><html><head><meta charset="utf-8"><style>
body {{ font: 16px/1.5 sans-serif; margin: 40px; color: #222; background: #fafafa }}
.c {{ transform: translate({dx}px, {dx}px) }}
h1 {{ color: {heading} }}
.box {{ width: 320px; padding: 12px; border: 1px solid #ccd; border-radius: 6px; background: #eef3fb }}
</style></head><body><div class="c">
<h1>Quarterly report</h1>
<p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor
incididunt ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud
exercitation ullamco laboris nisi ut aliquip ex ea commodo consequat.</p>
<ul><li>Revenue up 4.2 %</li><li>Costs down 1.1 %</li><li>Head count unchanged</li></ul>
<div class="box">Next review: 14 March. Questions to the finance team.</div>
</div></body></html>
"""
VARIANTS = {"base": (0, "#1a5fb4"), "shift": (0.3, "#1a5fb4"), "colour": (0, "#c01c28")}


def screenshot(html, width, height, out):
    profile = tempfile.mkdtemp(prefix="diffmark-bench-chromium-")
    try:
        page = os.path.join(profile, "page.html")
        with open(page, "w") as f:
            f.write(html)
        subprocess.run(["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                        "--no-first-run", "--disable-background-networking", "--disable-component-update",
                        "--disable-sync", f"--user-data-dir={profile}", f"--window-size={width},{height}",
                        f"--screenshot={out}", "file://" + page],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def shot(width, height, variant, fmt):
    """The path of one screenshot, made (and converted) when missing."""
    os.makedirs(args.shots, exist_ok=True)
    png = os.path.join(args.shots, f"{width}x{height}-{variant}.png")
    if not os.path.exists(png):
        dx, heading = VARIANTS[variant]
        screenshot(PAGE.format(dx=dx, heading=heading), width, height, png)
    if fmt == "png":
        return png
    out = png[:-3] + fmt
    if not os.path.exists(out):
        subprocess.run(["convert", png, "-quality", "90", out], check=True)
    return out


def find_odiff():
    """odiff-bin's own binary, installed into the cache folder when missing."""
    prefix = os.path.join(cache, "odiff")
    pattern = os.path.join(prefix, "node_modules", "@odiff", "*", "odiff")
    found = glob.glob(pattern)
    if not found:
        os.makedirs(prefix, exist_ok=True)
        subprocess.run(["npm", "install", "--prefix", prefix, "--no-audit", "--no-fund", "odiff-bin@4"],
                       check=True, stdout=subprocess.DEVNULL)
        found = glob.glob(pattern)
    if not found:
        sys.exit(f"odiff-bin installed, but no binary matches {pattern}")
    return found[0]


def run(command, ok=(0, 1, 22)):  # odiff: 22 pixels differ
    """Wall and CPU seconds (user + system, all threads) of one run; the
    writeback of the last one's output is flushed first."""
    os.sync()
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    child.returncode = code
    error = child.stderr.read().decode(errors="replace")
    child.stderr.close()
    if code not in ok:
        sys.exit(f"{' '.join(command)} failed with status {code}: {error}")
    return wall, usage.ru_utime + usage.ru_stime


def peak_mib(command):
    """Peak resident memory (MiB) of one run, through /usr/bin/time: the
    getrusage of a child forked from this Python would count Python's own
    pages, which a fork carries into the child until exec."""
    if not os.path.exists("/usr/bin/time"):
        return float("nan")
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    return int(done.stderr.strip().splitlines()[-1]) / 1024.0


def alternate(commands):
    """Medians (wall s, CPU s) of each command, run in turn, and its peak MiB."""
    results = [[] for _ in commands]
    for c in commands:  # one untimed run each: the files are then cached
        run(c)
    for _ in range(runs):
        for c, r in zip(commands, results):
            r.append(run(c))
    med = statistics.median
    return [(med(w for w, _ in r), med(u for _, u in r), peak_mib(c)) for c, r in zip(commands, results)]


odiff = find_odiff()
done = subprocess.run([odiff, "--version"], capture_output=True, text=True)
version = (done.stdout + done.stderr).strip().splitlines()[0] if (done.stdout + done.stderr).strip() else ""
contenders = [("diffmark-cli", cli)] + ([("before", os.path.abspath(args.before))] if args.before else [])
print(f"diffmark-cli {cli}")
if args.before:
    print(f"before       {os.path.abspath(args.before)}")
print(f"odiff        {odiff} ({version or 'version unknown'})")
print(f"{runs} runs each, alternating; medians in ms; ratio = odiff / diffmark-cli (2.00: twice as fast)")
print("cpu: user + system time of all threads; peak: resident memory; decoded: the two pictures at 24 bits/RGBA")
print()
head = f"{'pair':<26} {'mode':<8} {'diffmark':>9} {'odiff':>8} {'ratio':>6}"
if args.before:
    head += f" {'before':>8} {'ratio':>6}"
head += f"  {'cpu dm/od':>13} {'ratio':>6}  {'peak MiB dm/od':>14}  {'decoded MiB':>11}"
print(head)

work = tempfile.mkdtemp(prefix="diffmark-odiff-bench-")
ratios = {"compare": [], "diff": [], "aa-diff": []}
cpu_ratios = {"compare": [], "diff": [], "aa-diff": []}
try:
    for width, height in sizes + ([(4096, 4096)] if args.large else []):
        for fmt in formats:
            large = width > 2000
            if large and fmt != "png":
                continue
            base = shot(width, height, "base", fmt)
            for change in changes:
                other = shot(width, height, change, fmt)
                modes = ("compare", "diff", "aa-diff") if fmt == "png" else ("compare", "diff")
                for mode in modes if not large else ("aa-diff",):
                    out = [] if mode == "compare" else ["-o", os.path.join(work, "d.png")]
                    extra = ["--metric", "yiq", "--aa", "--mode", "overlay"] if mode == "aa-diff" else []
                    commands = [[path, "-q"] + extra + [base, other] + out for _, path in contenders]
                    odiff_out = [] if mode == "compare" else [os.path.join(work, "o.png")]
                    odiff_flags = ["--antialiasing"] if mode == "aa-diff" else []
                    commands.insert(1, [odiff] + odiff_flags + [base, other] + odiff_out)
                    medians = alternate(commands)
                    (dw, du, dm), (ow, ou, om) = medians[0], medians[1]
                    ratios[mode].append(ow / dw)
                    cpu_ratios[mode].append(ou / du)
                    decoded = 2 * width * height
                    line = (f"{width}x{height} {fmt:<4} {change:<11} {mode:<8} {dw * 1e3:9.1f} {ow * 1e3:8.1f} "
                            f"{ow / dw:6.2f}")
                    if args.before:
                        bw = medians[2][0]
                        line += f" {bw * 1e3:8.1f} {ow / bw:6.2f}"
                    line += (f"  {du * 1e3:6.1f}/{ou * 1e3:6.1f} {ou / du:6.2f}  {dm:6.1f}/{om:6.1f}  "
                             f"{decoded * 3 / 2**20:5.1f}/{decoded * 4 / 2**20:5.1f}")
                    print(line, flush=True)
    print()
    for mode, values in ratios.items():
        if not values:
            continue
        print(f"{mode:<8} wall ratio over all pairs: median {statistics.median(values):.2f}, "
              f"lowest {min(values):.2f}; cpu ratio: median {statistics.median(cpu_ratios[mode]):.2f}")
finally:
    shutil.rmtree(work, ignore_errors=True)
