// The live status line: redrawn in place after every pass of the scheduler,
// it starts with a carriage return and never ends with a newline.
#include "output/statusLine.h"

#include <cstdio>

#include "run/gcRun.h"

namespace {

// Index of the current value of a log whose count is above 0.
int latest(int count, int capacity) {
  return (count < capacity ? count : capacity) - 1;
}

}  // namespace

void printStatusHeader() {
  printf("\n Time    PCC    GCC    PCW    GCW    PID         SampleVolume\n");
}

void printStatusLine(const GcRun* run) {
  const TcLog* first = &run->tc1Log;
  const TcLog* second = &run->tc2Log;
  if (first->count <= 0 || second->count <= 0) return;
  int i = latest(first->count, kTcLogCapacity);
  int j = latest(second->count, kTcLogCapacity);
  int time = first->time[i];
  double pcc = first->columnT[i];
  double gcc = second->columnT[j];
  double pcw = first->warmT[i];
  double gcw = second->warmT[j];

  const PidLog* pid = &run->pidLog;
  bool showReading = pid->count > 0 && run->pidState == pidAcquiring;
  // A reached target leaves sampledVolume negative; NaN fails the test as well.
  bool showVolume = run->targetVolume > 0 && run->sampledVolume >= 0.0F;
  double volume = run->sampledVolume;

  if (showReading) {
    double millivolts =
        static_cast<double>(pid->voltage[latest(pid->count, kPidLogCapacity)]) * 1000.0;
    if (showVolume) {
      printf("\r%4ds   %05.1f  %05.1f  %05.1f  %05.1f  %8.4fmV    %06.1fccm", time, pcc, gcc, pcw,
             gcw, millivolts, volume);
    } else {
      printf("\r%4ds   %05.1f  %05.1f  %05.1f  %05.1f  %8.4fmV    ", time, pcc, gcc, pcw, gcw,
             millivolts);
    }
  } else if (showVolume) {
    printf("\r%4ds   %05.1f  %05.1f  %05.1f  %05.1f  idle          %06.1fccm", time, pcc, gcc, pcw,
           gcw, volume);
  } else {
    printf("\r%4ds   %05.1f  %05.1f  %05.1f  %05.1f  idle          ", time, pcc, gcc, pcw, gcw);
  }
  fflush(stdout);
}
