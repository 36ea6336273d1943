// Failed acknowledges of method steps: the retries, the abort after the third
// failure towards a T-controller with the shutdown sequence, the summary and
// the panic entry, and steps to other devices that are never retried.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "runTestSupport.h"

namespace {

using runtest::frames;
using runtest::i2cWrite;
using runtest::regWrite;

TEST(RunAbort, ThirdWrongAcknowledgeShutsTheInstrumentDown) {
  e2e::RunOptions options;
  options.scenario = "tc64.ack:CMD wrong\n";
  options.method = "0\t64\tCMD\n";
  options.args = runtest::cycleArgs(20);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.exitStatus, 20) << result.out;
  EXPECT_EQ(runtest::countOf(result.out, "retrying... "), 3) << result.out;
  EXPECT_TRUE(runtest::endsWith(result.out,
                                "\nRun aborted.\n"
                                "T1 faults: 3\tT2 faults: 0\n"
                                "T1retries: 3\tT2retries: 0\n"
                                "Workresult: 1\n"))
      << result.out;

  const long start = e2e::cycleStart(result.trace);
  ASSERT_GE(start, 0);
  const auto wire = frames(result.trace);

  // Three tries, one per pass.
  std::vector<int> tries;
  for (int i = runtest::findFrame(wire, i2cWrite(64, "CMD")); i >= 0;
       i = runtest::findFrame(wire, i2cWrite(64, "CMD"), i + 1)) {
    tries.push_back(i);
  }
  ASSERT_EQ(tries.size(), 3u);
  // A step (35 + 50 ms) and the loop pause (80 ms) at least from one to the next.
  EXPECT_GE(wire[tries[2]].mono - wire[tries[0]].mono,
            2 * (0.035 + 0.050 + 0.080) - runtest::kReadLatency);

  // The shutdown after the third failure, each frame with the pause before it,
  // and nothing after the last register write: the port is closed and the
  // program ends.
  const std::vector<runtest::Paced> shutdown = {
      {i2cWrite(64, "STC000"), 0},   {i2cWrite(66, "STC000"), 0.110}, {i2cWrite(64, "F__1"), 0.110},
      {i2cWrite(66, "F__1"), 0.110}, {i2cWrite(64, "P__0"), 0.110},   {i2cWrite(66, "P__0"), 0.110},
      {i2cWrite(51, "0"), 0.110},    {regWrite(9, 63), 0.070},        {regWrite(4, 7), 0.540},
      {regWrite(2, 63), 0.040},      {regWrite(4, 0), 0.040},         {regWrite(4, 7), 0.100}};
  const int first = runtest::findFrame(wire, shutdown[0].raw, tries.back());
  ASSERT_GT(first, tries.back());
  EXPECT_EQ(wire.size(), first + shutdown.size()) << e2e::hex(wire.back().raw);
  runtest::expectPaced(wire, first, shutdown);
  // It begins with 1000 ms, after the rest of the aborting pass and the files.
  const double pause = wire[first].mono - wire[first - 1].mono;
  EXPECT_GE(pause, 1.0 - runtest::kReadLatency);
  EXPECT_LE(pause, 1.0 + 0.5);

  // The panic entry, written after the last register write, with its time.
  const std::string panicLog = result.readWorkFile("PanicLog");
  const std::string entry =
      ": in [PANIC] state, re-set T-controllers.\n"
      "      T64 faults:   3  seq_faults:   0  retries:   3  T66 faults:   0  seq_faults:   0  "
      "retries:   0\n"
      "    Offending message reply: Command not acknowledged: [CMDE] instead of [CMDK]\n"
      "\n";
  const long last = static_cast<long>(std::floor(wire.back().real));
  bool found = false;
  for (long second = last; second <= last + 2 && !found; ++second) {
    found = panicLog == runtest::entryTime(second) + entry;
  }
  EXPECT_TRUE(found) << panicLog;

  // The temperature logs and the detector file, but no flow log on this path.
  const std::string date = runtest::localDate(start);
  const std::string stamp = runtest::fileStamp(start);
  EXPECT_EQ(result.rootFiles(), (std::vector<std::string>{date + "/PID_" + stamp + ".dat",
                                                          date + "/TC64_" + stamp + ".TLog",
                                                          date + "/TC66_" + stamp + ".TLog"}));
}

TEST(RunAbort, OnlyTControllerStepsAreRetried) {
  e2e::RunOptions options;
  options.scenario = "tc66.ack:AB incomplete first 1\n";
  // 70 has no device; 51 answers with a detector reading, not "ZZK".
  options.method = "0\t66\tAB\n0\t70\tQQ\n0\t51\tZZ\n";
  options.args = runtest::cycleArgs(12);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_TRUE(runtest::endsWith(result.out, "Done.\n\n")) << result.out;
  EXPECT_EQ(runtest::countOf(result.out, "Incomplete acknowledge!\nretrying... "), 1) << result.out;
  EXPECT_EQ(runtest::countOf(result.out, "Incomplete acknowledge!\n"), 2) << result.out;
  EXPECT_EQ(runtest::countOf(result.out, "retrying... "), 1) << result.out;

  const auto wire = frames(result.trace);
  EXPECT_EQ(runtest::countFrames(wire, i2cWrite(66, "AB")), 2);
  EXPECT_EQ(runtest::countFrames(wire, i2cWrite(70, "QQ")), 1);
  EXPECT_EQ(runtest::countFrames(wire, i2cWrite(51, "ZZ")), 1);
  const int firstTry = runtest::findFrame(wire, i2cWrite(66, "AB"));
  const int secondTry = runtest::findFrame(wire, i2cWrite(66, "AB"), firstTry + 1);
  ASSERT_GT(secondTry, firstTry);
  EXPECT_GE(wire[secondTry].mono - wire[firstTry].mono,
            0.035 + 0.050 + 0.080 - runtest::kReadLatency);
  EXPECT_LT(secondTry, runtest::findFrame(wire, i2cWrite(70, "QQ")));
  EXPECT_FALSE(e2e::fileExists(result.workDir + "/PanicLog"));
}

}  // namespace
