#!/usr/bin/env python3
"""Checks a ringing alarm captured through ALSA's file plugin.

usage: tone_check.py RAW HZ MS
RAW holds 16-bit little-endian mono samples at 48000 Hz.  The tones are the
runs of sound between stretches of silence; every tone must have the pitch
HZ (within 1 %) and the length MS (within 3 ms), and there must be at least
two of them, a ringing alarm's rhythm.
"""
import struct
import sys

RATE = 48000
GAP = RATE * 5 // 1000  # silence that separates two tones


def tones(samples):
    start = None
    quiet = 0
    for i, value in enumerate(samples):
        if value != 0:
            if start is None:
                start = i
            quiet = 0
            end = i
        elif start is not None:
            quiet += 1
            if quiet >= GAP:
                yield samples[start:end + 1]
                start = None
    if start is not None:
        yield samples[start:end + 1]


def pitch(tone):
    rising = sum(1 for a, b in zip(tone, tone[1:]) if a < 0 <= b)
    return rising * RATE / len(tone)


def main():
    path, hz, ms = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
    with open(path, "rb") as raw:
        data = raw.read()
    samples = struct.unpack("<%dh" % (len(data) // 2), data[: len(data) // 2 * 2])
    found = list(tones(samples))
    print("captured %d tones" % len(found))
    if len(found) < 2:
        print("fewer than two tones")
        return 1
    bad = 0
    for n, tone in enumerate(found):
        length = len(tone) * 1000 / RATE
        freq = pitch(tone)
        # The last tone may be cut short when the alarm was stopped.
        if n == len(found) - 1 and length < ms:
            continue
        if abs(length - ms) > 3 or abs(freq - hz) > hz / 100:
            print("tone %d: %.1f ms at %.1f Hz" % (n, length, freq))
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
