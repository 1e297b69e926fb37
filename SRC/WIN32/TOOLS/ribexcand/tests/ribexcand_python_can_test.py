#!/usr/bin/env python3
"""ribexcand as a socketcand client on another OS sees it: Debian's python-can
(its socketcand interface) on Linux talks over loopback TCP to ribexcand
running under the build's Wine. canpeer feeds a simulated net and a device
of a virtual CAN driver service of this test's own; candump is the ribex
client that receives what python-can sends.

usage: ribexcand_python_can_test.py BUILD_DIR VCAN_SERVICE_SH
"""
import os
import random
import re
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

import can

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
from ribex_servers import wait_no_server  # noqa: E402

BUILD, SERVICE_SH = sys.argv[1:3]
WINE_RUN = os.path.join(BUILD, "wine-run.sh")
BIN = os.path.join(BUILD, "bin")
TAG = "%05d" % (os.getpid() % 100000)
QUEUE = "rcdQ" + TAG           # a server of this test's own
SERVICE, DEVICE_PREFIX = "rcdvcan", "RCDV"
DEV_IN, DEV_OUT = DEVICE_PREFIX + "1", DEVICE_PREFIX + "2"


def wine(program, *args, **kw):
    return subprocess.Popen([WINE_RUN, os.path.join(BIN, program)] + list(args),
                            stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)


class Lines:
    """Collects a process's output lines on a thread; waits for a pattern."""

    def __init__(self, process):
        self.process, self.lines, self.lock = process, [], threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for raw in self.process.stdout:
            with self.lock:
                self.lines.append(raw.decode(errors="replace").rstrip("\r\n"))

    def text(self):
        with self.lock:
            return "\n".join(self.lines)

    def wait_for(self, pattern, timeout=30):
        end = time.time() + timeout
        while time.time() < end:
            m = re.search(pattern, self.text())
            if m:
                return m
            time.sleep(0.05)
        raise AssertionError("no %r in output:\n%s" % (pattern, self.text()))


class Ribexcand:
    def __init__(self, *args):
        self.process = wine("ribexcand.exe", "-p", "0", "-q", QUEUE, *args)
        self.out = Lines(self.process)
        self.port = int(self.out.wait_for(r"listening on 127\.0\.0\.1:(\d+)").group(1))

    def stop(self):
        """Ctrl+C; returns the exit code."""
        self.process.send_signal(signal.SIGINT)
        code = self.process.wait(timeout=60)
        self.out.thread.join(10)
        return code


class SimNet:
    """A simulated net: a holder canpeer keeps its queue (and so the net)
    open; generators send the frames."""

    def __init__(self, name):
        self.name = name
        self.holder = wine("canpeer.exe", "-s", name, "-v", "-t", "60000", "-w", "60000", "7FF#")
        Lines(self.holder).wait_for(r" 7FF#")   # the queue is there

    def close(self):
        self.holder.kill()
        self.holder.wait()


def generate(target_flag, name, count, rate, ident, extra=()):
    return subprocess.run([WINE_RUN, os.path.join(BIN, "canpeer.exe"), target_flag, name, "-g",
                           "-n", str(count), "-r", str(rate), "-I", ident, "-L", "8",
                           "-t", "30000"] + list(extra),
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=120)


def socketcand_bus(channel):
    return can.Bus(interface="socketcand", host="127.0.0.1", port=CAND.port, channel=channel)


def receive_sequence(bus, ident, count, timeout=60):
    """Sequence numbers (canpeer's generator: data bytes 0..3) of frames with
    the identifier, until count arrived or the time is up."""
    got, end = [], time.time() + timeout
    while len(got) < count and time.time() < end:
        m = bus.recv(1)
        if m is not None and m.arbitration_id == ident:
            assert m.dlc == 8 and m.data[4:] == bytearray(4), m
            got.append(int.from_bytes(m.data[:4], "little"))
    return got


class RawClient:
    """A socketcand client by hand, for what python-can never sends."""

    def __init__(self, port=None, rcvbuf=None):
        self.s = socket.socket()
        if rcvbuf:
            self.s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.s.connect(("127.0.0.1", port or CAND.port))
        self.s.settimeout(20)
        self.data = b""
        self.expect("< hi >")

    def send(self, text):
        self.s.sendall(text if isinstance(text, bytes) else text.encode())

    def expect(self, text):
        """Reads until text arrived; returns everything read up to it."""
        while text.encode() not in self.data:
            chunk = self.s.recv(65536)
            if not chunk:
                raise AssertionError("closed before %r; got %r" % (text, self.data[-300:]))
            self.data += chunk
        i = self.data.index(text.encode()) + len(text)
        before, self.data = self.data[:i], self.data[i:]
        return before.decode(errors="replace")

    def closed(self):
        """True when the server closes the connection (after any output)."""
        try:
            while True:
                chunk = self.s.recv(65536)
                if not chunk:
                    return True
                self.data += chunk
        except socket.timeout:
            return False

    def close(self):
        self.s.close()


def ribexcand_statistics(number):
    return CAND.out.wait_for(r"#%d \S+ ended \(([^)]*)\): (\d+) frames, (\d+) lost, "
                             r"(\d+) sent to the bus.*, (.*)" % number)


def connection_number(port_of_client):
    return int(CAND.out.wait_for(r"#(\d+) 127\.0\.0\.1:%d connected" % port_of_client).group(1))


CAND = None


def setUpModule():
    global CAND
    # A server of an earlier test that is still ending would keep ours from starting.
    if not wait_no_server(os.path.join(BUILD, "wineprefix")):
        raise RuntimeError("a ribex.exe of an earlier test still runs")
    subprocess.run(["bash", SERVICE_SH, "--build", BUILD, "--service", SERVICE,
                    "--prefix", DEVICE_PREFIX, "--count", "2", "up"],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)
    CAND = Ribexcand("-c", "12")


def tearDownModule():
    if CAND and CAND.process.poll() is None:
        CAND.process.kill()
    subprocess.run(["bash", SERVICE_SH, "--build", BUILD, "--service", SERVICE, "down"],
                   stdout=subprocess.DEVNULL, timeout=120)


class CommandLine(unittest.TestCase):
    def test_usage_version_and_wrong_arguments(self):
        cases = [
            # (arguments, exit code, text expected)
            (["-h"], 0, "Examples:"),
            (["-V"], 0, "ribexcand 1."),
            (["-x"], 2, "unknown option: '-x'"),
            (["stray"], 2, "unexpected argument: 'stray'"),
            (["-p", "70000"], 2, "-p: bad port (0..65535): '70000'"),
            (["-c", "0"], 2, "-c: bad connection count (1..64): '0'"),
            (["-c", "+2"], 2, "-c: bad connection count (1..64): '+2'"),
            (["-l", "localhost"], 2, "-l: not a dotted IPv4 address: 'localhost'"),
            (["-T"], 2, "option needs a value: '-T'"),
            (["-T", "0"], 2, "-T: bad run time: '0'"),
        ]
        for args, code, text in cases:
            done = subprocess.run([WINE_RUN, os.path.join(BIN, "ribexcand.exe")] + args,
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            out = (done.stdout + done.stderr).decode(errors="replace")
            self.assertEqual(done.returncode, code, args)
            self.assertIn(text, out, args)
            if code == 2:
                self.assertIn("Usage: ribexcand", out, args)

    def test_another_address_is_bound_only_when_asked(self):
        process = wine("ribexcand.exe", "-l", "127.0.0.2", "-p", "0", "-q", QUEUE, "-T", "20000")
        out = Lines(process)
        port = int(out.wait_for(r"listening on 127\.0\.0\.2:(\d+)").group(1))
        c = socket.create_connection(("127.0.0.2", port), timeout=20)
        self.assertEqual(c.recv(64), b"< hi >")
        c.close()
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.wait(60), 0)


class Receive(unittest.TestCase):
    def test_a_simulated_net_reaches_python_can_in_order_and_complete(self):
        net = SimNet("RCS" + TAG)
        try:
            bus = socketcand_bus(net.name)
            try:
                done = generate("-s", net.name, 400, 800, "123")
                self.assertEqual(done.returncode, 0, done.stdout)
                self.assertEqual(receive_sequence(bus, 0x123, 400), list(range(400)))
            finally:
                bus.shutdown()
        finally:
            net.close()

    def test_a_device_net_reaches_python_can_in_order_and_complete(self):
        bus = socketcand_bus(DEV_IN)
        try:
            done = generate("-d", DEV_IN, 400, 800, "1ABCDEF")
            self.assertEqual(done.returncode, 0, done.stdout)
            self.assertEqual(receive_sequence(bus, 0x1ABCDEF, 400), list(range(400)))
        finally:
            bus.shutdown()

    def test_several_clients_get_every_frame_while_a_stalled_one_loses_its_own(self):
        net = SimNet("RCM" + TAG)
        count = 4000
        try:
            buses = [socketcand_bus(net.name) for _ in range(3)]
            # Reads nothing until the peer is done; a small receive window
            # makes its backlog reach ribexcand's bound quickly.
            stalled = RawClient(rcvbuf=4096)
            stalled.send("< open %s >" % net.name)
            stalled.expect("< ok >")
            stalled.send("< rawmode >")
            stalled.expect("< ok >")
            results = [None] * len(buses)

            def read(i):
                results[i] = receive_sequence(buses[i], 0x321, count)

            readers = [threading.Thread(target=read, args=(i,)) for i in range(len(buses))]
            for r in readers:
                r.start()
            done = generate("-s", net.name, count, 1000, "321")
            self.assertEqual(done.returncode, 0, done.stdout)
            for r in readers:
                r.join(90)
            for got in results:
                self.assertEqual(got, list(range(count)))

            # The stalled client: whatever it got is in order, and what it
            # missed is told in error lines, so nothing is lost silently.
            stalled.s.settimeout(2)
            stalled.closed()
            text = stalled.data.decode()
            seqs = [int.from_bytes(bytes.fromhex(m.group(1)), "little")
                    for m in re.finditer(r"< frame 321 \S+ (\S{8})", text)]
            told = sum(int(n) for n in re.findall(
                r"< error (\d+) frames lost: the client reads too slowly >", text))
            self.assertGreater(told, 0, text[-500:])
            self.assertEqual(seqs, sorted(set(seqs)))
            self.assertEqual(len(seqs) + told, count, text[-500:])
            stalled.close()
            for b in buses:
                b.shutdown()
        finally:
            net.close()


class Send(unittest.TestCase):
    def test_frames_sent_by_python_can_reach_a_ribex_client_of_the_device_net(self):
        bus = socketcand_bus(DEV_OUT)
        watcher = socketcand_bus(DEV_OUT)   # another socketcand client of the net
        dump = wine("candump.exe", "-q", QUEUE, "-T", "60000", DEV_OUT)
        lines = Lines(dump)
        try:
            # candump has opened the net once it shows a probe frame.
            end = time.time() + 30
            while not re.search(r" %s 7FE#EE" % DEV_OUT, lines.text()) and time.time() < end:
                bus.send(can.Message(arbitration_id=0x7FE, data=[0xEE], is_extended_id=False))
                time.sleep(0.3)
            bus.send(can.Message(arbitration_id=0x123, data=[0x11, 0x22, 0x33],
                                 is_extended_id=False))
            bus.send(can.Message(arbitration_id=0x1F334455, data=list(range(1, 9))))
            bus.send(can.Message(arbitration_id=0x7, data=[], is_extended_id=False))
            lines.wait_for(r" %s 007#" % DEV_OUT)
            text = lines.text()
            frames = [l.split()[2] for l in text.splitlines()
                      if l.startswith("(") and "7FE#" not in l]
            self.assertEqual(frames, ["123#112233", "1F334455#0102030405060708", "007#"], text)
            # The other client sees them too; the sender does not get its own
            # frames back, as a socketcand client expects.
            seen = []
            while len(seen) < 3:
                m = watcher.recv(10)
                self.assertIsNotNone(m, seen)
                if m.arbitration_id != 0x7FE:
                    seen.append((m.arbitration_id, bytes(m.data)))
            self.assertEqual(seen, [(0x123, b"\x11\x22\x33"), (0x1F334455, bytes(range(1, 9))),
                                    (0x7, b"")])
            self.assertIsNone(bus.recv(1.0))
        finally:
            dump.send_signal(signal.SIGINT)
            dump.wait(30)
            bus.shutdown()
            watcher.shutdown()

    def test_a_net_without_a_device_refuses_send_with_an_error_line(self):
        net = SimNet("RCN" + TAG)
        try:
            c = RawClient()
            c.send("< open %s >" % net.name)
            c.expect("< ok >")
            c.send("< send 123 1 11 >")
            c.expect("< error send refused: no device behind net %s >" % net.name)
            c.send("< echo >")   # the connection goes on
            c.expect("< echo >")
            c.close()
        finally:
            net.close()


class BadInput(unittest.TestCase):
    def test_bad_commands_get_an_error_line_and_the_connection_goes_on(self):
        net = SimNet("RCB" + TAG)
        cases = [
            # (sent, error text expected)
            ("< send 123 1 11 >", "open a net first"),
            ("< rawmode >", "open a net first"),
            ("< frobnicate 1 2 >", "unknown command frobnicate"),
            ("< >", "empty command"),
            ("< open >", "open needs one net name"),
            ("< open ../evil >", "not a net name"),
            ("< open %s >" % net.name, None),   # then, with the net open:
            ("< open %s >" % net.name, "a net is open already"),
            ("< add 1 0 123 8 11 22 33 44 55 66 77 88 >", "not supported (raw mode only): add"),
            ("< send 123 2 11 >", "send: the number of data bytes differs from the length"),
            ("< send 20000000 0 >", "send: identifier must be hex up to 1FFFFFFF"),
            ("< send 123 9 >", "send: length must be 0 to 8"),
            ("< sendrtr 123 1 11 >", "sendrtr: a remote frame carries no data"),
            ("hello\r\n", "data outside a command"),
        ]
        try:
            c = RawClient()
            for sent, error in cases:
                c.send(sent)
                if error is None:
                    c.expect("< ok >")
                    continue
                c.expect("< error %s" % error)
                c.send("< echo >")
                c.expect("< echo >")
            c.close()
        finally:
            net.close()

    def test_a_client_that_closes_its_side_still_gets_its_replies(self):
        net = SimNet("RCH" + TAG)
        try:
            c = RawClient()
            c.send("< open %s >< frobnicate >" % net.name)
            c.s.shutdown(socket.SHUT_WR)
            self.assertTrue(c.closed())
            self.assertEqual(c.data, b"< ok > < error unknown command frobnicate >")
            c.close()
        finally:
            net.close()

    def test_garbage_and_over_long_commands_close_the_connection(self):
        for sent, error in [(b"<" + b"x" * 300 + b">", "command too long"),
                            (b"\x00\xff <a> \x01 <b> \x02 <c> \x03 <d>", "data outside a command")]:
            c = RawClient()
            c.send(sent)
            c.expect("< error %s >" % error)
            self.assertTrue(c.closed(), sent)
            c.close()
        m = CAND.out.wait_for(r"ended \(too much data outside commands\)")
        self.assertTrue(m)

    def test_random_bytes_never_stop_the_server(self):
        rng = random.Random(12)
        alphabet = b"<> \r\nopensendrtrawmode0123456789ABCDEF\x00\xff"
        for _ in range(12):
            c = RawClient()
            junk = bytes(rng.choice(alphabet) for _ in range(rng.randrange(1, 3000)))
            try:
                c.send(junk)
                c.s.settimeout(1)
                c.closed()
            except OSError:
                pass   # closed by the server while we wrote: fine
            c.close()
        self.assertIsNone(CAND.process.poll())
        c = RawClient()
        c.send("< echo >")
        c.expect("< echo >")
        c.close()

    def test_an_abrupt_disconnect_closes_the_net(self):
        net = SimNet("RCA" + TAG)
        try:
            c = RawClient()
            number = connection_number(c.s.getsockname()[1])
            c.send("< open %s >< rawmode >" % net.name)
            c.expect("< ok >")
            # A reset instead of an orderly close.
            c.s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            c.close()
            stats = ribexcand_statistics(number)
            self.assertEqual(stats.group(5), "net %s closed" % net.name)
        finally:
            net.close()

    def test_connections_past_the_limit_are_told_and_closed(self):
        limited = Ribexcand("-c", "2")
        try:
            first, second = RawClient(limited.port), RawClient(limited.port)
            s = socket.create_connection(("127.0.0.1", limited.port), timeout=20)
            data = b""
            while True:
                chunk = s.recv(1024)
                if not chunk:
                    break
                data += chunk
            self.assertEqual(data, b"< error too many connections: the limit is 2 >")
            s.close()
            first.close()
            limited.out.wait_for(r"#1 \S+ ended")
            third = RawClient(limited.port)   # room again
            third.close()
            second.close()
        finally:
            self.assertEqual(limited.stop(), 0)


class ZStop(unittest.TestCase):
    def test_ctrl_c_closes_every_connection_and_net(self):
        net = SimNet("RCZ" + TAG)
        try:
            bus = socketcand_bus(net.name)
            c = RawClient()
            number = connection_number(c.s.getsockname()[1])
            c.send("< open %s >" % DEV_IN)
            c.expect("< ok >")
            self.assertEqual(CAND.stop(), 0, CAND.out.text())
            self.assertEqual(ribexcand_statistics(number).group(5), "net %s closed" % DEV_IN)
            self.assertIn("ended (ribexcand stopped)", CAND.out.text())
            self.assertIn("ribexcand: stopped: ", CAND.out.text())
            self.assertNotIn("failed", CAND.out.text())
            self.assertTrue(c.closed())
            c.close()
            bus.shutdown()
        finally:
            net.close()


class DoneWhen(unittest.TestCase):
    def test_the_manual_one_liner_prints_a_frame(self):
        """The python one-liner of docs/ribexcand.md, on this run's port and net."""
        net = SimNet("RCO" + TAG)
        try:
            feeder = wine("canpeer.exe", "-s", net.name, "-g", "-n", "3000", "-r", "200",
                          "-I", "456", "-t", "60000")
            one_liner = ("import can; b = can.Bus(interface='socketcand', host='127.0.0.1', "
                         "port=%d, channel='%s'); print(b.recv(5))" % (CAND.port, net.name))
            done = subprocess.run(["/usr/bin/python3", "-c", one_liner], capture_output=True,
                                  timeout=60)
            feeder.kill()
            feeder.wait()
            # The holder's 7FF may be first.
            self.assertRegex(done.stdout.decode(), r"ID:\s+0*(456|7ff)\s", done.stderr.decode())
        finally:
            net.close()


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
