"""What tarvex-report and the quantitation leave for a cycle in the report
folder, read into rows:

- <stamp>.peaks.csv: peak,name,retention_s,start_s,end_s,height_mV,area_mVs,
  width_s (and, from later versions, a last column comment);
- <stamp>.amounts.csv: name,retention_s,area_mVs,amount,unit,flags (flags:
  space-separated words);
- <stamp>.error: the one-line reason a cycle could not be reported;
- calibration/<id>/calibration.json and calibration/index.json.

Names and texts are shipped verbatim (as bound parameters, never as SQL)."""

import csv
import io
import json
import math
import re

from .localtime import stamp_time
from .rawfiles import clean_text, read_text, text_array

PEAK_COLUMNS = ["peak", "name", "retention_s", "start_s", "end_s", "height_mV", "area_mVs",
                "width_s"]
AMOUNT_COLUMNS = ["name", "retention_s", "area_mVs", "amount", "unit", "flags"]
PEAK_NUMBERS = {"retention_s": "retention_s", "start_s": "start_s", "end_s": "end_s",
                "height_mV": "height_mv", "area_mVs": "area_mvs", "width_s": "width_s"}
AMOUNT_NUMBERS = {"retention_s": "retention_s", "area_mVs": "area_mvs", "amount": "amount"}
STAMP = re.compile(r"\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}")


def number(text):
    """A finite number, None for an empty field; ValueError otherwise."""
    if text == "":
        return None
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def csv_rows(path, data, headers, notes):
    """(line number, row dict) of a CSV file whose header is one of headers;
    None (and the file named) when it has none of them."""
    reader = csv.reader(io.StringIO(read_text(data), newline=""))
    header = next(reader, None)
    if header not in headers:
        notes.unusable(path, "header is not %s; the file is not shipped"
                       % " or ".join(",".join(columns) for columns in headers))
        return None
    rows = []
    for fields in reader:
        if not fields:
            continue
        if len(fields) != len(header):
            notes.row(path, reader.line_num, "%d fields instead of %d, row skipped"
                      % (len(fields), len(header)))
            continue
        rows.append((reader.line_num, dict(zip(header, fields))))
    return rows


def peak_rows(path, data, notes):
    rows = csv_rows(path, data, (PEAK_COLUMNS, PEAK_COLUMNS + ["comment"]), notes)
    if rows is None:
        return None
    peaks, seen = [], set()
    for line, fields in rows:
        try:
            peak = int(fields["peak"])
            values = {column: number(fields[name]) for name, column in PEAK_NUMBERS.items()}
        except ValueError:
            notes.row(path, line, "not a number where one belongs, row skipped")
            continue
        if peak in seen or not -2**31 <= peak < 2**31:
            notes.row(path, line, "peak %d is not a new peak number, row skipped" % peak)
            continue
        seen.add(peak)
        values.update(peak=peak, name=fields["name"] or None, comment=fields.get("comment") or None)
        peaks.append(values)
    notes.finish_file(path)
    return peaks


def amount_rows(path, data, kind, notes):
    rows = csv_rows(path, data, (AMOUNT_COLUMNS,), notes)
    if rows is None:
        return None
    amounts, seen = [], set()
    for line, fields in rows:
        name = fields["name"]
        if not name or name in seen:
            notes.row(path, line, "compound %r is empty or named before, row skipped" % name[:40])
            continue
        try:
            values = {column: number(fields[key]) for key, column in AMOUNT_NUMBERS.items()}
        except ValueError:
            notes.row(path, line, "not a number where one belongs, row skipped")
            continue
        seen.add(name)
        values.update(name=name, kind=kind, unit=fields["unit"] or None,
                      flags=text_array(fields["flags"].split()))
        amounts.append(values)
    notes.finish_file(path)
    return amounts


def report_error(data):
    if data is None:
        return None
    text = read_text(data).strip()
    return text.split("\n")[0][:1000] if text else None


def cleaned(value):
    """JSON as PostgreSQL's jsonb takes it: no NUL in any text."""
    if isinstance(value, str):
        return clean_text(value)
    if isinstance(value, list):
        return [cleaned(item) for item in value]
    if isinstance(value, dict):
        return {clean_text(key): cleaned(item) for key, item in value.items()}
    return value


def calibration_row(path, folder_id, data, in_force, notes):
    """The row of one calibration.json; None (and the file named) when it
    cannot be used."""
    try:
        document = json.loads(read_text(data), parse_constant=lambda name: None)
    except ValueError as error:
        notes.unusable(path, "not JSON (%s); not shipped" % error)
        return None
    if not isinstance(document, dict) or document.get("id") != folder_id:
        notes.unusable(path, "not a calibration of id %s (its folder's name); not shipped"
                       % folder_id)
        return None
    forced = document.get("in_force_from")
    if forced is not None and not (isinstance(forced, str) and STAMP.fullmatch(forced)):
        notes.unusable(path, "in_force_from is not a stamp YYYY-MM-DD_HH-MM-SS; left out")
        forced = None
    accepted = document.get("accepted")
    return {"id": folder_id, "started": stamp_time(folder_id),
            "accepted": accepted if isinstance(accepted, bool) else None,
            "in_force_from": stamp_time(forced) if forced else None,
            "in_force": folder_id == in_force,
            "document": json.dumps(cleaned(document), sort_keys=True)}


def calibration_in_force(path, data, notes):
    """The id the calibration index names as in force, or None."""
    if data is None:
        return None
    try:
        index = json.loads(read_text(data))
    except ValueError as error:
        notes.unusable(path, "not JSON (%s); no calibration is marked in force" % error)
        return None
    in_force = index.get("in_force") if isinstance(index, dict) else None
    return in_force if isinstance(in_force, str) else None
