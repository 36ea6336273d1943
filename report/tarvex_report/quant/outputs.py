"""The files quantitation writes into the report folder DIR:

- DIR/<day>/<stamp>.amounts.csv, for every sample, blank and check cycle;
- DIR/calibration/<id>/calibration.json, calibration.csv (a row per level)
  and calibration.png (calfigure.py), one folder per calibration run;
- DIR/calibration/index.json: every calibration, the one in force and the
  one deciding each compound;
- DIR/calibration/qc.json: the latest check standard's and blank's results.

A file is written only when its content changes, so its time stamp says
when it last did."""

import csv
import io
import json
import os
import shutil

from ..files import write_text
from .amounts import amounts_csv

FOLDER = "calibration"
LEVEL_HEADER = ["name", "unit", "model", "weighting", "accepted", "standard", "amount",
                "injections", "mean_area_mVs", "readback_percent"]


def write_if_changed(path, text):
    """True when the file was (re)written."""
    try:
        with open(path, encoding="utf-8") as stream:
            if stream.read() == text:
                return False
    except OSError:
        pass
    os.makedirs(os.path.dirname(path), exist_ok=True)
    write_text(path, text)
    return True


def to_json(value):
    return json.dumps(value, indent=1, allow_nan=False) + "\n"


def amounts_path(out_dir, stamp):
    return os.path.join(out_dir, stamp[:10], stamp + ".amounts.csv")


def write_amounts(out_dir, stamp, rows):
    return write_if_changed(amounts_path(out_dir, stamp), amounts_csv(rows))


def remove_amounts(out_dir, stamp):
    try:
        os.unlink(amounts_path(out_dir, stamp))
    except FileNotFoundError:
        pass


def calibration_folder(out_dir, calibration_id):
    return os.path.join(out_dir, FOLDER, calibration_id)


def levels_csv(calibration):
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(LEVEL_HEADER)
    for entry in calibration["compounds"]:
        for level in entry["levels"]:
            areas = level["area_mVs"]
            writer.writerow([entry["name"], entry["unit"], entry["model"], entry["weighting"],
                             "yes" if entry["accepted"] else "no", level["standard"],
                             "%g" % level["amount"], len(areas),
                             "%.3f" % (sum(areas) / len(areas)) if areas else "",
                             "" if level["readback_percent"] is None else
                             "%.2f" % level["readback_percent"]])
    return text.getvalue()


def write_calibration(out_dir, calibration, figure=True):
    """True when the calibration changed; its figure is drawn again then."""
    folder = calibration_folder(out_dir, calibration["id"])
    changed = write_if_changed(os.path.join(folder, "calibration.json"), to_json(calibration))
    write_if_changed(os.path.join(folder, "calibration.csv"), levels_csv(calibration))
    picture = os.path.join(folder, "calibration.png")
    if figure and (changed or not os.path.exists(picture)):
        from .calfigure import calibration_figure  # matplotlib: only when drawing

        calibration_figure(picture, calibration)
    return changed


def remove_calibration(out_dir, calibration_id):
    shutil.rmtree(calibration_folder(out_dir, calibration_id), ignore_errors=True)


def read_json(path):
    try:
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    except (OSError, ValueError):
        return None


def read_index(out_dir):
    index = read_json(os.path.join(out_dir, FOLDER, "index.json"))
    if not isinstance(index, dict) or not isinstance(index.get("calibrations"), list):
        return {}
    return {entry["id"]: entry for entry in index["calibrations"]
            if isinstance(entry, dict) and isinstance(entry.get("id"), str)}


def write_index(out_dir, entries, state):
    """entries: {id: {"id", "accepted", "path", "in_force_from"}}."""
    ordered = [entries[key] for key in sorted(entries)]
    in_force = [e["id"] for e in ordered if e.get("in_force_from")]
    index = {"calibrations": ordered, "in_force": in_force[-1] if in_force else None,
             "compounds": {name: curve["calibration"] if curve["accepted"] else None
                           for name, curve in sorted(state["curves"].items())}}
    write_if_changed(os.path.join(out_dir, FOLDER, "index.json"), to_json(index))
    qc = {"check": state["latest_check"], "blank": state["latest_blank"]}
    write_if_changed(os.path.join(out_dir, FOLDER, "qc.json"), to_json(qc))


def index_entry(calibration):
    return {"id": calibration["id"], "accepted": calibration["accepted"],
            "path": "%s/%s/calibration.json" % (FOLDER, calibration["id"]),
            "in_force_from": calibration["in_force_from"]}


def entry_fields(root, out_dir, stamp, notes):
    """What the quantitation adds to a cycle's entry in the day index:
    kind, standard, and the amounts file relative to DIR (None without)."""
    from .inputs import meta_path, read_meta

    meta = read_meta(meta_path(root, stamp), notes)
    amounts = amounts_path(out_dir, stamp)
    return {"kind": meta.kind, "standard": meta.standard,
            "amounts": os.path.relpath(amounts, out_dir) if os.path.exists(amounts) else None}
