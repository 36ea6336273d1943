"""Files as the controller leaves them: a cycle's result files, PanicLog
entries, the runtime dump. Written here in the controller's formats so that
the pages can be tried on days of cycles without running them."""
import math
import os
import time

TLOG_HEADER = "\nTime\tColumnT\t WarmT\n----------------------------------\n"


def write_cycle(root, stamp, peaks, seconds=60, baseline=100.0, trace=None):
    """PID_, TC64_ and TC66_ files of one cycle below root; peaks: (time s,
    height mV, width s) of Gaussian peaks on the baseline, or trace: the
    detector's (seconds, mV) readings."""
    folder = os.path.join(root, stamp[:10])
    os.makedirs(folder, exist_ok=True)
    if trace is None:
        trace = [(second, baseline + sum(height * math.exp(-0.5 * ((second - at) / width) ** 2)
                                         for at, height, width in peaks))
                 for second in range(1, seconds + 1)]
    with open(os.path.join(folder, "PID_%s.dat" % stamp), "w") as pid:
        for second, millivolts in trace:
            pid.write("%6i\t%8.5f\t%2d\t%8.5f\n" % (second, millivolts, 0, 0.0))
    for address in (64, 66):
        with open(os.path.join(folder, "TC%2d_%s.TLog" % (address, stamp)), "w") as log:
            # The second controller's counter line ends with one newline more.
            log.write("  faults: %3d    seq_faults: %3d     retries: %3d\n" % (0, 0, 0))
            log.write(("\n" if address == 66 else "") + TLOG_HEADER)
            for second in range(address - 64 + 1, seconds + 5, 2):
                column, warm = 25 + min(second, 35), 25 + min(second, 25)
                log.write("%5i\t%5.1f\t%5.1f\n" % (second, column, warm))
    return os.path.join(folder, "PID_%s.dat" % stamp)


def write_peak_table(path, compounds):
    with open(path, "w") as table:
        table.write("# name<TAB>retention_s<TAB>window_s\n")
        for name, retention, window in compounds:
            table.write("%s\t%g\t%g\n" % (name, retention, window))
    return path


def warning_entry(when, text, reply=""):
    """A warning entry of PanicLog, as the controller appends it."""
    return "%s: [Warning]:     %s\n    Offending message reply: %s\n" % (
        time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(when)), text, reply)


def panic_entry(when, text, reply=""):
    return ("%s: in [PANIC] state, re-set T-controllers.\n    %s\n"
            "    Offending message reply: %s\n") % (
        time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(when)), text, reply)


def write_dump(folder, column64, column66, rows, when=None):
    """PC.php, GC.php and runtime.dat, optionally dated back to `when`."""
    files = {"PC.php": "%5.1f" % column64, "GC.php": "%5.1f" % column66,
             "runtime.dat": "".join("%3i, %8.5f, %5.1f, %5.1f\n" % (t, mv, column64, column66)
                                    for t, mv in rows)}
    for name, text in files.items():
        path = os.path.join(folder, name)
        with open(path, "w") as stream:
            stream.write(text)
        if when is not None:
            os.utime(path, (when, when))
