#!/usr/bin/python3
"""candump -d and -j against canmatrix, a DBC implementation nobody here wrote.

canmatrix (Debian's python3-canmatrix, native) writes a generated database
(both byte orders, signed and unsigned, a float, scale and offset, a value
table, an extended identifier, a multiplexed message); python-can writes a
log of random payloads for its messages and of an identifier it does not
know; canpeer replays the log into a simulated net while two candump runs
read it, one printing text lines with ' :: MSG(...)', one JSON Lines. Every
JSON line goes through json.loads, every decoded text is parsed back, and
both must carry exactly what canmatrix decodes from the same bytes. A file
for another net and one for every net must not change what the net's own
file says. A malformed file and two files defining one identifier are
refused with their place and a clear message.

usage: signals_test.py WINE_RUN BIN_DIR WINEPREFIX
"""
import json
import os
import random
import re
import shutil
import struct
import sys
import tempfile
import time

import can
import canmatrix
import canmatrix.formats

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
from ribex_servers import wait_no_server  # noqa: E402
import ribex_tools  # noqa: E402
from ribex_tools import Started, check, run, win  # noqa: E402

WINE_RUN, BIN_DIR, PREFIX = sys.argv[1:4]
ribex_tools.use_build(WINE_RUN, BIN_DIR)
TAG = "%x" % os.getpid()
QUEUE = "sgq" + TAG
NET = "SGS" + TAG
UNKNOWN_ID = 0x7AB  # in the file for every net only: stays raw on NET


def signal(name, start, size, little=True, signed=False, factor=1, offset=0, unit="", **kw):
    sig = canmatrix.Signal(name, size=size, is_little_endian=little, is_signed=signed,
                           factor=factor, offset=offset, unit=unit, **kw)
    if little:
        sig.start_bit = start
    else:
        sig.set_startbit(start, bitNumbering=1, startLittle=False)  # the MSB
    return sig


def frame(name, ident, ext, signals):
    f = canmatrix.Frame(name, size=8, arbitration_id=canmatrix.ArbitrationId(ident, extended=ext))
    for s in signals:
        f.add_signal(s)
    return f


def database():
    db = canmatrix.CanMatrix()
    state = signal("EngineState", 0, 2)
    for value, text in ((0, "Off"), (1, "Run"), (2, "Stall")):
        state.add_values(value, text)
    db.add_frame(frame("EEC1", 0x0CF00400, True, [
        state,
        signal("EngineTorque", 8, 8, factor=1, offset=-125, unit="%"),
        signal("EngineSpeed", 24, 16, factor=0.125, unit="rpm"),
        signal("Coolant", 47, 10, little=False, signed=True, factor=0.25, offset=40, unit="degC"),
    ]))
    db.add_frame(frame("Body", 0x123, False, [
        signal("Door", 7, 4, little=False),
        signal("Window", 3, 12, little=False, signed=True, factor=0.1, unit="%"),
        signal("Lamp", 32, 1),
        signal("Temp", 33, 31, signed=True, factor=0.001, offset=-5),
    ]))
    db.add_frame(frame("Pressure", 0x18FF1234, True, [
        canmatrix.Signal("Value", start_bit=32, size=32, is_little_endian=True, is_signed=True,
                         is_float=True, factor=0.5, offset=10, unit="bar"),
    ]))
    mux = frame("Muxed", 0x400, False, [
        canmatrix.Signal("Page", start_bit=0, size=8, is_little_endian=True, is_signed=False,
                         multiplex="Multiplexor")])
    for value in range(3):
        mux.add_signal(canmatrix.Signal("P%d" % value, start_bit=8 + 8 * value, size=16,
                                        is_little_endian=True, is_signed=value == 1, factor=0.5,
                                        multiplex=value))
    db.add_frame(mux)
    return db


def payloads(rng, db, per_frame):
    msgs = []
    for f in db.frames:
        for _ in range(per_frame):
            data = bytearray(rng.getrandbits(8) for _ in range(8))
            if f.name == "Muxed":
                data[0] = rng.randint(0, 3)  # 3 selects no page
            if f.name == "Pressure":
                data[4:8] = struct.pack("<f", rng.uniform(-1e5, 1e5))
            msgs.append((f, bytes(data)))
    rng.shuffle(msgs)
    for n in range(10):
        msgs.insert(rng.randrange(len(msgs)), (None, bytes([n, 0xEE])))
    return msgs


def write_log(path, msgs):
    writer = can.CanutilsLogWriter(path)
    for n, (f, data) in enumerate(msgs):
        ident, ext = (f.arbitration_id.id, f.arbitration_id.extended) if f else (UNKNOWN_ID, False)
        writer.on_message_received(can.Message(timestamp=1.0 + 0.002 * n, arbitration_id=ident,
                                               is_extended_id=ext, data=data))
    writer.stop()


def theirs(f, data):
    """canmatrix's decode: {signal: (physical, label or None)}."""
    out = {}
    for name, value in f.decode(data).items():
        sig = f.signal_by_name(name)
        label = sig.values.get(int(value.raw_value)) if sig.values else None
        out[name] = (float(value.phys_value), label)
    return out


def close(a, b):
    return abs(a - b) <= 1e-9 * max(1.0, abs(b))


def compare_json(line, f, data):
    obj = json.loads(line)
    want_id = f.arbitration_id.id if f else UNKNOWN_ID
    problems = []
    for key, want in (("net", NET), ("id", want_id), ("ext", bool(f and f.arbitration_id.extended)),
                      ("rtr", False), ("dlc", len(data)), ("data", data.hex().upper()),
                      ("msg", f.name if f else None), ("error", None)):
        if obj.get(key) != want:
            problems.append("%s %r, want %r" % (key, obj.get(key), want))
    expected = theirs(f, data) if f else {}
    if set(obj.get("signals", {})) != set(expected):
        problems.append("signals %s, canmatrix %s" % (sorted(obj["signals"]), sorted(expected)))
    for name, (phys, label) in expected.items():
        got = obj["signals"].get(name)
        if got is None or not close(got, phys):
            problems.append("%s %r, canmatrix %r" % (name, got, phys))
        if obj["labels"].get(name) != label:
            problems.append("%s label %r, canmatrix %r" % (name, obj["labels"].get(name), label))
    if set(obj["labels"]) - set(expected):
        problems.append("labels beyond the signals: %s" % obj["labels"])
    return problems, obj.get("t")


TEXT_SIGNAL = re.compile(r'(\w+): (\S+)(?: ([^",]+))?(?: "([^"]*)")?$')


def compare_text(line, f, data):
    """'(t) NET ID#DATA :: MSG(S: v unit "label", ...)' against canmatrix."""
    head, sep, decoded = line.partition(" :: ")
    problems = []
    stamp = float(head[1:head.index(")")])
    ident = "%08X" % f.arbitration_id.id if f and f.arbitration_id.extended else \
        "%03X" % (f.arbitration_id.id if f else UNKNOWN_ID)
    if not head.endswith(" %s %s#%s" % (NET, ident, data.hex().upper())):
        problems.append("frame part %r" % head)
    if not f:
        if sep:
            problems.append("an unknown identifier decoded: %r" % decoded)
        return problems, stamp
    expected = theirs(f, data)
    m = re.fullmatch(r"(\w+)\((.*)\)", decoded)
    if not m or m.group(1) != f.name:
        return problems + ["decoded %r, want %s(...)" % (decoded, f.name)], stamp
    got = {}
    for part in m.group(2).split(", ") if m.group(2) else []:
        s = TEXT_SIGNAL.match(part)
        if not s:
            problems.append("signal text %r" % part)
            continue
        got[s.group(1)] = (float(s.group(2)), (s.group(3) or "").strip(), s.group(4))
    if set(got) != set(expected):
        problems.append("signals %s, canmatrix %s" % (sorted(got), sorted(expected)))
    for name, (phys, label) in expected.items():
        if name not in got:
            continue
        value, unit, text = got[name]
        # %.15g keeps 15 digits.
        if abs(value - phys) > 1e-13 * max(1.0, abs(phys)):
            problems.append("%s %r, canmatrix %r" % (name, value, phys))
        if unit != (f.signal_by_name(name).unit or ""):
            problems.append("%s unit %r" % (name, unit))
        if text != label:
            problems.append("%s label %r, canmatrix %r" % (name, text, label))
    return problems, stamp


def check_refusals(tmp, good):
    bad = os.path.join(tmp, "bad.dbc")
    with open(bad, "w") as f:
        f.write('VERSION ""\n\nBO_ 256 M: 8 X\n SG_ S : 0|8@1+ (1,0) [0|0] "" X\n'
                ' SG_ T 0|8@1+ (1,0) [0|0] "" X\n')
    code, out, err = run("candump", "-q", QUEUE, "-d", win(bad), NET)
    check(code != 0 and win(bad) + ":5:8: expected ':'" in err,
          "a malformed file is refused with its line and column", "%d %r" % (code, err))
    code, out, err = run("candump", "-q", QUEUE, "-d", win(good), "-d", NET + "=" + win(good), "-d",
                         win(good), NET)
    check(code != 0 and "is already defined as" in err and win(good) in err,
          "two files defining one identifier for every net are refused, both named",
          "%d %r" % (code, err))
    code, out, err = run("candump", "-q", QUEUE, "-d", NET + "=", NET)
    check(code != 0 and "expected FILE.dbc or NET=FILE.dbc" in err, "NET= without a file is refused",
          err)
    check("Usage" not in err, "a load error is no usage error", err)


def main():
    check(wait_no_server(PREFIX), "no server of an earlier run is left")
    rng = random.Random(int(os.environ.get("SIGNALS_SEED", "20261211")))
    tmp = tempfile.mkdtemp(prefix="ribex-signals-")
    holder = None
    try:
        db = database()
        own = os.path.join(tmp, "own.dbc")
        canmatrix.formats.dumpp({"": db}, own, export_type="dbc")
        # Another net's file gives EEC1's identifier another meaning; the file
        # for every net knows UNKNOWN_ID: neither may reach NET.
        other, common = os.path.join(tmp, "other.dbc"), os.path.join(tmp, "common.dbc")
        wrong = canmatrix.CanMatrix()
        wrong.add_frame(frame("Wrong", 0x0CF00400, True, [signal("X", 0, 8)]))
        canmatrix.formats.dumpp({"": wrong}, other, export_type="dbc")
        everyone = canmatrix.CanMatrix()
        everyone.add_frame(frame("Everyone", UNKNOWN_ID, False, [signal("Y", 0, 8)]))
        canmatrix.formats.dumpp({"": everyone}, common, export_type="dbc")
        check_refusals(tmp, own)

        msgs = payloads(rng, db, per_frame=60)
        source = os.path.join(tmp, "source.log")
        write_log(source, msgs)
        holder = Started("msgqtool", "-t", 300000, "create", NET, 256, 32)
        end = time.time() + 30
        while run("msgqtool", "info", NET)[0] != 0 and time.time() < end:
            time.sleep(0.2)
        databases = ["-d", "OTHER=" + win(other), "-d", win(common), "-d", NET + "=" + win(own)]
        text = Started("candump", "-q", QUEUE, "-n", len(msgs), "-s", *databases, NET)
        check(text.wait_for("candump: reading"), "candump -d opened " + NET, text.err)
        jsonl = Started("candump", "-q", QUEUE, "-n", len(msgs), "-s", "-j", *databases, NET)
        check(jsonl.wait_for("candump: reading"), "candump -j -d opened " + NET, jsonl.err)
        code, out, err = run("canpeer", "-s", NET, "-p", win(source))
        check(code == 0, "canpeer replays %d frames" % len(msgs), out + err)

        code, out, err = text.finish()
        check(code == 0 and "0 lost" in out, "candump -d ends after its frames, none lost", out[-500:] + err)
        lines = [l for l in out.splitlines() if not l.startswith("candump: ")]
        check(len(lines) == len(msgs), "one text line per frame", "%d lines" % len(lines))
        bad, stamps = 0, []
        for line, (f, data) in zip(lines, msgs):
            problems, stamp = compare_text(line, f, data)
            stamps.append(stamp)
            if problems:
                bad += 1
                if bad <= 5:
                    print("  %s\n    %s" % (line, "; ".join(problems)))
        check(bad == 0, "every decoded text line agrees with canmatrix (%d frames)" % len(lines),
              "%d disagree" % bad)

        code, out, err = jsonl.finish()
        check(code == 0 and "0 lost" in err, "candump -j ends after its frames, statistics on stderr",
              out[-300:] + err)
        lines = out.splitlines()
        check(len(lines) == len(msgs), "stdout holds only the JSON lines", "%d lines" % len(lines))
        bad = 0
        for n, (line, (f, data)) in enumerate(zip(lines, msgs)):
            problems, t = compare_json(line, f, data)
            if n < len(stamps) and (t is None or abs(t - stamps[n]) >= 1e-6 or t < stamps[n]):
                problems.append("t %r, the text line says %r" % (t, stamps[n]))
            if problems:
                bad += 1
                if bad <= 5:
                    print("  %s\n    %s" % (line, "; ".join(problems)))
        check(bad == 0, "every JSON line agrees with canmatrix and with the text line's time",
              "%d disagree" % bad)
        labelled = sum(1 for line in lines if '"EngineState":"' in line)
        muxed = [json.loads(line)["signals"] for line in lines if '"msg":"Muxed"' in line]
        check(labelled > 0 and any(len(s) == 1 for s in muxed) and any(len(s) == 2 for s in muxed),
              "value-table labels and multiplexed pages (and no page) were among the frames",
              "%d labelled, %s" % (labelled, muxed[:5]))
    finally:
        if holder:
            holder.proc.terminate()
            holder.finish()
        check(wait_no_server(PREFIX), "the server ended")
        shutil.rmtree(tmp, ignore_errors=True)
    return ribex_tools.summary()


if __name__ == "__main__":
    sys.exit(main())
