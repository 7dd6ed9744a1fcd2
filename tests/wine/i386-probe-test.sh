#!/usr/bin/env bash
# The 32-bit probe must tell a kernel that runs 32-bit x86 programs from one
# that refuses them, and either from a probe that fails some other way: each
# row gives it a stand-in for the kernel.  Where qemu-i386 is installed it
# runs the probe for real, which checks the program itself.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/wine/i386-probe.sh
. "$here/i386-probe.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The kernels, as the shell reports their answer to execve.
cat >"$work/running" <<'KERNEL'
#!/bin/sh
# What a kernel that runs it would find: an ELF of class 32, machine 386.
[ "$(od -An -tx1 -N20 "$1" | tr -d ' \n')" = 7f454c4601010100000000000000000002000300 ] || exit 126
exit 42
KERNEL
printf '#!/bin/sh\necho "$1: cannot execute binary file: Exec format error" >&2\nexit 126\n' >"$work/refusing"
printf '#!/bin/sh\nexit 139\n' >"$work/crashing"
printf '#!/bin/sh\necho "$1: Permission denied" >&2\nexit 126\n' >"$work/noexec"
chmod +x "$work/refusing" "$work/running" "$work/crashing" "$work/noexec"

# kernel | expected status | expected reason (glob)
rows=("$work/running|0|"
      "$work/refusing|1|this kernel does not run 32-bit x86 programs (Exec format error)"
      "$work/crashing|2|a 32-bit x86 program ended with status 139*"
      "$work/noexec|2|*status 126*Permission denied*")
command -v qemu-i386 >/dev/null 2>&1 && rows+=("qemu-i386|0|")
failed=0
for row in "${rows[@]}"; do
  IFS='|' read -r kernel want_status want_why <<<"$row"
  probe_i386 "$work" "$kernel"
  status=$?
  # shellcheck disable=SC2053 # the reason is a glob
  [[ $status = "$want_status" && $i386_why == $want_why ]] ||
    { failed=1; echo "FAIL: $row: status $status, reason \"$i386_why\""; }
done

# This machine's own answer is one of the two a kernel gives.
probe_i386 "$work"
status=$?
[ "$status" -le 1 ] || { failed=1; echo "FAIL: this machine: $i386_why"; }
[ "$failed" = 0 ] && echo "i386 probe: ${#rows[@]} kernels as expected; here: ${i386_why:-32-bit programs run}"
exit "$failed"
