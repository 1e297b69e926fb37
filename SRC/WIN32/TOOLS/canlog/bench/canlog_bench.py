#!/usr/bin/python3
"""BLF write and read rates of canlog against python-can on the same
1,000,000 frames in the same run.

canlog's rates are the conversion times it reports itself (Wine's process
start left out) and, beside them, the wall time of the whole run. python-can
is timed twice: its BLFWriter and BLFReader alone (messages already built,
messages read into nothing), and the same conversions canlog does (candump
log -> BLF, BLF -> candump log).

usage: canlog_bench.py BUILD_DIR [FRAMES]
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

import can

BUILD = sys.argv[1]
FRAMES = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
WINE_RUN = os.path.join(BUILD, "wine-run.sh")
CANLOG = os.path.join(BUILD, "bin", "canlog.exe")


def win(path):
    return "Z:" + path.replace("/", "\\")


def canlog(src, dst):
    start = time.perf_counter()
    done = subprocess.run([WINE_RUN, CANLOG, "-q", win(src), win(dst)], capture_output=True)
    wall = time.perf_counter() - start
    err = done.stderr.decode(errors="replace")
    if done.returncode != 0:
        sys.exit("canlog failed: " + err)
    own = float(re.search(r"written in ([0-9.]+) s", err).group(1))
    return own, wall


def chunks(rng):
    """The frames, 10,000 at a time: built outside the timed part."""
    t = 1700000000.0
    for first in range(0, FRAMES, 10000):
        batch = []
        for _ in range(min(10000, FRAMES - first)):
            t += 0.0001
            ext = rng.random() < 0.3
            batch.append(can.Message(timestamp=t, arbitration_id=rng.randint(0, 0x1FFFFFFF if ext else 0x7FF),
                                     is_extended_id=ext, channel=rng.randint(0, 3),
                                     data=rng.randbytes(rng.randint(0, 8))))
        yield batch


def rate(n, seconds):
    return n / seconds if seconds > 0 else float("inf")


def main():
    tmp = tempfile.mkdtemp(prefix="ribex-canlog-bench-")
    try:
        rng = random.Random(1)
        pc_blf = os.path.join(tmp, "pc.blf")
        pc_log = os.path.join(tmp, "pc.log")
        writer, log_writer, write_s = can.BLFWriter(pc_blf), can.CanutilsLogWriter(pc_log), 0.0
        for batch in chunks(rng):
            start = time.perf_counter()
            for m in batch:
                writer.on_message_received(m)
            write_s += time.perf_counter() - start
            for m in batch:
                log_writer.on_message_received(m)
        start = time.perf_counter()
        writer.stop()
        write_s += time.perf_counter() - start
        log_writer.stop()

        start = time.perf_counter()
        n = sum(1 for _ in can.BLFReader(pc_blf))
        read_s = time.perf_counter() - start
        assert n == FRAMES, n

        # python-can doing canlog's jobs.
        conv_blf = os.path.join(tmp, "pc_conv.blf")
        start = time.perf_counter()
        w = can.BLFWriter(conv_blf)
        for m in can.CanutilsLogReader(pc_log):
            w.on_message_received(m)
        w.stop()
        pc_log_to_blf = time.perf_counter() - start
        conv_log = os.path.join(tmp, "pc_conv.log")
        start = time.perf_counter()
        w = can.CanutilsLogWriter(conv_log)
        for m in can.BLFReader(pc_blf):
            w.on_message_received(m)
        w.stop()
        pc_blf_to_log = time.perf_counter() - start

        ours_blf = os.path.join(tmp, "ours.blf")
        ours_log = os.path.join(tmp, "ours.log")
        log_to_blf, log_to_blf_wall = canlog(pc_log, ours_blf)
        blf_to_log, blf_to_log_wall = canlog(pc_blf, ours_log)
        assert sum(1 for _ in can.BLFReader(ours_blf)) == FRAMES

        print("canlog_bench: %d frames (30%% extended, 0..8 bytes, 4 channels)" % FRAMES)
        print("  python-can BLFWriter alone      %10.0f frames/s" % rate(FRAMES, write_s))
        print("  python-can BLFReader alone      %10.0f frames/s" % rate(FRAMES, read_s))
        print("  log -> BLF  canlog %10.0f frames/s (%.0f with process start), python-can %10.0f "
              "frames/s, ratio %.1f" % (rate(FRAMES, log_to_blf), rate(FRAMES, log_to_blf_wall),
                                        rate(FRAMES, pc_log_to_blf), pc_log_to_blf / log_to_blf))
        print("  BLF -> log  canlog %10.0f frames/s (%.0f with process start), python-can %10.0f "
              "frames/s, ratio %.1f" % (rate(FRAMES, blf_to_log), rate(FRAMES, blf_to_log_wall),
                                        rate(FRAMES, pc_blf_to_log), pc_blf_to_log / blf_to_log))
        print("  canlog write (log -> BLF) against BLFWriter alone: ratio %.1f; canlog read "
              "(BLF -> log) against BLFReader alone: ratio %.1f" % (write_s / log_to_blf,
                                                                    read_s / blf_to_log))
        print("  BLF sizes: canlog %d bytes, python-can %d bytes" % (os.path.getsize(ours_blf),
                                                                  os.path.getsize(pc_blf)))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
