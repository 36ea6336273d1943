#include "run/gcRun.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

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

// Sleeps to a deadline on the monotonic clock, so a signal that wakes the
// sleep early does not shorten a pause the devices rely on.
void pauseMs(int milliseconds) {
  if (milliseconds <= 0) return;
  struct timespec deadline = {};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  long long nanoseconds = deadline.tv_nsec + static_cast<long long>(milliseconds) * 1000000LL;
  deadline.tv_sec += static_cast<time_t>(nanoseconds / 1000000000LL);
  deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000LL);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}
