#!/usr/bin/python3
"""canpeer -d writing while the device's driver stops: it ends at once,
non-zero, and says why in words (the system's text and that the device
went away), not with a bare code. A driver service of this test's own, so
that stopping it touches no other suite.

usage: canpeer_device_gone_test.py WINE_RUN BIN_DIR
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
import ribex_tools  # noqa: E402
from ribex_tools import Started, check, run  # noqa: E402

WINE_RUN, BIN_DIR = sys.argv[1:3]
ribex_tools.use_build(WINE_RUN, BIN_DIR)
TAG = "%x" % os.getpid()
SERVICE = "cpgSvc" + TAG
PREFIX = "CPG" + TAG


def main():
    code, _, err = run("log_test_service", "install", SERVICE, PREFIX, 1024, 64)
    check(code == 0, "own driver service installed", err)
    try:
        # 60 s of frames at 1,000/s: far more than the test lasts.
        peer = Started("canpeer", "-d", PREFIX + "1", "-v", "-g", "-n", 60000, "-r", 1000)
        check(peer.wait_for(" %s1 " % PREFIX, stream="stdout"), "canpeer writes on the device",
              peer.err.decode(errors="replace"))
        code, _, err = run("log_test_service", "stop", SERVICE)
        check(code == 0, "driver stopped", err)
        code, out, err = peer.finish(timeout=30)
        check(code != 0, "canpeer ends with a non-zero code", "code %s" % code)
        check("the device went away" in err and "stopping" in err and "error " in err,
              "canpeer says why it stopped", err)
    finally:
        run("log_test_service", "uninstall", SERVICE)
    return ribex_tools.summary()


if __name__ == "__main__":
    sys.exit(main())
