"""The figures the table shows besides pauses and missed seconds: footprint,
start-up, the main loop's pass period, method steps, and the targets."""

import bisect
import math

from cycle import LOOP_PAUSE_MS

TARGET_CPU_PERCENT = 0.2
TARGET_RSS_MIB = 4.0
TARGET_STARTUP_OVERHEAD_MS = 20.0
TARGET_P99_IDLE_MS = 2.0
TARGET_P99_LOADED_MS = 5.0
TARGET_P99_REALTIME_MS = 1.0


def percentile(values, p):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = (len(ordered) - 1) * p / 100.0
    low = int(math.floor(k))
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (k - low)


def stats(values):
    if not values:
        return {"n": 0, "median": None, "p99": None, "worst": None}
    return {"n": len(values), "median": round(percentile(values, 50), 3),
            "p99": round(percentile(values, 99), 3), "worst": round(max(values), 3)}


def footprint(run):
    """CPU time and peak resident memory of Tarvex over its run."""
    wall = run.wall_s()
    cpu = run.rusage.ru_utime + run.rusage.ru_stime
    return {"cpu_s": round(cpu, 4), "user_s": round(run.rusage.ru_utime, 4),
            "sys_s": round(run.rusage.ru_stime, 4),
            "cpu_s_per_min": round(cpu / (wall / 60.0), 4),
            "cpu_percent": round(100.0 * cpu / wall, 4),
            "max_rss_mib": round(run.peak_kib / 1024.0, 3)}


def startup(cycle):
    """From the launch to the first frame of the main loop, against the
    pauses prescribed for it; None when the bring-up needed retries."""
    frames, run = cycle.frames, cycle.run
    first_loop = frames[cycle.startup_end + 1] if cycle.startup_end + 1 < len(frames) else None
    if first_loop is None or cycle.bridge_polls is None:
        return None
    gpio_write = any(f.is_reg_write(2, 63) for f in frames[:cycle.startup_end])
    parts = {
        "bridge status polls": 10 * cycle.bridge_polls,
        "bridge GPIO steps": 260 + (40 if gpio_write else 0),
        "pause after the bring-up": 40,
        "three flow test reads (180 each)": 3 * 180,
        "two status checks (475 each, 40 after each)": 2 * (475 + 40),
        "detector start": 140,
        "first loop pause": LOOP_PAUSE_MS,
    }
    prescribed = sum(parts.values())
    measured = (first_loop.mono - run.launch_mono) * 1000
    to_first_frame = (frames[0].mono - run.launch_mono) * 1000
    to_exec = (run.started_mono - run.launch_mono) * 1000
    return {"measured_ms": round(measured, 2), "prescribed_ms": prescribed,
            "overhead_ms": round(measured - prescribed, 2),
            "launch_to_first_frame_ms": round(to_first_frame, 2),
            "launch_to_exec_ms": round(to_exec, 2),
            "prescribed_parts_ms": parts}


def pass_periods(run, actions):
    """Periods between status line redraws, and their overshoot over the loop
    pause plus the prescribed pauses of the actions between the two redraws
    (the pump stop comes after the redraw of its pass, so it counts towards
    the next period)."""
    redraws = []
    crowded = set()
    for stamp, data in run.stdout_chunks:
        n = data.count(b"\r")
        if n > 1:
            # The reader was late: these redraws share one stamp.
            crowded.update(range(len(redraws), len(redraws) + n))
        redraws.extend([stamp] * n)
    # The pump stop follows the redraw of its own pass; the reader may stamp
    # that redraw a little late, so the stop is placed well after it.
    starts = [action.first.mono + (0.030 if action.kind == "volume_stop" else 0)
              for action in actions]
    periods, overshoots, empty = [], [], []
    for k in range(1, len(redraws)):
        if k in crowded:
            continue
        period = (redraws[k] - redraws[k - 1]) * 1000
        low = bisect.bisect_right(starts, redraws[k - 1])
        high = bisect.bisect_left(starts, redraws[k])
        prescribed = LOOP_PAUSE_MS + sum(actions[j].duration_ms() for j in range(low, high))
        periods.append(period)
        overshoots.append(period - prescribed)
        if low == high:
            empty.append(period)
    return {"redraws": len(redraws), "period_ms": stats(periods),
            "empty_pass_period_ms": stats(empty), "overshoot_ms": stats(overshoots)}


def steps(cycle):
    """Each method step sent: its cycle second and how late after its due second."""
    rows = []
    for p in cycle.passes:
        for action in p.actions:
            if action.kind != "step":
                continue
            due = cycle.due_second(action)
            if due is None:
                continue
            time = cycle.method[action.step_index][0]
            rows.append({"step": action.step_index, "time": time,
                         "sent_cycle_second": p.second - cycle.cycle_start,
                         "late_s": p.second - (due + 1), "acknowledged": action.ok})
    return rows


def pause_rows(pauses):
    """The pause rows of the report: name, prescribed values, overshoot stats."""
    rows = []
    for name, row in pauses.in_table_order():
        entry = {"name": name, "prescribed_ms": sorted(row["prescribed"]), "info": row["info"]}
        entry.update(stats(row["overshoot_ms"]))
        rows.append(entry)
    return rows


def p99_target(realtime, load):
    if realtime:
        return TARGET_P99_REALTIME_MS
    return TARGET_P99_LOADED_MS if load else TARGET_P99_IDLE_MS


def pause_ok(row, limit):
    return row["p99"] is not None and row["p99"] <= limit


def largest_p99(pauses):
    """The pause with the largest p99 overshoot among those with a target."""
    rows = [r for r in pauses if not r["info"] and r["p99"] is not None]
    if not rows:
        return None
    row = max(rows, key=lambda r: r["p99"])
    return {"name": row["name"], "p99": row["p99"]}


def targets(report, limit, run, abort_run):
    """Which targets the report meets."""
    return {
        "cpu": report["footprint"]["cpu_percent"] <= TARGET_CPU_PERCENT,
        "rss": report["footprint"]["max_rss_mib"] <= TARGET_RSS_MIB,
        "startup": bool(report["startup"])
        and report["startup"]["overhead_ms"] <= TARGET_STARTUP_OVERHEAD_MS,
        "pauses": all(r["info"] or pause_ok(r, limit) for r in report["pauses"]),
        "missed": all(row["unexplained"] == 0 for row in report["missed"].values()),
        "runs": run.status == 0 and (abort_run is None or abort_run.status == 20),
    }
