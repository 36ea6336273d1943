"use strict";
// The Now page's newest reported cycle: "latest" of reports/index.json,
// read again every half minute (the server answers "not modified" until
// tarvex-report update rewrites it), shown as on the Cycles page; and a
// warning when quantitation's latest check standard failed or no compound
// has an accepted calibration (reports/calibration/, read as often).

const LATEST_POLL_MS = 30000;

class LatestCycle {
  constructor() {
    this.box = document.getElementById("latest-cycle");
    this.shown = undefined; // the entry shown, as JSON text
  }

  async poll() {
    await Promise.all([this.pollIndex(), this.pollQuantitation()]);
  }

  // The warning's title and detail, or null: none.
  static quantWarning(calibrations, qc) {
    const { isRecord, stampDate, clockTime, isoDay } = Tarvex;
    if (!isRecord(calibrations)) return null; // no quantitation here
    const curves = isRecord(calibrations.compounds) ? Object.values(calibrations.compounds) : [];
    if (!curves.some((id) => typeof id === "string")) {
      return ["No accepted calibration",
              "No compound has an accepted calibration curve, so no amount is computed. " +
              "Run a calibration (see its problems on the Calibration page)."];
    }
    const failed = (isRecord(qc) && Array.isArray(qc.check) ? qc.check : [])
      .filter((result) => isRecord(result) && result.passed === false);
    if (!failed.length) return null;
    const start = stampDate(String(failed[0].stamp));
    const at = start ? ` of ${isoDay(start)} ${clockTime(start)}` : "";
    const off = failed.map((result) => `${String(result.name)} ${
      typeof result.deviation_percent === "number"
        ? `${result.deviation_percent > 0 ? "+" : ""}${result.deviation_percent} %` : "not found"}`);
    return ["The latest check standard failed",
            `The check${at} (standard ${String(failed[0].standard)}) is outside its limits: ` +
            `${off.join(", ")}. Their amounts are flagged qc-fail until a check passes or ` +
            "they are calibrated again."];
  }

  async pollQuantitation() {
    let warning;
    try {
      const [calibrations, qc] = await Promise.all([
        Tarvex.fetchJson("reports/calibration/index.json"),
        Tarvex.fetchJson("reports/calibration/qc.json")]);
      warning = LatestCycle.quantWarning(calibrations, qc);
    } catch (error) {
      warning = ["Quantitation's results cannot be read",
                 `reports/calibration/: ${error.message}`];
    }
    const box = document.getElementById("quant-alert");
    box.hidden = !warning;
    if (warning) {
      document.getElementById("quant-title").textContent = warning[0];
      document.getElementById("quant-detail").textContent = warning[1];
    }
  }

  async pollIndex() {
    let index;
    try {
      index = await Tarvex.fetchIndex();
    } catch (error) {
      this.show(`error ${error.message}`, () => [CycleView.problem(
        `The list of cycles (reports/index.json) cannot be read: ${error.message}`)]);
      return null;
    }
    const latest = index ? index.latest : null;
    this.show(JSON.stringify(latest === undefined ? null : latest), () => this.parts(latest));
    return index;
  }

  show(key, parts) {
    if (key === this.shown) return;
    this.shown = key;
    this.box.replaceChildren(...parts());
  }

  parts(latest) {
    const { el, stampDate, isRecord } = Tarvex;
    if (!latest) {
      return [el("p", { className: "empty" }, "No cycle has been reported yet.")];
    }
    const section = CycleView.section(latest);
    CycleView.fill(section);
    const stamp = isRecord(latest) && typeof latest.stamp === "string" &&
      stampDate(latest.stamp) ? latest.stamp : null;
    const link = stamp ? el("p", { className: "files" }, el("a", {
      href: `cycles.html?day=${stamp.slice(0, 10)}#${stamp}` }, "This cycle on the Cycles page"))
      : null;
    return [section, link].filter(Boolean);
  }

  start() {
    const loop = async () => {
      await this.poll();
      setTimeout(loop, LATEST_POLL_MS);
    };
    loop();
  }
}

document.addEventListener("DOMContentLoaded", () => new LatestCycle().start());
