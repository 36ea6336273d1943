// The dated data folder and the result files written at the end of a cycle.
#pragma once

struct GcRun;

void prepareDataFolder(GcRun* run);
void writeTemperatureLogs(GcRun* run);
void writeFlowLog(GcRun* run);
void writePidFile(GcRun* run);
// Names each result file of the run that did not reach the disk whole, with
// the reason, and leaves a panic entry; the number of such files (0: none,
// nothing said).
int reportIncompleteResultFiles(GcRun* run);
