#!/usr/bin/python3
"""ribexweb's figures in headless Chromium (selenium), printed, never judged.

1. A full 1 Mbit/s bus on a device net of a virtual CAN driver service of
   the benchmark's own: canpeer's generator sends 7,600 8-byte extended
   frames a second for SECONDS; the DBC gives the frame 20 signals, all 20
   plotted in a 60 s window. Printed: the page's redraws per second, the age
   of the newest point when a series answer arrives (median and p99; a frame
   waits up to one poll period more before its answer is asked for), frames
   the page's counters miss against what canpeer sent, ribexweb's CPU time,
   and the page's JavaScript heap after 60 s and at the end.
2. A BLF log of LOG_FRAMES frames (10 identifiers, one signal each), made once
   into the build folder by writing a candump log and converting it with
   canlog: the time until the page shows one signal over the whole log, and
   until a zoom into one second of it is drawn.

usage: ribexweb_bench.py BUILD_DIR [SECONDS [LOG_FRAMES]]
       (defaults 120 and 10000000; SECONDS=660 gives the heap after 10 minutes)
"""
import math
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

BUILD = sys.argv[1]
SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 120
LOG_FRAMES = int(sys.argv[3]) if len(sys.argv) > 3 else 10_000_000
RATE = 7600
sys.argv[1:] = [os.path.join(BUILD, "wine-run.sh"), os.path.join(BUILD, "bin"),
                os.path.join(BUILD, "wineprefix")]
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import webtest as w  # noqa: E402

SERVICE_SH = os.path.join(os.path.dirname(os.path.abspath(__file__)), *[".."] * 3, "DRIVER", "vcan",
                          "vcan_service.sh")
TAG = "%05d" % (os.getpid() % 100000)
QUEUE = "rwBenchQ" + TAG
SERVICE, DEVICE = "rwbench", "RWB1"
BENCH_ID = 0x1ABCDEF0


def service(*args):
    subprocess.run(["bash", SERVICE_SH, "--build", BUILD, "--service", SERVICE] + list(args),
                   check=True, stdout=subprocess.DEVNULL)


def bus_dbc(path):
    """20 overlapping 16-bit signals of the generator's sequence number."""
    lines = ['VERSION ""', "", "NS_ :", "", "BS_:", "", "BU_: Gen", "",
             "BO_ %d Bench: 8 Gen" % (BENCH_ID | 0x80000000)]
    for k in range(20):
        lines.append(' SG_ S%02d : %d|16@1+ (1,%d) [0|0] "u%d" Vector__XXX' % (k, k * 2, k, k % 4))
    open(path, "w").write("\n".join(lines) + "\n")


def log_dbc(path):
    lines = ['VERSION ""', "", "NS_ :", "", "BS_:", "", "BU_: Log", ""]
    for k in range(10):
        lines.append("BO_ %d M%d: 8 Log" % (0x100 + k, k))
        lines.append(' SG_ V : 0|16@1- (0.01,0) [0|0] "V" Vector__XXX')
    open(path, "w").write("\n".join(lines) + "\n")


def browser():
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,900", "--enable-precise-memory-info", "--js-flags=--expose-gc"):
        options.add_argument(arg)
    options.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def js(driver, script, *args):
    return driver.execute_script(script, *args)


def heap(driver):
    js(driver, "if (window.gc) window.gc();")
    return js(driver, "return performance.memory ? performance.memory.usedJSHeapSize : null") or 0


def cpu_of(out):
    m = re.search(r"CPU ([\d.]+) s \(user \+ kernel\) in ([\d.]+) s", out)
    return (float(m.group(1)), float(m.group(2))) if m else (None, None)


def full_bus(driver, tmp):
    dbc = os.path.join(tmp, "bench.dbc")
    bus_dbc(dbc)
    frames = RATE * SECONDS
    web, base = w.start_ribexweb("-q", QUEUE, "-b", 1000000, "-d", w.win(dbc), DEVICE)
    if not base:
        print("ribexweb did not start: " + web.err.decode(errors="replace"))
        return
    try:
        driver.get(base + "/")
        w.wait_until(lambda: js(driver, "return document.querySelectorAll('#tree .sig').length") == 20)
        for k in range(20):
            js(driver, "window.ribexweb.pick(arguments[0])", "Bench.S%02d" % k)
        peer = subprocess.Popen(w.command("canpeer", ["-d", DEVICE, "-g", "-n", frames, "-r", RATE, "-e",
                                                      "-I", "%X" % BENCH_ID, "-L", 8]),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        w.wait_until(lambda: js(driver, "const s = window.ribexweb.state.snapshot;"
                                        " return s && s.sources[0].frames > 0"), timeout=60)
        start = time.time()
        r0 = js(driver, "return window.ribexweb.state.redraws")
        heap_60 = None
        while peer.poll() is None:
            time.sleep(1)
            if heap_60 is None and time.time() - start >= 60:
                heap_60 = heap(driver)
        seconds = time.time() - start
        redraws = (js(driver, "return window.ribexweb.state.redraws") - r0) / seconds
        heap_end = heap(driver)
        lags = sorted(js(driver, "return window.ribexweb.state.lags"))
        said = peer.stderr.read().decode(errors="replace")

        def settled():
            ids = js(driver, "return window.ribexweb.state.snapshot.ids")
            row = [r for r in ids if r["id"] == BENCH_ID]
            return row and row[0]["count"] >= frames and row[0]["count"]
        w.wait_until(settled, timeout=30)
        shown = [r for r in js(driver, "return window.ribexweb.state.snapshot.ids")
                 if r["id"] == BENCH_ID][0]["count"]
        src = js(driver, "return window.ribexweb.state.snapshot.sources[0]")
        points = js(driver, "const p = window.ribexweb.plot; return p ? p.data[0].length : 0")
    finally:
        code, out, err = web.interrupt()
    cpu, wall = cpu_of(out)
    m = re.search(r"(\d+) frames/s", said)
    print("full bus on device %s, %d s at %d frames/s, 20 signals in a 60 s window "
          "(load average %.1f on %d cores):" % (DEVICE, SECONDS, RATE, os.getloadavg()[0], os.cpu_count()))
    print("  canpeer sent          %d frames (%s frames/s)" % (frames, m.group(1) if m else "?"))
    print("  page counted          %d frames, missed %d; ribexweb lost %d in the ring" %
          (shown, frames - shown, src["lost"]))
    print("  redraws per second    %.1f (goal: at least 20)" % redraws)
    if lags:
        print("  newest point's age    median %.0f ms, p99 %.0f ms when its answer came; "
              "+ up to 250 ms poll period (%d answers)" %
              (1000 * statistics.median(lags), 1000 * lags[min(len(lags) - 1, int(len(lags) * 0.99))],
               len(lags)))
    print("  points drawn          %d per signal" % points)
    print("  ribexweb CPU          %s s in %s s" % (cpu, wall))
    if heap_60:
        print("  JS heap               %.1f MB after 60 s, %.1f MB after %d s (%+.1f %%)" %
              (heap_60 / 1e6, heap_end / 1e6, seconds, 100.0 * (heap_end - heap_60) / heap_60))
    else:
        print("  JS heap               %.1f MB after %d s" % (heap_end / 1e6, seconds))


def big_log(tmp):
    """The BLF file, made once and kept in the build folder."""
    folder = os.path.join(BUILD, "bench")
    os.makedirs(folder, exist_ok=True)
    blf = os.path.join(folder, "ribexweb_%d.blf" % LOG_FRAMES)
    if os.path.exists(blf):
        return blf
    text = os.path.join(tmp, "big.log")
    t0 = time.time()
    with open(text, "w") as f:
        for n in range(LOG_FRAMES):
            k = n % 10
            raw = int(1000 * math.sin(n / 7600.0 + k)) & 0xFFFF
            f.write("(%d.%06d) can0 %03X#%02X%02X000000000000\n" %
                    (1000 + n // RATE, (n % RATE) * 1000000 // RATE, 0x100 + k, raw & 0xFF, raw >> 8))
    code, out, err = w.run("canlog", "-q", w.win(text), w.win(blf), timeout=1800)
    os.remove(text)
    print("  (made %s with canlog in %.0f s)" % (blf, time.time() - t0))
    return blf if code == 0 else None


def recorded_log(driver, tmp):
    dbc = os.path.join(tmp, "log.dbc")
    log_dbc(dbc)
    print("a BLF log of %d frames:" % LOG_FRAMES)
    blf = big_log(tmp)
    if not blf:
        print("  could not make the log")
        return
    started = time.time()
    web, base = w.start_ribexweb("-d", w.win(dbc), "--log", w.win(blf))
    try:
        driver.get(base + "/")
        w.wait_until(lambda: js(driver, "return !!document.querySelector('#tree .sig[data-signal=\"M3.V\"]')"))
        js(driver, "document.querySelector('#windows button[data-window=\"0\"]').click();"
                   " window.ribexweb.pick('M3.V')")

        def whole():
            src = js(driver, "const s = window.ribexweb.state.snapshot; return s && s.sources[0]")
            d = js(driver, "const p = window.ribexweb.plot; return p && p.data[0].length ?"
                           " [p.data[0][0], p.data[0][p.data[0].length - 1]] : null")
            return src and src["loaded"] and d and d[1] >= src["now"] - 0.01 and (src, d)
        got = w.wait_until(whole, timeout=1800, period=0.05)
        t_whole = time.time() - started
        if not got:
            print("  the whole log was not shown")
            return
        src, span = got
        mid = (span[0] + span[1]) / 2
        fetches = js(driver, "return window.ribexweb.state.fetches")
        t0 = time.time()
        js(driver, "window.ribexweb.zoomTo(arguments[0], arguments[1])", mid, mid + 1)
        w.wait_until(lambda: js(driver, "return window.ribexweb.state.fetches > %d" % fetches), timeout=60,
                     period=0.01)
        t_zoom = time.time() - t0
        zoomed = js(driver, "const p = window.ribexweb.plot; return p.data[0].length")
        raw = js(driver, "return window.ribexweb.state.series[0].raw")
    finally:
        code, out, err = web.interrupt()
    load = re.search(r"LOG1: .*?: (\d+) frames, \d+ error frames in ([\d.]+) s", err)
    memory = re.search(r"([\d.]+) MB of history", out)
    print("  ribexweb read it in    %s s (%s frames)" % (load.group(2) if load else "?",
                                                         load.group(1) if load else "?"))
    print("  whole log on the page  %.1f s after ribexweb's start (%.0f s of log)" % (t_whole, src["now"]))
    print("  a 1 s zoom drawn       %.0f ms later, %d points (%s)" %
          (1000 * t_zoom, zoomed, "every value" if raw else "min/max per column"))
    print("  history memory         %s MB" % (memory.group(1) if memory else "?"))


def main():
    if not w.wait_no_server(w.PREFIX):
        sys.exit("a ribex.exe of an earlier run still runs")
    tmp = tempfile.mkdtemp(prefix="ribexweb-bench-")
    service("--prefix", "RWB", "--count", "1", "up")
    service("set", "QueueFrames", "8192")
    service("restart")
    driver = browser()
    try:
        full_bus(driver, tmp)
        recorded_log(driver, tmp)
    finally:
        driver.quit()
        service("down")


if __name__ == "__main__":
    main()
