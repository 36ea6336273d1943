"""What goes wrong with input files, said the same way everywhere: one line
naming the file (and the row), short enough for a journal, each kind of
problem listed a few times per file and then counted."""

import contextlib
import sys
import warnings

PROGRAM = "tarvex-report"
# A whole line on standard error, the program's name included.
LINE_CHARS = 200
PATH_CHARS = 100
EXCERPT_CHARS = 40
ELLIPSIS = "\u2026"
# Kinds of problem that can repeat within a file, and how the rest are counted.
ROW, RANGE, TABLE_LINE, WARNING, MISSING, UNUSABLE = (
    "row", "range", "table line", "warning", "missing", "unusable")
MORE = {ROW: "%d more unreadable rows skipped", RANGE: "%d more readings out of range skipped",
        TABLE_LINE: "%d more bad lines skipped", WARNING: "%d more numerical warnings"}
ABOUT = {ROW: "unreadable rows", RANGE: "readings out of range", TABLE_LINE: "bad lines",
         WARNING: "numerical warnings", MISSING: "missing files",
         UNUSABLE: "cycles that cannot be reported"}
# Control characters would break the one line; shown escaped instead.
CONTROLS = {code: "\\x%02x" % code for code in list(range(32)) + [127]}


class UnusableInput(Exception):
    """An input file that cannot be used at all: nothing of it is reported."""

    def __init__(self, path, reason, line=None):
        super().__init__(message(path, reason, line))
        self.path = path
        self.reason = reason
        self.line = line


def printable(text):
    """The text on one line: control characters escaped, and what is no
    Unicode (undecodable bytes in a file name) as "?"."""
    text = str(text).encode("utf-8", "replace").decode("utf-8")
    return text.translate(CONTROLS)


def shorten(text, limit):
    """At most limit characters, the end cut off and marked by an ellipsis;
    Python's characters are whole code points, so no UTF-8 sequence is cut."""
    return text if len(text) <= limit else text[:limit - 1] + ELLIPSIS


def shorten_path(path, limit=PATH_CHARS):
    """At most limit characters, keeping the start and, whole where they fit,
    the file's name and folder at the end."""
    text = printable(path)
    if len(text) <= limit:
        return text
    last = text.rfind("/")
    tail = len(text) - (text.rfind("/", 0, last) if last > 0 else last)
    if tail > limit - 10:
        tail = min(len(text) - last, limit - 10)
    return text[:limit - tail - 1] + ELLIPSIS + text[len(text) - tail:]


def excerpt(line):
    """A row as it stands in the file, quoted, cut to EXCERPT_CHARS."""
    quoted = repr(shorten(line, EXCERPT_CHARS))
    limit = 2 * EXCERPT_CHARS  # escapes of binary bytes take four characters each
    return quoted if len(quoted) <= limit else quoted[:limit - 1] + ELLIPSIS


def where(path, line=None):
    return "%s, line %d: " % (shorten_path(path), line) if line else "%s: " % shorten_path(path)


def message(path, reason, line=None):
    """One bounded line about a file, without the program's name."""
    return shorten(where(path, line) + printable(reason), LINE_CHARS - len(PROGRAM) - 2)


def say(text):
    """One line on standard error, prefixed with the program's name."""
    line = shorten(printable(text), LINE_CHARS - len(PROGRAM) - 2)
    print("%s: %s" % (PROGRAM, line), file=sys.stderr, flush=True)


class Notes:
    """Messages about files that could still be used, kept in order so that
    a worker process can hand them back to be printed: (kind, path, text)."""

    # Problems of one kind beyond this many in one file are counted, not listed.
    LISTED_PER_FILE = 5

    def __init__(self):
        self.lines = []
        self._seen = {}

    def add(self, path, reason, line=None, kind=None):
        if kind is not None:
            seen = self._seen[path, kind] = self._seen.get((path, kind), 0) + 1
            if seen > self.LISTED_PER_FILE:
                return
        self.lines.append((kind, path, message(path, reason, line)))

    def row(self, path, line, reason, kind=ROW):
        """A skipped row: the first few of its kind are named, the rest counted."""
        self.add(path, reason, line, kind)

    def finish(self):
        for (path, kind), seen in self._seen.items():
            if seen > self.LISTED_PER_FILE:
                more = MORE.get(kind, "%%d more of the kind '%s'" % kind)
                self.lines.append((kind, path, message(path, more % (seen - self.LISTED_PER_FILE))))
        self._seen.clear()
        return self.lines

    def print_all(self):
        for _, _, text in self.finish():
            say(text)
        self.lines = []


class RunLog:
    """Prints the notes of many cycles: each kind of problem for at most a
    few files per run, so that reprocessing a year of cycles does not flood
    the journal; the rest are counted."""

    FILES_PER_RUN = 5

    def __init__(self):
        self._files = {}
        self._unshown = {}

    def print(self, lines):
        for kind, path, text in lines:
            if kind is not None:
                files = self._files.setdefault(kind, set())
                if path not in files and len(files) >= self.FILES_PER_RUN:
                    count, paths = self._unshown.get(kind, (0, set()))
                    self._unshown[kind] = (count + 1, paths | {path})
                    continue
                files.add(path)
            say(text)

    def finish(self):
        for kind, (count, paths) in self._unshown.items():
            say("%d more message%s about %s, from %d more file%s, not shown" % (
                count, "" if count == 1 else "s", ABOUT.get(kind, kind), len(paths),
                "" if len(paths) == 1 else "s"))
        self._unshown.clear()


@contextlib.contextmanager
def warnings_noted(notes, path, doing):
    """Warnings of numpy, scipy or matplotlib while doing something with a
    file become notes about that file (bounded like the rest), never
    Python's own two lines with a line of source code."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield
    for warning in caught:
        notes.add(path, "%s: %s: %s" % (doing, warning.category.__name__,
                                        str(warning.message).split("\n")[0]), kind=WARNING)


def show_warning(text, category, filename, lineno, file=None, line=None):
    """A warning outside any file's processing: one bounded line, no source."""
    say("warning: %s: %s" % (category.__name__, str(text).split("\n")[0]))
