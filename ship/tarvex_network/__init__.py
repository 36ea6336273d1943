"""tarvex-network: the Network page's read-only JSON application over the
central database that tarvex-ship fills."""
