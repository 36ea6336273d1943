// End-to-end tests of the flow sensors and the sample volume: the start-up
// test of the sensors, the conversion of raw values, the integration of the
// sample flow and the pump stop at the target volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "devicesSupport.h"

namespace {

using devices::Bytes;
using devices::find;
using devices::format;
using devices::Pauses;
using devices::Trace;

constexpr int kSample = 0x48, kDetector = 0x49;
// FS2's address without the 0x prefix reads as hexadecimal too.
const char* const kFlowSensors = "FS1: 0x48\t 500.0\nFS2: 49\t 1000.0\nSAMPLING_STARTTIME: 3\n";

// A short cycle with a detector window of one second and a sample volume.
std::vector<std::string> withVolume(int cycle, int volume, bool silent = false) {
  auto args = e2e::standardArgs(cycle, 1, 1, 1);
  args.insert(args.end(), {"-samplevolume", std::to_string(volume)});
  if (silent) args.push_back("-silent");
  return args;
}

// Flow-sensor read requests before the cycle starts (the first "HS_"), as addresses.
std::vector<int> startUpReads(const Trace& trace) {
  std::vector<int> addresses;
  for (const auto& event : trace) {
    if (event.kind == "i2c-write" && event.text == "HS_") break;
    if (event.kind == "i2c-read") addresses.push_back(event.address);
  }
  return addresses;
}

// One flow reading as the wire shows it: FS1 and FS2 both answered 3 bytes.
struct Reading {
  std::size_t sampleRequest = 0, detectorReply = 0;
  float sampleFlow = 0;
};

float flowOf(const e2e::TraceEvent& reply, double fullScale) {
  const unsigned raw = reply.raw[0] * 256u + reply.raw[1];
  return static_cast<float>(fullScale * (raw / 16384.0 - 0.5));
}

std::vector<Reading> readingsInCycle(const Trace& trace) {
  std::vector<Reading> readings;
  const auto hs = find(trace, "i2c-write", 64, std::string("HS_"));
  if (hs.empty()) return readings;
  for (std::size_t at : find(trace, "i2c-read", kSample)) {
    if (at < hs[0]) continue;
    const auto* sample = e2e::replyTo(trace, at);
    if (!sample || sample->raw.size() != 3) continue;
    const std::size_t next = devices::nextFrame(trace, at);
    if (next >= trace.size() || trace[next].kind != "i2c-read" || trace[next].address != kDetector)
      continue;
    const auto* detector = e2e::replyTo(trace, next);
    if (!detector || detector->raw.size() != 3) continue;
    readings.push_back(
        {at, static_cast<std::size_t>(detector - trace.data()), flowOf(*sample, 500)});
  }
  return readings;
}

// STC000 then P__0 to 64, 110 ms apart; returns the index of STC000.
std::size_t expectPumpStop(Pauses& pauses, const Trace& trace) {
  const auto stc = find(trace, "i2c-write", 64, std::string("STC000"));
  const auto p0 = find(trace, "i2c-write", 64, std::string("P__0"));
  EXPECT_EQ(stc.size(), 1u);
  EXPECT_EQ(p0.size(), 1u);
  if (stc.size() != 1 || p0.size() != 1) return trace.size();
  EXPECT_EQ(devices::nextFrame(trace, stc[0]), p0[0]);
  EXPECT_EQ(trace[stc[0]].raw, (Bytes{0x53, 0x80, 6, 'S', 'T', 'C', '0', '0', '0', 0x50}));
  EXPECT_EQ(trace[p0[0]].raw, (Bytes{0x53, 0x80, 4, 'P', '_', '_', '0', 0x50}));
  pauses.expect(trace[stc[0]], trace[p0[0]], 110, "STC000 to P__0");
  return stc[0];
}

int reachedAt(const std::string& flowLog, int volume) {
  const std::string line =
      "\nTarget sample volume " + std::to_string(volume) + " ccm reached at cycle time T=";
  const auto at = flowLog.find(line);
  return at == std::string::npos ? -1 : std::atoi(flowLog.c_str() + at + line.size());
}

TEST(FlowSensors, ConversionAndPumpStopAtTheTargetVolume) {
  e2e::RunOptions options;
  options.flowSensors = kFlowSensors;
  // FS1 fails through cycle second 8: the reading is retried on every pass.
  options.scenario =
      "fs1 raw 16384\n"
      "fs2 raw 65535\n"
      "fs1 short 2 seconds 8\n";
  options.args = withVolume(18, 10, true);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  const auto& trace = result.trace;
  const long start = e2e::cycleStart(trace);
  const long earliest = e2e::earliestCycleStart(trace);
  ASSERT_GT(start, 0);
  Pauses pauses;

  EXPECT_EQ(startUpReads(trace),
            (std::vector<int>{kSample, kDetector, kSample, kDetector, kSample, kDetector}));
  for (const auto& event : trace) {
    if (event.kind != "i2c-read" || (event.address != kSample && event.address != kDetector)) {
      continue;
    }
    const auto b = static_cast<unsigned char>(event.address * 2 + 1);
    EXPECT_EQ(event.raw, (Bytes{0x53, b, 3, 0x50}));
  }

  // Every reading is the same: +0.5 x 500 and 3.49994 x 1000 (the raw value
  // is not masked). 250/60 ccm a second from second 4 on reach 10 ccm at 6.
  const std::string flowLog = devices::resultFile(result, "Flow_");
  const int reached = reachedAt(flowLog, 10);
  EXPECT_TRUE(reached == 6 || reached == 7) << flowLog;
  EXPECT_EQ(flowLog,
            "    0\t250.0\t3499.9\n\nTarget sample volume 10 ccm reached at cycle time T=" +
                std::to_string(reached) + "\n");
  const std::size_t stop = expectPumpStop(pauses, trace);
  ASSERT_LT(stop, trace.size());
  const long stopAt = e2e::cycleSecond(trace[stop], start);
  EXPECT_GE(e2e::cycleSecond(trace[stop], earliest), reached) << stopAt;
  EXPECT_LE(stopAt, reached + 1);
  EXPECT_EQ(result.out.find("sample volume reached"), std::string::npos) << "silent";
  EXPECT_EQ(result.out.find('\r'), std::string::npos) << "silent";

  // The failing second: FS1 asked again on every pass (50 ms read, 60 ms
  // loop pause), FS2 not asked, nothing printed about it.
  std::vector<std::size_t> failed;
  for (std::size_t at : find(trace, "i2c-read", kSample)) {
    const auto* reply = e2e::replyTo(trace, at);
    if (reply && reply->value == 2) failed.push_back(at);
  }
  ASSERT_GE(failed.size(), 3u);
  const auto detectorReads = find(trace, "i2c-read", kDetector);
  for (std::size_t k = 1; k < failed.size(); ++k) {
    EXPECT_TRUE(std::none_of(detectorReads.begin(), detectorReads.end(), [&](std::size_t at) {
      return at > failed[k - 1] && at < failed[k];
    })) << "FS2 read after a failed FS1";
    pauses.expect(trace[failed[k - 1]], trace[failed[k]], 110, "retry of FS1", 250);
  }
  const auto readings = readingsInCycle(trace);
  ASSERT_FALSE(readings.empty());
  EXPECT_GT(readings.back().sampleRequest, failed.back()) << "reading again after the failure";
  EXPECT_EQ(result.out.find("flow sensor"), std::string::npos);
}

TEST(FlowSensors, NegativeAndZeroRawValues) {
  e2e::RunOptions options;
  options.flowSensors = kFlowSensors;
  // The first two start-up readings fail at FS1; only the third counts.
  options.scenario =
      "fs1 raw 0\n"
      "fs2 raw 8192\n"
      "fs1 none first 2\n";
  options.args = withVolume(12, 1);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_EQ(startUpReads(result.trace), (std::vector<int>{kSample, kSample, kSample, kDetector}));
  EXPECT_EQ(devices::resultFile(result, "Flow_"),
            "    0\t-250.0\t  0.0\n\nWARNING: target sample volume 1 ccm not reached!\n");
  EXPECT_TRUE(find(result.trace, "i2c-write", 64, std::string("P__0")).empty());
}

TEST(FlowSensors, NegativeFlowLowersTheSampledVolume) {
  e2e::RunOptions options;
  options.flowSensors = kFlowSensors;
  // Up by 250/60 ccm a second, down as much, then up again to 10 ccm.
  options.scenario =
      "fs1 raw 8192 seconds 0-4\n"
      "fs1 raw 16384 seconds 5-6\n"
      "fs1 raw 0 seconds 7-8\n"
      "fs1 raw 16384 seconds 9-\n"
      "fs2 raw 0\n";
  options.args = withVolume(22, 10);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  const auto& trace = result.trace;
  const long start = e2e::cycleStart(trace);
  const long earliest = e2e::earliestCycleStart(trace);
  ASSERT_GT(start, 0);
  Pauses pauses;

  // The volume the program must have integrated, reading by reading (all
  // readings up to second 4 carry no flow, so the start of the integration
  // does not matter here).
  const auto readings = readingsInCycle(trace);
  float volume = 0, withoutNegative = 0, sum = 0;
  std::size_t stopAfter = readings.size(), earlierStop = readings.size(), negatives = 0;
  for (std::size_t k = 0; k < readings.size(); ++k) {
    sum += readings[k].sampleFlow;
    if (stopAfter < readings.size()) continue;
    volume = volume + static_cast<float>(readings[k].sampleFlow / 60);
    if (readings[k].sampleFlow < 0) ++negatives;
    if (readings[k].sampleFlow > 0)
      withoutNegative += static_cast<float>(readings[k].sampleFlow / 60);
    if (withoutNegative >= 10 && earlierStop == readings.size()) earlierStop = k;
    if (volume >= 10) stopAfter = k;
  }
  ASSERT_LT(stopAfter, readings.size()) << "target reached in the run";
  ASSERT_GE(negatives, 1u);
  ASSERT_LT(earlierStop, stopAfter) << "the negative readings put the stop off";

  const std::size_t stop = expectPumpStop(pauses, trace);
  ASSERT_LT(stop, trace.size());
  EXPECT_GT(stop, readings[stopAfter].detectorReply);
  if (stopAfter + 1 < readings.size()) {
    EXPECT_LT(stop, readings[stopAfter + 1].sampleRequest);
  }
  const auto& request = trace[readings[stopAfter].sampleRequest];
  const long stopAt = e2e::cycleSecond(request, start);
  const std::string message = "\n-> sample volume reached at T=";
  const auto at = result.out.find(message);
  ASSERT_NE(at, std::string::npos) << result.out;
  const int reached = std::atoi(result.out.c_str() + at + message.size());
  EXPECT_LE(reached, e2e::cycleSecond(request, earliest)) << reached << " vs " << stopAt;
  EXPECT_GE(reached, stopAt - 1);
  EXPECT_EQ(result.out.substr(at, message.size() + std::to_string(reached).size() + 2),
            message + std::to_string(reached) + "s\n");
  const std::string flowLog = devices::resultFile(result, "Flow_");
  EXPECT_EQ(flowLog, format("    0\t%5.1f\t-500.0\n",
                            static_cast<double>(sum / static_cast<float>(readings.size()))) +
                         "\nTarget sample volume 10 ccm reached at cycle time T=" +
                         std::to_string(reached) + "\n");
}

TEST(FlowSensors, FailingSensorAtStartUpEndsTheRun) {
  struct Case {
    std::string scenario, message, warning;
    std::vector<int> reads;
  };
  // FS1 failing stops each reading before FS2; FS2 fails only in the third.
  const std::vector<Case> cases = {
      {"fs1 short 2 first 3\n",
       "Sample flow sensor reading failed, exit!\n",
       "Sample flow sensor reading failed",
       {kSample, kSample, kSample}},
      {"fs2 short 1 at 3\n",
       "Detector flow sensor reading failed, exit!\n",
       "Detector flow sensor reading failed",
       {kSample, kDetector, kSample, kDetector, kSample, kDetector}},
  };
  for (const auto& one : cases) {
    e2e::RunOptions options;
    options.flowSensors = kFlowSensors;
    options.scenario = one.scenario;
    options.args = withVolume(12, 10);
    const auto result = e2e::run(options);
    ASSERT_TRUE(result.error.empty()) << result.error;
    EXPECT_EQ(result.exitStatus, 255) << result.out;
    EXPECT_NE(result.out.find(one.message), std::string::npos) << result.out;
    EXPECT_EQ(startUpReads(result.trace), one.reads);
    EXPECT_TRUE(find(result.trace, "i2c-write", 64, std::string("HS_")).empty()) << "no cycle";
    EXPECT_TRUE(devices::matchesEntry(
        result.readWorkFile("PanicLog"),
        "[Warning]:     " + one.warning + "\n    Offending message reply: \n"))
        << result.readWorkFile("PanicLog");
    EXPECT_TRUE(result.rootFiles().empty());
  }
}

}  // namespace
