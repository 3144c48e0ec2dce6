#!/usr/bin/python3
"""Checks that a WAV file holds the chime: 300, 500 and 800 Hz, 100 ms each, in
that order. Prints what it found; exits 1 when the chime is not there.

  chime_check.py FILE
"""
import math
import struct
import sys
import wave

EXPECTED = [300, 500, 800]


def goertzel_power(samples, rate, frequency):
    coefficient = 2 * math.cos(2 * math.pi * frequency / rate)
    previous = before = 0.0
    for sample in samples:
        previous, before = sample + coefficient * previous - before, previous
    return previous * previous + before * before - coefficient * previous * before


def dominant(samples, rate):
    candidates = range(100, 2001, 10)
    return max(candidates, key=lambda frequency: goertzel_power(samples, rate, frequency))


def main(path):
    with wave.open(path) as sound:
        rate = sound.getframerate()
        channels = sound.getnchannels()
        frames = sound.readframes(sound.getnframes())
    samples = struct.unpack("<%dh" % (len(frames) // 2), frames)[::channels]
    slice_length = rate // 10
    found = []
    for start in range(0, len(samples) - slice_length + 1, slice_length):
        middle = samples[start + slice_length // 4:start + 3 * slice_length // 4]
        found.append(dominant(middle, rate))
    print("tones found (Hz):", found, "in", len(samples), "samples at", rate)
    matches = len(found) == 3 and all(abs(f - e) <= 10 for f, e in zip(found, EXPECTED))
    return 0 if matches else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
