#!/usr/bin/env python3
"""Checks what rousel.exe did to the speaker ports, the console scroll and
the system's sleep, from Wine's trace (WINEDEBUG=+timestamp,+int,+io,
+console,+relay, the relay narrowed to kernel32's power functions).

  check-trace.py --platform 1|2 [--rhythm] TRACE...

Platform 1 (the Windows 95 family): only ports 0x42, 0x43 and 0x61 are
touched; each tone programs channel 2 for 2000 Hz (within 1 %) and clears the
speaker gate before the next one, and the last one too; a whole-area scroll
moves the rows in halves; no power function is called.  --rhythm: over all
traces, tones sound for about 100 ms every 150 ms.  Platform 2 (NT): no port
is touched and a whole-area scroll is one move; each alarm sets its wake
timer with resume, then SetThreadExecutionState(ES_CONTINUOUS |
ES_SYSTEM_REQUIRED), and lets go with CancelWaitableTimer, then
SetThreadExecutionState(ES_CONTINUOUS); over all traces, at least one alarm
holds and lets go.  A trace named *.killed.trace is of a program killed with
its console, which may end in the middle of a tone.  Exit status 0 when all
holds, 1 otherwise.
"""
import argparse
import re
import statistics
import sys

TIMER_HZ = 1193180
PORT = re.compile(r"^(\d+\.\d+):[0-9a-f]+:trace:io:INSTR_(in|out)port 0x([0-9a-f]+) [<>] ([0-9a-f]+)")
POWER = re.compile(r"^\d+\.\d+:[0-9a-f]+:Call KERNEL32\.(SetThreadExecutionState|CreateWaitableTimerA|"
                   r"SetWaitableTimer|CancelWaitableTimer)\(([^)]*)\)")
SCROLL = re.compile(
    r"^\d+\.\d+:[0-9a-f]+:trace:console:ScrollConsoleScreenBufferW "
    r"\(\w+,\((\d+),(\d+)-(\d+),(\d+)\),.*,(-?\d+)-(-?\d+),\w+\)")


def check_ports(lines, platform, problems, starts, lengths, killed):
    tones = 0
    gate_on = None
    low = None
    for line in lines:
        m = PORT.match(line)
        if not m:
            continue
        if platform != 1:
            problems.append("port I/O on NT: " + line.strip())
            return tones
        t, direction, port, value = float(m[1]), m[2], int(m[3], 16), int(m[4], 16)
        if port not in (0x42, 0x43, 0x61):
            problems.append(f"port 0x{port:x} touched")
        if direction == "in":
            continue
        if port == 0x61:
            if value & 3 == 3:
                if gate_on is not None:
                    problems.append(f"gate set again at {t} without being cleared")
                gate_on = t
            elif value & 3 == 0 and gate_on is not None:
                lengths.append((t - gate_on) * 1000)
                gate_on = None
        elif port == 0x43 and value != 0xB6:
            problems.append(f"timer command 0x{value:x}, not 0xb6 (channel 2, square wave)")
        elif port == 0x42:
            if low is None:
                low = value
                continue
            divisor = low | value << 8
            low = None
            hz = TIMER_HZ / divisor if divisor else 0
            if abs(hz - 2000) > 20:
                problems.append(f"divisor {divisor} is {hz:.0f} Hz, not 2000 Hz within 1 %")
            if gate_on is None:
                problems.append(f"channel 2 programmed at {t} with the gate closed")
            else:
                starts.append(gate_on)
            tones += 1
    if gate_on is not None and not killed:
        problems.append("the speaker gate was left open after the last tone")
    return tones


def check_scroll(lines, platform, problems):
    moves = []
    for line in lines:
        m = SCROLL.match(line)
        # The first attempt of each move takes the whole area from row 0;
        # a console that refuses it gets the same move in another form.
        if m and m[2] == "0":
            moves.append((int(m[4]) + 1, -int(m[6])))
    whole = [(height, k) for height, k in moves if k > 1]
    if not whole:
        problems.append("no whole-area scroll (the first screen clears the area)")
    for height, k in whole:
        if platform == 1 and k != height // 2:
            problems.append(f"a scroll of {k} rows of {height}: not in halves")
        if platform == 2 and k != height:
            problems.append(f"a scroll of {k} rows of {height}: not in one move")


def check_power(lines, platform, problems):
    """The holds and the lets-go of one trace."""
    holds = releases = 0
    timer_set = cancelled = False
    for line in lines:
        m = POWER.match(line)
        if not m:
            continue
        name, args = m[1], [int(a, 16) for a in m[2].split(",") if a]
        if platform == 1:
            problems.append("a power function on the Windows 95 family: " + line.strip())
            return 0, 0
        if name == "SetWaitableTimer":
            timer_set, cancelled = args[2] == 0 and args[5] == 1, False
            if not timer_set:
                problems.append("a wake timer with a period or without resume: " + line.strip())
        elif name == "CancelWaitableTimer":
            cancelled, timer_set = True, False
        elif name == "SetThreadExecutionState" and args == [0x80000001]:
            if not timer_set:
                problems.append("the system kept awake without a wake timer set before")
            holds += 1
        elif name == "SetThreadExecutionState" and args == [0x80000000]:
            if not cancelled:
                problems.append("the system let sleep with its wake timer still set")
            releases += 1
        elif name == "SetThreadExecutionState":
            problems.append("an execution state other than the two: " + line.strip())
    return holds, releases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--platform", type=int, choices=(1, 2), required=True)
    parser.add_argument("--rhythm", action="store_true")
    parser.add_argument("traces", nargs="+")
    args = parser.parse_args()
    failed = False
    periods, lengths = [], []
    holds = releases = 0
    for path in args.traces:
        with open(path, errors="replace") as trace:
            lines = trace.readlines()
        problems, starts = [], []
        # A program killed with its console may stop mid-tone.
        killed = path.endswith(".killed.trace")
        tones = check_ports(lines, args.platform, problems, starts, lengths, killed)
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
    if args.rhythm:
        if len(periods) < 5:
            print(f"rhythm: only {len(periods)} tone periods in the traces")
            failed = True
        else:
            period, length = statistics.median(periods), statistics.median(lengths)
            print(f"rhythm: a tone every {period:.0f} ms (median of {len(periods)}), "
                  f"{length:.0f} ms long")
            if not 130 <= period <= 180 or not 80 <= length <= 130:
                print("rhythm: not about 100 ms of tone every 150 ms")
                failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
