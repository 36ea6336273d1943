"""What goes wrong with input files, said the same way everywhere."""

import sys

PROGRAM = "tarvex-report"


class UnusableInput(Exception):
    """An input file that cannot be used at all: nothing of it is reported."""

    def __init__(self, path, reason, line=None):
        super().__init__(where(path, line) + reason)
        self.path = path
        self.reason = reason
        self.line = line


def where(path, line=None):
    return "%s, line %d: " % (path, line) if line else "%s: " % path


def say(message):
    """One line on standard error, prefixed with the program's name."""
    print("%s: %s" % (PROGRAM, message), file=sys.stderr, flush=True)


class Notes:
    """Messages about a file that could still be used, kept in order so that
    a worker process can hand them back to be printed."""

    # Rows skipped beyond this many are counted, not listed.
    LISTED_PER_FILE = 5

    def __init__(self):
        self.lines = []
        self._listed = {}
        self._unlisted = {}

    def add(self, path, reason, line=None):
        self.lines.append(where(path, line) + reason)

    def row(self, path, line, reason):
        """A skipped row: the first few are named, the rest counted."""
        listed = self._listed.get(path, 0)
        if listed < self.LISTED_PER_FILE:
            self._listed[path] = listed + 1
            self.add(path, reason, line)
        else:
            self._unlisted[path] = self._unlisted.get(path, 0) + 1

    def finish(self):
        for path, count in self._unlisted.items():
            self.add(path, "%d more unreadable rows skipped" % count)
        self._unlisted.clear()
        return self.lines

    def print_all(self):
        for line in self.finish():
            say(line)
        self.lines = []
