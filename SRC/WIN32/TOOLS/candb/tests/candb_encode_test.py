#!/usr/bin/env python3
"""candb's encoder against canmatrix, on the databases candb_canmatrix_test
generates (both byte orders, signed and unsigned, float and double, scale and
offset, extended identifiers, multiplexing), with start values on a third of
the integer signals.

1. canmatrix encodes values on each signal's grid; candb (candb_encode.exe
   under Wine) encodes the same physical values: the bytes must be the same.
2. candb encodes random values, values half a step between two raw values
   and values beyond the signal's range; canmatrix decodes candb's bytes: the
   raw value is the nearest one (ties to even) of the value clamped to the
   signal's minimum..maximum, as exact arithmetic computes it here, the
   physical value is what candb says it wrote, and candb reports a clamp
   exactly when the value was out of range.
3. A message with no value given carries every signal's start value
   (GenSigStartValue as canmatrix reads it back from the file it wrote).

usage: candb_encode_test.py WINE_RUN BIN_DIR
"""
import os
import random
import struct
import subprocess
import sys
import tempfile
from decimal import Decimal
from fractions import Fraction

import canmatrix.formats

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import candb_canmatrix_test as generator  # noqa: E402  (the generated databases)

WINE_RUN, BIN_DIR = sys.argv[1:3]
ROUNDS = 25
failures = []


def fail(what):
    failures.append(what)
    if len(failures) <= 15:
        print("FAIL " + what, flush=True)


def raw_range(sig):
    if sig.is_signed:
        return -(1 << (sig.size - 1)), (1 << (sig.size - 1)) - 1
    return 0, (1 << sig.size) - 1


def on_grid(sig, raw):
    """The physical value of raw, to the nearest double."""
    return float(Fraction(raw) * Fraction(sig.factor) + Fraction(sig.offset))


def pages(frame):
    """Lists of signals that are in the frame together: one per multiplexor value."""
    mux = [s for s in frame.signals if s.is_multiplexer]
    if not mux:
        return [(None, list(frame.signals))]
    plain = [s for s in frame.signals if s.mux_val is None and not s.is_multiplexer]
    values = sorted({s.mux_val for s in frame.signals if s.mux_val is not None})
    return [((mux[0], v), plain + [s for s in frame.signals if s.mux_val == v]) for v in values]


def bits_of(frame, sig):
    """The frame bits sig occupies, as canmatrix places it."""
    ones = -1 if sig.is_signed else (1 << sig.size) - 1
    return int.from_bytes(bytes(frame.signals_to_bytes({sig.name: ones})), "big")


def drop_overlapping_signals(db):
    """The generator places signals at random, some over others: an encoder
    then writes one over the other, and no two encoders need agree on which
    wins. Keeps the first of each overlapping set."""
    for frame in db.frames:
        if any(s.is_float or s.multiplex is not None for s in frame.signals):
            continue
        taken, kept = 0, []
        for sig in frame.signals:
            bits = bits_of(frame, sig)
            if not bits & taken:
                kept.append(sig)
                taken |= bits
        frame.signals = kept


def set_start_values(rng, db):
    """Start values on a third of the integer signals (canmatrix writes one wherever 0 is not raw 0, too)."""
    for frame in db.frames:
        for sig in frame.signals:
            if sig.is_float or sig.multiplex is not None or rng.random() > 1 / 3:
                continue
            low, high = raw_range(sig)
            sig.initial_value = Decimal(on_grid(sig, rng.randint(low, high)))


def written_start_values(path):
    """(message, signal) -> raw start value, as canmatrix reads the file."""
    starts = {}
    for frame in canmatrix.formats.loadp_flat(path).frames:
        for sig in frame.signals:
            if "GenSigStartValue" in sig.attributes:
                starts[(frame.name, sig.name)] = int(Decimal(sig.attributes["GenSigStartValue"]))
    return starts


def candb_encodes(dbc_path, lines):
    done = subprocess.run([WINE_RUN, os.path.join(BIN_DIR, "candb_encode.exe"), generator.win(dbc_path)],
                          input="".join(l + "\n" for l in lines).encode(), capture_output=True, timeout=300)
    out = done.stdout.decode(errors="replace").splitlines()
    if done.returncode != 0 or len(out) != len(lines) or any(o.startswith("!") for o in out):
        sys.exit("candb_encode failed (%d): %s %s" % (done.returncode, [o for o in out if o.startswith("!")][:3]
                                                      or out[:3], done.stderr[-500:]))
    results = []
    for line in out:
        fields = line.split()
        written = {}
        for field in fields[1:]:
            name, _, rest = field.partition("=")
            value, _, flag = rest.rpartition(":")
            written[name] = (float(value), flag == "c")
        results.append((bytes.fromhex(fields[0]) if fields[0] != "-" else b"", written))
    return results


def text(value):
    return repr(float(value))


def grid_cases(rng, db):
    """Values on each signal's grid, canmatrix's bytes for them."""
    cases = []
    for frame in db.frames:
        for (mux, signals) in pages(frame) * ROUNDS:
            values, raws = [], {}
            if mux:
                values.append((mux[0], float(mux[1])))
                raws[mux[0].name] = mux[1]
            for sig in signals:
                # Raw values canmatrix places itself (its own conversion from
                # a physical value truncates rather than rounds).
                if sig.is_float:
                    raw = struct.unpack("<f", struct.pack("<f", rng.uniform(-1e6, 1e6)))[0]
                    value = raw * float(sig.factor) + float(sig.offset)  # exact for these factors
                else:
                    low, high = raw_range(sig)
                    raw = rng.randint(low, high)
                    value = on_grid(sig, raw)
                raws[sig.name] = raw
                values.append((sig, value))
            cases.append((frame, values, bytes(frame.encode(raws))))
    return cases


def round_half_even(x):
    floor = x.numerator // x.denominator
    rest = x - floor
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and floor % 2):
        return floor + 1
    return floor


def expected_encoding(sig, value):
    """(raw, physical, clamped) for value as the encoder must write it."""
    low, high = float(sig.min), float(sig.max)
    clamped = False
    if low < high and not low <= value <= high:
        value, clamped = (low if value < low else high), True
    if sig.is_float:
        raw = (value - float(sig.offset)) / float(sig.factor)
        if sig.size == 32:
            raw = struct.unpack("<f", struct.pack("<f", raw))[0]
        return raw, raw * float(sig.factor) + float(sig.offset), clamped
    raw = round_half_even((Fraction(value) - Fraction(sig.offset)) / Fraction(sig.factor))
    raw_low, raw_high = raw_range(sig)
    if not raw_low <= raw <= raw_high:
        raw, clamped = min(max(raw, raw_low), raw_high), True
    return raw, on_grid(sig, raw), clamped


def free_value(rng, sig, kind):
    """A value off the grid: random within or beyond the range, or half a step between two raw values."""
    low, high = float(sig.min), float(sig.max)
    if sig.is_float:
        span = 1e6
        return rng.uniform(-span, span) if kind != "beyond" else rng.choice((-1, 1)) * 4.0 * max(abs(low), abs(high))
    span = high - low
    if kind == "beyond":
        return rng.choice((low - span * rng.uniform(0.01, 1) - float(sig.factor),
                           high + span * rng.uniform(0.01, 1) + float(sig.factor)))
    if kind == "tie" and float(sig.factor) in (1, 0.5, 0.125, 3):
        raw_low, raw_high = raw_range(sig)
        if raw_high > raw_low:
            return float(sig.offset) + (rng.randint(raw_low, raw_high - 1) + 0.5) * float(sig.factor)
    return rng.uniform(low, high)


def free_cases(rng, db):
    cases = []
    for frame in db.frames:
        for (mux, signals) in pages(frame) * ROUNDS:
            values = [(mux[0], float(mux[1]))] if mux else []
            for sig in signals:
                values.append((sig, free_value(rng, sig, rng.choice(("random", "tie", "tie", "beyond")))))
            cases.append((frame, values))
    return cases


def check_grid(cases, results):
    for (frame, values, theirs), (ours, _) in zip(cases, results):
        if ours != theirs:
            fail("%s %s: candb wrote %s, canmatrix %s" % (
                frame.name, " ".join("%s=%s" % (s.name, text(v)) for s, v in values), ours.hex(), theirs.hex()))


def check_free(cases, results, counts):
    for (frame, values), (data, written) in zip(cases, results):
        decoded = frame.decode(data)
        for sig, value in values:
            raw, phys, clamped = expected_encoding(sig, value)
            tie = not sig.is_float and ((Fraction(value) - Fraction(sig.offset)) / Fraction(sig.factor)).denominator == 2
            counts["clamped"] += clamped
            counts["ties"] += tie
            counts["values"] += 1
            got = decoded.get(sig.name)
            ours_phys, ours_clamped = written[sig.name]
            where = "%s.%s=%s (%s)" % (frame.name, sig.name, text(value), data.hex())
            if got is None:
                fail(where + ": canmatrix finds no such signal in candb's frame")
                continue
            theirs_raw = float(got.raw_value) if sig.is_float else int(got.raw_value)
            if sig.is_float:
                if abs(theirs_raw - raw) > 1e-9 * max(1.0, abs(raw)):
                    fail("%s: canmatrix reads raw %r, expected %r" % (where, theirs_raw, raw))
            elif theirs_raw != raw:
                fail("%s: canmatrix reads raw %d, expected %d%s" % (where, theirs_raw, raw, " (a tie)" if tie else ""))
            for label, v in (("canmatrix decodes", float(got.phys_value)), ("candb says it wrote", ours_phys)):
                if abs(v - phys) > 1e-9 * max(1.0, abs(phys)):
                    fail("%s: %s %r, expected %r" % (where, label, v, phys))
            if ours_clamped != clamped:
                fail("%s: candb %s a clamp" % (where, "reports" if ours_clamped else "does not report"))


def check_start_values(db, starts, results):
    for frame, (data, _) in zip(db.frames, results):
        for name, got in frame.decode(data).items():
            want = starts.get((frame.name, name), 0)
            if not frame.signal_by_name(name).is_float and int(got.raw_value) != want:
                fail("%s.%s: start value raw %d in candb's frame %s, GenSigStartValue %d"
                     % (frame.name, name, int(got.raw_value), data.hex(), want))


def main():
    rng = random.Random(int(os.environ.get("CANDB_SEED", "20261211")))
    db = generator.generated_database(rng)
    drop_overlapping_signals(db)
    set_start_values(rng, db)
    grid = grid_cases(rng, db)
    free = free_cases(rng, db)
    counts = {"clamped": 0, "ties": 0, "values": 0}
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "generated.dbc")
        canmatrix.formats.dumpp({"": db}, path, export_type="dbc")
        starts = written_start_values(path)
        lines = ["%s %s" % (f.name, " ".join("%s=%s" % (s.name, text(v)) for s, v in values))
                 for f, values, *_ in grid + free]
        lines += [f.name for f in db.frames]
        results = candb_encodes(path, lines)
    check_grid(grid, results[:len(grid)])
    check_free(free, results[len(grid):len(grid) + len(free)], counts)
    check_start_values(db, starts, results[len(grid) + len(free):])
    # The cases that prove rounding and clamping must have come up.
    if len(starts) < 20:
        fail("canmatrix wrote only %d start values" % len(starts))
    if counts["ties"] < 50 or counts["clamped"] < 50:
        fail("too few ties (%d) or clamped values (%d) among the cases" % (counts["ties"], counts["clamped"]))
    print("%d frames on the grid: canmatrix and candb wrote the same bytes" % len(grid))
    print("%d values encoded by candb and decoded by canmatrix (%d ties, %d clamped), %d start values"
          % (counts["values"], counts["ties"], counts["clamped"], len(starts)))
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
