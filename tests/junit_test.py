#!/usr/bin/env python3
"""diffmark-cli --junit read back by an XML parser, as a CI system reads it.

Pillow writes a folder pair with every kind of pair (equal, changed beyond
and within the tolerance, added, removed, unloadable) under names with
characters XML must escape, non-ASCII letters and a control character.
The file diffmark-cli writes must parse (xml.etree), have the shape JUnit
readers expect (testsuite attributes, counts that match the cases), one
case per relative path with the right outcome and the figures in the
message.  The single-pair form is checked for each outcome too.

usage: junit_test.py DIFFMARK_CLI PLUGIN_DIR
"""
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

from PIL import Image

cli, plugins = sys.argv[1], sys.argv[2]
failures = []


def check(what, got, expected):
    if got != expected:
        failures.append(f"{what}: got {got!r}, expected {expected!r}")


def picture(path, changes=()):
    im = Image.new("RGB", (40, 30), (200, 210, 220))
    for x, y in changes:
        im.putpixel((x, y), (10, 20, 30))
    im.save(path)


def run(*args):
    return subprocess.run([cli, "--plugins", plugins, *args], capture_output=True)


def shape(root):
    """The common JUnit shape: <testsuites> or <testsuite> at the top, the
    suite's attributes, counts that match its cases, each case named."""
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    check("suites", len(suites), 1)
    suite = suites[0]
    for attribute in ("name", "tests", "failures", "errors", "time", "timestamp"):
        if attribute not in suite.attrib:
            failures.append(f"testsuite has no {attribute} attribute")
    check("suite name", suite.get("name"), "diffmark-cli")
    cases = suite.findall("testcase")
    check("tests", int(suite.get("tests")), len(cases))
    check("failures", int(suite.get("failures")), sum(1 for c in cases if c.find("failure") is not None))
    check("errors", int(suite.get("errors")), sum(1 for c in cases if c.find("error") is not None))
    float(suite.get("time"))
    if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d", suite.get("timestamp", "")):
        failures.append(f"timestamp {suite.get('timestamp')!r} is not ISO 8601")
    for c in cases:
        for attribute in ("classname", "name", "time"):
            if attribute not in c.attrib:
                failures.append(f"testcase {c.get('name')!r} has no {attribute} attribute")
        float(c.get("time"))
        if root.tag == "testsuites":
            check("testsuites tests", root.get("tests"), suite.get("tests"))
    return suite, {c.get("name"): c for c in cases}


with tempfile.TemporaryDirectory() as tmp:
    base, other = os.path.join(tmp, "base"), os.path.join(tmp, "other")
    for d in (base, other, os.path.join(base, "sub"), os.path.join(other, "sub")):
        os.makedirs(d, exist_ok=True)
    odd = "R&D <\"quoted\" 'single'> caf\u00e9 \u65e5\u672c"  # escaped and non-ASCII names
    names = {
        "equal.bmp": ((), ()),
        "sub/changed.bmp": ((), [(x, 5) for x in range(3, 13)]),
        "small.bmp": ((), [(1, 1)]),  # within --max-diff-pixels 2
        odd + ".bmp": ((), [(0, 0), (1, 0), (2, 0)]),
        "ctl\x01name.bmp": ((), ()),
    }
    for name, (b, o) in names.items():
        picture(os.path.join(base, name), b)
        picture(os.path.join(other, name), o)
    picture(os.path.join(other, "added.bmp"))
    picture(os.path.join(base, "sub/removed.bmp"))
    for side in (base, other):
        with open(os.path.join(side, "broken.bmp"), "wb") as f:
            f.write(b"BM not a bitmap at all")

    report = os.path.join(tmp, "results.xml")
    r = run("--max-diff-pixels", "2", base, other, "--junit", report)
    check("folder exit status", r.returncode, 2)  # the broken pair is trouble
    root = ET.parse(report).getroot()
    suite, cases = shape(root)
    check("case names", sorted(cases), sorted(list(names)[:4] + ["ctlname.bmp", "added.bmp", "sub/removed.bmp",
                                                                  "broken.bmp"]))
    check("suite counts", (suite.get("tests"), suite.get("failures"), suite.get("errors")), ("8", "4", "1"))

    def outcome(name):
        c = cases.get(name)
        if c is None:
            return None
        return "failure" if c.find("failure") is not None else "error" if c.find("error") is not None else "pass"

    for name, expected in [("equal.bmp", "pass"), ("small.bmp", "pass"), ("sub/changed.bmp", "failure"),
                           (odd + ".bmp", "failure"), ("added.bmp", "failure"), ("sub/removed.bmp", "failure"),
                           ("broken.bmp", "error"), ("ctlname.bmp", "pass")]:
        check(f"outcome of {name!r}", outcome(name), expected)
    changed = cases["sub/changed.bmp"]
    check("classname of a nested path", changed.get("classname"), "diffmark-cli.sub")
    check("classname at the top", cases["equal.bmp"].get("classname"), "diffmark-cli")
    message = changed.find("failure").get("message")
    check("changed message", message,
          "changed: 10 of 1 200 pixels differ (0.833 %); box x 3, y 5, 10 x 1; 0 anti-aliased pixels left out")
    check("failure text", changed.find("failure").text, message)
    check("within tolerance noted", cases["small.bmp"].findtext("system-out"),
          "within tolerance: 1 of 1 200 pixels differ (0.083 %); box x 1, y 1, 1 x 1; 0 anti-aliased pixels left out")
    check("added message", cases["added.bmp"].find("failure").get("message"), "added: only in " + other)
    error = cases["broken.bmp"].find("error").get("message")
    if "broken.bmp" not in error or len(error) < 20:
        failures.append(f"error message names no file and reason: {error!r}")
    raw = open(report, "rb").read()
    if b"\x01" in raw:
        failures.append("a control character was written")
    if odd.encode() not in raw.replace(b"&amp;", b"&").replace(b"&lt;", b"<").replace(b"&gt;", b">").replace(
            b"&quot;", b'"').replace(b"&apos;", b"'"):
        failures.append("the non-ASCII name is not kept as UTF-8")

    # A single pair: each outcome.
    for args, status, expected in [
        ([os.path.join(base, "equal.bmp"), os.path.join(other, "equal.bmp")], 0, "pass"),
        ([os.path.join(base, "sub/changed.bmp"), os.path.join(other, "sub/changed.bmp")], 1, "failure"),
        (["--max-diff-ratio", "0.01", os.path.join(base, "sub/changed.bmp"), os.path.join(other, "sub/changed.bmp")],
         0, "pass"),
        ([os.path.join(base, "broken.bmp"), os.path.join(other, "equal.bmp")], 2, "error"),
    ]:
        single = os.path.join(tmp, "single.xml")
        r = run("-q", *args, "--junit", single)
        check(f"exit status of {args}", r.returncode, status)
        suite, cases = shape(ET.parse(single).getroot())
        check(f"one case for {args}", len(cases), 1)
        (name, case), = cases.items()
        check(f"case name of {args}", name, args[-2] + " against " + args[-1])
        got = "failure" if case.find("failure") is not None else "error" if case.find("error") is not None else "pass"
        check(f"outcome of {args}", got, expected)

    # Refused: the XML over an input.
    r = run(os.path.join(base, "equal.bmp"), os.path.join(other, "equal.bmp"), "--junit",
            os.path.join(base, "equal.bmp"))
    check("--junit over an input", r.returncode, 2)
    check("input kept", Image.open(os.path.join(base, "equal.bmp")).size, (40, 30))

for f in failures:
    print(f)
sys.exit(1 if failures else 0)
