// ribexweb's page: the sources' figures, the identifier table and the signal
// tree from the server's stream of snapshots; plots of the signals picked,
// drawn with uPlot from series the server cut to the plot's width.
"use strict";

(function () {
  const POLL_MS = 250;          // series of a live plot fetched this often
  const CHANGE_HOLD_MS = 1000;  // a changed byte stays marked this long
  const LAG_KEEP = 1000;
  const FRAME_MS = 30;
  const GAP_FACTOR = 10;   // a pause of ten usual spacings is a gap in the line
  const GAP_MIN_S = 0.25;  // ... and never one shorter than this
  const COLORS = ["#2d6cdf", "#d9480f", "#2b8a3e", "#ae3ec9", "#e67700", "#0b7285", "#c2255c",
                  "#5c940d", "#364fc7", "#862e9c"];

  const state = {
    snapshot: null,
    snapshotAt: 0,         // performance.now() when it came
    snapshots: 0,
    tree: [],              // /api/signals
    rows: [],              // the table's rows as shown
    sort: { key: "id", up: true },
    filter: "",
    changes: new Map(),    // row key -> {data, marked: [time per byte]}
    picked: [],            // [{key, unit, net}]
    windowSec: 60,
    paused: false,
    zoom: null,            // {min, max} while zoomed
    frozen: null,          // {min, max} of the view when paused
    plot: null,            // the uPlot
    series: [],            // per picked signal the last answer's {t, v}
    fetching: false,
    fetches: 0,
    redraws: 0,
    lastFetchMs: 0,
    lags: [],              // seconds, see noteLag
  };

  const $ = (sel) => document.querySelector(sel);
  const el = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };
  const fmt = (v, digits) => (v === null || v === undefined ? "" : Number(v).toFixed(digits));
  const hexId = (r) => r.id.toString(16).toUpperCase().padStart(r.ext ? 8 : 3, "0") + (r.rtr ? " R" : "");

  // ---- the sources' figures ---------------------------------------------------------------
  function sourceByName(name) {
    const s = state.snapshot;
    return s ? s.sources.find((x) => x.name === name) : undefined;
  }

  function renderSources() {
    const box = $("#sources");
    box.textContent = "";
    for (const s of state.snapshot.sources) {
      const card = el("div", "source");
      card.id = "src-" + s.name;
      card.appendChild(el("b", "", s.name));
      const parts = [fmt(s.fps, 0) + " frames/s", fmt(s.load, 1) + " % load", s.frames + " frames"];
      card.appendChild(el("span", "", parts.join(" · ") + " · "));
      card.appendChild(el("span", s.lost ? "bad" : "", s.lost + " lost"));
      card.appendChild(el("span", "", " · "));
      card.appendChild(el("span", s.errors ? "bad" : "", s.errors + " errors"));
      if (!s.live) card.appendChild(el("span", "", s.loaded ? " · log, " + fmt(s.now, 3) + " s"
                                                           : " · reading " + fmt(100 * s.progress, 0) + " %"));
      if (s.serverGone) card.appendChild(el("span", "bad", " · server gone, reopening"));
      box.appendChild(card);
    }
  }

  // ---- the identifier table ---------------------------------------------------------------
  function rowKey(r) { return r.net + "/" + r.id + (r.ext ? "x" : "") + (r.rtr ? "r" : ""); }

  // "123" an id that starts so (leading zeros aside), "700:700" ID:MASK, anything
  // else a part of the net's name.
  function rowFilter(text) {
    text = text.trim();
    if (!text) return () => true;
    const m = /^([0-9a-fA-F]+):([0-9a-fA-F]+)$/.exec(text);
    if (m) {
      const id = parseInt(m[1], 16), mask = parseInt(m[2], 16);
      return (r) => ((r.id & mask) >>> 0) === ((id & mask) >>> 0);
    }
    if (/^[0-9a-fA-F]+$/.test(text)) {
      const t = text.toUpperCase();
      const bare = (x) => x.replace(/^0+(?=.)/, "");
      return (r) => hexId(r).startsWith(t) || bare(hexId(r)).startsWith(bare(t));
    }
    return (r) => r.net.toLowerCase().includes(text.toLowerCase());
  }

  function noteChanges(rows, now) {
    for (const r of rows) {
      const key = rowKey(r);
      const seen = state.changes.get(key);
      if (!seen) {
        state.changes.set(key, { data: r.data, marked: [] });
        continue;
      }
      for (let i = 0; i * 2 < Math.max(r.data.length, seen.data.length); ++i)
        if (r.data.substr(i * 2, 2) !== seen.data.substr(i * 2, 2)) seen.marked[i] = now;
      seen.data = r.data;
    }
  }

  function renderTable() {
    const now = performance.now();
    const all = state.snapshot.ids;
    noteChanges(all, now);
    const keep = rowFilter(state.filter);
    const { key, up } = state.sort;
    const rows = all.filter(keep).sort((a, b) => {
      const x = a[key], y = b[key];
      const c = typeof x === "string" ? x.localeCompare(y) : x - y;
      return (up ? c : -c) || a.id - b.id;
    });
    state.rows = rows;
    const body = $("#ids tbody");
    const frag = document.createDocumentFragment();
    for (const r of rows) {
      const tr = el("tr");
      tr.dataset.key = rowKey(r);
      tr.dataset.id = r.id;
      for (const text of [r.net, hexId(r), r.count, fmt(r.rate, 1), fmt(r.period, 2), fmt(r.jitter, 2),
                          fmt(r.age, 0), r.dlc]) tr.appendChild(el("td", "", String(text)));
      const data = el("td", "data");
      const marks = state.changes.get(rowKey(r)).marked;
      for (let i = 0; i * 2 < r.data.length; ++i) {
        const changed = marks[i] !== undefined && now - marks[i] < CHANGE_HOLD_MS;
        data.appendChild(el("span", changed ? "changed" : "", r.data.substr(i * 2, 2)));
      }
      tr.appendChild(data);
      frag.appendChild(tr);
    }
    body.replaceChildren(frag);
    $("#table-count").textContent = rows.length + " of " + all.length + " rows";
    for (const th of document.querySelectorAll("#ids th")) {
      th.classList.toggle("sorted", th.dataset.sort === key);
      th.classList.toggle("up", th.dataset.sort === key && up);
    }
  }

  // ---- the signal tree --------------------------------------------------------------------
  // The API's key of a signal: MSG.SIG, or NET/MSG.SIG when several sources have it.
  function signalKey(net, name) {
    let sources = 0;
    for (const src of state.tree) for (const m of src.messages) for (const s of m.signals)
      if (m.name + "." + s.name === name) { ++sources; break; }
    return sources > 1 ? net + "/" + name : name;
  }

  function buildTree() {
    const tree = $("#tree");
    tree.textContent = "";
    for (const src of state.tree) {
      if (!src.messages.length) continue;
      const top = el("details");
      top.open = true;
      top.appendChild(el("summary", "", src.name));
      for (const m of src.messages) {
        const box = el("details");
        box.dataset.message = m.name;
        const sum = el("summary", "", m.name);
        sum.appendChild(el("span", "msgid", m.id.toString(16).toUpperCase() + (m.ext ? "x" : "")));
        box.appendChild(sum);
        for (const s of m.signals) {
          const key = signalKey(src.name, m.name + "." + s.name);
          const row = el("div", "sig");
          row.dataset.signal = key;
          row.dataset.unit = s.unit;
          row.dataset.net = src.name;
          row.draggable = true;
          row.appendChild(el("span", "name", s.name));
          row.appendChild(el("span", "value", "–"));
          row.addEventListener("click", () => togglePick(key, s.unit, src.name));
          row.addEventListener("dragstart", (e) => e.dataTransfer.setData("text/plain", key));
          box.appendChild(row);
        }
        top.appendChild(box);
      }
      tree.appendChild(top);
    }
    // Messages on the bus open by themselves once; the user decides after that.
    state.treeOpened = new Set();
    filterTree();
  }

  function filterTree() {
    const text = $("#tree-filter").value.trim().toLowerCase();
    for (const row of document.querySelectorAll("#tree .sig"))
      row.style.display = !text || row.dataset.signal.toLowerCase().includes(text) ? "" : "none";
    if (text) for (const box of document.querySelectorAll("#tree details")) box.open = true;
  }

  function renderTreeValues() {
    const values = state.snapshot.signals;
    for (const row of document.querySelectorAll("#tree .sig")) {
      const v = values[row.dataset.signal];
      if (!v) continue;
      const text = (v.label ? v.label + " (" + v.value + ")" : String(+v.value.toPrecision(10))) +
                   (v.unit ? " " + v.unit : "");
      const cell = row.querySelector(".value");
      if (cell.textContent !== text) cell.textContent = text;
      const box = row.parentElement;
      if (!state.treeOpened.has(box.dataset.message)) {
        state.treeOpened.add(box.dataset.message);
        box.open = true;
      }
    }
  }

  // ---- plots ------------------------------------------------------------------------------
  function togglePick(key, unit, net) {
    const i = state.picked.findIndex((p) => p.key === key);
    if (i >= 0) state.picked.splice(i, 1);
    else state.picked.push({ key, unit, net });
    for (const row of document.querySelectorAll("#tree .sig"))
      row.classList.toggle("plotted", state.picked.some((p) => p.key === row.dataset.signal));
    buildPlot();
    fetchSeries();
  }

  function plotSize() {
    const box = $("#plot");
    return { width: Math.max(200, box.clientWidth), height: Math.max(200, box.clientHeight - 40) };
  }

  // One y scale and axis per unit; the scales follow the data (auto) so that a
  // signal added rescales at once.
  function buildPlot() {
    if (state.plot) { state.plot.destroy(); state.plot = null; }
    state.series = state.picked.map(() => ({ t: [], v: [] }));
    const box = $("#plot");
    box.querySelector(".hint").style.display = state.picked.length ? "none" : "";
    if (!state.picked.length) return;
    const units = [...new Set(state.picked.map((p) => p.unit || "–"))];
    const scales = { x: { time: false } };
    const axes = [{ label: "s", values: (u, ticks) => ticks.map((t) => +t.toFixed(3)) }];
    units.forEach((unit, i) => {
      scales[unit] = { auto: true };
      axes.push({ scale: unit, label: unit, side: i % 2 ? 1 : 3, grid: { show: i === 0 } });
    });
    const series = [{ label: "time s", value: (u, v) => (v === null ? "–" : v.toFixed(4)) }];
    state.picked.forEach((p, i) => series.push({
      label: p.key, scale: p.unit || "–", stroke: COLORS[i % COLORS.length], width: 1.25,
      spanGaps: false, points: { show: false },
    }));
    const size = plotSize();
    const opts = {
      width: size.width, height: size.height, scales, axes, series,
      // A drag selects; the selection becomes our zoom (which fetches detail).
      cursor: { drag: { x: true, y: false, setScale: false } },
      hooks: {
        draw: [() => { state.redraws++; }],
        setSelect: [(u) => {
          if (u.select.width < 2) return;
          zoomTo(u.posToVal(u.select.left, "x"), u.posToVal(u.select.left + u.select.width, "x"));
          u.setSelect({ left: 0, width: 0, top: 0, height: 0 }, false);
        }],
      },
    };
    state.plot = new uPlot(opts, [[]].concat(state.picked.map(() => [])), box);
    const over = state.plot.over;
    over.addEventListener("dblclick", unzoom);
    over.addEventListener("wheel", onWheel, { passive: false });
    over.addEventListener("mousedown", onPanStart, true);
  }

  function currentRange() {
    if (state.zoom) return state.zoom;
    if (state.paused && state.frozen) return state.frozen;
    const now = estimatedNow();
    if (state.windowSec === 0) return { min: 0, max: now };
    return { min: now - state.windowSec, max: now };
  }

  // The clock of the first picked signal's source, run on since its snapshot.
  function estimatedNow() {
    if (!state.picked.length || !state.snapshot) return 0;
    const src = sourceByName(state.picked[0].net);
    if (!src) return 0;
    if (!src.live || state.paused) return src.now;
    return src.now + (performance.now() - state.snapshotAt) / 1000;
  }

  function zoomTo(min, max) {
    if (!(max > min)) return;
    state.zoom = { min, max };
    $("#unzoom").disabled = false;
    applyRange();
    fetchSeries();
  }

  function unzoom() {
    state.zoom = null;
    $("#unzoom").disabled = true;
    applyRange();
    fetchSeries();
  }

  function onWheel(e) {
    if (!state.plot) return;
    e.preventDefault();
    const u = state.plot, r = currentRange();
    const at = u.posToVal(e.offsetX, "x");
    const f = e.deltaY < 0 ? 0.8 : 1.25;
    zoomTo(at - (at - r.min) * f, at + (r.max - at) * f);
  }

  function onPanStart(e) {
    if (!e.shiftKey || !state.plot) return;
    e.preventDefault();
    e.stopPropagation();  // not uPlot's selection
    const u = state.plot, start = currentRange(), x0 = e.clientX;
    const perPx = (start.max - start.min) / u.bbox.width * devicePixelRatio;
    const move = (m) => {
      const shift = (x0 - m.clientX) * perPx;
      state.zoom = { min: start.min + shift, max: start.max + shift };
      $("#unzoom").disabled = false;
      applyRange();
    };
    const up = () => {
      window.removeEventListener("mousemove", move);
      window.removeEventListener("mouseup", up);
      fetchSeries();
    };
    window.addEventListener("mousemove", move);
    window.addEventListener("mouseup", up);
  }

  function applyRange() {
    if (!state.plot) return;
    const r = currentRange();
    if (r.max > r.min) state.plot.setScale("x", { min: r.min, max: r.max });
  }

  // The picked signals' series over the range shown, at most a point budget
  // of the plot's width in pixels per signal (the server cuts longer ones to
  // minimum and maximum per pixel column).
  async function fetchSeries() {
    if (!state.picked.length || state.fetching) return;
    state.fetching = true;
    const picked = state.picked.slice();
    const r = currentRange();
    const points = Math.max(2, Math.min(20000, 2 * Math.round(plotSize().width)));
    const params = new URLSearchParams();
    for (const p of picked) params.append("signal", p.key);
    if (state.zoom || state.windowSec !== 0) params.set("from", String(Math.max(0, r.min)));
    if (state.zoom || state.paused) params.set("to", String(r.max));
    params.set("points", String(points));
    try {
      const res = await fetch("/api/series?" + params);
      if (!res.ok) return;
      const answer = await res.json();
      if (picked.length !== state.picked.length || picked.some((p, i) => p !== state.picked[i])) return;
      state.series = answer.series.map((s) => ({ t: s.t, v: s.v, raw: s.raw }));
      state.fetches++;
      noteLag(answer.series);
      state.lastFetchMs = performance.now();
      setPlotData();
    } catch (e) {
      // the next poll tries again
    } finally {
      state.fetching = false;
    }
  }

  // How far the newest point drawn is behind the net's clock now (the age of
  // the frame it came from), kept for the last LAG_KEEP fetches.
  function noteLag(series) {
    if (state.paused || state.zoom || !series.length) return;
    const src = sourceByName(state.picked[0].net);
    if (!src || !src.live) return;
    let newest = -Infinity;
    for (const s of series) if (s.t.length) newest = Math.max(newest, s.t[s.t.length - 1]);
    if (newest === -Infinity) return;
    state.lags.push(estimatedNow() - newest);
    if (state.lags.length > LAG_KEEP) state.lags.shift();
  }

  // A pause in a signal far longer than its usual spacing is drawn as a
  // gap (a null between the points), not as a line across the silence.
  // Points of other signals at other times stay undefined in the join and
  // are spanned.
  function withGaps(t, v) {
    const steps = [];
    for (let i = 1; i < t.length; ++i) if (t[i] > t[i - 1]) steps.push(t[i] - t[i - 1]);
    if (steps.length < 2) return [t, v];
    steps.sort((a, b) => a - b);
    const limit = Math.max(GAP_FACTOR * steps[steps.length >> 1], GAP_MIN_S);
    const gt = [t[0]], gv = [v[0]];
    for (let i = 1; i < t.length; ++i) {
      if (t[i] - t[i - 1] > limit) { gt.push((t[i - 1] + t[i]) / 2); gv.push(null); }
      gt.push(t[i]);
      gv.push(v[i]);
    }
    return [gt, gv];
  }

  function setPlotData() {
    if (!state.plot) return;
    const tables = state.series.map((s) => withGaps(s.t, s.v));
    const data = tables.length === 1 ? tables[0] : uPlot.join(tables);
    state.plot.setData(data, false);
    applyRange();
    const raw = state.series.every((s) => s.raw);
    $("#plot-state").textContent = (state.paused ? "paused · " : "") + (state.zoom ? "zoomed · " : "") +
      data[0].length + " points" + (raw ? "" : " (min/max per column)");
  }

  // Live, unpaused, unzoomed: the time axis runs on with the animation
  // frames, at most FRAME_MS apart (smooth enough, and the CPU stays for the
  // programs beside the browser).
  let lastFrame = 0;
  function frame(now) {
    if (state.plot && !state.paused && !state.zoom && now - lastFrame >= FRAME_MS) {
      lastFrame = now;
      applyRange();
    }
    requestAnimationFrame(frame);
  }

  function poll() {
    const live = state.picked.some((p) => (sourceByName(p.net) || {}).live);
    const loading = state.snapshot && state.snapshot.sources.some((s) => !s.live && !s.loaded);
    if (!state.paused && !state.zoom && (live || loading || !state.series.some((s) => s.t.length)))
      fetchSeries();
  }

  // What is shown, as CSV: time and every plotted signal in the visible range.
  function csv() {
    if (!state.plot) return "";
    const u = state.plot, r = currentRange();
    const lines = ["time_s," + state.picked.map((p) => p.key + (p.unit ? " [" + p.unit + "]" : "")).join(",")];
    for (let i = 0; i < u.data[0].length; ++i) {
      const t = u.data[0][i];
      if (t < r.min || t > r.max) continue;
      const row = [String(t)];
      let values = 0;
      for (let k = 1; k < u.data.length; ++k) {
        const v = u.data[k][i];
        if (v !== null && v !== undefined) ++values;
        row.push(v === null || v === undefined ? "" : String(v));
      }
      if (values !== 0) lines.push(row.join(","));  // a gap's marker is no value
    }
    return lines.join("\n") + "\n";
  }

  function download(name, href) {
    const a = el("a");
    a.href = href;
    a.download = name;
    document.body.appendChild(a);
    a.click();
    a.remove();
  }

  function exportCsv() {
    const url = URL.createObjectURL(new Blob([csv()], { type: "text/csv" }));
    download("ribexweb.csv", url);
    setTimeout(() => URL.revokeObjectURL(url), 1000);
  }

  function exportPng() {
    if (state.plot) download("ribexweb.png", state.plot.ctx.canvas.toDataURL("image/png"));
  }

  // ---- the stream and the controls -------------------------------------------------------
  function onSnapshot(snapshot) {
    state.snapshot = snapshot;
    state.snapshotAt = performance.now();
    state.snapshots++;
    renderSources();
    renderTable();
    renderTreeValues();
  }

  async function loadTree() {
    try {
      const res = await fetch("/api/signals");
      state.tree = (await res.json()).sources;
      buildTree();
    } catch (e) {
      setTimeout(loadTree, 1000);
    }
  }

  function connect() {
    const events = new EventSource("/api/events");
    events.onopen = () => { $("#link").textContent = "live"; };
    events.onmessage = (e) => onSnapshot(JSON.parse(e.data));
    events.onerror = () => { $("#link").textContent = "reconnecting"; };
  }

  function controls() {
    for (const b of document.querySelectorAll("#windows button")) {
      b.addEventListener("click", () => {
        state.windowSec = Number(b.dataset.window);
        for (const o of document.querySelectorAll("#windows button")) o.classList.toggle("on", o === b);
        state.zoom = null;
        $("#unzoom").disabled = true;
        applyRange();
        fetchSeries();
      });
    }
    $("#pause").addEventListener("click", () => {
      state.paused = !state.paused;
      $("#pause").textContent = state.paused ? "resume" : "pause";
      $("#pause").classList.toggle("on", state.paused);
      state.frozen = null;
      if (state.paused) state.frozen = currentRange();  // the view stays where it is
      setPlotData();
      fetchSeries();
    });
    $("#unzoom").addEventListener("click", unzoom);
    $("#clear").addEventListener("click", () => {
      state.picked = [];
      for (const row of document.querySelectorAll("#tree .sig")) row.classList.remove("plotted");
      buildPlot();
    });
    $("#csv").addEventListener("click", exportCsv);
    $("#png").addEventListener("click", exportPng);
    $("#tree-filter").addEventListener("input", filterTree);
    $("#table-filter").addEventListener("input", (e) => {
      state.filter = e.target.value;
      if (state.snapshot) renderTable();
    });
    for (const th of document.querySelectorAll("#ids th[data-sort]")) {
      th.addEventListener("click", () => {
        const key = th.dataset.sort;
        state.sort = { key, up: state.sort.key === key ? !state.sort.up : key === "id" || key === "net" };
        if (state.snapshot) renderTable();
      });
    }
    const plot = $("#plot");
    plot.addEventListener("dragover", (e) => { e.preventDefault(); plot.classList.add("dragover"); });
    plot.addEventListener("dragleave", () => plot.classList.remove("dragover"));
    plot.addEventListener("drop", (e) => {
      e.preventDefault();
      plot.classList.remove("dragover");
      const row = document.querySelector('#tree .sig[data-signal="' + CSS.escape(e.dataTransfer.getData("text/plain")) + '"]');
      if (row && !state.picked.some((p) => p.key === row.dataset.signal))
        togglePick(row.dataset.signal, row.dataset.unit, row.dataset.net);
    });
    window.addEventListener("resize", () => {
      if (state.plot) state.plot.setSize(plotSize());
    });
  }

  // For scripts and tests: the page's state, read only by contract.
  window.ribexweb = {
    state,
    get plot() { return state.plot; },
    get picked() { return state.picked.map((p) => p.key); },
    get table() { return state.rows; },
    csv,
    pick: (key) => {
      const row = document.querySelector('#tree .sig[data-signal="' + CSS.escape(key) + '"]');
      if (row && !state.picked.some((p) => p.key === key)) togglePick(key, row.dataset.unit, row.dataset.net);
      return !!row;
    },
    zoomTo,
    unzoom,
  };

  controls();
  loadTree();
  connect();
  setInterval(poll, POLL_MS);
  requestAnimationFrame(frame);
})();
