"""ribex.exe processes of one Wine prefix, for host-side test scripts.

One server runs per machine: while one is still ending (it does so by itself,
seconds after its last client), a client of another server queue finds its
marker and starts none, so its open times out. Scripts that start servers on
queues of their own wait for the earlier one to end first.
"""
import os

from ribex_tools import wait_until


def server_running(prefix):
    """True while a ribex.exe of this Wine prefix runs."""
    wanted = ("WINEPREFIX=" + os.path.abspath(prefix)).encode()
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if b"ribex.exe" not in f.read():
                    continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                if wanted in f.read().split(b"\0"):
                    return True
        except OSError:
            continue
    return False


def wait_no_server(prefix, timeout=60):
    """Waits until no ribex.exe of the prefix runs; False if one still does."""
    return wait_until(lambda: not server_running(prefix), timeout, 0.5)
