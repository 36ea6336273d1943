"""Times as the instrument writes them, local and without offset, made
absolute. The stamp of a cycle (YYYY-MM-DD_HH-MM-SS) and the time of a
PanicLog entry are the instrument computer's local time: they get the UTC
offset that zone had then (summer time included), as the C library reads
the zone (TZ, else /etc/localtime). In the hour repeated when summer time
ends, the earlier of the two offsets is taken."""

from datetime import datetime

STAMP_FORMAT = "%Y-%m-%d_%H-%M-%S"
LOG_FORMAT = "%Y-%m-%d %H:%M:%S"


def absolute(text, layout):
    """The aware time of a local time text; ValueError if it is none."""
    return datetime.strptime(text, layout).astimezone()


def stamp_time(stamp):
    return absolute(stamp, STAMP_FORMAT)


def log_time(text):
    return absolute(text, LOG_FORMAT)
