"""--write-stamps: when Tarvex entered each write() to the port, from perf on
the system call tracepoint, in place of the simulator's read stamps."""

import errno
import os
import re
import signal
import subprocess
import time

PERF_PRIORITY = 1  # above any load, below Tarvex with --realtime
FRAME_BYTES_MAX = 28
PERF_WRITE = re.compile(
    r"\s*(\d+)\s+([\d.]+):\s+fd: (0x[0-9a-f]+), buf: \S+, count: (0x[0-9a-f]+)")


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
        # Started with its events off; "enable" is acknowledged once they are on.
        try:
            with open(log_path, "w") as perf_log:
                self.process = subprocess.Popen(
                    ["perf", "record", "-q", "-a", "-k", "mono", "-r", str(PERF_PRIORITY),
                     "-m", "1024", "-D", "-1", "--control", "fifo:%s,%s" % (control, ack),
                     "-e", "syscalls:sys_enter_write",
                     "--filter", 'comm == "Tarvex" && count <= %d' % FRAME_BYTES_MAX,
                     "-o", self.data], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=perf_log)
        except FileNotFoundError:
            raise SystemExit("--write-stamps needs perf (Debian package linux-perf)")
        if not self.enable(control, ack):
            self.process.kill()
            self.process.wait()
            raise SystemExit("--write-stamps: perf did not start (see %s)" % log_path)

    def enable(self, control, ack):
        """Turns perf's events on through its control fifo; False when perf
        did not open the fifo within 10 s or did not acknowledge."""
        deadline = time.monotonic() + 10
        while True:
            try:
                fd = os.open(control, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as error:  # ENXIO until perf has opened its end
                if (error.errno != errno.ENXIO or self.process.poll() is not None
                        or time.monotonic() > deadline):
                    return False
                time.sleep(0.05)
        os.write(fd, b"enable\n")
        os.close(fd)
        with open(ack) as f:
            return f.read(3) == "ack"

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
            m = PERF_WRITE.match(line)
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
