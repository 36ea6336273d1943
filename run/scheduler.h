// The cycle: the main loop, one scheduler pass, and the shutdown sequence.
#pragma once

struct GcRun;

constexpr int kReasonTc1HardwareStatus = 21;
constexpr int kReasonTc2HardwareStatus = 22;
// A stop signal ended the run; the status passed along is the signal number.
constexpr int kReasonInterrupted = 23;

// One pass; 1 when the run must be aborted, otherwise 0.
int tick(GcRun* run);
void shutdownInstrument(GcRun* run, int reason, int status);
// Runs the cycle to its end; the exit status (0 done, 20 aborted, 21 done
// but a result file incomplete, 128 + the signal number when a stop signal
// ended it).
int runMainLoop(GcRun* run);
