"""Work on many cycles, spread over the processors: a cycle's results and
its figure, each done in a worker process that hands back everything it has
to say, and the progress of long runs."""

import multiprocessing
import os
from dataclasses import dataclass

from .files import discard, remove, write_text
from .problems import UNUSABLE, Notes, UnusableInput, message, say
from .results import COMPANIONS, Cycle, output_paths
from .store import file_sig
from .trendfiles import trend_values

# The cycle's kind and standard, written beside its files by the unit that
# ran it (quant/inputs.py reads it).
META_NAME = "Meta_%s.json"
# Below this many jobs starting worker processes costs more than it saves.
CYCLES_PER_WORKER = 64
# Runs of at least this many cycles say how far they are, every tenth.
PROGRESS_FROM = 200


def error_path(day_out, stamp):
    return os.path.join(day_out, stamp + ".error")


def cycle_sig(cycle):
    """The size, time and type of the cycle's four files and of its Meta
    file, the last (None where one is missing): a change of any of them
    makes new results."""
    folder = os.path.dirname(cycle.pid)
    return [file_sig(cycle.pid)] + [file_sig(os.path.join(folder, pattern % cycle.stamp))
                                    for _, pattern in COMPANIONS] + \
        [file_sig(os.path.join(folder, META_NAME % cycle.stamp))]


def cycle_amounts(day_out, stamp):
    """{name: (amount, unit, flags)} of the cycle's amounts file as it stands,
    None without one."""
    from .quant.amounts import read_amounts_csv

    try:
        with open(os.path.join(day_out, stamp + ".amounts.csv"), encoding="utf-8") as stream:
            return read_amounts_csv(stream.read())
    except (OSError, ValueError):
        return None


class Workers:
    """A pool of worker processes, started when a map first has enough jobs
    to be worth it, kept for the rest of the run."""

    def __init__(self, count=None, threshold=CYCLES_PER_WORKER):
        self.count = count or os.cpu_count() or 1
        self.threshold = threshold
        self.pool = None

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        if self.pool is not None:
            self.pool.terminate()
            self.pool.join()

    def map(self, function, jobs):
        if self.pool is None and (self.count == 1 or len(jobs) < self.threshold):
            return map(function, jobs)
        if self.pool is None:
            self.pool = multiprocessing.get_context("fork").Pool(self.count)
        return self.pool.imap(function, jobs, chunksize=8)


def parallel_map(function, jobs):
    """function over jobs, in order, in worker processes when there are many."""
    with Workers() as workers:
        yield from workers.map(function, list(jobs))


class Progress:
    """A line on standard error at every tenth of a long run."""

    def __init__(self, what, total):
        self.what, self.total, self.done, self.shown = what, total, 0, 0

    def step(self, count=1):
        self.done += count
        if self.total < PROGRESS_FROM:
            return
        tenth = min(10 * self.done // self.total, 10)
        if tenth > self.shown:
            self.shown = tenth
            say("%s: %d of %d cycles (%d%%)" % (self.what, self.done, self.total,
                                                100 * self.done // self.total))


@dataclass
class ResultsJob:
    cycle: Cycle
    day_out: str
    settings: object  # Settings
    raw_changed: bool  # the cycle's files changed: its old figure shows other data
    kept: dict = None  # the cycle's analysis as kept.py keeps it, still valid


@dataclass
class Outcome:
    stamp: str
    error: str = None
    retry: bool = False  # an output could not be written: try again next run
    notes: list = None
    values: list = None  # trend values per compound
    amounts: dict = None  # the cycle's amounts file as it stands (cycle_amounts)
    kept: dict = None  # the analysis made in this job, to be kept


def make_results(job):
    """Writes one cycle's results (or its .error file); runs in a worker."""
    from .cycle import flow_of, measure, write_results  # scipy: only when there is work
    from .kept import encode

    stamp, notes = job.cycle.stamp, Notes()
    paths = output_paths(job.day_out, stamp)
    outcome = Outcome(stamp)
    try:
        os.makedirs(job.day_out, exist_ok=True)
        if job.raw_changed:
            remove([paths["png"], paths["svg"]])
        measured = measure_again(job, notes) if job.kept is not None else None
        if measured is None:
            measured = measure(job.cycle, notes, job.settings)
            try:
                outcome.kept = encode(measured.analysis)
            except TypeError:
                pass  # not kept: made again next time
        write_results(measured, paths, flow_of(job.cycle, notes), job.settings)
        remove([error_path(job.day_out, stamp)])
        outcome.values = trend_values(measured.analysis.peaks, measured.names,
                                      job.settings.compounds)
        outcome.amounts = cycle_amounts(job.day_out, stamp)
    except UnusableInput as problem:
        outcome.error = str(problem)
    except OSError as problem:
        outcome.error = message(problem.filename or job.day_out, "cannot be written: %s"
                                % (problem.strerror or problem))
        outcome.retry = True
    except Exception as problem:  # a fault of this program must not stop the others
        outcome.error = message(job.cycle.pid, "cannot be reported: internal error: %s: %s"
                                % (type(problem).__name__, problem))
    if outcome.error:
        discard(paths.values())
        try:
            write_text(error_path(job.day_out, stamp), outcome.error + "\n")
        except OSError:
            pass  # the error is said and kept in the index all the same
    outcome.notes = notes.finish()
    return outcome


def measure_again(job, notes):
    """The cycle with its kept analysis: the trace is read again (the AIA
    file holds it) and the peaks named anew; None when the kept analysis
    cannot be rebuilt."""
    from .cycle import Measured
    from .kept import decode
    from .peaktable import name_peaks
    from .results import read_pid_file

    try:
        analysis = decode(job.kept)
    except Exception:  # kept by another version: made again
        return None
    trace = read_pid_file(job.cycle.pid, notes)
    if analysis.note:
        notes.add(job.cycle.pid, analysis.note)
    names = name_peaks([p.retention for p in analysis.peaks], job.settings.compounds)
    return Measured(job.cycle, trace, analysis, names)


@dataclass
class FigureJob:
    cycle: Cycle
    day_out: str
    settings: object
    sig: list  # of the files the results were made from


def make_figure(job):
    """(stamp, drawn, notes) of one cycle's figure; runs in a worker. A cycle
    whose files changed since its results were made is left for the next
    update, which reports it again."""
    from .cycle import draw, measure, read_companions

    notes = Notes()
    if cycle_sig(job.cycle) != job.sig:
        return job.cycle.stamp, False, []
    paths = output_paths(job.day_out, job.cycle.stamp)
    try:
        measured = measure(job.cycle, Notes(), job.settings)  # said with the results
        temperatures, flow = read_companions(job.cycle, notes, flow_notes=Notes())
        draw(measured, paths, temperatures, flow, job.settings, notes)
        return job.cycle.stamp, True, notes.finish()
    except UnusableInput as problem:
        notes.add(problem.path, problem.reason, problem.line, UNUSABLE)
    except OSError as problem:
        notes.add(problem.filename or job.day_out, "cannot be written: %s"
                  % (problem.strerror or problem))
    except Exception as problem:  # a fault of this program: the figure stays pending
        notes.add(job.cycle.pid, "no figure: internal error: %s: %s"
                  % (type(problem).__name__, problem))
    discard([paths["png"], paths["svg"]])
    return job.cycle.stamp, False, notes.finish()
