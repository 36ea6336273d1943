#!/usr/bin/python3
"""Timing fidelity and footprint benchmark of Tarvex against tarvex-sim.

Builds Tarvex and the simulator (Release, in build/bench), runs one cycle with
bench/method.txt, a sample volume (bench/flowsensors.txt) and the runtime dump
on, then a short cycle that aborts (for the shutdown pauses), and reads what
happened from the simulator's wire trace (monotonic stamps), from the status
line redraws on Tarvex's standard output and from the rusage of the process.
Prints one table; --json writes the same figures as JSON.

Every process it starts runs in a mount namespace of the bench's own whose
/run is a fresh memory-backed file system, so the dump goes to a private
/run/Tarvex_rt and the machine's own is never touched (root needed).

This file holds the command line and the order of things; beside it: cycle
(what the bench asks of a cycle), host (private /run, load, priorities),
runner (building, running a cycle), stamps (--write-stamps), wire and
actions (reading the trace), pauses, missed and figures (the figures),
output (table and JSON).

    bench/run.sh [--cycle SECONDS] [--json FILE|-] [--load [CORES]] [--realtime] [--keep]
"""

import argparse
import datetime
import os
import shutil
import sys
import tempfile

import figures
from actions import CycleOnWire
from cycle import TOP, flow_fault_seconds
from host import DUMP_DIR, TARVEX_PRIORITY, enter_private_run, file_system_of, start_load, \
    stop_process
from missed import missed_seconds
from output import write_report
from pauses import measure_pauses
from runner import build_programs, log, run_cycle

ABORT_CYCLE_S = 30
# Column readings of 64 stop: port re-open, bridge reset, abort.
ABORT_SCENARIO = "tc64.rct none seconds 6-\n"
# No fault of the controllers is injected into the cycle: their failures
# there mean replies that came too late (a loaded machine) or a fault.
CONTROLLER_FAILURES = ("Replyerror", "Communication failure", "retrying", "SERIAL read error")
WIRE_FAILURES = ("Serial write failed", "residual bytes")


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cycle", type=int, default=120, help="cycle length in seconds (120)")
    parser.add_argument("--json", metavar="FILE",
                        help="write the figures as JSON to FILE ('-': standard output, the "
                             "table then goes to standard error)")
    parser.add_argument("--load", type=int, nargs="?", const=1, default=0, metavar="CORES",
                        help="keep CORES cores busy with a busy loop each during the runs "
                             "(1 without a number: the other core of two; 2: both)")
    parser.add_argument("--realtime", action="store_true",
                        help="run Tarvex with SCHED_FIFO priority %d, as its systemd unit does"
                             % TARVEX_PRIORITY)
    parser.add_argument("--write-stamps", action="store_true",
                        help="stamp each frame when Tarvex wrote it (perf, system call "
                             "tracepoint), not when the simulator read it: leaves out the pty's "
                             "hand-over, which a loaded machine delays")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--volume", type=int, default=30, help="sample volume in ccm (30)")
    parser.add_argument("--no-dump", action="store_true",
                        help="run without the runtime dump (to see what the dump costs)")
    parser.add_argument("--no-abort-run", action="store_true",
                        help="skip the short aborting cycle that measures the shutdown pauses")
    parser.add_argument("--no-build", action="store_true", help="use the build as it is")
    parser.add_argument("--build-dir", default=os.path.join(TOP, "build", "bench"))
    options = parser.parse_args()
    if not 25 <= options.cycle <= 3599:
        parser.error("--cycle must lie between 25 and 3599 seconds")
    if not 0 <= options.load <= len(os.sched_getaffinity(0)):
        parser.error("--load: this machine has %d cores" % len(os.sched_getaffinity(0)))
    return options


def run_cycles(build_dir, work, options):
    """The measured cycle and, unless skipped, the short one that aborts;
    under the busy loops of --load."""
    load = []
    try:
        load = start_load(options.load)
        log("cycle of %d s (work folder %s) ..." % (options.cycle, work))
        run = run_cycle(build_dir, new_folder(work, "cycle"), options,
                        "fs1 none seconds %d-%d\n" % flow_fault_seconds(options.cycle),
                        options.cycle, options.cycle + 60)
        abort_run = None
        if not options.no_abort_run:
            log("short cycle that aborts, for the shutdown pauses ...")
            abort_run = run_cycle(build_dir, new_folder(work, "abort"), options, ABORT_SCENARIO,
                                  ABORT_CYCLE_S, ABORT_CYCLE_S + 60)
    finally:
        for loop in load:
            stop_process(loop)
    return run, abort_run


def new_folder(parent, name):
    path = os.path.join(parent, name)
    os.makedirs(path)
    return path


def abort_figures(report, anomalies, pauses, abort_run):
    """Adds what the aborting run shows: its status and start-up, and its
    pauses (the shutdown's above all) to the cycle's."""
    report["abort_run"] = {"status": abort_run.status, "wall_s": round(abort_run.wall_s(), 3),
                           "startup": None}
    if abort_run.status != 20:
        anomalies.append("abort run ended with status %d, not 20" % abort_run.status)
    try:
        aborted = CycleOnWire(abort_run, ABORT_CYCLE_S)
    except RuntimeError as error:
        # Its start-up failed (late replies on a loaded machine): nothing to add.
        anomalies.append("abort run: %s" % error)
        return
    pauses.merge(measure_pauses(aborted))
    report["abort_run"]["startup"] = figures.startup(aborted)
    anomalies += ["abort run: " + a for a in aborted.anomalies]
    if aborted.shutdown_start is None:
        anomalies.append("abort run: no shutdown sequence in the trace")


def console_anomalies(run, abort_run):
    """Failures Tarvex reported on its console, and bytes on the wire that
    were no frame or matched none."""
    anomalies = []
    if run.status != 0:
        anomalies.append("the cycle ended with status %d, not 0" % run.status)
    for message in CONTROLLER_FAILURES:
        n = run.stdout_text.count(message)
        if n:
            anomalies.append("cycle: %d x '%s' on standard output" % (n, message))
    for r, label in ((run, "cycle"), (abort_run, "abort run")):
        if r is None:
            continue
        if r.junk:
            anomalies.append("%s: %d stretches of bytes that were no frame" % (label, r.junk))
        if r.unmatched_writes:
            anomalies.append("%s: %d writes to the port matched no frame" % (
                label, r.unmatched_writes))
        for message in WIRE_FAILURES:
            n = r.stdout_text.count(message)
            if n:
                anomalies.append("%s: %d x '%s' on standard output" % (label, n, message))
    return anomalies


def make_report(options, build_dir, machine, run, abort_run, cycle, pauses):
    """Every figure, in the order of the JSON's keys."""
    report = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "cycle_s": options.cycle,
        "load": options.load,
        "realtime": options.realtime,
        "stamps": run.stamps,
        "runtime_dump": not options.no_dump,
        "build": "Release (%s)" % os.path.relpath(build_dir, TOP),
        "machine": machine,
        "run": {"status": run.status, "wall_s": round(run.wall_s(), 3)},
        "footprint": figures.footprint(run),
        "startup": figures.startup(cycle),
        "missed": missed_seconds(cycle, flow_fault_seconds(options.cycle)),
    }
    anomalies = list(cycle.anomalies)
    if abort_run is not None:
        abort_figures(report, anomalies, pauses, abort_run)
    report["anomalies"] = anomalies + console_anomalies(run, abort_run)
    report["pauses"] = figures.pause_rows(pauses)
    report["largest_p99"] = figures.largest_p99(report["pauses"])
    report["delivery_ms"] = figures.stats(run.delivery_ms) if run.delivery_ms else None
    report["pass_period"] = figures.pass_periods(run, cycle.actions)
    report["steps"] = figures.steps(cycle)
    report["targets"] = figures.targets(
        report, figures.p99_target(options.realtime, options.load), run, abort_run)
    return report


def main():
    options = parse_options()
    build_dir = os.path.abspath(options.build_dir)
    if not options.no_build:
        build_programs(build_dir)

    enter_private_run(options.write_stamps)
    dump_file_system = file_system_of(DUMP_DIR)
    work = tempfile.mkdtemp(prefix="tarvex-bench-")
    load_start = os.getloadavg()[0]
    run, abort_run = run_cycles(build_dir, work, options)
    machine = {"cores": os.cpu_count(), "load_start": load_start,
               "load_end": os.getloadavg()[0], "dump_file_system": dump_file_system}

    try:
        cycle = CycleOnWire(run, options.cycle)
    except RuntimeError as error:
        log("%s (exit status %d); console output:\n%s" % (error, run.status,
                                                         run.stdout_text[-2000:]))
        log("work folder kept: %s" % work)
        return 2
    report = make_report(options, build_dir, machine, run, abort_run, cycle,
                         measure_pauses(cycle))
    write_report(report, options.json)
    if options.keep:
        log("work folder kept: %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if all(report["targets"].values()) else 1


if __name__ == "__main__":
    sys.exit(main())
