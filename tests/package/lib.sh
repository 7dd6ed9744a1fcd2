# shellcheck shell=bash
# Shared by the package tests: failure reporting and a scratch install.
fail=0
problem() {
  echo "FAIL: $*" >&2
  fail=1
}
die() {
  echo "FAIL: $*" >&2
  exit 1
}

# project_version SOURCE_DIR: the version the top-level CMakeLists.txt declares.
project_version() { sed -n 's/^project(rousel VERSION \([0-9.]*\).*/\1/p' "$1/CMakeLists.txt"; }

# install_into BUILD_DIR DESTDIR: cmake --install with prefix /usr, showing
# the log only when it fails.
install_into() {
  DESTDIR="$2" cmake --install "$1" --prefix /usr >"$2.log" 2>&1 || {
    cat "$2.log" >&2
    die "cmake --install failed"
  }
}

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
