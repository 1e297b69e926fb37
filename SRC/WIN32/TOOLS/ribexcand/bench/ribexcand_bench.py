#!/usr/bin/env python3
"""ribexcand figures: frames/s from a net to one and to four socketcand
clients over loopback TCP, and the latency the bridge adds.

usage: ribexcand_bench.py BUILD_DIR [FRAMES]

Runs ribexcand, the ribex server, canpeer (the frame source) under the
build's Wine and the clients natively on Linux. Sources: a simulated net
(canpeer -s, as fast as the path carries) and a device of a virtual CAN
driver service of the benchmark's own (canpeer -d, batches of 16 frames).
Clients are plain sockets that count "< frame" messages, plus one run with
python-can's socketcand interface.

Latency: frames at a paced 500/s on a simulated net; for each frame the
time it arrived at the client minus its time stamp. The server stamps a
simulated frame when it stores it in the receive buffer, so the figure is
what lies between the receive buffer and the TCP client: ribexcand's wake-up,
formatting, send() under Wine and loopback TCP. Wine's performance counter,
and so the time stamp, is Linux's CLOCK_MONOTONIC_RAW in 100 ns units.
"""
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
from ribex_servers import wait_no_server  # noqa: E402

BUILD = sys.argv[1]
FRAMES = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
WINE_RUN = os.path.join(BUILD, "wine-run.sh")
BIN = os.path.join(BUILD, "bin")
SERVICE_SH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "DRIVER",
                          "vcan", "vcan_service.sh")
TAG = "%05d" % (os.getpid() % 100000)
QUEUE = "rcdBenchQ" + TAG
SERVICE, DEVICE = "rcdbench", "RCDB1"
FRAME = re.compile(rb"< frame ([0-9A-F]+) (\d+)\.(\d{6}) ")
LOST = re.compile(rb"< error (\d+) frames lost")


def wine(program, *args):
    return subprocess.Popen([WINE_RUN, os.path.join(BIN, program)] + list(args),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)


def now():
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW)


class Client:
    """A socketcand client in raw mode that keeps every byte and the time
    each chunk arrived."""

    def __init__(self, port, net):
        self.s = socket.create_connection(("127.0.0.1", port))
        self.s.settimeout(30)
        self.chunks = []
        self._expect(b"< hi >")
        self.s.sendall(b"< open %s >" % net.encode())
        self._expect(b"< ok >")
        self.s.sendall(b"< rawmode >")
        self._expect(b"< ok >")

    def _expect(self, text):
        data = b""
        while text not in data:
            chunk = self.s.recv(256)
            if not chunk:
                raise RuntimeError("closed: %r" % data)
            data += chunk

    def run(self, count, idle=3.0):
        self.s.settimeout(idle)
        frames = 0
        try:
            while frames < count:
                chunk = self.s.recv(262144)
                if not chunk:
                    break
                self.chunks.append((now(), chunk))
                frames += chunk.count(b"< frame ")
        except socket.timeout:
            pass
        self.s.close()

    def figures(self):
        data = b"".join(c for _, c in self.chunks)
        frames = data.count(b"< frame ") - data.count(b"< frame 7FF ")   # not the holder's
        lost = sum(int(n) for n in LOST.findall(data))
        errors = data.count(b"< error receive error ")
        span = self.chunks[-1][0] - self.chunks[0][0] if len(self.chunks) > 1 else 0
        return frames, lost, errors, span

    def latencies(self):
        out = []
        for t, chunk in self.chunks:
            for m in FRAME.finditer(chunk):
                out.append(t - (int(m.group(2)) + int(m.group(3)) / 1e6))
        return out


def throughput(port, target, net, clients, count):
    readers = [Client(port, net) for _ in range(clients)]
    threads = [threading.Thread(target=c.run, args=(count,)) for c in readers]
    for t in threads:
        t.start()
    start = time.time()
    feeder = subprocess.run([WINE_RUN, os.path.join(BIN, "canpeer.exe"), target, net, "-g",
                             "-n", str(count), "-I", "i", "-L", "8", "-t", "60000"],
                            stdin=subprocess.DEVNULL, capture_output=True)
    fed = time.time() - start
    for t in threads:
        t.join()
    if feeder.returncode != 0:
        print("  canpeer failed: %s" % feeder.stdout.decode(errors="replace").strip())
    rates = []
    for i, c in enumerate(readers):
        frames, lost, errors, span = c.figures()
        rates.append(frames / span if span else 0)
        print("  client %d: %6d frames, %5d lost (told), %3d receive errors, %7.0f frames/s" %
              (i + 1, frames, lost, errors, rates[-1]))
    print("  source: %d frames in %.2f s (canpeer run, Wine start included)" % (count, fed))
    return rates


def python_can_throughput(port, net, count):
    import can
    bus = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel=net)
    feeder = wine("canpeer.exe", "-s", net, "-g", "-n", str(count), "-I", "i", "-L", "8",
                  "-t", "60000")
    got, first, last = 0, None, None
    while got < count:
        m = bus.recv(3)
        if m is None:
            break
        last = now()
        first = first or last
        got += 1
    feeder.wait()
    bus.shutdown()
    rate = (got - 1) / (last - first) if got > 1 and last > first else 0
    print("  python-can: %d of %d frames, %.0f frames/s" % (got, count, rate))


def latency(port, net, count=2000, rate=500):
    c = Client(port, net)
    t = threading.Thread(target=c.run, args=(count,))
    t.start()
    subprocess.run([WINE_RUN, os.path.join(BIN, "canpeer.exe"), "-s", net, "-g", "-n", str(count),
                    "-r", str(rate), "-I", "i", "-L", "8", "-t", "60000"],
                   stdin=subprocess.DEVNULL, capture_output=True)
    t.join()
    lat = sorted(x * 1e6 for x in c.latencies())
    if not lat:
        print("  no frames")
        return
    pick = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))]
    print("  %d frames at %d/s: latency min %.0f us, median %.0f us, p90 %.0f us, p99 %.0f us, "
          "max %.0f us" % (len(lat), rate, lat[0], statistics.median(lat), pick(0.9), pick(0.99),
                           lat[-1]))


def main():
    # One server a machine: a client of our queue would find the marker of
    # one still ending from an earlier run and start none.
    if not wait_no_server(os.path.join(BUILD, "wineprefix")):
        sys.exit("a ribex.exe of an earlier run still runs")
    subprocess.run(["bash", SERVICE_SH, "--build", BUILD, "--service", SERVICE, "--prefix", "RCDB",
                    "--count", "1", "up"], check=True, stdout=subprocess.DEVNULL)
    # The server asks the driver for 32 frames per read (default 2), so that
    # a device fed in batches is read as fast as it is written.
    subprocess.run(["bash", SERVICE_SH, "--build", BUILD, "--service", SERVICE,
                    "set", "NoMsgPerRead", "32"], check=True, stdout=subprocess.DEVNULL)
    cand = wine("ribexcand.exe", "-p", "0", "-q", QUEUE, "-c", "16")
    port = int(re.search(rb":(\d+) ", cand.stdout.readline()).group(1))
    log = []
    threading.Thread(target=lambda: log.extend(cand.stdout), daemon=True).start()
    holder = None
    try:
        net = "RCDBS" + TAG
        # Holds the simulated net's queue, so the net can be opened before
        # the frames come.
        holder = wine("canpeer.exe", "-s", net, "-v", "-t", "60000", "-w", "600000", "7FF#")
        holder.stdout.readline()
        for clients in (1, 4):
            print("simulated net %s -> %d TCP client(s), %d frames:" % (net, clients, FRAMES))
            throughput(port, "-s", net, clients, FRAMES)
        for clients in (1, 4):
            print("device %s -> %d TCP client(s), %d frames:" % (DEVICE, clients, FRAMES))
            throughput(port, "-d", DEVICE, clients, FRAMES)
        print("simulated net %s -> python-can's socketcand interface:" % net)
        python_can_throughput(port, net, min(FRAMES, 5000))
        print("latency the bridge adds (receive buffer -> TCP client):")
        latency(port, net)
    finally:
        if holder:
            holder.kill()
        cand.send_signal(signal.SIGINT)
        cand.wait(60)
        print("ribexcand: " + (log[-1].decode().strip() if log else "(no output)"))
        subprocess.run(["bash", SERVICE_SH, "--build", BUILD, "--service", SERVICE, "down"],
                       stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
