"""tarvex-report: the cycle report of the Tarvex gas chromatograph -- peaks
found and integrated, the cycle plotted and exported in the AIA/ANDI
chromatography format, and the trend of each compound across cycles."""

__version__ = "1.0"
# Smallest signal-to-noise (2H/h) of a reported peak.
DEFAULT_SNR = 10.0
