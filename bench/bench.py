#!/usr/bin/env python3
"""Runs every benchmark of Rousel and prints one table of figures.

Called by bench/run.sh, which builds the binaries first.  Each figure stands
beside a reference measured in the same run (the minimal waiting program,
the bytes of the text itself) or beside its nominal value, with the ratio and
whether the target is met.  With --quick every figure is measured for a few
seconds only, to show that the scripts work: no figure is judged then.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
README = os.path.join(HERE, "README.md")
BEGIN_MARK = "<!-- results:begin -->"
END_MARK = "<!-- results:end -->"

SLEEP_TEXT = {100: "0.1s", 500: "0.5s", 1000: "1.0s", 10000: "10.0s", 30000: "30.0s"}
SLEEP_KEY = {100: "1", 500: "2", 1000: "3", 10000: "4", 30000: "5"}
SAMPLE_RATE = 48000


# --- /proc ------------------------------------------------------------------

def stat_ticks(stat_text):
    """utime + stime (clock ticks) from a /proc/.../stat line.  The command
    name may hold blanks and parentheses, so fields are counted from the
    last ')'."""
    fields = stat_text[stat_text.rindex(")") + 2:].split()
    # Fields 14 and 15 of the whole line are 12 and 13 after "pid (comm) ".
    return int(fields[11]) + int(fields[12])


def status_fields(status_text):
    fields = {}
    for line in status_text.splitlines():
        key, _, value = line.partition(":")
        fields[key.strip()] = value.strip()
    return fields


def kilobytes(value):
    """'4408 kB' -> 4408."""
    return int(value.split()[0])


def read_file(path):
    with open(path, encoding="ascii", errors="replace") as f:
        return f.read()


def process_snapshot(pid, proc="/proc"):
    """CPU (ns on the CPU from schedstat, and clock ticks), context switches
    (voluntary and involuntary: every time a thread left the CPU) and threads
    of every thread of a process, its peak RSS and its private memory."""
    cpu_ns = ticks = switches = voluntary = threads = 0
    task_dir = os.path.join(proc, str(pid), "task")
    for tid in os.listdir(task_dir):
        base = os.path.join(task_dir, tid)
        try:
            cpu_ns += int(read_file(os.path.join(base, "schedstat")).split()[0])
            ticks += stat_ticks(read_file(os.path.join(base, "stat")))
            fields = status_fields(read_file(os.path.join(base, "status")))
            voluntary += int(fields["voluntary_ctxt_switches"])
            switches += (int(fields["voluntary_ctxt_switches"])
                         + int(fields["nonvoluntary_ctxt_switches"]))
            threads += 1
        except (FileNotFoundError, ProcessLookupError):
            continue  # a thread that ended meanwhile
    status = status_fields(read_file(os.path.join(proc, str(pid), "status")))
    return {"time": time.monotonic(), "cpu_ns": cpu_ns, "ticks": ticks,
            "switches": switches, "voluntary": voluntary, "threads": threads,
            "hwm_kb": kilobytes(status.get("VmHWM", "0 kB")),
            "private_kb": private_kb(pid, proc)}


def private_kb(pid, proc="/proc"):
    """Private_Clean + Private_Dirty of /proc/PID/smaps_rollup: the memory
    this process alone costs, without the library pages every program on
    the machine shares."""
    try:
        rollup = status_fields(read_file(os.path.join(proc, str(pid), "smaps_rollup")))
    except OSError:
        return None
    return (kilobytes(rollup.get("Private_Clean", "0 kB"))
            + kilobytes(rollup.get("Private_Dirty", "0 kB")))


def waiting_rates(before, after, bytes_before, bytes_after, ticks_per_second=100):
    """Per-minute CPU, per-second wake-ups and bytes between two snapshots."""
    seconds = after["time"] - before["time"]
    if seconds <= 0:
        raise ValueError("snapshots out of order")
    return {
        "seconds": seconds,
        "cpu_ms_per_min": (after["cpu_ns"] - before["cpu_ns"]) / 1e6 * 60 / seconds,
        "tick_ms_per_min": (after["ticks"] - before["ticks"]) * 1000 / ticks_per_second
                           * 60 / seconds,
        "wakeups_per_s": (after["switches"] - before["switches"]) / seconds,
        # Sleeps ended, without the preemptions a busy machine adds.
        "voluntary_per_s": (after.get("voluntary", 0) - before.get("voluntary", 0)) / seconds,
        "bytes_per_s": (bytes_after - bytes_before) / seconds,
        "hwm_kb": after["hwm_kb"],
        "private_kb": after.get("private_kb"),
        "threads": after["threads"],
    }


# --- Figures and the table --------------------------------------------------

class Figure:
    """One row: a measured value against a target.

    kind: 'ratio'  measured / reference at most `limit`
          'below'  measured below `limit`
          'near'   |measured - nominal| at most `limit`
          'info'   no target
    """

    def __init__(self, name, unit, measured, reference=None, kind="info", limit=None,
                 nominal=None, note=""):
        self.name, self.unit, self.measured = name, unit, measured
        self.reference, self.kind, self.limit = reference, kind, limit
        self.nominal, self.note = nominal, note
        self.skipped = False
        self.runs = []  # the figure of each run, when this one is their median

    def ratio(self):
        if self.measured is None or not self.reference:
            return None
        return self.measured / self.reference

    def passed(self):
        """True or False against the target; None without one, or without
        the numbers to judge.  A median of several runs passes only when
        every run does."""
        if self.runs:
            verdicts = [run.passed() for run in self.runs]
            if False in verdicts:
                return False
            return True if verdicts and all(verdicts) else None
        if self.measured is None:
            return None
        if self.kind == "ratio":
            ratio = self.ratio()
            if ratio is None:
                # A reference of zero: only zero keeps within any ratio.
                return self.measured == 0 if self.reference == 0 else None
            return ratio <= self.limit
        if self.kind == "below":
            return self.measured < self.limit
        if self.kind == "near":
            return abs(self.measured - self.nominal) <= self.limit
        return None

    def target_text(self):
        if self.kind == "ratio":
            return f"<= {self.limit:g}x ref"
        if self.kind == "below":
            return f"< {self.limit:g} {self.unit}"
        if self.kind == "near":
            return f"{self.nominal:g} ± {self.limit:g} {self.unit}"
        return "-"


def number(value, unit=""):
    if value is None:
        return "missing"
    if isinstance(value, float):
        text = f"{value:.4g}" if abs(value) < 10000 else f"{value:.0f}"
    else:
        text = str(value)
    return f"{text} {unit}".strip()


def table(figures, judge=True):
    rows = ["| Figure | Target | Measured | Reference | Ratio | Result |",
            "|---|---|---|---|---|---|"]
    for f in figures:
        ratio = f.ratio()
        verdict = f.passed() if judge else None
        result = {True: "pass", False: "FAIL", None: "-"}[verdict]
        if judge and f.kind != "info" and f.measured is None and not f.skipped:
            result = "FAIL"
        measured = number(f.measured, f.unit) + (f" ({f.note})" if f.note else "")
        rows.append(f"| {f.name} | {f.target_text()} | {measured} | "
                    f"{number(f.reference, f.unit) if f.reference is not None else '-'} | "
                    f"{'-' if ratio is None else f'{ratio:.2f}x'} | {result} |")
    return "\n".join(rows)


def missing(figures):
    """Figures that should have come out and did not; those the build cannot
    produce (no Google Benchmark, no ALSA) are not missing but skipped."""
    return [f.name for f in figures if f.measured is None and not f.skipped]


def failed(figures):
    return [f.name for f in figures if f.kind != "info" and not f.skipped
            and (f.measured is None or f.passed() is False)]


def replace_results(readme_text, block):
    """The README with the text between the result marks replaced."""
    start = readme_text.index(BEGIN_MARK) + len(BEGIN_MARK)
    end = readme_text.index(END_MARK)
    return readme_text[:start] + "\n" + block.rstrip("\n") + "\n" + readme_text[end:]


def machine():
    model = "unknown"
    try:
        for line in read_file("/proc/cpuinfo").splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{os.cpu_count()} CPUs ({model}), Linux {platform.release()}, "
            f"{datetime.date.today().isoformat()}")


# --- tmux ---------------------------------------------------------------------

def log(text):
    print(text, file=sys.stderr, flush=True)


class Tmux:
    """A tmux server of our own on a private socket, 80x25 panes.  Every
    measurement starts a server of its own and kills it at its end (use it
    as a context manager): the last session of a shared server takes the
    server down with it, and a session asked for while it shuts down is
    refused.  A session that still fails to start is tried again, and the
    retry is logged."""

    started = 0  # servers so far: each gets a socket of its own

    def __init__(self):
        Tmux.started += 1
        self.socket = f"rousel-bench-{os.getpid()}-{Tmux.started}"
        self.env = dict(os.environ)
        self.env.pop("TMUX", None)
        self.env.setdefault("TERM", "xterm-256color")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def run(self, *args, check=True):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", *args],
                              env=self.env, check=check, capture_output=True, text=True)

    def start(self, name, command, attempts=3):
        for attempt in range(1, attempts + 1):
            done = self.run("new-session", "-d", "-x", "80", "-y", "25", "-s", name, command,
                            check=False)
            if done.returncode == 0:
                break
            log(f"tmux new-session {name} (server {self.socket}) failed with status "
                f"{done.returncode}: {done.stderr.strip()}"
                + ("; trying again" if attempt < attempts else ""))
            time.sleep(0.5 * attempt)
        else:
            raise RuntimeError(f"tmux refused session {name} {attempts} times")
        return int(self.run("display-message", "-p", "-t", name, "#{pane_pid}").stdout)

    def count_output(self, name, path):
        self.run("pipe-pane", "-t", name, f"exec cat > '{path}'")

    def keys(self, name, *keys):
        self.run("send-keys", "-t", name, *keys)

    def screen(self, name):
        return self.run("capture-pane", "-p", "-t", name, check=False).stdout

    def wait_for(self, name, text, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.screen(name):
                return True
            time.sleep(0.1)
        return False

    def kill(self, name):
        self.run("kill-session", "-t", name, check=False)

    def close(self):
        self.run("kill-server", check=False)


def shell_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def enter_alarm(tmux, name, hour, minute):
    """Time field, then an empty password: the waiting screen follows."""
    tmux.wait_for(name, "larm", timeout=5)
    tmux.keys(name, f"{hour:02d}{minute:02d}", "Enter")
    time.sleep(0.3)
    tmux.keys(name, "Enter")


# --- Measurements ---------------------------------------------------------------

# Each program is measured three ways at once, each in its own process, so
# that no measurement disturbs another's figures: natively (CPU, wake-ups,
# bytes, memory), under callgrind (user-space instructions: the figure that
# stays put on a loaded machine) and with strace attached (system calls and
# the write() calls and bytes of each redraw).
MODES = ("native", "callgrind", "strace")


def parse_strace(text):
    """An `strace -f -o` log -> {'calls': {name: count}, 'writes': n,
    'write_bytes': n}.  A call interrupted by another thread's line shows
    as '<unfinished ...>' and later '<... name resumed>': it is counted
    once, at its start, and its result read from the resumed line."""
    calls, writes, written = {}, 0, 0
    for line in text.splitlines():
        body = line.split(None, 1)[1] if line[:1].isdigit() else line
        body = body.lstrip()
        if body.startswith("<..."):
            m = re.match(r"<\.\.\. (\w+) resumed>.*= (-?\d+)", body)
            if m and m.group(1) in ("write", "writev") and int(m.group(2)) > 0:
                written += int(m.group(2))
            continue
        m = re.match(r"(\w+)\(", body)
        if not m:
            continue  # signals, exits
        name = m.group(1)
        calls[name] = calls.get(name, 0) + 1
        if name in ("write", "writev"):
            writes += 1
            done = re.search(r"\) += (-?\d+)", body)
            if done and int(done.group(1)) > 0:
                written += int(done.group(1))
    return {"calls": calls, "writes": writes, "write_bytes": written}


def callgrind_total(path):
    """The instructions of a callgrind dump (its 'totals:' or 'summary:')."""
    for line in read_file(path).splitlines():
        if line.startswith(("totals:", "summary:")):
            return int(line.split()[1])
    raise ValueError(f"{path}: no totals")


def callgrind_objects(text):
    """Self instructions by object file (program, library, loader) of a
    callgrind dump: the cost lines of each function, less those that follow
    a 'calls=' line (they are the callee's, counted where it runs)."""
    names, objects = {}, {}
    current, after_call = None, False
    for line in text.splitlines():
        if line.startswith(("ob=", "cob=")):
            # Compressed names: "(n) name" the first time, in either, "(n)" after.
            value = line.split("=", 1)[1]
            m = re.match(r"\((\d+)\)(?: (.*))?", value)
            if m and m.group(2):
                names[m.group(1)] = m.group(2)
            if line.startswith("ob="):
                current = names.get(m.group(1), value) if m else value
        elif line.startswith("calls="):
            after_call = True
        elif line[:1].isdigit() or line[:1] in "+-*":
            parts = line.split()
            if len(parts) >= 2 and not after_call:
                objects[current] = objects.get(current, 0) + int(parts[1])
            after_call = False
    return objects


def loader_share(objects):
    """Instructions of the dynamic loader (ld-linux, ld.so) among them."""
    return sum(n for ob, n in objects.items()
               if ob and os.path.basename(ob).startswith(("ld-linux", "ld.so", "ld64.so")))


def callgrind_command(work, name, command):
    return (f"valgrind -q --tool=callgrind --dump-instr=no "
            f"--callgrind-out-file={shell_quote(os.path.join(work, 'cg-' + name))} {command}")


def callgrind_zero(pid):
    subprocess.run(["callgrind_control", "-z", str(pid)], check=True, capture_output=True,
                   timeout=120)
    return time.monotonic()


def callgrind_dump(pid, work, name):
    """Dumps the counts since the last zero; returns (when, instructions)."""
    subprocess.run(["callgrind_control", "-d", str(pid)], check=True, capture_output=True,
                   timeout=120)
    when = time.monotonic()
    dumps = sorted((p for p in os.listdir(work) if p.startswith(f"cg-{name}.")),
                   key=lambda p: int(p.rsplit(".", 1)[1]))
    return when, callgrind_total(os.path.join(work, dumps[-1]))


def in_parallel(calls):
    """Runs each (function, args) on its own thread; their results in order.
    The callgrind commands wait for the program's next pass, up to a sleep
    time: one after the other they would spread the window."""
    import concurrent.futures
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, len(calls))) as pool:
        futures = [pool.submit(f, *a) for f, a in calls]
        return [f.result() for f in futures]


def strace_attach(pid, log):
    process = subprocess.Popen(["strace", "-f", "-qq", "-e", "signal=none", "-o", log,
                                "-p", str(pid)], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    time.sleep(0.5)  # attached to every thread
    return process, time.monotonic()


def strace_detach(process, started, log):
    process.send_signal(2)  # SIGINT: strace detaches and leaves the program running
    process.wait(timeout=30)
    seconds = time.monotonic() - started
    stats = parse_strace(read_file(log))
    stats["seconds"] = seconds
    return stats


def measure_waiting(build, sleeps, seconds, work, modes):
    """The program and the reference side by side, per sleep time and mode,
    all at once, and at 0.5 s the least poll loop (no cursor thread) beside
    them; returns {sleep: {role: {'native': rates, 'instructions': per
    minute, 'strace': stats}}}."""
    with Tmux() as tmux:
        return measure_waiting_on(tmux, build, sleeps, seconds, work, modes)


def measure_waiting_on(tmux, build, sleeps, seconds, work, modes):
    program = os.path.join(build, "rousel")
    reference = os.path.join(build, "bench", "reference_waiter")
    now = datetime.datetime.now()
    alarm_hour = (now.hour + 12) % 24  # far away: it must not ring
    runs = {}
    for sleep in sleeps:
        roles = [("program", shell_quote(program)),
                 ("reference", f"{shell_quote(reference)} {sleep}")]
        if sleep == 500:
            roles.append(("loop", f"{shell_quote(reference)} {sleep} --no-thread"))
        for role, command in roles:
            for mode in modes:
                if role == "loop" and mode == "strace":
                    continue
                name = f"{role}-{sleep}-{mode}"
                out = os.path.join(work, f"{name}.out")
                full = "exec env LANG=C.UTF-8 " + (
                    callgrind_command(work, name, command) if mode == "callgrind" else command)
                pid = tmux.start(name, full)
                tmux.count_output(name, out)
                runs[(sleep, role, mode)] = {"name": name, "pid": pid, "out": out}
    slow = 60 if "callgrind" in modes else 10  # valgrind starts slowly on a busy machine
    for (sleep, role, mode), run in runs.items():
        if role != "program":
            continue
        name = run["name"]
        tmux.wait_for(name, "larm", timeout=slow)
        enter_alarm(tmux, name, alarm_hour, now.minute)
        if not tmux.wait_for(name, "Sleep time", timeout=slow):
            raise RuntimeError(f"{name}: no waiting screen:\n{tmux.screen(name)}")
        if sleep != 500:
            tmux.keys(name, SLEEP_KEY[sleep])
        if not tmux.wait_for(name, f"[{SLEEP_TEXT[sleep]}]", timeout=slow):
            raise RuntimeError(f"{name}: sleep time not {SLEEP_TEXT[sleep]}")
    time.sleep(1.0)  # the last key's pass, and the first redraw after it

    def snap(run):
        return process_snapshot(run["pid"]), os.path.getsize(run["out"])

    grind = [k for k in runs if k[2] == "callgrind"]
    zeroed = dict(zip(grind, in_parallel([(callgrind_zero, (runs[k]["pid"],)) for k in grind])))
    traced = {k: strace_attach(runs[k]["pid"], os.path.join(work, runs[k]["name"] + ".strace"))
              for k in runs if k[2] == "strace"}
    before = {k: snap(run) for k, run in runs.items() if k[2] == "native"}
    time.sleep(seconds)
    after = {k: snap(run) for k, run in runs.items() if k[2] == "native"}
    dumped = dict(zip(grind, in_parallel([(callgrind_dump, (runs[k]["pid"], work,
                                                            runs[k]["name"])) for k in grind])))
    results = {}
    for key, (process, started) in traced.items():
        stats = strace_detach(process, started, os.path.join(work, runs[key]["name"] + ".strace"))
        results.setdefault(key[0], {}).setdefault(key[1], {})["strace"] = stats
    for key in before:
        (b, bb), (a, ab) = before[key], after[key]
        results.setdefault(key[0], {}).setdefault(key[1], {})["native"] = \
            waiting_rates(b, a, bb, ab)
    for key in grind:
        when, total = dumped[key]
        results.setdefault(key[0], {}).setdefault(key[1], {})["instructions"] = \
            total * 60 / (when - zeroed[key])
    for run in runs.values():
        tmux.kill(run["name"])
    return results


def measure_redraw(build, seconds):
    tool = os.path.join(build, "bench", "rousel_redraw_bytes")
    out = subprocess.run([tool, "--seconds", str(seconds)], check=True, capture_output=True,
                         text=True, timeout=120).stdout
    return parse_redraw(out)


def parse_redraw(text):
    """'name sent text changed' lines -> {name: [(sent, text, changed), ...]}."""
    steps = {}
    for line in text.splitlines():
        name, sent, shown, changed = line.split()
        steps.setdefault(name, []).append((int(sent), int(shown), int(changed)))
    return steps


def analyse_tone(build, capture):
    tool = os.path.join(build, "bench", "rousel_tone_analyze")
    out = subprocess.run([tool, capture, str(SAMPLE_RATE)], check=True, capture_output=True,
                         text=True).stdout
    return parse_tone(out)


def parse_tone(text):
    """'name median min max stddev count' lines -> {name: {...}}."""
    figures = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 6:
            median, low, high, spread = (float(p) for p in parts[1:5])
            figures[parts[0]] = {"median": median, "min": low, "max": high, "stddev": spread,
                                 "count": int(parts[5])}
    return figures


def measure_ringing(build, seconds, work, modes):
    """The real program ringing into an ALSA file sink beside the minimal
    tone program (`reference_tone`) ringing into another, each natively and
    under callgrind at once: CPU, wake-ups and user instructions over
    `seconds`, then system calls over a few seconds more with strace
    attached to the native ones; the program's recording of the first
    window analysed for the rhythm.  The alarm is set to the current minute,
    so it rings at once."""
    with Tmux() as tmux:
        return measure_ringing_on(tmux, build, seconds, work, modes)


def ringing_command(build, role, capture):
    binary = {"program": os.path.join(build, "rousel"),
              "reference": os.path.join(build, "bench", "reference_tone")}[role]
    return (f"env LANG=C.UTF-8 ALSA_CONFIG_PATH={shell_quote(os.path.join(HERE, 'alsa.conf'))} "
            f"ROUSEL_BENCH_CAPTURE={shell_quote(capture)} ", shell_quote(binary))


def ring_when_ready(tmux, names, slow):
    """Sets the alarms of the program sessions `names` to the current minute
    once each shows its prompt, not across a change of minute."""
    for name in names:
        if not tmux.wait_for(name, "larm", timeout=slow):
            raise RuntimeError(f"{name}: no prompt:\n{tmux.screen(name)}")
    if datetime.datetime.now().second >= 50:
        time.sleep(61 - datetime.datetime.now().second)
    now = datetime.datetime.now()
    for name in names:
        enter_alarm(tmux, name, now.hour, now.minute)
    for name in names:
        if not tmux.wait_for(name, "sleepy head", timeout=slow):
            raise RuntimeError(f"{name}: the alarm did not ring:\n{tmux.screen(name)}")


def measure_ringing_on(tmux, build, seconds, work, modes):
    grind = "callgrind" in modes
    runs = {}
    for role in ("program", "reference"):
        for mode in ("native", "callgrind") if grind else ("native",):
            name = f"ringing-{role}-{mode}"
            capture = os.path.join(work, f"{name}.raw")
            env, binary = ringing_command(build, role, capture)
            command = callgrind_command(work, name, binary) if mode == "callgrind" else binary
            runs[(role, mode)] = {"name": name, "capture": capture,
                                  "pid": tmux.start(name, f"exec {env}{command}")}
    ring_when_ready(tmux, [run["name"] for (role, _), run in runs.items() if role == "program"],
                    60 if grind else 10)
    time.sleep(0.5)  # the first tone, the device opened
    native = {role: runs[(role, "native")] for role in ("program", "reference")}
    grinding = [key for key in runs if key[1] == "callgrind"]
    zeroed = dict(zip(grinding, in_parallel([(callgrind_zero, (runs[k]["pid"],))
                                             for k in grinding])))
    before = {role: process_snapshot(run["pid"]) for role, run in native.items()}
    time.sleep(seconds)
    after = {role: process_snapshot(run["pid"]) for role, run in native.items()}
    dumped = dict(zip(grinding, in_parallel([(callgrind_dump, (runs[k]["pid"], work,
                                                               runs[k]["name"]))
                                             for k in grinding])))
    recorded = os.path.getsize(native["program"]["capture"])
    results = {role: {"native": waiting_rates(before[role], after[role], 0, 0)}
               for role in native}
    for key in grinding:
        when, total = dumped[key]
        results[key[0]]["instructions"] = total * 60 / (when - zeroed[key])
    if "strace" in modes:
        logs = {role: os.path.join(work, f"ringing-{role}.strace") for role in native}
        traced = {role: strace_attach(run["pid"], logs[role]) for role, run in native.items()}
        time.sleep(min(seconds, 5.0))
        for role, (process, started) in traced.items():
            results[role]["strace"] = strace_detach(process, started, logs[role])
    for (role, _), run in runs.items():
        if role == "program":
            tmux.keys(run["name"], "Escape")
    time.sleep(0.3)
    for run in runs.values():
        tmux.kill(run["name"])
    results["tone"] = {}
    if recorded > 0:
        cut = os.path.join(work, "ringing-cut.raw")
        with open(native["program"]["capture"], "rb") as whole, open(cut, "wb") as part:
            part.write(whole.read(recorded))
        results["tone"] = analyse_tone(build, cut)
    return results


def pty_session(command, env=None):
    """Starts command on a new pseudo-terminal of 80x25; (pid, master fd)."""
    import fcntl
    import pty
    import struct
    import termios
    pid, fd = pty.fork()
    if pid == 0:
        os.environ.update({"TERM": "xterm-256color", "LANG": "C.UTF-8", **(env or {})})
        try:
            os.execv(command[0], command)
        finally:
            os._exit(127)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 25, 80, 0, 0))
    return pid, fd


def read_until(fd, wanted, timeout, answer=True):
    """Reads the terminal until `wanted` shows (True) or the time is up.
    Answers the device attributes query (DA1) as every terminal does, so
    that a start-up that asks the terminal is timed as a user sees it;
    with answer False it is a terminal that never answers."""
    import select
    seen, deadline, answered = b"", time.monotonic() + timeout, not answer
    while wanted not in seen:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return False
        try:
            seen += os.read(fd, 65536)
        except OSError:
            return False
        if not answered and b"\x1b[c" in seen:
            os.write(fd, b"\x1b[?62;22c")
            answered = True
    return True


def first_output(fd, timeout):
    """Seconds until the terminal receives anything, and what it got."""
    import select
    started = time.monotonic()
    if not select.select([fd], [], [], timeout)[0]:
        return None
    os.read(fd, 65536)
    return time.monotonic() - started


def drain(fd, quiet):
    """Reads until nothing has come for `quiet` seconds."""
    import select
    while select.select([fd], [], [], quiet)[0]:
        try:
            os.read(fd, 65536)
        except OSError:
            return


def end_session(pid, fd):
    import signal
    try:
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and os.waitpid(pid, os.WNOHANG)[0] == 0:
            drain(fd, 0.05)
        if os.waitpid(pid, os.WNOHANG)[0] == 0:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    except ChildProcessError:
        pass
    os.close(fd)


def valgrind_callgrind(work, name):
    return [shutil.which("valgrind") or "valgrind", "-q", "--tool=callgrind", "--dump-instr=no",
            f"--callgrind-out-file={os.path.join(work, 'cg-' + name)}"]


PROMPT_COMMANDS = {"program": ["rousel"], "reference": ["bench", "reference_echo"]}


def measure_prompt(build, count, work, grind):
    """Exec to the first screen (its prompt, "alarm time") on a terminal that
    answers the start-up's query and on one that never answers, and key to
    echo, program against `reference_echo`: medians in ms over `count`
    starts and `count` keys each.  The keys alternate a digit and
    Backspace, so the time field never fills.  With grind, the user
    instructions from exec to the prompt under callgrind, and how many of
    them the dynamic loader ran."""
    results = {}
    for role, parts in PROMPT_COMMANDS.items():
        command = [os.path.join(build, *parts)]
        result = results[role] = {}
        for answer, key in ((True, "exec_ms"), (False, "exec_silent_ms")):
            starts = []
            for _ in range(count):
                started = time.monotonic()
                pid, fd = pty_session(command)
                if read_until(fd, b"alarm time", 10, answer):
                    starts.append((time.monotonic() - started) * 1000)
                end_session(pid, fd)
            result[key] = statistics.median(starts) if starts else None
        echoes = []
        pid, fd = pty_session(command)
        if read_until(fd, b"alarm time", 10):
            drain(fd, 0.3)
            for i in range(count):
                os.write(fd, b"1" if i % 2 == 0 or role == "reference" else b"\x7f")
                took = first_output(fd, 2.0)
                if took is not None:
                    echoes.append(took * 1000)
                drain(fd, 0.05)
        end_session(pid, fd)
        result["echo_ms"] = statistics.median(echoes) if echoes else None
        if grind:
            name = f"start-{role}"
            pid, fd = pty_session(valgrind_callgrind(work, name) + command)
            if read_until(fd, b"alarm time", 60):
                subprocess.run(["callgrind_control", "-d", str(pid)], check=True,
                               capture_output=True, timeout=120)
                objects = callgrind_objects(read_file(os.path.join(work, f"cg-{name}.1")))
                result["instructions"] = sum(objects.values())
                result["loader"] = loader_share(objects)
                result["own"] = objects.get(os.path.realpath(command[0]), 0)
            end_session(pid, fd)
    return results


# --- Private memory, each program alone -----------------------------------------

# The C and C++ runtime libraries and the loader: the system's other
# programs map them too, so their unmodified pages are no one program's
# cost (the pages a program's relocations wrote are, and count).
SYSTEM_WIDE = ("libc.so", "libm.so", "libpthread.so", "libdl.so", "librt.so", "libstdc++.so",
               "libgcc_s.so", "ld-linux", "ld.so", "ld64.so")


def smaps_groups(pid, program, proc="/proc"):
    """The memory (KiB) one copy of a program costs, with no other copy
    running, by what holds it: the program's own file (code and
    constants), the libraries' files (their code, and the data their
    relocations wrote), the heap, and the other anonymous memory (thread
    stacks, the libraries' zeroed data).  Every page it has resident counts
    (Rss), except the unmodified pages of the runtime libraries, the loader
    and the locale files (SYSTEM_WIDE), which the system's other programs
    map too; of those only the pages it wrote count (Private_Dirty).  Rss
    rather than Private_Clean: whether another program happens to map the
    same pages of a library that only this one needs (the sound library)
    must not change the figure."""
    groups = {"program": 0, "libraries": 0, "heap": 0, "anonymous": 0}
    group, field = None, "Rss:"
    for line in read_file(os.path.join(proc, str(pid), "smaps")).splitlines():
        fields = line.split()
        if not fields:
            continue
        if re.match(r"[0-9a-f]+-[0-9a-f]+$", fields[0]):
            name = fields[5] if len(fields) > 5 else ""
            field = "Rss:"
            if name == program:
                group = "program"
            elif name.startswith("/"):
                group = "libraries"
                if (os.path.basename(name).startswith(SYSTEM_WIDE)
                        or name.startswith("/usr/lib/locale/")):
                    field = "Private_Dirty:"
            elif name == "[heap]":
                group = "heap"
            elif name in ("[vdso]", "[vvar]", "[vsyscall]"):
                group = None
            else:
                group = "anonymous"
        elif group and fields[0] == field:
            groups[group] += int(fields[1])
    return groups


def groups_note(groups):
    return ", ".join(f"{name} {kib}" for name, kib in groups.items())


def measure_alone(build, settle, ringing):
    """Private memory of each program with no other copy of it running, one
    after the other, each on a tmux server of its own: the program waiting
    (0.5 s) beside `reference_waiter`, the least poll loop and tty-clock
    (where installed), and ringing beside `reference_tone`; counted as
    `smaps_groups` says."""
    program = os.path.realpath(os.path.join(build, "rousel"))
    waiter = os.path.realpath(os.path.join(build, "bench", "reference_waiter"))
    tone = os.path.realpath(os.path.join(build, "bench", "reference_tone"))
    clock = shutil.which("tty-clock")
    entries = [("waiting", program, shell_quote(program), "waiting"),
               ("reference", waiter, f"{shell_quote(waiter)} 500", None),
               ("loop", waiter, f"{shell_quote(waiter)} 500 --no-thread", None)]
    if clock:
        entries.append(("tty-clock", os.path.realpath(clock), f"{shell_quote(clock)} -s", None))
    if ringing:
        env, _ = ringing_command(build, "program", "/dev/null")
        entries += [("ringing", program, env + shell_quote(program), "ringing"),
                    ("tone", tone, env + shell_quote(tone), None)]
    results = {}
    for role, binary, command, phase in entries:
        # Twice: the first run names the files the program maps, which are
        # then read whole into the page cache, so that the second finds
        # every page of them cached.  The kernel maps the cached pages
        # around each one a process touches (64 KiB at a time), so how much
        # of a file is resident depends on what is cached: warm, it is the
        # same from run to run.
        for measured in (False, True):
            with Tmux() as tmux:
                pid = tmux.start(role, f"exec env LANG=C.UTF-8 {command}")
                if phase == "waiting":
                    now = datetime.datetime.now()
                    if not tmux.wait_for(role, "larm"):
                        raise RuntimeError(f"{role}: no prompt:\n{tmux.screen(role)}")
                    enter_alarm(tmux, role, (now.hour + 12) % 24, now.minute)
                    if not tmux.wait_for(role, "Sleep time"):
                        raise RuntimeError(f"{role}: no waiting screen:\n{tmux.screen(role)}")
                elif phase == "ringing":
                    ring_when_ready(tmux, [role], 10)
                time.sleep(settle)
                if measured:
                    results[role] = smaps_groups(pid, binary)
                else:
                    warm_files(pid)
                if phase == "ringing":
                    tmux.keys(role, "Escape")
                tmux.kill(role)
    return results


def warm_files(pid, proc="/proc"):
    """Reads every file a process maps, whole, into the page cache."""
    paths = set()
    for line in read_file(os.path.join(proc, str(pid), "maps")).splitlines():
        fields = line.split()
        if len(fields) > 5 and fields[5].startswith("/"):
            paths.add(fields[5])
    for path in paths:
        try:
            with open(path, "rb") as f:
                while f.read(1 << 20):
                    pass
        except OSError:
            continue


# --- Keys in a flood, and a terminal that stalls, on pseudo-terminals of our own ---

def pty_waiting(command, slow):
    """Starts the program on a pseudo-terminal of its own and takes it to its
    waiting screen (0.5 s, an alarm far away); (pid, master fd)."""
    pid, fd = pty_session(command)
    if not read_until(fd, b"alarm time", slow):
        end_session(pid, fd)
        raise RuntimeError(f"{command[-1]}: no prompt")
    now = datetime.datetime.now()
    os.write(fd, f"{(now.hour + 12) % 24:02d}{now.minute:02d}\r".encode())
    drain(fd, 0.5)
    os.write(fd, b"\r")
    if not read_until(fd, b"Sleep", slow):
        end_session(pid, fd)
        raise RuntimeError(f"{command[-1]}: no waiting screen")
    return pid, fd


def read_for(fd, seconds):
    """Reads what the program sends for `seconds`, so that its writes never
    wait; False once the terminal is gone."""
    import select
    deadline = time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0:
        if select.select([fd], [], [], left)[0]:
            try:
                os.read(fd, 65536)
            except OSError:
                return False
    return True


class Flood:
    """Types `keys` into a terminal every `every` seconds on a thread of its
    own, reading what the program sends meanwhile so that its writes never
    wait.  A key the waiting screen ignores ('x')."""

    def __init__(self, fd, burst, every):
        import threading
        self.fd, self.keys, self.every = fd, b"x" * burst, every
        self.writes = self.sent = 0
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        due = time.monotonic()
        while not self.stopped.is_set():
            try:
                os.write(self.fd, self.keys)
            except OSError:
                return
            self.writes += 1
            self.sent += len(self.keys)
            due += self.every
            if not read_for(self.fd, due - time.monotonic()):
                return

    def start(self):
        self.thread.start()

    def stop(self):
        self.stopped.set()
        self.thread.join()


FLOODS = {"one key a write": (1, 0.001), "8 keys a write": (8, 0.008)}


def measure_flood(build, seconds, work, modes):
    """About 1,000 keys a second typed into the waiting program and into
    `reference_waiter` (which reads and drops them), natively and under
    callgrind at once: wake-ups per write, and user instructions per key,
    one key a write (every key its own arrival) and eight a write."""
    grind = "callgrind" in modes
    commands = {"program": [os.path.join(build, "rousel")],
                "reference": [os.path.join(build, "bench", "reference_waiter"), "500"]}
    sessions = {}
    try:
        for role, command in commands.items():
            for mode in ("native", "callgrind") if grind else ("native",):
                name = f"flood-{role}-{mode}"
                full = (valgrind_callgrind(work, name) if mode == "callgrind" else []) + command
                if role == "program":
                    pid, fd = pty_waiting(full, 60 if mode == "callgrind" else 10)
                else:
                    pid, fd = pty_session(full)
                sessions[(role, mode)] = {"name": name, "pid": pid, "fd": fd}
        time.sleep(1.0)
        results = {}
        for flood, (burst, every) in FLOODS.items():
            for session in sessions.values():
                drain(session["fd"], 0.05)
            grinding = [k for k in sessions if k[1] == "callgrind"]
            zeroed = dict(zip(grinding, in_parallel([(callgrind_zero, (sessions[k]["pid"],))
                                                     for k in grinding])))
            floods = {k: Flood(session["fd"], burst, every) for k, session in sessions.items()}
            before = {k: process_snapshot(sessions[k]["pid"]) for k in sessions
                      if k[1] == "native"}
            for f in floods.values():
                f.start()
            time.sleep(seconds)
            for f in floods.values():
                f.stop()
            after = {k: process_snapshot(sessions[k]["pid"]) for k in before}
            time.sleep(1.2)  # the keys of the last pass are handled
            dumped = dict(zip(grinding, in_parallel([(callgrind_dump, (
                sessions[k]["pid"], work, sessions[k]["name"])) for k in grinding])))
            for (role, mode), f in floods.items():
                entry = results.setdefault(flood, {}).setdefault(role, {})
                if mode == "native":
                    entry["keys_per_s"] = f.sent / (after[(role, mode)]["time"]
                                                    - before[(role, mode)]["time"])
                    entry["wakeups_per_write"] = (after[(role, mode)]["switches"]
                                                  - before[(role, mode)]["switches"]) / f.writes
                else:
                    entry["instructions_per_key"] = dumped[(role, mode)][1] / f.sent
        return results
    finally:
        for session in sessions.values():
            end_session(session["pid"], session["fd"])


class Drainer:
    """Reads a terminal on a thread of its own, as a terminal that keeps up."""

    def __init__(self, fd):
        import threading
        self.fd = fd
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopped.is_set():
            if not read_for(self.fd, 0.1):
                return

    def stop(self):
        self.stopped.set()
        self.thread.join()


def measure_stall(build, seconds, stall, work, with_strace):
    """The waiting program (0.5 s) over `seconds` before and after its
    terminal stopped taking output for `stall` seconds (XOFF, as Scroll Lock
    or a stalled link does): wake-ups, threads and, with strace attached to
    a second copy, futex calls a second.  Once the terminal has taken
    everything again, nothing should cost more than before."""
    import termios
    command = [os.path.join(build, "rousel")]
    copies = {"native": pty_waiting(command, 10)}
    if with_strace:
        copies["strace"] = pty_waiting(command, 10)
    drainers = {mode: Drainer(fd) for mode, (_, fd) in copies.items()}
    slaves = {mode: os.open(os.readlink(f"/proc/{pid}/fd/0"), os.O_RDWR | os.O_NOCTTY)
              for mode, (pid, _) in copies.items()}
    results = {}
    try:
        time.sleep(1.0)
        for window in ("before", "after"):
            if window == "after":
                for slave in slaves.values():
                    termios.tcflow(slave, termios.TCOOFF)
                time.sleep(stall)
                for slave in slaves.values():
                    termios.tcflow(slave, termios.TCOON)
                time.sleep(1.5)  # the writer thread catches up
            traced = None
            if with_strace:
                log = os.path.join(work, f"stall-{window}.strace")
                traced = (strace_attach(copies["strace"][0], log), log)
            first = process_snapshot(copies["native"][0])
            time.sleep(seconds)
            last = process_snapshot(copies["native"][0])
            entry = results[window] = waiting_rates(first, last, 0, 0)
            if traced:
                (process, started), log = traced
                stats = strace_detach(process, started, log)
                entry["futex_per_s"] = stats["calls"].get("futex", 0) / stats["seconds"]
    finally:
        for drainer in drainers.values():
            drainer.stop()
        for slave in slaves.values():
            os.close(slave)
        for pid, fd in copies.values():
            end_session(pid, fd)
    return results


def measure_micro(build, min_time, work):
    tool = os.path.join(build, "bench", "rousel_bench_micro")
    if not os.path.exists(tool):
        return {}
    out = os.path.join(work, "micro.json")
    subprocess.run([tool, f"--benchmark_min_time={min_time}", f"--benchmark_out={out}",
                    "--benchmark_out_format=json"], check=True, capture_output=True,
                   timeout=600)
    with open(out, encoding="utf-8") as f:
        return parse_micro(json.load(f))


def parse_micro(report):
    """Google Benchmark JSON -> {name: CPU ns per iteration (per item for
    the benchmarks that count items)}.  CPU time, of all the process's
    threads: on a shared machine the wall-clock time mostly measures the
    neighbours."""
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    results = {}
    for b in report.get("benchmarks", []):
        if b.get("run_type", "iteration") != "iteration":
            continue
        name = b["name"].removeprefix("BM_")
        if "items_per_second" in b and b["items_per_second"] > 0:
            results[name] = 1e9 / b["items_per_second"]
        else:
            results[name] = b["cpu_time"] * scale[b.get("time_unit", "ns")]
    return results


# --- Putting it together ----------------------------------------------------------

def per_minute_or_none(entry, key):
    return entry.get(key) if entry else None


def waiting_figures(waiting):
    figures = []
    for sleep, pair in sorted(waiting.items()):
        p, r = pair["program"], pair["reference"]
        label = f"waiting {SLEEP_TEXT[sleep]}"
        pn, rn = p.get("native"), r.get("native")
        figures += [
            Figure(f"{label}: user instructions", "/min", p.get("instructions"),
                   r.get("instructions"), "ratio", 3.0),
            Figure(f"{label}: wake-ups", "/s", pn["wakeups_per_s"], rn["wakeups_per_s"],
                   "ratio", 1.05),
            Figure(f"{label}: CPU", "ms/min", pn["cpu_ms_per_min"], rn["cpu_ms_per_min"]),
            Figure(f"{label}: terminal bytes", "B/s", pn["bytes_per_s"], rn["bytes_per_s"],
                   "ratio", 1.2),
        ]
        ps, rs = p.get("strace"), r.get("strace")
        if ps and rs:
            # The reference writes once per redraw, on the same schedule.
            redraws = rs["writes"] * ps["seconds"] / rs["seconds"]
            per_redraw = [
                # At 30 s a minute holds two redraws: the count is no ratio to judge.
                Figure(f"{label}: write() calls per redraw", "", ps["writes"] / redraws
                       if redraws else None, 1.0, "ratio" if sleep < 1000 else "info", 1.05),
                Figure(f"{label}: bytes per redraw", "B", ps["write_bytes"] / redraws
                       if redraws else None, rs["write_bytes"] / rs["writes"]
                       if rs["writes"] else None),
            ]
            if not redraws:
                skip_all(per_redraw, "no redraw in the window")
            figures += [
                Figure(f"{label}: syscalls", "/s", sum(ps["calls"].values()) / ps["seconds"],
                       sum(rs["calls"].values()) / rs["seconds"]),
            ] + per_redraw
        loop = pair.get("loop")
        if loop:
            # The same passes without the console layer's cursor thread: the
            # part of the cost that is the design's, not the code's.
            figures += [
                Figure(f"{label} beside the least poll loop: user instructions", "/min",
                       p.get("instructions"), loop.get("instructions")),
                Figure(f"{label} beside the least poll loop: wake-ups", "/s",
                       pn["wakeups_per_s"], loop["native"]["wakeups_per_s"]),
            ]
    return figures


def ringing_cost_figures(ringing):
    p, r = ringing.get("program", {}), ringing.get("reference", {})
    pn, rn = p.get("native"), r.get("native")
    ps, rs = p.get("strace"), r.get("strace")

    def rate(stats):
        return sum(stats["calls"].values()) / stats["seconds"] if stats else None

    return [
        Figure("ringing: user instructions", "/min", p.get("instructions"),
               r.get("instructions"), "ratio", 3.0),
        Figure("ringing: CPU", "ms/min", pn and pn["cpu_ms_per_min"],
               rn and rn["cpu_ms_per_min"], "ratio", 3.0),
        Figure("ringing: wake-ups", "/s", pn and pn["wakeups_per_s"],
               rn and rn["wakeups_per_s"], "below", 40),
        Figure("ringing: syscalls", "/s", rate(ps), rate(rs), "below", 120),
    ]


def prompt_figures(prompt):
    p, r = prompt.get("program", {}), prompt.get("reference", {})
    loader, own = p.get("loader"), p.get("own")
    return [
        Figure("exec to first screen, terminal answers (median)", "ms", p.get("exec_ms"),
               r.get("exec_ms")),
        Figure("exec to first screen, terminal silent (median)", "ms", p.get("exec_silent_ms"),
               r.get("exec_silent_ms")),
        Figure("exec to first screen: user instructions", "", p.get("instructions"),
               r.get("instructions"),
               note=f"dynamic loader {loader}, the program's own code {own}, the libraries "
                    f"{p['instructions'] - loader - own}" if loader is not None else ""),
        Figure("key to echo (median of keys)", "ms", p.get("echo_ms"), r.get("echo_ms")),
    ]


def alone_figures(alone):
    """Memory of each program alone against its references."""
    def total(role):
        groups = alone.get(role)
        return sum(groups.values()) if groups else None

    def note(role):
        return groups_note(alone[role]) if alone.get(role) else ""

    figures = [
        Figure("waiting alone: memory", "KiB", total("waiting"), total("reference"),
               note=note("waiting")),
        Figure("waiting alone: memory beside the least poll loop", "KiB",
               total("waiting"), total("loop")),
        Figure("waiting alone: memory beside tty-clock", "KiB", total("waiting"),
               total("tty-clock")),
        Figure("ringing alone: memory", "KiB", total("ringing"), total("tone"), "ratio",
               1.5, note=note("ringing")),
    ]
    if alone and "tty-clock" not in alone:
        skip_all(figures[2:3], "tty-clock not installed")
    return figures


def flood_figures(flood):
    figures = []
    for name in FLOODS:
        p = flood.get(name, {}).get("program", {})
        r = flood.get(name, {}).get("reference", {})
        keys = p.get("keys_per_s")
        figures += [
            Figure(f"key flood, {name}: user instructions per key", "",
                   p.get("instructions_per_key"), r.get("instructions_per_key"),
                   note=f"{keys:.0f} keys/s" if keys else ""),
            Figure(f"key flood, {name}: wake-ups per write", "", p.get("wakeups_per_write"),
                   r.get("wakeups_per_write")),
        ]
    return figures


def stall_figures(stall):
    before, after = stall.get("before", {}), stall.get("after", {})
    return [
        Figure("after a stalled terminal: wake-ups (voluntary, beside before it)", "/s",
               after.get("voluntary_per_s"), before.get("voluntary_per_s"), "ratio", 1.05),
        Figure("after a stalled terminal: futex calls (beside before it)", "/s",
               after.get("futex_per_s"), before.get("futex_per_s"), "ratio", 1.1),
        Figure("after a stalled terminal: threads (beside before it)", "",
               after.get("threads"), before.get("threads")),
    ]


def combine(runs):
    """Figures of several runs, by name -> one figure each: the medians of
    the measured values and of the references, the runs' range in the note,
    passing only when every run passes."""
    combined = []
    for figures in zip(*runs):
        first = figures[0]
        values = [f.measured for f in figures if f.measured is not None]
        refs = [f.reference for f in figures if f.reference is not None]
        f = Figure(first.name, first.unit, statistics.median(values) if values else None,
                   statistics.median(refs) if refs else first.reference, first.kind,
                   first.limit, first.nominal)
        f.skipped = first.skipped
        if len(figures) > 1:
            f.runs = list(figures)
            notes = []
            if len(values) > 1:
                notes.append(f"{number(min(values))}..{number(max(values))}")
            if len(refs) > 1 and min(refs) != max(refs):
                notes.append(f"ref {number(min(refs))}..{number(max(refs))}")
            if figures[-1].note:
                notes.append(f"last run: {figures[-1].note}")
            f.note = ", ".join(notes)
        else:
            f.note = first.note
        combined.append(f)
    return combined


def redraw_figures(steps):
    """Bytes sent per step against the bytes of the text it writes."""
    figures = []
    seconds = steps.get("second", [])
    if seconds:
        worst = max(seconds)
        figures.append(Figure(
            "redraw of one second (worst)", "B", float(worst[0]), float(worst[1]), "below", 40,
            note=f"mean {statistics.mean(s for s, _, _ in seconds):.1f} B, "
                 f"{max(c for _, _, c in seconds)} cells changed at most"))
    else:
        figures.append(Figure("redraw of one second (worst)", "B", None, None, "below", 40))
    for name, label in (("first-second", "first redraw of the times"),
                        ("DrawStatusScreen", "DrawStatusScreen on a blank screen"),
                        ("ClrScr", "ClrScr of the waiting screen")):
        entries = steps.get(name, [])
        if entries:
            sent, text, changed = entries[0]
            figures.append(Figure(label, "B", float(sent), float(text),
                                  note=f"{changed} cells changed"))
        else:
            figures.append(Figure(label, "B", None))
    return figures


def ringing_figures(tone):
    period, length, pitch = (tone.get(k) for k in ("period_ms", "tone_ms", "frequency_hz"))

    def spread(entry):
        return f"{entry['min']:.2f}..{entry['max']:.2f}, sd {entry['stddev']:.2f}, n {entry['count']}"

    return [
        Figure("ringing: period (median)", "ms", period and period["median"], 150.0, "near", 0.5,
               150, note=spread(period) if period else ""),
        Figure("ringing: tone length (median)", "ms", length and length["median"], 100.0,
               "near", 0.5, 100, note=spread(length) if length else ""),
        Figure("ringing: frequency (median)", "Hz", pitch and pitch["median"], 2000.0, "near",
               5, 2000, note=spread(pitch) if pitch else ""),
    ]


def micro_figures(micro):
    names = ["ConsoleWriteChangedLine", "ConsoleWriteSameLine", "ShowTimes",
             "DrawStatusScreen", "FormatFixed", "FormatInteger", "KeyDecoderPerByte"]
    return [Figure(f"micro: {n}" + (" (per byte)" if n == "KeyDecoderPerByte" else ""), "ns",
                   micro.get(n)) for n in names]


def skip_all(figures, why):
    for f in figures:
        f.skipped, f.note = True, why
    return figures


def cache_has(build, prefix):
    """Whether the build's CMake cache holds an entry starting with prefix
    whose value is a path (a package CMake found)."""
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
            return any(line.startswith(prefix) and "=/" in line for line in f)
    except OSError:
        return False


def sanitized(build):
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
            return any(line.startswith("ROUSEL_SANITIZE:BOOL=ON") for line in f)
    except OSError:
        return False


def one_run(build, args, seconds, modes, work, number_of_run):
    """Every figure that changes from run to run, measured once."""
    figures = []
    quick = args.quick
    grind = "callgrind" in modes
    sleeps = [100, 500, 30000]
    print(f"Run {number_of_run}: waiting, {len(sleeps)} sleep times, program and reference "
          f"side by side ({', '.join(modes)}), {seconds:g} s ...", flush=True)
    waiting = waiting_figures(measure_waiting(build, sleeps, seconds, work, modes))
    if not grind:
        skip_all([f for f in waiting if "instructions" in f.name], "no callgrind here")
    if "strace" not in modes:
        # The figures are not there at all: the table keeps its rows.
        waiting += skip_all([Figure(f"waiting {SLEEP_TEXT[s]}: {n}", "") for s in sleeps
                             for n in ("syscalls", "write() calls per redraw",
                                       "bytes per redraw")], "strace not installed")
    figures += waiting
    print(f"Run {number_of_run}: ringing ...", flush=True)
    alsa = cache_has(build, "ALSA_LIBRARY:") and os.path.exists(
        os.path.join(build, "bench", "reference_tone"))
    if alsa:
        ringing = measure_ringing(build, 2.0 if quick else 10.0, work, modes)
        cost = ringing_cost_figures(ringing)
        if "strace" not in modes:
            skip_all([f for f in cost if "syscalls" in f.name], "strace not installed")
        if not grind:
            skip_all([f for f in cost if "instructions" in f.name], "no callgrind here")
        figures += cost + ringing_figures(ringing["tone"])
    else:
        figures += skip_all(ringing_cost_figures({}) + ringing_figures({}),
                            "build without ALSA")
    print(f"Run {number_of_run}: private memory, each program alone ...", flush=True)
    alone = alone_figures(measure_alone(build, 1.0 if quick else 3.0, alsa))
    if not alsa:
        skip_all([f for f in alone if f.name.startswith("ringing")], "build without ALSA")
    figures += alone
    print(f"Run {number_of_run}: key floods ...", flush=True)
    flood = flood_figures(measure_flood(build, 2.0 if quick else 10.0, work, modes))
    if not grind:
        skip_all([f for f in flood if "instructions" in f.name], "no callgrind here")
    figures += flood
    print(f"Run {number_of_run}: a terminal that stalls ...", flush=True)
    stall = stall_figures(measure_stall(build, 3.0 if quick else 15.0, 2.0 if quick else 3.0,
                                        work, "strace" in modes))
    if "strace" not in modes:
        skip_all([f for f in stall if "futex" in f.name], "strace not installed")
    figures += stall
    print(f"Run {number_of_run}: exec to first screen, key to echo ...", flush=True)
    prompt = prompt_figures(measure_prompt(build, 3 if quick else 15, work, grind))
    if not grind:
        skip_all([f for f in prompt if "instructions" in f.name], "no callgrind here")
    figures += prompt
    return figures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--quick", action="store_true",
                        help="one short run; checks only that all figures are produced")
    parser.add_argument("--seconds", type=float, default=60.0,
                        help="length of each waiting measurement")
    parser.add_argument("--runs", type=int, default=3, help="runs of a full measurement")
    parser.add_argument("--readme", action="store_true",
                        help="write the table into bench/README.md")
    args = parser.parse_args(argv)

    build = os.path.abspath(args.build_dir)
    seconds = 3.0 if args.quick else args.seconds
    runs = 1 if args.quick else args.runs
    # Instructions under callgrind, which cannot run a sanitizer build and
    # would make the quick run slow.
    modes = ["native"]
    if not args.quick and shutil.which("valgrind") and not sanitized(build):
        modes.append("callgrind")
    if shutil.which("strace"):
        modes.append("strace")
    work = tempfile.mkdtemp(prefix="rousel-bench-")
    figures = []
    load = os.getloadavg()
    try:
        per_run = [one_run(build, args, seconds, modes, work, n + 1) for n in range(runs)]
        figures += combine(per_run)
        # The same every run: measured once.
        print("Redraw bytes ...", flush=True)
        figures += redraw_figures(measure_redraw(build, 5 if args.quick else 90))
        print("Micro benchmarks ...", flush=True)
        if os.path.exists(os.path.join(build, "bench", "rousel_bench_micro")):
            figures += micro_figures(measure_micro(build, 0.01 if args.quick else 0.5, work))
        else:
            figures += skip_all(micro_figures({}), "not built: no Google Benchmark")
    finally:
        shutil.rmtree(work, ignore_errors=True)

    block = (f"Machine: {machine()}, load average {load[0]:.2f} at the start; "
             f"{runs} run{'s' if runs > 1 else ''}, each figure the median (range)."
             + (" Quick run: nothing judged." if args.quick else "")
             + f"\n\n{table(figures, judge=not args.quick)}\n")
    print()
    print(block)
    if args.readme and not args.quick:
        with open(README, encoding="utf-8") as f:
            text = f.read()
        with open(README, "w", encoding="utf-8") as f:
            f.write(replace_results(text, block))
    if missing(figures):
        print("Missing figures: " + ", ".join(missing(figures)), file=sys.stderr)
        return 1
    if not args.quick and failed(figures):
        print("Targets missed: " + ", ".join(failed(figures)), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
