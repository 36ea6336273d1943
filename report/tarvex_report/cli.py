"""Command line of tarvex-report.

Exit status: 0 the report was written (notes about rows or companion files
that could not be used go to standard error); 1 an output could not be
written; 2 an input file named on the command line is unusable (the message
names it; what could still be reported was), or the command line is wrong.
"""

import argparse
import os
import sys
from datetime import datetime

from . import DEFAULT_SNR, __version__
from .peaktable import read_peak_table
from .problems import PROGRAM, Notes, UnusableInput, say

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
    if not value > 0:
        raise argparse.ArgumentTypeError("%r is not a positive number" % text)
    return value


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
    update.add_argument("root", metavar="ROOT")
    update.add_argument("--out", metavar="DIR", required=True)
    update.add_argument("--peaks", metavar="TABLE")
    update.add_argument("--snr", metavar="N", type=positive, default=DEFAULT_SNR)
    update.set_defaults(run=run_update_command)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
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
    try:
        return read_peak_table(path, notes)
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
    if not path:
        return OK, ()
    compounds = load_table(path, notes)
    return (UNUSABLE, ()) if compounds is None else (OK, compounds)


def run_cycle_command(args):
    from .cycle import report_cycle

    notes = Notes()
    status, compounds = optional_table(args.peaks, notes)
    try:
        paths = report_cycle(args.pid_file, output_folder(args.out), notes, compounds, args.snr)
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
    kept, skipped = run_trend(root, compounds, out, args.first_day, args.last_day, args.snr)
    print("%s (%d cycles%s)" % (os.path.join(out, "trend.csv"), kept,
                                ", %d skipped" % skipped if skipped else ""))
    print(os.path.join(out, "trend.png"))
    return OK


def run_update_command(args):
    from .update import run_update

    notes = Notes()
    status, compounds = optional_table(args.peaks, notes)
    notes.print_all()
    try:
        root = root_folder(args.root)
    except UnusableInput as problem:
        say(str(problem))
        return UNUSABLE
    run_update(root, output_folder(args.out), compounds, args.peaks, args.snr)
    return status


if __name__ == "__main__":
    sys.exit(main())
