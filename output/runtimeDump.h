// Mirror of the running cycle for other programs to read.
#pragma once

struct GcRun;

extern const char* const kRuntimeDumpFolder;  // "/run/Tarvex_rt"

void dumpRuntime(GcRun* run);

// Points the dump at another folder; the program itself always uses
// kRuntimeDumpFolder, which belongs to the installation. For tests.
void setRuntimeDumpFolder(const char* folder);
