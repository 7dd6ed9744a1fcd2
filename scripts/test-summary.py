#!/usr/bin/env python3
"""The end of `make test`: what did not run and why, and how failures ended.

  test-summary.py RESULTS.xml

Reads the JUnit file CTest writes (the ci test preset's outputJUnitFile) and
prints one line per skipped test with its reason, one per part that a
passing test left out, and the last lines of each failed test's output.
A reason is a line of the test's output that starts with "SKIP: ", or, for
a GoogleTest case, the message under its "Skipped"; failing that, the
test's last line.  The exit status is 0 whatever the results: ctest's
decides the build's.
"""
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

LAST_LINES = 12


def skip_lines(output):
    return [line[len("SKIP: "):] for line in output.splitlines() if line.startswith("SKIP: ")]


def gtest_skip(output):
    """The message GoogleTest prints under "file:line: Skipped", if any."""
    m = re.search(r": Skipped\n(.*?)\n(?:\n|\[  SKIPPED \])", output, re.S)
    return " ".join(m[1].split()) if m else None


def summary(results):
    skipped, left_out, failed, total = [], [], [], 0
    for case in ET.parse(results).getroot().iter("testcase"):
        total += 1
        name, status = case.get("name"), case.get("status")
        output = case.findtext("system-out") or ""
        lines = [line for line in output.splitlines() if line.strip()]
        if status == "fail":
            failed.append((name, lines[-LAST_LINES:]))
        elif status == "notrun" or "[  SKIPPED ]" in output:
            reasons = skip_lines(output) or [gtest_skip(output) or (lines[-1] if lines else "no reason given")]
            skipped.append(f"{name}: {reasons[0]}")
        else:
            left_out += [f"{name} (in part): {why}" for why in skip_lines(output)]
    out = []
    if skipped or left_out:
        out.append("Skipped:")
        out += [f"  {line}" for line in skipped + left_out]
    for name, lines in failed:
        out.append(f"Failed: {name}; its last lines:")
        out += [f"  | {line}" for line in lines] or ["  | (no output)"]
    if not out:
        out.append(f"All {total} tests ran, none skipped, none failed.")
    return "\n".join(out)


def main():
    results = Path(sys.argv[1])
    if results.exists():
        print(summary(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
