#!/usr/bin/env python3
"""Serial output reaches a real tty: a pseudo-terminal stands in for COM7.

Wine maps COMn to the Unix device that $WINEPREFIX/dosdevices/comN links
to. The test links com7 to the slave side of a pty, runs trace_child under
the build's Wine with TRACEPORT="COM7 9600", and reads the exact bytes from
the master side.

usage: trace_serial_test.py WINE_RUN BIN_DIR WINEPREFIX
"""
import os
import select
import subprocess
import sys
import time
import tty

WINE_RUN, BIN_DIR, PREFIX = sys.argv[1:4]
CHILD = os.path.join(BIN_DIR, "trace_child.exe")
LINK = os.path.join(PREFIX, "dosdevices", "com7")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)


def run_child(args, extra_env):
    # Variables go in through -e: Wine drops Unix variables whose names hold
    # "." or "::", such as the level-mask names.
    env = {k: v for k, v in os.environ.items() if k not in ("TRACESIZE", "TRACEPORT")}
    settings = []
    for name, value in extra_env.items():
        settings += ["-e", "%s=%s" % (name, value)]
    done = subprocess.run([WINE_RUN, CHILD] + settings + args, env=env, capture_output=True, timeout=60,
                          stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout.decode(errors="replace")


def drain(master, quiet_seconds=0.5, limit_seconds=10.0):
    data = b""
    end = time.time() + limit_seconds
    while time.time() < end:
        ready, _, _ = select.select([master], [], [], quiet_seconds)
        if not ready:
            break
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
    return data


# The prefix exists once the build's Wine ran anything.
run_child(["serial"], {})
os.makedirs(os.path.dirname(LINK), exist_ok=True)

master, slave = os.openpty()
tty.setraw(slave)   # bytes pass unchanged: no newline translation
slave_name = os.ttyname(slave)
if os.path.lexists(LINK):
    os.remove(LINK)
os.symlink(slave_name, LINK)
try:
    line = "".join(chr(ord("a") + i % 26) for i in range(300))
    mask = {"trace_child.exe": "4", "TRACEPORT": "COM7 9600"}

    code, out = run_child(["serial"], mask)
    got = drain(master)
    check(code == 0, "serial child exit code %d" % code)
    check("port 1" in out, "the port did not open: %r" % out)
    check(got == line[:255].encode(), "a 300-character line should arrive as its first 255: got %d bytes %r"
          % (len(got), got[:40]))

    code, out = run_child(["serial-shared"], mask)
    got = drain(master)
    check("ports 4" in out, "modules should share and reopen the port: %r" % out)
    check(got == b"<third><again>", "writes through a shared and a reopened handle: %r" % got)

    code, out = run_child(["serial"], {"trace_child.exe": "0", "TRACEPORT": "COM7 9600",
                                        "TRACESIZE": "4 16"})
    got = drain(master)
    check("port 0" in out, "mask 0 must not open the port: %r" % out)
    check(got == b"", "mask 0 wrote %r" % got)

    code, out = run_child(["serial"], {"trace_child.exe": "4", "TRACEPORT": "COM7 250000",
                                        "TRACESIZE": "4 16"})
    got = drain(master)
    check("port 0" in out, "a rate outside the list must give no port: %r" % out)
    check(got == b"", "an unlisted rate wrote %r" % got)
finally:
    os.remove(LINK)
    os.close(master)
    os.close(slave)

if failures:
    print("%d failure(s)" % len(failures))
    sys.exit(1)
print("serial output: all checks passed")
