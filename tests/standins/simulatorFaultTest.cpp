// Faults on demand: each kind of scenario rule, seen through the simulator's pty.
#include <gtest/gtest.h>

#include "simPort.h"

namespace {

std::string zeros(std::size_t count) {
  return std::string(count, '\0');
}

const char* kFlowSensors = "FS1: 0x48\t 500.0\nFS2: 0x49\t 100.0\nSAMPLING_STARTTIME: 3\n";

class SimulatorFaults : public ::testing::Test {
 protected:
  void start(const std::string& scenario, const std::string& flowSensors = "") {
    ASSERT_TRUE(fixture_.start(scenario, flowSensors)) << fixture_.simulator.error();
    port_ = std::make_unique<SimPort>(fixture_.simulator.port());
    ASSERT_TRUE(port_->ok());
  }
  // One T-controller query: the command, then a read of `count` bytes.
  std::string query(int address, const std::string& command, int count) {
    port_->send(i2cWrite(address, command));
    return port_->ask(i2cRead(address, count), static_cast<std::size_t>(count));
  }
  std::string reg(int number) { return port_->ask(registerRead(number), 1); }
  std::vector<e2e::TraceEvent> stopAndTrace() {
    fixture_.simulator.stop();
    return fixture_.simulator.trace();
  }

  SimulatorFixture fixture_;
  std::unique_ptr<SimPort> port_;
};

// ---------------------------------------------------------------- bridge

TEST_F(SimulatorFaults, BridgeSilentForTheFirstStatusRequests) {
  start("reg10 none first 2");
  EXPECT_EQ(reg(10), "");
  EXPECT_EQ(reg(10), "");
  EXPECT_EQ(reg(10), "\xf0");
  EXPECT_EQ(reg(2), zeros(1)) << "other registers still answer";
  const auto trace = stopAndTrace();
  EXPECT_EQ(e2e::select(trace, "reg-silent", 10).size(), 2u);
}

TEST_F(SimulatorFaults, BridgeSilentAlways) {
  start("reg10 none");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(reg(10), "");
}

TEST_F(SimulatorFaults, StatusRegisterValueAndDelay) {
  start("reg10 value 0 at 1\nreg10 delay 25");
  EXPECT_EQ(reg(10), zeros(1));
  EXPECT_EQ(reg(10), "\xf0");
  const auto trace = stopAndTrace();
  ASSERT_EQ(trace.size(), 4u);
  // Polled every 10 ms, a reply 25 ms late is found by the third poll.
  EXPECT_GE(trace[1].mono - trace[0].mono, 0.025);
  EXPECT_LT(trace[1].mono - trace[0].mono, 0.2);
}

TEST_F(SimulatorFaults, GpioConfigurationRegisterReads63) {
  start("reg2 value 63");
  EXPECT_EQ(reg(2), "\x3f");
}

TEST_F(SimulatorFaults, GpioConfigurationRegisterSilent) {
  start("reg2 none");
  EXPECT_EQ(reg(2), "");
  EXPECT_EQ(reg(10), "\xf0");
}

TEST_F(SimulatorFaults, GpioConfigurationRegisterAnswersMoreThanOneByte) {
  start("reg2 long 3\nreg4 bytes 3f 0x01");
  EXPECT_EQ(port_->ask(registerRead(2), 3), zeros(3));
  EXPECT_EQ(port_->ask(registerRead(4), 2), "\x3f\x01");
}

// ---------------------------------------------------------------- T-controllers

TEST_F(SimulatorFaults, TemperatureReadsFailAtChosenReadCounts) {
  start("tc64.rct none at 3-5");
  const std::string good = "925.00" + zeros(9);
  EXPECT_EQ(query(64, "RCT", 15), good);
  EXPECT_EQ(query(64, "RCT", 15), good);
  EXPECT_EQ(query(64, "RWT", 15), good) << "the warm reads count apart";
  EXPECT_EQ(query(64, "RCT", 15), "");
  EXPECT_EQ(query(66, "RCT", 15), good) << "the other controller counts apart";
  EXPECT_EQ(query(64, "RCT", 15), "");
  EXPECT_EQ(query(64, "RCT", 15), "");
  EXPECT_EQ(query(64, "RCT", 15), good);
}

TEST_F(SimulatorFaults, TemperatureRepliesShortUnparseableOrGivenText) {
  start("tc64.rct short 2 at 1\ntc64.rct unparseable at 2\ntc66.rwt text \"-12.5\"\n");
  EXPECT_EQ(query(64, "RCT", 15), "92");
  EXPECT_EQ(query(64, "RCT", 15), "9ERR" + zeros(11));
  EXPECT_EQ(query(66, "RWT", 15), "9-12.5" + zeros(9));
  EXPECT_EQ(query(66, "RCT", 15), "925.00" + zeros(9));
}

TEST_F(SimulatorFaults, TemperatureFaultsAtChosenCycleSeconds) {
  // Cycle second 0 is the second of the first "HS_" to 64; before it no
  // "seconds" rule applies.
  start("tc66.rct text \"77.7\" seconds 0-1\ntc66.rwt none seconds 500-");
  EXPECT_EQ(query(66, "RCT", 15), "925.00" + zeros(9)) << "before the cycle";
  port_->send(i2cWrite(64, "HS_"));
  EXPECT_EQ(query(66, "RCT", 15), "977.7" + zeros(10));
  EXPECT_EQ(query(66, "RWT", 15), "925.00" + zeros(9));
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(query(66, "RCT", 15), "925.00" + zeros(9)) << "second 2 or 3";
}

TEST_F(SimulatorFaults, HardwareStatusNumberPerController) {
  start("tc66.hs status 5");
  EXPECT_EQ(query(64, "HS_", 16), "9STATUS HW:0***" + zeros(1));
  EXPECT_EQ(query(66, "HS_", 16), "9STATUS HW:5***" + zeros(1));
}

TEST_F(SimulatorFaults, HardwareStatusSilentUnparseableOrText) {
  start("tc64.hs none\ntc66.hs unparseable at 1\ntc66.hs text \"BUSY\" at 2");
  EXPECT_EQ(query(64, "HS_", 16), "");
  EXPECT_EQ(query(66, "HS_", 16), "9STATUS HW:?***" + zeros(1));
  EXPECT_EQ(port_->ask(i2cRead(66, 16), 16), "9BUSY" + zeros(11));
}

TEST_F(SimulatorFaults, WrongAcknowledgeForOneCommandTheFirstTimes) {
  start("tc64.ack:STC120 wrong first 2");
  EXPECT_EQ(query(64, "STC120", 16), "9STC120E" + zeros(8));
  EXPECT_EQ(query(64, "STW080", 16), "9STW080K" + zeros(8)) << "other commands";
  EXPECT_EQ(query(66, "STC120", 16), "9STC120K" + zeros(8)) << "other controller";
  EXPECT_EQ(query(64, "STC120", 16), "9STC120E" + zeros(8));
  EXPECT_EQ(query(64, "STC120", 16), "9STC120K" + zeros(8));
}

TEST_F(SimulatorFaults, IncompleteAcknowledgeIsShorterThanTheCommand) {
  start("tc66.ack incomplete");
  // The program wants at least as many bytes as the command has.
  EXPECT_EQ(query(66, "V3_ON", 16), "9V3_");
  EXPECT_EQ(query(66, "P__0", 16), "9P_");
  EXPECT_EQ(query(66, "RCT", 15), "925.00" + zeros(9)) << "readings are no acknowledges";
}

TEST_F(SimulatorFaults, AcknowledgeWithGivenTextOrNone) {
  start("tc64.ack text \"HELLO\" at 1\ntc64.ack none at 2");
  EXPECT_EQ(query(64, "F__1", 16), "9HELLO" + zeros(10));
  EXPECT_EQ(query(64, "F__1", 16), "");
  EXPECT_EQ(query(64, "F__1", 16), "9F__1K" + zeros(10));
}

// ---------------------------------------------------------------- detector

TEST_F(SimulatorFaults, DetectorRepliesMissingOrWithGivenTexts) {
  start(
      "baseline 0.5\npeak 1000 1 1\npid none at 2\npid voltage \"3.3\" at 3\n"
      "pid status \"-1\" at 4\npid unparseable at 5\npid voltage \"1.23456E-01\" at 6\n"
      "pid status \"42\" at 6");
  port_->send(i2cWrite(51, "1"));
  EXPECT_EQ(port_->ask(i2cRead(51, 16), 16),
            "95.00000E-01800"
            "8");
  EXPECT_EQ(port_->ask(i2cRead(51, 16), 16), "");
  EXPECT_EQ(port_->ask(i2cRead(51, 16), 16),
            "93.3        800"
            "8");
  EXPECT_EQ(port_->ask(i2cRead(51, 16), 16),
            "95.00000E-018-1"
            "8");
  EXPECT_EQ(port_->ask(i2cRead(51, 16), 16),
            "9ERR        800"
            "8");
  EXPECT_EQ(port_->ask(i2cRead(51, 16), 16),
            "91.23456E-01842"
            "8");
}

TEST_F(SimulatorFaults, RepliesLongerThanSixteenBytes) {
  start("pid long 20\ntc64.rct long 40");
  port_->send(i2cWrite(51, "1"));
  EXPECT_EQ(port_->ask(i2cRead(51, 16), 20).size(), 20u);
  const std::string reply = query(64, "RCT", 15);
  EXPECT_EQ(reply, "925.00" + zeros(34));
}

// ---------------------------------------------------------------- flow sensors

TEST_F(SimulatorFaults, FlowSensorFailsForItsFirstReadsThenLater) {
  start("fs1 short 2 first 3\nfs1 none from 6", kFlowSensors);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(port_->ask(i2cRead(0x48, 3), 3).size(), 2u) << i;
  EXPECT_EQ(port_->ask(i2cRead(0x48, 3), 3).size(), 3u);
  EXPECT_EQ(port_->ask(i2cRead(0x49, 3), 3).size(), 3u) << "the detector flow sensor counts apart";
  EXPECT_EQ(port_->ask(i2cRead(0x48, 3), 3).size(), 3u);
  EXPECT_EQ(port_->ask(i2cRead(0x48, 3), 3), "");
  EXPECT_EQ(port_->ask(i2cRead(0x48, 3), 3), "");
}

TEST_F(SimulatorFaults, FlowSensorRawValueOrFlowOverride) {
  start("fs2 raw 0x2000\nfs1 flow 250 at 1\nfs1 raw 65535 at 2", kFlowSensors);
  EXPECT_EQ(e2e::hex(port_->ask(i2cRead(0x49, 3), 3).substr(0, 2)), "20 00");
  EXPECT_EQ(e2e::hex(port_->ask(i2cRead(0x48, 3), 3).substr(0, 2)), "40 00");
  EXPECT_EQ(e2e::hex(port_->ask(i2cRead(0x48, 3), 3).substr(0, 2)), "ff ff");
}

// ---------------------------------------------------------------- every reply

TEST_F(SimulatorFaults, PerReplyDelay) {
  start("tc64.rct delay 60 at 2");
  EXPECT_EQ(query(64, "RCT", 15).size(), 15u);
  EXPECT_EQ(query(64, "RCT", 15).size(), 15u);
  const auto replies = e2e::select(stopAndTrace(), "i2c-reply", 64);
  const auto reads = e2e::select(fixture_.simulator.trace(), "i2c-read", 64);
  ASSERT_EQ(replies.size(), 2u);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_LT(replies[0].mono - reads[0].mono, 0.045);
  EXPECT_GE(replies[1].mono - reads[1].mono, 0.060);
}

TEST_F(SimulatorFaults, GlobalReplyDelayAndLeadingByte) {
  start("reply-delay 20\nlead-byte 0x06");
  EXPECT_EQ(query(64, "RCT", 15),
            "\x06"
            "25.00" +
                zeros(9));
  const auto trace = stopAndTrace();
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_GE(trace[2].mono - trace[1].mono, 0.020);
}

TEST_F(SimulatorFaults, RulesCombineInFileOrder) {
  start("tc64.rct text \"123456789\"\ntc64.rct short 4\ntc64.rct long 6 at 2");
  EXPECT_EQ(query(64, "RCT", 15), "9123");
  EXPECT_EQ(query(64, "RCT", 15), "9123" + zeros(2));
}

// ---------------------------------------------------------------- scenario errors

TEST(SimulatorScenario, ErrorsNameTheLineAndStopTheSimulator) {
  const std::pair<const char*, const char*> cases[] = {
      {"tc65.rct none", "line 1: unknown reply stream 'tc65.rct'"},
      {"# fine\ntc64.rct explode", "line 2: unknown action 'explode'"},
      {"pid wrong", "line 1: action 'wrong' does not fit pid"},
      {"tc64.rct incomplete", "line 1: action 'incomplete' does not fit tc64.rct"},
      {"reg10 value", "line 1: action 'value' needs a value"},
      {"fs1 short x", "line 1: bad value 'x' for short"},
      {"tc64.rct none at 5-3", "line 1: bad range '5-3'"},
      {"tc64.rct none sometimes", "line 1: expected always"},
      {"tc64.rct text \"open", "line 1: unterminated quoted text"},
      {"pump maybe", "line 1: bad setting 'pump'"},
      {"noise -0.001", "line 1: bad setting 'noise'"},
      {"drift", "line 1: bad setting 'drift'"},
      {"reg2 bytes 3g", "line 1: bad hex byte '3g'"},
  };
  for (const auto& [scenario, message] : cases) {
    SimulatorFixture f;
    EXPECT_FALSE(f.start(scenario)) << scenario;
    EXPECT_NE(f.simulator.error().find(message), std::string::npos)
        << scenario << " gave: " << f.simulator.error();
  }
}

TEST(SimulatorScenario, CommentsBlankLinesAndEveryConditionForm) {
  SimulatorFixture f;
  ASSERT_TRUE(
      f.start("# a comment\n\n   \ntc64.rct none always # trailing comment\n"
              "tc64.rwt none at 2\ntc64.rwt none at 4-\ntc66.rct none first 1\n"
              "tc66.rwt none from 2\ntc64.hs none seconds 3\n"))
      << f.simulator.error();
}

}  // namespace
