#include "devices/detector.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "devices/replies.h"
#include "link/bridge.h"
#include "run/gcRun.h"

namespace {
constexpr int kConverterPauseMs = 70;
constexpr int kPowerOnLeadS = 45;  // the converter needs its time before the window
constexpr int kReadingCount = 16;
}  // namespace

void pidStart(GcRun* run) {
  sendCommand(run, run->pidAddress, "I", 1);
  pauseMs(kConverterPauseMs);
}

void pidPowerOn(GcRun* run) {
  sendToDevice(run, run->pidAddress, "1", 1);
  pauseMs(kConverterPauseMs);
  const char gain[3] = {'G', static_cast<char>(run->pidGain), '\0'};
  for (int i = 0; i < 2; ++i) {
    sendToDevice(run, run->pidAddress, "DR", 2);
    printf("\nPID: Set DR\n");
    pauseMs(kConverterPauseMs);
    sendToDevice(run, run->pidAddress, gain, 2);
    printf("PID: Set G%X\n", static_cast<unsigned>(run->pidGain));
    pauseMs(kConverterPauseMs);
  }
}

void pidPowerOff(GcRun* run) {
  sendToDevice(run, run->pidAddress, "0", 1);
  pauseMs(kConverterPauseMs);
}

void updatePidWindow(GcRun* run, time_t now) {
  time_t windowStart = run->cycleStart + run->pidDelay;
  time_t windowEnd = windowStart + run->pidDuration;
  if (windowStart - kPowerOnLeadS < now && now < windowEnd && run->pidState == pidIdle) {
    pidPowerOn(run);
    run->pidState = pidPowered;
  } else if (windowStart < now && now < windowEnd) {
    run->pidState = pidAcquiring;
  } else if (windowEnd < now && run->pidState > pidIdle) {
    pidPowerOff(run);
    run->pidState = pidIdle;
  }
}

void pidRead(GcRun* run) {
  // Bytes the reply does not reach stay 'X', which never parses as a number.
  char reply[kDetectorReplySize];
  memset(reply, 'X', sizeof reply);
  readFromDevice(run, run->pidAddress, reinterpret_cast<unsigned char*>(reply), kReadingCount);
  DetectorReading reading = parseDetectorReply(reply);

  PidLog& log = run->pidLog;
  if (detectorReadingAccepted(reading)) {
    if (log.count < kPidLogCapacity) {
      log.time[log.count] = static_cast<int32_t>(time(nullptr) - run->cycleStart - run->pidDelay);
      log.voltage[log.count] = reading.volts;
      log.status[log.count] = reading.status > 0 ? reading.status : 0;
      ++log.count;
    } else if (!run->pidLogFullSaid) {
      printf("Detector log is full (%d readings): further readings are dropped.\n",
             kPidLogCapacity);
      run->pidLogFullSaid = 1;
    }
  }
  run->nextPidRead = time(nullptr);
  pauseMs(kConverterPauseMs);
}
