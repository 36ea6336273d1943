#include "run/startup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "devices/detector.h"
#include "devices/flow.h"
#include "devices/temperature.h"
#include "link/bridgeRecovery.h"
#include "link/serialPort.h"
#include "output/panicLog.h"
#include "output/statusLine.h"
#include "run/commandLine.h"
#include "run/gcRun.h"
#include "run/method.h"
#include "run/scheduler.h"
#include "run/stopSignals.h"

namespace {
constexpr int kStartupPauseMs = 40;
constexpr int kFlowTestReads = 3;
constexpr int kExitSignalBase = 128;

void configureRun(GcRun* run, const CommandLine* line) {
  setRootFolder(run, line->rootFolder);
  setPidDuration(run, line->pidDuration);
  setCycleTime(run, line->cycleTime);
  setPidDelay(run, line->pidDelay);
  setDailySub(run, line->dailySub);
  run->silent = line->silent;
  run->runtimeDump = line->runtimeDump;
  run->pidGain = line->pidGain;
}

// Reads both sensors three times before the cycle; only the last read counts.
int testFlowSensors(GcRun* run, const CommandLine* line, const FlowSensorDefinition* sensors) {
  run->fs1Address = sensors->fs1Address;
  run->fs1FullScale = sensors->fs1FullScale;
  run->fs2Address = sensors->fs2Address;
  run->fs2FullScale = sensors->fs2FullScale;
  run->targetVolume = line->sampleVolume;
  run->samplingStart = sensors->samplingStart;

  int result = 0;
  for (int i = 0; i < kFlowTestReads; ++i) result = readFlows(run);
  if (result == -1) {
    printf("Sample flow sensor reading failed, exit!\n");
    panicLog(run, kWarning, "Sample flow sensor reading failed");
    return kStartupFailure;
  }
  if (result == -2) {
    printf("Detector flow sensor reading failed, exit!\n");
    panicLog(run, kWarning, "Detector flow sensor reading failed");
    return kStartupFailure;
  }
  return 0;
}

// A stop signal during the start-up ends it once the step in progress is
// done. Once the bridge is up the instrument may already be warm or the
// detector on, so it is shut down first.
int startupInterrupted(GcRun* run, int bridgeUp) {
  int signal = stopSignal();
  if (signal == 0) return 0;
  if (bridgeUp) shutdownInstrument(run, kReasonInterrupted, signal);
  printf("Start-up interrupted by %s: no cycle was started.\n", signalName(signal));
  return kExitSignalBase + signal;
}

int loadMethodOrRefuse(GcRun* run, const char* path) {
  int loaded = loadMethod(run, path);
  if (loaded == kMethodUnreadable) {
    printf("Cannot open method file %s: %s. Abort.\n", path, strerror(errno));
    return kStartupFailure;
  }
  if (loaded == kMethodReadFailed) {
    printf("Cannot read method file %s: %s. Abort.\n", path, strerror(errno));
    return kStartupFailure;
  }
  if (loaded != kMethodOk) {
    printf("Error decoding file, abort\n");
    return kStartupFailure;
  }
  return 0;
}

int checkController(GcRun* run, int address, int reason) {
  int status = checkHardwareStatus(run, address);
  if (status == 0) return 0;
  printf("T-controller Address %d Hardware status =%d. \nAbort.\n", address, status);
  shutdownInstrument(run, reason, status);
  return kStartupFailure;
}
}  // namespace

// The run record lives until the process ends and is never freed. Held in a
// global so that it stays reachable to the very end and leak checkers do not
// report it.
GcRun* theRun = nullptr;

int runTarvex(int argc, char** argv) {
  // Whoever tails the console through a pipe sees every message as it is printed.
  setvbuf(stdout, nullptr, _IONBF, 0);
  catchStopSignals();

  CommandLine line;
  parseCommandLine(argc, argv, &line);
  FlowSensorDefinition flowSensors;
  if (int refused = checkCommandLine(&line, &flowSensors)) return refused;

  theRun = new GcRun;
  GcRun* run = theRun;
  if (int stopped = startupInterrupted(run, 0)) return stopped;
  if (openPort(run, line.portPath) < 0) return kStartupFailure;
  configureRun(run, &line);

  if (int refused = loadMethodOrRefuse(run, line.methodPath)) return refused;
  if (int stopped = startupInterrupted(run, 0)) return stopped;

  unsigned char trash[kReplySize];
  int stale = readReply(run, trash);
  if (stale > 0) printf("There were %d bytes of trash in the serial port buffer\n", stale);

  initBridge(run, line.portPath);
  pauseMs(kStartupPauseMs);
  if (int stopped = startupInterrupted(run, 1)) return stopped;

  if (line.sampleVolume > 0) {
    if (int failed = testFlowSensors(run, &line, &flowSensors)) return failed;
    if (int stopped = startupInterrupted(run, 1)) return stopped;
  }

  run->cycleStart = time(nullptr);
  if (int failed = checkController(run, run->tc1Address, kReasonTc1HardwareStatus)) return failed;
  if (int stopped = startupInterrupted(run, 1)) return stopped;
  pauseMs(kStartupPauseMs);
  if (int failed = checkController(run, run->tc2Address, kReasonTc2HardwareStatus)) return failed;
  if (int stopped = startupInterrupted(run, 1)) return stopped;
  pauseMs(kStartupPauseMs);
  pidStart(run);
  if (int stopped = startupInterrupted(run, 1)) return stopped;

  if (!run->silent) printStatusHeader();
  return runMainLoop(run);
}
