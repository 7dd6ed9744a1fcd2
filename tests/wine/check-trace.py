#!/usr/bin/env python3
"""Checks the speaker ports, the console's scrolls and the power calls of
rousel.exe in Wine's trace, as the Windows 95 family (platform 1) or NT (2),
as docs/windows.md describes.  Exit status 0 when all holds, 1 otherwise.

  check-trace.py --platform 1|2 [--rhythm] TRACE...
"""
import argparse, re, statistics, sys

TIMER_HZ = 1193180
PORT = re.compile(r"^(\d+\.\d+):[0-9a-f]+:trace:io:INSTR_(in|out)port 0x([0-9a-f]+) [<>] ([0-9a-f]+)")
POWER = re.compile(r"^\d+\.\d+:[0-9a-f]+:Call KERNEL32\.(SetThreadExecutionState|CreateWaitableTimerA|"
                   r"SetWaitableTimer|CancelWaitableTimer)\(([^)]*)\)")
SCROLL = re.compile(r"^\d+\.\d+:[0-9a-f]+:trace:console:ScrollConsoleScreenBufferW "
                    r"\(\w+,\((\d+),(\d+)-(\d+),(\d+)\),.*,(-?\d+)-(-?\d+),\w+\)")
HOLD, LET_GO = 0x80000001, 0x80000000  # ES_CONTINUOUS | ES_SYSTEM_REQUIRED, ES_CONTINUOUS


def check_ports(lines, platform, problems, starts, lengths, killed):
    """The tones on channel 2 of the timer, gated by port 0x61."""
    tones, gate_on, low = 0, None, None
    for m in filter(None, map(PORT.match, lines)):
        t, port, value = float(m[1]), int(m[3], 16), int(m[4], 16)
        if platform != 1 or port not in (0x42, 0x43, 0x61):
            problems.append(f"port 0x{port:x} touched as platform {platform}")
        elif m[2] == "in":
            continue
        elif port == 0x61 and value & 3 == 3:
            if gate_on is not None:
                problems.append(f"gate set again at {t} without being cleared")
            gate_on = t
        elif port == 0x61 and value & 3 == 0 and gate_on is not None:
            lengths.append((t - gate_on) * 1000)
            gate_on = None
        elif port == 0x43 and value != 0xB6:
            problems.append(f"timer command 0x{value:x}, not 0xb6 (channel 2, square wave)")
        elif port == 0x42 and low is None:
            low = value
        elif port == 0x42:
            divisor, low, tones = low | value << 8, None, tones + 1
            if abs(TIMER_HZ / max(divisor, 1) - 2000) > 20:
                problems.append(f"divisor {divisor} is not 2000 Hz within 1 %")
            if gate_on is None:
                problems.append(f"channel 2 programmed at {t} with the gate closed")
            else:
                starts.append(gate_on)
    if gate_on is not None and not killed:
        problems.append("the speaker gate was left open after the last tone")
    return tones


def check_scroll(lines, platform, problems):
    # The first attempt of each move takes the whole area from row 0; a
    # console that refuses it gets the same move in another form.
    moves = [(int(m[4]) + 1, -int(m[6])) for m in map(SCROLL.match, lines) if m and m[2] == "0"]
    whole = [(height, k) for height, k in moves if k > 1]
    if not whole:
        problems.append("no whole-area scroll (the first screen clears the area)")
    for height, k in whole:
        if k != (height // 2 if platform == 1 else height):
            problems.append(f"a scroll of {k} rows of {height}: not in {'halves' if platform == 1 else 'one move'}")


def check_power(lines, platform, problems):
    """The holds and the lets-go of one trace: each inside its wake timer."""
    holds = releases = 0
    timer = None  # True once set as it should be, False once cancelled
    for m in filter(None, map(POWER.match, lines)):
        name, args = m[1], [int(a, 16) for a in m[2].split(",") if a]
        if platform == 1:
            problems.append(f"a power function on the Windows 95 family: {m[0]}")
        elif name == "SetWaitableTimer":
            timer = args[2] == 0 and args[5] == 1 or None
            if not timer:
                problems.append(f"a wake timer with a period or without resume: {m[0]}")
        elif name == "CancelWaitableTimer":
            timer = False
        elif name == "SetThreadExecutionState" and args == [HOLD]:
            holds += 1
            if timer is not True:
                problems.append("the system kept awake without a wake timer set before")
        elif name == "SetThreadExecutionState" and args == [LET_GO]:
            releases += 1
            if timer is not False:
                problems.append("the system let sleep without its wake timer cancelled before")
        elif name == "SetThreadExecutionState":
            problems.append(f"an execution state other than the two: {m[0]}")
    return holds, releases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--platform", type=int, choices=(1, 2), required=True)
    parser.add_argument("--rhythm", action="store_true")
    parser.add_argument("traces", nargs="+")
    args = parser.parse_args()
    failed, periods, lengths, holds, releases = False, [], [], 0, 0
    for path in args.traces:
        with open(path, errors="replace") as trace:
            lines = trace.readlines()
        problems, starts = [], []
        # A program killed with its console may stop in the middle of a tone.
        tones = check_ports(lines, args.platform, problems, starts, lengths, path.endswith(".killed.trace"))
        check_scroll(lines, args.platform, problems)
        held, let_go = check_power(lines, args.platform, problems)
        holds, releases = holds + held, releases + let_go
        periods += [(b - a) * 1000 for a, b in zip(starts, starts[1:]) if b - a < 1]
        print(f"{path}: {tones} tones, kept awake {held} times, let sleep {let_go} times" +
              "".join(f"\n  {p}" for p in problems))
        failed |= bool(problems)
    if args.platform == 2 and (holds == 0 or releases == 0):
        print(f"power: kept awake {holds} times, let sleep {releases} times over all traces: "
              "an alarm should do both")
        failed = True
    if args.rhythm and len(periods) < 5:
        print(f"rhythm: only {len(periods)} tone periods in the traces")
        failed = True
    elif args.rhythm:
        period, length = statistics.median(periods), statistics.median(lengths)
        print(f"rhythm: a tone every {period:.0f} ms (median of {len(periods)}), {length:.0f} ms long")
        if not 130 <= period <= 180 or not 80 <= length <= 130:
            print("rhythm: not about 100 ms of tone every 150 ms")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
