// The method: a timed list of device commands, loaded at start-up and played
// during the cycle.
#pragma once

struct GcRun;

constexpr int kMethodOk = 0;
constexpr int kMethodUndecodable = -1;  // also: more rows than the table holds
constexpr int kMethodUnreadable = -2;   // errno tells why

int loadMethod(GcRun* run, const char* path);
// 0 done; 1 incomplete acknowledge; 2 wrong acknowledge (T-controllers only).
int sendMethodStep(GcRun* run, int index);
