#!/usr/bin/env bash
# Builds the fuzz targets (the fuzz preset: clang, libFuzzer, ASan, UBSan)
# and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS]    seconds per target, 60 by default
# Environment: FUZZ_TARGETS (names, default all), FUZZ_JOBS (build jobs, 2).
#
# Each target starts from its seed corpus (fuzz/corpus/<name>) and a working
# corpus in build/fuzz/corpus/<name> that grows from run to run and stays out
# of the source tree.  A crash leaves its input in build/fuzz/artifacts/;
# replay it with build/fuzz/fuzz/rousel_fuzz_<name> <file>, and once it is
# fixed, copy it into fuzz/corpus/<name>/ so that every build replays it.
# Ends with status 1 when a target failed, after a line per target with its
# executions, its time, and the share of the key decoder's and the key
# protocol negotiation's edges (their coverage points) that its corpus
# reaches, as libFuzzer counts them (-print_coverage) over the corpus after
# the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac
targets=${FUZZ_TARGETS:-key_decoder key_protocols app console_write}

for tool in clang clang++; do
  command -v "$tool" >/dev/null 2>&1 || {
    echo "fuzz: $tool is missing (Debian packages clang and libclang-rt-14-dev)" >&2
    exit 1
  }
done

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${FUZZ_JOBS:-2}"

build=build/fuzz
mkdir -p "$build/artifacts"

# The share of the key code's edges one pass over the corpus reaches:
# "decoder a/b (p %), negotiation c/d (q %)".
edges() {
  local program=$1 name=$2 work=$3 log="$build/coverage-$2.log"
  "$program" -runs=0 -print_coverage=1 -detect_leaks=0 "$work" "fuzz/corpus/$name" >"$log" 2>&1 ||
    true
  awk '
    /^(COVERED|UNCOVERED)_FUNC:/ {
      split($5, e, "/")
      part = ""
      if ($0 ~ /vt\/key_(decoder|tables)\.cpp/) part = "decoder"
      if ($0 ~ /vt\/key_protocols\.cpp/) part = "negotiation"
      if (part != "") { hit[part] += e[1]; all[part] += e[2] }
    }
    END {
      n = split("decoder negotiation", parts, " ")
      for (i = 1; i <= n; i++) {
        p = parts[i]
        line = line (i > 1 ? ", " : "") p " "
        line = line (all[p] ? sprintf("%d/%d (%d %%)", hit[p], all[p], 100 * hit[p] / all[p]) : "-")
      }
      print line
    }' "$log"
}
summary=()
failed=0
for name in $targets; do
  program="$build/fuzz/rousel_fuzz_$name"
  [ -x "$program" ] || { echo "fuzz: no target $name" >&2; exit 2; }
  work="$build/corpus/$name"
  mkdir -p "$work"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
           -artifact_prefix="$build/artifacts/$name-" -print_final_stats=1)
  case "$name" in
    key_decoder) options+=(-dict=fuzz/keys.dict -max_len=512) ;;
    key_protocols) options+=(-dict=fuzz/keys.dict -max_len=1024) ;;
    # The targets over the in-memory console keep its kernel objects (one
    # event per run) until the process ends, by design of the model; leak
    # checking after every run would cost more than the run.
    # libFuzzer grows its inputs slowly by default (a whole alarm cycle
    # needs hundreds of keys, and it reached 127 bytes in four minutes):
    # -len_control=0 lets it try long inputs from the start.
    app) options+=(-dict=fuzz/keys.dict -max_len=2048 -len_control=0 -detect_leaks=0) ;;
    console_write) options+=(-max_len=4096 -detect_leaks=0) ;;
  esac
  log="$build/fuzz-$name.log"
  echo "fuzz: $name for ${seconds}s (log $log)"
  status=0
  "$program" "${options[@]}" "$work" "fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    summary+=("$(printf '%-14s %10s executions in %ss; edges reached: %s' "$name" "${runs:-?}" \
      "${took:-$seconds}" "$(edges "$program" "$name" "$work")")")
  else
    failed=1
    summary+=("$(printf '%-14s FAILED (status %s), see %s' "$name" "$status" "$log")")
    grep -m 5 -E 'ERROR|invariant|SUMMARY|Test unit written' "$log" >&2 || true
  fi
done
printf '%s\n' "${summary[@]}"
exit "$failed"
