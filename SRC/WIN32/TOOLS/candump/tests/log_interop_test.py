#!/usr/bin/python3
"""Logs shared with python-can, an implementation nobody here wrote.

python-can (Debian's python3-can, native) writes a candump log with direction
flags, an ASC log and a BLF log; canpeer replays each through a simulated net
and a device net of a driver service of this test's own; three candump runs
record every replay, as a candump log, as ASC and as BLF; python-can reads
the recordings back: the same frames in order, identifiers, extended and remote
flags, lengths and data exact, remote frames only where the net enables
their identifiers. A driver whose queue overflows gives real error entries:
python-can reads them from every recording as error frames, candump's
statistics say that frames were lost before they reached the ring, and
canpeer replays such a log, counting and skipping the error frames.

usage: log_interop_test.py WINE_RUN BIN_DIR WINEPREFIX
"""
import os
import shutil
import struct
import sys
import tempfile
import time

import can

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 5, "tests",
                                "support"))
from ribex_servers import wait_no_server  # noqa: E402
import ribex_tools  # noqa: E402
from ribex_tools import Started, check, win  # noqa: E402

WINE_RUN, BIN_DIR, PREFIX = sys.argv[1:4]
ribex_tools.use_build(WINE_RUN, BIN_DIR)


def run(program, *args, timeout=120):
    code, out, err = ribex_tools.run(program, *args, timeout=timeout)
    return code, out + err
TAG = "%x" % os.getpid()
QUEUE = "lgq" + TAG
ENABLED = (0x123, 0x1ABCDEF0)  # remote-frame identifiers the nets answer


def record(net, count, path, log_format):
    rec = Started("candump", "-q", QUEUE, "-n", count, "-s", "-l", win(path), "-L", log_format, net)
    check(rec.wait_for("candump: reading"), "candump opened " + net,
          rec.err.decode(errors="replace"))
    return rec


def source_messages():
    """Standard, extended and remote frames, both directions, and an error frame."""
    msgs = []

    def add(**fields):
        msgs.append(can.Message(timestamp=1700000000.0 + 0.002 * len(msgs), **fields))

    for n in range(9):
        add(arbitration_id=0x100 + n, is_extended_id=False, data=bytes(range(0xA0, 0xA0 + n)),
            is_rx=n % 2 == 0)
    add(arbitration_id=0x7FF, is_extended_id=False, data=b"\xde\xad\xbe\xef", is_rx=False)
    add(arbitration_id=0x1F334455, is_extended_id=True, data=bytes(range(8)), is_rx=False)
    add(arbitration_id=0x800, is_extended_id=True, data=b"\x01")
    add(arbitration_id=0x123, is_extended_id=False, is_remote_frame=True, dlc=4)
    add(arbitration_id=0x321, is_extended_id=False, is_remote_frame=True, dlc=2)  # not enabled
    add(is_error_frame=True)
    add(arbitration_id=0x1ABCDEF0, is_extended_id=True, is_remote_frame=True, dlc=8, is_rx=False)
    add(arbitration_id=0x000, is_extended_id=False, data=b"\xff")
    return msgs


def write_log(path, writer_class, msgs):
    writer = writer_class(path)
    for m in msgs:
        writer.on_message_received(m)
    writer.stop()


def read_log(path):
    if path.endswith(".blf"):
        return list(can.BLFReader(path))
    reader = can.ASCReader if path.endswith(".asc") else can.CanutilsLogReader
    return list(reader(path))


def key(m):
    return (hex(m.arbitration_id), m.is_extended_id, m.is_remote_frame, m.dlc, bytes(m.data or b""))


def replay_and_record(name, net, target, source, tmp, idle=0.0):
    """Replays source into net (target: canpeer's target options) and checks both recordings.

    idle: seconds between candump's start and the replay; the ASC recording's
    time stamps, as python-can reads them (header date plus offset), must
    still fall within the replay."""
    src = read_log(source)
    check(any(m.is_error_frame for m in src), name + ": the source holds an error frame")
    expected = [key(m) for m in src
                if not m.is_error_frame and (not m.is_remote_frame or m.arbitration_id in ENABLED)]
    recordings = [os.path.join(tmp, name + ext) for ext in (".log", ".asc", ".blf")]
    recorders = [record(net, len(expected), path, path[-3:]) for path in recordings]
    for n, ident in enumerate(ENABLED):
        # Each run is a client of its own: a unique id of its own.
        code, out = run("candump", "-q", QUEUE, "-u", "cafe:%x" % n, "enable", net, "%X" % ident)
        check(code == 0, name + ": enable %X" % ident, out)
    time.sleep(idle)
    replay_start = time.time()
    code, out = run("canpeer", *target, "-p", win(source), "-x")
    replay_end = time.time()
    check(code == 0 and "skipped 1 error frames" in out,
          name + ": canpeer replays, skips the error frame", out)
    for rec, path in zip(recorders, recordings):
        code, out, err = rec.finish()
        check(code == 0, name + ": candump ends after its frames", out + err)
        got = [key(m) for m in read_log(path)]
        check(got == expected, name + ": python-can reads back " + os.path.basename(path),
              "expected %s\ngot      %s" % (expected, got))
    # Absolute: the header's date plus each offset (python-can's default
    # counts from 0).
    stamps = [m.timestamp for m in can.ASCReader(recordings[1], relative_timestamp=False)]
    # One second of slack: the date has milliseconds, Wine's clock and ours
    # are the same wall clock.
    check(stamps and replay_start - 1.0 <= stamps[0] and stamps[-1] <= replay_end + 1.0,
          name + ": ASC times are the times the frames came",
          "replay %.3f..%.3f, ASC %s" % (replay_start, replay_end, stamps[:1] + stamps[-1:]))
    # BLF: the header's start date plus each object's nanoseconds.
    stamps = [m.timestamp for m in can.BLFReader(recordings[2])]
    check(stamps and replay_start - 1.0 <= stamps[0] and stamps[-1] <= replay_end + 1.0,
          name + ": BLF times are the times the frames came",
          "replay %.3f..%.3f, BLF %s" % (replay_start, replay_end, stamps[:1] + stamps[-1:]))


def check_error_entries(dev, tmp):
    """A queue of 4 frames and reads of 1 frame: bursts of 16 frames overflow the driver's queue."""
    bursts = os.path.join(tmp, "bursts.log")
    # Frames of one time stamp go in one write: twenty bursts 100 ms apart,
    # each leaves at least the error entry and the 4 queued frames.
    write_log(bursts, can.CanutilsLogWriter,
              [can.Message(timestamp=1.0 + 0.1 * (i // 16), arbitration_id=0x200 + i,
                           is_extended_id=False, data=bytes([i & 0xFF])) for i in range(320)])
    recordings = [os.path.join(tmp, "errors" + ext) for ext in (".log", ".asc", ".blf")]
    recorders = [record(dev, 30, path, path[-3:]) for path in recordings]
    code, out = run("canpeer", "-d", dev, "-p", win(bursts))
    check(code == 0, "canpeer floods " + dev, out)
    code, out, err = recorders[0].finish()
    check(code == 0, "candump ends after 30 entries", out + err)
    check(" 20000084#000100000000045D" in out, "stdout shows the overflow as an error frame", out)
    check("error entry 1117" in err and "lost before they reached the ring" in err,
          "stderr says in words what the entry was", err)
    check("of them driver overflows: frames were lost before they reached the ring" in out,
          "the statistics report the driver's loss", out)
    for rec in recorders[1:]:
        rec.finish()
    for path in recordings:
        msgs = read_log(path)
        errors = [m for m in msgs if m.is_error_frame]
        check(len(msgs) == 30 and errors,
              "python-can reads error frames from " + os.path.basename(path),
              "%d entries, %d error frames" % (len(msgs), len(errors)))
        frames = [m for m in msgs if not m.is_error_frame]
        check(frames and all(abs(e.timestamp - frames[0].timestamp) < 60 for e in errors),
              os.path.basename(path) + ": error entries carry the time they were read, not 0",
              "%s / %s" % ([e.timestamp for e in errors], frames[0].timestamp if frames else None))
    n_errors = sum(m.is_error_frame for m in read_log(recordings[0]))
    code, out = run("canpeer", "-s", "lgx" + TAG, "-Q", 100, "-p", win(recordings[0]), "-x")
    check(code == 0 and "skipped %d error frames" % n_errors in out,
          "canpeer replays the log, counting its error frames", out)
    code, out = run("canpeer", "-s", "lgy" + TAG, "-Q", 100, "-p", win(recordings[2]), "-x")
    check(code == 0 and "skipped %d error frames" % n_errors in out,
          "canpeer replays candump's BLF, counting its error frames", out)


def check_damaged_blf_replay(tmp):
    """A BLF cut inside its second container: canpeer replays the first
    container's 50 frames and says where it stopped."""
    whole = os.path.join(tmp, "whole.blf")
    # 48-byte objects: 50 to a container of 2400 bytes.
    writer = can.BLFWriter(whole, max_container_size=2400)
    for i in range(150):
        writer.on_message_received(can.Message(timestamp=1.0 + 0.001 * i, arbitration_id=0x300 + i,
                                               is_extended_id=False, data=b"\x01"))
    writer.stop()
    with open(whole, "rb") as f:
        data = f.read()
    first_size = struct.unpack_from("<L", data, 144 + 8)[0]
    second_at = 144 + first_size + first_size % 4
    cut = os.path.join(tmp, "cut.blf")
    with open(cut, "wb") as f:
        f.write(data[:second_at + 100])
    code, out = run("canpeer", "-s", "lgz" + TAG, "-Q", 100, "-p", win(cut), "-x")
    check(code == 0 and "stopped at byte %d (container 2)" % second_at in out
          and "replaying the 50 frames before it" in out and "canpeer: 50 frames" in out,
          "canpeer replays a cut BLF up to the damage and says where it stopped", out)


def check_blf_while_running(net, source, tmp):
    """candump writes its BLF containers while it runs: python-can reads every
    frame of the replay from the file before candump has ended."""
    path = os.path.join(tmp, "live.blf")
    rec = Started("candump", "-q", QUEUE, "-T", 10000, "-l", win(path), "-L", "blf", net)
    check(rec.wait_for("candump: reading"), "candump opened " + net + " for a live BLF")
    code, out = run("canpeer", "-s", net, "-p", win(source), "-x")
    check(code == 0, "canpeer replays into the live recording", out)
    want = sum(not m.is_error_frame and not m.is_remote_frame for m in read_log(source))
    seen, end = 0, time.time() + 8
    while rec.proc.poll() is None and time.time() < end:
        try:
            seen = sum(not m.is_remote_frame for m in can.BLFReader(path))
        except Exception:  # the header not yet there
            seen = 0
        if seen >= want:
            break
        time.sleep(0.1)
    still_running = rec.proc.poll() is None
    check(seen >= want and still_running,
          "python-can reads the live BLF's frames while candump runs",
          "%d of %d frames, candump running: %s" % (seen, want, still_running))
    rec.finish()


def main():
    # A server that is still ending (it does so by itself, seconds after
    # its last client) would make ours refuse to start.
    check(wait_no_server(PREFIX), "no server of an earlier run is left")
    tmp = tempfile.mkdtemp(prefix="ribex-logs-")
    msgs = source_messages()
    sources = {"pc_log": os.path.join(tmp, "source.log"), "pc_asc": os.path.join(tmp, "source.asc"),
               "pc_blf": os.path.join(tmp, "source.blf")}
    write_log(sources["pc_log"], can.CanutilsLogWriter, msgs)
    write_log(sources["pc_asc"], can.ASCWriter, msgs)
    write_log(sources["pc_blf"], can.BLFWriter, msgs)
    with open(sources["pc_log"]) as f:
        text = f.read()
    check(" R\n" in text and " T\n" in text, "python-can wrote direction flags", text)

    services = [("lgd" + TAG, "LGD%s_" % TAG, 1024, 2), ("lge" + TAG, "LGE%s_" % TAG, 4, 1)]
    for service, prefix, queue_frames, per_read in services:
        code, out = run("log_test_service", "install", service, prefix, queue_frames, per_read)
        check(code == 0, "driver service " + service, out)
    holder = None
    try:
        sim = "LGS" + TAG
        # The net's simulated peer queue must exist when the net opens.
        holder = Started("msgqtool", "-t", 300000, "create", sim, 256, 32)
        end = time.time() + 30
        while run("msgqtool", "info", sim)[0] != 0 and time.time() < end:
            time.sleep(0.2)
        for name, source in sources.items():
            # The first replay comes seconds after candump opened the net.
            replay_and_record(name + "_sim", sim, ["-s", sim], source, tmp,
                              3.0 if name == "pc_log" else 0.0)
            device = services[0][1] + "1"
            replay_and_record(name + "_dev", device, ["-d", device], source, tmp)
        check_error_entries(services[1][1] + "1", tmp)
        check_blf_while_running(sim, sources["pc_log"], tmp)
        check_damaged_blf_replay(tmp)
    finally:
        if holder:
            holder.proc.terminate()
            holder.finish()
        for service, *_ in services:
            run("log_test_service", "uninstall", service)
        # The server ends by itself once no client holds its queue.
        check(wait_no_server(PREFIX), "the server ended")
        shutil.rmtree(tmp, ignore_errors=True)
    return ribex_tools.summary()


if __name__ == "__main__":
    sys.exit(main())
