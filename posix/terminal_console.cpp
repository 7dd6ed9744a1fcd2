// The Win32 console functions on a POSIX terminal.
