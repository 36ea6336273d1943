"use strict";
// The Now page: the running cycle, read from the controller's runtime dump
// (live/PC.php, live/GC.php, live/runtime.dat) once a second, and PanicLog's
// entries that this browser has not been shown yet (panic-log.js).

const POLL_MS = 1000;
// While a cycle runs, the controller rewrites PC.php and GC.php several
// times a second; files older than this mean no cycle is running.
const IDLE_AFTER_MS = 10000;
const HISTORY_MS = 15 * 60 * 1000;
// A temperature file caught empty while rewritten is read again at the next
// poll; one that holds no number this many polls in a row is stale.
const UNREADABLE_POLLS = 2;
const PANIC_POLL_EVERY = 2; // polls

const { el, clockTime, isoDay, headerTime, HttpError, timeStep } = Tarvex;

function startsWith(bytes, prefix) {
  if (bytes.length < prefix.length) return false;
  return prefix.every((byte, i) => bytes[i] === byte);
}

function concatBytes(a, b) {
  const joined = new Uint8Array(a.length + b.length);
  joined.set(a);
  joined.set(b, a.length);
  return joined;
}

// The last `count` lines of `bytes`, which end with a newline.
function lastLines(bytes, count) {
  let start = bytes.length - 1;
  for (let i = 0; i < count && start > 0; i++) start = bytes.lastIndexOf(10, start - 1);
  return bytes.slice(start + 1);
}

// A file that only grows, fetched by its new bytes only (an HTTP range from
// where the last read ended). The last complete lines read (`checkLines` of
// them) are asked for again and must come back unchanged; otherwise the file
// was rewritten (every cycle empties runtime.dat; PanicLog may be rotated)
// and is read again from its start.
class GrowingFile {
  constructor(url, checkLines = 1) {
    this.url = url;
    this.checkLines = checkLines;
    this.reset();
  }

  reset() {
    this.startAt(0, new Uint8Array(0));
  }

  // Goes on from `size` bytes, the file's last lines up to there being `check`.
  startAt(size, check) {
    this.size = size;
    this.lastLine = check;
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
    // The bytes from `start` (a range, or the whole file when the lines
    // read last are all of it) go on from the lines read last.
    const partial = response.status === 206 || (start === 0 && this.lastLine.length > 0);
    if (partial) {
      const range = /^bytes (\d+)-/.exec(response.headers.get("Content-Range") || "");
      if (response.status === 206 && (!range || Number(range[1]) !== start)) return null;
      if (!startsWith(bytes, this.lastLine)) return null;
      bytes = bytes.subarray(this.lastLine.length);
    } else {
      this.reset();
    }
    // A line still being written waits for the next read.
    const end = bytes.lastIndexOf(10) + 1;
    const lines = end ? new TextDecoder().decode(bytes.subarray(0, end)).split("\n") : [""];
    lines.pop();
    if (end) {
      this.lastLine = lastLines(concatBytes(this.lastLine, bytes.subarray(0, end)),
                                this.checkLines);
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
    // When the server stopped answering (browser's clock), null while it answers.
    this.outageSince = null;
    // Per temperature file: unreadable polls in a row, and since when.
    this.unreadable = { "64": { polls: 0, since: null }, "66": { polls: 0, since: null } };
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
      this.outageSince = null;
      const state = runState([pc, gc, trace], browserNow);
      this.showState(state);
      this.showTemperatures(pc, gc, state, browserNow);
      this.showTrace(trace, state);
    } catch (error) {
      if (this.outageSince === null) this.outageSince = browserNow;
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

  // The values shown are the last ones read, stale since the outage began.
  showUnreachable(error) {
    const line = document.getElementById("run-state");
    line.className = "state trouble";
    line.replaceChildren(
      `No answer from the instrument computer since ${dayAndTime(this.outageSince)}`,
      el("span", { className: "detail" }, "The values below are the last ones read. " +
         String(error.message || error)));
    for (const id of ["64", "66"]) {
      document.getElementById(`reading-${id}`).classList.add("stale");
    }
  }

  showTemperatures(pc, gc, state, browserNow) {
    for (const [index, file, id, name] of [[0, pc, "64", "PC.php"], [1, gc, "66", "GC.php"]]) {
      const reading = document.getElementById(`reading-${id}`);
      const value = document.getElementById(`t${id}`);
      const unreadable = this.unreadable[id];
      if (file.present && file.value === null) {
        if (unreadable.polls++ === 0) unreadable.since = browserNow;
      } else {
        unreadable.polls = 0;
      }
      const broken = unreadable.polls >= UNREADABLE_POLLS;
      reading.classList.toggle("stale", state.kind !== "running" || broken);
      const note = document.getElementById(`note-${id}`);
      note.hidden = !broken;
      if (broken) {
        note.textContent = `${name} has held no temperature since ` +
                           `${dayAndTime(unreadable.since)}: the value is the last one read.`;
      }
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
