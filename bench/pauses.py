"""Every pause on the wire: the measured gap between two frames against the
pauses Tarvex prescribes for it."""

from cycle import LOOP_PAUSE_MS, PID

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

# The pause after the last frame of an action, before the next action of its pass.
PAUSE_AFTER = {"step": P_READ_NEXT, "power_on": P_POWER_ON, "power_off": P_POWER_OFF,
               "pid_read": P_PID_READ, "poll": P_READ_NEXT, "flows": P_FS2_STOP}


class Pauses:
    """Measured gaps between frames against their prescribed length."""

    def __init__(self):
        self.rows = {}  # name -> {"prescribed": set, "overshoot_ms": [...], "info": bool}

    def row(self, name, info):
        return self.rows.setdefault(name, {"prescribed": set(), "overshoot_ms": [], "info": info})

    def add(self, name, earlier_mono, later_mono, prescribed_ms, info=False):
        row = self.row(name, info)
        row["prescribed"].add(prescribed_ms)
        row["overshoot_ms"].append((later_mono - earlier_mono) * 1000 - prescribed_ms)

    def gap(self, name, earlier, later, prescribed_ms, info=False):
        self.add(name, earlier.mono, later.mono, prescribed_ms, info)

    def merge(self, other):
        """Adds the gaps of another run (the aborting one) to these."""
        for name, theirs in other.rows.items():
            mine = self.row(name, theirs["info"])
            mine["prescribed"] |= theirs["prescribed"]
            mine["overshoot_ms"] += theirs["overshoot_ms"]

    def in_table_order(self):
        """(name, row) in the table's order; names it does not know last, sorted."""
        names = PAUSE_ORDER + sorted(set(self.rows) - set(PAUSE_ORDER))
        return [(name, self.rows[name]) for name in names if name in self.rows]


def measure_pauses(cycle):
    """The pauses of a CycleOnWire: start-up, each pass, loop, shutdown."""
    pauses = Pauses()
    startup_pauses(cycle, pauses)
    for p in cycle.passes:
        for action in p.actions:
            action_gaps(action, pauses)
        for previous, action in zip(p.actions, p.actions[1:]):
            between_actions(previous, action, pauses)
    loop_pauses(cycle, pauses)
    if cycle.shutdown_start is not None:
        shutdown_pauses(cycle, pauses)
    return pauses


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
    if previous.kind == "flows" and previous.failed_at != 0:
        return
    name = P_RESET_SETTLE if previous.kind == "poll" and previous.reset else \
        PAUSE_AFTER.get(previous.kind)
    if name is not None:
        pauses.gap(name, previous.last, action.first, previous.trailing_ms())


def loop_pauses(cycle, pauses):
    """The loop pause shows where the next pass surely follows at once: a
    flow read that failed is retried, a step that was due already is sent."""
    for previous_pass, p in zip(cycle.passes, cycle.passes[1:]):
        last, first = previous_pass.actions[-1], p.actions[0]
        immediate = False
        if first.kind == "flows" and last.kind == "flows" and last.failed_at != 0:
            immediate = True
        if first.kind == "step":
            due = cycle.due_second(first)
            if due is not None and due < previous_pass.second:
                immediate = True
        if immediate:
            pauses.gap(P_LOOP, last.last, first.first, last.trailing_ms() + LOOP_PAUSE_MS)


def startup_pauses(cycle, pauses):
    """From the bridge bring-up to the first pass of the main loop."""
    frames = cycle.frames[:cycle.startup_end + 2]
    fs1, fs2, bridge_polls = cycle.fs1, cycle.fs2, cycle.bridge_polls
    reg47_seen = 0
    for a, b in zip(frames, frames[1:]):
        if a.kind == "reg-read" and a.address == 10:
            if bridge_polls is not None and b.kind != "reg-read":
                pauses.gap(P_BRIDGE_POLLS, a, b, 10 * bridge_polls)
        elif a.is_reg_write(9, 63) or a.kind == "reg-read" and a.address == 2 or \
                a.is_reg_write(2, 63):
            pauses.gap(P_BRIDGE_STEP, a, b, 40)
        elif a.is_reg_write(4, 7):
            reg47_seen += 1
            if reg47_seen == 1:
                pauses.gap(P_BRIDGE_STEP, a, b, 40)
            else:
                pauses.gap(P_BRIDGE_END, a, b, 80)
        elif a.is_reg_write(4, 6):
            pauses.gap(P_BRIDGE_PULSE, a, b, 100)
        elif fs1 is not None and (a.is_read(fs1, 3) or a.is_read(fs2, 3)):
            pauses.gap(P_FLOW_TEST, a, b, 90)
        elif a.is_write(text="HS_"):
            pauses.gap(P_HS_WAIT, a, b, 300)
        elif a.is_read(count=16) and b.is_read(a.address, 16):
            pauses.gap(P_HS_BETWEEN, a, b, 125)
        elif a.is_read(count=16):
            pauses.gap(P_HS_AFTER, a, b, 90)
        elif a.is_write(PID, "I"):
            pauses.gap(P_PID_START, a, b, 200)


def shutdown_pauses(cycle, pauses):
    """From the end of the main loop to the process exit."""
    frames = cycle.frames[cycle.shutdown_start:]
    if cycle.actions:
        last = cycle.actions[-1]
        # Writing the result files lies in this gap too: information only.
        pauses.gap(P_SHUT_HOLD, last.last, frames[0], last.trailing_ms() + 1000, info=True)
    for a, b in zip(frames, frames[1:]):
        if a.is_write(PID, "0"):
            pauses.gap(P_SHUT_PID_OFF, a, b, 70)
        elif a.kind == "i2c-write":
            pauses.gap(P_SHUT_COMMAND, a, b, 110)
        elif a.is_reg_write(9, 63):
            pauses.gap(P_SHUT_SETTLE, a, b, 540)
        elif a.is_reg_write(4, 0):
            pauses.gap(P_SHUT_GPIO_OFF, a, b, 100)
        elif a.kind == "reg-write":
            pauses.gap(P_SHUT_STEP, a, b, 40)
    if frames and frames[-1].is_reg_write(4, 7):
        # The end of this pause is the process exit as the bench saw it,
        # not a frame: information only.
        pauses.add(P_SHUT_EXIT, frames[-1].mono, cycle.run.exit_mono, 40, info=True)
