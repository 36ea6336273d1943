#include "devices/flow.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The definition file is read as scanf reads "FS1: %x\t %f\n",
// "FS2: %x\t %f\n" and "SAMPLING_STARTTIME: %d\n" one after the other (white
// space in a format matches any run of white space, or none), except that a
// number beyond int is refused instead of silently wrapped.
constexpr size_t kFlowFileReadLimit = 16384;

void skipSpace(const char** at) {
  while (isspace(static_cast<unsigned char>(**at))) ++*at;
}

// The key must stand exactly here; white space after it is passed over.
bool matchKey(const char** at, const char* key) {
  size_t length = strlen(key);
  if (strncmp(*at, key, length) != 0) return false;
  *at += length;
  skipSpace(at);
  return true;
}

bool readIntInBase(const char** at, int base, int* value) {
  char* end = nullptr;
  errno = 0;
  long number = strtol(*at, &end, base);
  if (end == *at || errno == ERANGE || number < INT_MIN || number > INT_MAX) return false;
  *value = static_cast<int>(number);
  *at = end;
  skipSpace(at);
  return true;
}

// Hexadecimal, with or without 0x.
bool readHexInt(const char** at, int* value) {
  return readIntInBase(at, 16, value);
}

bool readDecimalInt(const char** at, int* value) {
  return readIntInBase(at, 10, value);
}

bool readFloat(const char** at, float* value) {
  char* end = nullptr;
  float number = strtof(*at, &end);
  if (end == *at) return false;
  *value = number;
  *at = end;
  skipSpace(at);
  return true;
}

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
  // The definition is three short lines; anything after the third value is
  // ignored, so its first bytes are all that matter.
  char text[kFlowFileReadLimit + 1];
  size_t length = fread(text, 1, kFlowFileReadLimit, file);
  int failed = ferror(file);
  int readErrno = errno;
  int cut = !failed && length == kFlowFileReadLimit && fgetc(file) != EOF;
  fclose(file);
  if (failed) {  // a folder, say: it opens but cannot be read
    errno = readErrno;
    return kFlowFileUnreadable;
  }
  text[length] = '\0';

  const char* at = text;
  if (!matchKey(&at, "FS1:") || !readHexInt(&at, &definition->fs1Address) ||
      !readFloat(&at, &definition->fs1FullScale) || !matchKey(&at, "FS2:") ||
      !readHexInt(&at, &definition->fs2Address) || !readFloat(&at, &definition->fs2FullScale) ||
      !matchKey(&at, "SAMPLING_STARTTIME:") || !readDecimalInt(&at, &definition->samplingStart)) {
    return kFlowFileMalformed;
  }
  // A value that runs into the end of what was read may go on in the file.
  if (cut && *at == '\0') return kFlowFileMalformed;
  return kFlowFileOk;
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
