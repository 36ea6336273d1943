// Mirror of the running cycle for other programs to read.
#pragma once

struct GcRun;

extern const char* const kRuntimeDumpFolder;  // "/run/Tarvex_rt"

void dumpRuntime(GcRun* run);
