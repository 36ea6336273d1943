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

    bench/run.sh [--cycle SECONDS] [--json FILE|-] [--load [CORES]] [--realtime] [--keep]
"""

import argparse
import bisect
import ctypes
import datetime
import errno
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from typing import List, Optional

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(TOP, "bench")

TC1, TC2, PID = 64, 66, 51
LOOP_PAUSE_MS = 60  # the main loop's pause when a sample volume is set
DUMP_DIR = "/run/Tarvex_rt"

TARGET_CPU_PERCENT = 0.2
TARGET_RSS_MIB = 4.0
TARGET_STARTUP_OVERHEAD_MS = 20.0
TARGET_P99_IDLE_MS = 2.0
TARGET_P99_LOADED_MS = 5.0
TARGET_P99_REALTIME_MS = 1.0

# Real-time priorities: Tarvex as its systemd unit runs it (--realtime); the
# simulator above it in every run, as it stands in for hardware that no load
# on the host slows down, and its stamps are what is measured.
TARVEX_PRIORITY = 10
SIMULATOR_PRIORITY = 20

# Where an action sits in a pass: the scheduler runs them in this order, each
# at most once, so an order that does not increase starts a new pass.
ORDER = {"step": 0, "power_on": 1, "power_off": 1, "pid_read": 2, "poll": 3, "flows": 4,
         "volume_stop": 5, "unknown": 6}


def log(message):
    print(message, file=sys.stderr, flush=True)


# --------------------------------------------------------------- the trace

@dataclass
class Frame:
    mono: float
    real: float
    direction: str
    kind: str
    address: Optional[int]
    value: str
    text: str
    reply: Optional["Frame"] = None
    size: int = 0  # bytes on the line

    def is_write(self, address=None, text=None):
        return (self.kind == "i2c-write" and (address is None or self.address == address)
                and (text is None or self.text == text))

    def is_read(self, address=None, count=None):
        return (self.kind == "i2c-read" and (address is None or self.address == address)
                and (count is None or self.value == str(count)))

    def is_reg_write(self, register, value=None):
        return (self.kind == "reg-write" and self.address == register
                and (value is None or self.value == str(value)))

    def reply_bytes(self):
        if self.reply is None or not self.reply.kind.endswith("reply"):
            return 0
        return int(self.reply.value)


def unescape(text):
    out = []
    i = 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            if text[i + 1] == "x" and i + 4 <= len(text):
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append(text[i + 1])
            i += 2
            continue
        out.append(text[i])
        i += 1
    return "".join(out)


def parse_trace(path):
    """Frames that Tarvex wrote (rx), each with the reply the simulator gave."""
    events = []
    with open(path, encoding="latin-1") as trace:
        for line in trace:
            if line.startswith("#"):
                continue
            fields = line.rstrip("\n").split("\t")
            if len(fields) < 7:
                continue
            address = None if fields[4] == "-" else int(fields[4])
            text = unescape(fields[7]) if len(fields) > 7 else ""
            events.append(Frame(float(fields[0]), float(fields[1]), fields[2], fields[3], address,
                                fields[5], text, size=len(fields[6].split())))
    frames = []
    junk = 0
    for i, event in enumerate(events):
        if event.direction == "bad":
            junk += 1
        if event.direction != "rx":
            continue
        if event.kind in ("i2c-read", "reg-read"):
            for later in events[i + 1:]:
                if later.direction == "rx":
                    break
                if later.direction == "tx" and later.address == event.address:
                    event.reply = later
                    break
        frames.append(event)
    return frames, junk


# ------------------------------------------------------- actions and passes

@dataclass
class Action:
    kind: str
    frames: List[Frame]
    ok: bool = True
    reset: bool = False  # a poll followed by a bridge reset
    failed_at: int = 0   # flows: 1 when FS1 failed, 2 when FS2 failed
    step_index: int = -1

    @property
    def first(self):
        return self.frames[0]

    @property
    def last(self):
        return self.frames[-1]

    def duration_ms(self):
        """Prescribed pauses from the first frame to the end of the action."""
        if self.kind == "step":
            return 85  # 35 before the acknowledge request, 50 in the read
        if self.kind == "power_on":
            return 350
        if self.kind == "power_off":
            return 70
        if self.kind == "pid_read":
            return 120
        if self.kind == "poll":
            return 220 + (60 if self.reset else 0)
        if self.kind == "flows":
            return {0: 180, 1: 50, 2: 140}[self.failed_at]
        if self.kind == "volume_stop":
            return 220
        return 0

    def trailing_ms(self):
        """Prescribed pauses after the last frame of the action."""
        if self.kind in ("step",):
            return 50
        if self.kind in ("power_on", "power_off"):
            return 70
        if self.kind == "pid_read":
            return 120
        if self.kind == "poll":
            return 35 if self.reset else 50
        if self.kind == "flows":
            return 90 if self.failed_at == 0 else 50
        if self.kind == "volume_stop":
            return 110
        return 0

    def marker_offset_ms(self):
        """Prescribed time from the first frame to the clock reading that
        sets the action's once-a-second marker."""
        return {"poll": 0, "pid_read": 50, "flows": 180}.get(self.kind)


@dataclass
class Pass:
    actions: List[Action] = field(default_factory=list)

    @property
    def start(self):
        return self.actions[0].first

    @property
    def second(self):
        # The tick reads the clock just before its first frame.
        return int(math.floor(self.start.real))

    def offset_ms(self, action):
        """Prescribed time from the start of the pass to the start of action."""
        total = 0
        for other in self.actions:
            if other is action:
                return total
            total += other.duration_ms()
        raise ValueError("action not in pass")

    def duration_ms(self):
        return sum(action.duration_ms() for action in self.actions)


def temperature_ok(frame):
    if frame.reply_bytes() <= 2:
        return False
    try:
        float(frame.reply.text[1:].split("\0")[0])
        return True
    except ValueError:
        return False


def match_action(frames, i, fs1, fs2):
    """The action that starts at frames[i]; None at the start of the shutdown."""
    f = frames[i]

    def at(k):
        return frames[i + k] if i + k < len(frames) else None

    if f.is_write(PID, "1"):
        taken = [f]
        for k in range(1, 5):
            nxt = at(k)
            if nxt is None or not nxt.is_write(PID) or nxt.text in ("1", "0", "I"):
                break
            taken.append(nxt)
        return Action("power_on", taken, ok=len(taken) == 5)
    if f.is_write(PID, "0"):
        return Action("power_off", [f])
    if f.is_read(PID):
        return Action("pid_read", [f], ok=f.reply_bytes() >= 16)
    if f.is_write(text="RCT") and f.address in (TC1, TC2):
        taken = [f]
        pattern = [lambda x: x.is_read(f.address, 15), lambda x: x.is_write(f.address, "RWT"),
                   lambda x: x.is_read(f.address, 15)]
        for k, wanted in enumerate(pattern, start=1):
            nxt = at(k)
            if nxt is None or not wanted(nxt):
                break
            taken.append(nxt)
        action = Action("poll", taken)
        action.ok = len(taken) == 4 and temperature_ok(taken[1]) and temperature_ok(taken[3])
        a, b = at(len(taken)), at(len(taken) + 1)
        if a is not None and b is not None and a.is_reg_write(9, 9) and b.is_reg_write(9, 63):
            action.frames += [a, b]
            action.reset = True
        return action
    if fs1 is not None and f.is_read(fs1, 3):
        # What Tarvex received shows in what it does next (a reply the
        # simulator sent late is in the trace but was not read): it reads FS2
        # only after FS1 answered, and retries at once when FS2 did not.
        nxt = at(1)
        if nxt is None or not nxt.is_read(fs2, 3):
            return Action("flows", [f], ok=False, failed_at=1)
        after = at(2)
        retried = after is not None and after.is_read(fs1, 3) and after.mono - nxt.mono < 0.150
        failed = 2 if nxt.reply_bytes() < 3 or retried else 0
        return Action("flows", [f, nxt], ok=failed == 0, failed_at=failed)
    if f.is_write(TC1, "STC000"):
        nxt = at(1)
        if nxt is not None and nxt.is_write(TC2, "STC000"):
            return None
        if nxt is not None and nxt.is_write(TC1, "P__0"):
            return Action("volume_stop", [f, nxt])
    if f.kind == "i2c-write":
        nxt = at(1)
        if nxt is not None and nxt.is_read(f.address, 16):
            # The acknowledge text: from the second byte to the first zero byte.
            text = nxt.reply.text[1:].split("\0")[0] if nxt.reply is not None else None
            return Action("step", [f, nxt], ok=text == f.text + "K")
    return Action("unknown", [f], ok=False)


def group_passes(actions):
    """Cuts the actions of the main loop into passes: by their fixed order
    within a pass, and by the loop pause between passes."""
    passes = []
    current = None
    for action in actions:
        new_pass = current is None
        if current is not None:
            previous = current.actions[-1]
            gap_ms = (action.first.mono - previous.last.mono) * 1000 - previous.trailing_ms()
            if ORDER[action.kind] <= ORDER[previous.kind] or gap_ms > 0.75 * LOOP_PAUSE_MS:
                new_pass = True
        if new_pass:
            current = Pass()
            passes.append(current)
        current.actions.append(action)
    return passes


# ------------------------------------------------------------------ pauses

class Pauses:
    """Measured gaps between frames against their prescribed length."""

    def __init__(self):
        self.rows = {}  # name -> {"prescribed": set, "overshoot_ms": [...], "info": bool}

    def add(self, name, earlier_mono, later_mono, prescribed_ms, info=False):
        row = self.rows.setdefault(name, {"prescribed": set(), "overshoot_ms": [], "info": info})
        row["prescribed"].add(prescribed_ms)
        row["overshoot_ms"].append((later_mono - earlier_mono) * 1000 - prescribed_ms)

    def gap(self, name, earlier, later, prescribed_ms, info=False):
        self.add(name, earlier.mono, later.mono, prescribed_ms, info)


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


# Names of the pauses in the table, in table order.
P_TEMP_QUERY = "temperature query -> read request (35)"
P_STEP_ACK = "method step -> acknowledge request (35)"
P_COLUMN_WARM = "column read request -> RWT (50 + 50)"
P_READ_NEXT = "read request -> next frame of the pass (50)"
P_FS1_FS2 = "FS1 read request -> FS2 read request (50 + 40)"
P_PID_READ = "detector read request -> next frame (50 + 70)"
P_POWER_ON = "detector power-on command -> next (70)"
P_POWER_OFF = "detector power-off -> next frame (70)"
P_FS2_STOP = "FS2 read request -> pump stop (50 + 40)"
P_PUMP_STOP = "pump stop STC000 -> P__0 (sendCommand 70 + 40)"
P_LOOP = "loop pause: last wait -> next pass (+ 60)"
P_RESET_HOLD = "bridge reset: register 9 held at 9 (25)"
P_RESET_SETTLE = "after bridge reset -> next frame (35)"
P_BRIDGE_POLLS = "bring-up: I2C status polls (10 each)"
P_BRIDGE_STEP = "bring-up: register step (40)"
P_BRIDGE_PULSE = "bring-up: GPIO pulse (100)"
P_BRIDGE_END = "bring-up end -> next frame (40 + 40)"
P_FLOW_TEST = "start-up flow test read (50 + 40)"
P_HS_WAIT = "status query -> first read (300)"
P_HS_BETWEEN = "between the status reads (50 + 75)"
P_HS_AFTER = "after a status check (50 + 40)"
P_PID_START = "detector start I -> first pass (70 + 70 + 60)"
P_SHUT_HOLD = "abort -> shutdown (1000 + last wait + result files)"
P_SHUT_COMMAND = "shutdown command -> next (sendCommand 70 + 40)"
P_SHUT_PID_OFF = "shutdown detector power-off -> register 9 (70)"
P_SHUT_SETTLE = "shutdown register 9 -> register 4 (40 + 500)"
P_SHUT_STEP = "shutdown register step (40)"
P_SHUT_GPIO_OFF = "shutdown GPIO outputs off (100)"
P_SHUT_EXIT = "last register write -> process exit (40)"

PAUSE_ORDER = [P_TEMP_QUERY, P_STEP_ACK, P_COLUMN_WARM, P_READ_NEXT, P_FS1_FS2, P_PID_READ,
               P_POWER_ON, P_POWER_OFF, P_FS2_STOP, P_PUMP_STOP, P_LOOP, P_RESET_HOLD,
               P_RESET_SETTLE, P_BRIDGE_POLLS, P_BRIDGE_STEP, P_BRIDGE_PULSE, P_BRIDGE_END,
               P_FLOW_TEST, P_HS_WAIT, P_HS_BETWEEN, P_HS_AFTER, P_PID_START, P_SHUT_HOLD,
               P_SHUT_COMMAND, P_SHUT_PID_OFF, P_SHUT_SETTLE, P_SHUT_STEP, P_SHUT_GPIO_OFF,
               P_SHUT_EXIT]


def action_gaps(action, pauses):
    """Pauses between the frames of one action."""
    f = action.frames
    if action.kind == "step":
        pauses.gap(P_STEP_ACK, f[0], f[1], 35)
    elif action.kind == "power_on":
        for a, b in zip(f, f[1:]):
            pauses.gap(P_POWER_ON, a, b, 70)
    elif action.kind == "poll":
        if len(f) >= 2:
            pauses.gap(P_TEMP_QUERY, f[0], f[1], 35)
        if len(f) >= 3:
            pauses.gap(P_COLUMN_WARM, f[1], f[2], 100)
        if len(f) >= 4:
            pauses.gap(P_TEMP_QUERY, f[2], f[3], 35)
        if action.reset:
            pauses.gap(P_READ_NEXT, f[3], f[4], 50)
            pauses.gap(P_RESET_HOLD, f[4], f[5], 25)
    elif action.kind == "flows" and len(f) == 2:
        pauses.gap(P_FS1_FS2, f[0], f[1], 90)
    elif action.kind == "volume_stop":
        pauses.gap(P_PUMP_STOP, f[0], f[1], 110)


def between_actions(previous, action, pauses):
    """The pause between two actions of one pass: what follows the last
    frame of the earlier one."""
    name = {"step": P_READ_NEXT, "power_on": P_POWER_ON, "power_off": P_POWER_OFF,
            "pid_read": P_PID_READ, "poll": P_RESET_SETTLE if previous.reset else P_READ_NEXT,
            "flows": P_FS2_STOP}.get(previous.kind)
    if previous.kind == "flows" and previous.failed_at != 0:
        return
    if name is not None:
        pauses.gap(name, previous.last, action.first, previous.trailing_ms())


# ------------------------------------------------------------ one run

@dataclass
class RunResult:
    status: int
    launch_mono: float
    started_mono: float
    exit_mono: float
    rusage: object
    peak_kib: int
    stdout_chunks: list
    frames: list
    junk: int
    stdout_text: str
    stamps: str = "the simulator's reads"
    delivery_ms: list = field(default_factory=list)  # per frame, with --write-stamps
    unmatched_writes: int = 0


def start_fifo(command, priority, **popen):
    """Starts command with SCHED_FIFO at priority from before its exec, as
    systemd's CPUSchedulingPolicy=fifo does (priority None: as it is)."""
    if priority is None:
        return subprocess.Popen(command, **popen)
    try:
        return subprocess.Popen(command, preexec_fn=lambda: os.sched_setscheduler(
            0, os.SCHED_FIFO, os.sched_param(priority)), **popen)
    except subprocess.SubprocessError:  # what a failed preexec_fn raises
        raise SystemExit("cannot run %s at real-time priority %d (root needed)" % (
            os.path.basename(command[0]), priority))


# ------------------------------------------------ stamps from Tarvex's side

PERF_PRIORITY = 1  # above any load, below Tarvex with --realtime
FRAME_BYTES_MAX = 28


class WriteStamps:
    """Records with perf when Tarvex entered each write() to the port: a
    frame's stamp from its own side, before the pty hands the bytes on (in a
    kernel worker thread of normal priority, which a busy machine delays; a
    serial port sends them at once). System-wide from before the launch, so
    that the first frames are caught; the kernel keeps only Tarvex's writes
    of a frame's size at most, and those not on the port are dropped here."""

    def __init__(self, work):
        self.data = os.path.join(work, "perf.data")
        self.port_fds = set()
        control, ack = os.path.join(work, "perf-control"), os.path.join(work, "perf-ack")
        os.mkfifo(control)
        os.mkfifo(ack)
        log_path = os.path.join(work, "perf.log")
        failed = "--write-stamps: perf did not start (see %s)" % log_path
        # Started with its events off; "enable" is acknowledged once they are on.
        try:
            self.process = subprocess.Popen(
                ["perf", "record", "-q", "-a", "-k", "mono", "-r", str(PERF_PRIORITY),
                 "-m", "1024", "-D", "-1", "--control", "fifo:%s,%s" % (control, ack),
                 "-e", "syscalls:sys_enter_write",
                 "--filter", 'comm == "Tarvex" && count <= %d' % FRAME_BYTES_MAX,
                 "-o", self.data], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=open(log_path, "w"))
        except FileNotFoundError:
            raise SystemExit("--write-stamps needs perf (Debian package linux-perf)")
        deadline = time.monotonic() + 10
        while True:
            try:
                fd = os.open(control, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as error:  # ENXIO until perf has opened its end
                if (error.errno != errno.ENXIO or self.process.poll() is not None
                        or time.monotonic() > deadline):
                    raise SystemExit(failed)
                time.sleep(0.05)
        os.write(fd, b"enable\n")
        os.close(fd)
        with open(ack) as f:
            if f.read(3) != "ack":
                raise SystemExit(failed)

    def note_port(self, pid):
        """Notes the descriptors on which Tarvex has the port (a pty) open."""
        try:
            for fd in os.listdir("/proc/%d/fd" % pid):
                if os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith("/dev/pts/"):
                    self.port_fds.add(int(fd))
        except OSError:
            pass  # it has just ended

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        self.process.wait(timeout=60)

    def writes(self, pid):
        """(CLOCK_MONOTONIC seconds, bytes) of each of Tarvex's writes to the port."""
        script = subprocess.run(["perf", "script", "-i", self.data, "-F", "pid,time,trace"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        writes = []
        for line in script.stdout.splitlines():
            m = re.match(r"\s*(\d+)\s+([\d.]+):\s+fd: (0x[0-9a-f]+), buf: \S+, count: (0x[0-9a-f]+)",
                         line)
            if m and int(m.group(1)) == pid and int(m.group(3), 16) in self.port_fds:
                writes.append((float(m.group(2)), int(m.group(4), 16)))
        return writes


def restamp(frames, writes):
    """Gives each frame the time Tarvex wrote it: the next write of the frame's
    size, made before the simulator read the frame. Writes that reached it as
    no frame (bytes it skipped as junk) are passed over. Returns how long each
    frame took to reach the simulator (ms) and how many writes were passed over."""
    delivery, i = [], 0
    for frame in frames:
        while i < len(writes) and writes[i][1] != frame.size:
            i += 1
        if i == len(writes) or writes[i][0] > frame.mono:
            raise SystemExit("--write-stamps: no write of Tarvex's for the frame read at %.3f"
                             % frame.mono)
        delivery.append((frame.mono - writes[i][0]) * 1000)
        frame.mono = writes[i][0]
        i += 1
    return delivery, len(writes) - len(frames)


def start_simulator(work, link, trace, scenario, flowsensors):
    simulator = start_fifo(
        [os.path.join(BUILD, "sim", "tarvex-sim"), "--link", link, "--trace", trace,
         "--scenario", scenario, "--flowsensors", flowsensors], SIMULATOR_PRIORITY,
        cwd=work, stdout=subprocess.PIPE, stderr=open(os.path.join(work, "simulator.log"), "w"),
        stdin=subprocess.DEVNULL)
    line = simulator.stdout.readline().decode(errors="replace")
    if "serving" not in line:
        simulator.kill()
        simulator.wait()
        raise RuntimeError("tarvex-sim did not start: " + line.strip())
    return simulator


def stop_process(process):
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def run_cycle(work, options, scenario_text, cycle, timeout):
    """One invocation of Tarvex against a fresh simulator; returns what was seen."""
    os.makedirs(os.path.join(work, "data"), exist_ok=True)
    shutil.copy(os.path.join(BENCH, "method.txt"), work)
    shutil.copy(os.path.join(BENCH, "flowsensors.txt"), work)
    with open(os.path.join(work, "scenario.txt"), "w") as scenario:
        scenario.write(scenario_text)
    link = os.path.join(work, "ttyGC")
    trace = os.path.join(work, "trace.txt")

    simulator = start_simulator(work, link, trace, "scenario.txt", "flowsensors.txt")
    tarvex = None
    waiting = None
    ended = {}
    try:
        delay, duration = window_of(cycle)
        command = [os.path.join(BUILD, "Tarvex"), "-GCport", link, "-method", "method.txt",
                   "-root", "data", "-cycle", str(cycle), "-PIDdelay", str(delay),
                   "-PIDcycle", str(duration), "-PIDgain", "1",
                   "-samplevolume", str(options.volume)] + ([] if options.no_dump else
                                                           ["-runtimedump"])
        env = dict(os.environ)
        env["LD_PRELOAD"] = os.path.join(BUILD, "sim", "libtarvexnullmodem.so")
        chunks = []
        stamps = WriteStamps(work) if options.write_stamps else None
        launch = time.monotonic()
        tarvex = start_fifo(command, TARVEX_PRIORITY if options.realtime else None, cwd=work,
                            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, bufsize=0)
        started = time.monotonic()  # Popen returns once the exec has succeeded

        def reader():
            # Each chunk is stamped as it arrives: the status line is redrawn
            # once a pass, so its stamps give the pass period.
            fd = tarvex.stdout.fileno()
            while True:
                data = os.read(fd, 65536)
                if not data:
                    break
                chunks.append((time.monotonic(), data))

        thread = threading.Thread(target=reader, daemon=True)
        thread.start()

        def waiter():
            pid, status, rusage = os.wait4(tarvex.pid, 0)
            ended.update(mono=time.monotonic(), status=status, rusage=rusage)

        waiting = threading.Thread(target=waiter, daemon=True)
        waiting.start()
        # The peak resident set of Tarvex itself: VmHWM counts from its exec.
        # (The rusage of a child forked from this Python process would also
        # count the Python image it had before the exec.)
        peak_kib = 0
        deadline = launch + timeout
        while waiting.is_alive():
            peak_kib = max(peak_kib, resident_peak_kib(tarvex.pid))
            if stamps is not None:
                stamps.note_port(tarvex.pid)
            if deadline is not None and time.monotonic() > deadline:
                log("Tarvex did not end in time: killed")
                os.kill(tarvex.pid, signal.SIGKILL)  # not reaped yet: the pid is still its own
                deadline = None
            waiting.join(timeout=0.05)
        tarvex.returncode = os.waitstatus_to_exitcode(ended["status"])
        thread.join(timeout=5)
    finally:
        if tarvex is not None and not ended:
            os.kill(tarvex.pid, signal.SIGKILL)  # an interrupted bench leaves nothing running
            if waiting is not None:
                waiting.join(timeout=5)
            else:
                os.waitpid(tarvex.pid, 0)
        stop_process(simulator)
        if stamps is not None:
            stamps.stop()

    text = b"".join(data for _, data in chunks).decode(errors="replace")
    with open(os.path.join(work, "tarvex.out"), "w") as out:
        out.write(text)
    with open(os.path.join(work, "stdout-stamps.txt"), "w") as out:
        for stamp, data in chunks:
            out.write("%.6f\t%r\n" % (stamp, data))
    frames, junk = parse_trace(trace)
    result = RunResult(tarvex.returncode, launch, started, ended["mono"], ended["rusage"],
                       peak_kib, chunks, frames, junk, text)
    if stamps is not None:
        result.delivery_ms, result.unmatched_writes = restamp(frames, stamps.writes(tarvex.pid))
        result.stamps = "Tarvex's writes (perf)"
    return result


def resident_peak_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def window_of(cycle):
    """Detector window of a cycle: starts early enough that the first pass
    of the loop powers the detector on, ends well before the cycle."""
    delay = max(3, min(20, cycle // 6))
    duration = cycle - delay - 15
    return delay, duration


def flow_fault_seconds(cycle):
    start = max(5, cycle // 3)
    return start, start + 5


# ------------------------------------------------------------ analysis

class Analysis:
    def __init__(self, run, cycle):
        self.run = run
        self.cycle = cycle
        self.frames = run.frames
        self.anomalies = []
        self.pauses = Pauses()
        self.fs1, self.fs2 = read_flow_sensor_addresses()
        self.startup_end = None   # index of the "I" frame
        self.shutdown_start = None
        self.cycle_start = None
        self.actions = []
        self.passes = []
        self.split()

    def split(self):
        frames = self.frames
        for i, f in enumerate(frames):
            if f.is_write(TC1, "HS_") and self.cycle_start is None:
                self.cycle_start = int(math.floor(f.real))
            if f.is_write(PID, "I"):
                self.startup_end = i
                break
        if self.startup_end is None:
            raise RuntimeError("no detector start in the trace: the run did not get to its loop")
        i = self.startup_end + 1
        while i < len(frames):
            action = match_action(frames, i, self.fs1, self.fs2)
            if action is None:
                self.shutdown_start = i
                break
            if action.kind == "unknown":
                self.anomalies.append("unexpected frame %s %s %r at %.3f" % (
                    action.first.kind, action.first.address, action.first.text, action.first.mono))
            self.actions.append(action)
            i += len(action.frames)
        self.passes = group_passes(self.actions)
        # A step sent again in the next pass was not acknowledged in time,
        # whatever reply the trace shows.
        steps = [a for a in self.actions if a.kind == "step"]
        for a, b in zip(steps, steps[1:]):
            if (a.first.address, a.first.text) == (b.first.address, b.first.text):
                a.ok = False
        method = load_method()
        index = 0
        for action in self.actions:
            if action.kind != "step":
                continue
            action.step_index = index
            if action.ok or action.first.address not in (TC1, TC2):
                index += 1
            if index > len(method):
                self.anomalies.append("more steps sent than the method holds")
        self.method = method

    # ---- pauses
    def measure_pauses(self, bridge_polls):
        frames = self.frames
        self.startup_pauses(frames[:self.startup_end + 2], bridge_polls)
        for p in self.passes:
            for action in p.actions:
                action_gaps(action, self.pauses)
            for previous, action in zip(p.actions, p.actions[1:]):
                between_actions(previous, action, self.pauses)
        # The loop pause shows where the next pass surely follows at once: a
        # flow read that failed is retried, a step that was due already is sent.
        for previous_pass, p in zip(self.passes, self.passes[1:]):
            last, first = previous_pass.actions[-1], p.actions[0]
            immediate = False
            if first.kind == "flows" and last.kind == "flows" and last.failed_at != 0:
                immediate = True
            if first.kind == "step" and 0 <= first.step_index < len(self.method):
                due = self.cycle_start + self.method[first.step_index][0]
                if due < previous_pass.second:
                    immediate = True
            if immediate:
                self.pauses.gap(P_LOOP, last.last, first.first, last.trailing_ms() + LOOP_PAUSE_MS)
        if self.shutdown_start is not None:
            self.shutdown_pauses()

    def startup_pauses(self, frames, bridge_polls):
        reg47_seen = 0
        for a, b in zip(frames, frames[1:]):
            if a.kind == "reg-read" and a.address == 10:
                if bridge_polls is not None and b.kind != "reg-read":
                    self.pauses.gap(P_BRIDGE_POLLS, a, b, 10 * bridge_polls)
            elif a.is_reg_write(9, 63) or a.kind == "reg-read" and a.address == 2 or \
                    a.is_reg_write(2, 63):
                self.pauses.gap(P_BRIDGE_STEP, a, b, 40)
            elif a.is_reg_write(4, 7):
                reg47_seen += 1
                if reg47_seen == 1:
                    self.pauses.gap(P_BRIDGE_STEP, a, b, 40)
                else:
                    self.pauses.gap(P_BRIDGE_END, a, b, 80)
            elif a.is_reg_write(4, 6):
                self.pauses.gap(P_BRIDGE_PULSE, a, b, 100)
            elif self.fs1 is not None and (a.is_read(self.fs1, 3) or a.is_read(self.fs2, 3)):
                self.pauses.gap(P_FLOW_TEST, a, b, 90)
            elif a.is_write(text="HS_"):
                self.pauses.gap(P_HS_WAIT, a, b, 300)
            elif a.is_read(count=16) and b.is_read(a.address, 16):
                self.pauses.gap(P_HS_BETWEEN, a, b, 125)
            elif a.is_read(count=16):
                self.pauses.gap(P_HS_AFTER, a, b, 90)
            elif a.is_write(PID, "I"):
                self.pauses.gap(P_PID_START, a, b, 200)

    def shutdown_pauses(self):
        frames = self.frames[self.shutdown_start:]
        if self.actions:
            last = self.actions[-1]
            # Writing the result files lies in this gap too: information only.
            self.pauses.gap(P_SHUT_HOLD, last.last, frames[0], last.trailing_ms() + 1000,
                            info=True)
        register_steps = 0
        for a, b in zip(frames, frames[1:]):
            if a.is_write(PID, "0"):
                self.pauses.gap(P_SHUT_PID_OFF, a, b, 70)
            elif a.kind == "i2c-write":
                self.pauses.gap(P_SHUT_COMMAND, a, b, 110)
            elif a.is_reg_write(9, 63):
                self.pauses.gap(P_SHUT_SETTLE, a, b, 540)
            elif a.is_reg_write(4, 0):
                self.pauses.gap(P_SHUT_GPIO_OFF, a, b, 100)
            elif a.kind == "reg-write":
                register_steps += 1
                self.pauses.gap(P_SHUT_STEP, a, b, 40)
        if frames and frames[-1].is_reg_write(4, 7):
            # The end of this pause is the process exit as the bench saw it,
            # not a frame: information only.
            self.pauses.add(P_SHUT_EXIT, frames[-1].mono, self.run.exit_mono, 40, info=True)

    # ---- start-up
    def startup(self, bridge_polls):
        first_loop = self.frames[self.startup_end + 1] if self.startup_end + 1 < len(
            self.frames) else None
        if first_loop is None or bridge_polls is None:
            return None
        gpio_write = any(f.is_reg_write(2, 63) for f in self.frames[:self.startup_end])
        parts = {
            "bridge status polls": 10 * bridge_polls,
            "bridge GPIO steps": 260 + (40 if gpio_write else 0),
            "pause after the bring-up": 40,
            "three flow test reads (180 each)": 3 * 180,
            "two status checks (475 each, 40 after each)": 2 * (475 + 40),
            "detector start": 140,
            "first loop pause": LOOP_PAUSE_MS,
        }
        prescribed = sum(parts.values())
        measured = (first_loop.mono - self.run.launch_mono) * 1000
        to_first_frame = (self.frames[0].mono - self.run.launch_mono) * 1000
        to_exec = (self.run.started_mono - self.run.launch_mono) * 1000
        return {"measured_ms": round(measured, 2), "prescribed_ms": prescribed,
                "overhead_ms": round(measured - prescribed, 2),
                "launch_to_first_frame_ms": round(to_first_frame, 2),
                "launch_to_exec_ms": round(to_exec, 2),
                "prescribed_parts_ms": parts}

    # ---- missed seconds
    def missed(self, fault_seconds):
        cs = self.cycle_start
        end_second = cs + self.cycle - 9
        first_second = self.passes[0].second if self.passes else None
        delay, duration = window_of(self.cycle)
        w, e = cs + delay, cs + delay + duration
        by_kind = {"poll": [], "pid_read": [], "flows": []}
        for p in self.passes:
            for action in p.actions:
                if action.kind in by_kind:
                    by_kind[action.kind].append((p, action))

        # The controller polled follows the parity of the pass's wall second.
        for p, action in by_kind["poll"]:
            want = TC1 if p.second % 2 == 0 else TC2
            if action.first.address != want:
                self.anomalies.append("second %d (cycle second %d): polled %d, not %d" % (
                    p.second, p.second - cs, action.first.address, want))

        result = {}
        spans = {"poll": (first_second, end_second), "flows": (first_second, end_second),
                 "pid_read": (w + 1, e)}
        names = {"poll": "temperature polls", "pid_read": "detector readings",
                 "flows": "flow readings"}
        for kind, (low, high) in spans.items():
            expected = list(range(low, high + 1)) if low is not None else []
            done = {}
            attempted = {}
            for p, action in by_kind[kind]:
                attempted.setdefault(p.second, []).append(action)
                if action.ok or kind != "flows":
                    done.setdefault(p.second, []).append(action)
            for second, acts in attempted.items():
                if len(acts) > 1 and kind != "flows":
                    self.anomalies.append("%s twice in second %d" % (kind, second - cs))
                if len(done.get(second, [])) > 1:
                    self.anomalies.append("%s recorded twice in second %d" % (kind, second - cs))
            misses = []
            for second in expected:
                if second in done:
                    continue
                misses.append(self.explain(kind, second, attempted, fault_seconds))
            counts = {"expected": len(expected),
                      "done": sum(1 for s in expected if s in done)}
            for label in ("schedule", "injected", "unexplained"):
                counts[label] = sum(1 for m in misses if m["label"] == label)
            counts["misses"] = misses
            counts["seconds"] = [low - cs, high - cs] if low is not None else None
            result[names[kind]] = counts
        return result

    def explain(self, kind, second, attempted, fault_seconds):
        cs = self.cycle_start
        entry = {"cycle_second": second - cs}
        if second in attempted:
            # Tried in that second but failed: the injected sensor fault.
            in_fault = fault_seconds and fault_seconds[0] <= second - cs <= fault_seconds[1]
            entry["label"] = "injected" if in_fault else "unexplained"
            entry["why"] = "read failed" + (" (injected fault)" if in_fault else "")
            return entry
        # The previous action of this kind: did its marker reach this second?
        previous = None
        for p in self.passes:
            if p.second >= second:
                break
            for action in p.actions:
                if action.kind == kind and (action.ok or kind != "flows"):
                    previous = (p, action)
        if previous is None:
            entry["label"] = "unexplained"
            entry["why"] = "no earlier reading"
            return entry
        p, action = previous
        marker = self.marker_estimate(p, action)
        scheduled = p.start.real + (p.offset_ms(action) + action.marker_offset_ms()) / 1000.0
        entry["previous_pass_cycle_second"] = p.second - cs
        entry["marker_at"] = round(marker - cs, 3)
        entry["prescribed_marker_at"] = round(scheduled - cs, 3)
        if math.floor(marker) < second:
            entry["label"] = "unexplained"
            entry["why"] = "no pass did it in this second"
            return entry
        retried = any(a.kind == "flows" and not a.ok and a.first.mono < action.first.mono
                      for q in self.passes if q.second == p.second for a in q.actions)
        if kind == "flows" and retried and fault_seconds:
            entry["label"] = "injected"
            entry["why"] = "a retry after the injected fault set the marker into this second"
        elif math.floor(scheduled) >= second:
            entry["label"] = "schedule"
            entry["why"] = ("the pass at cycle second %d (%s) sets the marker into this second "
                            "by its prescribed pauses alone" % (
                                p.second - cs, "+".join(a.kind for a in p.actions)))
        else:
            entry["label"] = "unexplained"
            entry["why"] = ("the marker slipped into this second only by pause overshoot "
                            "(prescribed at %.3f, seen at %.3f)" % (scheduled - cs, marker - cs))
        return entry

    def marker_estimate(self, p, action):
        """When the action read the clock for its marker, from the wire."""
        if action.kind == "poll":
            return action.first.real
        index = p.actions.index(action)
        following = p.actions[index + 1].first.real if index + 1 < len(p.actions) else None
        if action.kind == "pid_read":
            low = action.first.real + 0.050
            high = following - 0.070 if following is not None else low
        else:  # flows: after the second sensor's read and its 40 ms
            low = action.last.real + 0.090
            high = following if following is not None else low
        return (low + max(low, high)) / 2

    # ---- steps
    def steps(self):
        cs = self.cycle_start
        rows = []
        for p in self.passes:
            for action in p.actions:
                if action.kind != "step" or not 0 <= action.step_index < len(self.method):
                    continue
                due = cs + self.method[action.step_index][0] + 1
                rows.append({"step": action.step_index, "time": self.method[action.step_index][0],
                             "sent_cycle_second": p.second - cs, "late_s": p.second - due,
                             "acknowledged": action.ok})
        return rows


def read_flow_sensor_addresses():
    with open(os.path.join(BENCH, "flowsensors.txt")) as f:
        text = f.read()
    fs1 = re.search(r"FS1:\s*(0x[0-9a-fA-F]+|[0-9a-fA-F]+)", text)
    fs2 = re.search(r"FS2:\s*(0x[0-9a-fA-F]+|[0-9a-fA-F]+)", text)
    return int(fs1.group(1), 16), int(fs2.group(1), 16)


def load_method():
    steps = []
    with open(os.path.join(BENCH, "method.txt")) as f:
        for line in f:
            if not line.strip() or line[0] in "#! \n":
                continue
            t, address, command = line.split()[:3]
            steps.append((int(t), int(address), command))
    return steps


def bridge_polls_of(stdout_text):
    found = re.findall(r"NXP replied I2C_OK after (\d+) polls", stdout_text)
    if not found or "never replied" in stdout_text:
        return None
    return int(found[-1])


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


# ------------------------------------------------------ the dump folder

CLONE_NEWNS = 0x00020000
TRACING = "/sys/kernel/tracing"
MS_NOSUID, MS_NODEV, MS_REC, MS_PRIVATE = 0x2, 0x4, 0x4000, 0x40000


def enter_private_run(tracing):
    """Moves the bench, and so every process it starts from then on, into a
    mount namespace of its own whose /run is a fresh tmpfs with an empty
    Tarvex_rt in it. The machine's /run/Tarvex_rt may belong to a running
    instrument: it is neither seen nor touched. With tracing, tracefs is
    mounted there too (perf finds the system call tracepoints in it).
    Called before any thread."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong,
                           ctypes.c_char_p]

    def check(result, what):
        if result != 0:
            code = ctypes.get_errno()
            raise SystemExit("the bench runs Tarvex with a /run of its own and cannot %s: %s%s"
                             % (what, os.strerror(code),
                                " (root needed)" if code == errno.EPERM else ""))

    check(libc.unshare(CLONE_NEWNS), "have a mount namespace")
    # Without this, the mount below would show in the machine's namespace too.
    check(libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "make / private")
    check(libc.mount(b"tmpfs", b"/run", b"tmpfs", MS_NOSUID | MS_NODEV, b"size=4m,mode=0755"),
          "mount a tmpfs on /run")
    os.mkdir(DUMP_DIR, 0o755)
    if tracing and not os.path.isdir(TRACING + "/events"):
        check(libc.mount(b"tracefs", TRACING.encode(), b"tracefs", 0, None), "mount tracefs")


def file_system_of(path):
    """The type of the file system that holds path, from /proc/mounts."""
    best, kind = "", "unknown"
    try:
        with open("/proc/mounts") as mounts:
            for line in mounts:
                fields = line.split()
                if len(fields) < 3:
                    continue
                point = fields[1]
                inside = path == point or path.startswith(point.rstrip("/") + "/")
                if inside and len(point) > len(best):
                    best, kind = point, fields[2]
    except OSError:
        pass
    return kind


# ---------------------------------------------------------------- output

def fmt(value, digits=2):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    return ("%." + str(digits) + "f") % value


def verdict(ok):
    return "PASS" if ok else "MISS"


def render(report):
    lines = []
    out = lines.append
    m = report["machine"]
    out("Tarvex benchmark, %s, cycle %d s, %s" % (
        report["date"], report["cycle_s"],
        "%d of %d cores kept busy (--load %d)" % (report["load"], m["cores"], report["load"])
        if report["load"] else "no added load")
        + ("" if report["runtime_dump"] else ", without the runtime dump (--no-dump)"))
    out("machine: %d cores, load average %.2f at start, %.2f at end (a shared machine: other "
        "work runs too)" % (m["cores"], m["load_start"], m["load_end"]))
    out("scheduling: Tarvex %s; tarvex-sim SCHED_FIFO %d" % (
        "SCHED_FIFO %d (--realtime)" % TARVEX_PRIORITY if report["realtime"] else "normal",
        SIMULATOR_PRIORITY))
    out("frames stamped at %s" % report["stamps"])
    if report["runtime_dump"]:
        out("runtime dump folder %s on %s (a /run of the bench's own)" % (
            DUMP_DIR, m.get("dump_file_system", "unknown")))
    run = report["run"]
    out("run: exit status %d, %.1f s from launch to exit; build %s" % (
        run["status"], run["wall_s"], report["build"]))
    if report.get("abort_run"):
        a = report["abort_run"]
        out("abort run (shutdown pauses): exit status %d, %.1f s" % (a["status"], a["wall_s"]))
    else:
        out("abort run skipped (--no-abort-run): the shutdown pauses are not measured")
    out("")
    t = report["targets"]
    out("%-46s %14s   %-12s %s" % ("Footprint", "value", "target", ""))
    fp = report["footprint"]
    out("%-46s %12.3f s" % ("  CPU time (user + sys)", fp["cpu_s"]))
    out("%-46s %10.3f s/min" % ("  CPU time per minute of cycle", fp["cpu_s_per_min"]))
    out("%-46s %12.3f %%   <= %-9s %s" % ("  share of one core", fp["cpu_percent"],
                                           "%.1f %%" % TARGET_CPU_PERCENT, verdict(t["cpu"])))
    out("%-46s %10.2f MiB   <= %-9s %s" % ("  peak resident memory", fp["max_rss_mib"],
                                            "%.0f MiB" % TARGET_RSS_MIB, verdict(t["rss"])))
    out("")
    su = report["startup"]
    out("Start-up (launch -> first frame of the main loop)")
    if su:
        out("%-46s %11.1f ms" % ("  measured", su["measured_ms"]))
        out("%-46s %11.1f ms" % ("  prescribed pauses", su["prescribed_ms"]))
        for name, value in su["prescribed_parts_ms"].items():
            out("%-46s %11d ms" % ("    " + name, value))
        out("%-46s %11.1f ms" % ("  launch -> first frame (not a pause)",
                                 su["launch_to_first_frame_ms"]))
        out("%-46s %11.1f ms" % ("    of which launch -> exec (fork and exec)",
                                 su["launch_to_exec_ms"]))
        out("%-46s %11.1f ms   <= %-9s %s" % ("  overhead", su["overhead_ms"],
                                              "%.0f ms" % TARGET_STARTUP_OVERHEAD_MS,
                                              verdict(t["startup"])))
    else:
        out("  not measured (the bridge bring-up did not succeed at once)")
    out("")
    out("Missed seconds   %-22s %8s %5s %9s %9s %12s  %s" % (
        "", "expected", "done", "schedule", "injected", "unexplained", "target"))
    for name, row in report["missed"].items():
        span = "cycle s %d..%d" % tuple(row["seconds"]) if row["seconds"] else ""
        out("  %-20s %-16s %8d %5d %9d %9d %12d  %s" % (
            name, span, row["expected"], row["done"], row["schedule"], row["injected"],
            row["unexplained"], verdict(row["unexplained"] == 0)))
    for name, row in report["missed"].items():
        for miss in row["misses"]:
            out("    %s, cycle second %d: %s: %s" % (name, miss["cycle_second"], miss["label"],
                                                     miss["why"]))
    out("")
    limit = p99_target(report["realtime"], report["load"])
    out("Pauses on the wire: overshoot over the prescribed value (ms; p99 target <= %.0f ms)"
        % limit)
    out("  %-52s %5s %8s %8s %8s  %s" % ("pause (prescribed ms)", "n", "median", "p99",
                                         "worst", "target"))
    for row in report["pauses"]:
        mark = "info" if row["info"] else verdict(row["p99"] is not None and row["p99"] <= limit)
        out("  %-52s %5d %8s %8s %8s  %s" % (row["name"], row["n"], fmt(row["median"]),
                                            fmt(row["p99"]), fmt(row["worst"]), mark))
    largest = report["largest_p99"]
    if largest:
        out("  largest p99 overshoot: %.2f ms (%s)" % (largest["p99"], largest["name"]))
    delivery = report["delivery_ms"]
    if delivery:
        out("  %-52s %5d %8s %8s %8s  %s" % (
            "pty delivery: Tarvex's write -> simulator's read", delivery["n"],
            fmt(delivery["median"]), fmt(delivery["p99"]), fmt(delivery["worst"]), "info"))
    out("")
    pp = report["pass_period"]
    out("Main loop pass period (status line redraws, %d)" % pp["redraws"])
    out("  %-52s %5s %8s %8s %8s" % ("", "n", "median", "p99", "worst"))
    for key, label in (("empty_pass_period_ms", "period of an empty pass (ms; loop pause 60)"),
                       ("period_ms", "period of every pass (ms)"),
                       ("overshoot_ms", "overshoot over 60 + the pass's pauses (ms)")):
        s = pp[key]
        out("  %-52s %5d %8s %8s %8s" % (label, s["n"], fmt(s["median"]), fmt(s["p99"]),
                                         fmt(s["worst"])))
    out("")
    st = report["steps"]
    late = [s for s in st if s["late_s"] > 0]
    out("Method steps (information): %d sent, %d acknowledged, %d sent after their first due "
        "second%s" % (
        len(st), sum(1 for s in st if s["acknowledged"]), len(late),
        (" (" + ", ".join("step %d at %d s: +%d s" % (s["step"], s["time"], s["late_s"])
                          for s in late) + ")") if late else ""))
    if report["anomalies"]:
        out("")
        out("Anomalies:")
        for anomaly in report["anomalies"]:
            out("  " + anomaly)
    out("")
    out("Overall: %s" % ("every target met" if all(t.values()) else
                         "missed: " + ", ".join(k for k, v in t.items() if not v)))
    return "\n".join(lines)


# ------------------------------------------------------------------ main

def build(build_dir):
    log("building Tarvex and the simulator (Release) in %s ..." % os.path.relpath(build_dir, TOP))
    for command in (["cmake", "-S", TOP, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"],
                    ["cmake", "--build", build_dir, "-j2", "--target", "Tarvex", "tarvex-sim",
                     "tarvexnullmodem"]):
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            sys.stderr.write(done.stdout.decode(errors="replace"))
            raise SystemExit("build failed: " + " ".join(command))


def start_load(cores):
    """A busy loop on each of the last cores, for the figures under load."""
    loops = []
    available = sorted(os.sched_getaffinity(0))
    for core in available[len(available) - cores:]:
        code = "import os\nos.sched_setaffinity(0, {%d})\nwhile True:\n    pass\n" % core
        loops.append(subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.DEVNULL))
    return loops


def p99_target(realtime, load):
    if realtime:
        return TARGET_P99_REALTIME_MS
    return TARGET_P99_LOADED_MS if load else TARGET_P99_IDLE_MS


def largest_p99(pauses):
    """The pause with the largest p99 overshoot among those with a target."""
    rows = [r for r in pauses if not r["info"] and r["p99"] is not None]
    if not rows:
        return None
    row = max(rows, key=lambda r: r["p99"])
    return {"name": row["name"], "p99": row["p99"]}


def main():
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

    global BUILD
    BUILD = os.path.abspath(options.build_dir)
    if not options.no_build:
        build(BUILD)

    enter_private_run(options.write_stamps)
    dump_file_system = file_system_of(DUMP_DIR)
    work = tempfile.mkdtemp(prefix="tarvex-bench-")
    load = []
    load_start = os.getloadavg()[0]
    try:
        load = start_load(options.load)
        fault = flow_fault_seconds(options.cycle)
        log("cycle of %d s (work folder %s) ..." % (options.cycle, work))
        main_work = os.path.join(work, "cycle")
        os.makedirs(main_work)
        run = run_cycle(main_work, options, "fs1 none seconds %d-%d\n" % fault,
                        options.cycle, options.cycle + 60)
        abort_run = None
        if not options.no_abort_run:
            log("short cycle that aborts, for the shutdown pauses ...")
            abort_work = os.path.join(work, "abort")
            os.makedirs(abort_work)
            # Column readings of 64 stop: port re-open, bridge reset, abort.
            abort_run = run_cycle(abort_work, options, "tc64.rct none seconds 6-\n", 30, 90)
    finally:
        for loop in load:
            stop_process(loop)
    load_end = os.getloadavg()[0]

    try:
        analysis = Analysis(run, options.cycle)
    except RuntimeError as error:
        log("%s (exit status %d); console output:\n%s" % (error, run.status,
                                                         run.stdout_text[-2000:]))
        log("work folder kept: %s" % work)
        return 2
    polls = bridge_polls_of(run.stdout_text)
    analysis.measure_pauses(polls)
    report = {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "cycle_s": options.cycle,
        "load": options.load,
        "realtime": options.realtime,
        "stamps": run.stamps,
        "runtime_dump": not options.no_dump,
        "build": "Release (%s)" % os.path.relpath(BUILD, TOP),
        "machine": {"cores": os.cpu_count(), "load_start": load_start, "load_end": load_end,
                    "dump_file_system": dump_file_system},
        "run": {"status": run.status, "wall_s": round(run.exit_mono - run.launch_mono, 3)},
    }
    wall = run.exit_mono - run.launch_mono
    cpu = run.rusage.ru_utime + run.rusage.ru_stime
    report["footprint"] = {
        "cpu_s": round(cpu, 4), "user_s": round(run.rusage.ru_utime, 4),
        "sys_s": round(run.rusage.ru_stime, 4),
        "cpu_s_per_min": round(cpu / (wall / 60.0), 4),
        "cpu_percent": round(100.0 * cpu / wall, 4),
        "max_rss_mib": round(run.peak_kib / 1024.0, 3)}
    report["startup"] = analysis.startup(polls)
    report["missed"] = analysis.missed(fault)
    anomalies = list(analysis.anomalies)
    if abort_run is not None:
        report["abort_run"] = {"status": abort_run.status,
                               "wall_s": round(abort_run.exit_mono - abort_run.launch_mono, 3),
                               "startup": None}
        if abort_run.status != 20:
            anomalies.append("abort run ended with status %d, not 20" % abort_run.status)
        try:
            abort_analysis = Analysis(abort_run, 30)
        except RuntimeError as error:
            # Its start-up failed (late replies on a loaded machine): nothing to add.
            anomalies.append("abort run: %s" % error)
            abort_analysis = None
    if abort_run is not None and abort_analysis is not None:
        abort_analysis.measure_pauses(bridge_polls_of(abort_run.stdout_text))
        for name, row in abort_analysis.pauses.rows.items():
            mine = analysis.pauses.rows.setdefault(
                name, {"prescribed": set(), "overshoot_ms": [], "info": row["info"]})
            mine["prescribed"] |= row["prescribed"]
            mine["overshoot_ms"] += row["overshoot_ms"]
        report["abort_run"]["startup"] = abort_analysis.startup(
            bridge_polls_of(abort_run.stdout_text))
        anomalies += ["abort run: " + a for a in abort_analysis.anomalies]
        if abort_analysis.shutdown_start is None:
            anomalies.append("abort run: no shutdown sequence in the trace")
    if run.status != 0:
        anomalies.append("the cycle ended with status %d, not 0" % run.status)
    # No fault of the controllers is injected into the cycle: their failures
    # there mean replies that came too late (a loaded machine) or a fault.
    for message in ("Replyerror", "Communication failure", "retrying", "SERIAL read error"):
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
        for message in ("Serial write failed", "residual bytes"):
            n = r.stdout_text.count(message)
            if n:
                anomalies.append("%s: %d x '%s' on standard output" % (label, n, message))
    report["anomalies"] = anomalies
    report["pauses"] = []
    for name in PAUSE_ORDER + sorted(set(analysis.pauses.rows) - set(PAUSE_ORDER)):
        row = analysis.pauses.rows.get(name)
        if row is None:
            continue
        entry = {"name": name, "prescribed_ms": sorted(row["prescribed"]), "info": row["info"]}
        entry.update(stats(row["overshoot_ms"]))
        report["pauses"].append(entry)
    report["largest_p99"] = largest_p99(report["pauses"])
    report["delivery_ms"] = stats(run.delivery_ms) if run.delivery_ms else None
    report["pass_period"] = pass_periods(run, analysis.actions)
    report["steps"] = analysis.steps()

    limit = p99_target(options.realtime, options.load)
    report["targets"] = {
        "cpu": report["footprint"]["cpu_percent"] <= TARGET_CPU_PERCENT,
        "rss": report["footprint"]["max_rss_mib"] <= TARGET_RSS_MIB,
        "startup": bool(report["startup"])
        and report["startup"]["overhead_ms"] <= TARGET_STARTUP_OVERHEAD_MS,
        "pauses": all(r["info"] or (r["p99"] is not None and r["p99"] <= limit)
                      for r in report["pauses"]),
        "missed": all(row["unexplained"] == 0 for row in report["missed"].values()),
        "runs": run.status == 0 and (abort_run is None or abort_run.status == 20),
    }

    table = render(report)
    if options.json == "-":
        print(table, file=sys.stderr)
        print(json.dumps(report, indent=2))
    else:
        print(table)
        if options.json:
            with open(options.json, "w") as f:
                json.dump(report, f, indent=2)
                f.write("\n")
    if options.keep:
        log("work folder kept: %s" % work)
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 0 if all(report["targets"].values()) else 1


BUILD = os.path.join(TOP, "build", "bench")

if __name__ == "__main__":
    sys.exit(main())
