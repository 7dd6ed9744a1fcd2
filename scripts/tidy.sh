#!/usr/bin/env bash
# clang-tidy over the project's own sources that the given build compiles
# (the Windows-only files are not in a Linux build's compile database).
#   scripts/tidy.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/dev}
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json: build first" >&2; exit 2; }
mapfile -t files < <(python3 - "$build/compile_commands.json" <<'PY'
import json, os, subprocess, sys
tracked = set(subprocess.check_output(["git", "ls-files", "*.cpp"], text=True).split())
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.relpath(entry["file"])
    if path in tracked and path not in seen:
        seen.add(path)
        print(path)
PY
)
clang-tidy -p "$build" --quiet "${files[@]}"
