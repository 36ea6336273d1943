// Stop requests from outside: SIGINT (Ctrl-C), SIGTERM (systemctl stop, a
// shutdown) and SIGHUP (the terminal went away). The handler only records the
// first one; the run decides when to act on it, so no cycle ends half written
// and the instrument is never left hot.
#pragma once

// Catches the three signals, except those the caller of the program asked to
// ignore (nohup, for one). Interrupted system calls restart. SIGPIPE is
// ignored: console output to a closed pipe is lost, the run goes on.
void catchStopSignals();
// The first stop signal that arrived, or 0.
int stopSignal();
// "SIGINT", "SIGTERM", "SIGHUP", or "signal N" for any other.
const char* signalName(int signal);
