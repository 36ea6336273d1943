"use strict";
// What every page of the web view uses: element building, times, fetching.
// Every address is relative, so the pages also work below a path prefix.

const Tarvex = (() => {
  function pad2(number) {
    return String(number).padStart(2, "0");
  }

  function clockTime(date) {
    return `${pad2(date.getHours())}:${pad2(date.getMinutes())}:${pad2(date.getSeconds())}`;
  }

  function isoDay(date) {
    return `${date.getFullYear()}-${pad2(date.getMonth() + 1)}-${pad2(date.getDate())}`;
  }

  // A cycle's stamp, YYYY-MM-DD_HH-MM-00, is the local time of the
  // instrument computer; it is shown as that local time here too.
  function stampDate(stamp) {
    const m = /^(\d{4})-(\d\d)-(\d\d)_(\d\d)-(\d\d)-(\d\d)$/.exec(stamp);
    if (!m) return null;
    return new Date(+m[1], m[2] - 1, +m[3], +m[4], +m[5], +m[6]);
  }

  function dayDate(day) {
    const m = /^(\d{4})-(\d\d)-(\d\d)$/.exec(day || "");
    return m ? new Date(+m[1], m[2] - 1, +m[3]) : null;
  }

  // el("a", {href: "x"}, "text", child...): attributes set as properties
  // when the element has one (className, hidden...), else as attributes.
  function el(tag, attributes, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes || {})) {
      if (value === null || value === undefined || value === false) continue;
      if (name in node && typeof value !== "string") node[name] = value;
      else if (name === "className") node.className = value;
      else node.setAttribute(name, value === true ? "" : value);
    }
    for (const child of children.flat()) {
      if (child === null || child === undefined) continue;
      node.append(child instanceof Node ? child : String(child));
    }
    return node;
  }

  function headerTime(response, name) {
    const value = response.headers.get(name);
    const time = value ? Date.parse(value) : NaN;
    return Number.isNaN(time) ? null : time;
  }

  class HttpError extends Error {
    constructor(url, status) {
      super(`${url}: HTTP ${status}`);
      this.status = status;
    }
  }

  // The text of a file, or null when the server has none (404).
  async function fetchText(url, options = {}) {
    const response = await fetch(url, { cache: options.cache || "no-cache" });
    if (response.status === 404) return null;
    if (!response.ok) throw new HttpError(url, response.status);
    return response.text();
  }

  async function fetchJson(url) {
    const text = await fetchText(url);
    return text === null ? null : JSON.parse(text);
  }

  function isRecord(value) {
    return value !== null && typeof value === "object" && !Array.isArray(value);
  }

  // reports/index.json, the summary tarvex-report update rewrites after
  // every cycle (format 2: the days and months, each with the file that
  // holds it, and the newest cycle); null before the first report.
  const INDEX_FORMAT = 2;
  async function fetchIndex() {
    const index = await fetchJson("reports/index.json");
    if (index === null) return null;
    if (!isRecord(index) || index.format !== INDEX_FORMAT) {
      throw new Error(`it is not in the format these pages read (format ${INDEX_FORMAT}): ` +
                      "run tarvex-report update of the same version as the pages");
    }
    return index;
  }

  // The index's days, newest first, as {date, cycles, index}; a day that is
  // not a day is left out, its index path is checked when it is shown.
  function indexDays(index) {
    return (Array.isArray(index.days) ? index.days : [])
      .filter((day) => isRecord(day) && typeof day.date === "string" && dayDate(day.date))
      .map((day) => ({ date: day.date, index: day.index,
                       cycles: Number.isInteger(day.cycles) && day.cycles >= 0 ? day.cycles
                                                                                : null }));
  }

  // A path that the report index names is data, not an address: whoever can
  // write the index must not lead the page out of the instrument's folders
  // (to a parent folder, another server, a script) by it.
  class BadPath extends Error {}

  // The address of `path`, a file below `folder` ("reports" or "data") as
  // the index names it, relative to that folder; `suffix`: the ending the
  // file must have (".png"...). Throws BadPath for anything else: not a
  // string, absolute, a "." or ".." part or any other part starting with a
  // dot, an empty part, a backslash, a colon (scheme or drive), a percent
  // sign (encoded tricks), a control character.
  function address(folder, path, suffix = "") {
    if (folder !== "reports" && folder !== "data") throw new BadPath(`no folder ${folder}`);
    const shown = JSON.stringify(path);
    const refuse = (why) => { throw new BadPath(`${shown} ${why}`); };
    if (typeof path !== "string" || path === "") refuse("is not a file name");
    if (path.startsWith("/")) refuse("is an absolute path");
    if (/[\\:%\u0000-\u001f\u007f]/.test(path)) {
      refuse("holds a character that no file name of the instrument has " +
             "(\\ : % or a control character)");
    }
    const parts = path.split("/");
    if (parts.includes("..")) refuse(`leads out of the ${folder} folder`);
    if (parts.some((part) => part === "" || part.startsWith("."))) {
      refuse("has an empty part or a part starting with a dot");
    }
    if (!path.endsWith(suffix)) refuse(`is not a ${suffix} file`);
    return `${folder}/${parts.map(encodeURIComponent).join("/")}`;
  }

  // Splits a CSV text (as Python's csv module writes it) into rows of fields.
  function parseCsv(text) {
    if (!text.includes('"')) { // no quoted field: lines and commas (a month of trend: fast)
      const lines = text.split(/\r?\n|\r/);
      if (lines[lines.length - 1] === "") lines.pop();
      return lines.map((line) => line.split(","));
    }
    const rows = [];
    let row = [], field = "", quoted = false;
    for (let i = 0; i < text.length; i++) {
      const c = text[i];
      if (quoted) {
        if (c === '"' && text[i + 1] === '"') { field += '"'; i++; }
        else if (c === '"') quoted = false;
        else field += c;
      } else if (c === '"') quoted = true;
      else if (c === ",") { row.push(field); field = ""; }
      else if (c === "\n" || c === "\r") {
        if (c === "\r" && text[i + 1] === "\n") i++;
        row.push(field); rows.push(row); row = []; field = "";
      } else field += c;
    }
    if (field !== "" || row.length) { row.push(field); rows.push(row); }
    return rows;
  }

  // Header text: the computer's name, so that two instruments' pages are
  // told apart at a glance.
  function showHost() {
    const host = document.querySelector("header .host");
    if (host) host.textContent = location.host;
  }
  document.addEventListener("DOMContentLoaded", showHost);

  // A step between the ticks of a time axis spanning `span` ms: a round
  // number of seconds, minutes, hours or days giving at most `ticks` ticks.
  const STEPS_S = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600,
                   43200, 86400, 172800, 604800, 1209600, 2592000, 7776000, 31536000];
  function timeStep(span, ticks) {
    const seconds = STEPS_S.find((step) => span / (step * 1000) <= ticks);
    return (seconds || STEPS_S[STEPS_S.length - 1]) * 1000;
  }

  return { pad2, timeStep, clockTime, isoDay, stampDate, dayDate, el, headerTime, HttpError,
           fetchText, fetchJson, fetchIndex, indexDays, isRecord, BadPath, address, parseCsv };
})();

// What every chart of these pages shares: drawn at once (no animation), as
// tall as its box, from points already given as {x, y}.
function lineChartOptions(options) {
  return { animation: false, maintainAspectRatio: false, parsing: false, ...options };
}
