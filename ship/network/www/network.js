"use strict";
// The Network page: every instrument's latest state from /api/instruments,
// and one compound's amounts across the instruments from /api/amounts. All
// data goes into the page as text, never as markup. The chart's choice stays
// in the address (?name=...&from=...&to=...).

const COLOURS = ["#1f5fa8", "#c0392b", "#1d7a3a", "#8e44ad", "#d68910", "#17a2b8", "#6d4c41",
                 "#e84393", "#2d3436", "#7f8c8d"];
const PERIODS = [["last day", 1], ["last week", 7], ["last month", 30], ["last 3 months", 91]];
const DAY_MS = 86400000;
const HOUR_MS = 3600000;
// Steps between the time axis' ticks: round hours or days, at most 8 ticks.
const STEPS_MS = [1, 2, 3, 6, 12, 24, 48, 96, 168, 336, 720].map((hours) => hours * HOUR_MS);
const REFRESH_MS = 60000;
const page = { chart: null };

function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) {
    if (value !== null && value !== undefined) node.setAttribute(name, value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

async function fetchJson(url) {
  const response = await fetch(url, { cache: "no-store" });
  const text = await response.text();
  let answer;
  try { answer = JSON.parse(text); } catch (error) { answer = {}; }
  if (!response.ok) throw new Error(answer.error || `HTTP ${response.status}`);
  return answer;
}

const pad2 = (n) => String(n).padStart(2, "0");
const isoDay = (d) => `${d.getUTCFullYear()}-${pad2(d.getUTCMonth() + 1)}-${pad2(d.getUTCDate())}`;

function ago(iso, now) {
  const minutes = Math.round((now - Date.parse(iso)) / 60000);
  if (minutes < 90) return `${minutes} min ago`;
  if (minutes < 48 * 60) return `${Math.round(minutes / 60)} h ago`;
  return `${Math.round(minutes / 1440)} days ago`;
}

function amountText(result) {
  const amount = result.amount === null ? "–" : Number(result.amount).toPrecision(3);
  return `${result.name} ${amount}${result.unit ? " " + result.unit : ""}`;
}

function flags(list) {
  return (list || []).flatMap((f) =>
    f.flags.map((word) => el("span", { class: "flag" }, `${f.name}: ${word}`)));
}

function instrumentRow(item, now) {
  const status = el("span", { class: `status ${item.status.replace(/ /g, "-")}` }, item.status);
  const last = item.started
    ? [item.stamp, el("span", { class: "detail" },
        `${item.kind || "kind unknown"}, ` +
        `exit ${item.exit_status === null ? "unknown" : item.exit_status}` +
        `, ${ago(item.started, now)}${item.revision > 1 ? `, revision ${item.revision}` : ""}`)]
    : "no cycle yet";
  const check = item.check_started
    ? [item.check_stamp + (item.check_standard ? ` (${item.check_standard})` : ""),
       el("span", { class: "detail" },
          (item.check_results || []).map(amountText).join(", ") || "no amounts"),
       ...flags((item.check_results || []).filter((r) => r.flags.length))]
    : "none";
  const open = item.open_flags && item.open_flags.length ? flags(item.open_flags) : "none";
  const panic = item.panic_entries_24h > 0 ? String(item.panic_entries_24h) : "0";
  return el("tr", { "data-instrument": item.instrument },
    el("td", { class: "name" }, item.instrument), el("td", { class: "name" }, status),
    el("td", { class: "name" }, last), el("td", { class: "name" }, check),
    el("td", { class: "name" }, open), el("td", {}, panic));
}

async function showInstruments() {
  const state = document.getElementById("instruments-state");
  try {
    const answer = await fetchJson("api/instruments");
    const now = Date.parse(answer.generated);
    document.querySelector("#instruments tbody").replaceChildren(
      ...answer.instruments.map((item) => instrumentRow(item, now)));
    state.className = "note";
    state.textContent = answer.instruments.length
      ? `${answer.instruments.length} instruments, as of ${new Date(now).toLocaleString()}.`
      : "No instrument is known to the central database yet.";
  } catch (error) {
    state.className = "problem";
    state.textContent = `The instruments cannot be shown: ${error.message}`;
  }
}

function choice() {
  const query = new URLSearchParams(location.search);
  const today = new Date();
  return { name: query.get("name") || "",
           from: query.get("from") || isoDay(new Date(today - 6 * DAY_MS)),
           to: query.get("to") || isoDay(today) };
}

function choose(change) {
  const query = new URLSearchParams(Object.entries({ ...choice(), ...change }));
  history.replaceState(null, "", `?${query}`);
  drawChart();
}

async function setUpChart() {
  const periods = document.getElementById("periods");
  for (const [label, days] of PERIODS) {
    const button = el("button", { type: "button" }, label);
    button.addEventListener("click", () => {
      const today = new Date();
      choose({ from: isoDay(new Date(today - (days - 1) * DAY_MS)), to: isoDay(today) });
    });
    periods.append(button);
  }
  const select = document.getElementById("compound");
  select.addEventListener("change", () => choose({ name: select.value }));
  for (const id of ["from", "to"]) {
    document.getElementById(id).addEventListener("change",
      (event) => choose({ [id]: event.target.value }));
  }
  try {
    const answer = await fetchJson("api/compounds");
    select.replaceChildren(...answer.compounds.map((name) => el("option", { value: name }, name)));
    if (!choice().name && answer.compounds.length) choose({ name: answer.compounds[0] });
    else drawChart();
  } catch (error) {
    message("problem", `The compounds cannot be listed: ${error.message}`);
  }
}

function message(kind, text) {
  const state = document.getElementById("chart-state");
  state.className = kind;
  state.textContent = text;
}

function tickLabel(value, span) {
  const date = new Date(value);
  const day = `${date.getFullYear()}-${pad2(date.getMonth() + 1)}-${pad2(date.getDate())}`;
  return span > 2 * DAY_MS ? day : `${day} ${pad2(date.getHours())}:${pad2(date.getMinutes())}`;
}

async function drawChart() {
  const { name, from, to } = choice();
  document.getElementById("compound").value = name;
  document.getElementById("from").value = from;
  document.getElementById("to").value = to;
  if (!name) {
    message("note", "No compound has been quantified in the last three months.");
    return;
  }
  if (typeof Chart === "undefined") {
    message("problem",
      "The chart library (Debian's libjs-chart.js) could not be loaded: no chart.");
    return;
  }
  let answer;
  try {
    answer = await fetchJson(`api/amounts?${new URLSearchParams({ name, from, to })}`);
  } catch (error) {
    message("problem", `The amounts cannot be shown: ${error.message}`);
    return;
  }
  const points = answer.series.reduce((sum, s) => sum + s.times.length, 0);
  const means = answer.bucket_s ? `, means over ${answer.bucket_s / 3600} h` : "";
  message("note", `${name}, samples from ${from} to ${to} (UTC days): ${answer.series.length} ` +
          `instruments, ${points} points${means}.`);
  const start = Date.parse(`${from}T00:00:00Z`), end = Date.parse(`${to}T00:00:00Z`) + DAY_MS;
  const datasets = answer.series.map((s, i) => ({
    label: `${s.instrument}${s.unit ? ` (${s.unit})` : ""}`,
    data: s.times.map((x, at) => ({ x, y: s.amounts[at] })),
    borderColor: COLOURS[i % COLOURS.length], backgroundColor: COLOURS[i % COLOURS.length],
    borderWidth: 1.5, pointRadius: s.times.length > 200 ? 0 : 2, tension: 0 }));
  if (page.chart) page.chart.destroy();
  page.chart = new Chart(document.getElementById("amount-chart"), {
    type: "line", data: { datasets },
    options: { animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
      scales: { x: { type: "linear", min: start, max: end,
                     ticks: { stepSize: STEPS_MS.find((step) => (end - start) / step <= 8) ||
                                         STEPS_MS[STEPS_MS.length - 1],
                              callback: (v) => tickLabel(v, end - start) } },
                y: { title: { display: true, text: name } } },
      plugins: { legend: { position: "bottom" },
                 tooltip: { callbacks: { title: (items) =>
                   items.length ? new Date(items[0].parsed.x).toLocaleString() : "" } } } } });
}

document.addEventListener("DOMContentLoaded", () => {
  document.querySelector("header .host").textContent = location.host;
  showInstruments();
  setInterval(showInstruments, REFRESH_MS);
  setUpChart();
});
