// The two T-controllers: temperature reads, the once-a-second poll with its
// fault escalation, and the hardware status query.
#pragma once

#include <ctime>

struct GcRun;

// Errors met (0 to 4); on 0 one entry went into that controller's log.
int readTemperatures(GcRun* run, int address);
// 1 when TC1 failed three times in a row, else 2 for TC2, else 0.
int pollTemperatures(GcRun* run, time_t now);
// 0 for a good status, otherwise the status number reported.
int checkHardwareStatus(GcRun* run, int address);
