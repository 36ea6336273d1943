"""The report as a table for people and as JSON."""

import json
import math
import sys

from figures import (TARGET_CPU_PERCENT, TARGET_RSS_MIB, TARGET_STARTUP_OVERHEAD_MS, p99_target,
                     pause_ok)
from host import DUMP_DIR, SIMULATOR_PRIORITY, TARVEX_PRIORITY


def fmt(value, digits=2):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return ("%." + str(digits) + "f") % value


def verdict(ok):
    return "PASS" if ok else "MISS"


def stats_line(label, stats, mark=None):
    """A row of n, median, p99 and worst, with its verdict or "info" if any."""
    line = "  %-52s %5d %8s %8s %8s" % (label, stats["n"], fmt(stats["median"]),
                                        fmt(stats["p99"]), fmt(stats["worst"]))
    return line if mark is None else line + "  " + mark


def render(report):
    sections = (header(report), footprint(report), startup(report), missed(report),
                pauses(report), pass_period(report), closing(report))
    return "\n".join("\n".join(lines) for lines in sections)


def header(report):
    m = report["machine"]
    lines = ["Tarvex benchmark, %s, cycle %d s, %s" % (
        report["date"], report["cycle_s"],
        "%d of %d cores kept busy (--load %d)" % (report["load"], m["cores"], report["load"])
        if report["load"] else "no added load")
        + ("" if report["runtime_dump"] else ", without the runtime dump (--no-dump)"),
        "machine: %d cores, load average %.2f at start, %.2f at end (a shared machine: other "
        "work runs too)" % (m["cores"], m["load_start"], m["load_end"]),
        "scheduling: Tarvex %s; tarvex-sim SCHED_FIFO %d" % (
            "SCHED_FIFO %d (--realtime)" % TARVEX_PRIORITY if report["realtime"] else "normal",
            SIMULATOR_PRIORITY),
        "frames stamped at %s" % report["stamps"]]
    if report["runtime_dump"]:
        lines.append("runtime dump folder %s on %s (a /run of the bench's own)" % (
            DUMP_DIR, m.get("dump_file_system", "unknown")))
    run = report["run"]
    lines.append("run: exit status %d, %.1f s from launch to exit; build %s" % (
        run["status"], run["wall_s"], report["build"]))
    if report.get("abort_run"):
        a = report["abort_run"]
        lines.append("abort run (shutdown pauses): exit status %d, %.1f s"
                     % (a["status"], a["wall_s"]))
    else:
        lines.append("abort run skipped (--no-abort-run): the shutdown pauses are not measured")
    return lines + [""]


def footprint(report):
    t, fp = report["targets"], report["footprint"]
    return [
        "%-46s %14s   %-12s %s" % ("Footprint", "value", "target", ""),
        "%-46s %12.3f s" % ("  CPU time (user + sys)", fp["cpu_s"]),
        "%-46s %10.3f s/min" % ("  CPU time per minute of cycle", fp["cpu_s_per_min"]),
        "%-46s %12.3f %%   <= %-9s %s" % ("  share of one core", fp["cpu_percent"],
                                          "%.1f %%" % TARGET_CPU_PERCENT, verdict(t["cpu"])),
        "%-46s %10.2f MiB   <= %-9s %s" % ("  peak resident memory", fp["max_rss_mib"],
                                           "%.0f MiB" % TARGET_RSS_MIB, verdict(t["rss"])),
        ""]


def startup(report):
    su = report["startup"]
    lines = ["Start-up (launch -> first frame of the main loop)"]
    if not su:
        return lines + ["  not measured (the bridge bring-up did not succeed at once)", ""]
    lines.append("%-46s %11.1f ms" % ("  measured", su["measured_ms"]))
    lines.append("%-46s %11.1f ms" % ("  prescribed pauses", su["prescribed_ms"]))
    for name, value in su["prescribed_parts_ms"].items():
        lines.append("%-46s %11d ms" % ("    " + name, value))
    lines.append("%-46s %11.1f ms" % ("  launch -> first frame (not a pause)",
                                      su["launch_to_first_frame_ms"]))
    lines.append("%-46s %11.1f ms" % ("    of which launch -> exec (fork and exec)",
                                      su["launch_to_exec_ms"]))
    lines.append("%-46s %11.1f ms   <= %-9s %s" % ("  overhead", su["overhead_ms"],
                                                   "%.0f ms" % TARGET_STARTUP_OVERHEAD_MS,
                                                   verdict(report["targets"]["startup"])))
    return lines + [""]


def missed(report):
    lines = ["Missed seconds   %-22s %8s %5s %9s %9s %12s  %s" % (
        "", "expected", "done", "schedule", "injected", "unexplained", "target")]
    for name, row in report["missed"].items():
        span = "cycle s %d..%d" % tuple(row["seconds"]) if row["seconds"] else ""
        lines.append("  %-20s %-16s %8d %5d %9d %9d %12d  %s" % (
            name, span, row["expected"], row["done"], row["schedule"], row["injected"],
            row["unexplained"], verdict(row["unexplained"] == 0)))
    for name, row in report["missed"].items():
        for miss in row["misses"]:
            lines.append("    %s, cycle second %d: %s: %s" % (
                name, miss["cycle_second"], miss["label"], miss["why"]))
    return lines + [""]


def pauses(report):
    limit = p99_target(report["realtime"], report["load"])
    lines = ["Pauses on the wire: overshoot over the prescribed value (ms; p99 target <= %.0f ms)"
             % limit,
             "  %-52s %5s %8s %8s %8s  %s" % ("pause (prescribed ms)", "n", "median", "p99",
                                              "worst", "target")]
    for row in report["pauses"]:
        lines.append(stats_line(row["name"], row,
                                "info" if row["info"] else verdict(pause_ok(row, limit))))
    largest = report["largest_p99"]
    if largest:
        lines.append("  largest p99 overshoot: %.2f ms (%s)" % (largest["p99"], largest["name"]))
    if report["delivery_ms"]:
        lines.append(stats_line("pty delivery: Tarvex's write -> simulator's read",
                                report["delivery_ms"], "info"))
    return lines + [""]


def pass_period(report):
    pp = report["pass_period"]
    lines = ["Main loop pass period (status line redraws, %d)" % pp["redraws"],
             "  %-52s %5s %8s %8s %8s" % ("", "n", "median", "p99", "worst")]
    for key, label in (("empty_pass_period_ms", "period of an empty pass (ms; loop pause 60)"),
                       ("period_ms", "period of every pass (ms)"),
                       ("overshoot_ms", "overshoot over 60 + the pass's pauses (ms)")):
        lines.append(stats_line(label, pp[key]))
    return lines + [""]


def closing(report):
    """Method steps, anomalies, and the overall verdict."""
    st = report["steps"]
    late = [s for s in st if s["late_s"] > 0]
    lines = ["Method steps (information): %d sent, %d acknowledged, %d sent after their first "
             "due second%s" % (
                 len(st), sum(1 for s in st if s["acknowledged"]), len(late),
                 (" (" + ", ".join("step %d at %d s: +%d s" % (s["step"], s["time"], s["late_s"])
                                   for s in late) + ")") if late else "")]
    if report["anomalies"]:
        lines += ["", "Anomalies:"] + ["  " + anomaly for anomaly in report["anomalies"]]
    t = report["targets"]
    lines += ["", "Overall: %s" % ("every target met" if all(t.values()) else
                                   "missed: " + ", ".join(k for k, v in t.items() if not v))]
    return lines


def write_report(report, json_path):
    """The table on standard output and the JSON to json_path, if any; with
    json_path "-", the JSON on standard output and the table on standard error."""
    table = render(report)
    if json_path == "-":
        print(table, file=sys.stderr)
        print(json.dumps(report, indent=2))
        return
    print(table)
    if json_path:
        with open(json_path, "w") as f:
            json.dump(report, f, indent=2)
            f.write("\n")
