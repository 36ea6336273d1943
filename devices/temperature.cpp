#include "devices/temperature.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "devices/replies.h"
#include "link/bridge.h"
#include "link/bridgeRecovery.h"
#include "link/serialPort.h"
#include "run/gcRun.h"

namespace {
constexpr int kQueryWaitMs = 35;
constexpr int kBetweenQueriesMs = 50;
constexpr int kTemperatureReplyCount = 15;
constexpr int kStatusQueryWaitMs = 300;
constexpr int kBetweenStatusReadsMs = 75;
constexpr int kStatusReplyCount = 16;
const char* const kGoodStatus = "STATUS HW:0***";

// A controller's reply: the first byte is not part of the text.
struct ControllerReply {
  unsigned char bytes[kControllerReplySize];
  const char* text() const { return reinterpret_cast<const char*>(bytes + 1); }
};

// Asks for one temperature; counts and reports what went wrong. errors
// numbers the messages through the whole call.
float queryTemperature(GcRun* run, int address, const char* query, const char* name, int* errors) {
  sendToDevice(run, address, query, 3);
  pauseMs(kQueryWaitMs);

  ControllerReply reply;
  memset(reply.bytes, 0, sizeof reply.bytes);
  reply.bytes[0] = ' ';
  reply.bytes[1] = ' ';
  int received = readFromDevice(run, address, reply.bytes, kTemperatureReplyCount);
  if (received <= 2) {
    ++*errors;
    printf("Replyerror %d: TC%d %s temperature read only %d bytes: [%s]\n", *errors, address, name,
           received, reply.text());
  }
  float value = 0.0F;
  if (!parseTemperature(reply.text(), &value)) {
    ++*errors;
    printf("Replyerror %d: TC%d %s temperature sscanf error in string [%s]!\n", *errors, address,
           name, reply.text());
  }
  return value;
}

TcLog* logOf(GcRun* run, int address, int** fullSaid) {
  if (address == run->tc1Address) {
    *fullSaid = &run->tc1LogFullSaid;
    return &run->tc1Log;
  }
  if (address == run->tc2Address) {
    *fullSaid = &run->tc2LogFullSaid;
    return &run->tc2Log;
  }
  return nullptr;
}
}  // namespace

int readTemperatures(GcRun* run, int address) {
  time_t started = time(nullptr);
  int errors = 0;
  float column = queryTemperature(run, address, "RCT", "column", &errors);
  pauseMs(kBetweenQueriesMs);
  float warm = queryTemperature(run, address, "RWT", "warm", &errors);
  if (errors > 0) return errors;

  int* fullSaid = nullptr;
  TcLog* log = logOf(run, address, &fullSaid);
  if (log == nullptr) return 0;
  if (log->count >= kTcLogCapacity) {
    if (!*fullSaid) {
      printf("Temperature log of TC%d is full (%d readings): further readings are dropped.\n",
             address, kTcLogCapacity);
      *fullSaid = 1;
    }
    return 0;
  }
  log->time[log->count] = static_cast<int32_t>(started - run->cycleStart);
  log->columnT[log->count] = column;
  log->warmT[log->count] = warm;
  ++log->count;
  return 0;
}

int pollTemperatures(GcRun* run, time_t now) {
  run->nextTcRead = time(nullptr);
  bool first = now % 2 == 0;
  int address = first ? run->tc1Address : run->tc2Address;
  int* seqFaults = first ? &run->tc1SeqFaults : &run->tc2SeqFaults;

  if (readTemperatures(run, address) > 0) {
    ++*seqFaults;
  } else {
    *seqFaults = 0;
  }

  if (run->tc1SeqFaults == 1 || run->tc2SeqFaults == 1) {
    printf("Communication failure 1: trying to close and re-open serial port %s!\n", run->portPath);
    reopenPort(run);
  }
  if (run->tc1SeqFaults == 2 || run->tc2SeqFaults == 2) {
    printf("Communication failure 2: trying to reset NXP I2C controller!\n");
    resetBridge(run);
  }
  if (run->tc1SeqFaults > 2) return 1;
  if (run->tc2SeqFaults > 2) return 2;
  return 0;
}

int checkHardwareStatus(GcRun* run, int address) {
  sendToDevice(run, address, "HS_", 3);
  pauseMs(kStatusQueryWaitMs);

  // Two reads into one buffer: the second overwrites what it reaches.
  ControllerReply reply;
  memset(reply.bytes, 0, sizeof reply.bytes);
  reply.bytes[0] = ' ';
  readFromDevice(run, address, reply.bytes, kStatusReplyCount);
  pauseMs(kBetweenStatusReadsMs);
  readFromDevice(run, address, reply.bytes, kStatusReplyCount);
  reply.bytes[15] = '\0';

  printf("Expected: [%s] Received: [%s]\n", kGoodStatus, reply.text());
  return hardwareStatusOf(reply.text());
}
