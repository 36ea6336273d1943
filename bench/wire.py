"""The simulator's wire trace: one line an event, tab-separated (monotonic
and wall-clock stamps, direction, kind, address, value, the bytes, the text)."""

from dataclasses import dataclass
from typing import Optional


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
    """The trace's text column back to characters (\\xNN and \\c escapes)."""
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


def read_events(path):
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
    return events


def parse_trace(path):
    """Frames that Tarvex wrote (rx), each with the reply the simulator gave,
    and how many stretches of bytes were no frame."""
    events = read_events(path)
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
