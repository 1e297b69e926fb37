#!/usr/bin/python3
"""ribexweb's page in a real browser: Debian's chromium, headless, driven by
selenium from Linux against ribexweb under Wine over 127.0.0.1.

canpeer feeds a simulated net with frames whose decoded values are known
(the DBC is canmatrix's); the page must show the table's rows with their
counts and data, the signal values in the tree, and a picked signal's plot
must hold every point sent (read from uPlot's own data arrays). Pause keeps
the plot still while more frames come, resume takes them in; a mouse drag
across the plot zooms to the frames of that stretch, the wheel zooms,
Shift+drag pans, the 10 s window shows ten seconds, the cursor reads
every plotted value at its time; the CSV the page exports (the button's
download) equals what was sent, the PNG is an image. A second ribexweb
shows a BLF log written by python-can, start to end. The screenshot of the
live page goes to the file given (the build folder; the README's picture is
a copy of it).

usage: ribexweb_page_test.py WINE_RUN BIN_DIR WINEPREFIX SCREENSHOT.png
"""
import csv
import glob
import io
import os
import shutil
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webtest as w  # noqa: E402

SCREENSHOT = sys.argv[4]
TAG = "%x" % os.getpid()
QUEUE = "rwp" + TAG
NET = "RWP" + TAG


def browser(downloads):
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,900", "--force-device-scale-factor=1"):
        options.add_argument(arg)
    options.binary_location = "/usr/bin/chromium"
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def same(values, wanted):
    """Decoded values against the ones sent (a factor of 0.01 is not exact in binary)."""
    return len(values) == len(wanted) and all(abs(a - b) <= 1e-9 * max(1.0, abs(b))
                                              for a, b in zip(values, wanted))


def js(driver, script, *args):
    return driver.execute_script(script, *args)


def wait_js(driver, script, timeout=60):
    """Waits until the script's value is true; the last value."""
    return w.wait_until(lambda: js(driver, script), timeout=timeout)


def plot_data_as_drawn(driver):
    return js(driver, "const p = window.ribexweb.plot; return p ? p.data : null;")


def plot_data(driver):
    """The plotted points, without the markers that break the line at a pause."""
    data = plot_data_as_drawn(driver)
    if not data:
        return data
    keep = [i for i in range(len(data[0])) if any(s[i] is not None for s in data[1:])]
    return [[s[i] for i in keep] for s in data]


def table_rows(driver):
    """The rows as drawn, read in one go (the page redraws them with every snapshot)."""
    rows = js(driver, "return [...document.querySelectorAll('#ids tbody tr')].map(tr =>"
                      " [tr.dataset.id, [...tr.cells].map(td => td.textContent)])")
    return {k: v for k, v in rows}


def check_table(driver, msgs):
    want = {}
    for ident in (w.ENGINE_ID, w.STATUS_ID, w.UNKNOWN_ID):
        sent = [m for m in msgs if m[1] == ident]
        want[str(ident)] = (str(len(sent)), sent[-1][3].hex().upper())

    def complete():
        rows = table_rows(driver)
        return rows if all(k in rows and rows[k][2] == c for k, (c, _) in want.items()) else None
    rows = w.wait_until(complete, timeout=60) or table_rows(driver)
    for ident, (count, data) in want.items():
        row = rows.get(ident)
        w.check(row and row[0] == NET and row[2] == count and row[8] == data,
                "table row %X: net, count %s, data %s" % (int(ident), count, data), row)
    w.check(rows.get(str(w.STATUS_ID), ["", ""])[1] == "18FF0001", "an extended id shows 8 digits",
            rows.get(str(w.STATUS_ID)))
    # Filtering and sorting are the page's own: the rows must follow.
    box = driver.find_element(By.ID, "table-filter")
    box.send_keys("7AB")
    shown = w.wait_until(lambda: list(table_rows(driver)) == [str(w.UNKNOWN_ID)] or None, timeout=10)
    w.check(shown, "the filter 7AB leaves only that row", list(table_rows(driver)))
    js(driver, "const b = document.getElementById('table-filter'); b.value = '';"
               " b.dispatchEvent(new Event('input'))")
    driver.find_element(By.CSS_SELECTOR, '#ids th[data-sort="count"]').click()
    order = w.wait_until(lambda: [r["id"] for r in js(driver, "return window.ribexweb.table")] ==
                         [w.ENGINE_ID, w.STATUS_ID, w.UNKNOWN_ID] or None, timeout=10)
    w.check(order, "a click on 'count' sorts the rows by count, most first",
            [r["id"] for r in js(driver, "return window.ribexweb.table")])


def check_tree(driver, msgs):
    engines = [m for m in msgs if m[1] == w.ENGINE_ID]
    statuses = [m for m in msgs if m[1] == w.STATUS_ID]
    want = {"Engine.Speed": "%.10g rpm" % w.speed(len(engines) - 1),
            "Engine.Temp": "%d degC" % w.temp(len(engines) - 1),
            "Status.Gear": '%s (%d)' % (w.GEARS[(len(statuses) - 1) % 4], (len(statuses) - 1) % 4),
            "Status.Voltage": "%.10g V" % w.volts(len(statuses) - 1)}

    def values():
        return {k: js(driver, "const e = document.querySelector('#tree .sig[data-signal=\"' + arguments[0] +"
                              " '\"] .value'); return e ? e.textContent : null;", k) for k in want}
    got = w.wait_until(lambda: values() == want and values(), timeout=30) or values()
    w.check(got == want, "the tree shows every signal's last value, unit and label", (got, want))


def pick(driver, signal):
    driver.find_element(By.CSS_SELECTOR, '#tree .sig[data-signal="%s"]' % signal).click()


def check_plot(driver, msgs, downloads):
    engines = [m for m in msgs if m[1] == w.ENGINE_ID]
    sent = [w.speed(i) for i in range(len(engines))]
    driver.find_element(By.CSS_SELECTOR, '#windows button[data-window="0"]').click()  # all
    pick(driver, "Engine.Speed")
    data = w.wait_until(lambda: (plot_data(driver) or [[]])[0] and len(plot_data(driver)[0]) == len(sent)
                        and plot_data(driver), timeout=30) or plot_data(driver) or [[], []]
    w.check(len(data) == 2 and data[1] == sent, "the plot of Engine.Speed holds every value sent, in order",
            (len(data[0]), data[1][:5] if len(data) > 1 else None))

    # Pause: more frames come, the plot stays; resume takes them in.
    fetches = js(driver, "return window.ribexweb.state.fetches")
    driver.find_element(By.ID, "pause").click()
    wait_js(driver, "return window.ribexweb.state.fetches > %d && !window.ribexweb.state.fetching" % fetches)
    before = plot_data(driver)
    more = [(t + 10, i, x, d) for t, i, x, d in w.messages(engines=40, statuses=0, unknowns=0)]
    log = os.path.join(downloads, "more.log")
    w.write_log(log, more)
    code, out, err = w.run("canpeer", "-s", NET, "-p", w.win(log))
    w.check(code == 0, "canpeer sends 40 more Engine frames", out + err)
    w.wait_until(lambda: [r["count"] for r in js(driver, "return window.ribexweb.table")
                          if r["id"] == w.ENGINE_ID] == [len(sent) + 40], timeout=30)
    # Three snapshots later (the page's own clock of events) the plot must not have moved.
    shots = js(driver, "return window.ribexweb.state.snapshots")
    wait_js(driver, "return window.ribexweb.state.snapshots >= %d" % (shots + 3))
    w.check(plot_data(driver) == before and js(driver, "return window.ribexweb.state.paused"),
            "paused, the plot keeps its points while frames come", len(plot_data(driver)[0]))
    driver.find_element(By.ID, "pause").click()
    resumed = w.wait_until(lambda: len((plot_data(driver) or [[]])[0]) == len(sent) + 40, timeout=30)
    d = plot_data(driver)
    w.check(resumed and d[1][len(sent):] == [w.speed(i) for i in range(40)],
            "resumed, the plot takes the frames sent meanwhile", len(d[0]) if d else None)
    # The seconds between the two batches are a gap in the line (a null
    # between the first's last point and the second's first); the frames of
    # a batch stay one line (a stalled sender may leave a rare gap).
    drawn = plot_data_as_drawn(driver)
    gaps = [i for i, v in enumerate(drawn[1]) if v is None]
    w.check(any(drawn[0][g - 1] == d[0][len(sent) - 1] and drawn[0][g + 1] == d[0][len(sent)]
                for g in gaps if 0 < g < len(drawn[0]) - 1),
            "the pause between the batches is drawn as a gap, not a line", gaps)
    w.check(len(gaps) <= 1 + len(drawn[0]) // 100, "a batch's frames are drawn as one line", gaps)

    # Zoom: a drag across the middle of the plot.
    over = driver.find_element(By.CSS_SELECTOR, "#plot .u-over")
    width = over.size["width"]
    ActionChains(driver).move_to_element_with_offset(over, -width // 4, 0).click_and_hold() \
        .move_by_offset(width // 4, 0).release().perform()
    zoom = wait_js(driver, "return window.ribexweb.state.zoom", timeout=10)
    w.check(zoom and zoom["max"] > zoom["min"], "a drag across the plot zooms in", zoom)
    if zoom:
        def zoomed():
            x = js(driver, "const s = window.ribexweb.plot.scales.x; return [s.min, s.max];")
            return abs(x[0] - zoom["min"]) < 1e-9 and abs(x[1] - zoom["max"]) < 1e-9 and x
        w.check(w.wait_until(zoomed, timeout=10), "the time axis shows the dragged stretch")
        # Both batches: on a slow run the dragged stretch reaches the second.
        both = d or [[], []]
        inside = [v for t, v in zip(both[0], both[1]) if zoom["min"] <= t <= zoom["max"]]
        got = w.wait_until(lambda: [v for t, v in zip(*plot_data(driver)) if zoom["min"] <= t <= zoom["max"]]
                           == inside and inside, timeout=10)
        w.check(got and 0 < len(inside) < len(both[0]), "the zoomed plot shows the frames of that stretch",
                len(inside))
        # The CSV button: what is shown, as a file.
        for old in glob.glob(os.path.join(downloads, "*.csv")):
            os.remove(old)
        driver.find_element(By.ID, "csv").click()
        files = w.wait_until(lambda: glob.glob(os.path.join(downloads, "ribexweb*.csv")), timeout=20)
        rows = list(csv.reader(io.open(files[0], newline=""))) if files else [[]]
        w.check(rows[0] == ["time_s", "Engine.Speed [rpm]"] and [float(r[1]) for r in rows[1:]] == inside,
                "the CSV download holds the zoomed values as sent", rows[:3])
        js(driver, "window.ribexweb.unzoom()")
    # The PNG button: the plot's canvas as a PNG file.
    driver.find_element(By.ID, "png").click()
    files = w.wait_until(lambda: glob.glob(os.path.join(downloads, "ribexweb*.png")), timeout=20)
    head = open(files[0], "rb").read(8) if files else b""
    w.check(head == b"\x89PNG\r\n\x1a\n" and os.path.getsize(files[0]) > 5000,
            "the PNG download is the plot as a PNG image", files)

    # A second signal of another unit: its own axis; the whole CSV equals the frames.
    pick(driver, "Engine.Temp")
    temps = [w.temp(i) for i in range(len(sent))] + [w.temp(i) for i in range(40)]
    speeds = sent + [w.speed(i) for i in range(40)]
    ok = w.wait_until(lambda: len(plot_data(driver)) == 3 and plot_data(driver)[2] == temps, timeout=30)
    w.check(ok, "a second signal joins the plot with all its points")
    axes = js(driver, "return window.ribexweb.plot.axes.filter(a => a.scale !== 'x').map(a => a.label)")
    w.check(axes == ["rpm", "degC"], "one y-axis per unit", axes)
    check_navigation(driver)
    # Unzoomed, the page asks for the whole range again; until that answer
    # is drawn the plot still holds the zoomed stretch.
    w.wait_until(lambda: len(plot_data(driver)[0]) == len(speeds), timeout=10)
    text = js(driver, "return window.ribexweb.csv()")
    rows = list(csv.reader(io.StringIO(text)))
    w.check(rows[0] == ["time_s", "Engine.Speed [rpm]", "Engine.Temp [degC]"] and
            [(float(r[1]), float(r[2])) for r in rows[1:]] == list(zip(speeds, temps)),
            "the CSV of the whole plot equals the frames sent", rows[:3])


def x_span(driver):
    return js(driver, "const s = window.ribexweb.plot.scales.x; return [s.min, s.max];")


def check_navigation(driver):
    """The 10 s window, the wheel's zoom around the pointer, Shift+drag's pan, back to all."""
    driver.find_element(By.CSS_SELECTOR, '#windows button[data-window="10"]').click()
    ten = w.wait_until(lambda: abs((x_span(driver)[1] - x_span(driver)[0]) - 10) < 1e-6 and x_span(driver),
                       timeout=10)
    w.check(ten, "the 10 s window shows the last ten seconds", x_span(driver))
    driver.find_element(By.CSS_SELECTOR, '#windows button[data-window="0"]').click()
    over = driver.find_element(By.CSS_SELECTOR, "#plot .u-over")
    before = x_span(driver)
    ActionChains(driver).scroll_from_origin(ScrollOrigin.from_element(over), 0, -100).perform()
    zoom = wait_js(driver, "return window.ribexweb.state.zoom", timeout=10)
    w.check(zoom and abs((zoom["max"] - zoom["min"]) - 0.8 * (before[1] - before[0])) < 0.05 * (before[1] - before[0]),
            "the wheel zooms in around the pointer", (before, zoom))
    if zoom:
        ActionChains(driver).move_to_element(over).key_down(Keys.SHIFT).click_and_hold() \
            .move_by_offset(100, 0).release().key_up(Keys.SHIFT).perform()
        panned = w.wait_until(lambda: js(driver, "return window.ribexweb.state.zoom")["min"] < zoom["min"] and
                              js(driver, "return window.ribexweb.state.zoom"), timeout=10)
        w.check(panned and abs((panned["max"] - panned["min"]) - (zoom["max"] - zoom["min"])) < 1e-9,
                "Shift+drag to the right pans to earlier times, the span kept", (zoom, panned))
    js(driver, "window.ribexweb.unzoom()")


def check_cursor(driver):
    """The mouse over the plot: the legend reads every plotted value at the cursor's time."""
    over = driver.find_element(By.CSS_SELECTOR, "#plot .u-over")
    # At a plotted point, never in a pause's gap; the cursor's index counts
    # the points as drawn, gap markers included.
    points = plot_data(driver)
    target = points[0][len(points[0]) // 2]
    x = js(driver, "return window.ribexweb.plot.valToPos(arguments[0], 'x')", target)
    ActionChains(driver).move_to_element_with_offset(over, int(x - over.size["width"] / 2), 0).perform()

    def read():
        # In one go: a new series answer may be drawn between two calls.
        return js(driver, "const p = window.ribexweb.plot; return [p.cursor.idx,"
                          " [...document.querySelectorAll('#plot .u-legend .u-value')].map(e => e.textContent),"
                          " p.data];")
    idx, texts, data = w.wait_until(lambda: read()[0] is not None and read(), timeout=10) or read()
    want = [data[k][idx] for k in range(1, len(data))] if idx is not None else None
    got = [float(t.replace(",", "")) for t in texts[1:]] if idx is not None else None
    w.check(idx is not None and got == want and abs(float(texts[0]) - data[0][idx]) < 1e-3,
            "the cursor reads every plotted value at its time", (idx, texts, want))


def check_blf(driver, dbc, blf, msgs):
    web, base = w.start_ribexweb("-q", QUEUE, "-d", w.win(dbc), "--log", w.win(blf))
    try:
        if not w.check(base, "a second ribexweb opens the BLF log"):
            return
        driver.get(base + "/")
        wait_js(driver, "return document.querySelector('#tree .sig[data-signal=\"Status.Voltage\"]')")
        loaded = wait_js(driver, "const s = window.ribexweb.state.snapshot; return s && s.sources[0].loaded && s")
        w.check(loaded and loaded["sources"][0]["frames"] == len(msgs) and not loaded["sources"][0]["live"],
                "the page shows the log read whole", loaded and loaded["sources"])
        driver.find_element(By.CSS_SELECTOR, '#windows button[data-window="0"]').click()
        pick(driver, "Status.Voltage")
        statuses = [m for m in msgs if m[1] == w.STATUS_ID]
        want_v = [w.volts(i) for i in range(len(statuses))]
        want_t = [m[0] - msgs[0][0] for m in statuses]
        data = w.wait_until(lambda: same((plot_data(driver) or [[], []])[1], want_v) and plot_data(driver),
                            timeout=30) or plot_data(driver) or [[], []]
        w.check(same(data[1], want_v) and all(abs(a - b) < 2e-6 for a, b in zip(data[0], want_t)),
                "the log's Voltage is plotted start to end, times as written", data[1][:5])
        x = js(driver, "const s = window.ribexweb.plot.scales.x; return [s.min, s.max];")
        w.check(x[0] <= 0.001 and abs(x[1] - (msgs[-1][0] - msgs[0][0])) < 0.01,
                "the time axis runs from the log's start to its end", x)
    finally:
        code, out, err = web.interrupt()
        w.check(code == 0 and "LOG1 closed: %d frames" % len(msgs) in out, "the log's ribexweb ends on Ctrl+C",
                out + err)


def main():
    w.check(w.wait_no_server(w.PREFIX), "no server of an earlier run is left")
    tmp = tempfile.mkdtemp(prefix="ribexweb-page-")
    holder = web = driver = None
    try:
        dbc, source, blf = (os.path.join(tmp, n) for n in ("car.dbc", "source.log", "drive.blf"))
        w.write_dbc(dbc)
        msgs = w.messages()
        w.write_log(source, msgs)
        w.write_blf(blf, msgs)
        holder = w.simulated_net(NET)
        web, base = w.start_ribexweb("-q", QUEUE, "-d", w.win(dbc), NET)
        if not w.check(base, "ribexweb serves the page", web.err.decode(errors="replace")):
            return w.finish()
        driver = browser(tmp)
        driver.get(base + "/")
        w.check(wait_js(driver, "return document.querySelectorAll('#tree .sig').length === 4"),
                "the tree lists the DBC's four signals before any frame")
        w.check(wait_js(driver, "return document.getElementById('link').textContent === 'live'"),
                "the page's live stream is open")
        code, out, err = w.run("canpeer", "-s", NET, "-p", w.win(source))
        w.check(code == 0, "canpeer replays %d frames" % len(msgs), out + err)
        check_table(driver, msgs)
        check_tree(driver, msgs)
        check_plot(driver, msgs, tmp)
        check_cursor(driver)
        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        w.check(not errors, "the page logged no errors", errors)
        os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
        w.check(driver.save_screenshot(SCREENSHOT), "screenshot saved to " + SCREENSHOT)
        code, out, err = web.interrupt()
        web = None
        w.check(code == 0 and "%s closed: %d frames, 0 lost" % (NET, len(msgs) + 40) in out,
                "ribexweb ends on Ctrl+C, every frame counted", out + err)
        check_blf(driver, dbc, blf, msgs)
    finally:
        if driver:
            driver.quit()
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
