"""The pages in headless Chromium against lighttpd with the shipped
configuration, as whoever can write into the instrument's folders (and no
more) would turn them against the viewer: planted pages and scripts, a
tampered list of cycles, PanicLog entries that the time stamps would hide;
and the Now page when the dump stops making sense or the server goes away."""
import json
import os
import time

from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.common.by import By

from conftest import wait_for
from instrument_files import panic_entry, warning_entry, write_cycle, write_dump, write_peak_table

SEEN_KEY = "tarvex.panicLog.seen"
MARKER = "TARVEX-PLANTED-SCRIPT-RAN"
# Sets the "seen" mark far beyond any PanicLog, so that no entry would show.
SILENCE = ("localStorage.setItem('%s', JSON.stringify({size: 1e12, check: ''}));"
           "console.error('%s'); alert('%s');" % (SEEN_KEY, MARKER, MARKER))
PLANTED = {"evil.html": "<!doctype html><script src='evil.js'></script><script>%s</script>"
                        % SILENCE,
           "evil.svg": '<svg xmlns="http://www.w3.org/2000/svg" onload="%s"><script>%s</script>'
                       '</svg>' % (SILENCE.replace("'", "&apos;"), SILENCE),
           "evil.js": SILENCE}


def text_of(browser, element_id):
    try:
        return browser.find_element(By.ID, element_id).text
    except Exception:  # replaced while being read
        return ""


def no_alert(browser):
    try:
        browser.switch_to.alert
    except NoAlertPresentException:
        return True
    return False


def seen_mark(browser):
    return browser.execute_script("return localStorage.getItem('%s')" % SEEN_KEY)


def panic_box(browser):
    """The PanicLog box's title, or None while it is hidden."""
    box = browser.find_element(By.ID, "panic")
    return text_of(browser, "panic-title") if box.is_displayed() else None


def mark_seen(browser):
    browser.find_element(By.ID, "panic-seen").click()
    assert panic_box(browser) is None


def test_planted_files_never_run_script(site, browser):
    """In the data root, a day's folder, the dump and the reports: a page, an
    SVG and a script, opened directly, or loaded as a script by our own page
    (as an injection would): none runs, the mark stays, the alarm still
    shows."""
    panic_log = os.path.join(site.state, "PanicLog")
    with open(panic_log, "w") as log:
        log.write(panic_entry(time.time() - 60, "first"))
    browser.get(site.base)
    wait_for(lambda: panic_box(browser), 5, what="the first entry")
    mark_seen(browser)
    mark = seen_mark(browser)
    assert json.loads(mark)["size"] == os.path.getsize(panic_log)

    folders = {"data": site.data, "data/2026-12-08": os.path.join(site.data, "2026-12-08"),
               "live": site.live, "reports": site.reports, "state": site.state}
    for folder in folders.values():
        os.makedirs(folder, exist_ok=True)
        for name, content in PLANTED.items():
            with open(os.path.join(folder, name), "w") as stream:
                stream.write(content)
    browser.get_log("browser")  # what came before
    for url in ["%s/%s" % (folder, name) for folder in folders for name in PLANTED]:
        browser.get(site.base + url)
        time.sleep(0.2)
        assert no_alert(browser), url
    browser.get(site.base)
    for folder in folders:
        outcome = browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "const script = document.createElement('script');"
            "script.onload = () => done('ran'); script.onerror = () => done('refused');"
            "script.src = arguments[0]; document.head.append(script);", folder + "/evil.js")
        assert outcome == "refused", folder
    assert no_alert(browser)
    assert seen_mark(browser) == mark
    assert not [entry for entry in browser.get_log("browser") if MARKER in entry["message"]]

    with open(panic_log, "a") as log:
        log.write(panic_entry(time.time(), "after the planting"))
    wait_for(lambda: panic_box(browser) == "PanicLog: 1 new entry (1 panic)", 5,
             what="the entry after the planting")


# (entry field, value): each spoils its own cycle only.
TAMPERED = [
    ("png", "../secret.png"), ("png", "2026-12-08/../../secret.png"),
    ("png", "http://evil.example/picture.png"), ("png", "//evil.example/picture.png"),
    ("png", "/etc/picture.png"), ("png", "2026-12-08\\..\\..\\picture.png"),
    ("png", "%2e%2e/secret.png"), ("png", "2026-12-08/evil.html"), ("png", "2026-12-08/evil.svg"),
    ("png", ".hidden.png"), ("svg", "javascript:alert(1)//.svg"), ("peaks", "../../etc/passwd"),
    ("cdf", "data:text/html,<script>alert(1)</script>.cdf"), ("pid", "../state/PanicLog"),
    ("tc64", "file:///etc/passwd"), ("report", "2026-12-08/evil.html"), ("raw", ["a.dat"]),
    ("png", 42), ("stamp", "<img src=x onerror=alert(1)>"), ("entry", None),
    ("amounts", "../../secret.amounts.csv"), ("amounts", "2026-12-08/x.peaks.csv"),
    ("amounts", "javascript:alert(1)//.amounts.csv"), ("kind", "<b>sample</b>"),
    ("standard", {"id": "S1"}),
]
GOOD = ["2026-12-08_10-00-00", "2026-12-08_10-30-00"]


def test_tampered_index_spoils_only_its_rows(site, browser):
    for stamp in GOOD:
        write_cycle(site.data, stamp, [(30, 900, 1.5)])
    site.update_reports()
    day_path = os.path.join(site.reports, "index", "2026-12-08.json")
    day = json.load(open(day_path))
    good = {entry["stamp"]: entry for entry in day["cycles"]}
    tampered = []
    for number, (field, value) in enumerate(TAMPERED):
        entry = json.loads(json.dumps(good[GOOD[0]]))
        entry["stamp"] = "2026-12-08_11-%02d-00" % number
        if field == "entry":
            entry = value
        elif field in ("stamp", "report", "raw", "amounts", "kind", "standard"):
            entry[field] = value
        elif field in ("pid", "tc64"):
            entry["raw"][field] = value
        else:
            entry["report"][field] = value
        tampered.append(entry)
    day["cycles"] = tampered[:10] + [good[GOOD[1]]] + tampered[10:] + [good[GOOD[0]]]
    with open(day_path, "w") as stream:
        json.dump(day, stream)

    browser.get(site.base + "cycles.html")
    wait_for(lambda: len(browser.find_elements(By.CSS_SELECTOR, "section.cycle")) ==
             len(TAMPERED) + 2, 10, what="every row")
    sections = browser.find_elements(By.CSS_SELECTOR, "section.cycle")
    for section in sections:
        stamp = section.get_attribute("id")
        if stamp in GOOD:
            picture = section.find_element(By.TAG_NAME, "img")
            browser.execute_script("arguments[0].scrollIntoView()", picture)
            wait_for(lambda: browser.execute_script(
                "return arguments[0].complete && arguments[0].naturalWidth", picture), 10,
                what="the picture of " + stamp)
            wait_for(lambda: section.find_elements(By.CSS_SELECTOR, "tbody tr"), 10,
                     what="the peak table of " + stamp)
            assert not section.find_elements(By.CLASS_NAME, "problem")
        else:
            problem = section.find_element(By.CLASS_NAME, "problem").text
            assert problem.startswith("This cycle's entry in the list of cycles is refused: "), \
                (stamp, problem)
            assert not section.find_elements(By.CSS_SELECTOR, "img, a, table"), stamp
    refusals = [section.find_element(By.CLASS_NAME, "problem").text for section in sections
                if section.get_attribute("id") not in GOOD]
    assert '"../secret.png" leads out of the reports folder.' in refusals[0]
    assert '"http://evil.example/picture.png" holds a character' in refusals[2]
    assert '"2026-12-08/evil.html" is not a .png file.' in refusals[7]
    assert [section.get_attribute("id") for section in sections].count("") == 2
    addresses = browser.execute_script(
        "return [...document.querySelectorAll('#cycles [href], #cycles [src]')]"
        ".map(e => e.href || e.src)")
    assert all(address.startswith(site.base) for address in addresses), addresses
    assert no_alert(browser)


# (page, where in index.json, path, message shown): the summary's own paths
# go through the same check.
TAMPERED_SUMMARY = [
    ("cycles.html", "days", "../../secret.json", "#cycles",
     'The cycles of 2026-12-08 cannot be read: "../../secret.json" leads out of the reports '
     "folder."),
    ("cycles.html", "days", "index/2026-12-08.csv", "#cycles",
     'The cycles of 2026-12-08 cannot be read: "index/2026-12-08.csv" is not a .json file.'),
    ("trend.html", "months", "../../secret.csv", "#trend-message",
     'The trend of 2026-12 cannot be read: "../../secret.csv" leads out of the reports folder'),
    ("trend.html", "months", "http://evil.example/x.csv", "#trend-message",
     'The trend of 2026-12 cannot be read: "http://evil.example/x.csv" holds a character'),
]


def test_tampered_summary_paths_are_refused(site, browser):
    write_cycle(site.data, GOOD[0], [(30, 900, 1.5)])
    site.update_reports(write_peak_table(os.path.join(site.top, "peaks.txt"), [("b", 30, 3)]))
    path = os.path.join(site.reports, "index.json")
    index = json.load(open(path))
    for page, where, value, box, shown in TAMPERED_SUMMARY:
        changed = json.loads(json.dumps(index))
        changed[where][0]["index" if where == "days" else "trend"] = value
        with open(path, "w") as stream:
            json.dump(changed, stream)
        browser.get(site.base + page)
        wait_for(lambda: browser.find_element(By.CSS_SELECTOR, box).text.startswith(shown), 10,
                 what=shown)
        assert no_alert(browser)


def test_new_panic_log_entries_by_position_not_time(site, browser):
    """Entries of the same second as the one marked seen, entries after the
    clock was set back, and a PanicLog replaced by a shorter or a different
    one: all shown as new."""
    panic_log = os.path.join(site.state, "PanicLog")
    now = time.time()
    first = panic_entry(now, "T64 faults:   3  <img src=x onerror=alert(1)>")
    same_second = warning_entry(now, "No response from NXP, but re-opening serial port worked.")
    stepped_back = warning_entry(now - 3600, "the clock was set back an hour")
    steps = [  # (how PanicLog is written, what it holds, title shown then)
        ("w", first, "PanicLog: 1 new entry (1 panic)"),
        ("a", same_second, "PanicLog: 1 new entry (warnings only)"),
        ("a", stepped_back, "PanicLog: 1 new entry (warnings only)"),
        ("w", warning_entry(now - 7200, "rotated"), "PanicLog: 1 new entry (warnings only)"),
        ("w", stepped_back + same_second + first, "PanicLog: 3 new entries (1 panic)"),
    ]
    browser.get(site.base)
    for mode, text, title in steps:
        with open(panic_log, mode) as log:
            log.write(text)
        wait_for(lambda: panic_box(browser) == title, 5, what=title)
        assert text_of(browser, "panic-entries").endswith(text.rstrip("\n"))
        box = browser.find_element(By.ID, "panic").get_attribute("class").split()
        assert ("panic" in box) == ("panic" in title.split("(")[1])
        mark_seen(browser)
    browser.refresh()
    time.sleep(2.5)
    assert panic_box(browser) is None
    assert no_alert(browser)


def test_now_page_marks_stale_values_and_says_since_when(site, browser):
    write_dump(site.live, 61.3, 45.0, [(46, 109.175)])
    browser.get(site.base)
    wait_for(lambda: text_of(browser, "t64") == "61.3" and
             text_of(browser, "run-state").startswith("Cycle running"), 5, what="the cycle")

    def stale(reading):
        return "stale" in browser.find_element(By.ID, reading).get_attribute("class").split()

    assert not stale("reading-64")
    broke = time.time()
    with open(os.path.join(site.live, "PC.php"), "w") as stream:
        stream.write("#!garbage")
    note = wait_for(lambda: text_of(browser, "note-64"), 5, what="the stale note")
    since = {time.strftime("%H:%M:%S", time.localtime(broke + s)) for s in (-1, 0, 1, 2)}
    assert note in {"PC.php has held no temperature since %s: the value is the last one read."
                    % at for at in since}
    assert stale("reading-64") and not stale("reading-66")
    assert (text_of(browser, "t64"), text_of(browser, "run-state").split("\n")[0]) == \
        ("61.3", "Cycle running")

    stopped = time.time()
    site.server.stop()
    state = wait_for(lambda: text_of(browser, "run-state").split("\n")[0] if
                     text_of(browser, "run-state").startswith("No answer") else None, 5,
                     what="the outage")
    since = {time.strftime("%H:%M:%S", time.localtime(stopped + s)) for s in (-1, 0, 1, 2)}
    assert state in {"No answer from the instrument computer since " + at for at in since}
    time.sleep(2.2)
    assert text_of(browser, "run-state").split("\n")[0] == state  # when it began, not now
    assert stale("reading-64") and stale("reading-66")
    assert (text_of(browser, "t64"), text_of(browser, "t66")) == ("61.3", "45.0")
    assert no_alert(browser)
