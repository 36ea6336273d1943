"""The trend in a report folder, kept up to date cycle by cycle:
DIR/trend/<YYYY-MM>.csv per month (what the web view fetches),
DIR/trend/trend.csv with every month (for other programs) and
DIR/trend/trend.png, the areas of the last twelve months.

Rows: stamp,name,retention_s,height_mV,area_mVs,amount,unit,flags, one per
cycle per compound of the peak table, in time order, empty fields where the
compound was not found; the last three are the compound's row of the
cycle's amounts file (quantitation), empty without one. (The `trend`
command writes the first five columns only.) A month's file is rewritten
from the cycles' rows kept in the state (a month is a few hundred
kilobytes); trend.csv grows by appending the new cycles' rows when they
are the newest, and is put together again from the months otherwise."""

import csv
import io
import os
import shutil
import stat
from datetime import datetime

import numpy as np

from .files import replace_atomically, write_text
from .inputs import open_regular
from .index import TREND_FOLDER, month_trend_path

AREA_HEADER = ["stamp", "name", "retention_s", "height_mV", "area_mVs"]
AMOUNT_COLUMNS = ["amount", "unit", "flags"]
TREND_HEADER = AREA_HEADER + AMOUNT_COLUMNS
AREA_LINE = ",".join(AREA_HEADER) + "\n"  # the `trend` command's
HEADER_LINE = ",".join(TREND_HEADER) + "\n"
FIGURE_MONTHS = 12


def trend_values(peaks, names, compounds):
    """(retention, height, area) of the peak each compound names, or None."""
    found = {name: peak for name, peak in zip(names, peaks) if name}
    return [(found[c.name].retention, found[c.name].height, found[c.name].area)
            if c.name in found else None for c in compounds]


def trend_rows(stamp, compounds, values, amounts=None):
    """The cycle's rows, as CSV text; with amounts ({name: (amount, unit,
    flags)}, empty for none) the last three columns too."""
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    for compound, value in zip(compounds, values):
        row = [stamp, compound.name] + (
            ["%.2f" % value[0], "%.3f" % value[1], "%.3f" % value[2]] if value else ["", "", ""])
        if amounts is not None:
            row += list(amounts.get(compound.name, ("", "", "")))
        writer.writerow(row)
    return text.getvalue()


def with_amounts(rows, amounts):
    """A cycle's rows (as trend_rows made them, with or without the amount
    columns) with the amount columns from amounts ({name: (amount, unit,
    flags)}; None or empty: empty columns)."""
    if not rows:
        return rows
    amounts = amounts or {}
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    for row in csv.reader(io.StringIO(rows)):
        writer.writerow(row[:len(AREA_HEADER)] + list(amounts.get(row[1], ("", "", ""))))
    return text.getvalue()


def trend_path(out_dir, name):
    return os.path.join(out_dir, TREND_FOLDER, name)


def write_month(out_dir, month, rows):
    """DIR/trend/<month>.csv from the rows of its cycles in time order."""
    os.makedirs(trend_path(out_dir, ""), exist_ok=True)
    write_text(os.path.join(out_dir, month_trend_path(month)), HEADER_LINE + "".join(rows))


def remove_month(out_dir, month):
    try:
        os.unlink(os.path.join(out_dir, month_trend_path(month)))
    except FileNotFoundError:
        pass


def rebuild_all(out_dir, months):
    """trend.csv put together from the month files; returns its size."""
    def copy(stream):
        stream.write(HEADER_LINE.encode())
        for month in sorted(months):
            with open_regular(os.path.join(out_dir, month_trend_path(month))) as part:
                part.readline()
                shutil.copyfileobj(part, stream)
    path = trend_path(out_dir, "trend.csv")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    replace_atomically(path, copy)
    return os.path.getsize(path)


def append_all(out_dir, rows, expected_size):
    """Appends rows to trend.csv in one write; returns the new size, or None
    when the file is not the one last written (then it is put together
    again)."""
    path = trend_path(out_dir, "trend.csv")
    data = "".join(rows).encode()
    try:
        handle = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:  # missing, or a FIFO without a reader: put together again
        return None
    try:
        info = os.fstat(handle)
        if not stat.S_ISREG(info.st_mode) or info.st_size != expected_size:
            return None
        written = os.write(handle, data)
        if written != len(data):
            os.ftruncate(handle, expected_size)
            return None
    except OSError as error:
        raise OSError(error.errno, error.strerror, path) from None
    finally:
        os.close(handle)
    return expected_size + len(data)


def draw_figure(out_dir, compounds):
    """trend.png: the areas of the last twelve months of month files."""
    from .figures import trend_figure

    folder = trend_path(out_dir, "")
    months = sorted(name[:-4] for name in os.listdir(folder)
                    if len(name) == 11 and name.endswith(".csv") and name[4] == "-")
    columns = {c.name: k for k, c in enumerate(compounds)}
    starts, areas = [], []
    for month in months[-FIGURE_MONTHS:]:
        with open_regular(os.path.join(out_dir, month_trend_path(month))) as part:
            for row in csv.DictReader(io.TextIOWrapper(part, encoding="utf-8")):
                if not starts or row["stamp"] != starts[-1][0]:
                    starts.append((row["stamp"], datetime.strptime(row["stamp"],
                                                                   "%Y-%m-%d_%H-%M-%S")))
                    areas.append([np.nan] * len(compounds))
                column = columns.get(row["name"])
                if column is not None and row["area_mVs"]:
                    areas[-1][column] = float(row["area_mVs"])
    table = np.array(areas, dtype=float).reshape(len(starts), len(compounds)).T
    trend_figure(trend_path(out_dir, "trend.png"), [start for _, start in starts], compounds,
                 list(table))
