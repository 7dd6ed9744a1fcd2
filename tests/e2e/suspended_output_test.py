#!/usr/bin/env python3
"""A terminal that stops reading must not cost the user the alarm.

The test is the terminal: it owns the pseudo-terminal, sets the alarm for
07:30 on a clock faked to start at 07:29:52, then suspends the terminal's
output (tcflow TCOOFF, as Scroll Lock or XOFF do) before the alarm minute.
The tone must still start at 07:30 (the ALSA test sink records it into a
file that grows), and SIGTERM must end the program within a second while
output is still suspended.  Once output resumes the user's terminal mode is
back.  tmux cannot play this part: it always reads.

    suspended_output_test.py PATH/TO/rousel ALSA_CONF
Exit 77 (skipped) without faketime.
"""
import glob
import os
import pty
import signal
import sys
import tempfile
import termios
import threading
import time


def main():
    program, alsa_conf = sys.argv[1], sys.argv[2]
    # libfaketime itself, not the faketime command: that one forks, and the
    # signal must reach the program.
    libs = glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + glob.glob(
        "/usr/lib/faketime/libfaketime.so.1")
    if not libs:
        print("skipped: libfaketime is not installed (Debian package faketime)")
        return 77
    master, slave = pty.openpty()
    user_mode = termios.tcgetattr(slave)
    capture = tempfile.NamedTemporaryFile(prefix="rousel-tone-", delete=False).name
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "TERM": "xterm",
        "LANG": "C.UTF-8",
        "ALSA_CONFIG_PATH": alsa_conf,
        "ROUSEL_TONE_CAPTURE": capture,
        "LD_PRELOAD": libs[0],
        "FAKETIME": "@2026-01-05 07:29:52",
        "FAKETIME_DONT_FAKE_MONOTONIC": "1",
        # The sanitizer runtime must otherwise be the first library loaded.
        "ASAN_OPTIONS": "verify_asan_link_order=0",
    }
    pid = os.fork()
    if pid == 0:
        os.setsid()
        os.login_tty(slave)
        os.execve(program, [program], env)
    screen = bytearray()
    done = threading.Event()

    def read():
        while not done.is_set():
            try:
                data = os.read(master, 4096)
            except OSError:
                return
            if not data:
                return
            screen.extend(data)

    threading.Thread(target=read, daemon=True).start()

    def wait_for(text, seconds=10):
        limit = time.monotonic() + seconds
        while time.monotonic() < limit:
            if text in screen:
                return True
            time.sleep(0.05)
        return False

    failures = []
    try:
        if not wait_for(b"Enter alarm time"):
            failures.append("no time entry")
            return 1
        os.write(master, b"0730\r")
        time.sleep(0.3)
        os.write(master, b"\r")
        if not wait_for(b"Remaining time"):
            failures.append("no waiting screen")
            return 1
        termios.tcflow(slave, termios.TCOOFF)
        suspended_at = time.monotonic()
        # 07:30 comes about eight seconds after the start; the tone follows
        # in the next pass (the sleep time is 0.5 s).
        grew = False
        while time.monotonic() - suspended_at < 15:
            if os.path.getsize(capture) > 48000:  # half a second of samples
                grew = True
                break
            time.sleep(0.2)
        if not grew:
            failures.append("no tone at the alarm minute while output was suspended")
        sent = time.monotonic()
        os.kill(pid, signal.SIGTERM)
        ended = None
        while time.monotonic() - sent < 5:
            got, status = os.waitpid(pid, os.WNOHANG)
            if got == pid:
                ended = time.monotonic() - sent
                pid_status = status
                break
            time.sleep(0.01)
        if ended is None:
            failures.append("SIGTERM did not end the program while output was suspended")
        else:
            print(f"SIGTERM to exit with output suspended: {ended * 1000:.0f} ms")
            if ended > 1.0:
                failures.append(f"SIGTERM took {ended:.2f} s")
            if not os.WIFSIGNALED(pid_status) or os.WTERMSIG(pid_status) != signal.SIGTERM:
                failures.append(f"ended with status {pid_status}, not by SIGTERM")
        termios.tcflow(slave, termios.TCOON)
        time.sleep(0.5)
        if termios.tcgetattr(slave) != user_mode:
            failures.append("the terminal's mode was not given back")
        return 1 if failures else 0
    finally:
        done.set()
        try:
            termios.tcflow(slave, termios.TCOON)
        except termios.error:
            pass
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
        os.unlink(capture)
        for failure in failures:
            print("FAIL:", failure)


if __name__ == "__main__":
    sys.exit(main())
