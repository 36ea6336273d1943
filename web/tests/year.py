"""A report folder of a year of 15-minute cycles (35,040) in index format
2, written directly in the shapes tarvex-report update writes (the index
entry of tarvex_report.index, the trend rows of tarvex_report.trendfiles
with quantitation's columns), for measuring the pages on a full year. The
cycles of the newest day get the files of one real report each."""
import json
import os
import random
import shutil
from datetime import datetime, timedelta

CYCLE = timedelta(minutes=15)
COMPOUNDS = ["benzene", "toluene", "ethylbenzene", "m-xylene", "o-xylene"]
TREND_HEADER = "stamp,name,retention_s,height_mV,area_mVs,amount,unit,flags\n"
AMOUNTS = "name,retention_s,area_mVs,amount,unit,flags\n" + "".join(
    "%s,%d,%d,%g,ppb,%s\n" % (name, 300 + 150 * n, 1000 + 400 * n, 2 + 0.8 * n,
                               "lod" if n == 4 else "") for n, name in enumerate(COMPOUNDS))


def entry(stamp):
    day = stamp[:10]
    return {"stamp": stamp,
            "raw": {"pid": "%s/PID_%s.dat" % (day, stamp), "tc64": "%s/TC64_%s.TLog" % (day, stamp),
                    "tc66": "%s/TC66_%s.TLog" % (day, stamp), "flow": None},
            "report": {key: "%s/%s.%s" % (day, stamp, ending) for key, ending in
                       (("png", "png"), ("svg", "svg"), ("peaks", "peaks.csv"), ("cdf", "cdf"))},
            "figure": "current", "settings": "year", "error": None,
            "kind": "sample", "standard": None, "amounts": "%s/%s.amounts.csv" % (day, stamp)}


def trend_rows(stamp, draw):
    rows = []
    for number, name in enumerate(COMPOUNDS):
        if draw.random() < 0.03:
            rows.append("%s,%s,,,,,ppb,not-found\n" % (stamp, name))
            continue
        area = (1000 + 400 * number) * draw.uniform(0.8, 1.2)
        rows.append("%s,%s,%.2f,%.3f,%.3f,%.5g,ppb,\n" % (
            stamp, name, 300 + 150 * number + draw.uniform(-1, 1), area / 3.5, area, area / 500))
    return rows


def write_year(reports, last_day, sample):
    """A year of cycles ending with last_day (a date); sample: a real
    report's files {"png", "svg", "peaks"} copied for the cycles
    of the newest day. Returns the number of cycles."""
    draw = random.Random(7)
    first = datetime.combine(last_day - timedelta(days=364), datetime.min.time())
    end = first + timedelta(days=365)
    days, months = {}, {}
    when = first
    while when < end:
        stamp = when.strftime("%Y-%m-%d_%H-%M-%S")
        days.setdefault(stamp[:10], []).append(stamp)
        months.setdefault(stamp[:7], []).extend(trend_rows(stamp, draw))
        when += CYCLE
    os.makedirs(os.path.join(reports, "index"))
    os.makedirs(os.path.join(reports, "trend"))
    for day, stamps in days.items():
        with open(os.path.join(reports, "index", day + ".json"), "w") as stream:
            json.dump({"format": 2, "date": day,
                       "cycles": [entry(stamp) for stamp in reversed(stamps)]}, stream)
    for month, rows in months.items():
        with open(os.path.join(reports, "trend", month + ".csv"), "w") as stream:
            stream.write(TREND_HEADER + "".join(rows))
    newest = max(days)
    os.makedirs(os.path.join(reports, newest))
    for stamp in days[newest]:
        with open(os.path.join(reports, newest, stamp + ".amounts.csv"), "w") as stream:
            stream.write(AMOUNTS)
        for key, ending in (("png", "png"), ("svg", "svg"), ("peaks", "peaks.csv")):
            shutil.copyfile(sample[key], os.path.join(reports, newest, "%s.%s" % (stamp, ending)))
    summary = {
        "format": 2, "generated": datetime.now().astimezone().isoformat(timespec="seconds"),
        "settings": {"id": "year", "peaks": "peaks.txt", "snr": 10, "since": None},
        "cycles": sum(len(stamps) for stamps in days.values()),
        "days": [{"date": day, "cycles": len(days[day]), "index": "index/%s.json" % day}
                 for day in sorted(days, reverse=True)],
        "months": [{"month": month, "cycles": len(rows) // len(COMPOUNDS),
                    "trend": "trend/%s.csv" % month} for month, rows in sorted(months.items(),
                                                                               reverse=True)],
        "latest": entry(days[newest][-1]), "trend": {"png": None}}
    with open(os.path.join(reports, "index.json"), "w") as stream:
        json.dump(summary, stream)
    return summary["cycles"]
