#include "devices/flow.h"

#include <cstdio>
#include <ctime>

#include "devices/replies.h"
#include "link/bridge.h"
#include "link/serialPort.h"
#include "run/gcRun.h"

namespace {
constexpr int kFlowReplyCount = 3;
constexpr int kAfterSensorMs = 40;
constexpr int kStopCommandGapMs = 40;
constexpr float kVolumeReached = -1000.0F;

// One sensor: the flow in ccm per minute, or false when it answered short.
bool readSensor(GcRun* run, int address, float fullScale, float* flow) {
  unsigned char reply[kReplySize];
  int received = readFromDevice(run, address, reply, kFlowReplyCount);
  if (received <= 2) return false;
  *flow = flowFromReply(reply, fullScale);
  return true;
}
}  // namespace

int readFlowSensorFile(const char* path, FlowSensorDefinition* definition) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) return kFlowFileUnreadable;

  unsigned int fs1 = 0;
  unsigned int fs2 = 0;
  int result = kFlowFileOk;
  if (fscanf(file, "FS1: %x\t %f\n", &fs1, &definition->fs1FullScale) != 2 ||
      fscanf(file, "FS2: %x\t %f\n", &fs2, &definition->fs2FullScale) != 2 ||
      fscanf(file, "SAMPLING_STARTTIME: %d\n", &definition->samplingStart) != 1) {
    result = kFlowFileMalformed;
  }
  fclose(file);
  definition->fs1Address = static_cast<int>(fs1);
  definition->fs2Address = static_cast<int>(fs2);
  return result;
}

int readFlows(GcRun* run) {
  float sampleFlow = 0.0F;
  if (!readSensor(run, run->fs1Address, run->fs1FullScale, &sampleFlow)) return -1;
  pauseMs(kAfterSensorMs);
  float detectorFlow = 0.0F;
  if (!readSensor(run, run->fs2Address, run->fs2FullScale, &detectorFlow)) return -2;
  pauseMs(kAfterSensorMs);

  if (run->cycleStart <= 0) return 0;  // the sensor test before the cycle records nothing

  run->nextFlowRead = time(nullptr);
  FlowLog& log = run->flowLog;
  if (log.count >= kFlowLogCapacity) {
    if (!run->flowLogFullSaid) {
      printf("Flow log is full (%d readings): further readings are dropped.\n", kFlowLogCapacity);
      run->flowLogFullSaid = 1;
    }
    return 0;
  }
  log.time[log.count] = static_cast<int32_t>(run->nextFlowRead - run->cycleStart);
  log.sampleFlow[log.count] = sampleFlow;
  if (time(nullptr) - run->cycleStart > run->samplingStart) {
    run->sampledVolume = static_cast<float>(run->sampledVolume + sampleFlow / 60.0);
  }
  log.detectorFlow[log.count] = detectorFlow;
  ++log.count;
  return 0;
}

void checkSampleVolume(GcRun* run, time_t now) {
  if (!(run->targetVolume > 0 && run->sampledVolume >= run->targetVolume &&
        run->sampledVolume > 0)) {
    return;
  }
  // Together these two commands to TC1 stop the sampling pump.
  sendCommand(run, run->tc1Address, "STC000", 6);
  pauseMs(kStopCommandGapMs);
  sendCommand(run, run->tc1Address, "P__0", 4);
  pauseMs(kStopCommandGapMs);
  run->volumeReachedAt = static_cast<int>(now - run->cycleStart);
  if (!run->silent) printf("\n-> sample volume reached at T=%ds\n", run->volumeReachedAt);
  run->sampledVolume = kVolumeReached;
}
