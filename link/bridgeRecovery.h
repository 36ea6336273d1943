// Bringing the bridge up at start-up, and the two ways to recover it.
#pragma once

struct GcRun;

void initBridge(GcRun* run, const char* path);
void reopenPort(GcRun* run);
void resetBridge(GcRun* run);
