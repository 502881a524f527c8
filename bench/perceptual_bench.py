#!/usr/bin/python3
"""Perceptual classification against pixelmatch in node, on the same pixels.

usage: perceptual_bench.py PERCEPTUAL_BENCH [NPM_CACHE]

Runs perceptual_bench (which also writes the pairs as raw RGBA into a
temporary folder), then perceptual_bench.mjs with pixelmatch 7.1 (yiq) and
8.0 (oklab) from NPM_CACHE (default ${DIFFMARK_NPM_CACHE:-~/.cache/diffmark-npm},
as .ci/run installs them), and prints for each pair the times and the
ratios: pixelmatch / ours for the comparison with anti-aliasing detection,
and for the comparison with the diff picture painted, and ours / the plain
byte-equality scan and ours / the channel pass (ComparePictures with the
default options) on the same pair; then the whole comparison with
anti-aliasing as diffmark-cli runs it on decoded pictures (ComparePictures)
on 1 and 2 threads, in wall time, and pixelmatch / that on 2 threads.  All times are processor time, best of several runs.
"""
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    bench = sys.argv[1]
    cache = sys.argv[2] if len(sys.argv) > 2 else (
        os.environ.get("DIFFMARK_NPM_CACHE") or os.path.expanduser("~/.cache/diffmark-npm"))
    with tempfile.TemporaryDirectory() as raw:
        ours = {}
        lines = subprocess.run([bench, raw], check=True, capture_output=True, text=True).stdout.splitlines()
        for line in lines[1:]:
            f = line.split()
            ours[(f[0] + "-" + f[1], f[2])] = {"scan": float(f[3]), "chan": float(f[4]), "aa": float(f[6]),
                                               "overlay": float(f[7]), "cmp1": float(f[13]), "cmp2": float(f[14])}
        theirs = {}
        for version, metric in (("7", "yiq"), ("8", "oklab")):
            out = subprocess.run(["node", os.path.join(HERE, "perceptual_bench.mjs"), raw,
                                  os.path.join(cache, "pixelmatch" + version), "v" + version],
                                 check=True, capture_output=True, text=True).stdout
            for line in out.splitlines():
                r = json.loads(line)
                if not r["includeAA"]:
                    theirs[(r["pair"], metric, r["output"])] = r["ms"]
    print(f"{'pair':<16} {'metric':<6} {'scan':>8} {'ours':>8} {'pm':>8} {'pm/ours':>8} "
          f"{'ours+ov':>8} {'pm+ov':>8} {'pm/ours':>8} {'ours/scan':>9} {'ours/chan':>9} {'cmp1':>7} {'cmp2':>7} "
          f"{'pm/cmp2':>7}")
    for (pair, metric), o in sorted(ours.items()):
        pm = theirs[(pair, metric, False)]
        pmo = theirs[(pair, metric, True)]
        print(f"{pair:<16} {metric:<6} {o['scan']:8.3f} {o['aa']:8.3f} {pm:8.3f} {pm / o['aa']:8.1f} "
              f"{o['overlay']:8.3f} {pmo:8.3f} {pmo / o['overlay']:8.1f} {o['aa'] / o['scan']:9.2f} "
              f"{o['aa'] / o['chan']:9.2f} {o['cmp1']:7.3f} {o['cmp2']:7.3f} {pm / o['cmp2']:7.1f}")


if __name__ == "__main__":
    main()
