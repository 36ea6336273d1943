#!/usr/bin/python3
"""Runs a command and sends it signals at set times after its first frame.

usage: sendSignals.py TRACE LOG NAME@SECONDS[,NAME@SECONDS...] [--reader] -- COMMAND...

The times count from the first frame the simulator logged in TRACE (its
monotonic stamp), so a slow start of the program does not move them. Each
signal sent is logged in LOG as "NAME MONOTONIC". Exits with the command's
status, 128 + the signal when a signal ended it.

With --reader the command's output goes through a pipe to a reader (cat) that
passes it on, as in "COMMAND | tee log"; each signal ends the reader first,
as a Ctrl-C on the pipeline would, so the command's next write finds the
pipe closed.
"""
import signal
import subprocess
import sys
import time


def first_frame_stamp(trace_path, process, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and process.poll() is None:
        try:
            with open(trace_path) as trace:
                for line in trace:
                    fields = line.split("\t")
                    if len(fields) > 2 and fields[2] == "rx":
                        return float(fields[0])
        except FileNotFoundError:
            pass
        time.sleep(0.005)
    return None


def main():
    trace_path, log_path, plan = sys.argv[1:4]
    separator = sys.argv.index("--")
    command = sys.argv[separator + 1:]
    reader = None
    if "--reader" in sys.argv[4:separator]:
        reader = subprocess.Popen(["cat"], stdin=subprocess.PIPE)
    sends = []
    for item in plan.split(","):
        name, seconds = item.split("@")
        sends.append((float(seconds), getattr(signal, "SIG" + name)))
    process = subprocess.Popen(command, stdout=reader.stdin if reader else None)
    if reader:
        reader.stdin.close()  # the command holds the only writing end
    start = first_frame_stamp(trace_path, process)
    with open(log_path, "w") as log:
        for offset, number in sorted(sends) if start is not None else []:
            time.sleep(max(0.0, start + offset - time.monotonic()))
            if process.poll() is not None:
                break
            if reader and reader.poll() is None:
                reader.send_signal(number)
                reader.wait()
            process.send_signal(number)
            log.write("%s %.6f\n" % (number.name, time.monotonic()))
            log.flush()
    status = process.wait()
    if reader:
        reader.wait()
    sys.exit(128 - status if status < 0 else status)


if __name__ == "__main__":
    main()
