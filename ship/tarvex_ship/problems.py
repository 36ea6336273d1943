"""Exit statuses and messages, said the same way everywhere: one line on
standard error, prefixed with the program's name, naming the file."""

import sys

PROGRAM = "tarvex-ship"

SHIPPED = 0  # everything new is in the database
FAILED = 1  # anything else: the message says what
BAD_INPUT = 2  # a command line, a configuration or a file that cannot be used
UNREACHABLE = 75  # EX_TEMPFAIL: the database could not be reached; the backlog stays
STOPPED = 143  # SIGTERM: stopped between two batches; the rest waits for the next run

# A message longer than this is cut: a libpq error can run over many lines.
MESSAGE_LIMIT = 400


def say(message):
    line = " ".join(str(message).strip().splitlines())
    if len(line) > MESSAGE_LIMIT:
        line = line[:MESSAGE_LIMIT - 3] + "..."
    print("%s: %s" % (PROGRAM, line), file=sys.stderr, flush=True)


def where(path, line=None):
    return "%s, line %d: " % (path, line) if line else "%s: " % path


class BadInput(Exception):
    """A command line or configuration that cannot be used: nothing is shipped."""


class Refused(Exception):
    """The database refuses this client (schema, role): retrying will not help."""


class Notes:
    """What was found wrong in the files of a run. unusable() marks a file (or
    a part of it) that could not be shipped: the run then ends with status 2;
    add() is a remark about a row skipped, the rest was shipped."""

    LISTED_PER_FILE = 5

    def __init__(self):
        self.unusable_count = 0
        self._listed = {}
        self._unlisted = {}

    def add(self, path, reason, line=None):
        say(where(path, line) + reason)

    def unusable(self, path, reason, line=None):
        self.unusable_count += 1
        self.add(path, reason, line)

    def row(self, path, line, reason):
        listed = self._listed.get(path, 0)
        if listed < self.LISTED_PER_FILE:
            self._listed[path] = listed + 1
            self.add(path, reason, line)
        else:
            self._unlisted[path] = self._unlisted.get(path, 0) + 1

    def finish_file(self, path):
        count = self._unlisted.pop(path, 0)
        self._listed.pop(path, None)
        if count:
            self.add(path, "%d more unreadable rows skipped" % count)
