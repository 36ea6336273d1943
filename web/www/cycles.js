"use strict";
// The Cycles page: the cycles of one day (cycles.html?day=YYYY-MM-DD; the
// newest day without it), newest first. reports/index.json, which
// tarvex-report update rewrites after every cycle, lists the days; only the
// shown day's own file (reports/index/<day>.json) is read, and each cycle's
// tables only once its section comes near the screen (cycle-view.js).

const { el, fetchJson, fetchIndex, indexDays, isRecord, clockTime, isoDay, address } =
  Tarvex;
const { problem } = CycleView;

function dayLink(day) {
  return `cycles.html?day=${encodeURIComponent(day)}`;
}

function showInCycles(...nodes) {
  document.getElementById("cycles").replaceChildren(...nodes);
}

async function showPage() {
  let index;
  try {
    index = await fetchIndex();
  } catch (error) {
    showInCycles(problem(`The list of cycles (reports/index.json) cannot be read: ${error.message}`));
    return;
  }
  if (index === null) {
    showInCycles(el("p", { className: "empty" },
      "No cycle has been reported yet: the list of cycles is written after the first cycle."));
    return;
  }
  const days = indexDays(index);
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
  showDay(days[position]);
}

function countText(count) {
  return count === null ? "" : ` (${count} cycle${count === 1 ? "" : "s"})`;
}

function showDays(days, position) {
  const day = days[position];
  document.getElementById("day-title").textContent =
    `Cycles of ${day.date}${day.cycles === null ? "" : ` (${day.cycles})`}`;
  const choice = el("select", { "aria-label": "day" }, days.map((entry, i) =>
    el("option", { value: entry.date, selected: i === position },
       entry.date + countText(entry.cycles))));
  choice.addEventListener("change", () => { location.href = dayLink(choice.value); });
  const newer = position > 0 ? el("a", { href: dayLink(days[position - 1].date), rel: "prev" },
                                  "\u2190 newer day") : null;
  const older = position + 1 < days.length
    ? el("a", { href: dayLink(days[position + 1].date), rel: "next" }, "older day \u2192") : null;
  document.getElementById("days").replaceChildren(...[newer, choice, older].filter(Boolean));
}

// The day's own list: {format, date, cycles: [entry...]}.
async function showDay(day) {
  let list;
  try {
    const url = address("reports", day.index, ".json");
    list = await fetchJson(url);
    if (list === null) {
      throw new Error(`${day.index} is missing; tarvex-report update writes it again`);
    }
    if (!isRecord(list) || !Array.isArray(list.cycles) || list.date !== day.date) {
      throw new Error(`${day.index} is not the list of the cycles of ${day.date}`);
    }
  } catch (error) {
    showInCycles(problem(`The cycles of ${day.date} cannot be read: ${error.message}.`));
    return;
  }
  if (!list.cycles.length) {
    showInCycles(el("p", { className: "empty" }, "No cycles on this day."));
    return;
  }
  const sections = list.cycles.map(CycleView.section);
  showInCycles(...sections);
  const target = location.hash ? document.getElementById(decodeURIComponent(location.hash.slice(1)))
                               : null;
  if (target) target.scrollIntoView();
  CycleView.fillWhenNear(sections);
}

showPage();
