#!/usr/bin/python3
"""canpeer --dbc against canmatrix, through a simulated net and candump.

canmatrix (Debian's python3-canmatrix, native) writes the test's DBC file:
an engine node ECU and a dashboard Dash, Intel and Motorola signals, signed
and unsigned, scale and offset, a value table, start values, cycle times and
a message without one. Under the build's Wine, candump reads a simulated net
through the ribex server while canpeer sends into it:

1. Messages with signal values: the bytes candump shows are the bytes
   canmatrix encodes for those values and the other signals' start values;
   a value out of range goes out clamped and is reported; -n and -r repeat
   and pace the messages as they do frames; an unknown signal is an error
   that names what there is.
2. The rest bus of ECU: every ECU message comes at its cycle time (the rate
   between the frames' own first and last time stamps within 5 %), Dash's
   message never; a "set" line on canpeer's stdin changes the value the
   reader sees; a bad line is reported and the run goes on; the message
   without a cycle time comes at the start and again when set; canpeer's
   frames per message are the frames candump got.

usage: canpeer_dbc_test.py WINE_RUN BIN_DIR WINEPREFIX
"""
import collections
import os
import re
import select
import subprocess
import sys
import tempfile
import threading
import time
from decimal import Decimal

import canmatrix
import canmatrix.formats

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
from ribex_servers import wait_no_server  # noqa: E402
import ribex_tools  # noqa: E402
from ribex_tools import check, command, run, win  # noqa: E402

WINE_RUN, BIN_DIR, PREFIX = sys.argv[1:4]
ribex_tools.use_build(WINE_RUN, BIN_DIR)
TAG = "%x" % os.getpid()
QUEUE = "cpdq" + TAG
NET = "CPDB" + TAG
LINE = re.compile(r"^\((\d+\.\d+)\) \S+ ([0-9A-F]+)#([0-9A-F]*)\s*$")
REST_BUS_MS = 4000


def signal(name, start, size, factor="1", offset="0", little=True, signed=False, minimum=None,
           maximum=None, unit="", start_value=None, values=None):
    sig = canmatrix.Signal(name, size=size, is_little_endian=little, is_signed=signed,
                           factor=Decimal(factor), offset=Decimal(offset), unit=unit)
    if little:
        sig.start_bit = start
    else:
        sig.set_startbit(start, bitNumbering=1, startLittle=False)  # start: the MSB
    if minimum is not None:
        sig.min, sig.max = Decimal(minimum), Decimal(maximum)
    if start_value is not None:
        sig.initial_value = Decimal(start_value)
    for raw, text in (values or {}).items():
        sig.add_values(raw, text)
    return sig


def car_database():
    db = canmatrix.CanMatrix()
    for node in ("ECU", "Dash"):
        db.add_ecu(canmatrix.Ecu(node))

    def message(name, ident, ext, cycle, node, *signals):
        frame = canmatrix.Frame(name, size=8, arbitration_id=canmatrix.ArbitrationId(ident, extended=ext),
                                transmitters=[node], cycle_time=cycle)
        for s in signals:
            frame.add_signal(s)
        db.add_frame(frame)

    message("EEC1", 0x0CF00400, True, 20, "ECU",
            signal("EngineSpeed", 24, 16, "0.125", minimum="0", maximum="8031.875", unit="rpm",
                   start_value="800"),
            signal("EngineTorque", 16, 8, offset="-125", minimum="-125", maximum="125", unit="%"),
            signal("Mode", 0, 4, start_value="1", values={0: "Off", 1: "Idle", 2: "Run"}))
    message("Fast", 0x100, False, 10, "ECU",
            signal("Counter", 0, 8),
            signal("Temp", 15, 12, "0.1", "-40", little=False, signed=True, minimum="-100",
                   maximum="150", unit="degC", start_value="20"))
    message("Slow", 0x1F334455, True, 50, "ECU",
            signal("Odometer", 0, 32, "0.5", unit="km", start_value="1000"))
    message("Lamps", 0x300, False, 0, "ECU",
            signal("Left", 7, 2, little=False, values={0: "Off", 1: "On", 2: "Blink"}))
    message("DashStatus", 0x321, False, 100, "Dash", signal("Brightness", 0, 8))
    return db


def canmatrix_bytes(frame, given):
    """canmatrix's frame for the physical values given and the others' start values."""
    raws = {}
    for sig in frame.signals:
        value = given.get(sig.name)
        if value in sig.values.values():
            value = next(Decimal(raw) for raw, text in sig.values.items() if text == value)
            value = value * sig.factor + sig.offset
        raws[sig.name] = sig.phys2raw(None if value is None else Decimal(value))
    return bytes(frame.encode(raws)).hex().upper()


class Reader:
    """candump on NET, its lines collected by a thread as they come."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(command("candump", ["-q", QUEUE] + list(args) + [NET]),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.frames = []  # (time, id, data)
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()
        self.err = b""
        end = time.time() + 60
        fd = self.proc.stderr.fileno()
        while b"candump: reading" not in self.err and time.time() < end:
            if select.select([fd], [], [], 0.5)[0]:
                chunk = os.read(fd, 4096)
                if not chunk:
                    break
                self.err += chunk
        check(b"candump: reading" in self.err, "candump opened " + NET, self.err.decode(errors="replace"))

    def _read(self):
        for raw in self.proc.stdout:
            m = LINE.match(raw.decode(errors="replace"))
            if m:
                with self.lock:
                    self.frames.append((float(m.group(1)), int(m.group(2), 16), m.group(3)))

    def wait_until(self, condition, timeout=30):
        end = time.time() + timeout
        while time.time() < end:
            with self.lock:
                if condition(self.frames):
                    return True
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        with self.lock:
            return condition(self.frames)

    def finish(self, timeout=60):
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        self.thread.join(10)
        self.err += self.proc.stderr.read()
        return self.proc.returncode


def check_messages(db, dbc):
    by_name = {f.name: f for f in db.frames}
    cases = [("EEC1.EngineSpeed=1500,EEC1.EngineTorque=40", "EEC1", {"EngineSpeed": "1500", "EngineTorque": "40"}),
             ("Fast.Temp=-12.5,Fast.Counter=7", "Fast", {"Temp": "-12.5", "Counter": "7"}),
             ("Slow.Odometer=123456.5", "Slow", {"Odometer": "123456.5"}),
             ("EEC1.EngineSpeed=9000,EEC1.Mode=Run", "EEC1", {"EngineSpeed": "8031.875", "Mode": "Run"}),
             ("Lamps.Left=Blink", "Lamps", {"Left": "Blink"})]
    reader = Reader("-n", len(cases))
    code, out, err = run("canpeer", "-s", NET, "--dbc", win(dbc), *[c[0] for c in cases])
    check(code == 0, "canpeer sends %d messages" % len(cases), out + err)
    check("EEC1.EngineSpeed = 9000 is out of range: clamped to 8031.875" in err,
          "the value out of range is reported as clamped", err)
    check(reader.finish() == 0, "candump got them", reader.err.decode(errors="replace"))
    got = [(ident, data) for _, ident, data in reader.frames]
    want = [(by_name[m].arbitration_id.id, canmatrix_bytes(by_name[m], given)) for _, m, given in cases]
    check(got == want, "the bytes are canmatrix's for those values and the start values",
          "got  %s\nwant %s" % (got, want))

    # -n and -r as for frames: 6 frames cycling through the two, 100 a second.
    reader = Reader("-n", 6)
    code, out, err = run("canpeer", "-s", NET, "--dbc", win(dbc), "-n", 6, "-r", 100, "Fast.Counter=1",
                         "Lamps.Left=On")
    check(code == 0 and "6 frames to" in err and "(asked for 100)" in err, "canpeer -n 6 -r 100", out + err)
    reader.finish()
    ids = [ident for _, ident, _ in reader.frames]
    stamps = [t for t, _, _ in reader.frames]
    check(ids == [0x100, 0x300] * 3, "the messages cycle in order", ids)
    check(len(stamps) == 6 and stamps[-1] - stamps[0] >= 0.04, "paced: five gaps of 10 ms", stamps)

    code, out, err = run("canpeer", "-s", NET, "--dbc", win(dbc), "EEC1.EngineSpeed=1,EEC1.Speed=2")
    check(code == 2 and "no signal 'Speed'" in err and "EngineSpeed, EngineTorque, Mode" in err and
          "Examples:" in err, "an unknown signal is named, with what there is and the usage", err)


def rest_bus_statistics(err):
    """canpeer's frames per message: {identifier: frames}."""
    sent = {}
    for m in re.finditer(r"canpeer:\s+\S+ \(([0-9A-F]+)\)\s+(?:every\s+\d+ ms|on change\s*):\s+(\d+) frames", err):
        sent[int(m.group(1), 16)] = int(m.group(2))
    return sent


def check_rest_bus(db, dbc):
    by_name = {f.name: f for f in db.frames}
    eec1 = by_name["EEC1"].arbitration_id.id
    lamps = by_name["Lamps"].arbitration_id.id
    speed_2000 = canmatrix_bytes(by_name["EEC1"], {"EngineSpeed": "2000"})
    lamps_on = canmatrix_bytes(by_name["Lamps"], {"Left": "On"})
    reader = Reader("-T", REST_BUS_MS + 8000)
    peer = subprocess.Popen(command("canpeer", ["-s", NET, "--dbc", win(dbc), "--node", "ECU", "-T", REST_BUS_MS]),
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err_lines = []
    err_thread = threading.Thread(target=lambda: err_lines.extend(l.decode(errors="replace") for l in peer.stderr),
                                  daemon=True)
    err_thread.start()
    check(reader.wait_until(lambda fs: sum(1 for f in fs if f[1] == eec1) >= 20),
          "the rest bus runs: 20 EEC1 frames", "".join(err_lines))
    check(reader.wait_until(lambda fs: not any(f[1] == eec1 and f[2] == speed_2000 for f in fs), 0),
          "no EEC1 frame carries 2000 rpm before it is set")
    peer.stdin.write(b"set EEC1.EngineSpeed 2000\nset EEC1.Nope 1\nset Lamps.Left On\n")
    peer.stdin.flush()
    check(reader.wait_until(lambda fs: any(f[1] == eec1 and f[2] == speed_2000 for f in fs)),
          "after the set line EEC1 carries 2000 rpm (canmatrix's bytes %s)" % speed_2000,
          "".join(err_lines))
    check(reader.wait_until(lambda fs: any(f[1] == lamps and f[2] == lamps_on for f in fs)),
          "the message without a cycle time goes again when set")
    try:
        peer.stdin.close()
        code = peer.wait(timeout=60)
    except subprocess.TimeoutExpired:
        peer.kill()
        code = None
    err_thread.join(30)  # stderr ends with the process
    err = "".join(err_lines)
    check(code == 0, "canpeer ends by itself after -T with 0", err)
    check("canpeer: set EEC1.EngineSpeed = 2000 rpm" in err, "canpeer says what it set", err)
    check("no signal 'Nope'" in err, "a bad line is reported and the run goes on", err)
    check("Lamps (300) has no GenMsgCycleTime" in err, "the message without a cycle time is named", err)
    check(reader.finish() == 0, "candump ends after its run time", reader.err.decode(errors="replace"))

    frames = collections.defaultdict(list)
    for t, ident, data in reader.frames:
        frames[ident].append((t, data))
    sent = rest_bus_statistics(err)
    check(by_name["DashStatus"].arbitration_id.id not in frames, "nothing of Dash's is sent")
    check(len(frames[lamps]) == 2, "Lamps: once at the start and once when set", frames[lamps])
    for name in ("Fast", "EEC1", "Slow"):
        frame = by_name[name]
        ident, cycle = frame.arbitration_id.id, frame.cycle_time / 1000
        stamps = [t for t, _ in frames[ident]]
        rate = (len(stamps) - 1) / (stamps[-1] - stamps[0]) if len(stamps) > 1 and stamps[-1] > stamps[0] else 0
        print("  %s every %g ms: %d frames, %.2f frames/s by their time stamps (%.2f asked for)"
              % (name, cycle * 1000, len(stamps), rate, 1 / cycle))
        check(abs(rate * cycle - 1) <= 0.05, "%s: the rate by the frames' time stamps within 5 %% of %g/s"
              % (name, 1 / cycle), "%.3f/s" % rate)
        check(len(stamps) >= 0.9 * REST_BUS_MS / 1000 / cycle, "%s: frames for the whole run" % name, len(stamps))
        check(sent.get(ident) == len(stamps), "%s: canpeer's count is candump's" % name,
              "%s sent, %d seen" % (sent.get(ident), len(stamps)))


def check_rest_bus_without_reader(dbc):
    # Nobody opens this net: its queue fills within about a second, and the
    # rest bus goes on dropping, as ECUs send whether anybody listens.
    lonely = "CPDL" + TAG
    code, _, err = run("canpeer", "-s", lonely, "--dbc", win(dbc), "--node", "ECU", "-T", 3000, timeout=60)
    check(code == 0, "a rest bus nobody reads runs to its end", err)
    check("nobody reads %s" % lonely in err and "frames dropped while nobody read" in err,
          "a rest bus nobody reads says that it drops frames", err)


def main():
    check(wait_no_server(PREFIX), "no server of an earlier run is left")
    db = car_database()
    holder = None
    with tempfile.TemporaryDirectory(prefix="ribex-canpeer-dbc-") as tmp:
        dbc = os.path.join(tmp, "car.dbc")
        canmatrix.formats.dumpp({"": db}, dbc, export_type="dbc")
        try:
            # The net's simulated peer queue must exist when the net opens.
            holder = subprocess.Popen(command("msgqtool", ["-t", 300000, "create", NET, 256, 32]),
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            end = time.time() + 30
            while run("msgqtool", "info", NET)[0] != 0 and time.time() < end:
                time.sleep(0.2)
            check_messages(db, dbc)
            check_rest_bus(db, dbc)
            check_rest_bus_without_reader(dbc)
        finally:
            if holder:
                holder.terminate()
                holder.wait()
    # The server ends by itself once no client holds its queue.
    check(wait_no_server(PREFIX), "the server ended")
    return ribex_tools.summary()


if __name__ == "__main__":
    sys.exit(main())
