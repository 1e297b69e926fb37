#!/usr/bin/env python3
"""canpeer figures: the rate its paced generator reaches, measured on the
receiving side as well as by canpeer itself.

usage: canpeer_bench.py BUILD_DIR [FRAMES]

Each run is the command a user types, `canpeer -g -n FRAMES -r 7600 -e -I
1ABCDEF0 -L 8` (a full 1 Mbit/s load of 8-byte extended frames), once on a
device of a virtual CAN driver service of the benchmark's own and once as the
simulated peer of a net, plus one run of each without -r (what the path
carries). A candump client of the net reads every frame through the ribex
server. Printed for each run: the rate canpeer says it reached, the frames
candump got, the rate on the net (frames between the first and the last
time stamp candump shows: the driver's stamp on a device, the server's
arrival stamp on a simulated net), frames lost in the ring and the driver's
overflows.
"""
import os
import re
import select
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
from ribex_servers import wait_no_server  # noqa: E402

BUILD = sys.argv[1]
FRAMES = int(sys.argv[2]) if len(sys.argv) > 2 else 15000
RATE = 7600  # 8-byte extended frames at 1 Mbit/s, worst-case bit stuffing
WINE_RUN = os.path.join(BUILD, "wine-run.sh")
BIN = os.path.join(BUILD, "bin")
SERVICE_SH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "DRIVER",
                          "vcan", "vcan_service.sh")
TAG = "%05d" % (os.getpid() % 100000)
QUEUE = "cpBenchQ" + TAG
SERVICE, DEVICE = "cpbench", "CPB1"
GENERATOR = ["-g", "-n", str(FRAMES), "-e", "-I", "1ABCDEF0", "-L", "8"]
STAMP = re.compile(rb"^\((\d+)\.(\d{6})\) \S+ 1ABCDEF0#", re.M)


def wine(program, *args, stdout=subprocess.PIPE, stderr=subprocess.PIPE):
    return subprocess.Popen([WINE_RUN, os.path.join(BIN, program)] + [str(a) for a in args],
                            stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr)


def service(*args):
    subprocess.run(["bash", SERVICE_SH, "--build", BUILD, "--service", SERVICE] + list(args),
                   check=True, stdout=subprocess.DEVNULL)


def wait_for(proc, text, timeout=60):
    """Reads the process's stderr until text shows up."""
    seen = b""
    end = time.time() + timeout
    fd = proc.stderr.fileno()
    while text not in seen and time.time() < end:
        if select.select([fd], [], [], 0.5)[0]:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            seen += chunk
    return seen


def net_rate(out):
    stamps = [int(s) + int(f) / 1e6 for s, f in STAMP.findall(out)]
    if len(stamps) < 2 or stamps[-1] <= stamps[0]:
        return len(stamps), 0.0
    return len(stamps), (len(stamps) - 1) / (stamps[-1] - stamps[0])


def run(label, net, target, paced):
    # candump's lines go to a file: a pipe that nobody reads while canpeer
    # runs would hold candump up, and its ring would lap.
    with tempfile.TemporaryFile() as lines:
        dump = wine("candump.exe", "-q", QUEUE, "-s", "-f", "1ABCDEF0:1FFFFFFF", "-n", FRAMES,
                    "-T", 60000, net, stdout=lines)
        early = wait_for(dump, b"candump: reading")
        args = target + GENERATOR + (["-r", RATE] if paced else [])
        peer = subprocess.run([WINE_RUN, os.path.join(BIN, "canpeer.exe")] +
                              [str(a) for a in args], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=300)
        err = early + dump.communicate(timeout=180)[1]
        lines.seek(0)
        out = lines.read()
    said = re.search(rb"canpeer: \d+ frames to \S+ in [\d.]+ s, (\d+) frames/s", peer.stderr)
    lost = re.search(rb", (\d+) lost, ", out)
    overflows = re.search(rb"(\d+) of them driver overflows", out)
    got, rate = net_rate(out)
    print("%s, %s:" % (label, "asked for %d frames/s" % RATE if paced else "as fast as it goes"))
    print("  canpeer says  %s frames/s" % (said.group(1).decode() if said else "?"))
    print("  on the net    %.0f frames/s (candump got %d of %d frames, %s lost in the ring, "
          "%s driver overflows)" % (rate, got, FRAMES, lost.group(1).decode() if lost else "?",
                                    overflows.group(1).decode() if overflows else "?"))
    for line in peer.stderr.decode(errors="replace").splitlines():
        if "warning" in line:
            print("  " + line)
    if peer.returncode != 0 or dump.returncode != 0:
        print("  canpeer exit %d, candump exit %d: %s" %
              (peer.returncode, dump.returncode, (peer.stderr + err).decode(errors="replace")))


def main():
    # One server a machine: a client of our queue would find the marker of
    # one still ending from an earlier run and start none.
    if not wait_no_server(os.path.join(BUILD, "wineprefix")):
        sys.exit("a ribex.exe of an earlier run still runs")
    service("--prefix", "CPB", "--count", "1", "up")
    # Room in the driver's queue, and 32 frames per read of the server, so
    # that what is measured is canpeer's pace rather than the reader's.
    service("set", "QueueFrames", "8192")
    service("set", "NoMsgPerRead", "32")
    service("restart")
    holder = None
    try:
        run("device " + DEVICE, DEVICE, ["-d", DEVICE], True)
        run("device " + DEVICE, DEVICE, ["-d", DEVICE], False)
        net = "CPBS" + TAG
        # Holds the simulated net's queue so that candump can open the net
        # before the frames come; its own frame is filtered out.
        holder = wine("canpeer.exe", "-s", net, "-v", "-t", 60000, "-w", 600000, "7FF#")
        holder.stdout.readline()
        sim = ["-s", net, "-Q", 1024, "-t", 60000]
        run("simulated net " + net, net, sim, True)
        run("simulated net " + net, net, sim, False)
    finally:
        if holder:
            holder.kill()
            holder.wait()
        service("down")


if __name__ == "__main__":
    main()
