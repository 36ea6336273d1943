"""tarvex-ship: ships every cycle of a Tarvex instrument into the network's
central PostgreSQL, store and forward."""

__version__ = "1.0.0"
