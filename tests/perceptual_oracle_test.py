#!/usr/bin/python3
"""The perceptual comparison against pixelmatch from npm, on the fixture pairs.

usage: perceptual_oracle_test.py PROBE PLUGIN_DIR FIXTURE_DIR

PROBE is perceptual_probe, or diffmark-cli itself (then its --json counts
and its --mode overlay picture are what is checked).  For
every pair, several thresholds, with and without anti-aliasing detection:
the yiq counts must equal pixelmatch 7.1's, the oklab counts pixelmatch
8.0's (includeAA true without --aa; with --aa the count with includeAA
false, and the anti-aliased count the difference).  The overlay of each pair
must equal, pixel for pixel, the diff image that each version's own command
line program writes with its defaults.  Some cases run in bands of a few
rows, as a streaming caller classifies them.  diffmark-cli's
largest_cluster must be the largest group of touching (8 neighbours)
differing pixels of that picture, found here by a flood fill.

pixelmatch is installed with npm into ${DIFFMARK_NPM_CACHE:-~/.cache/diffmark-npm}
when missing.  Exits 77 (skipped) where node is not installed, except under
CI, where that is a failure.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

from PIL import Image

VERSIONS = [("7.1.0", "pixelmatch7", "yiq"), ("8.0.0", "pixelmatch8", "oklab")]
THRESHOLDS = [0, 0.05, 0.1, 0.15, 0.3]
HERE = os.path.dirname(os.path.abspath(__file__))


def pairs(fixtures):
    names = sorted(os.listdir(fixtures))
    for name in names:
        if not name.endswith("-b.png"):
            continue
        stem = name[:-len("-b.png")]
        base = stem + "-a.png" if stem + "-a.png" in names else "shot-a.png"
        yield stem, os.path.join(fixtures, base), os.path.join(fixtures, name)


def install(npm, cache, folder, version):
    target = os.path.join(cache, folder)
    if os.path.exists(os.path.join(target, "node_modules", "pixelmatch", "package.json")):
        with open(os.path.join(target, "node_modules", "pixelmatch", "package.json")) as f:
            if json.load(f)["version"] == version:
                return target
    if npm is None:
        raise RuntimeError(f"pixelmatch@{version} is not in {target} and npm is missing")
    subprocess.run([npm, "install", "--no-audit", "--no-fund", "--prefix", target,
                    f"pixelmatch@{version}", "pngjs@7"], check=True, stdout=subprocess.DEVNULL)
    return target


def cli(program, plugins, a, b, metric, threshold, aa, overlay=None):
    """The same through diffmark-cli itself: its JSON, and its overlay picture."""
    args = [program, "--plugins", plugins, "--metric", metric, "--threshold", repr(threshold), a, b]
    if aa:
        args.append("--aa")
    if overlay:
        args += ["--mode", "overlay", "-o", overlay, "-q"]
    else:
        args.append("--json")
    run = subprocess.run(args, capture_output=True, text=True)
    if run.returncode not in (0, 1):
        raise RuntimeError(f"{' '.join(args)}: exit {run.returncode}: {run.stderr.strip()}")
    if overlay:
        return {}
    out = json.loads(run.stdout)
    return {"differing": out["different_pixels"], "antialiased": out["antialiased_pixels"]}


def largest_group(image, colour):
    """The largest group of touching pixels of `colour` (a side or a corner),
    as (pixels, x, y, width, height); ties go to the higher, then the more
    left, then the smaller box.  None when no pixel has the colour."""
    w, h = image.size
    data = list(image.getdata())
    seen = [False] * (w * h)
    best = None
    for start in range(w * h):
        if seen[start] or data[start][:3] != colour:
            continue
        seen[start] = True
        stack = [start]
        n, x0, y0, x1, y1 = 0, w, h, -1, -1
        while stack:
            i = stack.pop()
            x, y = i % w, i // w
            n += 1
            x0, y0, x1, y1 = min(x0, x), min(y0, y), max(x1, x), max(y1, y)
            for dy in (-1, 0, 1):
                for dx in (-1, 0, 1):
                    nx, ny = x + dx, y + dy
                    j = ny * w + nx
                    if 0 <= nx < w and 0 <= ny < h and not seen[j] and data[j][:3] == colour:
                        seen[j] = True
                        stack.append(j)
        key = (n, -y0, -x0, -y1, -x1)
        if best is None or key > best[0]:
            best = (key, (n, x0, y0, x1 - x0 + 1, y1 - y0 + 1))
    return None if best is None else best[1]


def probe(program, plugins, a, b, metric, threshold, aa, band=None, overlay=None):
    if os.path.basename(program).startswith("diffmark-cli"):
        return cli(program, plugins, a, b, metric, threshold, aa, overlay)
    args = [program, plugins, a, b, "--metric", metric, "--threshold", repr(threshold)]
    if aa:
        args.append("--aa")
    if band:
        args += ["--band", str(band)]
    if overlay:
        args += ["--overlay", overlay]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    program, plugins, fixtures = sys.argv[1:4]
    node = shutil.which("node") or ("/usr/bin/node" if os.path.exists("/usr/bin/node") else None)
    if node is None:
        if os.environ.get("CI"):
            print("node is missing: the oracle test cannot run in CI")
            return 1
        print("SKIP: node is not installed; pixelmatch cannot run")
        return 77
    npm = shutil.which("npm") or ("/usr/bin/npm" if os.path.exists("/usr/bin/npm") else None)
    cache = os.environ.get("DIFFMARK_NPM_CACHE") or os.path.expanduser("~/.cache/diffmark-npm")

    failures = []
    checked = 0
    failed = 0
    for version, folder, metric in VERSIONS:
        dir_ = install(npm, cache, folder, version)
        cases = []
        for stem, a, b in pairs(fixtures):
            for t in THRESHOLDS:
                for include in (True, False):
                    cases.append({"stem": stem, "a": a, "b": b, "threshold": t, "includeAA": include})
        counts = json.loads(subprocess.run(
            [node, os.path.join(HERE, "perceptual_oracle.mjs")], input=json.dumps({"dir": dir_, "cases": cases}),
            check=True, capture_output=True, text=True).stdout)
        expected = {(c["stem"], c["threshold"], c["includeAA"]): n for c, n in zip(cases, counts)}
        for stem, a, b in pairs(fixtures):
            for t in THRESHOLDS:
                band = 3 if t == 0.1 else None
                plain = probe(program, plugins, a, b, metric, t, False, band)
                marked = probe(program, plugins, a, b, metric, t, True, band)
                want_all = expected[(stem, t, True)]
                want_counted = expected[(stem, t, False)]
                checked += 1
                before = len(failures)
                if plain["differing"] != want_all or plain["antialiased"] != 0:
                    failures.append(f"{metric} {stem} t={t}: {plain['differing']} pixels differ, "
                                    f"pixelmatch@{version} with includeAA counts {want_all}")
                if marked["differing"] != want_counted or \
                        marked["differing"] + marked["antialiased"] != want_all:
                    failures.append(f"{metric} {stem} t={t} --aa: {marked['differing']} differ and "
                                    f"{marked['antialiased']} anti-aliased, pixelmatch@{version} counts "
                                    f"{want_counted} of {want_all}")
                failed += len(failures) > before
            with tempfile.TemporaryDirectory() as tmp:
                theirs = os.path.join(tmp, "theirs.png")
                ours = os.path.join(tmp, "ours.png" if os.path.basename(program).startswith("diffmark-cli")
                                    else "ours.ppm")
                run = subprocess.run([node, os.path.join(dir_, "node_modules", "pixelmatch", "bin", "pixelmatch"),
                                      a, b, theirs], capture_output=True, text=True)
                if not os.path.exists(theirs):
                    failures.append(f"{metric} {stem}: pixelmatch wrote no diff ({run.stderr.strip()})")
                    checked += 1
                    failed += 1
                    continue
                probe(program, plugins, a, b, metric, 0.1, True, overlay=ours)
                want = Image.open(theirs).convert("RGBA")
                got = Image.open(ours).convert("RGB")
                wanted = [p[:3] for p in want.getdata()]
                alpha = {p[3] for p in want.getdata()}
                got_pixels = list(got.getdata())
                bad = [i for i, (p, q) in enumerate(zip(wanted, got_pixels)) if p != q]
                checked += 1
                failed += bool(alpha != {255} or bad or len(wanted) != len(got_pixels))
                if alpha != {255} or bad or len(wanted) != len(got_pixels):
                    where = f"first at {bad[0] % want.width},{bad[0] // want.width}: " \
                            f"{got_pixels[bad[0]]} for {wanted[bad[0]]}" if bad else f"alpha {sorted(alpha)}"
                    failures.append(f"{metric} {stem}: overlay differs from pixelmatch@{version}'s in "
                                    f"{len(bad)} pixels ({where})")
                if os.path.basename(program).startswith("diffmark-cli"):
                    run = subprocess.run([program, "--plugins", plugins, "--metric", metric, "--aa", "--json", a, b],
                                         capture_output=True, text=True)
                    group = json.loads(run.stdout)["largest_cluster"]
                    got_group = None if group is None else (group["pixels"], group["x"], group["y"],
                                                            group["width"], group["height"])
                    want_group = largest_group(want, (255, 0, 0))
                    checked += 1
                    if got_group != want_group:
                        failed += 1
                        failures.append(f"{metric} {stem}: largest group {got_group}, the red pixels of "
                                        f"pixelmatch@{version}'s diff make {want_group}")
    for failure in failures:
        print("FAIL:", failure)
    print(f"{checked - failed} passed, {failed} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
