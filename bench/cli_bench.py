#!/usr/bin/env python3
"""diffmark-cli against its references, in the same run.

1. The 8192 x 8192 BMP pair with 1 % of the pixels differing:
   `diffmark-cli A B -o out.bmp` against `diffmark` on the same pair (the
   same marking, the same bytes written), alternating; wall time ratio and
   peak resident memory of each (from /usr/bin/time).
2. A 4096 x 4096 PNG pair (a smooth picture with 1 % of the pixels
   changed, written by Pillow): `diffmark-cli A B -o diff.png` against
   odiff writing its diff image (`odiff A B diff.png`), when odiff is found
   (on PATH, or as the npm package odiff-bin under bench/node_modules:
   `npm install --prefix bench odiff-bin`).

Figures only; nothing fails on timing.

usage: bench/cli_bench.py [BUILD_DIR] [RUNS]   (default build/bench, 7)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bench")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 7
here = os.path.dirname(os.path.abspath(__file__))
cli = os.path.join(build, "cli", "diffmark-cli")
diffmark = os.path.join(build, "app", "diffmark")
make_pair = os.path.join(build, "bench", "make_pair")
pil_python = "/usr/bin/python3"


def run(args, ok=(0, 1, 21, 22)):  # odiff: 21 layout differs, 22 pixels differ
    """Wall seconds and peak RSS (MiB) of one run, writeback of the last
    one's output flushed first."""
    os.sync()
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M"] + args, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    if done.returncode not in ok:
        sys.exit(f"{args[0]} failed with status {done.returncode}: {done.stderr}")
    return wall, int(done.stderr.strip().splitlines()[-1]) / 1024.0


def alternate(a, b):
    ra, rb = [], []
    run(a)
    run(b)
    for _ in range(runs):
        ra.append(run(a))
        rb.append(run(b))
    med = statistics.median
    return med(w for w, _ in ra), med(w for w, _ in rb), med(m for _, m in ra), med(m for _, m in rb)


def find_odiff():
    for candidate in (shutil.which("odiff"), os.path.join(here, "node_modules", ".bin", "odiff")):
        if candidate and os.path.exists(candidate):
            return candidate
    return None


work = tempfile.mkdtemp(prefix="diffmark-cli-bench-")
try:
    os.chdir(work)
    subprocess.run([make_pair, "8192", "8192", "1", work], check=True)
    cw, dw, cm, dm = alternate([cli, "-q", "Image0.bmp", "Image1.bmp", "-o", "out.bmp"], [diffmark])
    print(f"8192 x 8192 BMP, 1 % differ ({runs} runs, medians)")
    print(f"  diffmark-cli -o out.bmp  {cw:.3f} s  {cm:6.1f} MiB")
    print(f"  diffmark                 {dw:.3f} s  {dm:6.1f} MiB")
    print(f"  ratio {cw / dw:.2f}, memory {cm - dm:+.1f} MiB")

    odiff = find_odiff()
    made = subprocess.run([pil_python, "-c", """
import random
from PIL import Image
side = 4096
base = Image.linear_gradient("L").resize((side, side)).convert("RGB")
r, g, b = base.split()
base = Image.merge("RGB", (r, g.transpose(Image.Transpose.ROTATE_90), b.transpose(Image.Transpose.ROTATE_180)))
other = base.copy()
px = other.load()
rnd = random.Random(1)
for _ in range(side * side // 100):
    x, y = rnd.randrange(side), rnd.randrange(side)
    px[x, y] = (rnd.randrange(256), rnd.randrange(256), rnd.randrange(256))
base.save("a.png")
other.save("b.png")
"""])
    if made.returncode != 0:
        print("4096 x 4096 PNG: skipped (needs Pillow in /usr/bin/python3)")
    elif odiff is None:
        cw, _ = run([cli, "-q", "a.png", "b.png", "-o", "diff.png"])
        print(f"4096 x 4096 PNG, 1 % differ: diffmark-cli {cw:.3f} s; odiff not found "
              "(npm install --prefix bench odiff-bin)")
    else:
        cw, ow, cm, om = alternate([cli, "-q", "a.png", "b.png", "-o", "diff.png"],
                                   [odiff, "a.png", "b.png", "odiff.png"])
        print(f"4096 x 4096 PNG, 1 % differ ({runs} runs, medians)")
        print(f"  diffmark-cli -o diff.png {cw:.3f} s  {cm:6.1f} MiB")
        print(f"  odiff (diff image)       {ow:.3f} s  {om:6.1f} MiB")
        print(f"  diffmark-cli is {ow / cw:.2f} x as fast")
finally:
    os.chdir("/")
    shutil.rmtree(work, ignore_errors=True)
