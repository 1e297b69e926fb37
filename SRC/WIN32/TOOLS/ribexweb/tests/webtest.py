"""What ribexweb's host-side tests share: our programs under the build's Wine,
a DBC written by canmatrix, frames whose decoded values are known, logs
written by python-can, and HTTP against ribexweb on 127.0.0.1.
"""
import json
import os
import re
import select
import signal
import sys
import time
from decimal import Decimal
import urllib.error
import urllib.request

import can
import canmatrix
import canmatrix.formats

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
from ribex_servers import wait_no_server  # noqa: E402,F401
import ribex_tools  # noqa: E402
from ribex_tools import check, command, run, win  # noqa: E402,F401

WINE_RUN, BIN_DIR, PREFIX = sys.argv[1:4]
ribex_tools.use_build(WINE_RUN, BIN_DIR)
finish = ribex_tools.summary

ENGINE_ID, STATUS_ID, UNKNOWN_ID = 0x100, 0x18FF0001, 0x7AB
GEARS = {0: "Park", 1: "Reverse", 2: "Neutral", 3: "Drive"}




class Started(ribex_tools.Started):
    """A program of ours in the background; waits for patterns on stdout."""

    def wait_for(self, pattern, timeout=60):
        """Waits for a regular expression on stdout; its match or None."""
        end = time.time() + timeout
        fds = [self.proc.stdout.fileno(), self.proc.stderr.fileno()]
        while time.time() < end:
            m = re.search(pattern.encode(), self.out)
            if m:
                return m
            ready = select.select(fds, [], [], 0.5)[0]
            for fd in ready:
                chunk = os.read(fd, 65536)
                if fd == fds[0]:
                    self.out += chunk
                else:
                    self.err += chunk
            if not ready and self.proc.poll() is not None:
                break
        return re.search(pattern.encode(), self.out)

    def interrupt(self, timeout=60):
        """Ctrl+C (Wine passes SIGINT on as one); (exit code, stdout, stderr)."""
        self.proc.send_signal(signal.SIGINT)
        return self.finish(timeout)


def start_ribexweb(*args):
    """ribexweb on any free port: (process, base URL), or (process, None)."""
    web = Started("ribexweb", "-p", 0, *args)
    m = web.wait_for(r"serving http://127\.0\.0\.1:(\d+)/")
    return web, ("http://127.0.0.1:%s" % m.group(1).decode()) if m else None


def simulated_net(net):
    """A message queue holding net NET open, so that the server finds its peer."""
    holder = Started("msgqtool", "-t", 300000, "create", net, 256, 32)
    end = time.time() + 30
    while run("msgqtool", "info", net)[0] != 0 and time.time() < end:
        time.sleep(0.2)
    return holder


def get(base, path, timeout=30):
    """(status, parsed JSON or None, headers)."""
    try:
        with urllib.request.urlopen(base + path, timeout=timeout) as res:
            body = res.read()
            status, headers = res.status, res.headers
    except urllib.error.HTTPError as e:
        body, status, headers = e.read(), e.code, e.headers
    try:
        return status, json.loads(body), headers
    except ValueError:
        return status, None, headers


def wait_until(probe, timeout=60, period=0.2):
    """Calls probe until it returns something true; that, or the last result."""
    return ribex_tools.wait_until(probe, timeout, period)


# ---- the database and the frames ------------------------------------------------------------

def database():
    db = canmatrix.CanMatrix()
    engine = canmatrix.Frame("Engine", size=8, arbitration_id=canmatrix.ArbitrationId(ENGINE_ID))
    engine.add_signal(canmatrix.Signal("Speed", start_bit=0, size=16, is_little_endian=True,
                                       is_signed=False, factor=Decimal("0.25"), unit="rpm"))
    engine.add_signal(canmatrix.Signal("Temp", start_bit=16, size=8, is_little_endian=True,
                                       is_signed=False, offset=-40, unit="degC"))
    db.add_frame(engine)
    status = canmatrix.Frame("Status", size=8,
                             arbitration_id=canmatrix.ArbitrationId(STATUS_ID, extended=True))
    gear = canmatrix.Signal("Gear", start_bit=0, size=4, is_little_endian=True, is_signed=False)
    for raw, text in GEARS.items():
        gear.add_values(raw, text)
    status.add_signal(gear)
    status.add_signal(canmatrix.Signal("Voltage", start_bit=8, size=16, is_little_endian=True,
                                       is_signed=True, factor=Decimal("0.01"), unit="V"))
    db.add_frame(status)
    return db


def write_dbc(path):
    canmatrix.formats.dumpp({"": database()}, path, export_type="dbc")


def speed(i):
    return 800 + 25 * i + (i % 7) * 3.25  # rpm, a step of 0.25


def temp(i):
    return -40 + (i * 3) % 200


def volts(i):
    return round(12.0 + ((i * 37) % 300 - 150) / 100.0, 2)


def engine_data(i):
    raw = int(round(speed(i) / 0.25))
    return bytes([raw & 0xFF, raw >> 8, temp(i) + 40, 0, 0, 0, 0, i & 0xFF])


def status_data(i):
    raw = int(round(volts(i) * 100)) & 0xFFFF
    return bytes([i % 4, raw & 0xFF, raw >> 8, 0, 0, 0, 0, 0])


def messages(engines=200, statuses=50, unknowns=20, period=0.005):
    """[(time, id, ext, data)] in time order: Engine i, Status i and raw 7AB frames."""
    out = []
    t = 1.0
    e = s = u = 0
    while e < engines or s < statuses or u < unknowns:
        if e < engines:
            out.append((t, ENGINE_ID, False, engine_data(e)))
            e += 1
            t += period
        if s < statuses and (e % 4 == 0 or e >= engines):
            out.append((t, STATUS_ID, True, status_data(s)))
            s += 1
            t += period
        if u < unknowns and (e % 10 == 0 or e >= engines):
            out.append((t, UNKNOWN_ID, False, bytes([u, 0xEE])))
            u += 1
            t += period
    return out


def can_messages(msgs):
    return [can.Message(timestamp=t, arbitration_id=i, is_extended_id=x, data=d) for t, i, x, d in msgs]


def write_log(path, msgs):
    writer = can.CanutilsLogWriter(path)
    for m in can_messages(msgs):
        writer.on_message_received(m)
    writer.stop()


def write_blf(path, msgs):
    writer = can.BLFWriter(path)
    for m in can_messages(msgs):
        m.channel = 0
        writer.on_message_received(m)
    writer.stop()
