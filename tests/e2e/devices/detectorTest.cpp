// End-to-end tests of the detector A/D converter: start command, power-on
// before the window, one reading a second inside it, acceptance of readings
// and power-off after it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "devicesSupport.h"

namespace {

using devices::Bytes;
using devices::find;
using devices::format;
using devices::nextFrame;
using devices::Pauses;
using devices::Trace;

constexpr int kDetector = 51;

// "1", then twice "DR" and 'G' with the gain as a raw byte, 70 ms apart.
// Returns the index of the "1".
std::size_t expectPowerOn(Pauses& pauses, const Trace& trace, int gain) {
  const auto on = find(trace, "i2c-write", kDetector, std::string("1"));
  EXPECT_EQ(on.size(), 1u) << "power-ons";
  if (on.empty()) return trace.size();
  const auto g = static_cast<unsigned char>(gain);
  const std::vector<Bytes> frames = {{0x53, 0x66, 1, '1', 0x50},
                                     {0x53, 0x66, 2, 'D', 'R', 0x50},
                                     {0x53, 0x66, 2, 'G', g, 0x50},
                                     {0x53, 0x66, 2, 'D', 'R', 0x50},
                                     {0x53, 0x66, 2, 'G', g, 0x50}};
  std::size_t at = on[0];
  for (std::size_t k = 0; k < frames.size(); ++k) {
    if (at >= trace.size()) {
      ADD_FAILURE() << "power-on frame " << k << " missing";
      break;
    }
    EXPECT_EQ(e2e::hex(trace[at].raw), e2e::hex(frames[k])) << "power-on frame " << k;
    const std::size_t next = nextFrame(trace, at);
    if (next < trace.size() && k + 1 < frames.size()) {
      pauses.expect(trace[at], trace[next], 70, "power-on frame " + std::to_string(k));
    }
    at = next;
  }
  return on[0];
}

TEST(Detector, WindowReadingsAcceptanceAndPowerOff) {
  e2e::RunOptions options;
  // A flat signal of 8 x 0.05 V, except where a reply is set here.
  options.scenario =
      "baseline 0.05\n"
      "peak 100 0.001 0.5\n"
      "pid voltage \"3.30000E+00\" at 1\n"
      "pid status \"-5\" at 1\n"
      "pid voltage \"3.00000E-02\" at 2\n"
      "pid none at 3\n"
      "pid status \"ab\" at 4\n"
      "pid voltage \"5.00000E+00\" at 5\n"
      "pid status \"07\" at 6\n";
  // Window from second 2 to 8: readings at 3 ... 8, power-off at 9, when the cycle ends.
  const int delay = 2, duration = 6;
  options.args = e2e::standardArgs(18, delay, duration, 8);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  const auto& trace = result.trace;
  const long start = e2e::cycleStart(trace);
  const long earliest = e2e::earliestCycleStart(trace);
  ASSERT_GT(start, 0);
  Pauses pauses;

  // The start command after both status queries, before the loop.
  const auto begin = find(trace, "i2c-write", kDetector, std::string("I"));
  const auto hs66 = find(trace, "i2c-write", 66, std::string("HS_"));
  ASSERT_EQ(begin.size(), 1u);
  ASSERT_EQ(hs66.size(), 1u);
  EXPECT_EQ(trace[begin[0]].raw, (Bytes{0x53, 0x66, 1, 'I', 0x50}));
  const std::size_t lastStatusRead = nextFrame(trace, nextFrame(trace, hs66[0]));
  ASSERT_LT(lastStatusRead, begin[0]);
  pauses.expect(trace[lastStatusRead], trace[begin[0]], 90, "status of 66 to the start command");

  // With a delay below 45 s the first pass of the loop powers the converter
  // on: after the start command's 140 ms and the loop pause of 80 ms.
  const std::size_t on = expectPowerOn(pauses, trace, 8);
  ASSERT_LT(on, trace.size());
  pauses.expect(trace[begin[0]], trace[on], 220, "start command to power-on", 300);
  const auto rct = find(trace, "i2c-write", -1, std::string("RCT"));
  ASSERT_FALSE(rct.empty());
  EXPECT_LT(on, rct[0]) << "power-on in the first pass";
  EXPECT_EQ(devices::count(result.out, "\nPID: Set DR\nPID: Set G8\n\nPID: Set DR\nPID: Set G8\n"),
            1u);

  // One reading a second from w + 1 to e, the missing reply included.
  const auto reads = find(trace, "i2c-read", kDetector);
  ASSERT_EQ(reads.size(), static_cast<std::size_t>(duration));
  for (std::size_t k = 0; k < reads.size(); ++k) {
    EXPECT_EQ(trace[reads[k]].raw, (Bytes{0x53, 0x67, 16, 0x50}));
    const long second = e2e::cycleSecond(trace[reads[k]], start);
    EXPECT_GE(e2e::cycleSecond(trace[reads[k]], earliest), delay + 1) << "reading " << k;
    EXPECT_LE(second, delay + duration + 1) << "reading " << k;
    if (k > 0) {
      EXPECT_GT(second, e2e::cycleSecond(trace[reads[k - 1]], start)) << "reading " << k;
    }
  }
  ASSERT_NE(e2e::replyTo(trace, reads[2]), nullptr);
  EXPECT_EQ(e2e::replyTo(trace, reads[2])->kind, "i2c-silent");
  const double afterMissing = trace[reads[3]].mono - trace[reads[2]].mono;
  EXPECT_GT(afterMissing, 0.5);
  EXPECT_LT(afterMissing, 1.5) << "the next reading comes in the next second";

  const auto off = find(trace, "i2c-write", kDetector, std::string("0"));
  ASSERT_EQ(off.size(), 1u);
  EXPECT_EQ(trace[off[0]].raw, (Bytes{0x53, 0x66, 1, '0', 0x50}));
  EXPECT_GT(off[0], reads.back());
  EXPECT_GE(e2e::cycleSecond(trace[off[0]], start), delay + duration + 1);
  EXPECT_LE(e2e::cycleSecond(trace[off[0]], start), delay + duration + 2);

  // Kept: 3.3 V with status -5 (stored as 0), the plain signal with status
  // "ab" (0), the plain signal with status 7. Dropped: 0.03 V, no reply, 5 V.
  const auto rows = devices::rows(devices::resultFile(result, "PID_"));
  const std::vector<std::pair<std::size_t, int>> kept = {{0, 0}, {3, 0}, {5, 7}};
  ASSERT_EQ(rows.size(), kept.size()) << devices::resultFile(result, "PID_");
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const auto* reply = e2e::replyTo(trace, reads[kept[k].first]);
    ASSERT_TRUE(reply && reply->text.size() == 16);
    const float volts = std::strtof(reply->text.substr(1, 11).c_str(), nullptr);
    const int time = std::atoi(rows[k].c_str());
    EXPECT_GE(e2e::cycleSecond(*reply, earliest) - delay, time - 1) << rows[k];
    EXPECT_LE(e2e::cycleSecond(*reply, start) - delay, time) << rows[k];
    EXPECT_EQ(rows[k], format("%6i\t%8.5f\t%2d\t%8.5f\n", time, static_cast<double>(volts) * 1000,
                              kept[k].second, 0.0));
  }
  EXPECT_EQ(rows[0].substr(6), "\t3299.99995\t 0\t 0.00000\n");
  EXPECT_EQ(rows[1].substr(6), "\t400.00001\t 0\t 0.00000\n") << "gain 8 x 0.05 V";
}

// One long run: with a delay of 45 s or more the converter is powered on 44 s
// before the window; the reading at second e is followed by the power-off in
// the pass that ends the cycle.
TEST(Detector, PowerOnFortyFourSecondsBeforeTheWindow) {
  e2e::RunOptions options;
  const int delay = 46, duration = 2;
  options.args = e2e::standardArgs(delay + duration + 10, delay, duration, 2);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  const auto& trace = result.trace;
  const long start = e2e::cycleStart(trace);
  const long earliest = e2e::earliestCycleStart(trace);
  ASSERT_GT(start, 0);
  Pauses pauses;

  const std::size_t on = expectPowerOn(pauses, trace, 2);
  ASSERT_LT(on, trace.size());
  EXPECT_EQ(e2e::cycleSecond(trace[on], start), delay - 44);
  EXPECT_EQ(devices::count(result.out, "\nPID: Set DR\nPID: Set G2\n"), 2u);
  EXPECT_EQ(e2e::writtenTexts(trace, kDetector),
            (std::vector<std::string>{"I", "1", "DR", "G\x02", "DR", "G\x02", "0"}));

  // Readings at w + 1 and e.
  const auto reads = find(trace, "i2c-read", kDetector);
  ASSERT_EQ(reads.size(), 2u);
  const long first = e2e::cycleSecond(trace[reads[0]], start);
  const long last = e2e::cycleSecond(trace[reads[1]], start);
  EXPECT_GE(e2e::cycleSecond(trace[reads[0]], earliest), delay + 1) << first;
  EXPECT_LE(first, delay + 2);
  EXPECT_GT(last, first);
  EXPECT_LE(last, delay + duration + 1);
  const auto off = find(trace, "i2c-write", kDetector, std::string("0"));
  ASSERT_EQ(off.size(), 1u);
  const long offAt = e2e::cycleSecond(trace[off[0]], start);
  EXPECT_GT(offAt, last);
  EXPECT_TRUE(offAt == delay + duration + 1 || offAt == delay + duration + 2) << offAt;
  const auto rows = devices::rows(devices::resultFile(result, "PID_"));
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(std::atoi(rows[1].c_str()) - std::atoi(rows[0].c_str()), last - first);
}

}  // namespace
