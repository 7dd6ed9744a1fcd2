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
    """CPU (ns on the CPU from schedstat, and clock ticks), voluntary context
    switches and threads of every thread of a process, and its peak RSS."""
    cpu_ns = ticks = switches = threads = 0
    task_dir = os.path.join(proc, str(pid), "task")
    for tid in os.listdir(task_dir):
        base = os.path.join(task_dir, tid)
        try:
            cpu_ns += int(read_file(os.path.join(base, "schedstat")).split()[0])
            ticks += stat_ticks(read_file(os.path.join(base, "stat")))
            switches += int(status_fields(read_file(os.path.join(base, "status")))
                            ["voluntary_ctxt_switches"])
            threads += 1
        except (FileNotFoundError, ProcessLookupError):
            continue  # a thread that ended meanwhile
    status = status_fields(read_file(os.path.join(proc, str(pid), "status")))
    return {"time": time.monotonic(), "cpu_ns": cpu_ns, "ticks": ticks,
            "switches": switches, "threads": threads,
            "hwm_kb": kilobytes(status.get("VmHWM", "0 kB"))}


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
        "bytes_per_s": (bytes_after - bytes_before) / seconds,
        "hwm_kb": after["hwm_kb"],
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

    def ratio(self):
        if self.measured is None or not self.reference:
            return None
        return self.measured / self.reference

    def passed(self):
        """True or False against the target; None without one, or without
        the numbers to judge."""
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

class Tmux:
    """A tmux server of our own on a private socket, 80x25 panes."""

    def __init__(self):
        self.socket = f"rousel-bench-{os.getpid()}"
        self.env = dict(os.environ)
        self.env.pop("TMUX", None)
        self.env.setdefault("TERM", "xterm-256color")

    def run(self, *args, check=True):
        return subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", *args],
                              env=self.env, check=check, capture_output=True, text=True)

    def start(self, name, command):
        self.run("new-session", "-d", "-x", "80", "-y", "25", "-s", name, command)
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

def measure_waiting(tmux, build, sleeps, seconds, work):
    """The program and the reference side by side, one pair per sleep time,
    all at once; returns {sleep: {'program': rates, 'reference': rates}}."""
    program = os.path.join(build, "rousel")
    reference = os.path.join(build, "bench", "reference_waiter")
    now = datetime.datetime.now()
    alarm_hour = (now.hour + 12) % 24  # far away: it must not ring
    runs = {}
    for sleep in sleeps:
        for role, command in (("program", f"exec env LANG=C.UTF-8 {shell_quote(program)}"),
                              ("reference", f"exec {shell_quote(reference)} {sleep}")):
            name = f"{role}-{sleep}"
            out = os.path.join(work, f"{name}.out")
            pid = tmux.start(name, command)
            tmux.count_output(name, out)
            runs[(sleep, role)] = {"name": name, "pid": pid, "out": out}
    for sleep in sleeps:
        name = runs[(sleep, "program")]["name"]
        enter_alarm(tmux, name, alarm_hour, now.minute)
        if not tmux.wait_for(name, "Sleep time"):
            raise RuntimeError(f"{name}: no waiting screen:\n{tmux.screen(name)}")
        if sleep != 500:
            tmux.keys(name, SLEEP_KEY[sleep])
        if not tmux.wait_for(name, f"[{SLEEP_TEXT[sleep]}]"):
            raise RuntimeError(f"{name}: sleep time not {SLEEP_TEXT[sleep]}")
    time.sleep(1.0)  # the last key's pass, and the first redraw after it

    def snap(run):
        return process_snapshot(run["pid"]), os.path.getsize(run["out"])

    before = {key: snap(run) for key, run in runs.items()}
    time.sleep(seconds)
    after = {key: snap(run) for key, run in runs.items()}
    results = {}
    for (sleep, role) in runs:
        (b, bb), (a, ab) = before[(sleep, role)], after[(sleep, role)]
        results.setdefault(sleep, {})[role] = waiting_rates(b, a, bb, ab)
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


def measure_ringing(tmux, build, passes, work):
    """The real program ringing into an ALSA file sink; the recording
    analysed.  The alarm is set to the current minute, so it rings at once."""
    capture = os.path.join(work, "ringing.raw")
    program = os.path.join(build, "rousel")
    if datetime.datetime.now().second >= 55:
        time.sleep(61 - datetime.datetime.now().second)  # not across a minute
    now = datetime.datetime.now()
    command = (f"exec env LANG=C.UTF-8 ALSA_CONFIG_PATH={shell_quote(os.path.join(HERE, 'alsa.conf'))}"
               f" ROUSEL_BENCH_CAPTURE={shell_quote(capture)} {shell_quote(program)}")
    tmux.start("ringing", command)
    enter_alarm(tmux, "ringing", now.hour, now.minute)
    if not tmux.wait_for("ringing", "sleepy head"):
        raise RuntimeError("the alarm did not ring:\n" + tmux.screen("ringing"))
    # Each pass is 150 ms; two passes more for the start and the cut end.
    time.sleep((passes + 2) * 0.150 + 0.5)
    tmux.keys("ringing", "Escape")
    time.sleep(0.3)
    tmux.kill("ringing")
    if not os.path.exists(capture) or os.path.getsize(capture) == 0:
        return {}
    return analyse_tone(build, capture)


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

def waiting_figures(waiting):
    figures = []
    for sleep, pair in sorted(waiting.items()):
        p, r = pair["program"], pair["reference"]
        label = f"waiting {SLEEP_TEXT[sleep]}"
        figures += [
            Figure(f"{label}: CPU", "ms/min", p["cpu_ms_per_min"], r["cpu_ms_per_min"],
                   "ratio", 1.5),
            Figure(f"{label}: wake-ups", "/s", p["wakeups_per_s"], r["wakeups_per_s"],
                   "ratio", 1.1),
            Figure(f"{label}: terminal bytes", "B/s", p["bytes_per_s"], r["bytes_per_s"],
                   "ratio", 1.2),
        ]
    if waiting:
        peak = max(pair["program"]["hwm_kb"] for pair in waiting.values()) / 1024
        ref_peak = max(pair["reference"]["hwm_kb"] for pair in waiting.values()) / 1024
        figures.append(Figure("waiting: peak RSS (VmHWM)", "MiB", peak, ref_peak, "below", 4.0))
    return figures


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
        Figure("ringing: period (median)", "ms", period and period["median"], 150.0, "near", 3,
               150, note=spread(period) if period else ""),
        Figure("ringing: tone length (median)", "ms", length and length["median"], 100.0,
               "near", 2, 100, note=spread(length) if length else ""),
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--quick", action="store_true",
                        help="a few seconds per figure; checks only that all are produced")
    parser.add_argument("--seconds", type=float, default=60.0,
                        help="length of each waiting measurement")
    parser.add_argument("--readme", action="store_true",
                        help="write the table into bench/README.md")
    args = parser.parse_args(argv)

    build = os.path.abspath(args.build_dir)
    seconds = 3.0 if args.quick else args.seconds
    sleeps = [100, 500, 30000]
    work = tempfile.mkdtemp(prefix="rousel-bench-")
    tmux = Tmux()
    figures = []
    try:
        print(f"Waiting: {len(sleeps)} sleep times, program and reference side by side, "
              f"{seconds:g} s ...", flush=True)
        figures += waiting_figures(measure_waiting(tmux, build, sleeps, seconds, work))
        print("Redraw bytes ...", flush=True)
        figures += redraw_figures(measure_redraw(build, 5 if args.quick else 90))
        print("Ringing ...", flush=True)
        if cache_has(build, "ALSA_LIBRARY:"):
            figures += ringing_figures(
                measure_ringing(tmux, build, 6 if args.quick else 20, work))
        else:
            figures += skip_all(ringing_figures({}), "build without ALSA")
        print("Micro benchmarks ...", flush=True)
        if os.path.exists(os.path.join(build, "bench", "rousel_bench_micro")):
            figures += micro_figures(measure_micro(build, 0.01 if args.quick else 0.5, work))
        else:
            figures += skip_all(micro_figures({}), "not built: no Google Benchmark")
    finally:
        tmux.close()
        shutil.rmtree(work, ignore_errors=True)

    block = (f"Machine: {machine()}." + (" Quick run: nothing judged." if args.quick else "")
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
