"use strict";
// PanicLog on the Now page: the entries this browser has not been shown yet,
// read by now.js's GrowingFile every other poll.

const PANIC_ENTRIES_SHOWN = 5;
// Lines of PanicLog that the "seen" mark keeps, by which the page knows the
// file again (an entry takes two or three).
const PANIC_CHECK_LINES = 4;
const SEEN_KEY = "tarvex.panicLog.seen";

// The entries of PanicLog that this browser has not been shown yet: those
// after the "seen" mark, which is a position in the file (its size in bytes
// when "Mark as seen" was pressed, and its last lines then), kept in the
// browser. Never the entries' time stamps: several entries share a second,
// and the clock may be set back. A file that is shorter than the mark or
// holds other lines there was replaced (rotated): all its entries are new.
class PanicLogWatch {
  constructor() {
    this.box = document.getElementById("panic");
    this.file = new GrowingFile("state/PanicLog", PANIC_CHECK_LINES);
    this.mark = undefined;
    this.forget();
    document.getElementById("panic-seen").addEventListener("click", () => this.markSeen());
  }

  // No entry held: all read from here on are new.
  forget() {
    this.count = 0;
    this.panics = 0;
    this.newest = []; // the last PANIC_ENTRIES_SHOWN entries
  }

  // {size, check: the bytes as a string of char codes 0-255} or null.
  storedMark() {
    let text = this.seenHere;
    try {
      text = localStorage.getItem(SEEN_KEY);
    } catch (error) {
      // no storage (a private window): the mark of this page only
    }
    try {
      const mark = JSON.parse(text);
      if (Number.isSafeInteger(mark.size) && mark.size >= 0 && typeof mark.check === "string" &&
          mark.check.length <= mark.size && /^[\u0000-\u00ff]*$/.test(mark.check)) {
        return { size: mark.size, check: mark.check };
      }
    } catch (error) {
      // none yet, or not one of this page's marks
    }
    return null;
  }

  markSeen() {
    const check = String.fromCharCode(...this.file.lastLine);
    this.seenHere = JSON.stringify({ size: this.file.size, check });
    try {
      localStorage.setItem(SEEN_KEY, this.seenHere);
    } catch (error) {
      // no storage (a private window): remembered until the page is left
    }
    this.box.hidden = true;
  }

  async poll() {
    const mark = this.storedMark();
    if (this.mark === undefined || JSON.stringify(mark) !== JSON.stringify(this.mark)) {
      // The first look, or marked here or in another window: read on from the mark.
      this.mark = mark;
      this.file.startAt(mark ? mark.size : 0,
                        Uint8Array.from(mark ? mark.check : "", (c) => c.charCodeAt(0)));
      this.forget();
    }
    const read = await this.file.read();
    if (read.restarted) this.forget();
    this.add(read.lines);
    this.show();
  }

  add(lines) {
    for (const entry of panicEntries(lines)) {
      if (entry.continued) {
        if (this.newest.length) this.newest[this.newest.length - 1].lines.push(...entry.lines);
        continue;
      }
      this.count++;
      if (entry.panic) this.panics++;
      this.newest.push(entry);
      if (this.newest.length > PANIC_ENTRIES_SHOWN) this.newest.shift();
    }
  }

  show() {
    this.box.hidden = this.count === 0;
    if (!this.count) return;
    const kinds = this.panics ? `${this.panics} panic${this.panics > 1 ? "s" : ""}`
                              : "warnings only";
    document.getElementById("panic-title").textContent =
      `PanicLog: ${this.count} new entr${this.count > 1 ? "ies" : "y"} (${kinds})`;
    document.getElementById("panic-entries").textContent =
      this.newest.map((entry) => entry.lines.join("\n")).join("\n");
    this.box.classList.toggle("panic", this.panics > 0);
  }
}

// An entry starts with its time, "YYYY-MM-DD HH:MM:SS: "; the lines after
// it up to the next entry belong to it. Lines before the first entry start
// are the end of one already held: {continued: true}.
function panicEntries(lines) {
  const entries = [];
  for (const line of lines) {
    const start = /^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d): (.*)$/.exec(line);
    if (start) entries.push({ panic: start[2].includes("[PANIC]"), lines: [line] });
    else if (line.trim() === "") continue;
    else if (entries.length) entries[entries.length - 1].lines.push(line);
    else entries.push({ continued: true, lines: [line] });
  }
  return entries;
}
