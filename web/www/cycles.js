"use strict";
// The Cycles page: the cycles of one day (cycles.html?day=YYYY-MM-DD; the
// newest day without it), newest first, as listed by reports/index.json,
// which tarvex-report update rewrites after every cycle. Each cycle shows its
// picture, its peak table and links to its raw files and its AIA file, or
// why it could not be reported.

const { el, fetchJson, fetchText, parseCsv, stampDate, dayDate, clockTime, isoDay, address,
        BadPath } = Tarvex;

const PEAK_HEADINGS = {
  peak: "#", name: "compound", retention_s: "retention (s)", start_s: "start (s)",
  end_s: "end (s)", height_mV: "height (mV)", area_mVs: "area (mV·s)", width_s: "width (s)",
};
const RAW_FILES = [
  ["pid", "detector (PID)"], ["tc64", "T-controller 64"], ["tc66", "T-controller 66"],
  ["flow", "flow log"],
];
// The files of a cycle's report, the ending each must have, what each is.
const REPORT_FILES = [["png", ".png", "the picture"], ["svg", ".svg", "the SVG picture"],
                      ["peaks", ".csv", "the peak table"], ["cdf", ".cdf", "the AIA file"]];

function isRecord(value) {
  return value !== null && typeof value === "object" && !Array.isArray(value);
}

function baseName(path) {
  return path.slice(path.lastIndexOf("/") + 1);
}

function dayLink(day) {
  return `cycles.html?day=${encodeURIComponent(day)}`;
}

function problem(text) {
  return el("p", { className: "problem" }, text);
}

function showInCycles(...nodes) {
  document.getElementById("cycles").replaceChildren(...nodes);
}

async function showPage() {
  let index;
  try {
    index = await fetchJson("reports/index.json");
  } catch (error) {
    showInCycles(problem(`The list of cycles (reports/index.json) cannot be read: ${error.message}`));
    return;
  }
  if (index === null) {
    showInCycles(el("p", { className: "empty" },
      "No cycle has been reported yet: the list of cycles is written after the first cycle."));
    return;
  }
  // A day that is not a day is left out; a cycle that is not a cycle
  // spoils only its own section.
  const days = (Array.isArray(index.days) ? index.days : [])
    .filter((day) => isRecord(day) && typeof day.date === "string" && dayDate(day.date))
    .map((day) => ({ date: day.date, cycles: Array.isArray(day.cycles) ? day.cycles : [] }));
  const generated = index.generated ? new Date(index.generated) : null;
  if (generated && !Number.isNaN(generated.getTime())) {
    document.getElementById("index-note").textContent =
      `List of cycles written at ${isoDay(generated)} ${clockTime(generated)}.`;
  }
  if (!days.length) {
    showInCycles(el("p", { className: "empty" },
      "No cycles yet: the data root holds no cycle's files."));
    return;
  }
  const wanted = new URLSearchParams(location.search).get("day");
  const found = days.findIndex((day) => day.date === wanted);
  const position = found >= 0 ? found : 0;
  showDays(days, position);
  if (wanted && found < 0) {
    showInCycles(problem(`No cycles on ${wanted}.`));
    return;
  }
  showCycles(days[position]);
}

function showDays(days, position) {
  const day = days[position];
  const count = (entry) => entry.cycles.length;
  document.getElementById("day-title").textContent =
    `Cycles of ${day.date} (${count(day)})`;
  const choice = el("select", { "aria-label": "day" }, days.map((entry, i) =>
    el("option", { value: entry.date, selected: i === position },
       `${entry.date} (${count(entry)} cycle${count(entry) === 1 ? "" : "s"})`)));
  choice.addEventListener("change", () => { location.href = dayLink(choice.value); });
  const newer = position > 0 ? el("a", { href: dayLink(days[position - 1].date), rel: "prev" },
                                  "\u2190 newer day") : null;
  const older = position + 1 < days.length
    ? el("a", { href: dayLink(days[position + 1].date), rel: "next" }, "older day \u2192") : null;
  document.getElementById("days").replaceChildren(...[newer, choice, older].filter(Boolean));
}

function showCycles(day) {
  const cycles = day.cycles;
  showInCycles(...(cycles.length ? cycles.map(cycleSection)
                                 : [el("p", { className: "empty" }, "No cycles on this day.")]));
}

// A cycle's entry as tarvex-report writes it, with the address of each of
// its files: {stamp, error, raw: [{label, path, url}], report: {png, svg,
// peaks, cdf: {path, url} or null} or null}. Throws BadPath for anything
// else, a path that leads out of its folder in particular.
function checkedCycle(cycle) {
  const checkedAddress = (what, folder, path, suffix) => {
    try {
      return address(folder, path, suffix);
    } catch (error) {
      throw new BadPath(`${what} ${error.message}`);
    }
  };
  if (!isRecord(cycle)) throw new BadPath("it is not a cycle's entry");
  if (typeof cycle.stamp !== "string" || !stampDate(cycle.stamp)) {
    throw new BadPath(`its stamp ${JSON.stringify(cycle.stamp)} is not a cycle's`);
  }
  if (cycle.error !== null && cycle.error !== undefined && typeof cycle.error !== "string") {
    throw new BadPath("its error is not a text");
  }
  const raw = cycle.raw === null || cycle.raw === undefined ? {} : cycle.raw;
  if (!isRecord(raw)) throw new BadPath("its raw files are not a list of paths");
  const checked = { stamp: cycle.stamp, error: cycle.error || null, raw: [], report: null };
  for (const [key, label] of RAW_FILES) {
    if (raw[key] === null || raw[key] === undefined) continue;
    checked.raw.push({ label, path: raw[key],
                       url: checkedAddress(`the ${label} file`, "data", raw[key]) });
  }
  if (cycle.report !== null && cycle.report !== undefined) {
    if (!isRecord(cycle.report)) throw new BadPath("its report is not a list of paths");
    checked.report = {};
    for (const [key, suffix, what] of REPORT_FILES) {
      const path = cycle.report[key];
      checked.report[key] = path === null || path === undefined ? null
        : { path, url: checkedAddress(what, "reports", path, suffix) };
    }
  }
  return checked;
}

function cycleHeading(stamp) {
  const start = stamp ? stampDate(stamp) : null;
  return el("h2", {}, start ? `Cycle started ${clockTime(start)}` : "A cycle",
            stamp ? el("span", { className: "stamp" }, stamp) : null);
}

function cycleSection(entry) {
  let cycle;
  try {
    cycle = checkedCycle(entry);
  } catch (error) {
    const stamp = isRecord(entry) && typeof entry.stamp === "string" && stampDate(entry.stamp)
      ? entry.stamp : null;
    return el("section", { className: "cycle", id: stamp }, cycleHeading(stamp),
      problem(`This cycle's entry in the list of cycles is refused: ${error.message}.`));
  }
  const section = el("section", { className: "cycle", id: cycle.stamp },
                     cycleHeading(cycle.stamp));
  if (cycle.error || !cycle.report) {
    section.append(problem(`This cycle could not be reported: ${cycle.error || "no report"}`));
  }
  if (cycle.report) {
    section.append(...reportParts(cycle));
  }
  section.append(fileLinks(cycle));
  return section;
}

function reportParts(cycle) {
  const report = cycle.report;
  const parts = [];
  if (report.png) {
    const picture = el("img", {
      src: report.png.url, loading: "lazy",
      alt: `Detector trace with its peaks and the column temperatures of cycle ${cycle.stamp}` });
    const figure = el("figure", {}, el("a", { href: (report.svg || report.png).url }, picture));
    picture.addEventListener("error", () => figure.replaceWith(
      problem(`The picture of this cycle (${report.png.path}) cannot be shown.`)));
    parts.push(figure);
  } else {
    parts.push(problem("This cycle's report has no picture."));
  }
  const table = el("div", { className: "table-wrap peaks" }, el("p", { className: "empty" },
    "Reading the peak table\u2026"));
  parts.push(table);
  if (report.peaks) fillPeakTable(table, report.peaks);
  else table.replaceChildren(problem("This cycle's report has no peak table."));
  return parts;
}

async function fillPeakTable(holder, file) {
  let rows;
  try {
    const text = await fetchText(file.url);
    if (text === null) throw new Error("missing");
    rows = parseCsv(text).filter((row) => row.length > 1 || row[0] !== "");
    if (!rows.length) throw new Error("empty");
  } catch (error) {
    holder.replaceChildren(problem(
      `The peak table (${baseName(file.path)}) cannot be read: ${error.message}.`));
    return;
  }
  const [header, ...peaks] = rows;
  if (!peaks.length) {
    holder.replaceChildren(el("p", { className: "empty" }, "No peak found in this cycle."));
    return;
  }
  const textual = (column) => column === "name";
  holder.replaceChildren(el("table", {},
    el("thead", {}, el("tr", {}, header.map((column) =>
      el("th", { className: textual(column) ? "name" : null, scope: "col" },
         PEAK_HEADINGS[column] || column)))),
    el("tbody", {}, peaks.map((peak) => el("tr", {}, peak.map((value, i) =>
      el("td", { className: textual(header[i]) ? "name" : null }, value)))))));
}

function fileLinks(cycle) {
  const links = cycle.raw.map((file) =>
    el("a", { href: file.url, download: baseName(file.path), title: file.path }, file.label));
  const report = cycle.report || {};
  if (report.cdf) {
    links.push(el("a", { href: report.cdf.url, download: baseName(report.cdf.path) },
                  "AIA file (.cdf)"));
  }
  if (report.svg) links.push(el("a", { href: report.svg.url }, "picture (SVG)"));
  if (report.peaks) {
    links.push(el("a", { href: report.peaks.url, download: baseName(report.peaks.path) },
                  "peak table (CSV)"));
  }
  return el("p", { className: "files" }, "Files: ", ...links);
}

showPage();
