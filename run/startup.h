// From the command line to the first pass of the main loop.
#pragma once

struct GcRun;

// The one run record, created after the command-line checks.
extern GcRun* theRun;

// The process's exit status: 255 for every failure before the cycle, else
// what the main loop decides.
int runTarvex(int argc, char** argv);
