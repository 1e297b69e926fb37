#!/usr/bin/env python3
"""candb beside canmatrix, in the same run, on the same DBC file and frames:
frames/s decoded into physical values on one core (each finds the frame's
message by identifier, then decodes every signal), and the time to parse a
file of 300 messages and 2,000 signals. Prints both figures and the ratios.

canmatrix writes the file (messages of 6 or 7 signals tiling their 8 bytes:
Intel and Motorola, signed and unsigned, scale and offset, value tables);
candb_bench.exe runs under the build's Wine.

usage: candb_bench.py BUILD_DIR [FRAMES]
"""
import os
import random
import re
import subprocess
import sys
import tempfile
import time

import canmatrix
import canmatrix.formats

BUILD = sys.argv[1]
FRAMES = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
WINE_RUN = os.path.join(BUILD, "wine-run.sh")
BENCH = os.path.join(BUILD, "bin", "candb_bench.exe")


def win(path):
    return "Z:" + path.replace("/", "\\")


def database():
    db = canmatrix.CanMatrix()
    for m in range(300):
        ext = m % 3 == 0
        ident = 0x18F00000 + m if ext else 0x100 + m
        frame = canmatrix.Frame("MSG%d" % m, size=8, arbitration_id=canmatrix.ArbitrationId(ident, extended=ext))
        widths = (8, 8, 8, 8, 8, 12, 12) if m < 200 else (16, 8, 8, 8, 12, 12)  # 2,000 signals
        little, bit = m % 2 == 0, 0
        for s, width in enumerate(widths):
            sig = canmatrix.Signal("M%dS%d" % (m, s), size=width, is_little_endian=little, is_signed=s % 3 == 2,
                                   factor=0.125 if s % 2 else 1, offset=-40 if s % 4 == 1 else 0,
                                   unit="km/h" if s % 2 else "")
            if little:
                sig.start_bit = bit
            else:
                sig.set_startbit(bit // 8 * 8 + 7 - bit % 8, bitNumbering=1, startLittle=False)
            if s == 0:
                for raw, text in enumerate(("Off", "On", "Error", "Unknown")):
                    sig.add_values(raw, text)
            frame.add_signal(sig)
            bit += width
        db.add_frame(frame)
    return db


def candb_figures(dbc, frames_path):
    done = subprocess.run([WINE_RUN, BENCH, win(dbc), win(frames_path)], capture_output=True, timeout=600,
                          stdin=subprocess.DEVNULL)
    out = done.stdout.decode(errors="replace")
    figures = dict(re.findall(r"^(parse ms|decode frames/s): ([\d.]+)", out, re.M))
    if done.returncode != 0 or len(figures) != 2:
        sys.exit("candb_bench failed (%d): %s %s" % (done.returncode, out, done.stderr.decode(errors="replace")))
    return out, float(figures["parse ms"]), float(figures["decode frames/s"])


def main():
    rng = random.Random(21)
    db = database()
    frames = []
    for _ in range(FRAMES):
        frame = db.frames[rng.randrange(len(db.frames))]
        frames.append((frame.arbitration_id, bytes(rng.getrandbits(8) for _ in range(8))))
    with tempfile.TemporaryDirectory() as folder:
        dbc = os.path.join(folder, "bench.dbc")
        canmatrix.formats.dumpp({"": db}, dbc, export_type="dbc")
        frames_path = os.path.join(folder, "frames.txt")
        with open(frames_path, "w") as f:
            f.writelines("%x %d %s\n" % (a.id, int(a.extended), d.hex()) for a, d in frames)
        start = time.perf_counter()
        loaded = canmatrix.formats.loadp_flat(dbc)
        canmatrix_parse_ms = (time.perf_counter() - start) * 1e3
        out, candb_parse_ms, candb_rate = candb_figures(dbc, frames_path)
    start = time.perf_counter()
    for arbitration_id, data in frames:
        loaded.decode(arbitration_id, data)
    seconds = time.perf_counter() - start
    canmatrix_rate = FRAMES / seconds
    signals = sum(len(f.signals) for f in loaded.frames)
    print("DBC file written by canmatrix: %d messages, %d signals" % (len(loaded.frames), signals))
    print(out.rstrip())
    print("parse:  candb %.1f ms (best of 5), canmatrix %.1f ms (once): canmatrix takes %.0f times as long"
          % (candb_parse_ms, canmatrix_parse_ms, canmatrix_parse_ms / candb_parse_ms))
    print("decode: candb %.0f frames/s, canmatrix %.0f frames/s (%d frames, one core each): candb %.0f times "
          "as fast" % (candb_rate, canmatrix_rate, FRAMES, candb_rate / canmatrix_rate))


if __name__ == "__main__":
    main()
