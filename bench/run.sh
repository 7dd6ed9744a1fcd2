#!/usr/bin/env bash
# Builds a Release tree in build/bench and runs every benchmark, printing one
# table of figures against their targets.
#   bench/run.sh            full run (three runs, about 15 minutes)
#   bench/run.sh --quick    a few seconds per figure: proves the scripts work
#   bench/run.sh --readme   full run, and the table goes into bench/README.md
# --build-dir DIR uses another build tree; --no-build takes its binaries as
# they are.  Other options go to bench/bench.py.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="$root/build/bench"
build_it=1
pass=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$(cd "$2" && pwd)"; shift 2 ;;
    --no-build) build_it=0; shift ;;
    *) pass+=("$1"); shift ;;
  esac
done

if [ "$build_it" -eq 1 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DROUSEL_TESTS=OFF \
        -DROUSEL_BENCH=ON >/dev/null
  cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target rousel \
        reference_waiter reference_echo rousel_redraw_bytes rousel_tone_analyze \
        $(grep -q "^ALSA_LIBRARY:FILEPATH=/" "$build/CMakeCache.txt" && echo reference_tone) \
        $(grep -q '^benchmark_DIR:PATH=/' "$build/CMakeCache.txt" && echo rousel_bench_micro)
fi
exec python3 "$here/bench.py" --build-dir "$build" ${pass[@]+"${pass[@]}"}
