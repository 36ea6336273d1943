// tarvex-sim driven through its pty: frame parsing, each device's reply bytes,
// the physics, the trace and the simulator's life cycle.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "simPort.h"

namespace {

std::string zeros(std::size_t count) {
  return std::string(count, '\0');
}

const char* kFlowSensors = "FS1: 0x48\t 500.0\nFS2: 0x49\t 100.0\nSAMPLING_STARTTIME: 3\n";

// The test's frame writer against the byte examples of the wire tables.
TEST(SimPortWriter, BuildsFramesAsTheWireTablesShowThem) {
  EXPECT_EQ(i2cWrite(64, "RCT"), bytes({0x53, 0x80, 0x03, 0x52, 0x43, 0x54, 0x50}));
  EXPECT_EQ(i2cRead(66, 15), bytes({0x53, 0x85, 0x0F, 0x50}));
  EXPECT_EQ(i2cRead(51, 16), bytes({0x53, 0x67, 0x10, 0x50}));
  EXPECT_EQ(registerWrite(4, 0), bytes({0x57, 0x04, 0x00, 0x50}));
  EXPECT_EQ(registerRead(10), bytes({0x52, 0x0A, 0x50}));
  EXPECT_EQ(i2cWrite(64, ""), bytes({0x53, 0x80, 0x00, 0x50}));
}

// ---------------------------------------------------------------- frames

TEST(SimulatorFrames, FramesSplitAcrossWritesAreJoined) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  // The write frame one byte at a time, the read request in two halves.
  for (char byte : i2cWrite(64, "RCT")) {
    port.send(std::string(1, byte));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  const std::string request = i2cRead(64, 15);
  port.send(request.substr(0, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  port.send(request.substr(2));
  EXPECT_EQ(port.receive(15), "925.00" + zeros(9));

  f.simulator.stop();
  const auto trace = f.simulator.trace();
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_EQ(trace[0].kind, "i2c-write");
  EXPECT_EQ(trace[0].text, "RCT");
  EXPECT_EQ(trace[1].kind, "i2c-read");
  EXPECT_EQ(trace[2].kind, "i2c-reply");
  EXPECT_EQ(f.simulator.stderrText().find("ignored"), std::string::npos);
}

TEST(SimulatorFrames, BackToBackFramesAreAnsweredInOrder) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(registerRead(10) + i2cWrite(66, "RWT") + i2cRead(66, 15) + registerWrite(2, 63) +
            registerRead(2));
  EXPECT_EQ(port.receive(17),
            "\xf0"
            "925.00" +
                zeros(9) + "\x3f");
  f.simulator.stop();
  const auto trace = f.simulator.trace();
  std::vector<std::string> kinds;
  for (const auto& event : trace) kinds.push_back(event.kind);
  EXPECT_EQ(kinds, (std::vector<std::string>{"reg-read", "i2c-write", "i2c-read", "reg-write",
                                             "reg-read", "reg-reply", "i2c-reply", "reg-reply"}));
}

TEST(SimulatorFrames, BadBytesAreSkippedReportedAndTraced) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  // Noise before a frame, a write frame whose closing byte is wrong, then a
  // good register read: only the last is answered.
  port.send("xyz" + registerRead(10));
  EXPECT_EQ(port.receive(1), "\xf0");
  port.send(bytes({'S', 0x80, 0x03, 'R', 'C', 'T', 'Q'}) + registerRead(10));
  EXPECT_EQ(port.receive(1), "\xf0");
  f.simulator.stop();

  const std::string errors = f.simulator.stderrText();
  EXPECT_NE(errors.find("ignored 3 bytes (not a frame start): 78 79 7a"), std::string::npos)
      << errors;
  EXPECT_NE(errors.find("ignored 7 bytes (I2C write without closing P): 53 80 03 52 43 54 51"),
            std::string::npos)
      << errors;
  const auto junk = e2e::select(f.simulator.trace(), "junk");
  ASSERT_EQ(junk.size(), 2u);
  EXPECT_EQ(junk[0].dir, "bad");
  EXPECT_EQ(junk[0].value, 3);
  EXPECT_EQ(e2e::hex(junk[1].raw), "53 80 03 52 43 54 51");
  EXPECT_EQ(e2e::select(f.simulator.trace(), "reg-reply").size(), 2u);
}

TEST(SimulatorFrames, StalePartialFrameIsDroppedAfterTheFrameTimeout) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("", "", {"--frame-timeout", "100"})) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(bytes({'S', 0x80, 0x05, 'R'}));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(port.ask(registerRead(10), 1), "\xf0");
  f.simulator.stop();
  EXPECT_NE(f.simulator.stderrText().find("ignored 4 bytes (incomplete frame, no more bytes came)"),
            std::string::npos)
      << f.simulator.stderrText();
}

TEST(SimulatorFrames, RandomNoiseNeverStopsIt) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("", "", {"--frame-timeout", "100"})) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  unsigned state = 12345;  // a fixed sequence, so a failure can be repeated
  std::string noise;
  for (int i = 0; i < 20000; ++i) {
    state = state * 1103515245u + 12345u;
    noise += static_cast<char>((state >> 16) & 0xFF);
  }
  for (std::size_t at = 0; at < noise.size(); at += 500) port.send(noise.substr(at, 500));
  // Whatever the noise asked for has been answered or dropped by now.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  port.receive(1000000, 300, 0);
  EXPECT_EQ(port.ask(registerRead(10), 1), "\xf0");
  EXPECT_EQ(f.simulator.stop(), 0);
  EXPECT_NE(f.simulator.stderrText().find("ignored"), std::string::npos);
}

TEST(SimulatorFrames, NobodyAnswersForUnknownAddressesAndRegisters) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(20, "V1") + i2cRead(20, 16) + registerRead(7) + registerWrite(7, 1) +
            registerWrite(10, 0));
  EXPECT_EQ(port.receive(1, 150), "");
  f.simulator.stop();
  const std::string errors = f.simulator.stderrText();
  EXPECT_NE(errors.find("I2C write to address 20: no device there"), std::string::npos) << errors;
  EXPECT_NE(errors.find("I2C read from address 20: no device there, no answer"), std::string::npos);
  EXPECT_NE(errors.find("read of unknown register 7, no answer"), std::string::npos);
  EXPECT_NE(errors.find("write to unknown register 7 ignored"), std::string::npos);
  EXPECT_NE(errors.find("register 10 (I2C status) is read-only"), std::string::npos);
  const auto trace = f.simulator.trace();
  EXPECT_EQ(e2e::select(trace, "i2c-silent", 20).size(), 1u);
  EXPECT_EQ(e2e::select(trace, "reg-silent", 7).size(), 1u);
}

// ---------------------------------------------------------------- bridge

TEST(SimulatorBridge, RegistersAnswerWithTheirValues) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.ask(registerRead(10), 1), "\xf0");   // I2C_OK
  EXPECT_EQ(port.ask(registerRead(2), 1), zeros(1));  // GPIOs not configured yet
  port.send(registerWrite(2, 63) + registerWrite(4, 6) + registerWrite(9, 9));
  EXPECT_EQ(port.ask(registerRead(2), 1), "\x3f");
  EXPECT_EQ(port.ask(registerRead(4), 1), "\x06");
  EXPECT_EQ(port.ask(registerRead(9), 1), "\x09");
}

TEST(SimulatorBridge, RepliesComeAfterTheConfiguredDelay) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("", "", {"--reply-delay", "30"})) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.ask(registerRead(10), 1), "\xf0");
  f.simulator.stop();
  const auto trace = f.simulator.trace();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_GE(trace[1].mono - trace[0].mono, 0.030);
  EXPECT_LT(trace[1].mono - trace[0].mono, 0.5);
}

TEST(SimulatorBridge, DefaultReplyDelayIsAFewMilliseconds) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.ask(registerRead(10), 1), "\xf0");
  f.simulator.stop();
  const auto trace = f.simulator.trace();
  ASSERT_EQ(trace.size(), 2u);
  // Not at once (the program's input flush would eat it), well before 50 ms.
  EXPECT_GE(trace[1].mono - trace[0].mono, 0.004);
  EXPECT_LT(trace[1].mono - trace[0].mono, 0.045);
}

TEST(SimulatorBridge, ByteTimingSpreadsAReplyAt9600Baud) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("", "", {"--baud", "9600", "--reply-delay", "0"})) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(64, "HS_"));
  const auto start = std::chrono::steady_clock::now();
  port.send(i2cRead(64, 16));
  EXPECT_EQ(port.receive(16, 1000, 0), "9STATUS HW:0***" + zeros(1));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 15 * 10.0 / 9600);  // 16 bytes, 15 gaps of 1.04 ms
}

// ---------------------------------------------------------------- T-controllers

TEST(SimulatorTController, TemperaturesAreLeadingByteAndDecimalTextPaddedWithNul) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("ambient 21.5")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  for (int address : {64, 66}) {
    port.send(i2cWrite(address, "RCT"));
    EXPECT_EQ(port.ask(i2cRead(address, 15), 15), "921.50" + zeros(9)) << address;
    port.send(i2cWrite(address, "RWT"));
    EXPECT_EQ(port.ask(i2cRead(address, 15), 15), "921.50" + zeros(9)) << address;
  }
}

TEST(SimulatorTController, HardwareStatusAnswersEveryReadAfterTheQuery) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(66, "HS_"));
  const std::string good = "9STATUS HW:0***" + zeros(1);
  EXPECT_EQ(port.ask(i2cRead(66, 16), 16), good);
  EXPECT_EQ(port.ask(i2cRead(66, 16), 16), good);
}

TEST(SimulatorTController, CommandsAreAcknowledgedWithTheCommandAndK) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  for (const std::string command :
       {"STC000", "P__0", "F__1", "STC120", "V3_ON", "ABCDEFGHIJKLMN"}) {
    port.send(i2cWrite(64, command));
    const std::string ack = "9" + command + "K";
    EXPECT_EQ(port.ask(i2cRead(64, 16), 16), ack + zeros(16 - ack.size())) << command;
  }
}

TEST(SimulatorTController, ReadBeforeAnyCommandGivesLeadingByteAndZeros) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.ask(i2cRead(64, 16), 16), "9" + zeros(15));
}

TEST(SimulatorTController, ReadsReturnExactlyTheCountAskedFor) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(64, "HS_"));
  EXPECT_EQ(port.ask(i2cRead(64, 3), 3), "9ST");
  EXPECT_EQ(port.ask(i2cRead(64, 20), 20), "9STATUS HW:0***" + zeros(5));
}

TEST(SimulatorTController, TemperatureMovesToTheSetPointAndBackToAmbient) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("heat-time 0.1\nambient 25")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  auto read = [&](const char* query) {
    port.send(i2cWrite(64, query));
    return std::atof(port.ask(i2cRead(64, 15), 15).c_str() + 1);
  };
  port.send(i2cWrite(64, "STC120") + i2cWrite(64, "STW80.5"));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_DOUBLE_EQ(read("RCT"), 120.0);
  EXPECT_DOUBLE_EQ(read("RWT"), 80.5);
  // The other controller is not affected.
  port.send(i2cWrite(66, "RCT"));
  EXPECT_EQ(port.ask(i2cRead(66, 15), 15), "925.00" + zeros(9));
  // Set point 0: the heater is off, the column cools to ambient, not below.
  port.send(i2cWrite(64, "STC000"));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_DOUBLE_EQ(read("RCT"), 25.0);
}

TEST(SimulatorTController, HeatingTakesTime) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("heat-time 8")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(66, "STC100"));
  double previous = 25.0;
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    port.send(i2cWrite(66, "RCT"));
    const double value = std::atof(port.ask(i2cRead(66, 15), 15).c_str() + 1);
    EXPECT_GT(value, previous);
    EXPECT_LT(value, 100.0);
    previous = value;
  }
}

// ---------------------------------------------------------------- detector

// Voltage and status of a 16-byte detector reply, read as the program does.
void parseDetector(const std::string& reply, double& volts, int& status) {
  std::string copy = reply;
  copy.resize(16, 'X');
  copy[12] = '\0';
  copy[15] = '\0';
  volts = std::strtod(copy.c_str() + 1, nullptr);
  status = std::atoi(copy.c_str() + 13);
}

TEST(SimulatorDetector, ReplyLayoutIsVoltageFillerStatusFiller) {
  SimulatorFixture f;
  // A lone peak far away: the reading is the baseline alone.
  ASSERT_TRUE(f.start("baseline 0.5\npeak 1000 1 1")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(51, "I"));
  EXPECT_EQ(port.ask(i2cRead(51, 16), 16),
            "90.00000E+00800"
            "8")
      << "powered off";
  port.send(i2cWrite(51, "1") + i2cWrite(51, "DR") + i2cWrite(51, bytes({'G', 1})));
  EXPECT_EQ(port.ask(i2cRead(51, 16), 16),
            "95.00000E-01800"
            "8");
  port.send(i2cWrite(51, bytes({'G', 4})));
  EXPECT_EQ(port.ask(i2cRead(51, 16), 16),
            "92.00000E+00800"
            "8");
  port.send(i2cWrite(51, bytes({'G', 8})));
  EXPECT_EQ(port.ask(i2cRead(51, 16), 16),
            "94.00000E+00800"
            "8");
  port.send(i2cWrite(51, "0"));
  EXPECT_EQ(port.ask(i2cRead(51, 16), 16),
            "90.00000E+00800"
            "8");
  // "I" resets the gain to 1.
  port.send(i2cWrite(51, "I") + i2cWrite(51, "1"));
  EXPECT_EQ(port.ask(i2cRead(51, 16), 16),
            "95.00000E-01800"
            "8");
}

TEST(SimulatorDetector, PastTheConvertersRangeItClipsAndSetsStatus1) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("baseline 0.6\npeak 1000 1 1")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(51, "1") + i2cWrite(51, bytes({'G', 8})));
  EXPECT_EQ(port.ask(i2cRead(51, 16), 16),
            "94.09600E+00801"
            "8");
}

TEST(SimulatorDetector, BadGainAndUnknownCommandsAreReportedAndIgnored) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("baseline 0.5\npeak 1000 1 1")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(51, "1") + i2cWrite(51, bytes({'G', 3})) + i2cWrite(51, "XY"));
  EXPECT_EQ(port.ask(i2cRead(51, 16), 16),
            "95.00000E-01800"
            "8");
  f.simulator.stop();
  const std::string errors = f.simulator.stderrText();
  EXPECT_NE(errors.find("detector gain byte 3 is not 1, 2, 4 or 8, ignored"), std::string::npos);
  EXPECT_NE(errors.find("unknown detector command of 2 bytes ignored"), std::string::npos);
}

TEST(SimulatorDetector, APeakRisesAndFallsAfterTheFirstReading) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("baseline 0.1\npeak 1.0 1.0 0.25")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(51, "1"));
  double highest = 0;
  double first = -1;
  double last = -1;
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(2100)) {
    double volts = 0;
    int status = -1;
    parseDetector(port.ask(i2cRead(51, 16), 16), volts, status);
    EXPECT_EQ(status, 0);
    if (first < 0) first = volts;
    last = volts;
    highest = std::max(highest, volts);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NEAR(first, 0.1, 1e-3);
  EXPECT_NEAR(last, 0.1, 1e-3);
  EXPECT_GT(highest, 0.9);
  EXPECT_LE(highest, 1.1);
}

// Detector readings, in volts, taken every 20 ms for the given time.
std::vector<double> detectorReadings(SimPort& port, int milliseconds) {
  std::vector<double> readings;
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(milliseconds)) {
    double volts = 0;
    int status = -1;
    parseDetector(port.ask(i2cRead(51, 16), 16), volts, status);
    readings.push_back(volts);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return readings;
}

TEST(SimulatorDetector, NoiseAndDriftComeFromTheScenario) {
  SimulatorFixture f;
  // 0.5 V/s of drift, 2 mV of noise: over 1.5 s the baseline climbs about 0.75 V.
  ASSERT_TRUE(f.start("baseline 0.5\ndrift 0.5\nnoise 0.002\npeak 1000 1 1"))
      << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(51, "1"));
  const std::vector<double> readings = detectorReadings(port, 1500);
  ASSERT_GT(readings.size(), 20u);
  EXPECT_NEAR(readings.front(), 0.5, 0.01);
  EXPECT_GT(readings.back(), 1.1);
  EXPECT_LT(readings.back(), 1.35);
  // The noise: the scatter of each reading about the straight line through
  // its two neighbours (whose own noise adds half again).
  double sum = 0;
  for (std::size_t k = 1; k + 1 < readings.size(); ++k) {
    const double off = readings[k] - 0.5 * (readings[k - 1] + readings[k + 1]);
    sum += off * off;
  }
  const double deviation = std::sqrt(sum / static_cast<double>(readings.size() - 2) / 1.5);
  EXPECT_GT(deviation, 0.001);
  EXPECT_LT(deviation, 0.004);
}

TEST(SimulatorDetector, WithoutPeaksOfItsOwnAScenarioGetsTheNoisyDemoChromatogram) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("baseline 0.2")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(51, "1"));
  const std::vector<double> readings = detectorReadings(port, 400);
  ASSERT_GT(readings.size(), 5u);
  // The first peak is 12 s away: baseline and noise, readings that differ.
  const auto [low, high] = std::minmax_element(readings.begin(), readings.end());
  EXPECT_NEAR(*low, 0.2, 0.01);
  EXPECT_NEAR(*high, 0.2, 0.01);
  EXPECT_GT(*high - *low, 0.0005);
}

// ---------------------------------------------------------------- flow sensors

TEST(SimulatorFlow, SensorsAnswerRawValueMostSignificantFirstAndChecksum) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("sample-flow 20\ndetector-flow 30", kFlowSensors)) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  // raw = (flow / fullScale + 0.5) * 16384: 20 of 500 gives 8847, 30 of 100 gives 13107.
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x48, 3), 3)), "22 8f d0");
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x49, 3), 3)), "33 33 88");
  // Exactly the count asked for.
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x49, 5), 5)), "33 33 88 00 00");
}

TEST(SimulatorFlow, ChecksumIsTheSensorsCrc8) {
  SimulatorFixture f;
  // The data-sheet example of this CRC: 0xBEEF gives 0x92.
  ASSERT_TRUE(f.start("fs1 raw 0xBEEF", kFlowSensors)) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x48, 3), 3)), "be ef 92");
}

TEST(SimulatorFlow, SampleFlowStopsWithThePumpOfTheFirstController) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("sample-flow 20", kFlowSensors)) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(66, "P__0"));
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x48, 3), 3).substr(0, 2)), "22 8f") << "66 has no pump";
  port.send(i2cWrite(64, "STC000") + i2cWrite(64, "P__0"));
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x48, 3), 3).substr(0, 2)), "20 00") << "flow 0";
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x49, 3), 3).substr(0, 2)), "33 33") << "30 of 100";
  port.send(i2cWrite(64, "P__1"));
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x48, 3), 3).substr(0, 2)), "22 8f");
}

TEST(SimulatorFlow, PumpCanStartOff) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("pump off", kFlowSensors)) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x48, 3), 3).substr(0, 2)), "20 00");
}

TEST(SimulatorFlow, ComputedValuesStepRoundCarriageReturnBytes) {
  SimulatorFixture f;
  // 500 * (8717 / 16384 - 0.5) gives raw 0x220D; sent as 0x220E.
  ASSERT_TRUE(f.start("sample-flow 16.0217285", kFlowSensors)) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x48, 3), 3).substr(0, 2)), "22 0e");
}

TEST(SimulatorFlow, ARawCarriageReturnReachesTheProgramAsNewline) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("fs1 raw 0x0D0D", kFlowSensors)) << f.simulator.error();
  SimPort port(f.simulator.port(), true);  // ICRNL on, as the program leaves it
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(e2e::hex(port.ask(i2cRead(0x48, 3), 3).substr(0, 2)), "0a 0a");
}

TEST(SimulatorFlow, WithoutFlowsensorsFileThereAreNoSensors) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  EXPECT_EQ(port.ask(i2cRead(0x48, 3), 3), "");
}

// ---------------------------------------------------------------- trace and life cycle

TEST(SimulatorTrace, OneTabSeparatedLinePerFrameAndReplyWithBothClocks) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  timespec before{};
  clock_gettime(CLOCK_MONOTONIC, &before);
  const time_t wallBefore = time(nullptr);
  port.send(i2cWrite(64, "RCT") + i2cRead(64, 15) + registerWrite(4, 7) + registerRead(10));
  EXPECT_EQ(port.receive(16).size(), 16u);
  // Flushed per line: complete while the simulator still runs.
  const std::string text = e2e::readFile(f.simulator.tracePath());
  EXPECT_EQ(text.compare(0, 21, "# tarvex-sim trace 1\n"), 0) << text;

  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (line[0] != '#') lines.push_back(line.substr(line.find('\t', line.find('\t') + 1) + 1));
  }
  const std::vector<std::string> expected = {
      "rx\ti2c-write\t64\t3\t53 80 03 52 43 54 50\tRCT",
      "rx\ti2c-read\t64\t15\t53 81 0f 50\t",
      "rx\treg-write\t4\t7\t57 04 07 50\t",
      "rx\treg-read\t10\t-\t52 0a 50\t",
      "tx\ti2c-reply\t64\t15\t39 32 35 2e 30 30 00 00 00 00 00 00 00 00 00\t"
      "925.00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00",
      "tx\treg-reply\t10\t1\tf0\t\\xf0",
  };
  EXPECT_EQ(lines, expected);

  const auto trace = f.simulator.trace();
  ASSERT_EQ(trace.size(), 6u);
  const double monoBefore = static_cast<double>(before.tv_sec) + before.tv_nsec / 1e9;
  EXPECT_GE(trace[0].mono, monoBefore);
  EXPECT_LT(trace[0].mono, monoBefore + 2);
  EXPECT_GE(trace[0].real, static_cast<double>(wallBefore));
  EXPECT_LT(trace[0].real, static_cast<double>(wallBefore) + 3);
  EXPECT_EQ(trace[4].text, "925.00" + zeros(9));
  EXPECT_EQ(trace[4].value, 15);
  EXPECT_EQ(trace[2].address, 4);
  EXPECT_EQ(trace[2].value, 7);
  EXPECT_EQ(trace[3].value, -1);
  for (std::size_t i = 1; i < trace.size(); ++i) EXPECT_GE(trace[i].mono, trace[i - 1].mono);
  ASSERT_NE(e2e::replyTo(trace, 1), nullptr);
  EXPECT_EQ(e2e::replyTo(trace, 1), &trace[4]);
  EXPECT_EQ(e2e::replyTo(trace, 3), &trace[5]);
}

TEST(SimulatorTrace, CycleStartIsTheWallSecondOfTheFirstStatusQueryTo64) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  SimPort port(f.simulator.port());
  ASSERT_TRUE(port.ok());
  port.send(i2cWrite(66, "HS_"));
  port.send(i2cWrite(64, "HS_"));
  port.send(i2cWrite(64, "HS_"));
  EXPECT_EQ(port.receive(1, 100), "");
  f.simulator.stop();
  const auto trace = f.simulator.trace();
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_EQ(e2e::cycleStart(trace), static_cast<long>(std::floor(trace[1].real)));
  EXPECT_EQ(e2e::cycleSecond(trace[2], e2e::cycleStart(trace)), 0);
  EXPECT_EQ(e2e::writtenTexts(trace, 64), (std::vector<std::string>{"HS_", "HS_"}));
}

TEST(SimulatorLife, PortSurvivesTheProgramClosingAndReopeningIt) {
  SimulatorFixture f;
  ASSERT_TRUE(f.start("")) << f.simulator.error();
  {
    SimPort port(f.simulator.port());
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.ask(registerRead(10), 1), "\xf0");
  }
  SimPort again(f.simulator.port());
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.ask(registerRead(10), 1), "\xf0");
}

TEST(SimulatorLife, StopSignalsEndItCleanlyAndRemoveThePortLink) {
  for (int signal : {SIGTERM, SIGINT}) {
    e2e::TempDir dir("tarvex-simtest");
    const std::string link = dir.path() + "/port";
    const pid_t pid = fork();
    if (pid == 0) {
      execl(e2e::simulatorBinary(), e2e::simulatorBinary(), "--link", link.c_str(), "--trace",
            (dir.path() + "/trace.txt").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 1000 && !e2e::fileExists(link); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(e2e::fileExists(link));
    kill(pid, signal);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << signal;
    EXPECT_FALSE(e2e::fileExists(link)) << signal;
    EXPECT_EQ(e2e::readFile(dir.path() + "/trace.txt").compare(0, 20, "# tarvex-sim trace 1"), 0);
  }
}

TEST(SimulatorLife, ReplacesAStaleLinkButNeverAFile) {
  e2e::TempDir dir("tarvex-simtest");
  const std::string link = dir.path() + "/ttyGC";
  ASSERT_EQ(symlink("/dev/pts/nonexistent", link.c_str()), 0);
  {
    e2e::Simulator simulator;
    ASSERT_TRUE(simulator.start(dir.path(), "")) << simulator.error();
    SimPort port(link);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.ask(registerRead(10), 1), "\xf0");
  }
  e2e::writeFile(link, "a plain file");
  const pid_t pid = fork();
  if (pid == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 2);
    execl(e2e::simulatorBinary(), e2e::simulatorBinary(), "--link", link.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(e2e::readFile(link), "a plain file");
}

TEST(SimulatorLife, BadOptionsGiveUsageAndStatus2) {
  e2e::TempDir dir("tarvex-simtest");
  const std::string out = dir.path() + "/out.txt";
  const auto child = e2e::runChild({e2e::simulatorBinary(), "--baud", "fast"},
                                   e2e::environmentWith({}), dir.path(), out, out, 10);
  EXPECT_EQ(child.exitStatus, 2);
  EXPECT_NE(e2e::readFile(out).find("usage: tarvex-sim"), std::string::npos);
}

}  // namespace
