#!/usr/bin/env python3
"""candb against canmatrix: databases generated here are written by canmatrix
as DBC files, candb (candb_decode.exe under Wine) loads them, and random
payloads are decoded by both; every signal's raw and physical value must
agree. Covers both byte orders, signed and unsigned, IEEE float and double,
scale and offset, extended identifiers and simple multiplexing.

usage: candb_canmatrix_test.py WINE_RUN BIN_DIR
"""
import os
import random
import struct
import subprocess
import sys
import tempfile

import canmatrix
import canmatrix.formats

WINE_RUN, BIN_DIR = sys.argv[1:3]
FACTORS = (1, 0.5, 0.125, 0.01, 3, 0.1)
OFFSETS = (0, -40, 100.5, -0.25)
MUX_ID = 0x7E0


def win(path):
    return "Z:" + path.replace("/", "\\")


def integer_signal(rng, name, taken_names):
    little = rng.random() < 0.5
    size = rng.randint(1, 32)
    if little:
        start = rng.randint(0, 64 - size)
    else:
        # Motorola: the MSB's byte and bit; the signal runs down from there.
        while True:
            msb = rng.randint(0, 63)
            if (7 - msb // 8) * 8 + msb % 8 + 1 >= size:
                break
    sig = canmatrix.Signal(name, size=size, is_little_endian=little, is_signed=rng.random() < 0.5,
                           factor=rng.choice(FACTORS), offset=rng.choice(OFFSETS), unit="km/h")
    if little:
        sig.start_bit = start
    else:
        sig.set_startbit(msb, bitNumbering=1, startLittle=False)
    taken_names.add(name)
    return sig


def float_signal(rng, name, double):
    size = 64 if double else 32
    start = 0 if double else rng.choice((0, 8, 16, 32))
    return canmatrix.Signal(name, start_bit=start, size=size, is_little_endian=True,
                            is_signed=True, is_float=True, factor=rng.choice((1, 0.5)),
                            offset=rng.choice((0, 10)))


def generated_database(rng):
    db = canmatrix.CanMatrix()
    for n in range(40):
        ext = n % 2 == 1
        ident = rng.randint(0x800, 0x1FFFFFFF) if ext else rng.randint(0, 0x7FF)
        if ident == MUX_ID or any(f.arbitration_id.id == ident for f in db.frames):
            continue
        frame = canmatrix.Frame("MSG%d" % n, size=8,
                                arbitration_id=canmatrix.ArbitrationId(ident, extended=ext))
        names = set()
        kind = n % 8
        if kind == 6:
            frame.add_signal(float_signal(rng, "FLT", double=False))
        elif kind == 7:
            frame.add_signal(float_signal(rng, "DBL", double=True))
        else:
            for k in range(rng.randint(1, 5)):
                frame.add_signal(integer_signal(rng, "S%d_%d" % (n, k), names))
        db.add_frame(frame)
    # Simple multiplexing: an 8-bit multiplexor and a signal per value.
    mux = canmatrix.Frame("MUXED", size=8, arbitration_id=canmatrix.ArbitrationId(MUX_ID))
    mux.add_signal(canmatrix.Signal("Selector", start_bit=0, size=8, is_little_endian=True,
                                    is_signed=False, multiplex="Multiplexor"))
    for value in range(3):
        mux.add_signal(canmatrix.Signal("Page%d" % value, start_bit=8 + 8 * value, size=16,
                                        is_little_endian=True, is_signed=value == 1,
                                        factor=0.5, multiplex=value))
    db.add_frame(mux)
    return db


def random_payloads(rng, db, per_frame):
    frames = []
    for frame in db.frames:
        for _ in range(per_frame):
            data = bytearray(rng.getrandbits(8) for _ in range(8))
            if frame.name == "MUXED":
                data[0] = rng.randint(0, 3)  # 3 selects no page
            if any(s.is_float for s in frame.signals):
                # Keep the values finite: NaN and infinity compare as nothing.
                for s in frame.signals:
                    fmt = "<d" if s.size == 64 else "<f"
                    at = s.start_bit // 8
                    data[at:at + s.size // 8] = struct.pack(fmt, rng.uniform(-1e6, 1e6))
            frames.append((frame, bytes(data)))
    return frames


def candb_decodes(dbc_path, frames):
    lines = "".join("%x %d %s\n" % (f.arbitration_id.id, int(f.arbitration_id.extended), d.hex())
                    for f, d in frames)
    done = subprocess.run([WINE_RUN, os.path.join(BIN_DIR, "candb_decode.exe"), win(dbc_path)],
                          input=lines.encode(), capture_output=True, timeout=300)
    out = done.stdout.decode(errors="replace").splitlines()
    if done.returncode != 0 or len(out) != len(frames):
        sys.exit("candb_decode failed (%d): %s %s" % (done.returncode, out[:3], done.stderr[-500:]))
    return out


def parse_candb_line(line):
    fields = line.split()
    name, values = fields[0], {}
    for field in fields[1:]:
        sig, _, rest = field.partition("=")
        raw, _, phys = rest.partition(":")
        values[sig] = (int(raw), float(phys))
    return name, values


def as_signed(raw, bits):
    return raw - (1 << bits) if raw >> (bits - 1) & 1 else raw


def compare(frames, decoded):
    failures = 0
    for (frame, data), line in zip(frames, decoded):
        name, ours = parse_candb_line(line)
        theirs = frame.decode(data)
        problems = []
        if name != frame.name:
            problems.append("message %s, canmatrix %s" % (name, frame.name))
        if set(ours) != set(theirs):
            problems.append("signals %s, canmatrix %s" % (sorted(ours), sorted(theirs)))
        for sig_name, value in theirs.items():
            if sig_name not in ours:
                continue
            sig = frame.signal_by_name(sig_name)
            raw, phys = ours[sig_name]
            want_phys = float(value.phys_value)
            if abs(phys - want_phys) > 1e-9 * max(1.0, abs(want_phys)):
                problems.append("%s physical %r, canmatrix %r" % (sig_name, phys, want_phys))
            if not sig.is_float:
                mine = as_signed(raw, sig.size) if sig.is_signed else raw
                if mine != int(value.raw_value):
                    problems.append("%s raw %d, canmatrix %d" % (sig_name, mine, value.raw_value))
        if problems:
            failures += 1
            if failures <= 10:
                print("FAIL %s %s: %s" % (frame.name, data.hex(), "; ".join(problems)))
    return failures


def main():
    rng = random.Random(int(os.environ.get("CANDB_SEED", "20261210")))
    db = generated_database(rng)
    frames = random_payloads(rng, db, per_frame=25)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "generated.dbc")
        canmatrix.formats.dumpp({"": db}, path, export_type="dbc")
        decoded = candb_decodes(path, frames)
    failures = compare(frames, decoded)
    signals = sum(len(f.signals) for f in db.frames)
    print("%d frames of %d messages (%d signals) decoded by both, %d disagree"
          % (len(frames), len(db.frames), signals, failures))
    print("%d passed, %d failed" % (len(frames) - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
