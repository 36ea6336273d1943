// The whole cycle: its normal end in the right second with nothing sent after
// it, and standard output that reaches a log while the cycle runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "runTestSupport.h"

namespace {

using runtest::frames;
using runtest::i2cWrite;

double wallClockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double modificationTime(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return -1;
  return static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec * 1e-9;
}

TEST(RunCycle, TwelveSecondCycleEndsInItsThirdSecondAndSendsNothingMore) {
  e2e::RunOptions options;
  options.method = "0\t64\tSTC060\n";
  options.args = runtest::cycleArgs(12);
  options.timeoutSeconds = 60;
  const auto result = e2e::run(options);
  const double ended = wallClockNow();
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_TRUE(runtest::endsWith(result.out, "Done.\n\n")) << result.out;

  const long start = e2e::cycleStart(result.trace);
  const long earliest = e2e::earliestCycleStart(result.trace);
  ASSERT_GE(start, 0);
  // The end comes in the first pass whose clock reads more than start + 12 - 10.
  const std::string folder = result.rootDir + "/" + runtest::localDate(start) + "/";
  const std::string stamp = runtest::fileStamp(start);
  double written = -1;
  for (const std::string& file :
       {"TC64_" + stamp + ".TLog", "TC66_" + stamp + ".TLog", "PID_" + stamp + ".dat"}) {
    const double modified = modificationTime(folder + file);
    EXPECT_GE(modified, earliest + 3.0) << file;
    EXPECT_LT(modified, start + 4.5) << file;
    written = std::max(written, modified);
  }
  EXPECT_LT(ended, start + 4.0 + 1.5);

  const auto wire = frames(result.trace);
  ASSERT_FALSE(wire.empty());
  // The last frame is the last of the ending pass: the request for a warm
  // temperature, or the detector's power-off when that pass polled no
  // T-controller. Written 50 ms before the files at least, so it reached the
  // simulator before them unless it was read very late.
  const auto& last = wire.back();
  const bool warmRequest = last.kind == "i2c-read" && last.value == 15;
  EXPECT_TRUE(warmRequest || last.raw == i2cWrite(51, "0")) << e2e::hex(last.raw);
  EXPECT_LT(last.real, written + 0.05) << e2e::hex(last.raw);
  // No shutdown: no stop commands, and no register write once the cycle began
  // (they all belong to the bring-up, before the first status query).
  const int cycleBegan = runtest::findFrame(wire, i2cWrite(64, "HS_"));
  ASSERT_GE(cycleBegan, 0);
  for (std::size_t i = cycleBegan; i < wire.size(); ++i) {
    const auto& frame = wire[i];
    EXPECT_NE(frame.kind, "reg-write") << e2e::hex(frame.raw);
    for (const std::string command : {"STC000", "F__1", "P__0"}) {
      EXPECT_NE(frame.text, command) << e2e::hex(frame.raw);
    }
  }
  // The detector goes off only after its window, as often as it went on (once,
  // or never when the start-up ends after the window).
  EXPECT_LE(runtest::countFrames(wire, i2cWrite(51, "0")), 1);
  EXPECT_EQ(runtest::countFrames(wire, i2cWrite(51, "0")),
            runtest::countFrames(wire, i2cWrite(51, "1")));
  EXPECT_FALSE(e2e::fileExists(result.workDir + "/PanicLog"));
}

// A silent run, so that no status line flushes the output: what the program
// printed must be in the log before it is killed, "retrying... " (which has
// no newline) included.
TEST(RunCycle, OutputReachesTheLogAsItHappens) {
  e2e::RunOptions options;
  options.scenario = "tc66.ack:LATE wrong first 1\n";
  options.method = "2\t66\tLATE\n";
  options.args = runtest::cycleArgs(60, 40, 5);
  options.args.push_back("-silent");
  options.timeoutSeconds = 8;
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(runtest::countFrames(frames(result.trace), i2cWrite(66, "LATE")), 2);

  EXPECT_EQ(result.out.rfind("\n   Starting with Tarvex on " + result.port + "\n", 0), 0u)
      << result.out;
  const auto polling = result.out.find("Polling NXP I2C status: ");
  EXPECT_NE(polling, std::string::npos) << result.out;
  EXPECT_NE(result.out.find("NXP replied I2C_OK after ", polling), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Expected: [STATUS HW:0***] Received: [STATUS HW:0***]\n"),
            std::string::npos)
      << result.out;
  EXPECT_TRUE(runtest::endsWith(result.out, "retrying... ")) << result.out;
}

}  // namespace
