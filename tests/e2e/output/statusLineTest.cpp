// The console status line of a real cycle: its header, its four formats as the
// detector and the sample volume come and go, and the values it shows against
// what the instrument sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "outputTrace.h"

using namespace outputcheck;

namespace {

const std::string kHeader = "\n Time    PCC    GCC    PCW    GCW    PID         SampleVolume\n";

// Only 64 heats; 66 stays at the freezing ambient. The volume of 15 ccm is
// reached about 8 s in, inside the detector window (seconds 5 to 12).
TEST(StatusLineE2e, FormatsFollowTheDetectorAndTheSampleVolume) {
  e2e::RunOptions options;
  options.scenario = "ambient -3.2\n";
  options.method = "0\t64\tSTC060\n0\t64\tSTW080\n";
  options.flowSensors = "FS1: 0x48\t 500.0\nFS2: 0x49\t 100.0\nSAMPLING_STARTTIME: 3\n";
  options.args = e2e::standardArgs(25, 4, 8, 1);
  options.args.insert(options.args.end(), {"-samplevolume", "15"});
  const e2e::RunResult run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  const std::string& out = run.out;

  // The header once, after the start-up's status checks and before the first line.
  const std::size_t header = out.find(kHeader);
  ASSERT_NE(header, std::string::npos) << out;
  EXPECT_EQ(out.find(kHeader, header + 1), std::string::npos);
  EXPECT_GT(header, out.rfind("Expected: [STATUS HW:0***]"));
  EXPECT_LT(header, out.find('\r'));
  EXPECT_EQ(out.substr(out.size() - 7), "Done.\n\n");

  std::vector<std::string> bad;
  const std::vector<StatusLine> lines = statusLines(out, &bad);
  EXPECT_TRUE(bad.empty()) << "not a status line: " << ::testing::PrintToString(bad);
  ASSERT_GE(lines.size(), 20u) << out;

  const CycleClock clock = cycleClock(run.trace);
  const auto tc64 = tcReadings(run.trace, 64, clock);
  const auto tc66 = tcReadings(run.trace, 66, clock);
  ASSERT_FALSE(tc64.empty());
  ASSERT_FALSE(tc66.empty());
  std::set<std::string> columns, warms, millivolts;
  std::set<int> times;
  for (const TcReading& r : tc64) {
    columns.insert(format("%05.1f", static_cast<double>(r.column)));
    warms.insert(format("%05.1f", static_cast<double>(r.warm)));
    for (long t = r.firstTime; t <= r.lastTime; ++t) times.insert(static_cast<int>(t));
  }
  for (const PidReading& r : pidReadings(run.trace, clock, 4)) {
    if (r.kept) millivolts.insert(format("%8.4f", static_cast<double>(r.volts) * 1000.0));
  }

  // The first line waits for both controllers: it shows 64's reading that was
  // the latest when the first one of the pair completed.
  const std::size_t bothRead = std::max(tc64.front().done, tc66.front().done);
  const TcReading* latest = &tc64.front();
  for (const TcReading& r : tc64) {
    if (r.done <= bothRead) latest = &r;
  }
  EXPECT_GE(lines.front().time, latest->firstTime) << lines.front().text;
  EXPECT_LE(lines.front().time, latest->lastTime) << lines.front().text;

  // Kinds in the order they must come: idle with volume, reading with volume,
  // reading without (target reached), idle without (window over).
  int kind = 0;
  int lastTime = lines.front().time;
  std::vector<int> seen(4, 0);
  std::vector<double> volumes;
  for (const StatusLine& line : lines) {
    const int now =
        line.millivolts.empty() ? (line.volume.empty() ? 3 : 0) : (line.volume.empty() ? 2 : 1);
    EXPECT_GE(now, kind) << line.text;
    kind = std::max(kind, now);
    ++seen[now];
    EXPECT_EQ(line.gcc, "-03.2") << line.text;
    EXPECT_EQ(line.gcw, "-03.2") << line.text;
    EXPECT_EQ(columns.count(line.pcc), 1u) << line.text;
    EXPECT_EQ(warms.count(line.pcw), 1u) << line.text;
    EXPECT_EQ(times.count(line.time), 1u) << line.text;
    EXPECT_GE(line.time, lastTime) << line.text;
    lastTime = line.time;
    if (!line.millivolts.empty()) {
      EXPECT_EQ(millivolts.count(line.millivolts), 1u) << line.text;
    }
    if (!line.volume.empty()) volumes.push_back(std::atof(line.volume.c_str()));
  }
  for (int k = 0; k < 4; ++k) EXPECT_GT(seen[k], 0) << "no line of kind " << k << "\n" << out;
  // The volume grows, and only the pass that reaches the target still shows it.
  ASSERT_GE(volumes.size(), 2u);
  EXPECT_TRUE(std::is_sorted(volumes.begin(), volumes.end()));
  EXPECT_GE(volumes.back(), 15.0);
  EXPECT_LT(volumes.end()[-2], 15.0);
}

}  // namespace
