#!/usr/bin/env python3
"""The program in real terminals on a virtual X server (Xvfb), keys pressed
as a user presses them (xdotool): in each the same short road (keypad
digits and keypad Enter for an alarm time, Esc for no password, Esc to give
the alarm up, Alt+X to leave), the key protocol the terminal offers engaged,
and afterwards the terminal's modes as they were (DECRQM 1036, 1039 and
9001, the kitty keyboard flags, the title where the terminal keeps one).

  terminals_test.py PROGRAM   exit 77 only when no terminal can run; each
                              one that cannot is skipped in one line

The program runs behind the relay in every terminal (without delay but in
one row), so the test sees both directions: its phases in the titles it
sends, the protocol it pushed, the keys the terminal sent; its screen where
the terminal lets a test read it (xterm's print-immediate, kitty's remote
control).
"""
import json, os, re, shlex, shutil, signal, subprocess, sys, tempfile, time
from pathlib import Path

from terminals import (ENV, PUSHES, Failed, kitty, kitty_screen, multiplexer, poll, title, xdotool, xterm,
                       xterm_screen)

HERE = Path(__file__).resolve().parent / "terminals.py"

# name: (Debian package, how it opens around a command, the key protocol the
# program should engage, whether the terminal keeps the title the program
# found (XTWINOPS 22/23; None: not seen from outside), how to read its
# screen, options).
TERMINALS = {
    "xterm": ("xterm", xterm, None, True, xterm_screen, {}),
    "xterm 40x12": ("xterm", xterm, None, True, xterm_screen, {"size": (40, 12)}),
    "kitty": ("kitty", kitty, "kitty flags", True, kitty_screen, {}),
    "kitty answering 1 s late": ("kitty", kitty, "kitty flags", True, kitty_screen, {"delay": 1}),
    "rxvt-unicode": ("rxvt-unicode", lambda w, s, c: ["urxvt", "-geometry", "%dx%d" % s, "-e", *c], None, False,
                     None, {}),
    "VTE (sakura)": ("sakura", lambda w, s, c: ["sakura", "-c", str(s[0]), "-r", str(s[1]), "-x",
                                                 " ".join(map(shlex.quote, c))], None, True, None, {}),
    "tmux": ("tmux", lambda w, s, c: multiplexer(w, s, ["tmux", "-S", f"{w}/tmux", "-f", f"{w}/tmux.conf", "new",
                                                         *c]), None, True, xterm_screen, {}),
    # Run by an ordinary account (not by root), GNU screen passes nothing on
    # for keypad Enter (the relay sees no byte), so its road takes Return.
    "GNU screen": ("screen", lambda w, s, c: multiplexer(w, s, ["screen", "-c", "/dev/null", *c]), None, None,
                   xterm_screen, {"enter": "Return"}),
}


def run(name, row, program, work):
    """The road in one terminal: what it found, or why it cannot start."""
    package, opens, protocol, keeps_title, screen, options = row
    size, delay = options.get("size", (80, 25)), options.get("delay", 0)
    me = f"{sys.executable} {HERE}"
    line = (f'echo $$ >{work}/pid; echo "$WINDOWID" >{work}/wid; {me} --probe {work}/before; '
            f'printf "\\033]2;rousel-test\\007"; {me} --relay {delay} {work}/log {program}; echo $? >{work}/rc; '
            f'{me} --probe {work}/after; exec sleep 600')
    with open(work / "stderr", "wb") as errors:
        child = subprocess.Popen(opens(work, size, ["sh", "-c", line]), env=ENV, stdout=errors, stderr=errors)
    try:
        poll(f"{name} to start", lambda: (work / "before").exists() or child.poll() is not None, 40)
        if child.poll() is not None:  # it ended: it cannot run here
            return "cannot start: " + " | ".join((work / "stderr").read_text(errors="replace").split("\n")[-3:])
        # No window manager: the window under the pointer has the keyboard.
        xdotool("mousemove", "--window", (work / "wid").read_text().strip(), 5, 5)
        titles = lambda: re.findall(rb"\x1b\]2;Rousel - ([^\x07]*)\x07", (work / "log.out").read_bytes())
        if protocol:
            # Keys typed before the answer (a second late in one row) come in
            # the legacy encoding; the road starts once the protocol is in force.
            push = next(b for b, p in PUSHES.items() if p == protocol)
            poll(f"{protocol} to be put in force", lambda: (work / "log.out").exists() and
                 push in (work / "log.out").read_bytes())
        road = [b"time input"]
        alarm = time.strftime("%H%M", time.localtime(time.time() + 7200))
        for keys, phase in ([[f"KP_{d}" for d in alarm] + [options.get("enter", "KP_Enter")], b"password input"],
                            [["Escape"], b"waiting..."], [["Escape"], b"time input"], [["alt+x"], b"exiting..."]):
            poll(f"the title {road[-1].decode()}", lambda: (work / "log.out").exists() and titles() == road)
            if size == (40, 12):
                # The title goes out before the screen's rows: read it again until they are there.
                seen = []
                try:
                    poll(f"the {road[-1].decode()} screen in 40x12",
                         lambda: small_window(seen.append(screen(work)) or seen[-1], road[-1]), 10)
                except Failed as why:
                    raise Failed(f"{why}: " + " | ".join(seen[-1].split("\n"))) from None
            xdotool("key", "--delay", 60, *keys)
            road.append(phase)
        poll("the program to end", lambda: (work / "after").exists())
        rc = (work / "rc").read_text().strip()
        before, after = (json.loads((work / f).read_text()) for f in ("before", "after"))
        if titles() != road or rc != "0":
            raise Failed(f"titles {titles()}, exit status {rc}")
        if before != after:
            raise Failed(f"modes before {before}, after {after}")
        kept = keeps_title is not None and poll("the title", lambda: title(work)) == "rousel-test"
        if keeps_title is not None and kept != keeps_title:
            raise Failed(f"the title {'not ' * keeps_title}given back: {title(work)!r}")
        if screen:
            poll("the banner", lambda: "quote: cool, eh? ;)" in screen(work))
        out, into = (work / "log.out").read_bytes(), (work / "log.in").read_bytes()
        engaged = next((p for b, p in PUSHES.items() if b in out), "none")
        # Keypad digits in the kitty protocol: CSI 57399 (0) to 57408 (9).
        keypad = re.search(rb"\x1b\[57(399|40\d);", into)
        if engaged != (protocol or "none") or (protocol == "kitty flags" and not keypad):
            raise Failed(f"protocol engaged: {engaged}, not {protocol}")
        return f"engaged {engaged}; answers {before}; title kept {kept}"
    finally:
        # The shell in the terminal, the relay with it (the program goes
        # when its line does), and so the panes of tmux and screen.
        try:
            os.killpg(int((work / "pid").read_text()), signal.SIGKILL)
        except (OSError, ValueError):
            pass
        child.kill()
        child.wait()


def small_window(text, phase):
    """Whether a 40x12 window shows the time field and the waiting screen's values."""
    if phase == b"time input":
        return text.split("\n")[0].rstrip().endswith("exit: [")
    return phase != b"waiting..." or re.search(r"\[\d\d:\d\d:\d\d\]", text) is not None


def main(program):
    if not shutil.which("Xvfb") or not shutil.which("xdotool"):
        print("SKIP: no Xvfb or xdotool (Debian packages xvfb, xdotool)")
        return 77
    work = Path(tempfile.mkdtemp(prefix="rousel-terminals."))
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=[write], stderr=subprocess.DEVNULL)
    os.close(write)
    ENV.update(DISPLAY=":" + os.read(read, 16).decode().strip(), HOME=str(work))
    ran, failed = 0, 0
    try:
        for name, row in TERMINALS.items():
            binary = row[1](work, (80, 25), [])[0]
            if not shutil.which(binary):
                print(f"SKIP: {name}: no {binary} (apt-get install {row[0]})")
                continue
            (work / re.sub(r"\W", "_", name)).mkdir()
            try:
                found = run(name, row, program, work / re.sub(r"\W", "_", name))
            except Failed as why:
                print(f"FAIL {name}: {why}")
                failed += 1
                continue
            if found.startswith("cannot start"):
                print(f"SKIP: {name}: {found}")
                continue
            ran += 1
            print(f"ok   {name}: {found}")
    finally:
        xvfb.kill()
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0 if ran else 77


if __name__ == "__main__":
    sys.exit(main(os.path.abspath(sys.argv[1])))
