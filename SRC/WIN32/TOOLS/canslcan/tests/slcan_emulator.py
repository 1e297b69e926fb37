#!/usr/bin/env python3
"""A serial-line CAN (slcan/LAWICEL) adapter on a pseudo-terminal that the
build's Wine sees as a COM port ($WINEPREFIX/dosdevices/comN links to the
pty's slave side).

It answers commands the way an adapter does (CR, z/Z after a transmit,
V/N/F answers, BEL for what it refuses), records every command and every
transmitted frame, sends frames at a given rate with or without its
millisecond stamps, sends any bytes asked for (malformed lines), and can
vanish (close its pty, remove the link) and come back.

Used by canslcan_test.py and canslcan_bench.py; run alone it stands in
for an adapter on a COM port until Ctrl+C:

    slcan_emulator.py WINEPREFIX COM21 [--rate 100]
"""
import os
import select
import threading
import time
import tty


def frame_line(can_id, data, extended=None, remote=False, length=None):
    """The adapter's line for a frame, without stamp or CR."""
    extended = can_id > 0x7FF if extended is None else extended
    letter = ("R" if extended else "r") if remote else ("T" if extended else "t")
    ident = ("%08X" if extended else "%03X") % can_id
    if remote:
        return "%s%s%d" % (letter, ident, len(data) if length is None else length)
    return "%s%s%d%s" % (letter, ident, len(data), bytes(data).hex().upper())


class Adapter:
    """One emulated adapter on one COM link."""

    def __init__(self, prefix, com="com21", version="V1013"):
        self.link = os.path.join(prefix, "dosdevices", com.lower())
        self.version = version
        self.commands = []         # every command received, without CR
        self.transmitted = []      # t/T/r/R commands taken while open
        self.refuse = set()        # command prefixes answered with BEL
        self.answers = True
        self.open = False
        self.stamps = False
        self.stamp_base_ms = 0     # the stamp counter starts here (to test the wrap)
        self.lock = threading.Lock()
        self.changed = threading.Condition(self.lock)
        self.master = self.slave = None
        self.thread = None
        self.started = time.monotonic()
        self.plug()

    # -- the pty and its link ------------------------------------------------
    def plug(self):
        os.makedirs(os.path.dirname(self.link), exist_ok=True)
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        tty.setraw(self.master)
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.symlink(os.ttyname(self.slave), self.link)
        self.running = True
        self.thread = threading.Thread(target=self._serve, args=(self.master,), daemon=True)
        self.thread.start()

    def unplug(self):
        """The adapter vanishes: link removed, pty closed."""
        self.running = False
        if os.path.lexists(self.link):
            os.remove(self.link)
        self.thread.join(5)
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        with self.lock:
            self.open = False
            self.changed.notify_all()

    def close(self):
        if self.running:
            self.unplug()

    # -- the protocol ----------------------------------------------------------
    def _write(self, data):
        try:
            os.write(self.master, data)
        except OSError:
            pass

    def _answer(self, command):
        if not self.answers:
            return b""
        if any(command.startswith(p) for p in self.refuse):
            return b"\a"
        c = command[:1]
        if c == "" or c == "C":
            self.open = False
            return b"\r"
        if c in "OL":
            if self.open:
                return b"\a"
            self.open = True
            return b"\r"
        if c == "S":
            good = len(command) == 2 and command[1] in "012345678"
            return b"\r" if good and not self.open else b"\a"
        if c == "s":
            return b"\r" if len(command) == 5 and not self.open else b"\a"
        if c == "Z":
            if command not in ("Z0", "Z1"):
                return b"\a"
            self.stamps = command == "Z1"
            return b"\r"
        if c == "V":
            return self.version.encode() + b"\r"
        if c == "N":
            return b"NA123\r"
        if c == "F":
            return b"F00\r"
        if c in "tTrR":
            if not self.open:
                return b"\a"
            self.transmitted.append(command)
            return b"z\r" if c in "tr" else b"Z\r"
        return b"\a"

    def _serve(self, master):
        pending = b""
        while self.running:
            try:
                ready = select.select([master], [], [], 0.1)[0]
                if not ready:
                    continue
                chunk = os.read(master, 4096)
            except OSError:
                # No program has the COM port open (EIO), or we are closing.
                time.sleep(0.02)
                continue
            pending += chunk
            while b"\r" in pending:
                raw, pending = pending.split(b"\r", 1)
                command = raw.decode(errors="replace")
                # The answer goes out before a waiting test hears of the
                # command, so nothing the test sends can overtake it.
                with self.lock:
                    self.commands.append(command)
                    answer = self._answer(command)
                    if answer:
                        self._write(answer)
                    self.changed.notify_all()

    # -- what the tests drive ----------------------------------------------------
    def wait_for(self, predicate, timeout=20):
        end = time.monotonic() + timeout
        with self.lock:
            while not predicate(self):
                left = end - time.monotonic()
                if left <= 0:
                    return False
                self.changed.wait(left)
        return True

    def set_stamp(self, ms):
        """Sets the stamp counter so that it shows ms now."""
        self.stamp_base_ms = ms - int((time.monotonic() - self.started) * 1000)

    def stamp(self):
        ms = int((time.monotonic() - self.started) * 1000) + self.stamp_base_ms
        return "%04X" % (ms % 60000)

    def send(self, lines, rate=0, stamped=None):
        """Sends frame lines (without CR) at rate lines/s (0: at once); a
        stamp is added when the adapter's stamps are on (or stamped says so)."""
        stamped = self.stamps if stamped is None else stamped
        start = time.monotonic()
        chunk = []
        for i, line in enumerate(lines):
            if rate:
                due = start + i / rate
                delay = due - time.monotonic()
                if delay > 0:
                    if chunk:
                        self._write("".join(chunk).encode())
                        chunk = []
                    time.sleep(delay)
            chunk.append(line + (self.stamp() if stamped else "") + "\r")
            if len(chunk) >= 64:
                self._write("".join(chunk).encode())
                chunk = []
        if chunk:
            self._write("".join(chunk).encode())

    def send_raw(self, data):
        self._write(data)


if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser(description="slcan adapter on a pty linked as a Wine COM port")
    parser.add_argument("prefix")
    parser.add_argument("com")
    parser.add_argument("--rate", type=float, default=10, help="frames/s while the channel is open")
    args = parser.parse_args()
    adapter = Adapter(args.prefix, args.com)
    print("adapter on %s (%s)" % (args.com, os.ttyname(adapter.slave)), flush=True)
    seq = 0
    try:
        while True:
            if adapter.open:
                adapter.send([frame_line(0x123, seq.to_bytes(4, "little"))])
                seq = (seq + 1) & 0xFFFFFFFF
            time.sleep(1 / args.rate)
    except KeyboardInterrupt:
        pass
    finally:
        adapter.close()
