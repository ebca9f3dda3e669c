#!/usr/bin/env python3
"""Writes a few starting inputs for alsa_translation_fuzz into the folder given (made if missing):
    fuzz/alsa_translation_seeds.py CORPUS && build/fuzz/fuzz/alsa_translation_fuzz CORPUS
The layout is the one the target reads, front to back."""
import os
import struct
import sys

TYPES = ["noteon", "noteoff", "note", "keypress", "controller", "pgmchange", "chanpress", "pitchbend",
         "control14", "nonregparam", "regparam", "songpos", "songsel", "qframe", "timesign", "keysign",
         "start", "continue", "stop", "clock", "tick", "tune_request", "reset", "sensing", "sysex", "usr_var0"]


def op(receiver, source, special=False):
    """receiver 1, 2: packet-list ports; 3: universal-packet port; 4: virtual destination."""
    return bytes([special << 4 | (receiver - 1) << 2 | source])


def short(receiver, source, kind, fields=b""):
    data = (fields + bytes(12))[:12]
    return op(receiver, source) + bytes([TYPES.index(kind)]) + data + b"\0"


def sysex(receiver, source, data):
    if len(data) == 0:
        choice = b"\0"
    elif len(data) <= 300:
        choice = b"\2" + struct.pack("<H", len(data) - 1)
    else:
        choice = b"\1" + struct.pack("<I", len(data) - 257)
    return op(receiver, source) + bytes([TYPES.index("sysex")]) + choice + bytes(data) + b"\2"


def burst(receiver, source, count, sensing=False):
    return op(receiver, source, special=True) + b"\0" + struct.pack("<BH", sensing, count - 1)


def lost_input():
    return op(1, 0, special=True) + b"\1"


def note(channel, key, velocity):
    return bytes([channel, key, velocity, 0]) + bytes(8)


def control(channel, param, value):
    return bytes([channel, 0, 0, 0]) + struct.pack("<Ii", param, value)


SEEDS = {
    "unterminated": sysex(1, 0, [0xF0, 0x01, 0x02]) + short(1, 0, "clock") * 10
    + short(1, 0, "noteon", note(0, 60, 100)),
    "sysex_with_clock": b"".join(
        sysex(r, 0, [0xF0, 0x43, 0x10]) + short(r, 0, "clock") + sysex(r, 0, [0x20, 0xF7]) for r in (1, 3, 4)),
    "every_type": b"".join(
        short(1 + i % 4, i % 4, kind, control(i % 16, 7 + i, 100 * i - 8192))
        for i, kind in enumerate(TYPES) if kind != "sysex"),
    "burst": sysex(2, 1, [0xF0, 0x01]) + burst(2, 1, 100) + burst(2, 1, 5, sensing=True) + sysex(2, 1, [0xF7]),
    "interleaved": b"".join(
        sysex(1 + s % 2, s, [0xF0, s, 0x7F, 0x80]) + short(1 + s % 2, (s + 1) % 4, "noteon", note(s, 64, 1))
        + short(1 + s % 2, s, "sensing") + sysex(1 + s % 2, s, [0x01, 0xF7])
        for s in range(4)),
    "splice": b"".join(
        sysex(r, 0, [0xF0] + [0x41] * 255) + sysex(r, 0, [0xF0, 0x7D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xF7])
        for r in (1, 3, 4)),
    "lost_input": sysex(1, 0, [0xF0] + [0x41] * 255) + lost_input() + sysex(1, 0, [0x41, 0x42, 0x43, 0xF7])
    + sysex(1, 0, [0xF0, 0x7D, 0x0D, 0xF7]),
    "long_sysex": sysex(1, 2, [0xF0] + [i % 256 for i in range(3998)] + [0xF7]),
}

if __name__ == "__main__":
    folder = sys.argv[1] if len(sys.argv) > 1 else "alsa_translation_corpus"
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as seed:
            seed.write(data)
