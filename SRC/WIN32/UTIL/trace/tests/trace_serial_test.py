#!/usr/bin/env python3
"""Serial output reaches a real tty: $WINEPREFIX/dosdevices/com7 links to the
slave side of a pty, trace_child runs under the build's Wine with TRACEPORT
"COM7 ...", and the test reads the exact bytes from the master side.

usage: trace_serial_test.py WINE_RUN BIN_DIR WINEPREFIX
"""
import os
import select
import subprocess
import sys
import time
import tty

WINE_RUN, BIN_DIR, PREFIX = sys.argv[1:4]
LINK = os.path.join(PREFIX, "dosdevices", "com7")


def run_child(command, settings):
    # Settings go in through -e: Wine drops Unix variables whose names hold
    # "." or "::", such as the level-mask names.
    env = {k: v for k, v in os.environ.items() if k not in ("TRACESIZE", "TRACEPORT")}
    args = [WINE_RUN, os.path.join(BIN_DIR, "trace_child.exe")]
    for name, value in settings.items():
        args += ["-e", "%s=%s" % (name, value)]
    done = subprocess.run(args + [command], env=env, capture_output=True, timeout=60,
                          stdin=subprocess.DEVNULL)
    return done.stdout.decode(errors="replace")


def drain(master):
    data, end = b"", time.time() + 10
    while time.time() < end and select.select([master], [], [], 0.5)[0]:
        chunk = os.read(master, 4096)
        if not chunk:
            break
        data += chunk
    return data


run_child("serial", {})   # the prefix exists once the build's Wine ran anything
os.makedirs(os.path.dirname(LINK), exist_ok=True)
master, slave = os.openpty()
tty.setraw(slave)   # bytes pass unchanged: no newline translation
if os.path.lexists(LINK):
    os.remove(LINK)
os.symlink(os.ttyname(slave), LINK)
line = "".join(chr(ord("a") + i % 26) for i in range(300)).encode()
on = {"trace_child.exe": "4", "TRACEPORT": "COM7 9600"}
cases = [
    # command, settings, expected report, bytes expected on the wire
    ("serial", on, "port 1", line[:255]),   # a line is cut to 255 characters
    # the shared handle closed once, then reopened
    ("serial-shared", on, "ports 4", b"<third><again>"),
    ("serial", dict(on, **{"trace_child.exe": "0", "TRACESIZE": "4 16"}), "port 0", b""),
    ("serial", dict(on, **{"TRACEPORT": "COM7 250000", "TRACESIZE": "4 16"}), "port 0", b""),
]
failures = 0
try:
    for command, settings, report, expected in cases:
        out = run_child(command, settings)
        got = drain(master)
        if report not in out or got != expected:
            failures += 1
            print("FAIL: %s %r: report %r, wire %r (expected %r, %d bytes)" %
                  (command, settings, out, got[:60], report, len(expected)))
finally:
    os.remove(LINK)
    os.close(master)
    os.close(slave)
print("%d failure(s)" % failures if failures else "serial output: all checks passed")
sys.exit(1 if failures else 0)
