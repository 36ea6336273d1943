"""Builds Tarvex and the simulator, and runs one cycle of Tarvex against a
fresh simulator: its console output stamped as it arrives, its rusage, its
peak resident memory, and the frames on the wire."""

import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field

from cycle import FLOW_SENSORS, METHOD, TOP, window_of
from host import SIMULATOR_PRIORITY, TARVEX_PRIORITY, start_fifo, stop_process
from stamps import WriteStamps, restamp
from wire import parse_trace

MEMORY_SAMPLE_S = 0.05


def log(message):
    print(message, file=sys.stderr, flush=True)


def build_programs(build_dir):
    log("building Tarvex and the simulator (Release) in %s ..." % os.path.relpath(build_dir, TOP))
    for command in (["cmake", "-S", TOP, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"],
                    ["cmake", "--build", build_dir, "-j2", "--target", "Tarvex", "tarvex-sim",
                     "tarvexnullmodem"]):
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode != 0:
            sys.stderr.write(done.stdout.decode(errors="replace"))
            raise SystemExit("build failed: " + " ".join(command))


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

    def wall_s(self):
        return self.exit_mono - self.launch_mono


def start_simulator(build_dir, work, link, trace, scenario, flowsensors):
    with open(os.path.join(work, "simulator.log"), "w") as simulator_log:
        simulator = start_fifo(
            [os.path.join(build_dir, "sim", "tarvex-sim"), "--link", link, "--trace", trace,
             "--scenario", scenario, "--flowsensors", flowsensors], SIMULATOR_PRIORITY,
            cwd=work, stdout=subprocess.PIPE, stderr=simulator_log, stdin=subprocess.DEVNULL)
    line = simulator.stdout.readline().decode(errors="replace")
    if "serving" not in line:
        simulator.kill()
        simulator.wait()
        raise RuntimeError("tarvex-sim did not start: " + line.strip())
    return simulator


def resident_peak_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def tarvex_command(build_dir, options, link, cycle):
    delay, duration = window_of(cycle)
    return [os.path.join(build_dir, "Tarvex"), "-GCport", link, "-method", "method.txt",
            "-root", "data", "-cycle", str(cycle), "-PIDdelay", str(delay),
            "-PIDcycle", str(duration), "-PIDgain", "1",
            "-samplevolume", str(options.volume)] + ([] if options.no_dump else ["-runtimedump"])


class Watch:
    """Follows a started Tarvex until it ends: its output in chunks stamped
    as they arrive (the status line is redrawn once a pass, so its stamps
    give the pass period), its exit and rusage, its peak resident set."""

    def __init__(self, tarvex):
        self.tarvex = tarvex
        self.chunks = []
        self.ended = {}
        self.peak_kib = 0
        self.reader = threading.Thread(target=self.read_output, daemon=True)
        self.reader.start()
        self.waiter = threading.Thread(target=self.wait_exit, daemon=True)
        self.waiter.start()

    def read_output(self):
        fd = self.tarvex.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            if not data:
                break
            self.chunks.append((time.monotonic(), data))

    def wait_exit(self):
        pid, status, rusage = os.wait4(self.tarvex.pid, 0)
        self.ended.update(mono=time.monotonic(), status=status, rusage=rusage)

    def until_exit(self, deadline, stamps):
        """Samples until the exit; kills Tarvex once past the deadline."""
        # The peak resident set of Tarvex itself: VmHWM counts from its exec.
        # (The rusage of a child forked from this Python process would also
        # count the Python image it had before the exec.)
        while self.waiter.is_alive():
            self.peak_kib = max(self.peak_kib, resident_peak_kib(self.tarvex.pid))
            if stamps is not None:
                stamps.note_port(self.tarvex.pid)
            if deadline is not None and time.monotonic() > deadline:
                log("Tarvex did not end in time: killed")
                os.kill(self.tarvex.pid, signal.SIGKILL)  # not reaped yet: still its pid
                deadline = None
            self.waiter.join(timeout=MEMORY_SAMPLE_S)
        self.tarvex.returncode = os.waitstatus_to_exitcode(self.ended["status"])
        self.reader.join(timeout=5)

    def kill(self):
        """An interrupted bench leaves nothing running."""
        if not self.ended:
            os.kill(self.tarvex.pid, signal.SIGKILL)
            self.waiter.join(timeout=5)


def prepare_work(work, scenario_text):
    os.makedirs(os.path.join(work, "data"), exist_ok=True)
    shutil.copy(METHOD, work)
    shutil.copy(FLOW_SENSORS, work)
    with open(os.path.join(work, "scenario.txt"), "w") as scenario:
        scenario.write(scenario_text)


def save_output(work, chunks):
    """Tarvex's console output, whole and as stamped chunks; returns the text."""
    text = b"".join(data for _, data in chunks).decode(errors="replace")
    with open(os.path.join(work, "tarvex.out"), "w") as out:
        out.write(text)
    with open(os.path.join(work, "stdout-stamps.txt"), "w") as out:
        for stamp, data in chunks:
            out.write("%.6f\t%r\n" % (stamp, data))
    return text


def run_cycle(build_dir, work, options, scenario_text, cycle, timeout):
    """One invocation of Tarvex against a fresh simulator; returns what was seen."""
    prepare_work(work, scenario_text)
    link = os.path.join(work, "ttyGC")
    trace = os.path.join(work, "trace.txt")

    simulator = start_simulator(build_dir, work, link, trace, "scenario.txt", "flowsensors.txt")
    stamps = None
    tarvex = None
    watch = None
    try:
        command = tarvex_command(build_dir, options, link, cycle)
        env = dict(os.environ)
        env["LD_PRELOAD"] = os.path.join(build_dir, "sim", "libtarvexnullmodem.so")
        stamps = WriteStamps(work) if options.write_stamps else None
        launch = time.monotonic()
        tarvex = start_fifo(command, TARVEX_PRIORITY if options.realtime else None, cwd=work,
                            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, bufsize=0)
        started = time.monotonic()  # Popen returns once the exec has succeeded
        watch = Watch(tarvex)
        watch.until_exit(launch + timeout, stamps)
    finally:
        if watch is not None:
            watch.kill()
        elif tarvex is not None:
            tarvex.kill()
            tarvex.wait()
        stop_process(simulator)
        if stamps is not None:
            stamps.stop()

    text = save_output(work, watch.chunks)
    frames, junk = parse_trace(trace)
    result = RunResult(tarvex.returncode, launch, started, watch.ended["mono"],
                       watch.ended["rusage"], watch.peak_kib, watch.chunks, frames, junk, text)
    if stamps is not None:
        result.delivery_ms, result.unmatched_writes = restamp(frames, stamps.writes(tarvex.pid))
        result.stamps = "Tarvex's writes (perf)"
    return result
