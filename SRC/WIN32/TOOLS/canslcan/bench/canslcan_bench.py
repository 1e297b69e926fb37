#!/usr/bin/env python3
"""Frames/s and added latency from an emulated slcan adapter (a pty seen as
COM22) through canslcan --device, the virtual bus, the ribex server and 4
candump clients. 8-byte frames at a given rate (default 7600/s, a full
1 Mbit/s bus); each client must see every frame.

Latency: the emulator notes CLOCK_MONOTONIC_RAW when it writes each frame's
line; the driver stamps the frame when canslcan puts it on the bus (Wine's
performance counter, the same clock in 100 ns units), and candump prints
that stamp. The difference is what the serial path and canslcan add.

The server asks the driver for NoMsgPerRead frames per read (2 unless the
service key says otherwise); at 2 its own handle's queue overflows near
6,000 frames/s, so the bench runs with --no-msg-per-read 16 (written to the
service key "vcan" of this prefix, set back to 2 afterwards).

usage: canslcan_bench.py BUILD_DIR [--rate 7600] [--seconds 5] [--device VCAN8]
                          [--no-msg-per-read 16]
Needs the virtual CAN driver started (./ribex.sh bench does that).
"""
import argparse
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from slcan_emulator import Adapter, frame_line  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
from ribex_servers import wait_no_server  # noqa: E402

BENCH_ID = 0x200
CLIENTS = 4


def now():
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW)


class Client:
    def __init__(self, args, device, queue_name):
        command = [args.wine_run, os.path.join(args.bin_dir, "candump.exe"), "-q", queue_name, "-s",
                   device]
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        self.frames = {}     # sequence -> driver stamp (s)
        self.probes = 0
        self.other = []
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").strip()
            if not line.startswith("("):
                self.other.append(line)
                continue
            stamp, _, frame = line[1:].partition(") ")
            frame = frame.split(" ", 1)[1]
            if frame.startswith("%03X#" % BENCH_ID):
                data = bytes.fromhex(frame[4:])
                self.frames[int.from_bytes(data[:4], "little")] = float(stamp)
            else:
                self.probes += 1


def send_paced(adapter, count, rate):
    """Writes the lines due each 0.5 ms; returns the write time of each frame."""
    tail = b"\xA5\x5A\xC3\x3C"
    lines = [frame_line(BENCH_ID, i.to_bytes(4, "little") + tail) + "\r" for i in range(count)]
    sent_at = [0.0] * count
    start = now()
    sent = 0
    while sent < count:
        due = min(count, int((now() - start) * rate) + 1)
        if due > sent:
            t = now()
            os.write(adapter.master, "".join(lines[sent:due]).encode())
            for i in range(sent, due):
                sent_at[i] = t
            sent = due
        else:
            time.sleep(0.0005)
    return sent_at, now() - start


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p / 100 * len(values)))] if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir")
    parser.add_argument("--rate", type=float, default=7600)
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--device", default="VCAN8")
    parser.add_argument("--com", default="COM22")
    parser.add_argument("--no-msg-per-read", type=int, default=16)
    args = parser.parse_args()
    build = os.path.abspath(args.build_dir)
    args.wine_run = os.path.join(build, "wine-run.sh")
    args.bin_dir = os.path.join(build, "bin")
    args.prefix = os.path.join(build, "wineprefix")
    # One server a machine: a client of our queue would find the marker of
    # one still ending from an earlier run and start none.
    if not wait_no_server(args.prefix):
        sys.exit("a ribex.exe of an earlier run still runs")
    script = os.path.join(HERE, "..", "..", "..", "DRIVER", "vcan", "vcan_service.sh")
    service = [script, "--build", build, "set", "NoMsgPerRead"]
    subprocess.run(["bash"] + service + [str(args.no_msg_per_read)], check=True,
                   stdout=subprocess.DEVNULL)
    try:
        return run(args)
    finally:
        subprocess.run(["bash"] + service + ["2"], stdout=subprocess.DEVNULL)


def run(args):

    queue_name = "slcanBenchQ%d" % os.getpid()
    adapter = Adapter(args.prefix, args.com)
    terminal, console = os.openpty()
    bridge = subprocess.Popen([args.wine_run, os.path.join(args.bin_dir, "canslcan.exe"), args.com,
                               "-b", "1M",
                               "--device", args.device], stdin=console, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, start_new_session=True)
    os.close(console)
    clients = []
    try:
        if not adapter.wait_for(lambda a: a.open, 30):
            print("canslcan did not open the channel")
            return 1
        clients = [Client(args, args.device, queue_name) for _ in range(CLIENTS)]
        deadline = time.monotonic() + 60
        while any(c.probes == 0 for c in clients) and time.monotonic() < deadline:
            adapter.send([frame_line(0x555, b"\x55")])
            time.sleep(0.3)
        if any(c.probes == 0 for c in clients):
            print("not every client sees the bus")
            return 1
        count = int(args.rate * args.seconds)
        sent_at, took = send_paced(adapter, count, args.rate)
        time.sleep(3)
    finally:
        os.write(terminal, b"\x03")
        try:
            bridge_out = bridge.communicate(timeout=30)[0].decode(errors="replace")
        except subprocess.TimeoutExpired:
            bridge.kill()
            bridge_out = bridge.communicate()[0].decode(errors="replace")
        for c in clients:
            c.proc.kill()
            c.proc.wait()
            c.thread.join(5)
        adapter.close()

    print("canslcan bench: %d 8-byte frames offered at %.0f/s (%.0f/s reached by the emulator), "
          "%s, %d clients, "
          "NoMsgPerRead %d" % (count, args.rate, count / took, args.device, CLIENTS,
                               args.no_msg_per_read))
    for i, c in enumerate(clients):
        got = len(c.frames)
        if got:
            stamps = sorted(c.frames.values())
            span = stamps[-1] - stamps[0]
            rate = (got - 1) / span if span > 0 else float("nan")
        else:
            rate = 0
        latency = [(c.frames[s] - sent_at[s]) * 1000 for s in c.frames]
        print("  client %d: %d/%d frames (%d lost), %.0f frames/s on the bus, added latency ms: "
              "median %.2f, p99 %.2f, max %.2f" % (i + 1, got, count, count - got, rate,
                                                   percentile(latency, 50),
                                                   percentile(latency,
                                                              99), max(latency) if latency else 0))
    print("  " + [l for l in bridge_out.splitlines() if "frames received" in l][-1:][0]
          if "frames received" in bridge_out else bridge_out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
