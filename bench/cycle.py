"""The cycle the bench asks of Tarvex: the devices on the wire, the method and
flow sensors it is given, the detector window and the injected flow fault."""

import os
import re

BENCH = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(BENCH)
METHOD = os.path.join(BENCH, "method.txt")
FLOW_SENSORS = os.path.join(BENCH, "flowsensors.txt")

TC1, TC2, PID = 64, 66, 51  # I2C addresses of the column controllers and the detector
LOOP_PAUSE_MS = 60  # the main loop's pause when a sample volume is set


def load_method():
    """The method's steps as (second, address, command)."""
    steps = []
    with open(METHOD) as f:
        for line in f:
            if not line.strip() or line[0] in "#! \n":
                continue
            t, address, command = line.split()[:3]
            steps.append((int(t), int(address), command))
    return steps


def read_flow_sensor_addresses():
    with open(FLOW_SENSORS) as f:
        text = f.read()
    fs1 = re.search(r"FS1:\s*(0x[0-9a-fA-F]+|[0-9a-fA-F]+)", text)
    fs2 = re.search(r"FS2:\s*(0x[0-9a-fA-F]+|[0-9a-fA-F]+)", text)
    return int(fs1.group(1), 16), int(fs2.group(1), 16)


def window_of(cycle):
    """Detector window of a cycle: starts early enough that the first pass
    of the loop powers the detector on, ends well before the cycle."""
    delay = max(3, min(20, cycle // 6))
    duration = cycle - delay - 15
    return delay, duration


def flow_fault_seconds(cycle):
    """Cycle seconds in which the simulator keeps FS1 silent."""
    start = max(5, cycle // 3)
    return start, start + 5
