"""PanicLog, read from where the last run stopped.

The controller appends two kinds of entries (local time, no offset), each
followed by the last device reply, sometimes by an empty line:

  2026-12-08 10:00:01: [Warning]:     <text>
      Offending message reply: <reply>

  2026-12-08 10:00:02: in [PANIC] state, re-set T-controllers.
      <text>
      Offending message reply: <reply>

An entry's key is its time and its place among the entries of the same
second (0, 1, ...), so reading the file again finds the same keys. The place
carries on across a rotation of the file within the same second."""

import os
import re
from dataclasses import dataclass

from .localtime import log_time
from .rawfiles import read_text

HEADER = re.compile(r"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}): "
                    r"(?:\[Warning\]: (.*)|in \[PANIC\] state, re-set T-controllers\.)")
REPLY = "    Offending message reply: "
# Entries read per run at most: a huge log ships over several runs.
MAX_READ = 4 << 20


@dataclass
class Position:
    """Where the last run stopped: the file (device, inode), the offset after
    the last complete entry, and the last entry's second and place."""

    device: int = 0
    inode: int = 0
    offset: int = 0
    second: str = ""
    ordinal: int = -1


def read_new_entries(path, position, notes):
    """(entries, new position) of the complete entries after position. A file
    that is another one or shorter than before (rotated, truncated) is read
    from its start."""
    try:
        with open(path, "rb") as stream:
            status = os.fstat(stream.fileno())
            start = position.offset
            if (status.st_dev, status.st_ino) != (position.device, position.inode) \
                    or status.st_size < start:
                start = 0
            stream.seek(start)
            data = stream.read(MAX_READ)
    except FileNotFoundError:
        return [], position
    except OSError as error:
        notes.unusable(path, "cannot be read: %s" % (error.strerror or error))
        return [], position
    entries, used, second, ordinal = parse(path, data, start, position, notes)
    return entries, Position(status.st_dev, status.st_ino, start + used, second, ordinal)


def parse(path, data, start, position, notes):
    """Entries of data (bytes from offset start), the bytes they take up to the
    end of the last complete one, and the last second and place."""
    lines = data.split(b"\n")
    complete = lines[:-1]  # the part after the last newline is still being written
    line_offset, offsets = start, []
    for line in complete:
        offsets.append(line_offset)
        line_offset += len(line) + 1
    entries, used = [], 0
    second, ordinal = position.second, position.ordinal
    number = 0
    while number < len(complete):
        text = read_text(complete[number])
        header = HEADER.fullmatch(text)
        if not header:
            if text.strip():
                notes.row(path, None, "byte %d: not a PanicLog entry, skipped: %r"
                          % (offsets[number], text[:60]))
            number += 1
            used = offsets[number - 1] - start + len(complete[number - 1]) + 1
            continue
        body_end = number + 1
        while body_end < len(complete) and not HEADER.fullmatch(read_text(complete[body_end])):
            body_end += 1
        body = [read_text(line) for line in complete[number + 1:body_end]]
        while body and not body[-1].strip():
            body.pop()
        entry = entry_of(header, body)
        if entry is None:
            if body_end == len(complete):
                break  # its reply line is not written yet
            notes.row(path, None, "byte %d: entry without its reply line, skipped"
                      % offsets[number])
        else:
            try:
                logged = log_time(header.group(1))
            except ValueError:
                notes.row(path, None, "byte %d: not a valid time, entry skipped"
                          % offsets[number])
            else:
                ordinal = ordinal + 1 if header.group(1) == second else 0
                second = header.group(1)
                entry.update(logged=logged, ordinal=ordinal)
                entries.append(entry)
        number = body_end
        used = offsets[number - 1] - start + len(complete[number - 1]) + 1
    notes.finish_file(path)
    return entries, used, second, ordinal


def entry_of(header, body):
    """kind, text and reply of an entry from its header and following lines."""
    replies = [index for index, line in enumerate(body) if line.startswith(REPLY)]
    if not replies:
        return None
    at = replies[0]
    reply = "\n".join([body[at][len(REPLY):]] + body[at + 1:])
    if header.group(2) is not None:
        text = "\n".join([header.group(2).lstrip(" ")] + body[:at])
        return {"kind": "warning", "text": text, "reply": reply}
    text = "\n".join(line[4:] if line.startswith("    ") else line for line in body[:at])
    return {"kind": "panic", "text": text, "reply": reply}

