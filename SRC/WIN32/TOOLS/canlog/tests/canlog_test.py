#!/usr/bin/python3
"""canlog against python-can (Debian's python3-can), which nobody here wrote.

python-can's BLFWriter writes logs with several channels, standard, extended
and remote frames, both directions and error frames, stored and compressed,
with containers small enough that objects straddle them; canlog converts each
to a candump log and ASC, and python-can reads those back: every frame, flag,
dlc, data byte, channel and time (to the microsecond) as python-can reads the
BLF itself. BLF written by canlog (from python-can's candump log, stored and
compressed) is read by python-can's BLFReader 1:1, error frames as error
frames. A BLF cut inside a container converts up to that container and says
where it stopped. --dbc writes CSV whose values canmatrix's decoder agrees
with. A 2-million-frame log converts with every frame and bounded memory.

usage: canlog_test.py WINE_RUN BIN_DIR
"""
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

import can
import canmatrix.formats

WINE_RUN, BIN_DIR = sys.argv[1:3]
failures = []
T0 = 1700000000.0  # a date: the files carry it


def check(condition, what, detail=""):
    if condition:
        print("ok: " + what, flush=True)
        return
    failures.append(what)
    print("FAIL: %s\n%s" % (what, detail), flush=True)


def win(path):
    return "Z:" + path.replace("/", "\\")


def canlog(*args, stdin=None, timeout=600):
    cmd = [WINE_RUN, os.path.join(BIN_DIR, "canlog.exe")] + [str(a) for a in args]
    done = subprocess.run(cmd, capture_output=True, timeout=timeout, input=stdin)
    return done.returncode, done.stdout, done.stderr.decode(errors="replace")


def source_messages(rng, count):
    """Frames of every kind on three channels, times on microseconds."""
    msgs = []
    t = T0 + 0.5
    for n in range(count):
        t += rng.randint(1, 3000) * 1e-6
        kind = rng.random()
        channel = rng.randint(0, 2)
        if kind < 0.05:
            msgs.append(can.Message(timestamp=t, is_error_frame=True, channel=channel))
            continue
        ext = kind < 0.45
        ident = rng.randint(0x800, 0x1FFFFFFF) if ext else rng.randint(0, 0x7FF)
        if kind > 0.9:
            msgs.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=ext,
                                    is_remote_frame=True, dlc=rng.randint(0, 8), channel=channel,
                                    is_rx=rng.random() < 0.5))
            continue
        data = bytes(rng.randint(0, 255) for _ in range(rng.randint(0, 8)))
        msgs.append(can.Message(timestamp=t, arbitration_id=ident, is_extended_id=ext, data=data,
                                channel=channel, is_rx=rng.random() < 0.5))
    return msgs


def write_blf(path, msgs, **kwargs):
    writer = can.BLFWriter(path, **kwargs)
    for m in msgs:
        writer.on_message_received(m)
    writer.stop()


def channel_number(channel):
    """python-can's channels: 0-based ints from BLF and ASC, 'canN' from a candump log."""
    if isinstance(channel, str):
        return int(channel[3:]) if channel.startswith("can") else channel
    return channel


def key(m):
    """What must survive a conversion, the time aside (see same_records).

    python-can reads no channel for a candump log's error frames: an
    error frame's channel is left out."""
    if m.is_error_frame:
        return ("error",)
    return (hex(m.arbitration_id), m.is_extended_id, m.is_remote_frame, m.dlc,
            bytes(m.data or b"") if not m.is_remote_frame else b"", m.is_rx,
            channel_number(m.channel))


# Text logs keep microseconds; python-can's float seconds near 1.7e9 have a
# resolution of a quarter microsecond.
TIME_SLACK = 1.0e-6 + 2.5e-7


def same_records(expected, got):
    """'' when the messages agree in every key and in time, else the first difference."""
    for i, (x, y) in enumerate(zip(expected, got)):
        if key(x) != key(y) or abs(x.timestamp - y.timestamp) > TIME_SLACK:
            return "record %d: expected %s at %.7f, got %s at %.7f" % (
                i, key(x), x.timestamp, key(y), y.timestamp)
    if len(expected) != len(got):
        return "%d records expected, %d read" % (len(expected), len(got))
    return ""


def read_any(path):
    if path.endswith(".blf"):
        return list(can.BLFReader(path))
    if path.endswith(".asc"):
        return list(can.ASCReader(path, relative_timestamp=False))
    return list(can.CanutilsLogReader(path))


def check_python_blf_converts(tmp, rng):
    msgs = source_messages(rng, 3000)
    variants = [("default", {}), ("stored", {"compression_level": 0}),
                # Containers of 1000 bytes: python-can cuts objects across them.
                ("straddling", {"max_container_size": 1000}),
                ("straddling_stored", {"max_container_size": 1000, "compression_level": 0})]
    for name, kwargs in variants:
        src = os.path.join(tmp, "pc_%s.blf" % name)
        write_blf(src, msgs, **kwargs)
        expected = list(can.BLFReader(src))
        check(len(expected) == len(msgs) and any(m.is_error_frame for m in expected),
              name + ": python-can reads its own BLF with error frames")
        for ext in ("log", "asc", "blf"):
            out = os.path.join(tmp, "%s_out.%s" % (name, ext))
            code, _, err = canlog(win(src), win(out))
            check(code == 0 and ("%d frames" % (len(msgs) - sum(m.is_error_frame for m in msgs))) in err,
                  "%s: canlog converts to %s" % (name, ext), err)
            diff = same_records(expected, read_any(out))
            check(not diff, "%s: python-can reads canlog's %s 1:1" % (name, ext), diff)


def check_canlog_blf_read_by_python_can(tmp, rng):
    msgs = source_messages(rng, 5000)
    src = os.path.join(tmp, "pc.log")
    writer = can.CanutilsLogWriter(src)
    for m in msgs:
        writer.on_message_received(m)
    writer.stop()
    expected = list(can.CanutilsLogReader(src))
    for level in ("0", "6", "9"):
        out = os.path.join(tmp, "canlog_z%s.blf" % level)
        code, _, err = canlog("-z", level, win(src), win(out))
        check(code == 0, "canlog writes BLF at zlib level " + level, err)
        diff = same_records(expected, list(can.BLFReader(out)))
        check(not diff, "python-can reads canlog's BLF (level %s) 1:1" % level, diff)
        errors = [m for m in can.BLFReader(out) if m.is_error_frame]
        check(len(errors) == sum(m.is_error_frame for m in msgs),
              "error frames stay error frames (level %s)" % level)
    # Standard input to standard output, format by content and by -o.
    with open(src, "rb") as f:
        code, out, err = canlog("-o", "blf", "-", "-", stdin=f.read())
    piped = os.path.join(tmp, "piped.blf")
    with open(piped, "wb") as f:
        f.write(out)
    diff = same_records(expected, list(can.BLFReader(piped)))
    check(code == 0 and not diff, "canlog - - converts standard input to BLF on standard output",
          err + diff)


def container_offsets(path):
    """Byte offsets of a BLF file's top-level objects."""
    with open(path, "rb") as f:
        data = f.read()
    header_size = struct.unpack_from("<4sL", data, 0)[1]
    offsets, pos = [], header_size
    while pos + 16 <= len(data):
        sig, _, _, size, _ = struct.unpack_from("<4sHHLL", data, pos)
        assert sig == b"LOBJ"
        offsets.append(pos)
        pos += size + size % 4
    return data, offsets


def check_truncated(tmp, rng):
    # 48-byte CAN_MESSAGE objects: exactly 100 to each container.
    msgs = [m for m in source_messages(rng, 1200) if not m.is_error_frame][:1000]
    src = os.path.join(tmp, "whole.blf")
    write_blf(src, msgs, max_container_size=4800)
    data, offsets = container_offsets(src)
    check(len(offsets) == 10, "python-can wrote 10 containers", str(offsets))
    cut_at = offsets[6] + (offsets[7] - offsets[6]) // 2
    cut = os.path.join(tmp, "cut.blf")
    with open(cut, "wb") as f:
        f.write(data[:cut_at])
    out = os.path.join(tmp, "cut.log")
    code, _, err = canlog(win(cut), win(out))
    diff = same_records(list(can.BLFReader(src))[:600], list(can.CanutilsLogReader(out)))
    check(code == 1 and not diff, "a BLF cut in container 7 converts its first 600 frames",
          "exit %d\n%s\n%s" % (code, diff, err))
    check("stopped at byte %d (container 7)" % offsets[6] in err,
          "canlog says where it stopped and why", err)


DBC = """VERSION ""

NS_ :

BS_:

BU_: ECU

BO_ 256 Engine: 8 ECU
 SG_ Speed : 0|16@1+ (0.125,0) [0|8000] "rpm" Vector__XXX
 SG_ Temp : 16|8@1- (1,-40) [-40|215] "degC" Vector__XXX
 SG_ Load : 31|8@0+ (0.5,0) [0|100] "%" Vector__XXX

BO_ 2565866752 Body: 2 ECU
 SG_ Door : 0|1@1+ (1,0) [0|1] "" Vector__XXX
 SG_ Light : 8|8@1+ (2,1) [0|511] "" Vector__XXX
"""


def check_csv(tmp, rng):
    dbc = os.path.join(tmp, "car.dbc")
    with open(dbc, "w") as f:
        f.write(DBC)
    db = canmatrix.formats.loadp_flat(dbc)
    engine, body = db.frame_by_name("Engine"), db.frame_by_name("Body")
    msgs = []
    for n in range(300):
        frame = (engine, body, None)[n % 3]
        t = T0 + n * 0.01
        if frame is None:
            msgs.append(can.Message(timestamp=t, arbitration_id=0x555, is_extended_id=False,
                                    data=b"\x01"))
            continue
        data = bytes(rng.randint(0, 255) for _ in range(frame.size))
        msgs.append(can.Message(timestamp=t, arbitration_id=frame.arbitration_id.id,
                                is_extended_id=frame.arbitration_id.extended, data=data))
    src = os.path.join(tmp, "signals.blf")
    write_blf(src, msgs)
    out = os.path.join(tmp, "signals.csv")
    code, _, err = canlog("--dbc", win(dbc), win(src), win(out))
    check(code == 0, "canlog --dbc writes CSV", err)
    with open(out, newline="") as f:
        rows = [line.rstrip("\r\n").split(",") for line in f]
    header = rows[0]
    check(header == ["time", "Engine.Speed", "Engine.Temp", "Engine.Load", "Body.Door",
                     "Body.Light"], "CSV header: time, then MESSAGE.SIGNAL", str(header))
    check(len(rows) == 301, "one row per frame", str(len(rows)))
    bad = []
    for m, row in zip(msgs, rows[1:]):
        if abs(float(row[0]) - m.timestamp) > 1e-6:
            bad.append("time %s for %f" % (row[0], m.timestamp))
        frame = db.frame_by_id(canmatrix.ArbitrationId(m.arbitration_id, extended=m.is_extended_id))
        want = {}
        if frame is not None:
            want = {frame.name + "." + s: float(v.phys_value) for s, v in frame.decode(m.data).items()}
        for name, cell in zip(header[1:], row[1:]):
            if name in want:
                if cell == "" or abs(float(cell) - want[name]) > 1e-9 * max(1, abs(want[name])):
                    bad.append("%s: ours %r, canmatrix %r" % (name, cell, want[name]))
            elif cell != "":
                bad.append("%s: %r where the frame has no such signal" % (name, cell))
    check(not bad, "every CSV value agrees with canmatrix's decoder", "\n".join(bad[:10]))
    return db, dbc, msgs


def check_jsonl(tmp, db, dbc, msgs):
    """The frames of the CSV case and an error frame, as JSON Lines."""
    error = can.Message(timestamp=T0 + 10, is_error_frame=True, channel=1, data=bytes(8))
    src = os.path.join(tmp, "jsonl.blf")
    write_blf(src, msgs + [error])
    out = os.path.join(tmp, "frames.jsonl")
    code, _, err = canlog("--dbc", win(dbc), win(src), win(out))
    check(code == 0, "canlog --dbc OUT.jsonl writes JSON Lines", err)
    with open(out) as f:
        objects = [json.loads(line) for line in f]
    check(len(objects) == len(msgs) + 1, "one object per record", "%d objects" % len(objects))
    bad = []
    for m, o in zip(msgs, objects):
        if abs(o["t"] - m.timestamp) > 1e-6 or o["id"] != m.arbitration_id or \
                o["ext"] != m.is_extended_id or o["rtr"] or o["dlc"] != len(m.data) or \
                o["data"] != m.data.hex().upper() or o["error"] is not None:
            bad.append("frame %r as %r" % (m, o))
            continue
        frame = db.frame_by_id(canmatrix.ArbitrationId(m.arbitration_id, extended=m.is_extended_id))
        want = {} if frame is None else {s: float(v.phys_value) for s, v in frame.decode(m.data).items()}
        if o["msg"] != (frame.name if frame is not None else None) or set(o["signals"]) != set(want):
            bad.append("decoded %r, canmatrix %r" % (o, want))
            continue
        bad += ["%s: ours %r, canmatrix %r" % (n, o["signals"][n], v) for n, v in want.items()
                if abs(o["signals"][n] - v) > 1e-9 * max(1, abs(v))]
    check(not bad, "every JSON line agrees with the frame and canmatrix's decoder", "\n".join(bad[:10]))
    last = objects[-1] if objects else {}
    check(last.get("error") is not None and last.get("ext") and last.get("id", 0) & 0x20000000,
          "an error frame of the log is an error frame in JSON", repr(last))
    # Without a database: every frame, msg null.
    code, plain, err = canlog("-o", "jsonl", win(src), "-")
    lines = [json.loads(line) for line in plain.decode().splitlines()]
    check(code == 0 and len(lines) == len(msgs) + 1 and all(o["msg"] is None for o in lines),
          "-o jsonl without --dbc: the frames, msg null", err)


def check_large(tmp):
    n = 2_000_000
    src = os.path.join(tmp, "large.log")
    with open(src, "w") as f:
        lines = []
        for i in range(n):
            lines.append("(%d.%06d) can%d %03X#%016X\n" % (1700000000 + i // 1000000, i % 1000000,
                                                           i % 4, i % 0x800, i * 2654435761 % (1 << 64)))
            if len(lines) == 100000:
                f.write("".join(lines))
                lines = []
        f.write("".join(lines))
    blf = os.path.join(tmp, "large.blf")
    code, _, err = canlog("-q", win(src), win(blf))
    check(code == 0 and "%d frames" % n in err, "canlog converts 2,000,000 frames to BLF", err)
    peak = re.search(r"peak memory ([0-9.]+) MB", err)
    # Streaming: a few MB of buffers, far below the 80 MB log.
    check(peak and float(peak.group(1)) < 48, "converting holds bounded memory", err)
    back = os.path.join(tmp, "large_back.log")
    code, _, err = canlog("-q", win(blf), win(back))
    check(code == 0 and "%d frames" % n in err, "and back to a candump log", err)
    # BLF knows a direction for every frame: received, " R".
    with open(src, "rb") as a, open(back, "rb") as b:
        same = a.read().replace(b"\n", b" R\n") == b.read().replace(b"\r\n", b"\n")
    check(same, "the round trip gives the log line for line")
    os.remove(src)
    os.remove(back)
    os.remove(blf)


def check_usage():
    code, out, _ = canlog("-h")
    check(code == 0 and b"Examples:" in out, "-h prints the usage with examples")
    code, out, _ = canlog("-V")
    check(code == 0 and out.startswith(b"canlog "), "-V prints the version")
    for args, says in ((["a.blf"], "OUT is missing"), (["-o", "xml", "a.blf", "-"], "unknown format"),
                       (["a.blf", "a.txt"], "cannot tell the format"),
                       (["a.blf", "a.csv"], "needs --dbc"), (["-z", "10", "a.log", "b.blf"], "-z")):
        code, _, err = canlog(*args)
        check(code == 2 and says in err and "Usage:" in err,
              "wrong arguments %s are named with the usage" % args, err)


def main():
    tmp = tempfile.mkdtemp(prefix="ribex-canlog-")
    rng = random.Random(21)
    try:
        check_usage()
        check_python_blf_converts(tmp, rng)
        check_canlog_blf_read_by_python_can(tmp, rng)
        check_truncated(tmp, rng)
        check_jsonl(tmp, *check_csv(tmp, rng))
        check_large(tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
