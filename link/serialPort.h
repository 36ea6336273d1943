// The serial line to the UART-to-I2C bridge: 9600 baud, 8N1, raw,
// non-blocking. Knows bytes only, nothing of frames or devices.
#pragma once

struct GcRun;

constexpr int kReplySize = 16;    // bytes one reply may bring
constexpr int kDrainSize = 1024;  // scratch area for what follows a reply

// 0 when open, locked against other programs and configured; -1 when the
// open, the lock or the modem-control step failed (fd is -1 after the first two).
int openPort(GcRun* run, const char* path);
// Always 0; a failing close is reported.
int closePort(GcRun* run);
// The number written when all of count went out, otherwise 0.
int writeBytes(GcRun* run, const unsigned char* bytes, int count);
// Bytes placed at the start of buffer (0 to 16); never waits.
int readReply(GcRun* run, unsigned char* buffer);
// Discards unread input and untransmitted output.
void flushPort(GcRun* run);
