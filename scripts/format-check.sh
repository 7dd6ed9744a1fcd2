#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null || find app console model posix tests tools -name '*.cpp' -o -name '*.h')
[ ${#files[@]} -eq 0 ] && exit 0
"${CLANG_FORMAT:-clang-format}" --dry-run --Werror "${files[@]}"
