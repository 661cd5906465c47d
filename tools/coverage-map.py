#!/usr/bin/env python3
"""Per-test coverage of src/, for deciding which tests another test already
covers. Needs a coverage build (make coverage) and gcovr.

  coverage-map.py run BUILD MAP        runs each ctest test of BUILD alone and
                                       keeps one gcovr JSON per test in MAP
                                       (tests that have one already are kept)
  coverage-map.py report MAP [PREFIX]  per test (whose name starts with a
                                       PREFIX): the lines and branches that
                                       no other test covers
  coverage-map.py lost MAP BUILD       what the tests of MAP covered together
                                       that the last run in BUILD did not

A test that covers nothing alone may still be the only one to assert what it
asserts: the map is where to look, not a verdict."""
import collections
import glob
import json
import os
import re
import subprocess
import sys
import tempfile

GCOVR = ["gcovr", "-r", ".", "--filter", "src/", "--gcov-ignore-parse-errors",
         "--exclude-unreachable-branches", "--exclude-throw-branches", "-j", "2"]


def covered(path):
    """(lines, branches) covered: sets of (file, line) and (file, line, index)."""
    lines, branches = set(), set()
    for f in json.load(open(path))["files"]:
        for l in f["lines"]:
            if l.get("gcovr/noncode") or l.get("gcovr/excluded"):
                continue
            if l["count"] > 0:
                lines.add((f["file"], l["line_number"]))
            branches.update((f["file"], l["line_number"], i)
                            for i, b in enumerate(l["branches"]) if b["count"] > 0)
    return lines, branches


def gcovr_json(build, out):
    subprocess.run(GCOVR + ["--json", out, build], check=True, stderr=subprocess.DEVNULL)


def run(build, out):
    os.makedirs(out, exist_ok=True)
    listing = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True,
                             capture_output=True, text=True).stdout
    for name in (t["name"] for t in json.loads(listing)["tests"]):
        target = os.path.join(out, name + ".json")
        if os.path.exists(target):
            continue
        for gcda in glob.glob(os.path.join(build, "**", "*.gcda"), recursive=True):
            os.unlink(gcda)
        subprocess.run(["ctest", "-R", "^" + re.escape(name) + "$"], cwd=build,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        gcovr_json(build, target)
        print(name, flush=True)


def load(mapdir):
    return {os.path.basename(p)[:-5]: covered(p)
            for p in sorted(glob.glob(os.path.join(mapdir, "*.json")))}


def places(lines, branches):
    byfile = collections.defaultdict(list)
    for f, n in lines:
        byfile[f].append(str(n))
    for f, n, i in branches:
        byfile[f].append(f"b{n}.{i}")
    return "".join(f"\n    {f}: {' '.join(xs)}" for f, xs in sorted(byfile.items()))


def report(mapdir, prefixes):
    tests = load(mapdir)
    lc, bc = collections.Counter(), collections.Counter()
    for l, b in tests.values():
        lc.update(l)
        bc.update(b)
    print(f"{len(tests)} tests; together {len(lc)} lines, {len(bc)} branches")
    for name, (l, b) in tests.items():
        if prefixes and not any(name.startswith(p) for p in prefixes):
            continue
        ul = sorted(x for x in l if lc[x] == 1)
        ub = sorted(x for x in b if bc[x] == 1)
        print(f"{name}: {len(l)} lines {len(b)} branches; only it: {len(ul)} lines "
              f"{len(ub)} branches{places(ul, ub)}")


def lost(mapdir, build):
    before_l, before_b = set(), set()
    for l, b in load(mapdir).values():
        before_l |= l
        before_b |= b
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "now.json")
        gcovr_json(build, out)
        now_l, now_b = covered(out)
    print(f"before: {len(before_l)} lines {len(before_b)} branches; "
          f"now: {len(now_l)} lines {len(now_b)} branches")
    print(f"lost: {len(before_l - now_l)} lines {len(before_b - now_b)} branches"
          f"{places(sorted(before_l - now_l), sorted(before_b - now_b))}")


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) == 3 and args[0] == "run":
        run(os.path.abspath(args[1]), os.path.abspath(args[2]))
    elif len(args) >= 2 and args[0] == "report":
        report(args[1], args[2:])
    elif len(args) == 3 and args[0] == "lost":
        lost(args[1], args[2])
    else:
        sys.exit(__doc__)
