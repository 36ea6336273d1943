"""The pages in headless Chromium against lighttpd with the shipped
configuration, on instruments in set states: days of cycles (one of them
damaged) reported by tarvex-report, an idle instrument and an empty one
(PanicLog and outages: test_hostile_data.py)."""
import csv
import os
import time

import pytest
from selenium.webdriver.common.by import By

from conftest import Site, index_entries, script_errors, wait_for
from instrument_files import write_cycle, write_dump, write_peak_table

COMPOUNDS = [("alpha", 12, 3), ("beta", 30, 3), ("gamma", 47, 3)]
CYCLES = {  # stamp: peaks (time, mV, width)
    "2026-10-01_08-00-00": [(12, 400, 2.0), (30, 900, 1.5), (47, 300, 1.5)],
    "2026-12-05_08-00-00": [(12, 420, 2.0), (30, 880, 1.5), (47, 310, 1.5)],
    "2026-12-08_10-00-00": [(12, 450, 2.0), (30, 860, 1.5), (47, 330, 1.5)],
    "2026-12-08_10-30-00": [(12, 480, 2.0), (30, 840, 1.5)],
}
DAMAGED = "2026-12-08_10-15-00"


def text_of(browser, element_id):
    try:
        return browser.find_element(By.ID, element_id).text
    except Exception:  # replaced while being read
        return ""


@pytest.fixture(scope="module")
def reported(tmp_path_factory):
    """Four good cycles over three days and a damaged one, reported."""
    site = Site(str(tmp_path_factory.mktemp("reported")))
    for stamp, peaks in CYCLES.items():
        write_cycle(site.data, stamp, peaks)
    damaged = write_cycle(site.data, DAMAGED, [(30, 800, 1.5)])
    with open(damaged, "wb") as pid:
        pid.write(b"\x00\x17 not a detector file \xff\n")
    site.peaks = write_peak_table(os.path.join(site.top, "peaks.txt"), COMPOUNDS)
    site.update_reports(site.peaks)
    site.entries = index_entries(site.reports)
    yield site
    site.server.stop()


def cycle_sections(browser):
    return [section.get_attribute("id")
            for section in browser.find_elements(By.CSS_SELECTOR, "section.cycle")]


def test_cycles_page_shows_a_day_newest_first_with_pictures_and_peak_tables(reported, browser):
    browser.get(reported.base + "cycles.html")
    wait_for(lambda: len(cycle_sections(browser)) == 3, 10, what="the cycles of 2026-12-08")
    assert cycle_sections(browser) == ["2026-12-08_10-30-00", DAMAGED, "2026-12-08_10-00-00"]
    assert text_of(browser, "day-title") == "Cycles of 2026-12-08 (3)"

    entries = reported.entries
    for stamp in ("2026-12-08_10-30-00", "2026-12-08_10-00-00"):
        section = browser.find_element(By.ID, stamp)
        browser.execute_script("arguments[0].scrollIntoView()", section)
        picture = section.find_element(By.TAG_NAME, "img")
        wait_for(lambda: browser.execute_script(
            "return arguments[0].complete && arguments[0].naturalWidth", picture), 10,
            what="the picture of " + stamp)
        report = entries[stamp]["report"]
        assert picture.get_attribute("src") == reported.base + "reports/" + report["png"]
        with open(os.path.join(reported.reports, report["peaks"])) as table:
            expected = list(csv.reader(table))[1:]
        wait_for(lambda: section.find_elements(By.CSS_SELECTOR, ".peaks tbody tr"), 10,
                 what="the peak table of " + stamp)
        shown = [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
                 for row in section.find_elements(By.CSS_SELECTOR, ".peaks tbody tr")]
        assert shown == expected
        assert [row[1] for row in shown] == [name for name, _, _ in COMPOUNDS][:len(CYCLES[stamp])]
        links = {link.text: link.get_attribute("href")
                 for link in section.find_elements(By.CSS_SELECTOR, "p.files a")}
        assert links["detector (PID)"] == reported.base + "data/" + entries[stamp]["raw"]["pid"]
        assert links["AIA file (.cdf)"] == reported.base + "reports/" + report["cdf"]
        assert "flow log" not in links

    damaged = browser.find_element(By.ID, DAMAGED)
    assert entries[DAMAGED]["report"] is None and entries[DAMAGED]["error"]
    assert damaged.find_element(By.CLASS_NAME, "problem").text == \
        "This cycle could not be reported: " + entries[DAMAGED]["error"]
    assert not damaged.find_elements(By.TAG_NAME, "img")
    assert [link.text for link in damaged.find_elements(By.CSS_SELECTOR, "p.files a")] == \
        ["detector (PID)", "T-controller 64", "T-controller 66"]
    assert script_errors(browser) == []


def test_cycles_page_moves_between_days(reported, browser):
    browser.get(reported.base + "cycles.html")
    wait_for(lambda: cycle_sections(browser), 10, what="the newest day")
    browser.find_element(By.LINK_TEXT, "older day \u2192").click()
    wait_for(lambda: cycle_sections(browser) == ["2026-12-05_08-00-00"], 10, what="2026-12-05")
    assert browser.current_url.endswith("cycles.html?day=2026-12-05")
    browser.find_element(By.LINK_TEXT, "older day \u2192").click()
    wait_for(lambda: cycle_sections(browser) == ["2026-10-01_08-00-00"], 10, what="2026-10-01")
    assert not browser.find_elements(By.LINK_TEXT, "older day \u2192")
    browser.get(reported.base + "cycles.html?day=2030-01-01")
    wait_for(lambda: "No cycles on 2030-01-01." in text_of(browser, "cycles"), 10,
             what="the message of a day without cycles")


def test_trend_page_draws_the_chosen_period(reported, browser):
    browser.get(reported.base + "trend.html")
    wait_for(lambda: text_of(browser, "trend-note"), 10, what="the trend")

    def shown():
        return browser.execute_script(
            "const chart = Chart.getChart(document.getElementById('trend-chart'));"
            "return chart.data.datasets.map(d => [d.label, d.data.map(p => p.y)]);")

    with open(os.path.join(reported.reports, "trend", "trend.csv")) as table:
        rows = sorted(csv.DictReader(table), key=lambda row: row["stamp"])

    def expected(first_day, quantity="area_mVs"):
        return [[name, [float(row[quantity]) if row[quantity] else None for row in rows
                        if row["name"] == name and row["stamp"][:10] >= first_day]]
                for name, _, _ in COMPOUNDS]

    # A week back from the newest cycle by default.
    assert text_of(browser, "trend-note").startswith("3 cycles from 2026-12-02 to 2026-12-08.")
    assert shown() == expected("2026-12-02")
    for button, first_day, cycles in (("last day", "2026-12-08", 2),
                                      ("last month", "2026-11-09", 3), ("all", "2026-10-01", 4)):
        browser.find_element(By.XPATH, "//div[@id='periods']/button[text()='%s']" % button).click()
        note = "%d cycles from %s to 2026-12-08." % (cycles, first_day)
        wait_for(lambda: text_of(browser, "trend-note").startswith(note), 5, what=note)
        assert shown() == expected(first_day)
    assert shown()[2][1][-1] is None  # gamma was not found in the last cycle
    browser.find_element(By.CSS_SELECTOR, "#quantity option[value='height_mV']").click()
    wait_for(lambda: "show=height_mV" in browser.current_url, 5, what="the height")
    assert shown() == expected("2026-10-01", "height_mV")
    assert script_errors(browser) == []


def test_pages_fit_a_phone(reported, browser):
    browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True})
    try:
        for page, ready in (("cycles.html", "section.cycle"), ("trend.html", "#periods button"),
                            ("", "#run-state"), ("calibration.html", "#calibration-message p")):
            browser.get(reported.base + page)
            wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, ready), 10, what=page)
            time.sleep(0.5)
            width, overflow = browser.execute_script(
                "return [window.innerWidth,"
                " document.documentElement.scrollWidth - window.innerWidth]")
            assert (width, overflow) == (390, 0), page
    finally:
        browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def test_idle_instrument(site, browser):
    ended = time.time() - 300
    write_dump(site.live, 61.3, 45.0, [(46, 109.175), (47, 244.36), (48, 773.294)], when=ended)
    browser.get(site.base)
    since = time.strftime("%H:%M:%S", time.localtime(ended))
    # Five minutes after midnight the page names yesterday.
    day = "" if time.strftime("%F", time.localtime(ended)) == time.strftime("%F") \
        else time.strftime(" on %F", time.localtime(ended))
    wait_for(lambda: text_of(browser, "run-state").startswith("Instrument idle since " + since),
             10, what="the idle state")
    assert (text_of(browser, "t64"), text_of(browser, "t66")) == ("61.3", "45.0")
    assert "stale" in browser.find_element(By.ID, "reading-64").get_attribute("class")
    assert text_of(browser, "trace-state") == \
        "3 readings; the last at 48 s: 773.29 mV; written at %s%s." % (since, day)
    # The next cycle starts: the page follows within two seconds.
    write_dump(site.live, 62.0, 45.0, [])
    started = time.monotonic()
    wait_for(lambda: text_of(browser, "run-state").startswith("Cycle running"), 3,
             what="the running state")
    wait_for(lambda: text_of(browser, "t64") == "62.0", 2.5 - (time.monotonic() - started),
             what="the new temperature")
    assert time.monotonic() - started <= 2.5
    wait_for(lambda: text_of(browser, "trace-state").startswith("runtime.dat is empty"), 2,
             what="the emptied trace")
    assert script_errors(browser) == []


def test_empty_instrument(site, browser):
    browser.get(site.base + "cycles.html")
    wait_for(lambda: "No cycle has been reported yet" in text_of(browser, "cycles"), 10,
             what="the page without a report index")
    browser.get(site.base + "trend.html")
    wait_for(lambda: "No cycle has been reported yet" in text_of(browser, "trend-message"), 10,
             what="the trend without a report index")

    site.update_reports()
    browser.get(site.base + "cycles.html")
    wait_for(lambda: text_of(browser, "cycles") ==
             "No cycles yet: the data root holds no cycle's files.", 10, what="no cycles")
    browser.get(site.base + "trend.html")
    wait_for(lambda: text_of(browser, "trend-message").startswith("No trend: the cycles are "
                                                                  "reported without a peak table"),
             10, what="no trend")
    assert not [box for box in ("controls", "trend-box", "trend-files")
                if browser.find_element(By.ID, box).is_displayed()]
    site.update_reports(write_peak_table(os.path.join(site.top, "peaks.txt"), COMPOUNDS))
    browser.refresh()
    wait_for(lambda: text_of(browser, "trend-message") == "No cycle in the trend yet.", 10,
             what="an empty trend")

    browser.get(site.base)
    wait_for(lambda: text_of(browser, "run-state").startswith("No cycle has run yet"), 10,
             what="the state of an empty dump folder")
    assert (text_of(browser, "t64"), text_of(browser, "t66")) == ("–", "–")
    assert text_of(browser, "trace-state") == "No detector trace in the dump yet."
    assert not browser.find_element(By.ID, "panic").is_displayed()
    assert script_errors(browser) == []


def test_page_load_times(reported, browser):
    """Load time of each page and the time until it shows its content, the
    median of five loads (printed for the README; the bound is generous)."""
    ready = {"": "return document.getElementById('run-state').className !== 'state'",
             "cycles.html": "const i = document.querySelector('section.cycle img');"
                            "return !!(i && i.complete && i.naturalWidth &&"
                            " document.querySelector('section.cycle .peaks tbody tr'))",
             "trend.html": "return document.getElementById('trend-note').textContent !== ''"}
    for page, condition in ready.items():
        loads, contents = [], []
        for _ in range(5):
            started = time.monotonic()
            browser.get(reported.base + page)
            wait_for(lambda: browser.execute_script(condition), 10, interval=0.01, what=page)
            contents.append(time.monotonic() - started)
            loads.append(browser.execute_script(
                "return performance.getEntriesByType('navigation')[0].loadEventEnd") / 1000)
        load, content = sorted(loads)[2], sorted(contents)[2]
        print("\n%-12s load %.0f ms, content shown %.0f ms (median of 5)"
              % (page or "index.html", load * 1000, content * 1000))
        assert content < 3.0, page
