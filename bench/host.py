"""What the bench does to the machine it runs on: a private /run for the dump,
busy loops for the figures under load, real-time priorities, and stopping
what it started."""

import ctypes
import errno
import os
import signal
import subprocess
import sys

DUMP_DIR = "/run/Tarvex_rt"
TRACING = "/sys/kernel/tracing"
CLONE_NEWNS = 0x00020000
MS_NOSUID, MS_NODEV, MS_REC, MS_PRIVATE = 0x2, 0x4, 0x4000, 0x40000

# Real-time priorities: Tarvex as its systemd unit runs it (--realtime); the
# simulator above it in every run, as it stands in for hardware that no load
# on the host slows down, and its stamps are what is measured.
TARVEX_PRIORITY = 10
SIMULATOR_PRIORITY = 20


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


def start_load(cores):
    """A busy loop on each of the last cores, for the figures under load."""
    loops = []
    available = sorted(os.sched_getaffinity(0))
    for core in available[len(available) - cores:]:
        code = "import os\nos.sched_setaffinity(0, {%d})\nwhile True:\n    pass\n" % core
        loops.append(subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.DEVNULL))
    return loops


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


def stop_process(process):
    """SIGTERM, then SIGKILL after 5 s; nothing when it has ended already."""
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
