// What the devices' replies mean, apart from how they travel: every reply of a
// T-controller or the detector has one leading byte that is not part of its
// text; a flow sensor answers with raw bytes, most significant first.
#pragma once

// Buffer for a controller's reply: 16 bytes and a final NUL.
constexpr int kControllerReplySize = 17;
// Buffer for a detector reading, preset with 'X' before the reply lands.
constexpr int kDetectorReplySize = 32;

// The column or warm temperature in a reply text. False when no number is there.
bool parseTemperature(const char* text, float* value);

// 0 for the good status text, otherwise the number after "STATUS HW:" (0 when none).
int hardwareStatusOf(const char* text);

struct DetectorReading {
  int converted;  // 1 when the voltage text held a number
  float volts;
  int status;  // as read; 0 when it did not parse
};
// Reads voltage and status from a 32-byte reply buffer (cuts its text fields in place).
DetectorReading parseDetectorReply(char* reply);
// Whether a reading lies inside the converter's trusted range.
bool detectorReadingAccepted(const DetectorReading& reading);

// A flow sensor's reading in ccm per minute from its first two reply bytes.
float flowFromReply(const unsigned char* reply, float fullScale);
