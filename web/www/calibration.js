"use strict";
// The Calibration page: what quantitation wrote into reports/calibration/:
// index.json (every calibration run, the one in force, the calibration
// deciding each compound), qc.json (the latest check standard's and blank's
// results) and each run's calibration.json and calibration.png. The newest
// runs are read first, older ones on demand.

const { el, fetchJson, stampDate, clockTime, isoDay, address, isRecord } = Tarvex;

const SHOWN = 5; // calibration runs read at a time
const page = { runs: [], loaded: new Map(), shown: 0 };

function problem(text) {
  return el("p", { className: "problem" }, text);
}

function empty(text) {
  return el("p", { className: "empty" }, text);
}

// A number as the page shows it: `digits` significant digits, "–" for none.
function figure(value, digits = 4) {
  return typeof value === "number" && Number.isFinite(value)
    ? String(Number(value.toPrecision(digits))) : "–";
}

function when(stamp) {
  const date = typeof stamp === "string" ? stampDate(stamp) : null;
  return date ? `${isoDay(date)} ${clockTime(date)}` : "–";
}

function cycleLink(stamp) {
  return typeof stamp === "string" && stampDate(stamp)
    ? el("a", { href: `cycles.html?day=${stamp.slice(0, 10)}#${stamp}` }, when(stamp)) : "–";
}

// A table of records; columns: [heading, value(record)]; a record that is
// not one gets a row that says so.
function table(records, columns, rowClass) {
  return el("table", {},
    el("thead", {}, el("tr", {}, columns.map(([heading], i) =>
      el("th", { scope: "col", className: i === 0 ? "name" : null }, heading)))),
    el("tbody", {}, records.map((record) => {
      if (!isRecord(record) || typeof record.name !== "string") {
        return el("tr", {}, el("td", { className: "name", colSpan: columns.length },
                               "This entry is not a compound's and is left out."));
      }
      return el("tr", { className: rowClass ? rowClass(record) : null },
                columns.map(([, value], i) => el("td", { className: i === 0 ? "name" : null },
                                                 value(record))));
    })));
}

function outcome(good, goodText, badText, otherText) {
  if (good === true) return el("span", { className: "good" }, goodText);
  if (good === false) return el("span", { className: "bad" }, badText);
  return otherText;
}

async function showPage() {
  let index, qc;
  try {
    [index, qc] = await Promise.all([fetchJson("reports/calibration/index.json"),
                                     fetchJson("reports/calibration/qc.json")]);
  } catch (error) {
    message(problem(`The calibrations (reports/calibration/) cannot be read: ${error.message}`));
    return;
  }
  const none = index === null || (isRecord(index) && Array.isArray(index.calibrations) &&
                                  !index.calibrations.length);
  if (none || !isRecord(index) || !Array.isArray(index.calibrations)) {
    message(empty(none
      ? "No calibration yet: quantitation writes its results once cycles of kind calibration " +
        "have been reported (a standards file and the cycles' Meta files name them)."
      : "reports/calibration/index.json is not a list of calibrations."));
    return;
  }
  page.runs = index.calibrations.filter((run) => isRecord(run) && typeof run.id === "string" &&
                                                 stampDate(run.id))
    .sort((a, b) => (a.id < b.id ? 1 : -1));
  message();
  document.getElementById("calibration-pages").hidden = false;
  const older = document.getElementById("older");
  older.addEventListener("click", showMore);
  await Promise.all([showInForce(index), showMore()]);
  showQc(isRecord(qc) ? qc : {});
}

function message(...nodes) {
  document.getElementById("calibration-message").replaceChildren(...nodes);
}

// A run's calibration.json, read once; rejects with what is wrong.
function calibration(run) {
  if (!page.loaded.has(run.id)) {
    page.loaded.set(run.id, (async () => {
      const url = address("reports", run.path, "/calibration.json");
      const read = await fetchJson(url);
      if (!isRecord(read) || !Array.isArray(read.compounds)) {
        throw new Error(`${run.path} is ${read === null ? "missing" : "not a calibration"}`);
      }
      return { ...read, url, png: url.replace(/\.json$/, ".png"),
               csv: url.replace(/\.json$/, ".csv") };
    })());
  }
  return page.loaded.get(run.id);
}

function compoundOf(read, name) {
  return read.compounds.find((entry) => isRecord(entry) && entry.name === name) || null;
}

async function showInForce(index) {
  const compounds = isRecord(index.compounds) ? index.compounds : {};
  const names = Object.keys(compounds).sort();
  document.getElementById("in-force-note").textContent = (index.in_force
    ? `The newest calibration in force: ${when(index.in_force)}.`
    : "No calibration is in force: no amount is computed.") +
    (Object.values(compounds).includes(null) ? " An uncalibrated compound's latest " +
      "calibration failed (its history below says why): it has no amounts until the next." : "");
  const rows = await Promise.all(names.map(async (name) => {
    const id = compounds[name];
    const run = page.runs.find((entry) => entry.id === id);
    if (!run) return { name, state: false };
    try {
      const read = await calibration(run);
      return { name, state: true, run, curve: compoundOf(read, name) || {} };
    } catch (error) {
      return { name, state: true, run, curve: {}, problem: error.message };
    }
  }));
  const curve = (key, digits) => (row) => figure((row.curve || {})[key], digits);
  document.getElementById("in-force").replaceChildren(names.length ? table(rows, [
    ["compound", (row) => row.name],
    ["state", (row) => outcome(row.state, "calibrated", "uncalibrated")],
    ["calibration run", (row) => (row.run ? el("a", { href: `#run-${row.run.id}` },
                                                 when(row.run.id)) : "–")],
    ["model", (row) => (row.curve && typeof row.curve.model === "string" ? row.curve.model
                                                                          : row.problem || "–")],
    ["r²", curve("r2", 6)], ["RSD (%)", curve("rsd_percent", 3)],
    ["range", (row) => rangeText(row.curve)], ["detection limit", curve("lod", 3)],
    ["unit", (row) => (row.curve && typeof row.curve.unit === "string" ? row.curve.unit : "")],
  ]) : empty("No compound has been calibrated yet."));
}

function rangeText(curve) {
  const range = curve && Array.isArray(curve.range) ? curve.range : null;
  return range && range.length === 2 ? `${figure(range[0])}–${figure(range[1])}` : "–";
}

function showQc(qc) {
  const check = Array.isArray(qc.check) ? qc.check : [];
  const first = check.find(isRecord) || {};
  const note = document.getElementById("check-note");
  note.replaceChildren(check.length ? el("span", {}, `Standard ${String(first.standard)}, cycle `,
                                         cycleLink(first.stamp), ".")
                                    : "No check standard has been run since quantitation began.");
  document.getElementById("check").replaceChildren(check.length ? table(check, [
    ["compound", (r) => r.name], ["certified", (r) => figure(r.certified)],
    ["measured", (r) => figure(r.amount)], ["unit", (r) => String(r.unit || "")],
    ["deviation (%)", (r) => figure(r.deviation_percent, 3)],
    ["allowed (%)", (r) => (r.limit_percent == null ? "–" : `±${figure(r.limit_percent)}`)],
    ["result", (r) => outcome(r.passed, "passed", "FAILED", "not judged (uncalibrated)")],
  ], (r) => (r.passed === false ? "failed" : null)) : "");
  const blank = Array.isArray(qc.blank) ? qc.blank : [];
  const firstBlank = blank.find(isRecord) || {};
  document.getElementById("blank-note").replaceChildren(blank.length
    ? el("span", {}, "Cycle ", cycleLink(firstBlank.stamp), ".")
    : "No blank has been run since quantitation began.");
  document.getElementById("blank").replaceChildren(blank.length ? table(blank, [
    ["compound", (r) => r.name], ["amount", (r) => figure(r.amount)],
    ["unit", (r) => String(r.unit || "")], ["area (mV·s)", (r) => figure(r.area_mVs, 6)],
    ["detection limit", (r) => figure(r.lod, 3)],
    ["result", (r) => outcome(r.above === true ? false : r.above === false ? true : null,
                              "clean", "above the detection limit", "–")],
  ], (r) => (r.above === true ? "failed" : null)) : "");
}

// The next runs, newest first: a section each, and the history table of
// every run read so far.
async function showMore() {
  const runs = page.runs.slice(page.shown, page.shown + SHOWN);
  page.shown += runs.length;
  document.getElementById("older").hidden = page.shown >= page.runs.length;
  const outcomes = await Promise.allSettled(runs.map(calibration));
  document.getElementById("calibrations").append(...runs.map((run, i) =>
    runSection(run, outcomes[i])));
  const read = await Promise.allSettled(page.runs.slice(0, page.shown).map(calibration));
  showHistory(page.runs.slice(0, page.shown), read);
}

function runSection(run, result) {
  const title = el("h2", {}, `Calibration run of ${when(run.id)} `,
                   outcome(run.accepted === true, "accepted", "not accepted"));
  const made = el("section", { className: "calibration", id: `run-${run.id}` }, title);
  if (result.status === "rejected") {
    made.append(problem(`This calibration cannot be read: ${result.reason.message}.`));
    return made;
  }
  const read = result.value;
  const cycles = Array.isArray(read.cycles) ? read.cycles : [];
  made.append(el("p", { className: "note" }, `${cycles.length} cycle${cycles.length === 1
    ? "" : "s"}, from `, cycleLink(cycles[0]), " to ", cycleLink(cycles[cycles.length - 1]),
    read.in_force_from ? `; in force from ${when(read.in_force_from)}` : "; never in force", "."));
  const picture = el("img", { src: read.png, loading: "lazy",
                              alt: `The curves of the calibration run of ${when(run.id)}` });
  const figureBox = el("figure", {}, el("a", { href: read.png }, picture));
  picture.addEventListener("error", () => figureBox.replaceWith(
    empty("This calibration has no picture (yet).")));
  made.append(figureBox);
  const said = [];
  for (const entry of read.compounds.filter(isRecord)) {
    for (const text of [...(entry.problems || []), ...(entry.remarks || [])]) {
      said.push(el("li", {}, `${String(entry.name)}: ${String(text)}`));
    }
  }
  for (const left of Array.isArray(read.excluded) ? read.excluded.filter(isRecord) : []) {
    said.push(el("li", {}, `${when(left.stamp)} left out: ${String(left.reason)}`));
  }
  if (said.length) made.append(el("ul", {}, said));
  made.append(el("p", { className: "files" }, "Files: ",
                 el("a", { href: read.csv, download: "calibration.csv" }, "levels (CSV)"),
                 el("a", { href: read.url, download: "calibration.json" }, "calibration (JSON)")));
  return made;
}

function showHistory(runs, read) {
  const rows = [];
  runs.forEach((run, i) => {
    if (read[i].status !== "fulfilled") return;
    for (const entry of read[i].value.compounds) rows.push({ run, entry });
  });
  rows.sort((a, b) => String(a.entry.name).localeCompare(String(b.entry.name)) ||
                      (a.run.id < b.run.id ? 1 : -1));
  document.getElementById("history-note").textContent =
    `The ${runs.length} newest of ${page.runs.length} calibration run${
      page.runs.length === 1 ? "" : "s"}, newest first for each compound.`;
  const of = (key, digits) => (row) => figure(row.entry[key], digits);
  document.getElementById("history").replaceChildren(table(
    rows.map((row) => (isRecord(row.entry) ? { ...row, name: row.entry.name } : row.entry)), [
      ["compound", (row) => row.name], ["calibration", (row) => cycleLink(row.run.id)],
      ["result", (row) => outcome(row.entry.accepted === true, "accepted", "failed")],
      ["model", (row) => String(row.entry.model || "–")],
      ["levels", (row) => (Array.isArray(row.entry.levels) ? row.entry.levels.length : "–")],
      ["r²", of("r2", 6)], ["RSD (%)", of("rsd_percent", 3)],
      ["range", (row) => rangeText(row.entry)], ["detection limit", of("lod", 3)],
    ], (row) => (row.entry.accepted === true ? null : "failed")));
}

showPage();
