"use strict";
// The Trend page: each compound of the peak table across the cycles, from
// the trend.csv that tarvex-report update writes (stamp, name, retention_s,
// height_mV, area_mVs; one row per cycle and compound, empty values where
// the compound's peak was not found), over a period chosen here. The choice
// stays in the address (trend.html?from=...&to=...&show=...).

const { el, fetchJson, fetchText, parseCsv, stampDate, isoDay, dayDate, pad2, timeStep,
        address } = Tarvex;

const PERIODS = [["last day", 1], ["last week", 7], ["last month", 30], ["last year", 365],
                 ["all", null]];
const COLOURS = ["#1f5fa8", "#c0392b", "#1d7a3a", "#8e44ad", "#d68910", "#17a2b8", "#6d4c41",
                 "#e84393", "#2d3436", "#7f8c8d"];
const QUANTITY_TITLES = { area_mVs: "area (mV·s)", height_mV: "height (mV)",
                          retention_s: "retention (s)" };
const DAY_MS = 86400000;

const trend = { rows: [], compounds: [], firstDay: null, lastDay: null, chart: null };

function message(...nodes) {
  document.getElementById("trend-message").replaceChildren(...nodes);
}

async function showPage() {
  let index, text, files;
  try {
    index = await fetchJson("reports/index.json");
    if (index === null) {
      message(el("p", { className: "empty" },
        "No cycle has been reported yet: the trend appears after the first cycle."));
      return;
    }
    if (!index.trend || !index.trend.csv) {
      message(el("p", { className: "empty" }, "No trend: the cycles are reported without a " +
        "peak table, which names the compounds to follow (tarvex-report update --peaks)."));
      return;
    }
    files = { csv: address("reports", index.trend.csv, ".csv"),
              png: index.trend.png ? address("reports", index.trend.png, ".png") : null };
    text = await fetchText(files.csv);
    if (text === null) throw new Error(`${files.csv} is missing`);
  } catch (error) {
    message(el("p", { className: "problem" }, `The trend cannot be read: ${error.message}`));
    return;
  }
  readTrend(parseCsv(text));
  showFiles(files);
  if (!trend.rows.length) {
    message(el("p", { className: "empty" }, "No cycle in the trend yet."));
    return;
  }
  if (typeof Chart === "undefined") {
    message(el("p", { className: "problem" },
      "The chart library (Debian's libjs-chart.js) could not be loaded: no chart."));
    return;
  }
  message();
  setUpControls();
  draw();
}

function readTrend(rows) {
  const [header, ...body] = rows;
  const column = (name) => (header || []).indexOf(name);
  const stampAt = column("stamp"), nameAt = column("name");
  if (stampAt < 0 || nameAt < 0) return;
  for (const fields of body) {
    const start = stampDate(fields[stampAt] || "");
    if (!start) continue;
    const values = {};
    for (const quantity of Object.keys(QUANTITY_TITLES)) {
      const text = fields[column(quantity)];
      values[quantity] = text === undefined || text === "" ? null : Number(text);
    }
    const name = fields[nameAt];
    if (!trend.compounds.includes(name)) trend.compounds.push(name);
    trend.rows.push({ time: start.getTime(), day: fields[stampAt].slice(0, 10), name, values });
  }
  trend.rows.sort((a, b) => a.time - b.time);
  if (trend.rows.length) {
    trend.firstDay = trend.rows[0].day;
    trend.lastDay = trend.rows[trend.rows.length - 1].day;
  }
}

function showFiles(files) {
  document.getElementById("trend-csv").href = files.csv;
  const png = document.getElementById("trend-png");
  if (files.png) png.href = files.png;
  else png.remove();
  document.getElementById("trend-files").hidden = false;
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
  from.value = dayDate(query.get("from")) ? query.get("from") : daysBefore(to.value, 7);
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
  document.getElementById("trend-box").hidden = false;
}

// The first day of a period of `days` days that ends on `day`, not before
// the first day of the trend.
function daysBefore(day, days) {
  const end = dayDate(day) || dayDate(trend.lastDay);
  const start = isoDay(new Date(end.getFullYear(), end.getMonth(), end.getDate() - days + 1));
  return start < trend.firstDay ? trend.firstDay : start;
}

function tickLabel(span) {
  return (value) => {
    const date = new Date(value);
    const time = `${pad2(date.getHours())}:${pad2(date.getMinutes())}`;
    return span <= 2 * DAY_MS ? `${isoDay(date).slice(5)} ${time}` : isoDay(date);
  };
}

function draw() {
  let from = document.getElementById("from").value || trend.firstDay;
  let to = document.getElementById("to").value || trend.lastDay;
  if (from > to) [from, to] = [to, from];
  const quantity = document.getElementById("quantity").value;
  history.replaceState(null, "", `?from=${from}&to=${to}&show=${quantity}`);
  const rows = trend.rows.filter((row) => row.day >= from && row.day <= to);
  const datasets = trend.compounds.map((name, i) => ({
    label: name,
    data: rows.filter((row) => row.name === name).map((row) => ({ x: row.time,
                                                                  y: row.values[quantity] })),
    borderColor: COLOURS[i % COLOURS.length],
    backgroundColor: COLOURS[i % COLOURS.length],
  }));
  const cycles = new Set(rows.map((row) => row.time)).size;
  let chosen = false;
  for (const button of document.querySelectorAll("#periods button")) {
    const [first, last] = button.period();
    const matches = !chosen && first === from && last === to;
    button.classList.toggle("chosen", matches);
    chosen = chosen || matches;
  }
  // The axis covers the whole period, from the first day's midnight to the
  // last day's end.
  const start = dayDate(from).getTime();
  const lastDay = dayDate(to);
  const end = new Date(lastDay.getFullYear(), lastDay.getMonth(), lastDay.getDate() + 1).getTime();
  const span = end - start;
  document.getElementById("trend-note").textContent = cycles
    ? `${cycles} cycle${cycles === 1 ? "" : "s"} from ${from} to ${to}. A gap: the compound's ` +
      "peak was not found in that cycle."
    : `No cycle from ${from} to ${to}.`;
  if (trend.chart) trend.chart.destroy();
  trend.chart = new Chart(document.getElementById("trend-chart"), {
    type: "line",
    data: { datasets },
    options: lineChartOptions({
      spanGaps: false,
      elements: { point: { radius: 3 }, line: { borderWidth: 2 } },
      interaction: { mode: "nearest", intersect: false },
      scales: {
        x: { type: "linear", min: start, max: end, title: { display: true, text: "cycle start" },
             ticks: { callback: tickLabel(span), stepSize: timeStep(span, 8), maxRotation: 0,
                      autoSkipPadding: 12 } },
        y: { title: { display: true, text: QUANTITY_TITLES[quantity] } },
      },
      plugins: {
        tooltip: { callbacks: { title: (items) => items.length
          ? tickLabel(0)(items[0].parsed.x) : "" } },
      },
    }),
  });
}

showPage();
