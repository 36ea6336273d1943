"""One run read from its frames: the start-up, the main loop's actions (a
method step, a temperature poll, a detector or flow read ...) grouped into
passes, and the shutdown."""

import math
import re
from dataclasses import dataclass, field
from typing import List

from cycle import LOOP_PAUSE_MS, PID, TC1, TC2, load_method, read_flow_sensor_addresses
from wire import Frame

# Where an action sits in a pass: the scheduler runs them in this order, each
# at most once, so an order that does not increase starts a new pass.
ORDER = {"step": 0, "power_on": 1, "power_off": 1, "pid_read": 2, "poll": 3, "flows": 4,
         "volume_stop": 5, "unknown": 6}

# Prescribed pauses (ms) of the actions whose pauses never vary: from the
# first frame to the end of the action, and after its last frame. A step
# waits 35 before the acknowledge request and 50 in the read.
FIXED_PAUSES_MS = {"step": (85, 50), "power_on": (350, 70), "power_off": (70, 70),
                   "pid_read": (120, 120), "volume_stop": (220, 110), "unknown": (0, 0)}
# Flows by which sensor failed (0: none, 1: FS1, 2: FS2).
FLOWS_PAUSES_MS = {0: (180, 90), 1: (50, 50), 2: (140, 50)}


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

    def prescribed_ms(self):
        """(pauses from the first frame to the end, pauses after the last frame)."""
        if self.kind == "poll":
            return (280, 35) if self.reset else (220, 50)
        if self.kind == "flows":
            return FLOWS_PAUSES_MS[self.failed_at]
        return FIXED_PAUSES_MS[self.kind]

    def duration_ms(self):
        """Prescribed pauses from the first frame to the end of the action."""
        return self.prescribed_ms()[0]

    def trailing_ms(self):
        """Prescribed pauses after the last frame of the action."""
        return self.prescribed_ms()[1]

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


def temperature_ok(frame):
    if frame.reply_bytes() <= 2:
        return False
    try:
        float(frame.reply.text[1:].split("\0")[0])
        return True
    except ValueError:
        return False


def match_poll(frames, i):
    """A column controller's temperature: RCT, read, RWT, read, then
    perhaps the bridge reset (register 9 to 9, then to 63)."""
    first = frames[i]
    taken = [first]
    pattern = [lambda x: x.is_read(first.address, 15), lambda x: x.is_write(first.address, "RWT"),
               lambda x: x.is_read(first.address, 15)]
    for wanted, nxt in zip(pattern, frames[i + 1:]):
        if not wanted(nxt):
            break
        taken.append(nxt)
    action = Action("poll", taken)
    action.ok = len(taken) == 4 and temperature_ok(taken[1]) and temperature_ok(taken[3])
    reset = frames[i + len(taken):i + len(taken) + 2]
    if len(reset) == 2 and reset[0].is_reg_write(9, 9) and reset[1].is_reg_write(9, 63):
        action.frames += reset
        action.reset = True
    return action


def match_action(frames, i, fs1, fs2):
    """The action that starts at frames[i]; None at the start of the shutdown."""
    f = frames[i]

    def at(k):
        return frames[i + k] if i + k < len(frames) else None

    if f.is_write(PID, "1"):
        taken = [f]
        for nxt in frames[i + 1:i + 5]:
            if not nxt.is_write(PID) or nxt.text in ("1", "0", "I"):
                break
            taken.append(nxt)
        return Action("power_on", taken, ok=len(taken) == 5)
    if f.is_write(PID, "0"):
        return Action("power_off", [f])
    if f.is_read(PID):
        return Action("pid_read", [f], ok=f.reply_bytes() >= 16)
    if f.is_write(text="RCT") and f.address in (TC1, TC2):
        return match_poll(frames, i)
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


def bridge_polls_of(stdout_text):
    """How many status polls the bridge bring-up took; None when it failed."""
    found = re.findall(r"NXP replied I2C_OK after (\d+) polls", stdout_text)
    if not found or "never replied" in stdout_text:
        return None
    return int(found[-1])


class CycleOnWire:
    """A run's frames cut into start-up (up to the detector start "I"), the
    main loop's actions and passes, and the shutdown (from the two STC000)."""

    def __init__(self, run, cycle):
        self.run = run
        self.cycle = cycle
        self.frames = run.frames
        self.bridge_polls = bridge_polls_of(run.stdout_text)
        self.method = load_method()
        self.fs1, self.fs2 = read_flow_sensor_addresses()
        self.anomalies = []
        self.startup_end = None  # index of the "I" frame
        self.shutdown_start = None
        self.cycle_start = None  # wall second of the first status query
        self.actions = []
        self.find_startup()
        self.find_actions()
        self.passes = group_passes(self.actions)
        self.number_steps()

    def find_startup(self):
        for i, f in enumerate(self.frames):
            if f.is_write(TC1, "HS_") and self.cycle_start is None:
                self.cycle_start = int(math.floor(f.real))
            if f.is_write(PID, "I"):
                self.startup_end = i
                return
        raise RuntimeError("no detector start in the trace: the run did not get to its loop")

    def find_actions(self):
        i = self.startup_end + 1
        while i < len(self.frames):
            action = match_action(self.frames, i, self.fs1, self.fs2)
            if action is None:
                self.shutdown_start = i
                break
            if action.kind == "unknown":
                self.anomalies.append("unexpected frame %s %s %r at %.3f" % (
                    action.first.kind, action.first.address, action.first.text, action.first.mono))
            self.actions.append(action)
            i += len(action.frames)

    def number_steps(self):
        """Gives each step the index of the method's step it sends."""
        # A step sent again in the next pass was not acknowledged in time,
        # whatever reply the trace shows.
        steps = [a for a in self.actions if a.kind == "step"]
        for a, b in zip(steps, steps[1:]):
            if (a.first.address, a.first.text) == (b.first.address, b.first.text):
                a.ok = False
        index = 0
        for action in steps:
            action.step_index = index
            if action.ok or action.first.address not in (TC1, TC2):
                index += 1
            if index > len(self.method):
                self.anomalies.append("more steps sent than the method holds")

    def due_second(self, action):
        """Wall second at which a step's method time falls; None for a step
        beyond the method."""
        if not 0 <= action.step_index < len(self.method):
            return None
        return self.cycle_start + self.method[action.step_index][0]
