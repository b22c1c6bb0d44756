// The live page: one event stream from the server, a chart, the meter's
// controls. Every change is a POST carrying the server's token.
"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  const meta = (name) => (document.querySelector('meta[name="' + name + '"]') || {}).content || "";
  const access = meta("korvel-access");
  const pageToken = meta("korvel-token");
  const points = [];          // [Date, tesla or null], the last 60 minutes
  const keepMs = 3600 * 1000;
  let chart = null;
  let redrawDue = false;
  let lastState = null;
  let busy = false;           // a change is on its way: the controls keep what the user chose
  let wasConnected = null;
  let lastSeq = 0;            // the newest sample shown (a change's answer may cross a stream event)

  window.korvelPage = { firstReadingMs: null, events: 0, points };

  function token() {
    return access === "token" ? (sessionStorage.getItem("korvel-token") || "") : pageToken;
  }

  // Tesla with an SI prefix and `digits` significant digits.
  function teslaText(t, digits) {
    if (t === null || t === undefined) return "–";
    if (t === 0) return "0 T";
    const a = Math.abs(t);
    const steps = [[1, "T"], [1e-3, "mT"], [1e-6, "µT"], [1e-9, "nT"]];
    for (const [f, unit] of steps) {
      if (a >= f || f === 1e-9) return (t / f).toPrecision(digits || 5) + " " + unit;
    }
    return t + " T";
  }

  function duration(s) {
    s = Math.floor(s);
    const d = Math.floor(s / 86400), h = Math.floor(s / 3600) % 24, m = Math.floor(s / 60) % 60;
    if (d > 0) return d + " d " + h + " h";
    if (h > 0) return h + " h " + m + " min";
    if (m > 0) return m + " min " + (s % 60) + " s";
    return s + " s";
  }

  function say(text, isError) {
    const m = $("message");
    m.textContent = text;
    m.className = "message" + (isError ? " error" : "");
  }

  function setControl(id, value) {
    const el = $(id);
    if (busy || document.activeElement === el || value === null || value === undefined) return;
    if (el.type === "checkbox") el.checked = !!value; else el.value = String(value);
  }

  // Enough digits that neighbouring ticks differ, however narrow the range.
  function axisLabel(v, granularity, opts, graph) {
    const [low, high] = graph.yAxisRange();
    const span = Math.abs(high - low) || Math.abs(v) || 1;
    const digits = Math.min(8, Math.max(3, Math.ceil(Math.log10((Math.abs(v) || span) / span)) + 2));
    return teslaText(v, digits);
  }

  function addPoint(time, tesla) {
    points.push([new Date(time), tesla]);
    const oldest = time - keepMs;
    while (points.length && points[0][0].getTime() < oldest) points.shift();
    redrawDue = true;
  }

  function drawChart() {
    if (!redrawDue || typeof Dygraph === "undefined") return;
    redrawDue = false;
    const span = Number($("window").value) * 1000;
    const now = points.length ? points[points.length - 1][0].getTime() : Date.now();
    let first = points.length;
    while (first > 0 && points[first - 1][0].getTime() >= now - span) first--;
    let shown = points.slice(first);
    const step = Math.ceil(shown.length / 3000);   // a few thousand points draw quickly
    if (step > 1) shown = shown.filter((p, i) => i % step === 0 || p[1] === null);
    if (!shown.length) shown = [[new Date(now), null]];
    const options = { file: shown, dateWindow: [now - span, now] };
    if (!chart) {
      chart = new Dygraph($("chart"), shown, {
        labels: ["time", "field (T)"], connectSeparatedPoints: false, drawGapEdgePoints: true,
        dateWindow: [now - span, now], strokeWidth: 1.5, colors: ["#0b63b6"], legend: "follow",
        axes: { x: { axisLabelWidth: 72 }, y: { axisLabelWidth: 80, valueFormatter: (v) => teslaText(v), axisLabelFormatter: axisLabel } },
      });
    } else {
      chart.updateOptions(options);
    }
  }

  function show(state) {
    // A restarted server counts from 1 again.
    if (lastState && state.server.uptime < lastState.server.uptime - 1) lastSeq = 0;
    if (state.seq < lastSeq) return;
    const fresh = state.seq > lastSeq;
    lastSeq = state.seq;
    lastState = state;
    window.korvelPage.events++;
    const r = state.reading;
    const connected = state.connected;
    const m = state.meter;
    const status = $("status");
    if (connected) {
      status.textContent = "connected · " + (m.serial || "meter") + (m.probe ? " · probe " + m.probe : "");
      status.className = "status ok";
    } else {
      status.textContent = "waiting for the meter" + (m.serial ? " (last seen: " + m.serial + ")" : "");
      status.className = "status waiting";
    }
    $("value").className = "value" + (connected ? "" : " stale");
    if (r && connected) {
      $("value").textContent = r.text;
      $("units").textContent = r.units;
      $("acdc").textContent = r.acdc;
      $("range").textContent = "range " + r.range + (m.autoRange === 1 ? " (auto)" : "");
      $("tesla").textContent = teslaText(r.tesla);
      $("over").hidden = !r.overRange;
      setControl("setunits", r.units);
      setControl("setacdc", r.acdc);
      setControl("setrange", r.range);
      if (window.korvelPage.firstReadingMs === null) window.korvelPage.firstReadingMs = performance.now();
    } else if (!connected) {
      $("value").textContent = "no meter";
      $("over").hidden = true;
    }
    if (fresh) {
      if (wasConnected !== null && wasConnected !== connected) addPoint(state.t, null);
      wasConnected = connected;
      addPoint(state.t, r && connected ? r.tesla : null);
    }
    $("holdflag").hidden = !(m.hold > 0);
    $("relflag").hidden = !(m.relative > 0);
    setControl("sethold", m.hold < 0 ? null : m.hold);
    setControl("setauto", m.autoRange < 0 ? null : m.autoRange);
    const s = state.stats;
    $("scount").textContent = s.n;
    $("smin").textContent = teslaText(s.min);
    $("smax").textContent = teslaText(s.max);
    $("smean").textContent = teslaText(s.mean);
    $("ssd").textContent = teslaText(s.sd);
    const rec = state.recording;
    $("record").textContent = rec.on ? "Stop recording" : "Start recording";
    $("recstate").textContent = rec.on ? "recording " + rec.rows + " rows into " + rec.file
      : rec.file ? "recorded " + rec.rows + " rows into " + rec.file + (rec.error ? " (" + rec.error + ")" : "")
      : "not recording";
    $("download").hidden = !rec.file;
    const sv = state.server;
    $("server").textContent = "server up " + duration(sv.uptime) + " · " + sv.streams + " page stream" +
      (sv.streams === 1 ? "" : "s") + (sv.scpi ? " · " + sv.scpiClients + " SCPI client" + (sv.scpiClients === 1 ? "" : "s") : "");
    $("simulator").hidden = !sv.simulated;
  }

  async function post(path, fields) {
    const body = new URLSearchParams(fields || {});
    const response = await fetch(path, {
      method: "POST", body, credentials: "same-origin",
      headers: { "X-Korvel-Token": token() },
    });
    const text = await response.text();
    let data = null;
    try { data = JSON.parse(text); } catch (e) { data = null; }
    if (!response.ok) throw new Error((data && data.error) || ("HTTP " + response.status));
    return data;
  }

  async function change(path, fields, done) {
    busy = true;
    say("…", false);
    try {
      const state = await post(path, fields);
      busy = false;
      if (state && state.meter) show(state);
      else if (lastState) show(lastState);
      say(done, false);
    } catch (e) {
      busy = false;
      say(e.message, true);
      if (lastState) show(lastState);
    }
  }

  function wireControls() {
    if (access === "read-only") {
      document.querySelectorAll(".change").forEach((el) => { el.disabled = true; });
      $("readonly").hidden = false;
    }
    if (access === "token") {
      $("tokenrow").hidden = false;
      $("token").value = sessionStorage.getItem("korvel-token") || "";
      $("token").addEventListener("change", () => sessionStorage.setItem("korvel-token", $("token").value.trim()));
    }
    $("setunits").addEventListener("change", (e) => change("/api/settings", { units: e.target.value }, "units set"));
    $("setacdc").addEventListener("change", (e) => change("/api/settings", { acdc: e.target.value }, "mode set"));
    $("setrange").addEventListener("change", (e) => change("/api/settings", { range: e.target.value }, "range set"));
    $("setauto").addEventListener("change", (e) =>
      change("/api/settings", { autorange: e.target.checked ? "1" : "0" }, "auto-range " + (e.target.checked ? "on" : "off")));
    $("sethold").addEventListener("change", (e) => change("/api/settings", { hold: e.target.value }, "hold set"));
    $("zero").addEventListener("click", () => change("/api/settings", { relative: "1" }, "zeroed: readings are relative"));
    $("reloff").addEventListener("click", () => change("/api/settings", { relative: "0" }, "relative mode off"));
    $("reset").addEventListener("click", () => change("/api/stats/reset", {}, "statistics reset"));
    $("record").addEventListener("click", () => {
      const on = lastState && lastState.recording.on;
      change(on ? "/api/recording/stop" : "/api/recording/start", {}, on ? "recording stopped" : "recording");
    });
    $("simset").addEventListener("click", () => change("/api/sim/field", { tesla: $("simfield").value }, "field set"));
    $("window").addEventListener("change", () => { redrawDue = true; drawChart(); });
  }

  async function loadHistory() {
    try {
      const response = await fetch("/api/history?seconds=3600");
      const h = await response.json();
      const before = points.splice(0);
      for (let i = 0; i < h.t.length; i++) points.push([new Date(h.t[i]), h.v[i]]);
      const last = points.length ? points[points.length - 1][0].getTime() : 0;
      for (const p of before) if (p[0].getTime() > last) points.push(p);
      redrawDue = true;
    } catch (e) {
      say("no history: " + e.message, true);
    }
  }

  function stream() {
    const source = new EventSource("/api/stream");
    source.onmessage = (e) => show(JSON.parse(e.data));
    source.onerror = () => {
      $("status").textContent = "connection to the server lost; trying again…";
      $("status").className = "status waiting";
    };
  }

  // Several meters: each has a page of its own; the chooser links them.
  async function loadMeters() {
    try {
      const response = await fetch("/api/meters");
      const list = await response.json();
      if (list.meters.length < 2) return;
      const nav = $("meters");
      for (const [index, meter] of list.meters.entries()) {
        const link = document.createElement("a");
        link.textContent = meter.name + (meter.serial ? " " + meter.serial : "");
        link.href = location.protocol + "//" + location.hostname + ":" + meter.port + "/";
        if (index === list.current) link.setAttribute("aria-current", "page");
        nav.appendChild(link);
      }
      nav.hidden = false;
    } catch (e) {
      // Without the list the page still shows its own meter.
    }
  }

  wireControls();
  loadMeters();
  stream();
  loadHistory();
  setInterval(drawChart, 250);
})();
