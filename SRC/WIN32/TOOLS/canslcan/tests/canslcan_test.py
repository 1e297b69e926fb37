#!/usr/bin/env python3
"""canslcan against an emulated slcan adapter: a pty that the build's Wine
sees as COM21 (slcan_emulator.py), canslcan under Wine, and candump as the
ribex client that must see the adapter's frames byte-exact. canslcan's
console is a pty of its own, so the test ends it with a real Ctrl+C (^C
typed into that terminal; Wine's console turns it into CTRL_C_EVENT).

usage: canslcan_test.py WINE_RUN BIN_DIR WINEPREFIX
"""
import os
import queue
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from slcan_emulator import Adapter, frame_line  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
from ribex_servers import wait_no_server  # noqa: E402

WINE_RUN, BIN_DIR, PREFIX = sys.argv[1:4]
COM = "COM21"
DEVICE = "VCAN6"   # the driver fixture's devices 5..8 are for suites like this one
SERVER_QUEUE = "slcanTestQ%d" % os.getpid()
failures = []


def run(exe, *args):
    """Runs a program of the build to its end; its CompletedProcess."""
    return subprocess.run([WINE_RUN, os.path.join(BIN_DIR, exe)] + list(args), capture_output=True,
                          timeout=60, stdin=subprocess.DEVNULL)


def check(condition, what, detail=""):
    if not condition:
        failures.append(what)
        print("FAIL: %s %s" % (what, detail[-3000:] if detail else ""), flush=True)
    return condition


class Program:
    """A Windows program under the build's Wine, its output read line by line."""

    def __init__(self, exe, args, stdin=subprocess.DEVNULL):
        # A session of its own: nothing typed on the test's terminal reaches it.
        self.proc = subprocess.Popen([WINE_RUN, os.path.join(BIN_DIR, exe)] + args, stdin=stdin,
                                     start_new_session=True,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.lines = []
        self.fresh = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            self.lines.append(line)
            self.fresh.put(line)

    def wait_line(self, predicate, timeout=20):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if any(predicate(l) for l in list(self.lines)):
                return True
            try:
                self.fresh.get(timeout=0.2)
            except queue.Empty:
                pass
        return False

    def finish(self, timeout=30):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        self.reader.join(5)
        return code

    def text(self):
        return "\n".join(self.lines)


class Bridge(Program):
    """canslcan on a terminal of its own; stop() presses Ctrl+C there."""

    def __init__(self, args):
        self.terminal, console = os.openpty()
        super().__init__("canslcan.exe", [COM] + args, stdin=console)
        os.close(console)

    def stop(self):
        os.write(self.terminal, b"\x03")
        code = self.finish()
        os.close(self.terminal)
        return code


def candump(net, count):
    return Program("candump.exe", ["-q", SERVER_QUEUE, "-n", str(count), "-T", "30000", net])


def probe(adapter, dump):
    """Sends 555#55 until candump shows it: a client sees only the frames
    stored after it opened the net."""
    for _ in range(60):
        adapter.send([frame_line(0x555, b"\x55")])
        if dump.wait_line(lambda l: " 555#55" in l, 0.5):
            return True
    return False


def settle(adapter, dump, stamped=None):
    """Sends the probe frame once more and waits until candump shows it:
    frames pass in order, so every frame sent before it has come too."""
    def probes():
        return sum(1 for l in list(dump.lines) if " 555#55" in l)
    before = probes()
    adapter.send([frame_line(0x555, b"\x55")], stamped=stamped)
    end = time.monotonic() + 20
    while probes() <= before and time.monotonic() < end:
        try:
            dump.fresh.get(timeout=0.2)
        except queue.Empty:
            pass
    return probes() > before


def enable(net):
    done = run("candump.exe", "-q", SERVER_QUEUE, "-u", "77:0", "enable", net, "7E0", "4")
    check(done.returncode == 0, "enable 7E0 on " + net, done.stdout.decode() + done.stderr.decode())


def frames_of(dump, net):
    """The frame parts ("123#11") of candump's lines for net."""
    return [l.split(" ", 2)[2] for l in dump.lines if l.startswith("(") and (") %s " % net) in l]


# The frames every target must pass on, as the adapter sends them and as
# candump prints them.
FRAMES = [
    (frame_line(0x123, bytes([0xDE, 0xAD, 0xBE, 0xEF, 0, 1, 2, 0xFF])), "123#DEADBEEF000102FF"),
    (frame_line(0x7FF, b""), "7FF#"),
    (frame_line(0x1F334455, b"\x11\x22\x33"), "1F334455#112233"),
    (frame_line(0x000, b"\x00"), "000#00"),
    (frame_line(0x7E0, b"", remote=True, length=4), "7E0#R4"),
    (frame_line(0x1ABCDEF0, b"", remote=True, length=0), "1ABCDEF0#R"),
]


def started(adapter):
    return adapter.wait_for(lambda a: a.open, 30)


def test_sim_frames_commands_and_ctrl_c(adapter):
    net = "slcanSim%d" % os.getpid()
    bridge = Bridge(["-b", "250k", "-v", "--sim", net])
    check(started(adapter), "sim: channel opened", bridge.text())
    check(adapter.commands[-5:] == ["C", "V", "S5", "Z0", "O"], "sim: set-up commands",
          repr(adapter.commands))
    dump = candump(net, 1000)
    check(probe(adapter, dump), "sim: probe frame reaches candump", dump.text())
    # Remote frames from a simulated peer reach clients only for enabled ids,
    # and only while the net is open (candump holds it).
    enable(net)
    adapter.send([f for f, _ in FRAMES])
    check(dump.wait_line(lambda l: " 7E0#R4" in l, 20), "sim: remote frame after enable",
          dump.text())
    check(settle(adapter, dump), "sim: a last probe frame comes after them", dump.text())
    dump.proc.kill()
    dump.finish()
    got = [f for f in frames_of(dump, net) if f != "555#55"]
    check(got == [s for _, s in FRAMES][:5], "sim: frames reach candump byte-exact",
          repr(got) + "\n" + dump.text())
    commands_before = len(adapter.commands)
    out_code = bridge.stop()
    check(out_code == 0, "sim: Ctrl+C ends canslcan with 0", "code %s\n%s" % (out_code,
                                                                              bridge.text()))
    check("C" in adapter.commands[commands_before:], "sim: Ctrl+C closes the channel",
          repr(adapter.commands))
    check(not adapter.open, "sim: channel closed at the end")
    check(any(" frames received, 0 transmitted, 0 lost" in l for l in bridge.lines),
          "sim: statistics",
          bridge.text())
    check(any(l.endswith(" %s 1F334455#112233" % net) for l in bridge.lines),
          "sim: -v prints log lines",
          bridge.text())


def test_device_both_ways(adapter):
    bridge = Bridge(["-b", "1M", "-t", "--device", DEVICE, "-R", "7DF"])
    check(started(adapter), "device: channel opened", bridge.text())
    check(adapter.commands[-3:] == ["S8", "Z1", "O"], "device: set-up commands",
          repr(adapter.commands))
    dump = candump(DEVICE, 1000)
    check(probe(adapter, dump), "device: probe frame reaches candump", dump.text())
    # Remote frames reach the server's handle only while a client enabled their id.
    enable(DEVICE)
    adapter.send([f for f, _ in FRAMES], stamped=True)
    check(dump.wait_line(lambda l: " 7E0#R4" in l, 20), "device: remote frame after enable",
          dump.text())
    check(settle(adapter, dump, stamped=True), "device: a last probe frame comes after them",
          dump.text())
    got = [f for f in frames_of(dump, DEVICE) if f != "555#55"]
    check(got[:5] == [s for _, s in FRAMES][:5], "device: frames reach candump byte-exact",
          repr(got))

    # A program writing on the bus transmits through the adapter.
    tx = run("canpeer.exe", "-d", DEVICE, "321#0102", "1F000001#", "7DF#R8", "7DE#R8")
    check(tx.returncode == 0, "device: canpeer wrote", tx.stdout.decode())
    check(adapter.wait_for(lambda a: len(a.transmitted) >= 3, 20),
          "device: transmit reaches the adapter",
          repr(adapter.transmitted))
    # 7DE was not passed with -R: the driver holds it back from canslcan.
    check(adapter.transmitted == ["t32120102", "T1F0000010", "r7DF8"],
          "device: transmitted commands",
          repr(adapter.transmitted))
    dump.proc.kill()
    dump.finish()
    code = bridge.stop()
    check(code == 0 and adapter.commands[-1] == "C", "device: Ctrl+C closes the channel",
          repr(adapter.commands[-3:]) + bridge.text())
    check(any("3 transmitted, 0 lost" in l for l in bridge.lines), "device: statistics",
          bridge.text())


def test_stamps_malformed_and_refusals(adapter):
    net = "slcanBad%d" % os.getpid()
    adapter.refuse = {"Z1"}          # stamps refused: a warning, frames still flow
    bridge = Bridge(["-t", "-v", "--sim", net])
    check(started(adapter), "stamps: channel opened", bridge.text())
    adapter.refuse = set()
    dump = candump(net, 1000)
    check(probe(adapter, dump), "stamps: probe frame reaches candump", dump.text())
    adapter.set_stamp(59000)   # the stamps wrap a second from now
    adapter.send([frame_line(0x101, b"\x01")], stamped=True)
    adapter.send_raw(b"t1\rgarbage\r\x00\x01\x02\r" + b"t123" * 40 + b"\rT1234567891\r")
    adapter.send([frame_line(0x102, b"\x02")], stamped=True)
    adapter.set_stamp(500)     # 1.5 s on: the stamps wrapped
    adapter.send([frame_line(0x103, b"\x03")], stamped=True)
    adapter.send_raw(b"t1040EA60\r")  # 60000 is no stamp: the frame still goes
    dump.wait_line(lambda l: " 104#" in l, 20)
    check(settle(adapter, dump), "malformed: a last probe frame comes after them", dump.text())
    dump.proc.kill()
    dump.finish()
    got = [f for f in frames_of(dump, net) if f != "555#55"]
    check(got == ["101#01", "102#02", "103#03", "104#"], "malformed: skipped, frames kept",
          repr(got) + dump.text())
    bridge.stop()
    check(any("the adapter refused 'Z1'" in l for l in bridge.lines), "refusal: named",
          bridge.text())
    check(any("5 malformed, 1 refused" in l for l in bridge.lines), "malformed: counted",
          bridge.text())
    stamps = [float(l[1:l.index(")")]) for l in bridge.lines if l.startswith("(") and " 10" in l]
    stamps = stamps[:3]  # 104 has no stamp: host time
    check(len(stamps) == 3 and stamps[0] >= 59.0 and stamps[2] > 60.0 and stamps == sorted(stamps),
          "stamps: unwrapped across 60 s", repr(stamps) + bridge.text())


def test_unplug_and_return(adapter):
    bridge = Bridge(["--device", DEVICE])
    check(started(adapter), "unplug: channel opened", bridge.text())
    adapter.send_raw(b"t1232AA")     # half a line when the adapter vanishes
    time.sleep(0.5)
    adapter.unplug()
    check(bridge.wait_line(lambda l: "the adapter is gone" in l, 20), "unplug: reported",
          bridge.text())
    # Frames written on the bus while the adapter is away are lost, and counted.
    tx = run("canpeer.exe", "-d", DEVICE, "-g", "-n", "7", "-I", "100")
    check(tx.returncode == 0, "unplug: canpeer wrote", tx.stdout.decode())
    time.sleep(1.5)
    adapter.commands.clear()
    adapter.plug()
    check(started(adapter), "unplug: reopened and set up again", bridge.text())
    run("canpeer.exe", "-d", DEVICE, "222#22")
    check(adapter.wait_for(lambda a: "t222122" in a.transmitted, 20),
          "unplug: transmit after return",
          repr(adapter.transmitted))
    bridge.stop()
    lost = "1 transmitted, 8 lost (1 to %s, 7 to the adapter)" % DEVICE
    check(any(lost in l and "1 reconnects" in l
              for l in bridge.lines), "unplug: lost frames and reconnects counted", bridge.text())


def test_device_gone_and_back(adapter):
    # A driver service of this case's own: stopping it touches no other suite.
    service = "slcanSvc%d" % os.getpid()
    prefix = "SLCV%d" % os.getpid()
    device = prefix + "1"
    done = run("log_test_service.exe", "install", service, prefix, "1024", "64")
    check(done.returncode == 0, "gone: own driver service installed", done.stderr.decode())
    try:
        bridge = Bridge(["--device", device, "-R", "7DF"])
        check(started(adapter), "gone: channel opened", bridge.text())
        dump = candump(device, 1000)
        check(probe(adapter, dump), "gone: probe frame reaches candump", dump.text())
        done = run("log_test_service.exe", "stop", service)
        check(done.returncode == 0, "gone: driver stopped", done.stderr.decode())
        check(bridge.wait_line(lambda l: "the device went away" in l, 20), "gone: reported",
              bridge.text())
        done = run("log_test_service.exe", "start", service)
        check(done.returncode == 0, "gone: driver started", done.stderr.decode())
        check(bridge.wait_line(lambda l: "the device is back" in l, 20), "gone: back reported",
              bridge.text())
        # Both ways again: the adapter's frames reach the server's reopened
        # handle, and the bus's frames reach the adapter.
        dump.lines.clear()
        check(probe(adapter, dump), "gone: adapter frames reach candump again", dump.text())
        tx = run("canpeer.exe", "-d", device, "222#22", "7DF#R8")
        check(tx.returncode == 0, "gone: canpeer wrote", tx.stdout.decode() + tx.stderr.decode())
        check(adapter.wait_for(lambda a: "t222122" in a.transmitted and "r7DF8" in a.transmitted, 20),
              "gone: transmit after the driver's return, remote ids passed again",
              repr(adapter.transmitted))
        dump.proc.kill()
        dump.finish()
        code = bridge.stop()
        check(code == 0, "gone: Ctrl+C ends canslcan with 0", bridge.text())
        check(sum("the device went away" in l for l in bridge.lines) == 1, "gone: said once",
              bridge.text())
        check(any("reopens of the device after it went away: 1" in l for l in bridge.lines), "gone: reopen counted",
              bridge.text())
    finally:
        run("log_test_service.exe", "uninstall", service)


def test_refused_bit_rate_and_full_queue(adapter):
    # An adapter that refuses the bit rate: named, channel never opened, exit 1.
    adapter.refuse = {"S7"}
    done = run("canslcan.exe", COM, "-b", "800k", "--sim", "slcanRefused%d" % os.getpid())
    err = done.stderr.decode(errors="replace")
    check(done.returncode == 1 and "the adapter refused 'S7'" in err
          and "O" not in adapter.commands,
          "refused bit rate ends canslcan", "code %d %r %s" % (done.returncode, adapter.commands,
                                                               err))
    adapter.refuse = set()
    # Nobody reads the net's queue: it fills, the rest is lost and counted,
    # and the serial reader goes on (the last frames still get counted).
    bridge = Bridge(["-Q", "4", "--send-timeout", "50", "--sim", "slcanFull%d" % os.getpid()])
    check(started(adapter), "full queue: channel opened", bridge.text())
    for i in range(10):
        adapter.send([frame_line(0x100 + i, b"\x01")])
        time.sleep(0.05)
    check(bridge.wait_line(lambda l: "full: is a server reading it?" in l, 20),
          "full queue: reported",
          bridge.text())
    adapter.send([frame_line(0x200, b"")] * 5)
    time.sleep(1)
    bridge.stop()
    lost = "4 frames received, 0 transmitted, 11 lost (11 to slcanFull"
    check(any(lost in l for l in bridge.lines),
          "full queue: lost frames counted", bridge.text())


def test_run_time_ends_by_itself(adapter):
    net = "slcanRun%d" % os.getpid()
    bridge = Bridge(["-T", "1500", "--sim", net])
    check(started(adapter), "-T: channel opened", bridge.text())
    opened_at = len(adapter.commands)
    code = bridge.finish(60)
    os.close(bridge.terminal)
    check(code == 0, "-T: canslcan ends by itself with 0 when its run time is over",
          "code %s\n%s" % (code, bridge.text()))
    check("C" in adapter.commands[opened_at:] and not adapter.open,
          "-T: the channel is closed at the end", repr(adapter.commands))
    check(any(" frames received, " in l for l in bridge.lines), "-T: statistics", bridge.text())


def test_usage():
    for args, code, text in ((["-h"], 0, "Examples:"), (["-V"], 0, "canslcan "),
                             (["COM5", "-b", "333k", "--sim", "CAN1"], 2, "333k")):
        done = run("canslcan.exe", *args)
        out = (done.stdout + done.stderr).decode(errors="replace")
        check(done.returncode == code and text in out, "usage %r" % args, out)
    done = run("canslcan.exe", "COM199", "--sim", "nonet")
    check(done.returncode == 1 and b"cannot open COM199" in done.stderr, "missing port",
          done.stderr.decode())


def main():
    # A server of an earlier test that is still ending would keep ours from starting.
    check(wait_no_server(PREFIX), "no server of an earlier test is left")
    test_usage()
    cases = [test_sim_frames_commands_and_ctrl_c, test_run_time_ends_by_itself,
             test_stamps_malformed_and_refusals,
             test_refused_bit_rate_and_full_queue, test_device_both_ways, test_unplug_and_return,
             test_device_gone_and_back]
    only = sys.argv[4:]
    for case in cases:
        if only and case.__name__ not in only:
            continue
        print("== %s" % case.__name__, flush=True)
        adapter = Adapter(PREFIX, COM)
        try:
            case(adapter)
        finally:
            adapter.close()
    print("%d failure(s): %s" % (len(failures),
                                 failures) if failures else "canslcan: all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
