"""Quantitation in the pages, on a report folder quantitated by the report
tool itself (quantfolder.py): two calibration runs (the second
without xylene, which it leaves uncalibrated), a blank, samples and a check
standard that reads 40 % high."""
import csv
import json
import os
import shutil

import pytest
from selenium.webdriver.common.by import By

from conftest import (Site, index_entries, save_full_page, screenshot_folder, script_errors,
                      wait_for)
from quantfolder import CHECK, COMPOUNDS, FIRST_RUN, SECOND_RUN, quantitated


@pytest.fixture(scope="module")
def quant(tmp_path_factory):
    site = Site(str(tmp_path_factory.mktemp("quant")))
    quantitated(site)
    site.entries = index_entries(site.reports)
    yield site
    site.server.stop()


def calibration_file(site, name):
    with open(os.path.join(site.reports, "calibration", name)) as stream:
        return json.load(stream)


def rows_of(element):
    return [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
            for row in element.find_elements(By.CSS_SELECTOR, "tbody tr")]


def test_calibration_page(quant, browser, tmp_path):
    browser.get(quant.base + "calibration.html")
    history = wait_for(lambda: rows_of(browser.find_element(By.ID, "history")), 10,
                       what="the history")
    in_force = {row[0]: row for row in rows_of(browser.find_element(By.ID, "in-force"))}
    second = calibration_file(quant, SECOND_RUN + "/calibration.json")
    for name in COMPOUNDS:
        curve = next(entry for entry in second["compounds"] if entry["name"] == name)
        assert (in_force[name][1] == "calibrated") == curve["accepted"], name
        assert in_force[name][2] == ("2026-12-08 07:00:00" if curve["accepted"] else "–")
    # Each compound's history, newest first: the second run failed xylene only.
    assert [(row[0], row[1], row[2]) for row in history] == [
        (name, run, "failed" if (name, run) == ("xylene", "2026-12-08 07:00:00") else "accepted")
        for name in sorted(COMPOUNDS) for run in ("2026-12-08 07:00:00", "2026-12-07 08:00:00")]
    qc = calibration_file(quant, "qc.json")
    shown = rows_of(browser.find_element(By.ID, "check"))
    assert [(row[0], row[4], row[6]) for row in shown] == [
        (r["name"], "%.3g" % r["deviation_percent"] if r["deviation_percent"] else "–",
         {True: "passed", False: "FAILED", None: "not judged (uncalibrated)"}[r["passed"]])
        for r in qc["check"]]
    assert "FAILED" in [row[6] for row in shown]
    assert [row[-1] for row in rows_of(browser.find_element(By.ID, "blank"))] == \
        ["clean"] * len(COMPOUNDS)
    for run in (FIRST_RUN, SECOND_RUN):
        picture = browser.find_element(By.CSS_SELECTOR, "#run-%s img" % run)
        browser.execute_script("arguments[0].scrollIntoView()", picture)
        wait_for(lambda: browser.execute_script(
            "return arguments[0].complete && arguments[0].naturalWidth", picture), 10,
            what="the curves of " + run)
    assert "xylene: S1: no usable peak" in browser.find_element(By.ID, "run-" + SECOND_RUN).text
    browser.execute_script("window.scrollTo(0, 0)")
    save_full_page(browser, os.path.join(screenshot_folder(tmp_path), "calibration.png"))
    assert script_errors(browser) == []


def test_cycles_show_kind_and_amounts_with_flags(quant, browser, tmp_path):
    browser.get(quant.base + "cycles.html?day=2026-12-08")
    wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, "section.cycle"), 10, what="cycles")
    for section in browser.find_elements(By.CSS_SELECTOR, "section.cycle"):
        entry = quant.entries[section.get_attribute("id")]
        kind = section.find_element(By.CLASS_NAME, "kind").text
        assert kind == " ".join(filter(None, (entry["kind"], entry["standard"])))
        if not entry["amounts"]:
            assert entry["kind"] == "calibration" and not section.find_elements(
                By.CLASS_NAME, "amounts")
            continue
        browser.execute_script("arguments[0].scrollIntoView()", section)
        holder = section.find_element(By.CLASS_NAME, "amounts")
        shown = wait_for(lambda: rows_of(holder), 10, what="the amounts of " + entry["stamp"])
        with open(os.path.join(quant.reports, entry["amounts"])) as stream:
            expected = list(csv.reader(stream))[1:]
        assert [[cell.replace("\n", " ") for cell in row] for row in shown] == expected
        marks = [flag.text for flag in holder.find_elements(By.CLASS_NAME, "flag")]
        assert marks == " ".join(row[5] for row in expected).split()
    browser.get(quant.base + "cycles.html?day=2026-12-08#2026-12-08_10-00-00")
    section = browser.find_element(By.ID, "2026-12-08_10-00-00")
    wait_for(lambda: rows_of(section.find_element(By.CLASS_NAME, "amounts")), 10, what="amounts")
    browser.execute_script("window.scrollTo(0, 0)")
    save_full_page(browser, os.path.join(screenshot_folder(tmp_path), "cycles-amounts.png"), 1600)
    assert script_errors(browser) == []


def test_trend_shows_amounts(quant, browser, tmp_path):
    browser.get(quant.base + "trend.html?from=2026-12-07&to=2026-12-08&show=amount")
    wait_for(lambda: browser.execute_script(
        "const c = window.Chart && Chart.getChart(document.getElementById('trend-chart'));"
        "return c && c.options.scales.y.title.text === 'amount (ppb)'"), 10, what="the amounts")
    shown = browser.execute_script(
        "return Chart.getChart(document.getElementById('trend-chart')).data.datasets"
        ".map(d => [d.label, d.data.map(p => [p.y, p.flags])])")
    with open(os.path.join(quant.reports, "trend", "2026-12.csv")) as stream:
        rows = list(csv.DictReader(stream))
    assert shown == [[name, [[float(r["amount"]) if r["amount"] else None, r["flags"]]
                             for r in rows if r["name"] == name]] for name in COMPOUNDS]
    assert any("qc-fail" in flags for _, points in shown for _, flags in points)
    save_full_page(browser, os.path.join(screenshot_folder(tmp_path), "trend-amounts.png"))
    assert script_errors(browser) == []


# (case, file of reports/calibration changed, how (None: removed), warning shown)
NOW_WARNINGS = [
    ("as quantitated", "qc.json", lambda qc: qc, "The latest check standard failed"),
    ("the check passed", "qc.json",
     lambda qc: dict(qc, check=[dict(r, passed=True) for r in qc["check"]]), None),
    ("no accepted curve", "index.json",
     lambda index: dict(index, compounds={name: None for name in index["compounds"]}),
     "No accepted calibration"),
    ("no quantitation", "index.json", None, None),
]


@pytest.mark.parametrize("case, name, change, warning", NOW_WARNINGS)
def test_now_page_warns_of_failed_check_or_missing_calibration(quant, browser, case, name,
                                                               change, warning):
    path = os.path.join(quant.reports, "calibration", name)
    shutil.copyfile(path, path + ".kept")
    try:
        if change:
            changed = change(json.load(open(path)))
            with open(path, "w") as stream:
                json.dump(changed, stream)
        else:
            os.unlink(path)
        browser.get(quant.base)
        wait_for(lambda: browser.find_elements(By.CSS_SELECTOR, "#latest-cycle section.cycle"),
                 10, what="the newest cycle")
        wait_for(lambda: browser.execute_script("return document.getElementById('quant-alert')"
                                                ".hidden") == (warning is None), 5, what=case)
        assert browser.find_element(By.ID, "quant-title").text == (warning or "")
        if case == "as quantitated":
            assert browser.find_element(By.ID, "quant-detail").text.startswith(
                "The check of %s %s (standard S3) is outside its limits: benzene +40"
                % (CHECK[:10], CHECK[11:].replace("-", ":")))
        assert script_errors(browser) == []
    finally:
        os.replace(path + ".kept", path)


def test_calibration_page_refuses_paths_and_shows_text_as_text(quant, browser):
    path = os.path.join(quant.reports, "calibration", "index.json")
    shutil.copyfile(path, path + ".kept")
    try:
        index = json.load(open(path))
        index["calibrations"][1]["path"] = "../../secret/calibration.json"
        index["compounds"]["<img src=x onerror=alert(1)>"] = None
        with open(path, "w") as stream:
            json.dump(index, stream)
        browser.get(quant.base + "calibration.html")
        refused = wait_for(lambda: browser.find_elements(
            By.CSS_SELECTOR, "#run-%s .problem" % SECOND_RUN), 10, what="the refusal")[0]
        assert refused.text == ('This calibration cannot be read: "../../secret/calibration.json"'
                                " leads out of the reports folder.")
        assert browser.find_element(By.CSS_SELECTOR, "#run-%s img" % FIRST_RUN)
        shown = rows_of(browser.find_element(By.ID, "in-force"))
        assert ["<img src=x onerror=alert(1)>", "uncalibrated"] in [row[:2] for row in shown]
        assert not browser.find_elements(By.CSS_SELECTOR, "main img[src='x']")
    finally:
        os.replace(path + ".kept", path)
