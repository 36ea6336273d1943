"""Reading the files of a data root, where anything may have been put: only
regular files are opened (a FIFO would block the reader for good, a device
may never end), and no line is held whole when it is absurdly long."""

import os
import stat

from .problems import ROW, UnusableInput, excerpt

# A row of any of the controller's files is a few dozen bytes.
MAX_LINE_BYTES = 4096
SKIP_CHUNK = 1 << 16
OTHER_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"),
               (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
               (stat.S_ISSOCK, "a socket"))


def system_reason(error):
    return error.strerror or str(error)


def not_regular(mode):
    """Why a file of this mode is not read, or None for a regular file."""
    if stat.S_ISREG(mode):
        return None
    kind = next((name for test, name in OTHER_KINDS if test(mode)), "a special file")
    return "not a regular file but %s: not read" % kind


def open_regular(path):
    """A binary stream on path, a regular file. Anything else is refused
    before it is opened; the open itself does not wait (O_NONBLOCK) and the
    opened file must be the regular file looked at (a swap in between is
    refused too)."""
    try:
        seen = os.stat(path)
    except OSError as error:
        raise UnusableInput(path, "cannot be read: %s" % system_reason(error)) from None
    refused = not_regular(seen.st_mode)
    if refused:
        raise UnusableInput(path, refused)
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    try:
        handle = os.open(path, flags)
    except OSError as error:
        raise UnusableInput(path, "cannot be read: %s" % system_reason(error)) from None
    opened = os.fstat(handle)
    if not stat.S_ISREG(opened.st_mode) or (opened.st_dev, opened.st_ino) != \
            (seen.st_dev, seen.st_ino):
        os.close(handle)
        raise UnusableInput(path, "replaced while being opened: not read")
    return os.fdopen(handle, "rb")


def read_bytes(path, limit):
    """(the first limit bytes, whether that is the whole file) of a regular file."""
    with open_regular(path) as stream:
        try:
            data = stream.read(limit + 1)
        except OSError as error:
            raise UnusableInput(path, "cannot be read: %s" % system_reason(error)) from None
    return data[:limit], len(data) <= limit


def raw_lines(stream):
    """(number, text, ended, too_long) of each line of a binary stream: text
    without its line end, at most MAX_LINE_BYTES decoded (bytes that are no
    UTF-8 become U+FFFD); ended is False for a last line without a line end;
    the rest of a longer line is read past, never kept."""
    number = 0
    while True:
        raw = stream.readline(MAX_LINE_BYTES + 1)
        if not raw:
            return
        number += 1
        too_long = len(raw) > MAX_LINE_BYTES
        ended = raw.endswith(b"\n")
        if too_long and not ended:
            while True:
                rest = stream.readline(SKIP_CHUNK)
                if not rest or rest.endswith(b"\n"):
                    ended = bool(rest)
                    break
        text = raw[:MAX_LINE_BYTES].decode("utf-8", "replace")
        yield number, text[:-1] if ended and not too_long else text, ended, too_long


def complete_lines(path, stream, notes, what, edited=False):
    """(number, line) of every whole line of a reasonable length. A last
    line without a line end was cut off as it was written and is only
    noted (unless the file is edited by hand: edited=True takes it), and so
    is an overlong line (what: "row" or "line")."""
    for number, text, ended, too_long in raw_lines(stream):
        if too_long:
            notes.row(path, number, "%s longer than %d bytes, skipped: %s"
                      % (what, MAX_LINE_BYTES, excerpt(text)), ROW)
        elif not ended and not edited:
            if text.strip():
                notes.add(path, "truncated last row (no line end), ignored: %s" % excerpt(text),
                          number)
        else:
            yield number, text


def text_lines(path, notes, what, edited=False):
    """The whole lines of a regular file (UnusableInput when it cannot be
    read at all)."""
    with open_regular(path) as stream:
        try:
            yield from complete_lines(path, stream, notes, what, edited)
        except OSError as error:
            raise UnusableInput(path, "cannot be read: %s" % system_reason(error)) from None


# A standards file, a Meta file or a peak list is a few kilobytes.
SMALL_FILE_BYTES = 16 << 20


def read_text(path):
    """A small text file whole, from a regular file only; bytes that are no
    UTF-8 become U+FFFD. A file larger than any such file is refused."""
    data, whole = read_bytes(path, SMALL_FILE_BYTES)
    if not whole:
        raise UnusableInput(path, "larger than %d MiB: not read" % (SMALL_FILE_BYTES >> 20))
    return data.decode("utf-8", errors="replace")
