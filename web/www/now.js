"use strict";
// The Now page: the running cycle, read from the controller's runtime dump
// (live/PC.php, live/GC.php, live/runtime.dat) once a second, and the end of
// PanicLog when it has entries this browser has not been shown yet.

const POLL_MS = 1000;
// While a cycle runs, the controller rewrites PC.php and GC.php several
// times a second; files older than this mean no cycle is running.
const IDLE_AFTER_MS = 10000;
const HISTORY_MS = 15 * 60 * 1000;
const PANIC_POLL_EVERY = 2; // polls
const PANIC_TAIL_BYTES = 16384;
const PANIC_ENTRIES_SHOWN = 5;
const SEEN_KEY = "tarvex.panicLog.seen";

const { el, clockTime, isoDay, headerTime, HttpError, timeStep } = Tarvex;

function startsWith(bytes, prefix) {
  if (bytes.length < prefix.length) return false;
  return prefix.every((byte, i) => bytes[i] === byte);
}

// A file that only grows, fetched by its new bytes only (an HTTP range from
// where the last read ended). The last complete line is asked for again and
// must come back unchanged; otherwise the file was rewritten (every cycle
// empties runtime.dat) and is read again from its start.
class GrowingFile {
  constructor(url) {
    this.url = url;
    this.reset();
  }

  reset() {
    this.size = 0;
    this.lastLine = new Uint8Array(0);
  }

  // {present, restarted, lines, lastModified, serverTime}; restarted: the
  // lines are the whole file, not an addition.
  async read() {
    const result = await this.readFrom(this.size - this.lastLine.length);
    if (result) return result;
    this.reset();
    return this.readFrom(0);
  }

  async readFrom(start) {
    const headers = start > 0 ? { Range: `bytes=${start}-` } : {};
    const response = await fetch(this.url, { cache: "no-store", headers });
    const times = { lastModified: headerTime(response, "Last-Modified"),
                    serverTime: headerTime(response, "Date") };
    if (response.status === 404) {
      this.reset();
      return { ...times, present: false, restarted: true, lines: [] };
    }
    if (response.status === 416) return null; // shorter than what was read
    if (!response.ok) throw new HttpError(this.url, response.status);
    let bytes = new Uint8Array(await response.arrayBuffer());
    const partial = response.status === 206;
    if (partial) {
      const range = /^bytes (\d+)-/.exec(response.headers.get("Content-Range") || "");
      if (!range || Number(range[1]) !== start || !startsWith(bytes, this.lastLine)) return null;
      bytes = bytes.subarray(this.lastLine.length);
    } else {
      this.reset();
    }
    // A line still being written waits for the next read.
    const end = bytes.lastIndexOf(10) + 1;
    const lines = end ? new TextDecoder().decode(bytes.subarray(0, end)).split("\n") : [""];
    lines.pop();
    if (end) {
      this.lastLine = bytes.slice(end > 1 ? bytes.lastIndexOf(10, end - 2) + 1 : 0, end);
      this.size += end;
    }
    return { ...times, present: true, restarted: !partial, lines };
  }
}

// PC.php or GC.php: one column temperature, "%5.1f". The controller
// rewrites it in place, so a read may catch it empty: value null then.
async function readTemperature(url) {
  const response = await fetch(url, { cache: "no-store" });
  const times = { lastModified: headerTime(response, "Last-Modified"),
                  serverTime: headerTime(response, "Date") };
  if (response.status === 404) return { ...times, present: false, value: null };
  if (!response.ok) throw new HttpError(url, response.status);
  const text = (await response.text()).trim();
  const value = text === "" ? NaN : Number(text);
  return { ...times, present: true, value: Number.isFinite(value) ? value : null };
}

// runtime.dat row: "%3i, %8.5lf, %5.1f, %5.1f": seconds since the detector
// window opened, millivolts, both column temperatures.
function traceRow(line) {
  const fields = line.split(",").map((field) => Number(field.trim()));
  if (fields.length !== 4 || fields.some((value) => !Number.isFinite(value))) return null;
  return { x: fields[0], y: fields[1] };
}

function runState(files, browserNow) {
  const present = files.filter((file) => file.present && file.lastModified !== null);
  if (!present.length) return { kind: "empty" };
  const newest = Math.max(...present.map((file) => file.lastModified));
  // The server's clock, not the browser's: the two need not agree.
  const serverNow = Math.max(...present.map((file) => file.serverTime || browserNow));
  return { kind: serverNow - newest <= IDLE_AFTER_MS ? "running" : "idle", newest };
}

function dayAndTime(time) {
  const date = new Date(time);
  const day = isoDay(date) === isoDay(new Date()) ? "" : ` on ${isoDay(date)}`;
  return clockTime(date) + day;
}

function chartsAvailable() {
  return typeof Chart !== "undefined";
}

function lineChart(canvas, datasets, xTitle, yTitle, xLabel) {
  if (!chartsAvailable()) return null;
  return new Chart(canvas, {
    type: "line",
    data: { datasets },
    options: lineChartOptions({
      normalized: true,
      interaction: { mode: "nearest", axis: "x", intersect: false },
      elements: { point: { radius: 0 }, line: { borderWidth: 2 } },
      scales: {
        x: { type: "linear", title: { display: true, text: xTitle },
             ticks: { callback: xLabel, maxRotation: 0 } },
        y: { title: { display: true, text: yTitle } },
      },
      plugins: { legend: { display: datasets.length > 1 } },
    }),
  });
}

class NowPage {
  constructor() {
    this.trace = new GrowingFile("live/runtime.dat");
    this.tracePoints = [];
    this.temperatureChart = lineChart(document.getElementById("temperature-chart"), [
      { label: "T-controller 64", data: [], borderColor: "#1f5fa8", backgroundColor: "#1f5fa8" },
      { label: "T-controller 66", data: [], borderColor: "#c0392b", backgroundColor: "#c0392b" },
    ], "time", "°C", (value) => clockTime(new Date(value)));
    this.traceChart = lineChart(document.getElementById("trace-chart"), [
      { label: "detector", data: this.tracePoints, borderColor: "#1b1f24", borderWidth: 1.5 },
    ], "seconds since the detector window opened", "mV", (value) => value);
    if (!chartsAvailable()) {
      document.getElementById("trace-state").after(el("p", { className: "problem" },
        "The chart library (Debian's libjs-chart.js) could not be loaded: no charts."));
    }
  }

  async poll() {
    const browserNow = Date.now();
    try {
      const [pc, gc, trace] = await Promise.all([
        readTemperature("live/PC.php"), readTemperature("live/GC.php"), this.trace.read()]);
      const state = runState([pc, gc, trace], browserNow);
      this.showState(state);
      this.showTemperatures(pc, gc, state, browserNow);
      this.showTrace(trace, state);
    } catch (error) {
      this.showUnreachable(error);
    }
  }

  showState(state) {
    const line = document.getElementById("run-state");
    let text, detail;
    if (state.kind === "running") {
      text = "Cycle running";
      detail = `Dump files last written at ${clockTime(new Date(state.newest))}.`;
    } else if (state.kind === "idle") {
      text = `Instrument idle since ${dayAndTime(state.newest)}`;
      detail = "No cycle is running: the dump files have not changed since then.";
    } else {
      text = "No cycle has run yet";
      detail = "The runtime dump folder is empty: no cycle has run since the instrument " +
               "computer started, or cycles run without the dump.";
    }
    line.className = `state ${state.kind === "running" ? "running" : "idle"}`;
    line.replaceChildren(text, el("span", { className: "detail" }, detail));
  }

  showUnreachable(error) {
    const line = document.getElementById("run-state");
    line.className = "state trouble";
    line.replaceChildren(`No answer from the instrument computer since ${clockTime(new Date())}`,
                         el("span", { className: "detail" }, String(error.message || error)));
  }

  showTemperatures(pc, gc, state, browserNow) {
    for (const [index, file, id] of [[0, pc, "64"], [1, gc, "66"]]) {
      const reading = document.getElementById(`reading-${id}`);
      const value = document.getElementById(`t${id}`);
      reading.classList.toggle("stale", state.kind !== "running");
      if (!file.present) value.textContent = "–";
      else if (file.value !== null) value.textContent = file.value.toFixed(1);
      if (!this.temperatureChart) continue;
      const data = this.temperatureChart.data.datasets[index].data;
      if (state.kind === "running" && file.value !== null) {
        data.push({ x: browserNow, y: file.value });
      } else if (state.kind !== "running" && data.length && data[data.length - 1].y !== null) {
        data.push({ x: browserNow, y: null }); // no line across the time between cycles
      }
      while (data.length && data[0].x < browserNow - HISTORY_MS) data.shift();
    }
    if (this.temperatureChart) {
      const points = this.temperatureChart.data.datasets.flatMap((dataset) => dataset.data);
      const span = points.length ? browserNow - Math.min(...points.map((point) => point.x)) : 0;
      this.temperatureChart.options.scales.x.ticks.stepSize = timeStep(span, 8);
      this.temperatureChart.update("none");
    }
  }

  showTrace(trace, state) {
    if (trace.restarted) this.tracePoints.length = 0;
    for (const line of trace.lines) {
      const row = traceRow(line);
      if (row) this.tracePoints.push(row);
    }
    if (this.traceChart) this.traceChart.update("none");
    const text = document.getElementById("trace-state");
    const count = this.tracePoints.length;
    if (!trace.present) {
      text.textContent = "No detector trace in the dump yet.";
      return;
    }
    const written = trace.lastModified ? dayAndTime(trace.lastModified) : "an unknown time";
    if (!count) {
      text.textContent = `runtime.dat is empty (written at ${written}): its rows start with ` +
                         "the detector's 46th reading.";
      return;
    }
    const last = this.tracePoints[count - 1];
    const growing = state.kind === "running" && trace.lastModified !== null &&
                    state.newest - trace.lastModified <= IDLE_AFTER_MS;
    text.replaceChildren(el("span", { id: "trace-count" }, String(count)),
      ` readings; the last at ${last.x} s: ${last.y.toFixed(2)} mV`,
      growing ? " (growing)." : `; written at ${written}.`);
  }
}

// The entries of PanicLog that this browser has not been shown yet, by the
// time stamp of the newest one marked as seen (kept in the browser).
class PanicLogWatch {
  constructor() {
    this.box = document.getElementById("panic");
    this.newest = null;
    document.getElementById("panic-seen").addEventListener("click", () => this.markSeen());
  }

  seen() {
    try {
      return localStorage.getItem(SEEN_KEY) || "";
    } catch (error) {
      return this.seenHere || "";
    }
  }

  markSeen() {
    if (this.newest === null) return;
    this.seenHere = this.newest;
    try {
      localStorage.setItem(SEEN_KEY, this.newest);
    } catch (error) {
      // no storage (a private window): remembered until the page is left
    }
    this.box.hidden = true;
  }

  async poll() {
    const response = await fetch("state/PanicLog", {
      cache: "no-store", headers: { Range: `bytes=-${PANIC_TAIL_BYTES}` } });
    if (response.status === 404 || response.status === 416) {
      this.show([]);
      return;
    }
    if (!response.ok) throw new HttpError("state/PanicLog", response.status);
    let text = await response.text();
    const range = /^bytes (\d+)-/.exec(response.headers.get("Content-Range") || "");
    if (range && Number(range[1]) > 0) text = text.slice(text.indexOf("\n") + 1);
    this.show(panicEntries(text));
  }

  show(entries) {
    this.newest = entries.length ? entries[entries.length - 1].time : null;
    const seen = this.seen();
    const fresh = entries.filter((entry) => entry.time > seen);
    this.box.hidden = fresh.length === 0;
    if (!fresh.length) return;
    const panics = fresh.filter((entry) => entry.panic).length;
    const kinds = panics ? `${panics} panic${panics > 1 ? "s" : ""}` : "warnings only";
    document.getElementById("panic-title").textContent =
      `PanicLog: ${fresh.length} new entr${fresh.length > 1 ? "ies" : "y"} (${kinds})`;
    document.getElementById("panic-entries").textContent = fresh.slice(-PANIC_ENTRIES_SHOWN)
      .map((entry) => entry.lines.join("\n")).join("\n");
    this.box.classList.toggle("panic", panics > 0);
  }
}

// An entry starts with its time, "YYYY-MM-DD HH:MM:SS: "; the lines after
// it up to the next entry belong to it.
function panicEntries(text) {
  const entries = [];
  for (const line of text.split("\n")) {
    const start = /^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d): (.*)$/.exec(line);
    if (start) entries.push({ time: start[1], panic: start[2].includes("[PANIC]"), lines: [line] });
    else if (entries.length && line.trim() !== "") entries[entries.length - 1].lines.push(line);
  }
  return entries;
}

function start() {
  const page = new NowPage();
  const panicLog = new PanicLogWatch();
  let polls = 0;
  async function loop() {
    const started = Date.now();
    await page.poll();
    if (polls++ % PANIC_POLL_EVERY === 0) {
      try {
        await panicLog.poll();
      } catch (error) {
        // shown by the run state line when the server is away
      }
    }
    setTimeout(loop, Math.max(0, POLL_MS - (Date.now() - started)));
  }
  loop();
}

start();
