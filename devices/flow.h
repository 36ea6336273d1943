// The two flow sensors, the sample volume they integrate, and their
// definition file.
#pragma once

#include <ctime>

struct GcRun;

struct FlowSensorDefinition {
  int fs1Address;
  float fs1FullScale;
  int fs2Address;
  float fs2FullScale;
  int samplingStart;
};

constexpr int kFlowFileOk = 0;
constexpr int kFlowFileMalformed = -1;
constexpr int kFlowFileUnreadable = -2;  // errno tells why

// Reads the definition file; kFlowFileOk, kFlowFileMalformed or kFlowFileUnreadable.
int readFlowSensorFile(const char* path, FlowSensorDefinition* definition);
// 0 done (or not recorded before the cycle); -1 sample sensor failed; -2 detector sensor failed.
int readFlows(GcRun* run);
void checkSampleVolume(GcRun* run, time_t now);
