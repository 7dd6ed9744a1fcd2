#!/usr/bin/env python3
"""Runs one scenario against the program in a tmux pane (a real terminal).

  scenario.py [--wine] PROGRAM SCENARIO

Exit status 0 passed, 1 failed, 77 skipped (tmux, libtmux or a tool a step
needs is missing).  --wine: PROGRAM runs rousel.exe under Wine, whose
terminal console differs from the POSIX stand-in in the ways noted below.

A scenario is a list of steps, one a line ("#" starts a comment), each a
method of Run of its name:
  start [NAME=VALUE|!NAME]...  run the program from the pane's shell (!NAME:
                           without NAME in its environment)
  start-at HH:MM:SS [...]  ... with its wall clock at that time of 2026-01-05
  start-wrapped            ... as the child of a script of the user's
  keys KEY...              tmux key names: 0 Enter Escape BSpace M-x C-z ...
  type TEXT                the rest of the line, literally
  type-alarm-at MINUTES    the local time MINUTES from now as four digits
  pause MS                 only to space keys apart
  expect TEXT              the screen shows TEXT somewhere
  expect-once TEXT         ... exactly once
  expect-gone TEXT         ... and then no longer shows it
  expect-row N TEXT        row N reads TEXT, the parts in {} white, every
                           other visible character grey; a last * ends a prefix
  expect-title TEXT        the window title
  exit CODE                the program ended with that status
  terminal-restored        the user's terminal mode, cursor shown, normal screen
  expect-normal-screen     normal screen and cursor shown (the program may live)
  expect-process STATE     running, stopped or gone
  expect-cpu-below PCT S   under PCT % of a CPU over S seconds
  signal NAME              send the program SIGNAME
  kill-pane MS             the terminal goes away; the program ends within MS
  resize COLUMNS ROWS      the terminal changes its size
  resume-in-foreground     fg at the shell after a stop
  suspend-output           the terminal stops taking output (XOFF, Scroll Lock)
  resume-output            ... and takes it again
  record-output            keep every byte the pane receives from now on
  expect-clean-output [ascii]  no raw control byte (nor, ascii, one above
                           127) between taking and handing back the terminal,
                           and every hand-back the whole restore sequence
  capture-tone [stuck]     later starts play into a file of samples (stuck: a
                           FIFO nobody reads, whose open blocks for good, as a
                           hung sound server's does)
  expect-tone HZ MS        the captured tones have that pitch and length
  expect-tone-growing MS   the tone sounds within MS
  expect-tone-still MS     the tone stays silent for MS
  within MS STEP...        a step that waits, given MS at most
  bus MODE                 later starts find a private system bus: logind
                           (logind's mock), refusing (its Inhibit an error),
                           silent (stopped: it never answers) or none
  bus-answer               the silent bus goes on
  expect-inhibitor WHY     one sleep inhibitor is held, by Rousel, for WHY
  expect-no-inhibitor      none is held
  expect-inhibit-requests N  the mock was asked for N inhibitors so far
"""
import calendar, ctypes, glob, os, re, shlex, shutil, signal, subprocess, sys, tempfile, termios, time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TIMEOUT = float(os.environ.get("E2E_TIMEOUT", "15"))
# Where the program takes the terminal and gives it back: autowrap off, the
# user's meta setting restored; the alternate screen (1049) comes between on
# every terminal but the Linux console.
ENTER, LEAVE = b"\x1b[?7l", b"\x1b[?1036;1039r"
RESTORE = (b"\x1b[0m\x1b[?25h\x1b[?7h", re.compile(rb"(\x1b\[\?1049l)?\x1b\[23;0t"))
GREY, WHITE = {"37", "39"}, {"97"}  # Wine shows attribute 7 as the default colour


class Failed(Exception):
    pass


class Skipped(Exception):
    pass


def poll(what, check, timeout=None):
    """Waits until check() is true, and gives what it gave; nothing sleeps a fixed time hoping."""
    deadline = time.monotonic() + (TIMEOUT if timeout is None else timeout)
    while not (result := check()):
        if time.monotonic() > deadline:
            raise Failed(f"waited {TIMEOUT if timeout is None else timeout:g}s for {what}")
        time.sleep(0.05)
    return result


def faketime_lib():
    libs = glob.glob("/usr/lib/*/faketime/libfaketime.so.1") + glob.glob("/usr/lib/faketime/libfaketime.so.1")
    if not libs:
        raise Skipped("libfaketime is not installed (Debian package faketime)")
    return libs[0]


def coloured(line):
    """A row of tmux's screen with its escapes as (text, foreground SGR of each character)."""
    text, colours, fg = "", [], "39"
    for m in re.finditer(r"\x1b\[([0-9;:]*)m|([^\x1b])", line):
        if m[2] is not None:
            text, colours = text + m[2], colours + [fg]
            continue
        for p in (m[1] or "0").split(";"):
            fg = "39" if p in ("0", "") else p if re.fullmatch(r"3[0-79]|9[0-7]", p) else fg
    cut = len(text.rstrip())
    return text[:cut], colours[:cut]


def pattern_matches(text, colours, pattern):
    """Whether a row (text, colour of each character) reads as expect-row's TEXT."""
    prefix = pattern.endswith("*")  # the rest of the row may vary
    pattern, want, white, colours_wanted = pattern.rstrip("*"), "", False, []
    for c in pattern:
        if c in "{}":
            white = c == "{"
        else:
            want, colours_wanted = want + c, colours_wanted + [WHITE if white else GREY]
    text = text[:len(want)] if prefix else text
    return text == want and all(c == " " or seen in ok for c, seen, ok in zip(text, colours, colours_wanted))


def as_pattern(text, colours):
    """A row written as expect-row's TEXT, for a failure's message."""
    seen, white = "", False
    for c, colour in zip(text, colours):
        if c != " " and (colour in WHITE) != white:
            seen, white = seen + ("}" if white else "{"), not white
        seen += c if colour in WHITE | GREY or c == " " else f"<{c}:{colour}>"
    return seen + ("}" if white else "")


def process_state(pid):
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return "gone"
    return {"Z": "gone", "T": "stopped", "t": "stopped"}.get(state, "running")


def cpu_ticks(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def clean_output(data, ascii_only):
    """What is wrong with the bytes the program sent the terminal."""
    problems, spans, at = [], 0, 0
    token = re.compile(rb"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x00-\x1f\x7f]*\x07|[\r\x07\x20-\x7e]"
                       + (b"" if ascii_only else
                          rb"|[\xc2-\xdf][\x80-\xbf]|[\xe0-\xef][\x80-\xbf]{2}|[\xf0-\xf4][\x80-\xbf]{3}"))
    while (start := data.find(ENTER, at)) >= 0:
        spans, end = spans + 1, data.find(LEAVE, start)
        if end < 0:
            return problems + ["the program never handed the terminal back"]
        if not (data[:end].endswith(RESTORE[0]) and RESTORE[1].match(data, end + len(LEAVE))):
            problems.append("incomplete restore sequence: %r" % data[max(0, end - 24):end + 16])
        i, at = start, end + len(LEAVE)
        while i < end:
            m = token.match(data, i)
            if not m or (len(m[0]) == 2 and m[0][0] == 0xC2 and m[0][1] < 0xA0):  # C1 controls
                problems.append("stray byte %d at %d: %r" % (data[i], i, data[max(0, i - 12):i + 12]))
                break
            if ascii_only and m[0][:2] == b"\x1b]" and max(m[0]) > 0x7F:
                problems.append("non-ASCII title: %r" % m[0])
            i = m.end()
    return problems if spans else ["the program never took the terminal over"]


def tones(samples, rate=48000):
    """The runs of sound between 5 ms stretches of silence."""
    found, start, quiet, end = [], None, 0, 0
    for i, value in enumerate(samples):
        if value:
            start, quiet, end = i if start is None else start, 0, i
        elif start is not None:
            quiet += 1
            if quiet >= rate // 200:
                found, start = found + [samples[start:end + 1]], None
    return found + ([samples[start:end + 1]] if start is not None else [])


def tone_problems(path, hz, ms, rate=48000):
    import array
    samples = array.array("h", Path(path).read_bytes()[: os.path.getsize(path) // 2 * 2])
    found = tones(samples)
    if len(found) < 2:
        return [f"{len(found)} tones, not a ringing rhythm"]
    bad = []
    for n, tone in enumerate(found):
        length = len(tone) * 1000 / rate
        pitch = sum(a < 0 <= b for a, b in zip(tone, tone[1:])) * rate / len(tone)
        # The last tone may be cut short when the alarm was stopped.
        if (n < len(found) - 1 or length >= ms) and (abs(length - ms) > 3 or abs(pitch - hz) > hz / 100):
            bad.append(f"tone {n}: {length:.1f} ms at {pitch:.1f} Hz")
    return bad


class Steps:
    """The steps that read the screen and the exit status, on any console:
    rows(fresh) gives its rows as (text, colour of each character) and may
    answer a first check since the last key from what it read last;
    file(name) a note of the program's run."""

    def play(self, path, deadline=float("inf")):
        """Runs a scenario's steps; a failure names its step."""
        for step in Path(path).read_text().splitlines():
            try:
                if time.monotonic() > deadline:
                    raise Failed("the run took too long")
                if step.strip() and not step.startswith("#"):
                    self.play_line(step)
            except Failed as why:
                raise Failed(f"at step: {step}\n{why}") from None

    def play_line(self, step):
        verb, _, rest = step.partition(" ")
        method = getattr(self, verb.replace("-", "_"), None)
        if method is None:
            raise Failed("unknown step")
        method(rest)

    def text(self):
        return "\n".join(text for text, _ in self.rows())

    def pause(self, rest):
        time.sleep(int(rest) / 1000)

    def expect(self, rest):
        poll(f'"{rest}" on the screen', lambda: rest in self.text())

    def expect_once(self, rest):
        poll(f'"{rest}" once on the screen', lambda: self.text().count(rest) == 1)

    def expect_gone(self, rest):
        poll(f'"{rest}" gone from the screen', lambda: rest not in self.text())

    def expect_row(self, rest):
        n, _, pattern = rest.partition(" ")
        reads = iter([False])
        row = lambda: (self.rows(next(reads, True)) + [("", [])] * int(n))[int(n) - 1]  # noqa: E731
        try:
            poll(f'row {n} to read "{pattern}"', lambda: pattern_matches(*row(), pattern))
        except Failed as failed:
            raise Failed(f'{failed}; it reads "{as_pattern(*row())}"') from None

    def exit(self, rest):
        poll("the program to end", lambda: self.file("rc"))
        if self.file("rc") != rest:
            raise Failed(f"exit status {self.file('rc')}, expected {rest}")

    def within(self, rest):
        global TIMEOUT
        ms, _, step = rest.partition(" ")
        saved, TIMEOUT = TIMEOUT, int(ms) / 1000
        try:
            self.play_line(step)
        finally:
            TIMEOUT = saved


class Run(Steps):
    def __init__(self, program, wine):
        if not shutil.which("tmux"):
            raise Skipped("tmux is not installed (Debian package tmux)")
        try:
            import libtmux  # noqa: PLC0415
        except ImportError:
            # Debian's package serves Debian's python3, which may not be first on PATH.
            if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
                os.execv("/usr/bin/python3", ["/usr/bin/python3", __file__, *sys.argv[1:]])
            raise Skipped("libtmux is not installed (Debian package python3-libtmux)") from None
        self.program, self.wine = program, wine
        self.dir = Path(tempfile.mkdtemp(prefix="rousel-e2e."))
        self.env, self.tone, self.alsa, self.stream = {}, None, False, None
        self.bus_daemon = None
        self.server = libtmux.Server(socket_name=f"rousel-e2e-{os.getpid()}", config_file="/dev/null")
        env = {"PATH": os.environ["PATH"], "HOME": "/nonexistent", "HISTFILE": "/dev/null",
               "LANG": "C.UTF-8", "TERM": "screen", "PS1": "$ "}
        env.update({k: v for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")})
        command = "env -i " + " ".join(shlex.quote(f"{k}={v}") for k, v in env.items())
        session = self.server.new_session("e2e", window_command=command + " bash --norc --noprofile",
                                          x=80, y=25)
        self.server.cmd("set-option", "-g", "status", "off")
        self.pane = session.attached_window.attached_pane
        self.tty = self.pane.display_message("#{pane_tty}", get_text=True)[0]
        poll("the shell's prompt", lambda: "$" in self.text())

    def close(self):
        self.stop_bus()
        self.server.kill_server()
        if (self.dir / "pid").exists():
            try:
                os.kill(self.pid(), signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def rows(self, fresh=True):
        return [coloured(line) for line in self.pane.cmd("capture-pane", "-p", "-e").stdout]

    def file(self, name):
        return (self.dir / name).read_text().strip() if (self.dir / name).exists() else ""

    def pid(self):
        return int(self.file("pid"))

    def shell(self, line):
        self.pane.send_keys(line, enter=True, literal=True)

    def record_status(self):
        # The shell goes on with the line when the program stops, too: only
        # an end is noted, once the program is gone.
        d = self.dir
        return (f"rc=$?; kill -0 $(cat {d}/pid) 2>/dev/null || "
                f"{{ stty -g >{d}/stty.after; echo $rc >{d}/rc.new; mv {d}/rc.new {d}/rc; }}")

    def launch(self, words, wrapper=""):
        for name in ("pid", "rc", "stty.before", "stty.after"):
            (self.dir / name).unlink(missing_ok=True)
        env = ([f"-u {shlex.quote(w[1:])}" for w in words if w.startswith("!")] +
               [shlex.quote(f"{k}={v}") for k, v in self.env.items()] + [w for w in words if "=" in w])
        run = f"sh -c 'echo $$ >\"$1\"; exec \"$2\"' sh {self.dir}/pid {self.program}"
        if wrapper:
            (self.dir / "wrapper.sh").write_text(f"{run}\n{self.record_status()}\nexit $rc\n")
            run = f"sh {self.dir}/wrapper.sh"
        line = f"clear; stty -g >{self.dir}/stty.before; env {' '.join(env)} {run}"
        self.shell(line + ("" if wrapper else "; " + self.record_status()))
        poll("the program to start", lambda: self.file("pid"))

    def tty_call(self, call, *args):
        fd = os.open(self.tty, os.O_RDWR | os.O_NOCTTY)
        try:
            return call(fd, *args)
        finally:
            os.close(fd)

    def wait_raw(self):
        # Wine's console host makes the terminal raw only when the program
        # first asks for input; a key typed before would be echoed.
        if self.wine and self.file("pid") and not self.file("rc"):
            poll("Wine's console to take keys", lambda: not self.tty_call(termios.tcgetattr)[3] & termios.ICANON)

    # --- the steps --------------------------------------------------------
    def start(self, rest):
        self.launch(rest.split())

    def start_at(self, rest):
        at, *words = rest.split()
        offset = calendar.timegm(time.strptime("2026-01-05 " + at, "%Y-%m-%d %H:%M:%S")) - time.time()
        # The sanitizer runtime must otherwise be the first library loaded.
        self.launch(["TZ=UTC", "ASAN_OPTIONS=verify_asan_link_order=0", f"LD_PRELOAD={faketime_lib()}",
                     "FAKETIME=%+d" % round(offset), "FAKETIME_DONT_FAKE_MONOTONIC=1", "NO_FAKE_STAT=1", *words])

    def start_wrapped(self, rest):
        self.launch(rest.split(), wrapper=True)

    def keys(self, rest):
        names = rest.split()
        if self.wine:  # Wine leaves ISIG on: Ctrl+\ would be SIGQUIT, not a key
            names = [n for n in names if not n.startswith("C-\\")]
        self.wait_raw()
        if names:
            self.pane.cmd("send-keys", *names)

    def type(self, rest):
        self.wait_raw()
        self.pane.cmd("send-keys", "-l", "--", rest)

    def type_alarm_at(self, rest):
        # Late in a minute, wait for the next: the alarm must still be current.
        while time.localtime().tm_sec >= 55:
            time.sleep(0.2)
        self.type(time.strftime("%H%M", time.localtime(time.time() + 60 * int(rest))))

    def expect_title(self, rest):
        poll(f'the title "{rest}"', lambda: self.pane.display_message("#{pane_title}", get_text=True)[0] == rest)

    def mode_restored(self):
        if self.file("stty.before") == self.file("stty.after"):
            return True
        # Wine's console host restores the mode a moment after the program
        # has ended, maybe after the shell read it: read it again.
        (self.dir / "stty.after").unlink()
        self.shell(f"stty -g >{self.dir}/stty.new; mv {self.dir}/stty.new {self.dir}/stty.after")
        poll("the shell", lambda: self.file("stty.after"))
        return self.file("stty.before") == self.file("stty.after")

    def terminal_restored(self, rest):
        poll("the program to end", lambda: self.file("rc"))
        if self.wine:
            poll("the terminal mode from before the program", self.mode_restored)
        elif not self.mode_restored():
            raise Failed(f"terminal mode changed: {self.file('stty.before')} -> {self.file('stty.after')}")
        self.expect_normal_screen(rest)

    def expect_normal_screen(self, rest):
        poll("the normal screen with a visible cursor",
             lambda: self.pane.display_message("#{cursor_flag} #{alternate_on}", get_text=True)[0] == "1 0")

    def expect_process(self, rest):
        poll(f"the program to be {rest}", lambda: process_state(self.pid()) == rest)

    def expect_cpu_below(self, rest):
        percent, seconds = map(float, rest.split())
        before = cpu_ticks(self.pid())
        time.sleep(seconds)
        used = 100 * (cpu_ticks(self.pid()) - before) / os.sysconf("SC_CLK_TCK") / seconds
        if used >= percent:
            raise Failed(f"the program used {used:.0f}% of a CPU over {seconds:g}s")

    def signal(self, rest):
        os.kill(self.pid(), getattr(signal, "SIG" + rest))

    def kill_pane(self, rest):
        pid = self.pid()
        self.pane.cmd("kill-pane")
        poll(f"the program to end after its terminal went away (state {process_state(pid)})",
             lambda: process_state(pid) == "gone", int(rest) / 1000)

    def resize(self, rest):
        columns, rows = rest.split()
        self.pane.cmd("resize-window", "-x", columns, "-y", rows)

    def resume_in_foreground(self, rest):
        self.shell("fg; " + self.record_status())

    def suspend_output(self, rest):
        self.tty_call(termios.tcflow, termios.TCOOFF)

    def resume_output(self, rest):
        self.tty_call(termios.tcflow, termios.TCOON)

    def record_output(self, rest):
        self.stream = self.dir / "stream"
        self.stream.touch()
        self.pane.cmd("pipe-pane", f"cat >>'{self.stream}'")

    def expect_clean_output(self, rest):
        poll("the program to end", lambda: self.file("rc"))
        # The pane's pipe may trail the program's last write by a moment.
        poll("the restore sequence in the recorded output", lambda: LEAVE in self.stream.read_bytes())
        problems = clean_output(self.stream.read_bytes(), rest == "ascii")
        if problems:
            raise Failed("the program's output to the terminal:\n  " + "\n  ".join(problems[:5]))

    def capture_tone(self, rest):
        self.tone = self.dir / "tone.raw"
        if rest == "stuck":
            os.mkfifo(self.tone)
        # A build with ALSA loads libasound by name when the first tone sounds;
        # without the library it falls to the speaker or the bell, which
        # nothing here captures.
        self.alsa = b"libasound.so.2" in Path(self.program).read_bytes()
        if self.alsa:
            try:
                ctypes.CDLL("libasound.so.2")
            except OSError:
                raise Skipped("libasound.so.2, which plays the tone, is not installed (Debian: libasound2)")
        self.env.update(ALSA_CONFIG_PATH=HERE.parent / "data/alsa/asound.conf", ROUSEL_TONE_CAPTURE=self.tone)

    def tone_size(self):
        if not self.tone:
            raise Failed("tone steps need capture-tone before the start")
        return self.tone.stat().st_size if self.tone.is_file() else 0

    def expect_tone(self, rest):
        if not self.alsa:
            raise Skipped("a build without ALSA plays no tone to capture")
        self.tone_size()
        problems = tone_problems(self.tone, *map(float, rest.split()))
        if problems:
            raise Failed("the captured tone: " + "; ".join(problems))

    def sounded_since(self, size):
        if not self.tone.is_file():
            return False
        with open(self.tone, "rb") as f:
            f.seek(size)
            return any(f.read())

    def expect_tone_growing(self, rest):
        if self.alsa:
            size = self.tone_size()
            poll(f"a tone within {rest} ms", lambda: self.sounded_since(size), int(rest) / 1000)

    def expect_tone_still(self, rest):
        if self.alsa:  # silence is only seen by listening the whole time
            size = self.tone_size()
            time.sleep(int(rest) / 1000)
            if self.sounded_since(size):
                raise Failed(f"the tone went on within {rest} ms")

    # --- the private system bus ---
    def stop_bus(self):
        for process in (self.bus_mock, self.bus_daemon) if self.bus_daemon else ():
            process.send_signal(signal.SIGCONT)
            process.kill()
            process.wait()
        self.bus_daemon = None

    def bus(self, rest):
        try:
            from dbusmock import DBusTestCase  # noqa: PLC0415
        except ImportError:
            raise Skipped("python3-dbusmock is not installed (Debian package python3-dbusmock)") from None
        if not shutil.which("dbus-daemon"):
            raise Skipped("dbus-daemon is not installed (Debian package dbus-daemon)")
        if rest not in ("logind", "refusing", "silent", "none"):
            raise Failed(f"no bus mode {rest}")
        self.stop_bus()
        # The same address for every bus of a mode: a running program keeps its own.
        address = self.env["DBUS_SYSTEM_BUS_ADDRESS"] = os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = \
            f"unix:path={self.dir}/bus.{rest}"
        if rest == "none":
            return
        # A bus where everyone may talk to everyone, as on a session bus.
        self.bus_daemon = subprocess.Popen(["dbus-daemon", "--session", "--nofork", f"--address={address}",
                                            "--print-address"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.bus_daemon.stdout.readline()  # listening
        self.bus_mock, self.manager = DBusTestCase.spawn_server_template(
            "logind", stdout=open(self.dir / "mock.log", "w"), system_bus=True)
        if rest == "refusing":  # as a system's policy refuses a session it does not trust
            self.manager.AddMethod("org.freedesktop.login1.Manager", "Inhibit", "ssss", "h",
                                   'raise dbus.exceptions.DBusException("refused", '
                                   'name="org.freedesktop.DBus.Error.AccessDenied")',
                                   dbus_interface="org.freedesktop.DBus.Mock")
        if rest == "silent":
            self.bus_daemon.send_signal(signal.SIGSTOP)

    def bus_answer(self, rest):
        self.bus_daemon.send_signal(signal.SIGCONT)

    def expect_inhibitors(self, held, what):
        listed = lambda: [tuple(map(str, i[:4])) for i in self.manager.ListInhibitors(  # noqa: E731
            dbus_interface="org.freedesktop.login1.Manager")]
        try:
            poll(what, lambda: listed() == held)
        except Failed as failed:
            raise Failed(f"{failed}; held: {listed()}") from None

    def expect_inhibitor(self, rest):
        self.expect_inhibitors([("sleep:idle", "Rousel", rest, "block")], f'an inhibitor for "{rest}"')

    def expect_no_inhibitor(self, rest):
        self.expect_inhibitors([], "no inhibitor")

    def expect_inhibit_requests(self, rest):
        requests = lambda: (self.dir / "mock.log").read_text().count(" Inhibit ")  # noqa: E731
        poll(f"{rest} inhibit requests", lambda: requests() == int(rest))


def main():
    wine = sys.argv[1:2] == ["--wine"]
    if len(sys.argv) != 3 + wine:
        sys.exit("usage: scenario.py [--wine] PROGRAM SCENARIO")
    os.environ.pop("TZ", None)  # the pane's shell has none: the same local time
    time.tzset()
    run = None
    try:
        run = Run(os.path.abspath(sys.argv[-2]), wine)
        run.play(sys.argv[-1])
        print(f"passed: {Path(sys.argv[-1]).name}")
        return 0
    except Skipped as why:
        print(f"SKIP: {why}")
        return 77
    except (Failed, OSError, ValueError) as why:
        print(f"FAIL {why}", file=sys.stderr)
        if run.server.has_session("e2e"):
            print("--- screen ---\n" + run.text(), file=sys.stderr)
        return 1
    finally:
        if run:
            run.close()


if __name__ == "__main__":
    sys.exit(main())
