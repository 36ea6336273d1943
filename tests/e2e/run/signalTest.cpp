// Stop signals: a signal in the middle of a cycle writes the result files with
// every reading taken, shuts the instrument down and exits with 128 + the
// signal; further signals do not cut the shutdown short; a signal during the
// start-up ends it after the step in progress.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "../output/outputTrace.h"
#include "runTestSupport.h"

namespace {

using runtest::i2cWrite;
using runtest::regWrite;

const std::string kFlowSensors = "FS1: 0x48\t 500.0\nFS2: 0x49\t 100.0\nSAMPLING_STARTTIME: 3\n";

// The shutdown: stop commands to both controllers, detector off, GPIO pulse.
std::vector<runtest::Paced> shutdownSequence() {
  return {
      {i2cWrite(64, "STC000"), 0},   {i2cWrite(66, "STC000"), 0.110}, {i2cWrite(64, "F__1"), 0.110},
      {i2cWrite(66, "F__1"), 0.110}, {i2cWrite(64, "P__0"), 0.110},   {i2cWrite(66, "P__0"), 0.110},
      {i2cWrite(51, "0"), 0.110},    {regWrite(9, 63), 0.070},        {regWrite(4, 7), 0.540},
      {regWrite(2, 63), 0.040},      {regWrite(4, 0), 0.040},         {regWrite(4, 7), 0.100}};
}

struct SentSignal {
  std::string name;
  double mono = 0;
};

// Runs Tarvex under the signal sender; plan like "TERM@7,INT@8". A piped
// console goes through a reader that each signal ends first.
e2e::RunResult runWithSignals(e2e::RunOptions options, const std::string& plan,
                              std::vector<SentSignal>* sent, bool pipedConsole = false) {
  options.wrapper = {"/usr/bin/python3", SEND_SIGNALS_SCRIPT, "../sim-trace.txt", "signals.log",
                     plan};
  if (pipedConsole) options.wrapper.push_back("--reader");
  options.wrapper.push_back("--");
  e2e::RunResult result = e2e::run(options);
  std::istringstream log(result.readWorkFile("signals.log"));
  SentSignal signal;
  while (log >> signal.name >> signal.mono) sent->push_back(signal);
  return result;
}

// Index of the first shutdown frame; the sequence must end the trace.
int shutdownStart(const std::vector<e2e::TraceEvent>& wire) {
  const auto shutdown = shutdownSequence();
  const int first = static_cast<int>(wire.size()) - static_cast<int>(shutdown.size());
  if (first < 1) return -1;
  runtest::expectPaced(wire, first, shutdown);
  return first;
}

std::string panicEntry(const std::string& signal) {
  return ": in [PANIC] state, re-set T-controllers.\n      interrupted by " + signal +
         "\n    Offending message reply: \n";
}

// A 40-s cycle with its detector window from second 2 and a sample volume.
e2e::RunOptions cycleWithVolume(const std::string& method, const std::string& volume) {
  e2e::RunOptions options;
  options.method = method;
  options.flowSensors = kFlowSensors;
  options.args = runtest::cycleArgs(40, 2, 20);
  options.args.insert(options.args.end(), {"-samplevolume", volume});
  return options;
}

// SIGTERM, or SIGINT to "Tarvex | tee log" as a whole: the reader ends first.
class MidCycleSignal : public ::testing::TestWithParam<bool> {};

TEST_P(MidCycleSignal, KeepsEveryReadingAndShutsDown) {
  const bool piped = GetParam();
  const std::string signal = piped ? "SIGINT" : "SIGTERM";
  const auto options = cycleWithVolume("0\t64\tSTC060\n1\t66\tSTC045\n", "1000");
  std::vector<SentSignal> sent;
  const auto result = runWithSignals(options, piped ? "INT@8" : "TERM@8", &sent, piped);
  ASSERT_TRUE(result.started) << result.error;
  ASSERT_EQ(sent.size(), 1u) << "ended before the signal with " << result.exitStatus << result.out;
  EXPECT_EQ(result.exitStatus, piped ? 130 : 143) << result.out;
  if (piped) {
    // What was said after the reader ended is lost, and nothing else.
    EXPECT_NE(result.out.find(" Time    PCC"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Run interrupted"), std::string::npos) << result.out;
  } else {
    EXPECT_TRUE(runtest::endsWith(result.out, "\nRun interrupted by " + signal +
                                                  ".\n"
                                                  "T1 faults: 0\tT2 faults: 0\n"
                                                  "T1retries: 0\tT2retries: 0\n"))
        << result.out;
  }

  // The pass in progress ends, then the shutdown follows its 1000 ms.
  const auto wire = runtest::frames(result.trace);
  const int first = shutdownStart(wire);
  ASSERT_GT(first, 0);
  EXPECT_GT(wire[first - 1].mono, sent[0].mono - 1.0);
  EXPECT_LT(wire[first - 1].mono, sent[0].mono + 1.0) << "the pass in progress only";
  EXPECT_GE(wire[first].mono - wire[first - 1].mono, 1.0 - runtest::kReadLatency);
  // A loaded machine can delay either side by a few tenths; a doubled wait
  // still fails.
  EXPECT_LE(wire[first].mono - wire[first - 1].mono, 1.0 + 0.9);

  // Every reading taken is in the files, the flow log included.
  using namespace outputcheck;
  const CycleClock clock = cycleClock(result.trace);
  ASSERT_GE(clock.latest, 0);
  std::string day, stamp;
  for (long start : {clock.earliest, clock.latest}) {
    if (e2e::fileExists(result.rootDir + "/" + localDay(start) + "/TC64_" + localStamp(start) +
                        ".TLog")) {
      day = localDay(start);
      stamp = localStamp(start);
    }
  }
  ASSERT_FALSE(stamp.empty()) << "no temperature log";
  const std::string folder = result.rootDir + "/" + day + "/";
  for (int address : {64, 66}) {
    const auto readings = tcReadings(result.trace, address, clock);
    EXPECT_GE(readings.size(), 2u);
    Lines lines;
    addFixed(&lines, format("  faults: %3d    seq_faults: %3d     retries: %3d\n", 0, 0, 0) +
                         (address == 66 ? "\n" : "") +
                         "\nTime\tColumnT\t WarmT\n----------------------------------\n");
    addTcRows(&lines, readings);
    const std::string text =
        e2e::readFile(folder + "TC" + std::to_string(address) + "_" + stamp + ".TLog");
    EXPECT_EQ(text, resolve(text, lines)) << address;
  }
  const auto pid = pidReadings(result.trace, clock, 2);
  Lines pidLines;
  addPidRows(&pidLines, pid);
  EXPECT_GE(pidLines.size(), 2u);
  const std::string pidText = e2e::readFile(folder + "PID_" + stamp + ".dat");
  EXPECT_EQ(pidText, resolve(pidText, pidLines));
  Lines flowLines;
  addFlowRows(&flowLines, flowReadings(result.trace, 0x48, 500.0F, 0x49, 100.0F));
  addFixed(&flowLines, "\nWARNING: target sample volume 1000 ccm not reached!\n");
  const std::string flowText = e2e::readFile(folder + "Flow_" + stamp + ".TLog");
  EXPECT_EQ(flowText, resolve(flowText, flowLines));

  const std::string panicLog = result.readWorkFile("PanicLog");
  EXPECT_EQ(panicLog.substr(std::min<std::size_t>(19, panicLog.size())), panicEntry(signal))
      << panicLog;
}

INSTANTIATE_TEST_SUITE_P(Cases, MidCycleSignal, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return std::string(param.param ? "IntWithTheConsolePipeClosed" : "Term");
                         });

TEST(RunSignal, FurtherSignalsDoNotCutTheShutdownShort) {
  e2e::RunOptions options;
  options.method = "";
  options.args = runtest::cycleArgs(40, 2, 20);
  std::vector<SentSignal> sent;
  // The second lands in the 1000 ms before the commands, the third among them.
  const auto result = runWithSignals(options, "INT@7,TERM@7.8,HUP@8.6", &sent);
  ASSERT_TRUE(result.started) << result.error;
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(result.exitStatus, 130) << result.out;
  EXPECT_EQ(runtest::countOf(result.out, "Run interrupted by"), 1) << result.out;
  EXPECT_NE(result.out.find("\nRun interrupted by SIGINT.\n"), std::string::npos) << result.out;

  const auto wire = runtest::frames(result.trace);
  const int first = shutdownStart(wire);  // every pause in full
  ASSERT_GT(first, 0);
  EXPECT_LT(wire[first - 1].mono, sent[1].mono) << "the second signal came too early to test";
  EXPECT_LT(wire[first].mono, sent[2].mono + runtest::kSlowGap);
  EXPECT_GE(wire[first].mono - wire[first - 1].mono, 1.0 - runtest::kReadLatency);

  const std::string panicLog = result.readWorkFile("PanicLog");
  EXPECT_EQ(panicLog.substr(std::min<std::size_t>(19, panicLog.size())), panicEntry("SIGINT"))
      << panicLog;
  for (const std::string& file : result.rootFiles()) {
    EXPECT_EQ(file.find("Flow_"), std::string::npos) << "no flow log without a sample volume";
  }
}

TEST(RunSignal, TermDuringStartUpEndsItAfterTheStep) {
  const auto options = cycleWithVolume("0\t64\tSTC060\n", "10");
  std::vector<SentSignal> sent;
  // The first frame opens the bridge bring-up; 0.2 s later it or the flow
  // sensor test is under way, long before the controllers are asked.
  const auto result = runWithSignals(options, "TERM@0.2", &sent);
  ASSERT_TRUE(result.started) << result.error;
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(result.exitStatus, 143) << result.out;
  EXPECT_TRUE(
      runtest::endsWith(result.out, "\nStart-up interrupted by SIGTERM: no cycle was started.\n"))
      << result.out;
  EXPECT_TRUE(e2e::writtenTexts(result.trace, 64) ==
              (std::vector<std::string>{"STC000", "F__1", "P__0"}))
      << "no hardware status asked, no method step sent";
  EXPECT_TRUE(result.rootFiles().empty());

  const auto wire = runtest::frames(result.trace);
  const int first = shutdownStart(wire);
  ASSERT_GT(first, 0);
  // The bridge bring-up ran to its end: the GPIO pulse back to 7 precedes the shutdown.
  EXPECT_GE(runtest::findFrame(wire, regWrite(4, 6)), 0);
  const std::string panicLog = result.readWorkFile("PanicLog");
  EXPECT_EQ(panicLog.substr(std::min<std::size_t>(19, panicLog.size())), panicEntry("SIGTERM"))
      << panicLog;
}

}  // namespace
