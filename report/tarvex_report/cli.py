"""Command line of tarvex-report.

Exit status: 0 the report was written (notes about rows or companion files
that could not be used go to standard error); 1 an output could not be
written; 2 an input file named on the command line (root, peak table,
standards file) is unusable (the message names it; what could still be
reported was), or the command line is wrong.
"""

import argparse
import math
import os
import sys
import warnings
from datetime import datetime

from . import DEFAULT_SNR, __version__
from .peaktable import Compound, read_table
from .problems import PROGRAM, Notes, RunLog, UnusableInput, say, show_warning
from .settings import Settings

OK, CANNOT_WRITE, UNUSABLE = 0, 1, 2


def day(text):
    try:
        datetime.strptime(text, "%Y-%m-%d")
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a date YYYY-MM-DD" % text) from None
    return text


def positive(text):
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not value > 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError("%r is not a positive number" % text)
    return value


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not value >= 0:
        raise argparse.ArgumentTypeError("%r is not a number of seconds" % text)
    return value


def report_folder_options(command):
    """The options of the commands that keep a report folder."""
    command.add_argument("root", metavar="ROOT")
    command.add_argument("--out", metavar="DIR", required=True)
    command.add_argument("--peaks", metavar="TABLE")
    command.add_argument("--snr", metavar="N", type=positive, default=DEFAULT_SNR)
    command.add_argument("--standards", metavar="FILE",
                         help="standards file: calibrate the compounds and write their amounts")


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Peaks, figures, AIA/ANDI export and trends of Tarvex cycles.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    cycle = commands.add_parser("cycle", help="report one cycle")
    cycle.add_argument("pid_file", metavar="ROOT/YYYY-MM-DD/PID_<stamp>.dat")
    cycle.add_argument("--peaks", metavar="TABLE", help="peak table naming the compounds")
    cycle.add_argument("--out", metavar="DIR", default=".", help="output folder (default: .)")
    cycle.add_argument("--snr", metavar="N", type=positive, default=DEFAULT_SNR,
                       help="smallest signal-to-noise of a peak (default: %g)" % DEFAULT_SNR)
    cycle.set_defaults(run=run_cycle_command)

    trend = commands.add_parser("trend", help="areas of the compounds across cycles")
    trend.add_argument("root", metavar="ROOT")
    trend.add_argument("--peaks", metavar="TABLE", required=True)
    trend.add_argument("--from", dest="first_day", metavar="YYYY-MM-DD", type=day)
    trend.add_argument("--to", dest="last_day", metavar="YYYY-MM-DD", type=day)
    trend.add_argument("--out", metavar="DIR", default=".")
    trend.add_argument("--snr", metavar="N", type=positive, default=DEFAULT_SNR)
    trend.set_defaults(run=run_trend_command)

    update = commands.add_parser("update", help="report every new cycle below ROOT into DIR")
    report_folder_options(update)
    update.add_argument("--figure-time", metavar="SECONDS", type=seconds, default=0.0,
                        help="go on drawing older figures for this long (default: 0)")
    update.set_defaults(run=run_update_command, everything=False)

    figures = commands.add_parser("figures", help="update, then draw every figure still "
                                  "to draw, newest first")
    report_folder_options(figures)
    figures.add_argument("--time", dest="figure_time", metavar="SECONDS", type=seconds,
                         default=math.inf, help="stop drawing after this long (default: never)")
    figures.set_defaults(run=run_update_command, everything=True)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    warnings.showwarning = show_warning
    try:
        return args.run(args)
    except KeyboardInterrupt:
        return 130
    except ImportError as missing:
        say("%s: install Debian's python3-numpy, python3-scipy, python3-matplotlib "
            "(scripts/setup.sh does)" % missing)
        return CANNOT_WRITE
    except OSError as error:
        say("%s: %s" % (error.filename or "output", error.strerror or error))
        return CANNOT_WRITE
    except Exception as error:  # a fault of this program: one line, no traceback
        if os.environ.get("TARVEX_REPORT_TRACEBACK"):
            raise
        say("internal error: %s: %s (TARVEX_REPORT_TRACEBACK=1 shows where)"
            % (type(error).__name__, error))
        return CANNOT_WRITE


def load_table(path, notes):
    """The compounds, or None when the table is unusable (said already)."""
    table = load_peak_table(path, notes)
    return None if table is None else table.compounds


def load_peak_table(path, notes):
    """The peak table with its quantitation settings, or None when it is
    unusable (said already)."""
    try:
        return read_table(path, notes)
    except UnusableInput as problem:
        notes.print_all()
        say(str(problem))
        return None


def output_folder(path):
    os.makedirs(path, exist_ok=True)
    return path


def root_folder(path):
    if not os.path.isdir(path):
        raise UnusableInput(path, "not a folder")
    return path


def optional_table(path, notes):
    """(status, compounds) of an optional peak table: without one, or with an
    unusable one, the peaks go unnamed; the latter is an unusable input."""
    status, table = optional_peak_table(path, notes)
    return status, table.compounds if table else ()


def optional_peak_table(path, notes):
    """(status, peak table or None) of an optional peak table."""
    if not path:
        return OK, None
    table = load_peak_table(path, notes)
    return (UNUSABLE, None) if table is None else (OK, table)


def quant_step(args, table):
    """(status, quantstep.QuantStep or None): with a peak table the cycles are
    quantitated, calibrated when a standards file is given. An unusable
    standards file or peak table leaves the amounts as they are."""
    from .quantstep import QuantStep
    from .quant.standards import read_standards

    if table is None:
        if not args.standards:
            return OK, None
        if not args.peaks:
            say("--standards needs --peaks TABLE, the compounds to quantitate; no amounts made")
            return UNUSABLE, None
        say("the amounts are left as they are until the peak table is usable")
        return UNUSABLE, None
    if not args.standards:
        return OK, QuantStep(table, args.peaks)
    notes = Notes()
    try:
        standards = read_standards(args.standards, notes)
    except UnusableInput as problem:
        notes.print_all()
        say("%s; the amounts are left as they are until it is corrected" % problem)
        return UNUSABLE, None
    notes.print_all()
    return OK, QuantStep(table, args.peaks, standards, args.standards)


def settings_of(args, compounds):
    table = os.path.basename(args.peaks) if args.peaks else None
    return Settings(tuple(compounds), args.snr, table)


def run_cycle_command(args):
    from .cycle import report_cycle

    notes = Notes()
    status, compounds = optional_table(args.peaks, notes)
    try:
        paths = report_cycle(args.pid_file, output_folder(args.out), notes,
                             settings_of(args, compounds))
    except UnusableInput as problem:
        notes.print_all()
        say(str(problem))
        return UNUSABLE
    notes.print_all()
    for key in ("png", "svg", "peaks", "cdf"):
        print(paths[key])
    return status


def run_trend_command(args):
    from .trend import run_trend

    notes = Notes()
    compounds = load_table(args.peaks, notes)
    notes.print_all()
    if compounds is None:
        return UNUSABLE
    try:
        root = root_folder(args.root)
    except UnusableInput as problem:
        say(str(problem))
        return UNUSABLE
    out = output_folder(args.out)
    kept, skipped = run_trend(root, settings_of(args, compounds), out, args.first_day,
                              args.last_day)
    print("%s (%d cycles%s)" % (os.path.join(out, "trend.csv"), kept,
                                ", %d skipped" % skipped if skipped else ""))
    print(os.path.join(out, "trend.png"))
    return OK


def kept_settings(out, args):
    """The settings of the last run, when the peak table has become unusable:
    a table being edited must not make a year of cycles lose its names."""
    from .store import load_root

    state = load_root(out) or {}
    kept = state.get("settings") or {}
    compounds = [Compound(*fields) for fields in (kept.get("parts") or {}).get("compounds", [])]
    if compounds:
        say("the compounds of the last usable peak table (%d) stay in use" % len(compounds))
    return Settings(tuple(compounds), args.snr, kept.get("peaks"))


def run_update_command(args):
    """update, and figures: the results first, then the figures."""
    from .figurepass import draw_pending
    from .store import locked
    from .update import Update

    notes = Notes()
    try:
        root = root_folder(args.root)
    except UnusableInput as problem:
        say(str(problem))
        return UNUSABLE
    out = output_folder(args.out)
    status, table = optional_peak_table(args.peaks, notes)
    notes.print_all()
    settings = settings_of(args, table.compounds if table else ()) if status == OK \
        else kept_settings(out, args)
    quant_status, quant = quant_step(args, table)
    status = max(status, quant_status)
    said = RunLog()
    with locked(out):
        update = Update(root, out, settings, said, quant)
        status = max(status, update.run())
    left = draw_pending(root, out, settings, said, update.new_stamps, args.figure_time,
                        progress=args.everything)
    said.finish()
    if args.everything:
        print("%d figures still to draw" % left)
    elif left and update.everything:
        say("%d figures are still to draw, newest first: `tarvex-report figures` draws them"
            % left)
    return status


if __name__ == "__main__":
    sys.exit(main())
