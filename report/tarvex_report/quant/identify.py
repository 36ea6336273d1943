"""Which peak is which compound, around the retention times of the latest
accepted calibration (the peak table's where there is none).

A peak within a compound's window takes its name as the peak table says
(nearest pairs first). A compound left without a peak takes the nearest
peak no compound took within SEARCH_WINDOWS windows of its retention time:
that peak is reported as the compound with the flag rt-shift, rather than
the compound silently going missing or its peak being named otherwise."""

from dataclasses import dataclass, replace

from ..peaktable import name_peaks

SEARCH_WINDOWS = 2.0


@dataclass(frozen=True)
class Found:
    peak: object  # inputs.PeakRow
    shifted: bool  # outside the window: rt-shift

    @property
    def saturated(self):
        return "saturated" in self.peak.comment.split()


def place(compounds, centres):
    """The compounds at the retention times centres gives ({name: s}), the
    table's where it gives none."""
    return [replace(c, retention=centres.get(c.name, c.retention)) for c in compounds]


def identify(peaks, placed):
    """{compound name: Found} of the placed compounds found among the peaks."""
    names = name_peaks([p.retention for p in peaks], placed)
    found = {name: Found(peak, False) for name, peak in zip(names, peaks) if name}
    free = [i for i, name in enumerate(names) if not name]
    missing = [c for c in placed if c.name not in found]
    pairs = sorted((abs(peaks[i].retention - c.retention), i, c.name) for i in free
                   for c in missing if abs(peaks[i].retention - c.retention) <=
                   SEARCH_WINDOWS * c.window)
    for _, i, name in pairs:
        if name not in found and i in free:
            free.remove(i)
            found[name] = Found(peaks[i], True)
    return found
