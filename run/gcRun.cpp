#include "run/gcRun.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

int setCycleTime(GcRun* run, int seconds) {
  if (seconds < 0) return -1;
  run->cycleTime = seconds;
  return 0;
}

int setPidDuration(GcRun* run, int seconds) {
  if (seconds < 0) return -1;
  run->pidDuration = seconds;
  return 0;
}

int setPidDelay(GcRun* run, int seconds) {
  if (seconds < 0) return -1;
  run->pidDelay = seconds;
  return 0;
}

int setRootFolder(GcRun* run, const char* text) {
  if (strcmp(text, "missing") == 0) return -1;
  snprintf(run->rootFolder, sizeof run->rootFolder, "%s", text);
  return 0;
}

int setDailySub(GcRun* run, int value) {
  run->dailySub = value;
  return 0;
}

void pauseMs(int milliseconds) {
  usleep(static_cast<useconds_t>(milliseconds) * 1000U);
}
