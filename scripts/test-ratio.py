#!/usr/bin/env python3
"""Counts the lines of test cases, test harness and product code.

Lines are counted without blank lines and comment lines.  Every file is
classified by the first glob of CLASSES it matches ("*" also crosses "/");
files that match none are not counted.  The script reports; it never fails a
build.
"""
import fnmatch, os, re, subprocess, sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

CLASSES = [
    # The product: what ships.
    ("app/*.cpp", "product"), ("app/*.h", "product"),
    ("console/*.cpp", "product"), ("console/*.h", "product"),
    ("standin/model/*.cpp", "product"), ("standin/model/*.h", "product"),
    ("standin/*.cpp", "product"), ("standin/*.h", "product"),
    ("win32/*.h", "product"), ("windows/*.cpp", "product"),
    ("tools/*.cpp", "product"), ("tools/*.h", "product"),
    # Build glue, data and prose are neither.
    ("tests/*CMakeLists.txt", None), ("tests/data/*", None), ("tests/*.md", None),
    ("tests/*.txt", None),
    # Test scripts and scenarios are cases wherever they sit.
    ("tests/*_test.sh", "cases"), ("tests/*_test.py", "cases"), ("tests/*-test.sh", "cases"),
    ("tests/*.scn", "cases"),
    # The harness: consoles, terminals and runners the cases stand on.
    ("tests/fake/*", "harness"),
    ("tests/support/*", "harness"),
    ("tests/*_support.h", "harness"),
    ("tests/*pty_child.*", "harness"),
    ("tests/e2e/*.sh", "harness"),
    ("tests/e2e/*.py", "harness"),
    ("tests/wine/*", "harness"),
    ("tests/package/lib.sh", "harness"),
    # The cases: test sources, scenarios, test scripts.
    ("tests/*.cpp", "cases"), ("tests/*.h", "cases"), ("tests/*.scn", "cases"),
    ("tests/*.sh", "cases"), ("tests/*.py", "cases"),
]

# The comment syntax by file name ending.
SLASH = (".cpp", ".h", ".c")
HASH = (".sh", ".py", ".scn", ".cmake", ".txt")


def classify(path):
    for pattern, kind in CLASSES:
        if fnmatch.fnmatchcase(path, pattern):
            return kind
    return None


def count(text, path):
    """Non-blank lines that are not wholly comment."""
    lines, in_block = 0, False
    for line in text.split("\n"):
        s = line.strip()
        if path.endswith(SLASH):
            if in_block:
                if "*/" not in s:
                    continue
                in_block, s = False, s.split("*/", 1)[1].strip()
            while s.startswith("/*"):
                if "*/" not in s:
                    in_block, s = True, ""
                    break
                s = s.split("*/", 1)[1].strip()
            if s.startswith("//"):
                s = ""
        elif path.endswith(HASH) and s.startswith("#"):
            s = ""
        lines += bool(s)
    return lines


def files():
    try:
        out = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard"],
                             cwd=ROOT, capture_output=True, text=True, check=True).stdout
        return [p for p in out.split("\n") if p and (ROOT / p).is_file()]
    except (OSError, subprocess.CalledProcessError):
        # Not a git checkout (a source tarball): every file but the builds.
        return [str(p.relative_to(ROOT)) for p in ROOT.rglob("*")
                if p.is_file() and not re.match(r"(build|out|\.git)(/|$)",
                                                 str(p.relative_to(ROOT)))]


def main():
    totals = {"cases": 0, "harness": 0, "product": 0}
    verbose = "-v" in sys.argv
    for path in sorted(files()):
        kind = classify(path)
        if kind:
            n = count((ROOT / path).read_text(errors="replace"), path)
            totals[kind] += n
            if verbose:
                print(f"{kind:8} {n:6}  {path}")
    cases, harness, product = totals["cases"], totals["harness"], totals["product"]
    share = f"{100 * cases // product} %" if product else "-"
    print(f"test ratio: cases {cases} lines, harness {harness}, product {product}: "
          f"cases/product {share}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as error:  # a report, never a broken build
        print(f"test ratio: not counted ({error})")
        sys.exit(0)
