"use strict";
// The Trend page: each compound of the peak table across the cycles, over a
// period chosen here (the last week by default). tarvex-report update
// writes the trend as one file per month (reports/trend/<YYYY-MM>.csv:
// stamp, name, retention_s, height_mV, area_mVs, one row per cycle and
// compound, empty values where the compound's peak was not found; with
// quantitation also amount, unit, flags), listed
// in reports/index.json; only the months of the chosen period are read,
// each once. The choice stays in the address (trend.html?from=&to=&show=).

const { el, fetchIndex, indexDays, fetchText, parseCsv, stampDate, isoDay, dayDate, pad2,
        timeStep, address, isRecord } = Tarvex;

const PERIODS = [["last day", 1], ["last week", 7], ["last month", 30], ["last year", 365],
                 ["all", null]];
const DEFAULT_DAYS = 7;
const COLOURS = ["#1f5fa8", "#c0392b", "#1d7a3a", "#8e44ad", "#d68910", "#17a2b8", "#6d4c41",
                 "#e84393", "#2d3436", "#7f8c8d"];
const QUANTITY_TITLES = { area_mVs: "area (mV·s)", height_mV: "height (mV)",
                          retention_s: "retention (s)", amount: "amount" };
const DAY_MS = 86400000;

// months: {YYYY-MM: {path, url or null, refused}}; loaded: {YYYY-MM: promise
// of its rows}.
const trend = { months: {}, loaded: {}, compounds: [], firstDay: null, lastDay: null,
                chart: null, drawing: 0 };

function message(...nodes) {
  document.getElementById("trend-message").replaceChildren(...nodes);
}

function empty(text) {
  return el("p", { className: "empty" }, text);
}

function problem(text) {
  return el("p", { className: "problem" }, text);
}

async function showPage() {
  let index;
  try {
    index = await fetchIndex();
  } catch (error) {
    message(problem(`The trend cannot be read: reports/index.json: ${error.message}`));
    return;
  }
  if (index === null) {
    message(empty("No cycle has been reported yet: the trend appears after the first cycle."));
    return;
  }
  if (!isRecord(index.trend)) {
    message(empty("No trend: the cycles are reported without a peak table, which names the " +
                  "compounds to follow (tarvex-report update --peaks)."));
    return;
  }
  readMonths(index);
  const days = indexDays(index);
  if (!days.length || !Object.keys(trend.months).length) {
    message(empty("No cycle in the trend yet."));
    return;
  }
  trend.lastDay = days[0].date;
  trend.firstDay = days[days.length - 1].date;
  showPicture(index.trend.png);
  if (typeof Chart === "undefined") {
    message(problem("The chart library (Debian's libjs-chart.js) could not be loaded: no chart."));
    return;
  }
  setUpControls();
  draw();
}

// A month whose path is refused stays listed: the periods that need it say so.
function readMonths(index) {
  for (const month of Array.isArray(index.months) ? index.months : []) {
    if (!isRecord(month) || typeof month.month !== "string" ||
        !/^\d{4}-\d\d$/.test(month.month)) continue;
    let url = null, refused = null;
    try {
      url = address("reports", month.trend, ".csv");
    } catch (error) {
      refused = error.message;
    }
    trend.months[month.month] = { path: month.trend, url, refused };
  }
}

function showPicture(png) {
  const link = document.getElementById("trend-png");
  try {
    if (png) link.href = address("reports", png, ".png");
  } catch (error) {
    link.remove();
  }
  link.hidden = !png || !link.isConnected;
}

// The rows of a month: [{time, day, name, values}], in time order.
function monthRows(month) {
  if (!trend.loaded[month]) {
    const file = trend.months[month];
    trend.loaded[month] = (async () => {
      if (file.refused) throw new Error(file.refused);
      const text = await fetchText(file.url);
      if (text === null) throw new Error(`${file.path} is missing`);
      return parseRows(parseCsv(text));
    })();
  }
  return trend.loaded[month];
}

function parseRows(rows) {
  const [header, ...body] = rows;
  const column = (name) => (header || []).indexOf(name);
  const stampAt = column("stamp"), nameAt = column("name");
  if (stampAt < 0 || nameAt < 0) throw new Error("not a trend file (no stamp and name columns)");
  const columns = Object.keys(QUANTITY_TITLES).map((quantity) => [quantity, column(quantity)]);
  const unitAt = column("unit"), flagsAt = column("flags");
  if (column("amount") >= 0) document.getElementById("amount-option").disabled = false;
  const parsed = [];
  let stamp = null, start = null; // each cycle's rows follow each other
  for (const fields of body) {
    if (fields[stampAt] !== stamp) {
      stamp = fields[stampAt];
      start = stampDate(stamp || "");
    }
    if (!start) continue;
    const values = {};
    for (const [quantity, at] of columns) {
      const text = at < 0 ? undefined : fields[at];
      values[quantity] = text === undefined || text === "" ? null : Number(text);
    }
    const name = fields[nameAt];
    if (!trend.compounds.includes(name)) trend.compounds.push(name);
    parsed.push({ time: start.getTime(), day: stamp.slice(0, 10), name, values,
                  unit: unitAt < 0 ? "" : fields[unitAt] || "",
                  flags: flagsAt < 0 ? "" : fields[flagsAt] || "" });
  }
  return parsed.sort((a, b) => a.time - b.time);
}

function setUpControls() {
  const query = new URLSearchParams(location.search);
  const from = document.getElementById("from");
  const to = document.getElementById("to");
  const quantity = document.getElementById("quantity");
  for (const input of [from, to]) {
    input.min = trend.firstDay;
    input.max = trend.lastDay;
  }
  to.value = dayDate(query.get("to")) ? query.get("to") : trend.lastDay;
  from.value = dayDate(query.get("from")) ? query.get("from")
                                          : daysBefore(to.value, DEFAULT_DAYS);
  if (QUANTITY_TITLES[query.get("show")]) quantity.value = query.get("show");
  const buttons = PERIODS.map(([label, days]) => {
    const button = el("button", { type: "button" }, label);
    button.period = () => [days === null ? trend.firstDay : daysBefore(trend.lastDay, days),
                           trend.lastDay];
    button.addEventListener("click", () => {
      [from.value, to.value] = button.period();
      draw();
    });
    return button;
  });
  document.getElementById("periods").replaceChildren(...buttons);
  for (const input of [from, to, quantity]) input.addEventListener("change", draw);
  document.getElementById("controls").hidden = false;
}

// The first day of a period of `days` days that ends on `day`, not before
// the first day of the trend.
function daysBefore(day, days) {
  const end = dayDate(day) || dayDate(trend.lastDay);
  const start = isoDay(new Date(end.getFullYear(), end.getMonth(), end.getDate() - days + 1));
  return start < trend.firstDay ? trend.firstDay : start;
}

// Tick labels for ticks `step` ms apart: the date alone when they are whole
// days apart, else the date and the time (the time alone would not say
// which day).
function tickLabel(step) {
  return (value) => {
    const date = new Date(value);
    const time = `${pad2(date.getHours())}:${pad2(date.getMinutes())}`;
    return step < DAY_MS ? [isoDay(date).slice(5), time] : isoDay(date);
  };
}

function chosenPeriod() {
  let from = document.getElementById("from").value || trend.firstDay;
  let to = document.getElementById("to").value || trend.lastDay;
  if (from > to) [from, to] = [to, from];
  return [from, to];
}

function monthsOf(from, to) {
  return Object.keys(trend.months).filter((month) => month >= from.slice(0, 7) &&
                                                     month <= to.slice(0, 7)).sort();
}

async function draw() {
  const [from, to] = chosenPeriod();
  const quantity = document.getElementById("quantity").value;
  history.replaceState(null, "", `?from=${from}&to=${to}&show=${quantity}`);
  const drawing = ++trend.drawing;
  const months = monthsOf(from, to);
  const outcomes = await Promise.allSettled(months.map(monthRows));
  if (drawing !== trend.drawing) return; // a later choice is drawn instead
  const failed = outcomes.map((outcome, i) => outcome.status === "rejected"
    ? problem(`The trend of ${months[i]} cannot be read: ${outcome.reason.message}`) : null)
    .filter(Boolean);
  message(...failed);
  const rows = outcomes.flatMap((outcome) => outcome.status === "fulfilled" ? outcome.value : [])
    .filter((row) => row.day >= from && row.day <= to);
  showFiles(months);
  markPeriod(from, to);
  const cycles = new Set(rows.map((row) => row.time)).size;
  document.getElementById("trend-note").textContent = cycles
    ? `${cycles} cycle${cycles === 1 ? "" : "s"} from ${from} to ${to}. ` + (quantity === "amount"
      ? "A gap: no amount in that cycle (a calibration cycle, no peak, or no accepted " +
        "calibration); a triangle: an amount with flags (point at it to see them)."
      : "A gap: the compound's peak was not found in that cycle.")
    : `No cycle from ${from} to ${to}.`;
  drawChart(rows, from, to, quantity);
}

function markPeriod(from, to) {
  let chosen = false;
  for (const button of document.querySelectorAll("#periods button")) {
    const [first, last] = button.period();
    const matches = !chosen && first === from && last === to;
    button.classList.toggle("chosen", matches);
    chosen = chosen || matches;
  }
}

// Links to the month files the period was drawn from.
function showFiles(months) {
  const links = months.filter((month) => trend.months[month].url).map((month) =>
    el("a", { href: trend.months[month].url, download: `${month}.csv` }, `${month}.csv`));
  document.getElementById("trend-months").replaceChildren(...links);
  document.getElementById("trend-files").hidden = false;
}

function drawChart(rows, from, to, quantity) {
  // Amounts: a flagged one is a triangle, always drawn, its flags in the tooltip.
  const amounts = quantity === "amount";
  const datasets = trend.compounds.map((name, i) => ({
    label: name,
    data: rows.filter((row) => row.name === name).map((row) => ({
      x: row.time, y: row.values[quantity], flags: amounts ? row.flags : "", unit: row.unit })),
    borderColor: COLOURS[i % COLOURS.length],
    backgroundColor: COLOURS[i % COLOURS.length],
  }));
  const units = [...new Set(rows.filter((row) => row.values.amount !== null)
    .map((row) => row.unit))];
  const yTitle = amounts && units.length === 1 ? `amount (${units[0]})` : QUANTITY_TITLES[quantity];
  // The axis covers the whole period, from the first day's midnight to the
  // last day's end.
  const start = dayDate(from).getTime();
  const lastDay = dayDate(to);
  const end = new Date(lastDay.getFullYear(), lastDay.getMonth(), lastDay.getDate() + 1).getTime();
  const step = timeStep(end - start, 8);
  const points = rows.length / Math.max(1, trend.compounds.length);
  document.getElementById("trend-box").hidden = false;
  if (trend.chart) trend.chart.destroy();
  trend.chart = new Chart(document.getElementById("trend-chart"), {
    type: "line",
    data: { datasets },
    options: lineChartOptions({
      spanGaps: false,
      normalized: true,
      elements: {
        // Options worked out point by point cost time: for amounts only.
        point: amounts ? {
          radius: (context) => (context.raw && context.raw.flags ? 4 : points > 300 ? 0 : 3),
          pointStyle: (context) => (context.raw && context.raw.flags ? "triangle" : "circle"),
        } : { radius: points > 300 ? 0 : 3 },
        line: { borderWidth: 2 },
      },
      interaction: { mode: "nearest", intersect: false },
      scales: {
        x: { type: "linear", min: start, max: end, title: { display: true, text: "cycle start" },
             ticks: { callback: tickLabel(step), stepSize: step, maxRotation: 0,
                      autoSkipPadding: 12 } },
        y: { title: { display: true, text: yTitle } },
      },
      plugins: {
        tooltip: { callbacks: {
          title: (items) => (items.length ? tickLabel(0)(items[0].parsed.x).join(" ") : ""),
          label: (item) => `${item.dataset.label}: ${item.formattedValue}` +
            (amounts && item.raw.unit ? ` ${item.raw.unit}` : "") +
            (item.raw.flags ? ` (${item.raw.flags})` : ""),
        } },
      },
    }),
  });
}

showPage();
