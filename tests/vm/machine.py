#!/usr/bin/env python3
"""Runs scenarios against the program on the Linux virtual console of a
virtual machine, with a PC speaker.

  machine.py PROGRAM KEYDUMP WORKDIR SCENARIO...

Debian's kernel boots once in QEMU without KVM (TCG) from an initramfs of
busybox, the program, rousel-keydump and the libraries they link; the
scenarios then run one after the other, each on a virtual console of its
own, which the host reads through /dev/vcsuN (the text) and /dev/vcsaN (the
colours) and types into through QEMU's monitor (sendkey).  The PC speaker sounds into
a WAV file (the pitch and the total tone time), and a logger in the machine
notes when the speaker's gate opens and closes (the rhythm).  The kernel
package is fetched once into WORKDIR/kernel.

Exit status 0 passed, 1 failed, 77 skipped (QEMU, busybox-static, cpio or
a kernel missing).  The last line gives the boot and run times and what was
measured.

The steps are those of the tmux scenarios (tests/e2e/scenario.py), with the
same expected rows and colours; where the console differs:
  start-at                     the machine's clock is set (date -s)
  expect-title TEXT            the console has no title: the phase's screen
  capture-tone                 nothing: the speaker is always recorded
  expect-tone HZ MS            the recorded pitch within 1 %, the tones MS long
                               with the ringing's 50 ms pauses, and the
                               recording as long as the tones together
  terminal-restored            the console's mode as before the program
Its own steps:
  signal-mid-tone NAME         send the program SIGNAME while a tone sounds
  expect-ringing MS            tones go on for the next MS
  expect-silent N              at most N tones start after the last key or
                               signal, none sounds longer than its 100 ms,
                               and the speaker stays off
  keydump                      start rousel-keydump on the console
  expect-key KEY TEXT          KEY makes one key, TEXT its line after "key  "
Keys are tmux's names (0, a, Enter, Escape, BSpace, M-x, C-c, F1, Up, KP0,
KPEnter, ...) and NumLock.
"""
import array, base64, lzma, os, queue, re, shutil, socket, statistics, struct, subprocess
import sys, tempfile, threading, time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "e2e"))
import scenario  # noqa: E402  (the shared steps' checks)
from scenario import Failed, Skipped, poll  # noqa: E402

BOOT_S, RUN_S = 90, 180  # bounds: the boot, and the scenarios after it
TIMEOUT = scenario.TIMEOUT = 20  # for one expected screen: the machine runs emulated
TONE_MS, PAUSE_MS = 100, 50  # a ringing pass: its tone, then a pause
TONE_SLACK_MS = 70  # a tone's end, late on a busy host
DATE = "2026-01-05"
# The console has no title: each phase is known by its screen instead, rows
# that begin so (None: a blank row).
PHASES = {"Rousel - time input": ((1, "Enter alarm time"), (3, None)),
          "Rousel - waiting...": ((1, "Alarm time"),), "Rousel - ringing...": ((1, "Come on, sleepy head!"),)}

# tmux key names that differ from QEMU's (sendkey); small letters and
# digits are the same.
KEYS = {"Enter": "ret", "Escape": "esc", "BSpace": "backspace", "Space": "spc", "IC": "insert",
        "DC": "delete", "PPage": "pgup", "NPage": "pgdn", "KPEnter": "kp_enter", "NumLock": "num_lock",
        "C-\\": "ctrl-backslash"}
KEYS.update({f"KP{d}": f"kp_{d}" for d in range(10)})
KEYS.update({n: n.lower() for n in ("Up", "Down", "Left", "Right", "Home", "End")})
KEYS.update({f"F{n}": f"f{n}" for n in range(1, 13)})


def qemu_key(name):
    if name in KEYS:
        return KEYS[name]
    if re.fullmatch(r"[MC]-.", name):
        return ("alt-" if name[0] == "M" else "ctrl-") + qemu_key(name[2])
    if re.fullmatch(r"[a-z0-9]", name):
        return name
    raise Failed(f"no key {name!r} for the virtual machine")


def sgr_colour(attr):
    """The console's colour attribute as the SGR foreground the tmux checks know."""
    fg = attr & 0x0F
    ansi = ((fg & 1) << 2) | (fg & 2) | ((fg & 4) >> 2)  # VGA orders blue, green, red
    return str((90 if fg & 8 else 30) + ansi)


def run(*command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, **kwargs)


MODULES = ("evdev", "pcspkr")  # the event devices (as udev loads it), the PC speaker


def kernel(cache):
    """Debian's kernel and the modules the machine loads, from the package
    that linux-image-amd64 depends on, unpacked (never installed) once."""
    for found in sorted(cache.glob("linux-image-*/vmlinuz")):
        if all((found.parent / f"{m}.ko").exists() for m in MODULES):
            return found.parent
    depends = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True, text=True)
    name = re.search(r"Depends: (linux-image-\S+)", depends.stdout)
    if not name:
        raise Skipped("no Debian kernel package known to apt (apt-get update first)")
    with tempfile.TemporaryDirectory(dir=cache.parent) as tmp:
        fetch = subprocess.run(["apt-get", "download", name[1]], cwd=tmp, capture_output=True, text=True)
        debs = list(Path(tmp).glob("*.deb"))
        if not debs:
            raise Skipped(f"could not download {name[1]}: {fetch.stderr.strip()[-200:]}")
        tree = Path(tmp) / "tree"
        tree.mkdir()
        tar = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", debs[0]], stdout=subprocess.PIPE)
        run("tar", "-x", "-C", tree, "--wildcards", "./boot/vmlinuz-*", *(f"*/{m}.ko*" for m in MODULES),
            stdin=tar.stdout)
        tar.wait()
        out = Path(tmp) / name[1]
        out.mkdir()
        shutil.copy(next(tree.glob("boot/vmlinuz-*")), out / "vmlinuz")
        for m in MODULES:
            module = next(tree.rglob(f"{m}.ko*"))
            data = module.read_bytes()
            (out / f"{m}.ko").write_bytes(lzma.decompress(data) if module.suffix == ".xz" else data)
        cache.mkdir(parents=True, exist_ok=True)
        shutil.rmtree(cache / name[1], ignore_errors=True)
        out.rename(cache / name[1])
    return cache / name[1]


def initramfs(work, programs, modules):
    """busybox, the programs with every library ldd names, the UTF-8 locale,
    the kernel's modules, the speaker's logger and the init script, as a
    gzipped cpio."""
    root = work / "root"
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "lib/modules", "proc", "sys", "dev", "tmp"):
        (root / d).mkdir(parents=True)
    shutil.copy("/bin/busybox", root / "bin")
    for applet in run("/bin/busybox", "--list", text=True).stdout.split():
        if applet != "busybox":
            (root / "bin" / applet).symlink_to("busybox")
    for program in programs:
        shutil.copy(program, root / "bin")
        for lib in re.findall(r"(?:=> |^\s*)(/\S+)", run("ldd", program, text=True).stdout, re.M):
            (root / lib.lstrip("/")).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(lib, root / lib.lstrip("/"))
    if Path("/usr/lib/locale/C.utf8").is_dir():
        shutil.copytree("/usr/lib/locale/C.utf8", root / "usr/lib/locale/C.utf8")
    for module in modules:
        shutil.copy(module, root / "lib/modules")
    run("cc", "-static", "-O2", "-Wall", "-Werror", "-o", root / "bin/speaker_gate", HERE / "speaker_gate.c")
    shutil.copy(HERE / "init.sh", root / "init")
    shutil.copy(HERE / "on-console.sh", root / "bin/on-console")
    image = work / "initramfs.gz"
    subprocess.run("find . | cpio -o -H newc --quiet | gzip -1", shell=True, cwd=root, check=True,
                   stdout=image.open("wb"))
    shutil.rmtree(root)
    return image


class Machine:
    """The virtual machine: its serial port runs the host's commands (init.sh),
    its monitor types."""

    def __init__(self, work, kernel_dir, image):
        self.work, self.serial, self.count = work, queue.Queue(), 0
        self.wav, monitor = work / "speaker.wav", work / "monitor.sock"
        for stale in (self.wav, monitor):
            stale.unlink(missing_ok=True)
        self.qemu = subprocess.Popen(
            ["qemu-system-x86_64", "-nodefaults", "-machine", "pc,pcspk-audiodev=snd0", "-m", "512",
             "-smp", "1", "-display", "none", "-vga", "std", "-no-reboot",
             "-kernel", kernel_dir / "vmlinuz", "-initrd", image,
             "-append", "console=ttyS0 loglevel=1 panic=-1", "-serial", "stdio",
             "-monitor", f"unix:{monitor},server=on,wait=off",
             "-audiodev", f"wav,id=snd0,path={self.wav}"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=open(work / "qemu.log", "wb"))
        threading.Thread(target=self.read_serial, daemon=True).start()
        self.answer("ready", BOOT_S)
        self.monitor = socket.socket(socket.AF_UNIX)
        self.monitor.connect(str(monitor))
        self.prompt()

    def read_serial(self):
        for line in self.qemu.stdout:
            self.serial.put(line.decode(errors="replace").strip())
        self.serial.put(None)

    def answer(self, tag, timeout):
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.serial.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                raise Failed(f"the virtual machine did not answer within {timeout} s") from None
            if line is None:
                raise Failed("the virtual machine stopped: " + (self.work / "qemu.log").read_text()[-300:])
            if line.startswith(f"@@ {tag} ") or line == f"@@ {tag}":
                return line.split(" ")[2:]

    def sh(self, command, timeout=TIMEOUT):
        """Runs a shell command in the machine: (status, output)."""
        self.count += 1
        self.qemu.stdin.write(f"{self.count} {command}\n".encode())
        self.qemu.stdin.flush()
        status, *output = self.answer(self.count, timeout)
        return int(status), base64.b64decode(output[0] if output else "")

    def out(self, command):
        return self.sh(command)[1].decode(errors="replace")

    def now_ms(self):
        return int(self.out("speaker_gate now")) / 1000

    def prompt(self):
        data = b""
        while not data.endswith(b"(qemu) "):
            data += self.monitor.recv(4096)

    def key(self, name):
        # Held 10 ms: QEMU queues a key until the one before is let go.
        self.monitor.sendall(f"sendkey {qemu_key(name)} 10\n".encode())
        self.prompt()

    def screen(self, vt):
        """Virtual console vt's rows as (text, colour of each character)."""
        data = self.sh(f"cat /dev/vcsa{vt} /dev/vcsu{vt}")[1]
        rows, columns = data[0], data[1]
        cells, text = rows * columns, data[4 + 2 * rows * columns:]
        chars = [chr(c) for c in struct.unpack(f"<{cells}I", text[:4 * cells])]
        attrs = data[5:4 + 2 * cells:2]
        return [("".join(chars[r * columns:(r + 1) * columns]).rstrip(),
                 [sgr_colour(a) for a in attrs[r * columns:(r + 1) * columns]]) for r in range(rows)]

    def gate(self):
        """The speaker's changes so far: (on, guest milliseconds)."""
        return [(line[0] == "1", int(line[2:]) / 1000) for line in self.out("cat /tmp/gate.log").split("\n")
                if re.fullmatch(r"[01] \d+", line)]

    def close(self):
        try:
            self.monitor.sendall(b"quit\n")  # QEMU finishes the WAV file's header
            self.qemu.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            self.qemu.kill()


def tones(changes, since=0.0):
    """The whole tones after `since`: (start, end) in guest milliseconds."""
    found, start = [], None
    for on, at in changes:
        if on and at >= since:
            start = at
        elif not on and start is not None:
            found, start = found + [(start, at)], None
    return found


def wav_tone(path):
    """The recording's length in seconds and its pitch (zero crossings)."""
    data = Path(path).read_bytes()
    channels, rate = struct.unpack("<HI", data[22:28])
    samples = array.array("h", data[44:44 + (len(data) - 44) // 2 * 2])[::channels]
    seconds = len(samples) / rate
    rising = sum(a < 0 <= b for a, b in zip(samples, samples[1:]))
    return seconds, rising / seconds if seconds else 0


class Run(scenario.Steps):
    """One scenario on virtual console vt, a fresh one (Num Lock off, as
    every console starts)."""

    def __init__(self, machine, vt):
        self.m, self.vt = machine, vt
        self.started = self.action = 0.0
        self.measured, self.seen = {}, None
        self.m.sh(f"chvt {vt}")

    def file(self, name):
        status, data = self.m.sh(f"cat /tmp/{name}")
        return data.decode().strip() if status == 0 else ""

    def launch(self, command, words=(), out=None):
        env = [f"{k}={v}" for k, v in os.environ.items() if k.endswith("SAN_OPTIONS")] + list(words)
        tty, self.seen = f"/dev/tty{self.vt}", None
        self.m.sh(f"stty sane <{tty}; clear >{tty}; rm -f /tmp/pid")
        self.started = self.m.now_ms()
        self.m.sh(f"setsid -c on-console TERM=linux LANG=C.UTF-8 {' '.join(env)} {command}"
                  f" <{tty} >{out or tty} 2>&1 &")
        poll("the program to start", lambda: self.file("pid"))

    def rows(self, fresh=True):
        # A screen read since the last key or signal may answer first: the
        # machine is slow to read, and the program may have moved on.
        if fresh or self.seen is None:
            self.seen = self.m.screen(self.vt)
        return self.seen

    # --- the steps --------------------------------------------------------
    def start(self, rest):
        self.launch("/bin/rousel", rest.split())

    def start_at(self, rest):
        self.m.sh(f"date -s '{DATE} {rest}' >/dev/null")
        self.start("")

    def keydump(self, rest):
        self.launch("/bin/rousel-keydump", out="/tmp/keys.txt")
        poll("the key dump's greeting", lambda: "q three times" in self.file("keys.txt"))

    def keys(self, rest):
        for name in rest.split():
            self.m.key(name)
        self.action, self.seen = self.m.now_ms(), None

    def type(self, rest):
        self.keys(" ".join("Space" if c == " " else c for c in rest))

    def expect_title(self, rest):
        rows = lambda: [text for text, _ in self.rows()]  # noqa: E731
        poll(f"the screen of {rest}", lambda: all(
            rows()[n - 1] == "" if start is None else rows()[n - 1].startswith(start) for n, start in PHASES[rest]))

    def capture_tone(self, rest):
        pass

    def terminal_restored(self, rest):
        poll("the program to end", lambda: self.file("rc"))
        if self.file("stty.before") != self.file("stty.after"):
            raise Failed(f"console mode changed: {self.file('stty.before')} -> {self.file('stty.after')}")

    def signal(self, rest, wait=""):
        # kill is the shell's own: no process to start between the two.
        now = self.m.out(f"pid=$(cat /tmp/pid); {wait}kill -{rest} $pid; speaker_gate now")
        self.action, self.seen = int(now.split()[0]) / 1000, None

    def signal_mid_tone(self, rest):
        self.signal(rest, "speaker_gate on; ")

    def expect_tone(self, rest):
        hz, ms = map(float, rest.split())
        poll("ten tones", lambda: len(tones(self.m.gate(), self.started)) >= 10)
        heard = tones(self.m.gate(), self.started)
        # A ringing's first tone is cut short by the choice of the device.  A
        # host too busy to run the machine in time starts tones late or ends
        # them late, and only ever stretches the pauses: the median tone and
        # the lower quartile of the pauses are the program's.
        rings = [(a, b) for a, b in zip(heard, heard[1:]) if b[0] - a[1] < 500]
        tone = statistics.median(b[1] - b[0] for _, b in rings)
        pause = statistics.quantiles([b[0] - a[1] for a, b in rings], n=4)[0]
        seconds, pitch = wav_tone(self.m.wav)
        per_tone = 1000 * seconds / len(tones(self.m.gate()))
        self.measured.update(pitch=pitch, tone=tone, pause=pause, per_tone=per_tone)
        problems = []
        if abs(pitch - hz) > hz / 100:
            problems.append(f"pitch {pitch:.1f} Hz")
        if abs(tone - ms) > 15 or abs(pause - PAUSE_MS) > 15:
            problems.append(f"tones of {tone:.0f} ms (median) with pauses of {pause:.0f} ms (lower quartile)")
        if abs(per_tone - ms) > ms * 0.15:
            problems.append(f"the recording is {per_tone:.0f} ms per tone")
        if problems:
            raise Failed("the speaker: " + "; ".join(problems))

    def expect_ringing(self, rest):
        since = self.m.now_ms()
        time.sleep(int(rest) / 1000)
        poll("the machine's clock", lambda: self.m.now_ms() >= since + int(rest))
        starts = [start for start, _ in tones(self.m.gate(), since) if start <= since + int(rest)]
        if len(starts) < int(rest) // (TONE_MS + PAUSE_MS) - 1:
            raise Failed(f"{len(starts)} tones in {rest} ms")

    def expect_silent(self, rest):
        poll("the machine's clock", lambda: self.m.now_ms() >= self.action + 1500, TIMEOUT)
        changes = self.m.gate()
        # The last tone to start before the key or signal (the one then
        # sounding, if any), and those after it.
        heard = tones(changes) + ([(changes[-1][1], float("inf"))] if changes and changes[-1][0] else [])
        late = [start for start, _ in heard if start > self.action]
        heard = heard[-len(late) - 1:]
        long = [f"{end - start:.0f} ms" for start, end in heard if end - start > TONE_MS + TONE_SLACK_MS]
        if len(late) > int(rest) or long:
            raise Failed(f"after the last key or signal {len(late)} tones started, and tones of "
                         f"{', '.join(long) or 'no'} longer than {TONE_MS + TONE_SLACK_MS} ms sounded "
                         "(inf: still sounding)")
        self.measured.setdefault("stops", []).append(max([self.action] + [end for _, end in heard]) - self.action)
        self.measured.setdefault("cut", []).append(max([end - start for start, end in heard] or [0]))

    def expect_key(self, rest):
        name, _, want = rest.partition(" ")
        lines = lambda: re.findall(r"^  key  (.*?)\r?$", self.file("keys.txt"), re.M)  # noqa: E731
        before = len(lines())
        self.keys(name)
        poll(f"the key line of {name}", lambda: len(lines()) > before)
        time.sleep(0.2)  # a second line would be a second key
        got = lines()[before:]
        if got != [want]:
            raise Failed(f"{name} made {got}, expected [{want!r}]")


def main():
    if len(sys.argv) < 5:
        sys.exit("usage: machine.py PROGRAM KEYDUMP WORKDIR SCENARIO...")
    program, keydump, work, scenarios = sys.argv[1], sys.argv[2], Path(sys.argv[3]), sys.argv[4:]
    began = time.monotonic()
    machine, run_, name = None, None, "the start"
    try:
        for tool, package in (("qemu-system-x86_64", "qemu-system-x86"), ("cpio", "cpio")):
            if not shutil.which(tool):
                raise Skipped(f"{tool} is not installed (Debian package {package})")
        if not Path("/bin/busybox").exists() or b"statically linked" not in run("file", "-L", "/bin/busybox").stdout:
            raise Skipped("no static /bin/busybox (Debian package busybox-static)")
        work.mkdir(parents=True, exist_ok=True)
        kernel_dir = kernel(work / "kernel")
        image = initramfs(work, [program, keydump], [kernel_dir / f"{m}.ko" for m in MODULES])
        booted = time.monotonic()
        machine = Machine(work, kernel_dir, image)
        boot = time.monotonic() - booted
        deadline, measured, retried, vt = time.monotonic() + RUN_S, {}, [], 0
        for path in scenarios:
            name = Path(path).name
            # Timing on an emulated machine suffers when the host is busy: a
            # scenario that fails gets one more go on a fresh console, and
            # what failed first is said.
            for attempt in (1, 2):
                vt += 1
                run_ = Run(machine, vt)
                try:
                    run_.play(path, deadline)
                    break
                except Failed as why:
                    if attempt == 2:
                        raise
                    retried.append(name)
                    print(f"{name} failed, once more on a fresh console; {why}")
                    machine.sh("kill -KILL $(cat /tmp/pid) 2>/dev/null")
            for key, value in run_.measured.items():
                measured.setdefault(key, []).extend(value if isinstance(value, list) else [value])
            print(f"passed: {name}")
        run_time = time.monotonic() - booted - boot
        fmt = lambda key: "/".join(f"{v:.0f}" for v in measured.get(key, [])) or "-"  # noqa: E731
        print(f"vm: boot {boot:.1f} s, scenarios {run_time:.1f} s, all {time.monotonic() - began:.1f} s"
              f"{'; retried ' + ', '.join(retried) if retried else ''}; pitch {fmt('pitch')} Hz, "
              f"tone {fmt('tone')} ms, pause {fmt('pause')} ms, recorded {fmt('per_tone')} ms per tone; "
              f"after each stop sounding {fmt('stops')} ms more, its longest tone {fmt('cut')} ms")
        return 0
    except Skipped as why:
        print(f"SKIP: {why}")
        return 77
    except (Failed, OSError, subprocess.CalledProcessError) as why:
        print(f"FAIL in {name} {why}", file=sys.stderr)
        if run_ and machine.qemu.poll() is None:
            try:
                print("--- console ---\n" + run_.text().rstrip(), file=sys.stderr)
                print("--- program's stderr ---\n" + machine.out("cat /tmp/stderr")[-2000:], file=sys.stderr)
            except Failed:
                pass
        return 1
    finally:
        if machine:
            machine.close()


if __name__ == "__main__":
    sys.exit(main())
