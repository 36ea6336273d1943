// PanicLog: the lasting record of warnings and panics, in the working directory.
#pragma once

struct GcRun;

constexpr int kWarning = 0;
constexpr int kPanic = 1;

// kind <= 0 writes a warning entry, kind > 0 a panic entry.
void panicLog(const GcRun* run, int kind, const char* text);
