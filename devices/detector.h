// The detector's A/D converter: start, power, the acquisition window and the
// once-a-second reading.
#pragma once

#include <ctime>

struct GcRun;

void pidStart(GcRun* run);
void pidPowerOn(GcRun* run);
void pidPowerOff(GcRun* run);
void updatePidWindow(GcRun* run, time_t now);
void pidRead(GcRun* run);
