"""The processing settings: what makes a cycle's results what they are -- the
compounds of the peak table, the options, and this program's own analysis
code. Their id (12 hex digits) is written into each AIA file, each figure
and the index; `update` reprocesses every cycle once when it changes.

Comments and blank lines of the peak table, its file name and the drawing
code do not change the id: they change no result."""

import hashlib
import json
import os
from dataclasses import dataclass, field
from functools import cached_property

from . import DEFAULT_SNR, __version__

# The modules whose code makes the numbers of a result (peaks, names, the
# AIA file); a new version of any of them makes new results. The analysis
# alone (the peaks, before they are named) comes from the first two.
RESULT_MODULES = ("peaks.py", "results.py", "peaktable.py", "aia.py", "cycle.py")
ANALYSIS_MODULES = RESULT_MODULES[:2]
_digests = {}


def module_digest(names):
    """Digest of the version and of these modules' source, read once per process."""
    if names not in _digests:
        digest = hashlib.sha256(__version__.encode())
        folder = os.path.dirname(os.path.abspath(__file__))
        for name in names:
            try:
                with open(os.path.join(folder, name), "rb") as source:
                    digest.update(source.read())
            except OSError:  # installed without sources: the version alone
                pass
        _digests[names] = digest.hexdigest()[:16]
    return _digests[names]


@dataclass(frozen=True)
class Settings:
    compounds: tuple = ()
    snr: float = DEFAULT_SNR
    table: str = None  # the peak table's file name, for people; not part of the id
    extra: dict = field(default_factory=dict)  # parts added by later processing steps

    def parts(self):
        return {"report": __version__, "code": module_digest(RESULT_MODULES), "snr": self.snr,
                "compounds": [[c.name, c.retention, c.window] for c in self.compounds],
                **self.extra}

    @cached_property
    def id(self):
        text = json.dumps(self.parts(), sort_keys=True, separators=(",", ":"))
        return hashlib.sha256(text.encode()).hexdigest()[:12]

    @cached_property
    def analysis_id(self):
        """Names what the peaks found depend on: the code that reads the
        trace and finds them, and the signal-to-noise threshold; not the
        peak table, which only names them."""
        text = json.dumps([module_digest(ANALYSIS_MODULES), self.snr])
        return hashlib.sha256(text.encode()).hexdigest()[:12]

    def describe(self):
        """One sentence for the AIA file's comments."""
        table = ("peak table %s (%d compounds)" % (self.table, len(self.compounds))
                 if self.compounds else "no peak table")
        return "Settings %s: tarvex-report %s, %s, signal-to-noise at least %g." % (
            self.id, __version__, table, self.snr)

    def record(self, since):
        """The settings as the index shows them."""
        snr = int(self.snr) if self.snr == int(self.snr) else self.snr
        return {"id": self.id, "peaks": self.table if self.compounds else None, "snr": snr,
                "since": since}
