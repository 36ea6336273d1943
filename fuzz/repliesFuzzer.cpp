// The devices' reply parsers and the acknowledge judge. The first input byte
// picks the parser ('T' temperature, 'S' hardware status, 'D' detector, 'F'
// flow, 'A' acknowledge; any other byte by its value), the rest is the reply.
// Each parser sees the reply both as a plain text and in the buffer the
// program gives it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "devices/replies.h"
#include "fuzz/fuzzSupport.h"
#include "link/serialPort.h"
#include "run/gcRun.h"
#include "run/method.h"

namespace {
constexpr size_t kTemperatureReplyCount = 15;  // bytes a temperature read asks for
constexpr size_t kStatusReplyCount = 16;
constexpr size_t kDetectorReplyCount = 16;
constexpr size_t kDescriptionSize = 256;  // as the run's record of the last failed reply

// The input as text: exactly its bytes and a final NUL, on the heap so that
// reading past the end is caught.
std::vector<char> asText(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  return text;
}

// A controller's reply as the program holds it: 17 bytes, zeroed, with the
// first count received bytes in front; its text starts at the second byte.
std::vector<unsigned char> asControllerReply(const uint8_t* data, size_t size, size_t count) {
  std::vector<unsigned char> reply(kControllerReplySize, 0);
  reply[0] = ' ';
  reply[1] = ' ';
  memcpy(reply.data(), data, size < count ? size : count);
  return reply;
}

void temperature(const uint8_t* data, size_t size) {
  float value = 0.0F;
  std::vector<char> text = asText(data, size);
  parseTemperature(text.data(), &value);
  std::vector<unsigned char> reply = asControllerReply(data, size, kTemperatureReplyCount);
  parseTemperature(reinterpret_cast<const char*>(reply.data() + 1), &value);
}

void hardwareStatus(const uint8_t* data, size_t size) {
  std::vector<char> text = asText(data, size);
  hardwareStatusOf(text.data());
  std::vector<unsigned char> reply = asControllerReply(data, size, kStatusReplyCount);
  reply[15] = '\0';  // the status check ends the text there
  int status = hardwareStatusOf(reinterpret_cast<const char*>(reply.data() + 1));
  if (strcmp(reinterpret_cast<const char*>(reply.data() + 1), "STATUS HW:0***") == 0) {
    FUZZ_REQUIRE(status == 0);
  }
}

void detector(const uint8_t* data, size_t size) {
  // The buffer is preset with 'X'; the reply overwrites at most 16 bytes.
  std::vector<char> reply(kDetectorReplySize, 'X');
  memcpy(reply.data(), data, size < kDetectorReplyCount ? size : kDetectorReplyCount);
  DetectorReading reading = parseDetectorReply(reply.data());
  FUZZ_REQUIRE(reading.converted == 0 || reading.converted == 1);
  if (!reading.converted) FUZZ_REQUIRE(!detectorReadingAccepted(reading));
  if (detectorReadingAccepted(reading)) {
    FUZZ_REQUIRE(reading.volts > 0.03F && reading.volts < 3.31F);
  }
}

void flow(const uint8_t* data, size_t size) {
  // Two reply bytes, then the full scale's bits: any float, NaN and infinity too.
  unsigned char reply[kReplySize] = {};
  memcpy(reply, data, size < 2 ? size : 2);
  float fullScale = 500.0F;
  if (size >= 2 + sizeof fullScale) memcpy(&fullScale, data + 2, sizeof fullScale);
  volatile float value = flowFromReply(reply, fullScale);
  (void)value;
}

void acknowledge(const uint8_t* data, size_t size) {
  // One byte gives the count received (negative and oversized too), then the
  // command up to a NUL byte, then the reply bytes.
  if (size == 0) return;
  int received = static_cast<int8_t>(data[0]);
  ++data;
  --size;
  const uint8_t* zero = static_cast<const uint8_t*>(memchr(data, '\0', size));
  size_t commandLength = zero != nullptr ? static_cast<size_t>(zero - data) : size;
  std::vector<char> command = asText(data, commandLength);
  size_t rest = zero != nullptr ? size - commandLength - 1 : 0;
  const uint8_t* replyBytes = zero != nullptr ? zero + 1 : data + size;
  unsigned char reply[kReplySize] = {};
  memcpy(reply, replyBytes, rest < sizeof reply ? rest : sizeof reply);

  std::vector<char> description(kDescriptionSize, '\0');
  int result =
      judgeAcknowledge(command.data(), reply, received, description.data(), description.size());
  FUZZ_REQUIRE(result == kAcknowledged || result == kAcknowledgeIncomplete ||
               result == kAcknowledgeWrong);
  FUZZ_REQUIRE(memchr(description.data(), '\0', description.size()) != nullptr);
  if (result == kAcknowledged) {
    // Only the command and "K" after the leading byte, within what arrived.
    size_t length = strlen(command.data());
    FUZZ_REQUIRE(length <= static_cast<size_t>(kCommandLength));
    FUZZ_REQUIRE(received >= static_cast<int>(length) + 2);
    FUZZ_REQUIRE(memcmp(reply + 1, command.data(), length) == 0 && reply[length + 1] == 'K');
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t pick = data[0];
  ++data;
  --size;
  switch (pick) {
    case 'T':
      temperature(data, size);
      return 0;
    case 'S':
      hardwareStatus(data, size);
      return 0;
    case 'D':
      detector(data, size);
      return 0;
    case 'F':
      flow(data, size);
      return 0;
    case 'A':
      acknowledge(data, size);
      return 0;
    default:
      break;
  }
  switch (pick % 5) {
    case 0:
      temperature(data, size);
      break;
    case 1:
      hardwareStatus(data, size);
      break;
    case 2:
      detector(data, size);
      break;
    case 3:
      flow(data, size);
      break;
    default:
      acknowledge(data, size);
      break;
  }
  return 0;
}
