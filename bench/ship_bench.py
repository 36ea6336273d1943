"""Benchmark of tarvex-ship and the Network page's queries.

Generates INSTRUMENTS instruments x DAYS days of 15-minute cycles (1,800
detector readings each, both temperature logs, the flow log, Meta file,
peaks and amounts), ships each instrument's cycles with `tarvex-ship ship`
into a PostgreSQL server of its own (server defaults: fsync on; one client
at a time), then times the Network page's queries on that database as the
reader role, with EXPLAIN ANALYZE. Prints the figures; the plans go to
--plans.

  /usr/bin/python3 bench/ship_bench.py [--instruments 100] [--days 7]
                                       [--plans FILE] [--work DIR]

Only each instrument's week of files is on disk at a time (about 45 MB); the
database of the full run takes about 3 GB below --work (default /tmp).
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path[:0] = [os.path.join(TOP, "ship", "tests"), os.path.join(TOP, "ship")]

from conftest import TOOL, Server  # noqa: E402
from instrument_files import (amounts_text, flow_text, meta, peaks_text, pid_text,  # noqa: E402
                              tlog_text)
import json  # noqa: E402

from tarvex_network import queries  # noqa: E402
from tarvex_ship.migrate import add_instrument  # noqa: E402

FIRST = datetime(2026, 11, 2, 0, 0)
PERIOD = timedelta(minutes=15)
VARIANTS = 16  # distinct detector traces, used in turn


def load():
    return open("/proc/loadavg").read().split()[:3]


def templates():
    pids = [pid_text(1800, seed) for seed in range(VARIANTS)]
    return {"pid": pids, "tlog": tlog_text(), "flow": flow_text(),
            "peaks": [peaks_text(1.0 + 0.01 * v) for v in range(VARIANTS)],
            "amounts": [amounts_text(1.0 + 0.01 * v, {"styrene": "lod"} if v == 3 else None)
                        for v in range(VARIANTS)]}


def write_instrument(folder, name, cycles, made):
    """One instrument's cycles, every 96th a check standard."""
    for index in range(cycles):
        stamp = (FIRST + index * PERIOD).strftime("%Y-%m-%d_%H-%M-%S")
        raw, report = os.path.join(folder, "data", stamp[:10]), os.path.join(folder, "reports",
                                                                            stamp[:10])
        os.makedirs(raw, exist_ok=True)
        os.makedirs(report, exist_ok=True)
        variant = index % VARIANTS
        files = {os.path.join(raw, "PID_%s.dat" % stamp): made["pid"][variant],
                 os.path.join(raw, "TC64_%s.TLog" % stamp): made["tlog"],
                 os.path.join(raw, "TC66_%s.TLog" % stamp): made["tlog"],
                 os.path.join(raw, "Flow_%s.TLog" % stamp): made["flow"],
                 os.path.join(raw, "Meta_%s.json" % stamp): json.dumps(
                     meta("check" if index % 96 == 5 else "sample", instrument=name)),
                 os.path.join(report, "%s.peaks.csv" % stamp): made["peaks"][variant],
                 os.path.join(report, "%s.amounts.csv" % stamp): made["amounts"][variant]}
        for path, text in files.items():
            with open(path, "w") as stream:
                stream.write(text)


def timed(connection, query, parameters, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        connection.execute(query, parameters).fetchall()
        times.append(time.perf_counter() - start)
    return statistics.median(times), max(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--instruments", type=int, default=100)
    parser.add_argument("--days", type=int, default=7)
    parser.add_argument("--plans", default=os.path.join(TOP, "build", "ship-bench-plans.txt"))
    parser.add_argument("--work", default=None, help="where the server's folder goes")
    args = parser.parse_args()
    cycles = args.days * 96
    print("load before (1, 5, 15 min):", " ".join(load()), flush=True)
    server = Server(durable=True, trust_everyone=True, top=args.work)
    try:
        with server.connect() as connection:
            for statement in ("CREATE ROLE tarvex_owner LOGIN",
                              "CREATE ROLE tarvex_instrument NOLOGIN",
                              "CREATE ROLE tarvex_reader NOLOGIN",
                              "CREATE ROLE tarvex_network LOGIN IN ROLE tarvex_reader",
                              "CREATE DATABASE tarvex OWNER tarvex_owner"):
                connection.execute(statement)
        subprocess.run([TOOL, "migrate", "--dsn", server.dsn("tarvex_owner", "tarvex")],
                       check=True, capture_output=True)
        names = ["site%03d" % n for n in range(args.instruments)]
        with server.connect("postgres", "tarvex") as connection:
            for name in names:
                add_instrument(connection, name, "tarvex_" + name)
        made = templates()
        shipping, loads = 0.0, []
        work = tempfile.mkdtemp(prefix="tarvex-ship-bench-", dir=args.work)
        for number, name in enumerate(names):
            folder = os.path.join(work, name)
            write_instrument(folder, name, cycles, made)
            start = time.perf_counter()
            done = subprocess.run(
                [TOOL, "ship", "--instrument", name, "--root", os.path.join(folder, "data"),
                 "--reports", os.path.join(folder, "reports"), "--state",
                 os.path.join(folder, "state"), "--dsn", server.dsn("tarvex_" + name, "tarvex")],
                capture_output=True, text=True)
            shipping += time.perf_counter() - start
            if done.returncode != 0:
                sys.exit("%s: %s" % (name, done.stderr))
            shutil.rmtree(folder)
            if number % 10 == 9:
                loads.append(float(load()[0]))
                print("%d instruments, %.0f cycles/s so far, load %s" % (
                    number + 1, (number + 1) * cycles / shipping, load()[0]), flush=True)
        shutil.rmtree(work)
        total = args.instruments * cycles
        with server.connect("postgres", "tarvex") as connection:
            connection.execute("VACUUM ANALYZE")
            database = connection.execute("SELECT pg_database_size('tarvex')").fetchone()[0]
            tables = connection.execute(
                "SELECT t, sum(pg_total_relation_size(relid)) FROM unnest(ARRAY['cycle', 'trace', "
                "'temperature', 'flow', 'peak', 'amount', 'amount_hour']) t, "
                "pg_partition_tree('tarvex_store.' "
                "|| t) GROUP BY t ORDER BY 2 DESC").fetchall()
        print("\nshipped %d cycles in %.1f s of tarvex-ship runs: %.0f cycles/s "
              "(load during: mean %.2f, max %.2f)" % (total, shipping, total / shipping,
                                                     statistics.mean(loads or [0]),
                                                     max(loads or [0])))
        print("largest tarvex-ship run: %.0f MB resident" % (
            resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024))
        print("database %.2f GB, %.1f kB per cycle" % (database / 1e9, database / total / 1e3))
        for table, size in tables:
            print("  %-12s %8.1f kB per cycle" % (table, float(size) / total / 1e3))
        month = {"name": "benzene", "kind": "sample", "start": FIRST.replace(day=1).astimezone(),
                 "end": (FIRST.replace(day=1) + timedelta(days=30)).astimezone(),
                 "bucket": timedelta(hours=2)}
        page = [("latest state of every instrument", queries.INSTRUMENTS, None),
                ("one compound, all instruments, one month (2-h means)", queries.AMOUNT_MEANS,
                 month),
                ("compounds of the last 92 days", queries.COMPOUNDS, None)]
        with server.connect("tarvex_network", "tarvex") as connection, \
                open(args.plans, "w") as plans:
            connection.execute("SET TimeZone = 'UTC'")
            for title, query, parameters in page:
                median, slowest = timed(connection, query, parameters)
                print("%-55s median %6.1f ms, slowest %6.1f ms" % (title, median * 1e3,
                                                                 slowest * 1e3))
                plan = connection.execute("EXPLAIN (ANALYZE, BUFFERS) " + query,
                                          parameters).fetchall()
                plans.write("== %s\n%s\n\n" % (title, "\n".join(row[0] for row in plan)))
        print("load after:", " ".join(load()), "; plans in", args.plans)
    finally:
        server.remove()


if __name__ == "__main__":
    main()
