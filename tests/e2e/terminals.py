#!/usr/bin/env python3
"""What the real-terminal test (terminals_test.py) stands on: the answers a
terminal gives, a slow line between a terminal and the program, how each
terminal opens around a command and how a test reads its screen.

  terminals.py --probe FILE                   (in a terminal) its answers
  terminals.py --relay DELAY LOG COMMAND...   (in a terminal) COMMAND on a
      pseudo-terminal of its own, the terminal's bytes handed on DELAY seconds
      late, the two directions logged in LOG.out and LOG.in
"""
import fcntl, json, os, pty, re, select, signal, subprocess, sys, termios, time, tty
from pathlib import Path

import scenario
from scenario import Failed, poll  # noqa: F401 (the test's too)

scenario.TIMEOUT = 20  # a terminal is slow to start on a busy host
HERE = Path(__file__).resolve()
ENV = dict(os.environ, XENVIRONMENT="/nonexistent", LANG="C.UTF-8", LIBGL_ALWAYS_SOFTWARE="1")
PUSHES = {b"\x1b[?9001h": "win32-input-mode", b"\x1b[>31u": "kitty flags"}


def ask(queries):
    """The terminal's answers, read up to that to DA1, which every terminal sends and sends last."""
    os.write(1, queries + b"\x1b[c")
    got, deadline = b"", time.monotonic() + 5
    while not re.search(rb"\x1b\[\?[\d;]*c", got) and time.monotonic() < deadline:
        if select.select([0], [], [], 0.1)[0]:
            got += os.read(0, 1024)
    return got


def probe(path):
    """DECRQM of 1036, 1039 and 9001 and the kitty flags."""
    old = termios.tcgetattr(0)
    tty.setraw(0)
    try:
        got = ask(b"\x1b[?1036$p\x1b[?1039$p\x1b[?9001$p\x1b[?u")
    finally:
        termios.tcsetattr(0, termios.TCSAFLUSH, old)
    answers = {m.decode(): v.decode() for m, v in re.findall(rb"\x1b\[\?(\d+);(\d+)\$y", got)}
    kitty = re.search(rb"\x1b\[\?(\d+)u", got)
    answers["kitty"] = kitty[1].decode() if kitty else None
    # Whole or not at all: the test reads it as soon as it exists.
    Path(path + ".new").write_text(json.dumps(answers, sort_keys=True))
    os.replace(path + ".new", path)


def relay(delay, log, command):
    """A slow line between the terminal and the program."""
    pid, master = pty.fork()
    if pid == 0:
        os.execvp(command[0], command)
    size = lambda *_: fcntl.ioctl(master, termios.TIOCSWINSZ, fcntl.ioctl(0, termios.TIOCGWINSZ, bytes(8)))
    size()
    signal.signal(signal.SIGWINCH, size)
    old, due = termios.tcgetattr(0), []
    tty.setraw(0)
    with open(log + ".out", "wb") as out, open(log + ".in", "wb") as into:
        while True:
            wait = max(0.0, due[0][0] - time.monotonic()) if due else None
            ready = select.select([0, master], [], [], wait)[0]
            if 0 in ready:
                data = os.read(0, 4096)
                if not data:
                    break
                due.append((time.monotonic() + delay, data))
                into.write(data), into.flush()
            if master in ready:
                try:
                    data = os.read(master, 4096)
                except OSError:
                    break
                os.write(1, data), out.write(data), out.flush()
            while due and due[0][0] <= time.monotonic():
                os.write(master, due.pop(0)[1])
    termios.tcsetattr(0, termios.TCSAFLUSH, old)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def xterm(work, size, command, *resources):
    resources += (f"XTerm*printFileImmediate: {work}/screen", "XTerm*VT100.translations: #override <Key>F12: "
                  "print-immediate()")
    return ["xterm", "-geometry", "%dx%d" % size, *(a for r in resources for a in ("-xrm", r)), "-e", *command]


# A multiplexer takes the program's requests itself: the xterm it runs in is
# set up as its users set it up, Alt sending ESC, the title the pane's.
def multiplexer(work, size, command):
    (work / "tmux.conf").write_text("set -g status off\nset -g set-titles on\nset -g set-titles-string '#T'\n")
    return xterm(work, size, command, "XTerm*metaSendsEscape: true")


def kitty(work, size, command):
    return ["kitty", "-o", "allow_remote_control=yes", "--listen-on", f"unix:{work}/kitty", "-o",
            f"initial_window_width={size[0]}c", "-o", f"initial_window_height={size[1]}c", *command]


def xterm_screen(work):
    for old in work.glob("screen*"):
        old.unlink()
    xdotool("key", "F12")
    # xterm creates the file, then writes the rows, each ending in a newline.
    return poll("xterm's screen dump", lambda: "".join(p.read_text() for p in work.glob("screen*")).endswith("\n")
                and "".join(p.read_text() for p in work.glob("screen*")))


def kitty_screen(work):
    return subprocess.run(["kitty", "@", "--to", f"unix:{work}/kitty", "get-text"], capture_output=True,
                          text=True, env=ENV).stdout


def xdotool(*args):
    subprocess.run(["xdotool", *map(str, args)], env=ENV, stderr=subprocess.DEVNULL)


def title(work):
    return subprocess.run(["xdotool", "getwindowname", (work / "wid").read_text().strip()], env=ENV,
                          capture_output=True, text=True).stdout.strip()



if __name__ == "__main__":
    if sys.argv[1] == "--probe":
        sys.exit(probe(sys.argv[2]))
    if sys.argv[1] == "--relay":
        sys.exit(relay(float(sys.argv[2]), sys.argv[3], sys.argv[4:]))
