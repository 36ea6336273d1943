// The live status line on the console.
#pragma once

struct GcRun;

void printStatusHeader();
void printStatusLine(const GcRun* run);
