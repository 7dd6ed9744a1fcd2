#!/usr/bin/env python3
# The program in a stock xterm on a virtual X server (Xvfb), keys sent with
# xdotool as a user presses them: Alt+X leaves with the banner, whatever
# xterm's meta default is; a 40x12 window shows the top-left part of the
# waiting screen, clipped rather than wrapped.  xterm's resources stay as
# shipped; the only one given is the test's eyes: F12 dumps the window's text.
#   xterm_test.py PROGRAM      (exit 77: skipped, the X tools are missing;
#                               an Xvfb that is there but does not start fails)
import os, shutil, subprocess, sys, tempfile
from pathlib import Path

from scenario import Failed, poll

program, work = os.path.abspath(sys.argv[1]), Path(tempfile.mkdtemp(prefix="rousel-xterm."))
missing = [tool for tool in ("Xvfb", "xterm", "xdotool") if not shutil.which(tool)]
if missing:
    sys.exit(print(f"SKIP: no {', '.join(missing)} (Debian packages xvfb, xterm, xdotool)") or 77)
read, write = os.pipe()
xvfb_log = open(work / "xvfb.log", "wb")
children = [subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten",
                              "tcp"], pass_fds=[write], stderr=xvfb_log)]
os.close(write)
display = os.read(read, 16).decode().strip()
env = dict(os.environ, DISPLAY=f":{display}", HOME=str(work), XENVIRONMENT="/nonexistent", LANG="C.UTF-8")


def xdotool(*args):
    subprocess.run(["xdotool", *args], env=env, stderr=subprocess.DEVNULL)


def start(name, geometry):
    children.append(subprocess.Popen(
        ["xterm", "-geometry", geometry, "-xrm", f"XTerm*printFileImmediate: {work}/{name}.screen", "-xrm",
         "XTerm*VT100.translations: #override <Key>F12: print-immediate()", "-e", "sh", "-c",
         'echo "$WINDOWID" >"$1.wid"; "$2"; echo $? >"$1.rc"; exec sleep 600', "sh", work / name, program],
        env=env, stderr=subprocess.DEVNULL))
    poll(f"xterm {name} to start", (work / f"{name}.wid").exists)
    # No window manager: the window under the pointer has the keyboard.
    xdotool("mousemove", "--window", (work / f"{name}.wid").read_text().strip(), "5", "5")


def dump(name):
    return "".join(path.read_text() for path in work.glob(f"{name}.screen*"))


def rows(name):
    for old in work.glob(f"{name}.screen*"):
        old.unlink()
    xdotool("key", "F12")
    # xterm creates the file, then writes the rows, each ending in a newline.
    poll("xterm's screen dump", lambda: dump(name).endswith("\n"))
    return [row.rstrip() for row in dump(name).splitlines()]


def leaves(name):
    xdotool("key", "alt+x")
    poll("the program to leave", lambda: (work / f"{name}.rc").exists() and (work / f"{name}.rc").read_text())
    if (work / f"{name}.rc").read_text().strip() != "0":
        raise Failed(f"exit status {(work / f'{name}.rc').read_text().strip()} after Alt+X")


try:
    if not display:  # Xvfb closed the descriptor unwritten: it ended
        raise Failed("Xvfb is installed but did not start: " + " | ".join(
            (work / "xvfb.log").read_text(errors="replace").strip().splitlines()[-5:]))
    start("altx", "80x25")
    poll("the time entry", lambda: "Enter alarm time or press ALT-X" in "\n".join(rows("altx")))
    leaves("altx")
    poll("the banner", lambda: "quote: cool, eh? ;)" in "\n".join(rows("altx")))
    start("small", "40x12")
    poll("the time entry", lambda: "Enter alarm time or press ALT-X to" in "\n".join(rows("small")))
    xdotool("type", "--delay", "50", "0700")
    xdotool("key", "Return", "Return")
    poll("the clipped waiting screen", lambda: rows("small")[:1] == ["Alarm time.........................[07:0"])
    if rows("small")[4] != "Sleep time.........................[0.5s" or len(rows("small")) > 13:
        raise Failed("the 40x12 window: " + " | ".join(rows("small")))
    leaves("small")
    print("passed: Alt+X leaves a stock xterm with the banner; a 40x12 one shows the top-left corner")
except Failed as why:
    sys.exit(print(f"FAIL: {why}") or 1)
finally:
    for child in children:
        child.kill()
    shutil.rmtree(work, ignore_errors=True)
