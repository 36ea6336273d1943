#include "devices/replies.h"

#include <cstdio>
#include <cstring>

namespace {
const char* const kGoodStatus = "STATUS HW:0***";
constexpr size_t kStatusNumberAt = 10;  // first character after "STATUS HW:"
constexpr int kVoltageEnd = 12;
constexpr int kStatusAt = 13;
constexpr int kStatusEnd = 15;
constexpr double kMinimumVolts = 0.03;
constexpr double kMaximumVolts = 3.3;
constexpr double kRawHalfScale = 16384.0;
}  // namespace

bool parseTemperature(const char* text, float* value) {
  return sscanf(text, "%f", value) == 1;
}

int hardwareStatusOf(const char* text) {
  if (strcmp(text, kGoodStatus) == 0) return 0;
  // A text too short to reach the number has none.
  int status = 0;
  if (strlen(text) > kStatusNumberAt) sscanf(text + kStatusNumberAt, "%d*", &status);
  return status;
}

DetectorReading parseDetectorReply(char* reply) {
  DetectorReading reading = {0, 0.0F, 0};
  reply[kVoltageEnd] = '\0';
  reply[kStatusEnd] = '\0';
  sscanf(reply + kStatusAt, "%d", &reading.status);
  reading.converted = sscanf(reply + 1, "%E", &reading.volts) == 1;
  return reading;
}

bool detectorReadingAccepted(const DetectorReading& reading) {
  // The limits are compared in double: 3.3 as a float lies just below 3.3 and
  // is kept, 0.03 as a float lies just below 0.03 and is not.
  return reading.converted && reading.volts < kMaximumVolts && reading.volts > kMinimumVolts;
}

float flowFromReply(const unsigned char* reply, float fullScale) {
  unsigned int raw = reply[0] * 256U + reply[1];  // not masked: up to 65535
  return static_cast<float>(fullScale * (raw / kRawHalfScale - 0.5));
}
