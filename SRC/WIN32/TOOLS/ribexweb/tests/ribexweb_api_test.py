#!/usr/bin/python3
"""ribexweb's JSON API against the frames sent, over real TCP on 127.0.0.1.

canmatrix writes the DBC; python-can writes a candump log of frames whose
decoded values are known (Engine: Speed and Temp, Status: a value-table Gear
and a signed Voltage on an extended identifier, and an identifier the DBC
does not know); canpeer replays it into a simulated net that ribexweb reads
through the server under the build's Wine. Checked:

1. /api/snapshot: per identifier the count, ext, last data; per net the frames,
   none lost; per signal the last value, unit, label and count.
2. /api/series: every point as sent when the budget allows, a time range cut
   to exactly its frames, at most N points with the extremes kept when it
   does not; several signals in one request.
3. A BLF log written by python-can (--log) beside the live net: its times as
   written, its series, a name shared by two sources needing NET/.
4. Bad requests (unknown path, malformed and huge parameters, other methods,
   a garbled request, an oversized header) get a 4xx and change nothing; a
   stream beyond -c and a connection beyond the limit get a 503, and room
   comes back when they close.

usage: ribexweb_api_test.py WINE_RUN BIN_DIR WINEPREFIX
"""
import os
import shutil
import socket
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webtest as w  # noqa: E402

TAG = "%x" % os.getpid()
QUEUE = "rwq" + TAG
NET = "RWA" + TAG
STREAMS = 2


def close_to(a, b, tolerance=1e-9):
    return abs(a - b) <= tolerance * max(1.0, abs(b))


def check_snapshot(base, msgs):
    def complete():
        status, snap, _ = w.get(base, "/api/snapshot")
        src = [s for s in snap["sources"] if s["name"] == NET] if snap else []
        return snap if src and src[0]["frames"] >= len(msgs) else None

    snap = w.wait_until(complete, timeout=60)
    if not w.check(snap, "the snapshot counts every frame sent (%d)" % len(msgs)):
        return
    net = [s for s in snap["sources"] if s["name"] == NET][0]
    w.check(net["frames"] == len(msgs) and net["lost"] == 0 and net["errors"] == 0 and net["live"],
            "the net's figures: frames, none lost, no error entries", net)
    rows = {(r["net"], r["id"]): r for r in snap["ids"]}
    for ident, ext in ((w.ENGINE_ID, False), (w.STATUS_ID, True), (w.UNKNOWN_ID, False)):
        sent = [m for m in msgs if m[1] == ident]
        row = rows.get((NET, ident))
        w.check(row and row["count"] == len(sent) and row["ext"] == ext and not row["rtr"] and
                row["data"] == sent[-1][3].hex().upper() and row["dlc"] == len(sent[-1][3]) and
                row["rate"] > 0 and row["period"] > 0,
                "identifier %X: count, ext, last data, rate and period" % ident, row)
    engines = [m for m in msgs if m[1] == w.ENGINE_ID]
    statuses = [m for m in msgs if m[1] == w.STATUS_ID]
    sig = snap["signals"]
    want = {
        "Engine.Speed": (w.speed(len(engines) - 1), "rpm", None, len(engines)),
        "Engine.Temp": (w.temp(len(engines) - 1), "degC", None, len(engines)),
        "Status.Gear": ((len(statuses) - 1) % 4, "", w.GEARS[(len(statuses) - 1) % 4], len(statuses)),
        "Status.Voltage": (w.volts(len(statuses) - 1), "V", None, len(statuses)),
    }
    for name, (value, unit, label, count) in want.items():
        got = sig.get(NET + "/" + name)  # the log has the same names: NET/ tells them apart
        w.check(got and close_to(got["value"], value) and got["unit"] == unit and got["label"] == label and
                got["count"] == count and got["net"] == NET,
                "signal %s: last value %r %s, label, count" % (name, value, unit), got)
    w.check(sorted(sig) == sorted(src + "/" + n for src in (NET, "LOG1") for n in want),
            "only the DBC's signals, each named by its source", sorted(sig))


def check_series(base, msgs):
    engines = [m for m in msgs if m[1] == w.ENGINE_ID]
    status, ans, _ = w.get(base, "/api/series?signal=%s/Engine.Speed&points=1000" % NET)
    s = ans["series"][0] if status == 200 else {}
    sent = [w.speed(i) for i in range(len(engines))]
    w.check(s.get("raw") and len(s["v"]) == len(sent) and all(close_to(a, b) for a, b in zip(s["v"], sent)),
            "the series holds every Speed value sent, in order", str(s)[:400])
    t = s.get("t", [])
    w.check(t and t == sorted(t) and t[0] >= 0, "its times rise from the net's start", t[:10])
    sent_span = engines[-1][0] - engines[0][0]
    w.check(t and abs((t[-1] - t[0]) - sent_span) < 0.5,
            "its time span is the replay's (%.3f s)" % sent_span, t[-1] - t[0] if t else None)

    if len(t) > 100:
        lo, hi = t[50], t[99]
        status, ans, _ = w.get(base, "/api/series?signal=%s/Engine.Speed&from=%r&to=%r" % (NET, lo, hi))
        v = ans["series"][0]["v"] if status == 200 else []
        w.check(len(v) == 50 and all(close_to(a, b) for a, b in zip(v, sent[50:100])),
                "from and to cut the series to exactly the frames between", (len(v), v[:3]))

    status, ans, _ = w.get(base, "/api/series?signal=%s/Engine.Speed&points=10" % NET)
    s = ans["series"][0] if status == 200 else {"v": [], "raw": True}
    w.check(not s["raw"] and 2 <= len(s["v"]) <= 10 and min(s["v"]) == min(sent) and max(s["v"]) == max(sent),
            "a budget of 10 points: at most 10, minimum and maximum kept", s)

    status, ans, _ = w.get(base, "/api/series?signal=%s/Engine.Temp&signal=%s/Status.Gear&points=2000" % (NET, NET))
    names = [x["signal"] for x in ans["series"]] if status == 200 else []
    gears = ans["series"][1]["v"] if len(names) == 2 else []
    w.check(names == [NET + "/Engine.Temp", NET + "/Status.Gear"] and gears == [float(i % 4) for i in range(len(gears))] and
            len(gears) == len([m for m in msgs if m[1] == w.STATUS_ID]),
            "two signals in one request, each as sent", names)


def check_log(base, msgs):
    status, snap, _ = w.get(base, "/api/snapshot")
    log = [s for s in snap["sources"] if s["name"] == "LOG1"] if snap else []
    w.check(log and log[0]["loaded"] and log[0]["frames"] == len(msgs) and not log[0]["live"],
            "the BLF log is read whole beside the net", log)
    status, ans, _ = w.get(base, "/api/series?signal=Engine.Speed")
    w.check(status == 404, "a name two sources share needs NET/", (status, ans))
    status, ans, _ = w.get(base, "/api/series?signal=LOG1/Engine.Speed&points=1000")
    s = ans["series"][0] if status == 200 else {"t": [], "v": []}
    engines = [m for m in msgs if m[1] == w.ENGINE_ID]
    want_t = [m[0] - msgs[0][0] for m in engines]
    w.check(len(s["t"]) == len(engines) and all(abs(a - b) < 2e-6 for a, b in zip(s["t"], want_t)) and
            all(close_to(a, w.speed(i)) for i, a in enumerate(s["v"])),
            "the log's series: the times as written (from its first frame) and the values", str(s)[:300])
    w.check(s.get("signal") == "LOG1/Engine.Speed", "the series names itself NET/MSG.SIG", s.get("signal"))


def raw_request(base, data, read=True):
    host, port = base.split("//")[1].split(":")
    with socket.create_connection((host, int(port)), timeout=30) as sock:
        sock.sendall(data)
        if not read:
            return b""
        reply = b""
        while b"\r\n\r\n" not in reply:
            chunk = sock.recv(4096)
            if not chunk:
                break
            reply += chunk
        return reply


def status_of(reply):
    parts = reply.split(b" ", 2)
    return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None


def check_refusals(base):
    before = w.get(base, "/api/snapshot")[1]
    cases = [
        ("/nope", 404), ("/api/snapshot/x", 404), ("/api/series", 400),
        ("/api/series?signal=No.Such", 404), ("/api/series?signal=NOPE/Engine.Temp", 404), ("/api/series?signal=LOG1/Engine.Temp&points=abc", 400),
        ("/api/series?signal=LOG1/Engine.Temp&points=1", 400),
        ("/api/series?signal=LOG1/Engine.Temp&points=99999999999", 400),
        ("/api/series?signal=LOG1/Engine.Temp&from=nan", 400), ("/api/series?signal=LOG1/Engine.Temp&to=1e999", 400),
        ("/api/series?signal=LOG1/Engine.Temp&from=5&to=1", 400),
        ("/api/series?signal=LOG1/Engine.Temp&from=" + "1" * 5000, 400),
        ("/api/series?" + "&".join(["signal=LOG1/Engine.Temp"] * 40), 400),
    ]
    for path, want in cases:
        status, body, _ = w.get(base, path)
        w.check(status == want and body and "error" in body, "%s is refused with %d" % (path[:70], want),
                (status, body))
    for method in (b"POST", b"PUT", b"DELETE"):
        reply = raw_request(base, method + b" /api/snapshot HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
        w.check(status_of(reply) == 405, method.decode() + " is refused with 405", reply[:100])
    reply = raw_request(base, b"GARBAGE\r\n\r\n")
    w.check(status_of(reply) == 400, "a garbled request line gets 400", reply[:100])
    reply = raw_request(base, b"GET /api/snapshot HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n")
    w.check(status_of(reply) in (400, 431), "an oversized header gets 431", reply[:100])
    after = w.get(base, "/api/snapshot")[1]
    strip = lambda s: [(r["net"], r["id"], r["count"], r["data"]) for r in s["ids"]]  # noqa: E731
    w.check(strip(before) == strip(after) and before["signals"].keys() == after["signals"].keys(),
            "the refused requests changed nothing")


def check_limits(base):
    host, port = base.split("//")[1].split(":")
    streams = []
    for n in range(STREAMS):
        s = socket.create_connection((host, int(port)), timeout=30)
        s.sendall(b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
        head = b""
        while b"data: " not in head:
            head += s.recv(65536)
        streams.append(s)
    w.check(len(streams) == STREAMS and all(True for _ in streams),
            "%d live streams carry snapshots as Server-Sent Events" % STREAMS)
    reply = raw_request(base, b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
    w.check(status_of(reply) == 503, "one stream more than -c gets 503", reply[:120])
    for s in streams:
        s.close()

    def stream_again():
        reply = raw_request(base, b"GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n")
        return status_of(reply) == 200
    w.check(w.wait_until(stream_again, timeout=30), "a stream is served again once the others closed")

    idle = []
    for n in range(STREAMS + 16):
        idle.append(socket.create_connection((host, int(port)), timeout=30))
    # Once ribexweb has taken the idle ones in, the next connection is one too many.
    replies = []

    def refused():
        replies.append(raw_request(base, b"GET /api/snapshot HTTP/1.1\r\nHost: x\r\n\r\n"))
        return status_of(replies[-1]) == 503
    w.check(w.wait_until(refused, timeout=30), "a connection beyond the limit gets 503", replies[-1][:120])
    for s in idle:
        s.close()
    w.check(w.wait_until(lambda: w.get(base, "/api/snapshot")[0] == 200, timeout=30),
            "requests are served again once the idle connections closed")


def main():
    w.check(w.wait_no_server(w.PREFIX), "no server of an earlier run is left")
    tmp = tempfile.mkdtemp(prefix="ribexweb-api-")
    holder = web = None
    try:
        dbc, source, blf = (os.path.join(tmp, n) for n in ("car.dbc", "source.log", "drive.blf"))
        w.write_dbc(dbc)
        msgs = w.messages()
        w.write_log(source, msgs)
        w.write_blf(blf, msgs)

        code, out, err = w.run("ribexweb", "-h")
        w.check(code == 0 and "Examples:" in out and "Exposure" in out, "-h prints the usage with examples")
        code, out, err = w.run("ribexweb", "-p", "70000", NET)
        w.check(code == 2 and "bad port" in err and "Usage" in err, "a bad port is refused with the usage", err)
        code, out, err = w.run("ribexweb", "-l", "localhost", NET)
        w.check(code == 2 and "IPv4" in err, "a host name for -l is refused", err)

        holder = w.simulated_net(NET)
        web, base = w.start_ribexweb("-q", QUEUE, "-c", STREAMS, "-t", 120000, "-d", w.win(dbc), NET,
                                     "--log", w.win(blf))
        if not w.check(base, "ribexweb serves on a free port and says which", web.err.decode(errors="replace")):
            return
        code, out, err = w.run("canpeer", "-s", NET, "-p", w.win(source))
        w.check(code == 0, "canpeer replays %d frames" % len(msgs), out + err)
        check_snapshot(base, msgs)
        check_series(base, msgs)
        check_log(base, msgs)
        check_refusals(base)
        check_limits(base)
        code, out, err = web.interrupt()
        web = None
        w.check(code == 0 and "ribexweb: %s closed: %d frames, 0 lost" % (NET, len(msgs)) in out and
                "requests" in out and "CPU" in out, "Ctrl+C ends it cleanly with its statistics", out + err)
    finally:
        if web:
            web.interrupt()
        if holder:
            holder.proc.terminate()
            holder.finish()
        w.check(w.wait_no_server(w.PREFIX), "the server ended")
        shutil.rmtree(tmp, ignore_errors=True)
    return w.finish()


if __name__ == "__main__":
    sys.exit(main())
