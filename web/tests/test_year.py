"""The Cycles and Trend pages on a year of 15-minute cycles, through
lighttpd with its compression: each shows its content within a second and
fetches at most 1 MB (the figures are printed for docs/web.md)."""
import os
import subprocess
import time
from datetime import date

import pytest
from selenium.webdriver.common.by import By

from conftest import REPORT, Site, script_errors, wait_for
from instrument_files import write_cycle
from year import write_year

LAST_DAY = date(2026, 12, 3)  # the default week reaches back into November
FETCHED = ("return performance.getEntriesByType('navigation')"
           ".concat(performance.getEntriesByType('resource'))"
           ".map(e => [e.name, e.transferSize])")
READY = {  # page: what shows that its content is there
    "cycles.html": "const i = document.querySelector('section.cycle img');"
                   "return !!(i && i.complete && i.naturalWidth &&"
                   " document.querySelector('section.cycle tbody tr'))",
    "trend.html": "const c = document.getElementById('trend-chart');"
                  "const chart = window.Chart && Chart.getChart(c);"
                  "return !!(chart && chart.data.datasets.length &&"
                  " chart.data.datasets[0].data.length)",
}


@pytest.fixture(scope="module")
def year(tmp_path_factory):
    """The year, its newest day's cycles with the files of a real report."""
    site = Site(str(tmp_path_factory.mktemp("year")))
    sample = os.path.join(site.top, "sample")
    stamp = "2026-12-03_10-00-00"
    write_cycle(sample, stamp, [(12, 450, 2), (30, 860, 1.5)])
    subprocess.run([REPORT, "update", sample, "--out", sample + "/out"], check=True,
                   capture_output=True)
    started = time.monotonic()
    site.cycles = write_year(site.reports, LAST_DAY, {
        key: os.path.join(sample, "out", stamp[:10], "%s.%s" % (stamp, ending))
        for key, ending in (("png", "png"), ("svg", "svg"), ("peaks", "peaks.csv"))})
    print("\na year of cycles (%d) written in %.1f s" % (site.cycles, time.monotonic() - started))
    yield site
    site.server.stop()


def load(browser, url, ready):
    """(ms until the content shows, bytes fetched, [(address, bytes)]) of a
    load with an empty cache."""
    browser.execute_cdp_cmd("Network.enable", {})
    browser.execute_cdp_cmd("Network.clearBrowserCache", {})
    browser.get(url)
    shown = wait_for(lambda: browser.execute_script(
        "return (() => { %s })() ? performance.now() : null" % ready), 10, interval=0.02,
        what=url)
    time.sleep(1.5)  # what the page goes on fetching (pictures near the screen) counts too
    fetched = browser.execute_script(FETCHED)
    return shown, sum(size for _, size in fetched), fetched


@pytest.mark.parametrize("page", sorted(READY))
def test_a_year_shows_within_a_second_and_a_megabyte(year, browser, page):
    assert year.cycles == 365 * 96
    runs = [load(browser, year.base + page, READY[page]) for _ in range(3)]
    shown, size, fetched = sorted(runs)[1]
    print("\n%-12s year of %d cycles: content shown after %.0f ms, %.0f kB fetched in %d "
          "requests (median of 3 loads, empty cache)"
          % (page, year.cycles, shown, size / 1000, len(fetched)))
    for name, bytes_ in sorted(fetched, key=lambda item: -item[1])[:4]:
        print("    %7.1f kB %s" % (bytes_ / 1000, name.replace(year.base, "")))
    assert shown < 1000 and size <= 1000000, (shown, size)
    # The tables of the cycles near the screen only, not of the day's 96.
    assert len([name for name, _ in fetched if name.endswith(".amounts.csv")]) <= \
        (8 if page == "cycles.html" else 0)
    assert script_errors(browser) == []


# (period button, months read by then, whether each tick label gives the time)
PERIODS = [("last week", 2, False), ("last day", 2, True), ("last month", 2, False),
           ("last year", 13, False)]


def test_trend_reads_the_months_of_the_period_once_and_labels_its_axis(year, browser):
    browser.get(year.base + "trend.html")
    wait_for(lambda: browser.execute_script(READY["trend.html"]), 10, what="the trend")
    assert not browser.find_element(By.ID, "trend-png").is_displayed()  # the index names none
    for button, months, timed in PERIODS:
        chosen = "//div[@id='periods']/button[text()='%s']" % button
        browser.find_element(By.XPATH, chosen).click()
        wait_for(lambda: "chosen" in browser.find_element(By.XPATH, chosen).get_attribute("class"),
                 10, what=button)
        read = browser.execute_script(
            "return performance.getEntriesByType('resource').map(e => e.name)"
            ".filter(n => n.includes('/trend/')).map(n => n.slice(-11, -4))")
        assert len(read) == len(set(read)) == months, (button, read)
        labels = browser.execute_script(
            "return Chart.getChart(document.getElementById('trend-chart')).scales.x.ticks"
            ".map(t => t.label)")
        assert all(isinstance(label, list) == timed for label in labels), (button, labels)
        shown = [" ".join(label) if timed else label for label in labels]
        assert len(set(shown)) == len(shown) > 2, (button, labels)
    assert script_errors(browser) == []
