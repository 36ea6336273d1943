#include "run/scheduler.h"

#include <cstdio>
#include <ctime>

#include "devices/detector.h"
#include "devices/flow.h"
#include "devices/temperature.h"
#include "link/bridge.h"
#include "link/serialPort.h"
#include "output/panicLog.h"
#include "output/resultFiles.h"
#include "output/runtimeDump.h"
#include "output/statusLine.h"
#include "run/gcRun.h"
#include "run/method.h"
#include "run/stopSignals.h"

namespace {
constexpr int kPassPauseWithVolumeMs = 60;
constexpr int kPassPauseMs = 80;
constexpr int kRetryLimit = 2;     // a retry counter above this aborts the run
constexpr int kEndMarginS = 10;    // the cycle ends this many seconds before cycleTime
constexpr int kCommandGapMs = 40;  // after each command of the shutdown
constexpr int kShutdownHoldMs = 1000;
constexpr int kGpioSettleMs = 500;
constexpr int kGpioOffMs = 100;
constexpr int kExitAborted = 20;
constexpr int kExitFilesIncomplete = 21;
constexpr int kExitSignalBase = 128;

void sendDueStep(GcRun* run, time_t now, int* abortRun) {
  if (run->nextStep >= run->stepCount) return;
  if (!(run->cycleStart + run->steps[run->nextStep].time < now)) return;
  int result = sendMethodStep(run, run->nextStep);
  if (result == 0) {
    ++run->nextStep;
  } else if (result > 0) {
    printf("retrying... ");
    if (run->tc1Retries > kRetryLimit || run->tc2Retries > kRetryLimit) *abortRun = 1;
  }
}

// The result files with what was collected so far; an abort leaves the flow
// log out.
void writeResultFiles(GcRun* run, int withFlowLog) {
  prepareDataFolder(run);
  writeTemperatureLogs(run);
  if (withFlowLog) writeFlowLog(run);
  writePidFile(run);
}

// The cycle ran, but a result file is incomplete: said, logged, and shown in
// the exit status unless an abort or a stop signal already tells of trouble.
int withResultFilesChecked(GcRun* run, int status) {
  if (reportIncompleteResultFiles(run) == 0) return status;
  return status == 0 ? kExitFilesIncomplete : status;
}

void printFaultSummary(const GcRun* run) {
  printf("T1 faults: %d\tT2 faults: %d\n", run->tc1Faults, run->tc2Faults);
  printf("T1retries: %d\tT2retries: %d\n", run->tc1Retries, run->tc2Retries);
}

// A stop signal ends the cycle like an abort, but nothing is lost: the flow
// log is written too, and the instrument is shut down.
int endInterruptedRun(GcRun* run, int signal) {
  printf("\nRun interrupted by %s.\n", signalName(signal));
  writeResultFiles(run, run->targetVolume > 0);
  shutdownInstrument(run, kReasonInterrupted, signal);
  printFaultSummary(run);
  int status = withResultFilesChecked(run, kExitSignalBase + signal);
  closePort(run);
  return status;
}

// The same command to both T-controllers, each followed by its pause.
void commandBothControllers(GcRun* run, const char* text, int length) {
  sendCommand(run, run->tc1Address, text, length);
  pauseMs(kCommandGapMs);
  sendCommand(run, run->tc2Address, text, length);
  pauseMs(kCommandGapMs);
}
}  // namespace

int tick(GcRun* run) {
  time_t now = time(nullptr);
  int abortRun = 0;

  sendDueStep(run, now, &abortRun);
  updatePidWindow(run, now);
  if (run->nextPidRead < now && run->pidState == pidAcquiring) pidRead(run);
  if (run->nextTcRead < now && pollTemperatures(run, now) > 0) abortRun = 1;
  if (run->targetVolume > 0 && run->nextFlowRead < now) readFlows(run);
  if (!run->silent) printStatusLine(run);
  if (run->runtimeDump) dumpRuntime(run);
  checkSampleVolume(run, now);
  if (run->cycleStart + run->cycleTime - kEndMarginS < now) {
    writeResultFiles(run, run->targetVolume > 0);
    run->cycleDone = 1;
  }
  return abortRun;
}

void shutdownInstrument(GcRun* run, int reason, int status) {
  pauseMs(kShutdownHoldMs);
  commandBothControllers(run, "STC000", 6);
  commandBothControllers(run, "F__1", 4);
  commandBothControllers(run, "P__0", 4);
  pidPowerOff(run);

  writeBridgeRegister(run, kRegI2cSetting, kI2cSettingNormal);
  pauseMs(kCommandGapMs);
  pauseMs(kGpioSettleMs);
  writeBridgeRegister(run, kRegGpioState, kGpioStateNormal);
  pauseMs(kCommandGapMs);
  writeBridgeRegister(run, kRegGpioConfig, kGpioAllOutputs);
  pauseMs(kCommandGapMs);
  writeBridgeRegister(run, kRegGpioState, kGpioStateOff);
  pauseMs(kGpioOffMs);
  writeBridgeRegister(run, kRegGpioState, kGpioStateNormal);
  pauseMs(kCommandGapMs);

  char text[256];
  if (reason == kReasonTc1HardwareStatus) {
    snprintf(text, sizeof text, "  T-controller 64 HWstatus = %d", status);
  } else if (reason == kReasonTc2HardwareStatus) {
    snprintf(text, sizeof text, "  T-controller 66 HWstatus = %d", status);
  } else if (reason == kReasonInterrupted) {
    snprintf(text, sizeof text, "  interrupted by %s", signalName(status));
  } else {
    snprintf(text, sizeof text,
             "  T64 faults: %3d  seq_faults: %3d  retries: %3d  T66 faults: %3d  seq_faults: %3d  "
             "retries: %3d",
             run->tc1Faults, run->tc1SeqFaults, run->tc1Retries, run->tc2Faults, run->tc2SeqFaults,
             run->tc2Retries);
  }
  panicLog(run, kPanic, text);
}

int runMainLoop(GcRun* run) {
  int workResult = 0;
  while (run->cycleDone == 0 && workResult == 0) {
    pauseMs(run->targetVolume > 0 ? kPassPauseWithVolumeMs : kPassPauseMs);
    workResult = tick(run);
    // A signal is acted on once its pass is over; a cycle that ended in that
    // pass, or a run that must abort, takes its own way out.
    if (run->cycleDone == 0 && workResult == 0 && stopSignal() != 0) {
      return endInterruptedRun(run, stopSignal());
    }
  }

  if (workResult == 0) {
    printf("Done.\n\n");
  } else {
    writeResultFiles(run, 0);
    shutdownInstrument(run, workResult, 0);
    printf("\nRun aborted.\n");
    printFaultSummary(run);
    printf("Workresult: %d\n", workResult);
  }
  int status = withResultFilesChecked(run, workResult == 0 ? 0 : kExitAborted);
  closePort(run);
  return status;
}
