// The one run record: everything a measurement cycle knows, in fixed-size
// fields, created once by main and handed by pointer to every operation.
#pragma once

#include <cstdint>
#include <ctime>

constexpr int kMethodCapacity = 1024;
constexpr int kCommandSize = 20;  // a method command, cut to 17 characters
constexpr int kCommandLength = 17;
constexpr int kTcLogCapacity = 1800;
constexpr int kPidLogCapacity = 3600;
constexpr int kFlowLogCapacity = 3600;
// A cycle has at most four result files; each one that could not be written
// completely is remembered once.
constexpr int kLostFileCapacity = 4;

// Must stay first in GcRun: the port operations work on the head of the record.
struct SerialPort {
  int fd = -1;
  char devicePath[512] = {};
};

struct MethodStep {
  int time;     // seconds after cycleStart; may be 0 or negative
  int address;  // 7-bit I2C address
  char command[kCommandSize];
};

struct TcLog {
  int32_t time[kTcLogCapacity];  // seconds since cycleStart at the start of the read
  float columnT[kTcLogCapacity];
  float warmT[kTcLogCapacity];
  int32_t count;
};

struct PidLog {
  int32_t time[kPidLogCapacity];   // seconds since cycleStart + pidDelay
  float voltage[kPidLogCapacity];  // volts
  int32_t status[kPidLogCapacity];
  int32_t count;
};

struct FlowLog {
  int32_t time[kFlowLogCapacity];        // seconds since cycleStart
  float sampleFlow[kFlowLogCapacity];    // ccm per minute
  float detectorFlow[kFlowLogCapacity];  // ccm per minute
  int32_t count;
};

// A result file that did not reach the disk whole, and why.
struct LostFile {
  char path[512];
  char reason[64];
};

enum PidState : int { pidIdle = 0, pidPowered = 1, pidAcquiring = 2 };

struct GcRun {
  SerialPort port;
  char portPath[256] = {};

  // Configuration from the command line.
  char rootFolder[512] = {};
  int cycleTime = 0;
  int pidDelay = 0;
  int pidDuration = 0;
  int dailySub = 0;
  int silent = 0;
  int runtimeDump = 0;

  // Method table and the acknowledge bookkeeping of the two T-controllers.
  MethodStep steps[kMethodCapacity] = {};
  int stepCount = 0;
  int nextStep = 0;
  int tc1Faults = 0;
  int tc1Retries = 0;
  int tc2Faults = 0;
  int tc2Retries = 0;
  char lastReply[256] = {};

  // Temperature controllers.
  int tc1Address = 64;
  int tc2Address = 66;
  TcLog tc1Log = {};
  TcLog tc2Log = {};
  time_t nextTcRead = time(nullptr);
  int tc1SeqFaults = 0;
  int tc2SeqFaults = 0;

  // Detector A/D converter.
  int pidAddress = 51;
  int pidGain = 1;
  int pidState = pidIdle;
  time_t nextPidRead = 0;
  PidLog pidLog = {};

  // Flow sensors and sample volume.
  int fs1Address = 0;
  float fs1FullScale = 0.0F;
  int fs2Address = 0;
  float fs2FullScale = 0.0F;
  int targetVolume = 0;
  int samplingStart = 0;
  float sampledVolume = 0.0F;
  int volumeReachedAt = 0;
  time_t nextFlowRead = 0;
  FlowLog flowLog = {};

  // The cycle.
  time_t cycleStart = 0;
  int cycleDone = 0;

  // Result files.
  char dateFolder[12] = {};
  char dayPath[512] = {};
  char fileStamp[64] = {};
  LostFile lostFiles[kLostFileCapacity] = {};
  int lostFileCount = 0;  // may exceed kLostFileCapacity; only that many are named

  // Runtime dump.
  int dumpedCount = 0;

  // Things said once per run: a full log, an unwritable dump file.
  int tc1LogFullSaid = 0;
  int tc2LogFullSaid = 0;
  int pidLogFullSaid = 0;
  int flowLogFullSaid = 0;
  int dumpFailSaid[3] = {};
};

// Setters for the configuration; 0 stored, -1 refused (field unchanged).
int setCycleTime(GcRun* run, int seconds);
int setPidDuration(GcRun* run, int seconds);
int setPidDelay(GcRun* run, int seconds);
int setRootFolder(GcRun* run, const char* text);
int setDailySub(GcRun* run, int value);

// Blocking pause of the one thread.
void pauseMs(int milliseconds);
