#!/usr/bin/env python3
"""Fails on an include that points up or closes a circle between parts.

Every product source belongs to one part, by the longest folder in PARTS that
holds it.  A part may include its own headers and those of the parts it is
declared to stand on, nothing else; the declared graph itself must have no
cycle.  Within a part files may include each other freely (the application's
phases, the console's output and keyboard call each other as their
procedures do).  Tests, fuzz targets and benchmarks stand on anything.
"""
import re, subprocess, sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Part: (folder, the parts it stands on).  Top to bottom: the application,
# the console services, the seam; the stand-in's Win32 functions, the
# interface to their ends, the two ends and the terminal end's parts, the
# console model; the Windows build's own files.
PARTS = {
    "app": ("app", {"console", "win32"}),
    "console": ("console", {"win32"}),
    "win32": ("win32", set()),
    "windows": ("windows", {"win32"}),
    "standin": ("standin", {"end", "model", "win32"}),
    "end": ("standin/end", {"win32"}),
    "terminal": ("standin/terminal", {"end", "session", "sound", "priority", "power", "base",
                                      "model", "win32"}),
    "session": ("standin/terminal/session", {"vt", "base", "model", "win32"}),
    "sound": ("standin/terminal/sound", {"base", "win32"}),
    "priority": ("standin/terminal/priority", {"win32"}),
    "power": ("standin/terminal/power", {"base", "win32"}),
    "vt": ("standin/terminal/vt", {"model", "win32"}),
    "base": ("standin/terminal/base", set()),
    "testend": ("standin/testend", {"end", "model", "win32"}),
    "model": ("standin/model", {"win32"}),
    "tools": ("tools", {"vt", "base", "win32"}),
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def part_of(path):
    best = None
    for name, (folder, _) in PARTS.items():
        if path.startswith(folder + "/") and (best is None or len(folder) > len(PARTS[best][0])):
            best = name
    return best


def cycle(graph):
    """A cycle of the declared graph as a list of parts, or None."""
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for nxt in sorted(graph[node]):
            if state.get(nxt) == "open":
                return trail + [node, nxt]
            if nxt not in state:
                found = visit(nxt, trail + [node])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node, [])
            if found:
                return found
    return None


def main():
    problems = []
    unknown = {dep for _, deps in PARTS.values() for dep in deps} - set(PARTS)
    if unknown:
        problems.append(f"declared dependencies on unknown parts: {sorted(unknown)}")
    loop = cycle({name: deps for name, (_, deps) in PARTS.items()})
    if loop:
        problems.append("the declared parts form a circle: " + " -> ".join(loop))
    files = subprocess.run(["git", "ls-files", "*.cpp", "*.h", "*.c"], cwd=ROOT, check=True,
                           capture_output=True, text=True).stdout.split()
    for path in files:
        part = part_of(path)
        if part is None:
            continue
        allowed = PARTS[part][1] | {part}
        text = (ROOT / path).read_text(encoding="utf-8", errors="replace")
        for number, line in enumerate(text.split("\n"), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target = m.group(1)
            if "/" not in target:
                continue  # a header beside the file (the seam's own)
            other = part_of(target)
            if other is None:
                problems.append(f"{path}:{number}: includes {target}, which is in no part")
            elif other not in allowed:
                problems.append(f"{path}:{number}: {part} includes {target} ({other}), "
                                f"which {part} does not stand on")
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"layers: {len(PARTS)} parts, no include up or across")
    return 0


if __name__ == "__main__":
    sys.exit(main())
