// Frames of the UART-to-I2C bridge: I2C writes and reads to devices on its
// bus, and accesses to the bridge's own registers.
#pragma once

struct GcRun;

// Bridge registers and the values the program uses.
constexpr int kRegGpioConfig = 2;
constexpr int kRegGpioState = 4;
constexpr int kRegI2cSetting = 9;
constexpr int kRegI2cStatus = 10;
constexpr int kI2cOk = 240;
constexpr int kGpioAllOutputs = 63;
constexpr int kI2cSettingNormal = 63;
constexpr int kI2cSettingReset = 9;
constexpr int kGpioStateNormal = 7;
constexpr int kGpioStatePulse = 6;
constexpr int kGpioStateOff = 0;

constexpr int kMaxFrameText = 23;  // what fits the 28-byte write frame

// One I2C write of length bytes of text. 0, or -1 when the text does not fit a frame.
int sendToDevice(GcRun* run, int address, const char* text, int length);
// sendToDevice, then 70 ms for the device to act. Reads no acknowledge.
int sendCommand(GcRun* run, int address, const char* text, int length);
// One I2C read of count bytes; the reply bytes received (0 to 16).
int readFromDevice(GcRun* run, int address, unsigned char* buffer, int count);
void writeBridgeRegister(GcRun* run, int reg, int value);
// Sends the request only; the caller waits and collects the byte with readReply.
void readBridgeRegister(GcRun* run, int reg);
