#include "run/stopSignals.h"

#include <signal.h>

#include <cstdio>

namespace {
volatile sig_atomic_t firstStopSignal = 0;

void recordStopSignal(int signal) {
  if (firstStopSignal == 0) firstStopSignal = signal;
}

void catchSignal(int signal) {
  struct sigaction current = {};
  if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) return;
  struct sigaction action = {};
  action.sa_handler = recordStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
}
}  // namespace

void catchStopSignals() {
  // A console that went away (a pipe whose reader ended) must not end the run
  // with the heaters on: the write fails with EPIPE and is dropped.
  signal(SIGPIPE, SIG_IGN);
  catchSignal(SIGINT);
  catchSignal(SIGTERM);
  catchSignal(SIGHUP);
}

int stopSignal() {
  return firstStopSignal;
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default: {
      static char other[24];
      snprintf(other, sizeof other, "signal %d", signal);
      return other;
    }
  }
}
