// The method file and the step player, end to end: which rows are read, what
// goes on the wire for each step and in which pass of the cycle.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runTestSupport.h"

namespace {

using runtest::frames;
using runtest::i2cRead;
using runtest::i2cWrite;

struct Step {
  int address;
  std::string command;  // as it must appear on the wire
  int time;             // seconds after the cycle start
};

TEST(RunMethod, PlayerReadsRowsAndSendsEachStepInItsPass) {
  e2e::RunOptions options;
  options.method =
      "# comment rows and blank lines are skipped on their first character\n"
      "#0\t64\tHASH\n"
      "!0\t64\tBANG\n"
      "-3\t64\tNEG\n"
      " 0\t64\tSPACED\n"
      "\n"
      "\t0\t66\tTABBED\n"
      "0\t70\tABCDEFGHIJKLMNOPQR\n"
      "1\t64\tCRLF\r\n"
      "2\t64\tLATE\n"
      "1\t66\tEARLY\n"
      "3\t64\tSAME1\n"
      "3\t66\tSAME2\n";
  options.args = runtest::cycleArgs(15);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_TRUE(runtest::endsWith(result.out, "Done.\n\n")) << result.out;
  // Only the step to 70 (no device there) goes unanswered; it is not retried.
  EXPECT_EQ(runtest::countOf(result.out, "Incomplete acknowledge!\n"), 1) << result.out;
  EXPECT_EQ(runtest::countOf(result.out, "retrying... "), 0) << result.out;

  const long start = e2e::cycleStart(result.trace);
  ASSERT_GE(start, 0);
  const long earliestStart = e2e::earliestCycleStart(result.trace);
  const auto wire = frames(result.trace);

  // Every method step on the wire, in order: no retries, no skipped row sent.
  const std::vector<Step> expected = {
      {64, "NEG", -3},  {66, "TABBED", 0}, {70, "ABCDEFGHIJKLMNOPQ", 0},
      {64, "CRLF", 1},  {64, "LATE", 2},   {66, "EARLY", 1},
      {64, "SAME1", 3}, {66, "SAME2", 3}};
  std::vector<int> at;
  for (int i = 0; i < static_cast<int>(wire.size()); ++i) {
    const auto& event = wire[i];
    const bool device = event.address == 64 || event.address == 66 || event.address == 70;
    const bool ownQuery = event.text == "RCT" || event.text == "RWT" || event.text == "HS_";
    if (event.kind == "i2c-write" && device && !ownQuery) at.push_back(i);
  }
  ASSERT_EQ(at.size(), expected.size()) << result.simulatorErr;
  std::vector<double> acknowledgeWaits;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const auto& step = expected[k];
    const auto& write = wire[at[k]];
    SCOPED_TRACE(step.command);
    // The 18-character command goes out cut to 17; the CRLF row without its CR.
    EXPECT_EQ(e2e::hex(write.raw), e2e::hex(i2cWrite(step.address, step.command)));
    // Each step reads its acknowledge (16 bytes) 35 ms after the command (the
    // lower bound on the median, so that one frame read late cannot fail it).
    ASSERT_LT(at[k] + 1, static_cast<int>(wire.size()));
    const auto& request = wire[at[k] + 1];
    EXPECT_EQ(e2e::hex(request.raw), e2e::hex(i2cRead(step.address, 16)));
    EXPECT_LE(request.mono - write.mono, 0.035 + runtest::kSlowGap);
    acknowledgeWaits.push_back(request.mono - write.mono);
    // Sent in the first pass whose clock reads more than start + time.
    if (step.time >= 0 && step.command != "EARLY" && step.command != "SAME2") {
      EXPECT_GE(e2e::cycleSecond(write, earliestStart), step.time + 1);
      EXPECT_LE(e2e::cycleSecond(write, start), step.time + 2);
    }
  }

  EXPECT_GE(runtest::median(acknowledgeWaits), 0.035 - runtest::kReadLatency);

  // The negative step goes out in the very first pass: after the detector's
  // start command ("I", 140 ms) and one loop pause of 80 ms, with nothing between.
  ASSERT_GT(at[0], 0);
  const auto& before = wire[at[0] - 1];
  EXPECT_EQ(e2e::hex(before.raw), e2e::hex(i2cWrite(51, "I")));
  EXPECT_GE(wire[at[0]].mono - before.mono, 0.140 + 0.080 - runtest::kReadLatency);
  EXPECT_LE(wire[at[0]].mono - before.mono, 0.140 + 0.080 + runtest::kSlowGap);

  // EARLY was due before LATE but follows it, one pass later; SAME2 follows SAME1
  // one pass later: a step (35 + 50 ms) and the loop pause (80 ms) at least between.
  for (std::size_t k : {5u, 7u}) {
    SCOPED_TRACE(expected[k].command);
    const double gap = wire[at[k]].mono - wire[at[k - 1]].mono;
    EXPECT_GE(gap, 0.035 + 0.050 + 0.080 - runtest::kReadLatency);
    EXPECT_LE(gap, 1.0);  // the pass before may also poll a T-controller
  }
}

// A row that cannot be decoded ends the start-up before anything is sent.
void expectRefused(const std::string& method) {
  e2e::RunOptions options;
  options.method = method;
  options.args = runtest::cycleArgs(12);
  options.timeoutSeconds = 30;
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.exitStatus, 255) << result.out;
  EXPECT_TRUE(runtest::endsWith(result.out, "Error decoding file, abort\n")) << result.out;
  EXPECT_TRUE(frames(result.trace).empty()) << result.simulatorErr;
}

TEST(RunMethod, LoaderRefusesAnEmptyLineWithCarriageReturn) {
  expectRefused("0\t64\tAAA\n\r\n1\t64\tBBB\n");
}

TEST(RunMethod, LoaderRefusesAHexadecimalAddress) {
  expectRefused("0\t0x40\tX\n");
}

}  // namespace
