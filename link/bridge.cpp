#include "link/bridge.h"

#include <cstdio>
#include <cstring>

#include "link/serialPort.h"
#include "run/gcRun.h"

namespace {
constexpr unsigned char kStart = 'S';
constexpr unsigned char kStop = 'P';
constexpr unsigned char kRegisterWrite = 'W';
constexpr unsigned char kRegisterRead = 'R';
constexpr int kWriteFrameSize = 28;
constexpr int kAfterCommandMs = 70;
constexpr int kReplyWaitMs = 50;  // the bridge needs this long to fetch the bytes

unsigned char lowByte(int value) {
  return static_cast<unsigned char>(value & 0xFF);
}

// The address byte of a frame: the 7-bit address doubled, plus 1 for a read.
// Worked out unsigned, so that no address value can overflow.
unsigned char addressByte(int address, unsigned readBit) {
  return static_cast<unsigned char>((static_cast<unsigned>(address) * 2U + readBit) & 0xFFU);
}
}  // namespace

int sendToDevice(GcRun* run, int address, const char* text, int length) {
  size_t textLength = strlen(text);
  if (length < 0 || length > kMaxFrameText || textLength > static_cast<size_t>(kMaxFrameText)) {
    printf("Command of %d bytes does not fit one I2C frame (at most %d), not sent\n",
           length < 0 ? static_cast<int>(textLength) : length, kMaxFrameText);
    return -1;
  }
  unsigned char frame[kWriteFrameSize] = {};
  frame[0] = kStart;
  frame[1] = addressByte(address, 0);
  frame[2] = lowByte(length);
  memcpy(frame + 3, text, textLength);
  frame[3 + textLength] = kStop;
  writeBytes(run, frame, length + 4);
  return 0;
}

int sendCommand(GcRun* run, int address, const char* text, int length) {
  sendToDevice(run, address, text, length);
  pauseMs(kAfterCommandMs);
  return 0;
}

int readFromDevice(GcRun* run, int address, unsigned char* buffer, int count) {
  const unsigned char request[4] = {kStart, addressByte(address, 1), lowByte(count), kStop};
  writeBytes(run, request, sizeof request);
  pauseMs(kReplyWaitMs);
  return readReply(run, buffer);
}

void writeBridgeRegister(GcRun* run, int reg, int value) {
  const unsigned char frame[4] = {kRegisterWrite, lowByte(reg), lowByte(value), kStop};
  writeBytes(run, frame, sizeof frame);
}

void readBridgeRegister(GcRun* run, int reg) {
  const unsigned char frame[3] = {kRegisterRead, lowByte(reg), kStop};
  writeBytes(run, frame, sizeof frame);
}
