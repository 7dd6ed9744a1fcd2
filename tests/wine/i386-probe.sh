# shellcheck shell=bash
# What this machine can run of Wine, sourced by scripts/windows-tests.sh.
#
# A 64-bit kernel may be built or booted without its 32-bit emulation (and
# some virtual machines are): it then refuses every 32-bit x86 program with
# ENOEXEC, Wine's 32-bit loader included.  Debian's "wine" starts that loader
# whenever wine32:i386 is installed, for 64-bit programs too, so on such a
# kernel the 64-bit programs must be started through the 64-bit loader.

# write_i386_probe FILE: the smallest static 32-bit x86 Linux program, made
# without a compiler: an ELF header, one loadable segment and three
# instructions (mov eax, 1; mov ebx, 42; int 0x80), that is exit(42).  It
# needs no library, so only the kernel decides whether it runs.
write_i386_probe() {
  local elf='\177ELF\1\1\1\0\0\0\0\0\0\0\0\0'                  # 32-bit, little-endian
  elf+='\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0' # executable, i386, entry, offsets
  elf+='\64\0\40\0\1\0\0\0\0\0\0\0'                               # the sizes; one program header
  elf+='\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0' # the file, loaded
  elf+='\270\1\0\0\0\273\52\0\0\0\315\200'                        # the code
  # shellcheck disable=SC2059 # the bytes are the format's escapes
  printf "$elf" >"$1" && chmod +x "$1"
}

# probe_i386 DIR [RUNNER...]: whether 32-bit x86 programs run here.  The probe
# is written into DIR (which must allow programs to run) and started, through
# RUNNER where one is given (a test's stand-in for the kernel).  Returns 0 when
# it ran, 1 when the kernel refused it (ENOEXEC: "Exec format error"), 2 when
# something else went wrong; i386_why then says what.
# shellcheck disable=SC2034 # i386_why is the caller's to read
probe_i386() {
  local dir=$1 status
  shift
  i386_why=""
  write_i386_probe "$dir/i386-probe" || { i386_why="could not write the 32-bit probe into $dir"; return 2; }
  "$@" "$dir/i386-probe" >"$dir/i386-probe.out" 2>&1
  status=$?
  if [ "$status" -eq 42 ]; then
    return 0
  elif [ "$status" -eq 126 ] && grep -q 'Exec format error' "$dir/i386-probe.out"; then
    i386_why="this kernel does not run 32-bit x86 programs (Exec format error)"
    return 1
  fi
  i386_why="a 32-bit x86 program ended with status $status, not 42: $(tr '\n' ' ' <"$dir/i386-probe.out")"
  return 2
}

# wine64_loader: the path of Wine's 64-bit loader, or nothing.
wine64_loader() {
  local loader
  for loader in /usr/lib/wine/wine64 /usr/lib/x86_64-linux-gnu/wine/wine64 "$(command -v wine64)"; do
    [ -n "$loader" ] && [ -x "$loader" ] && { echo "$loader"; return 0; }
  done
  return 1
}
