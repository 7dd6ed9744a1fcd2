# shellcheck shell=bash
# Shared by the package tests: failure reporting, the tools a test needs,
# the version, the built package.
fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}
die() {
  echo "FAIL: $*" >&2
  exit 1
}

# need TOOL:DEBIAN_PACKAGE...: skips the calling test (77) without one of them.
need() {
  local tool
  for tool in "$@"; do
    command -v "${tool%%:*}" >/dev/null 2>&1 || { echo "SKIP: ${tool%%:*} is missing (Debian: ${tool#*:})"; exit 77; }
  done
}

# project_version SOURCE_DIR: the version the top-level CMakeLists.txt declares.
project_version() { sed -n 's/^project(rousel VERSION \([0-9.]*\).*/\1/p' "$1/CMakeLists.txt"; }

# built_deb WORK_DIR: the .deb that deb_build_test.sh left there; skips the
# calling test (77) when there is none.
built_deb() {
  local debs=("$1"/build/rousel_*.deb)
  [ -f "${debs[0]}" ] || {
    echo "SKIP: no package built in $1/build (see the test package_deb_build)" >&2
    exit 77
  }
  echo "${debs[0]}"
}
