#!/usr/bin/env bash
# ThreadSanitizer over the program's threads: the application's thread, the
# console's cursor thread, the terminal stand-in's signal thread, the sound
# writer and the inhibitor's worker.  Builds the tsan preset (clang, -fsanitize=thread), runs the
# unit tests, the terminal stand-in's tests and the fuzz seeds, then a few
# end-to-end scenarios with the instrumented program in tmux.
#   scripts/tsan.sh
# Environment: TSAN_JOBS (build and test jobs, 2).
# A race makes a test fail: the test executables end with status 66 after a
# report, and the program's report lands on its screen, which the
# scenarios' checks of the terminal output and exit status catch.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${TSAN_JOBS:-2}
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"

# The same options as the test preset, for the scenarios' panes too: the
# cursor and signal threads live until the process ends, by design, and the
# suppressions name a gap of the toolchain (see scripts/tsan.supp).
export TSAN_OPTIONS="report_thread_leaks=0 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}"

ctest --preset tsan -j "$jobs"

# Scenarios where every thread has work: waiting and ringing with the tone,
# resizes, Ctrl+Z and fg, a terminal that stops taking output, SIGHUP and
# SIGTERM, the terminal going away, leaving while the terminal takes no output, the inhibitor's worker taking
# and letting go of its lock on every way out.
scenarios='road_of_one_alarm|suspend|killed_pane|stay_awake'
ctest --test-dir build/tsan -L e2e -R "^e2e_($scenarios)\$" -j "$jobs" --output-on-failure \
  --no-tests=error
