"use strict";
// The Now page's newest reported cycle: "latest" of reports/index.json,
// read again every half minute (the server answers "not modified" until
// tarvex-report update rewrites it), shown as on the Cycles page.

const LATEST_POLL_MS = 30000;

class LatestCycle {
  constructor() {
    this.box = document.getElementById("latest-cycle");
    this.shown = undefined; // the entry shown, as JSON text
  }

  async poll() {
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
