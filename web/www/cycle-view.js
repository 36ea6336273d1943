"use strict";
// A cycle's entry of the report index (reports/index/<day>.json, and
// "latest" of reports/index.json) shown as a section: its picture, its peak
// table and links to its raw files and its AIA file, or why it could not be
// reported, and, with quantitation, its kind (sample, blank, calibration,
// check) and the amounts of its compounds with their flags. Every path is checked (Tarvex.address) before it becomes an
// address; an entry that fails spoils only its own section.

const CycleView = (() => {
  const { el, fetchText, parseCsv, stampDate, clockTime, address, BadPath, isRecord } = Tarvex;

  const PEAK_HEADINGS = {
    peak: "#", name: "compound", retention_s: "retention (s)", start_s: "start (s)",
    end_s: "end (s)", height_mV: "height (mV)", area_mVs: "area (mV·s)", width_s: "width (s)",
  };
  const RAW_FILES = [
    ["pid", "detector (PID)"], ["tc64", "T-controller 64"], ["tc66", "T-controller 66"],
    ["flow", "flow log"],
  ];
  const AMOUNT_HEADINGS = { name: "compound", retention_s: "retention (s)",
                           area_mVs: "area (mV·s)", amount: "amount", unit: "unit",
                           flags: "flags" };
  const KINDS = ["sample", "blank", "calibration", "check"];
  // What each flag of an amount means, for its tooltip.
  const FLAGS = {
    "lod": "below the detection limit", "over-range": "above the highest calibrated level",
    "uncalibrated": "no accepted calibration: no amount", "qc-fail": "the latest check failed",
    "rt-shift": "outside the retention window", "saturated": "the detector was saturated",
    "blank": "found in the latest blank", "not-found": "no peak",
  };
  // The files of a cycle's report, the ending each must have, what each is.
  const REPORT_FILES = [["png", ".png", "the picture"], ["svg", ".svg", "the SVG picture"],
                        ["peaks", ".csv", "the peak table"], ["cdf", ".cdf", "the AIA file"]];

  function baseName(path) {
    return path.slice(path.lastIndexOf("/") + 1);
  }

  function problem(text) {
    return el("p", { className: "problem" }, text);
  }

  function checkedAddress(what, folder, path, suffix) {
    try {
      return address(folder, path, suffix);
    } catch (error) {
      throw new BadPath(`${what} ${error.message}`);
    }
  }

  // The entry with the address of each of its files: {stamp, error, figure,
  // kind, standard, amounts: {path, url} or null, raw: [{label, path, url}],
  // report: {png, svg, peaks, cdf: {path, url} or null} or null}. Throws BadPath for anything else, a path that leads out
  // of its folder in particular.
  function checkedCycle(cycle) {
    if (!isRecord(cycle)) throw new BadPath("it is not a cycle's entry");
    if (typeof cycle.stamp !== "string" || !stampDate(cycle.stamp)) {
      throw new BadPath(`its stamp ${JSON.stringify(cycle.stamp)} is not a cycle's`);
    }
    if (cycle.error !== null && cycle.error !== undefined && typeof cycle.error !== "string") {
      throw new BadPath("its error is not a text");
    }
    const raw = cycle.raw === null || cycle.raw === undefined ? {} : cycle.raw;
    if (!isRecord(raw)) throw new BadPath("its raw files are not a list of paths");
    const checked = { stamp: cycle.stamp, error: cycle.error || null, raw: [], report: null,
                      figure: cycle.figure === "pending" ? "pending" : "current",
                      kind: cycle.kind || null, standard: cycle.standard || null,
                      amounts: null };
    if (checked.kind !== null && !KINDS.includes(checked.kind)) {
      throw new BadPath(`its kind ${JSON.stringify(cycle.kind)} is not one of ${KINDS.join(", ")}`);
    }
    if (checked.standard !== null && typeof checked.standard !== "string") {
      throw new BadPath("its standard is not a name");
    }
    if (cycle.amounts !== null && cycle.amounts !== undefined) {
      checked.amounts = { path: cycle.amounts,
                          url: checkedAddress("the amounts", "reports", cycle.amounts,
                                              ".amounts.csv") };
    }
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

  function heading(stamp, kind, standard) {
    const start = stamp ? stampDate(stamp) : null;
    return el("h2", {}, start ? `Cycle started ${clockTime(start)}` : "A cycle",
              kind ? el("span", { className: `kind ${kind}` },
                        standard ? `${kind} ${standard}` : kind) : null,
              stamp ? el("span", { className: "stamp" }, stamp) : null);
  }

  // The section of an entry; its tables are read when fill(section) is
  // called (when it comes near the screen).
  function section(entry) {
    let cycle;
    try {
      cycle = checkedCycle(entry);
    } catch (error) {
      const stamp = isRecord(entry) && typeof entry.stamp === "string" && stampDate(entry.stamp)
        ? entry.stamp : null;
      return el("section", { className: "cycle", id: stamp }, heading(stamp),
        problem(`This cycle's entry in the list of cycles is refused: ${error.message}.`));
    }
    const made = el("section", { className: "cycle", id: cycle.stamp },
                    heading(cycle.stamp, cycle.kind, cycle.standard));
    if (cycle.error || !cycle.report) {
      made.append(problem(`This cycle could not be reported: ${cycle.error || "no report"}`));
    }
    if (cycle.amounts) {
      made.append(el("div", { className: "table-wrap amounts" },
                     el("p", { className: "empty" }, "Reading the amounts\u2026")));
    }
    if (cycle.report) made.append(...reportParts(cycle));
    made.append(fileLinks(cycle));
    made.cycle = cycle;
    return made;
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
    } else if (cycle.figure === "pending") {
      parts.push(el("p", { className: "empty" },
        "This cycle's picture is still to be drawn (tarvex-report figures draws it)."));
    } else {
      parts.push(problem("This cycle's report has no picture."));
    }
    const table = el("div", { className: "table-wrap peaks" }, el("p", { className: "empty" },
      report.peaks ? "Reading the peak table\u2026" : "This cycle's report has no peak table."));
    parts.push(table);
    return parts;
  }

  // Reads the section's tables (once).
  function fill(made) {
    if (!made.cycle || made.filled) return;
    made.filled = true;
    const { report, amounts } = made.cycle;
    if (amounts) {
      fillTable(made.querySelector(".amounts"), amounts, "amounts", AMOUNT_HEADINGS,
                "No compound to quantitate in this cycle.", flagCell);
    }
    if (report && report.peaks) {
      fillTable(made.querySelector(".peaks"), report.peaks, "peak table", PEAK_HEADINGS,
                "No peak found in this cycle.");
    }
  }

  // A CSV file's rows as {header, rows}; throws with what is wrong.
  async function readCsv(file) {
    const text = await fetchText(file.url);
    if (text === null) throw new Error("missing");
    const rows = parseCsv(text).filter((row) => row.length > 1 || row[0] !== "");
    if (!rows.length) throw new Error("empty");
    const [header, ...body] = rows;
    return { header, rows: body };
  }

  // A table of a CSV file into holder; cell(column, value) may make a cell's
  // content of its own.
  async function fillTable(holder, file, what, headings, none, cell) {
    let table;
    try {
      table = await readCsv(file);
    } catch (error) {
      holder.replaceChildren(problem(
        `The ${what} (${baseName(file.path)}) cannot be read: ${error.message}.`));
      return;
    }
    if (!table.rows.length) {
      holder.replaceChildren(el("p", { className: "empty" }, none));
      return;
    }
    const { header } = table;
    const textual = (column) => column === "name" || column === "flags";
    holder.replaceChildren(el("table", {},
      el("thead", {}, el("tr", {}, header.map((column) =>
        el("th", { className: textual(column) ? "name" : null, scope: "col" },
           headings[column] || column)))),
      el("tbody", {}, table.rows.map((row) => el("tr", {}, row.map((value, i) =>
        el("td", { className: textual(header[i]) ? "name" : null },
           cell ? cell(header[i], value) : value)))))));
  }

  // The flags of an amount, each a mark of its own.
  function flagCell(column, value) {
    if (column !== "flags") return value;
    const marks = value.split(" ").filter(Boolean).map((flag) =>
      el("span", { className: "flag", title: FLAGS[flag] || null, "data-flag": flag }, flag));
    return el("span", { className: "flags" }, ...marks);
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
    if (cycle.amounts) {
      links.push(el("a", { href: cycle.amounts.url, download: baseName(cycle.amounts.path) },
                    "amounts (CSV)"));
    }
    return el("p", { className: "files" }, "Files: ", ...links);
  }

  // Fills each section as it comes within a screen of the window.
  function fillWhenNear(sections) {
    if (typeof IntersectionObserver === "undefined") {
      sections.forEach(fill);
      return;
    }
    const watch = new IntersectionObserver((seen) => {
      for (const item of seen) {
        if (!item.isIntersecting) continue;
        watch.unobserve(item.target);
        fill(item.target);
      }
    }, { rootMargin: "100% 0px" });
    sections.forEach((made) => watch.observe(made));
  }

  return { checkedCycle, section, fill, fillWhenNear, readCsv, fillTable, problem, baseName,
           flagCell, FLAGS };
})();
