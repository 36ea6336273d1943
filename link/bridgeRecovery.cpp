#include "link/bridgeRecovery.h"

#include <cstdio>

#include "link/bridge.h"
#include "link/serialPort.h"
#include "output/panicLog.h"
#include "run/gcRun.h"

namespace {
constexpr int kPollIntervalMs = 10;
constexpr int kFirstAttemptPolls = 300;    // polling goes on while the count is at most this
constexpr int kSecondAttemptPolls = 1000;  // after the port was re-opened
constexpr int kRegisterPauseMs = 40;
constexpr int kPulseMs = 100;
constexpr int kResetHoldMs = 25;
constexpr int kResetSettleMs = 35;

// Asks once for the I2C status and polls for the answer. 1 when I2C_OK came.
// reply[0] keeps the first byte of the latest answer.
int pollI2cStatus(GcRun* run, unsigned char* reply, int maxPolls, int* polls) {
  int ok = 0;
  *polls = 0;
  readBridgeRegister(run, kRegI2cStatus);
  do {
    pauseMs(kPollIntervalMs);
    int received = readReply(run, reply);
    if (received > 0 && reply[0] == kI2cOk) ok = 1;
    ++*polls;
  } while (!ok && *polls <= maxPolls);
  return ok;
}

void configureGpios(GcRun* run, unsigned char* reply) {
  writeBridgeRegister(run, kRegI2cSetting, kI2cSettingNormal);
  pauseMs(kRegisterPauseMs);
  writeBridgeRegister(run, kRegGpioState, kGpioStateNormal);
  pauseMs(kRegisterPauseMs);
  readBridgeRegister(run, kRegGpioConfig);
  pauseMs(kRegisterPauseMs);

  reply[0] = 0;
  int received = readReply(run, reply);
  if (received > 1) printf("Expected 1 byte, but received more!?\n");
  if (received == 0) printf("Expected 1 byte, received none! ");

  if (reply[0] == kGpioAllOutputs) {
    printf("Skipping NXP GPIO configuration, it's already OK.\n");
  } else {
    writeBridgeRegister(run, kRegGpioConfig, kGpioAllOutputs);
    pauseMs(kRegisterPauseMs);
    printf("NXP GPIOs were not yet configured as output (%d), did it.\n", reply[0]);
  }

  writeBridgeRegister(run, kRegGpioState, kGpioStatePulse);
  pauseMs(kPulseMs);
  writeBridgeRegister(run, kRegGpioState, kGpioStateNormal);
  pauseMs(kRegisterPauseMs);
}
}  // namespace

void initBridge(GcRun* run, const char* path) {
  snprintf(run->portPath, sizeof run->portPath, "%s", path);
  printf("Polling NXP I2C status: ");

  unsigned char reply[kReplySize] = {};
  int polls = 0;
  if (pollI2cStatus(run, reply, kFirstAttemptPolls, &polls)) {
    printf("NXP replied I2C_OK after %d polls (%dms).\n", polls, polls * kPollIntervalMs);
  } else {
    printf("NXP never replied I2C_OK, received %d instead.\nClosing serial port, retrying.\n",
           reply[0]);
    closePort(run);
    openPort(run, path);
    if (pollI2cStatus(run, reply, kSecondAttemptPolls, &polls)) {
      panicLog(run, kWarning, "No response from NXP, but re-opening serial port worked.");
      printf("NXP replied I2C_OK after %d polls (%dms).\n", polls, polls * kPollIntervalMs);
    } else {
      printf("NXP never replied I2C_OK, received %d instead.\n", reply[0]);
    }
  }

  configureGpios(run, reply);
}

void reopenPort(GcRun* run) {
  closePort(run);
  openPort(run, run->portPath);
}

void resetBridge(GcRun* run) {
  writeBridgeRegister(run, kRegI2cSetting, kI2cSettingReset);
  pauseMs(kResetHoldMs);
  writeBridgeRegister(run, kRegI2cSetting, kI2cSettingNormal);
  pauseMs(kResetSettleMs);
}
