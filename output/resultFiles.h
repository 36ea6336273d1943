// The dated data folder and the result files written at the end of a cycle.
#pragma once

struct GcRun;

void prepareDataFolder(GcRun* run);
void writeTemperatureLogs(GcRun* run);
void writeFlowLog(GcRun* run);
void writePidFile(GcRun* run);
