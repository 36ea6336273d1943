// What the devices' replies mean: temperatures, hardware status, detector
// readings, flow bytes and method acknowledges.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "devices/replies.h"
#include "run/method.h"

namespace {

// A detector reply as the converter lays it out, in a buffer preset with 'X'.
std::string detectorBuffer(const std::string& reply) {
  std::string buffer(kDetectorReplySize, 'X');
  buffer.replace(0, reply.size(), reply);
  return buffer;
}

DetectorReading readDetector(const std::string& reply) {
  std::string buffer = detectorBuffer(reply);
  return parseDetectorReply(&buffer[0]);
}

TEST(TemperatureText, NumberOrNothing) {
  float value = -1.0F;
  EXPECT_TRUE(parseTemperature("25.00", &value));
  EXPECT_FLOAT_EQ(value, 25.0F);
  EXPECT_TRUE(parseTemperature("7", &value));
  EXPECT_FLOAT_EQ(value, 7.0F);
  EXPECT_TRUE(parseTemperature("-3.2abc", &value));
  EXPECT_FLOAT_EQ(value, -3.2F);
  EXPECT_FALSE(parseTemperature(" ", &value));
  EXPECT_FALSE(parseTemperature("ERR", &value));
  EXPECT_FALSE(parseTemperature("", &value));
}

TEST(HardwareStatus, GoodTextNumberOrZero) {
  EXPECT_EQ(hardwareStatusOf("STATUS HW:0***"), 0);
  EXPECT_EQ(hardwareStatusOf("STATUS HW:5***"), 5);
  EXPECT_EQ(hardwareStatusOf("STATUS HW:12***"), 12);
  EXPECT_EQ(hardwareStatusOf("STATUS HW:-3***"), -3);
  EXPECT_EQ(hardwareStatusOf("STATUS HW:?***"), 0);
  EXPECT_EQ(hardwareStatusOf(""), 0) << "no reply at all";
  EXPECT_EQ(hardwareStatusOf("STATUS HW:"), 0);
  EXPECT_EQ(hardwareStatusOf("garbage text 42"), 0) << "character 10 is no digit";
}

TEST(DetectorReply, VoltageAndStatusFields) {
  DetectorReading reading = readDetector("91.23456E-018058");
  EXPECT_TRUE(reading.converted);
  EXPECT_FLOAT_EQ(reading.volts, 0.123456F);
  EXPECT_EQ(reading.status, 5) << "byte 12 and byte 15 are cut off";
  EXPECT_TRUE(detectorReadingAccepted(reading));

  reading = readDetector("91.23456E-018-18");
  EXPECT_EQ(reading.status, -1);
  reading = readDetector("91.23456E-018ab8");
  EXPECT_EQ(reading.status, 0);
}

TEST(DetectorReply, AcceptanceLimitsInSinglePrecision) {
  EXPECT_TRUE(detectorReadingAccepted(readDetector("93.30000E+00800")));
  EXPECT_FALSE(detectorReadingAccepted(readDetector("93.30001E+00800")));
  EXPECT_FALSE(detectorReadingAccepted(readDetector("93.00000E-02800")));
  EXPECT_TRUE(detectorReadingAccepted(readDetector("93.00001E-02800")));
  EXPECT_FALSE(detectorReadingAccepted(readDetector("9nan        800")));
}

TEST(DetectorReply, MissingOrShortReplyNeverParses) {
  DetectorReading reading = readDetector("");
  EXPECT_FALSE(reading.converted);
  EXPECT_EQ(reading.status, 0);
  EXPECT_FALSE(detectorReadingAccepted(reading));
  EXPECT_FALSE(readDetector("9").converted) << "'X' fills what the reply did not reach";
}

TEST(FlowBytes, ConversionPointsUnmasked) {
  const float fullScale = 500.0F;
  const unsigned char zero[] = {0x20, 0x00, 0x00};
  const unsigned char bottom[] = {0x00, 0x00, 0x00};
  const unsigned char top[] = {0x40, 0x00, 0x00};
  const unsigned char all[] = {0xFF, 0xFF, 0x00};
  EXPECT_FLOAT_EQ(flowFromReply(zero, fullScale), 0.0F);
  EXPECT_FLOAT_EQ(flowFromReply(bottom, fullScale), -250.0F);
  EXPECT_FLOAT_EQ(flowFromReply(top, fullScale), 250.0F);
  EXPECT_NEAR(flowFromReply(all, fullScale), 3.49994F * fullScale, 0.01);
}

struct Acknowledge {
  int result;
  std::string description;
};

Acknowledge judge(const char* command, const std::string& reply) {
  char description[256] = "untouched";
  int result = judgeAcknowledge(command, reinterpret_cast<const unsigned char*>(reply.data()),
                                static_cast<int>(reply.size()), description, sizeof description);
  return {result, description};
}

TEST(MethodAcknowledge, CommandAndKFromTheSecondByte) {
  EXPECT_EQ(judge("STC120", std::string("9STC120K\0\0\0\0\0\0\0\0", 16)).result, kAcknowledged);
  EXPECT_EQ(judge("STC120", "9STC120K").result, kAcknowledged) << "ends with the bytes received";

  Acknowledge wrong = judge("STC120", std::string("9STC120E\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(wrong.result, kAcknowledgeWrong);
  EXPECT_EQ(wrong.description, "Command not acknowledged: [STC120E] instead of [STC120K]\n");

  Acknowledge longer = judge("STC120", "9STC120KX");
  EXPECT_EQ(longer.result, kAcknowledgeWrong) << "more text before the zero byte";
  EXPECT_EQ(longer.description, "Command not acknowledged: [STC120KX] instead of [STC120K]\n");
}

TEST(MethodAcknowledge, TooFewBytesIsIncomplete) {
  Acknowledge shortReply = judge("STC120", "9STC1");
  EXPECT_EQ(shortReply.result, kAcknowledgeIncomplete);
  EXPECT_EQ(shortReply.description, "Incomplete acknowledge!");
  EXPECT_EQ(judge("STC120", "9STC12").result, kAcknowledgeWrong) << "as many bytes as characters";
  EXPECT_EQ(judge("A", "").result, kAcknowledgeIncomplete);
}

TEST(MethodAcknowledge, LongCommandsCanNeverBeAcknowledged) {
  // At most 16 bytes arrive, the first not part of the text.
  std::string sixteen = "ABCDEFGHIJKLMNOP";
  EXPECT_EQ(judge(sixteen.c_str(), "9" + sixteen.substr(0, 15)).result, kAcknowledgeWrong);
  std::string fifteen = "ABCDEFGHIJKLMNO";
  EXPECT_EQ(judge(fifteen.c_str(), "9" + fifteen).result, kAcknowledgeWrong);
  std::string fourteen = "ABCDEFGHIJKLMN";
  EXPECT_EQ(judge(fourteen.c_str(), "9" + fourteen + "K").result, kAcknowledged);
}

}  // namespace
