// End-to-end tests of the T-controllers: the hardware status query at
// start-up, the polls in turn, reply errors and the escalation of failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include "devicesSupport.h"

namespace {

using devices::Bytes;
using devices::find;
using devices::format;
using devices::nextFrame;
using devices::Pauses;
using devices::Trace;

// The temperature query of one controller as it appears on the wire.
struct Poll {
  int address = 0;
  int ordinal = 0;  // 1 for the first poll of that controller
  std::size_t rct = 0, rctRead = 0, rwt = 0, rwtRead = 0;
};

// Polls of both controllers in wire order.
std::vector<Poll> polls(const Trace& trace) {
  std::vector<Poll> found;
  std::map<int, int> ordinals;
  for (std::size_t at = 0; at < trace.size(); ++at) {
    const auto& event = trace[at];
    if (event.kind != "i2c-write" || event.text != "RCT") continue;
    Poll poll;
    poll.address = event.address;
    poll.ordinal = ++ordinals[event.address];
    poll.rct = at;
    poll.rctRead = nextFrame(trace, poll.rct);
    poll.rwt = nextFrame(trace, poll.rctRead);
    poll.rwtRead = nextFrame(trace, poll.rwt);
    found.push_back(poll);
  }
  return found;
}

std::vector<Poll> of(const std::vector<Poll>& all, int address) {
  std::vector<Poll> some;
  std::copy_if(all.begin(), all.end(), std::back_inserter(some),
               [&](const Poll& poll) { return poll.address == address; });
  return some;
}

// RCT, 35 ms, read 15, 50 ms inside the read and 50 ms after, RWT, 35 ms, read 15.
void expectPollFrames(Pauses& pauses, const Trace& trace, const Poll& poll) {
  const auto a = static_cast<unsigned char>(poll.address * 2);
  const auto b = static_cast<unsigned char>(poll.address * 2 + 1);
  ASSERT_LT(poll.rwtRead, trace.size());
  EXPECT_EQ(trace[poll.rct].raw, (Bytes{0x53, a, 3, 'R', 'C', 'T', 0x50}));
  EXPECT_EQ(trace[poll.rctRead].raw, (Bytes{0x53, b, 15, 0x50}));
  EXPECT_EQ(trace[poll.rwt].raw, (Bytes{0x53, a, 3, 'R', 'W', 'T', 0x50}));
  EXPECT_EQ(trace[poll.rwtRead].raw, (Bytes{0x53, b, 15, 0x50}));
  pauses.expect(trace[poll.rct], trace[poll.rctRead], 35, "RCT to its read");
  pauses.expect(trace[poll.rctRead], trace[poll.rwt], 100, "column read to RWT");
  pauses.expect(trace[poll.rwt], trace[poll.rwtRead], 35, "RWT to its read");
}

// Both status queries: "HS_", 300 ms, read 16, 50 ms inside the read and 75
// ms after, read 16; then, 50 + 40 ms later, the same for 66. Returns the
// index of 66's second read.
std::size_t expectStatusQueries(Pauses& pauses, const Trace& trace) {
  std::size_t previous = trace.size();
  for (int address : {64, 66}) {
    const auto hs = find(trace, "i2c-write", address, std::string("HS_"));
    EXPECT_EQ(hs.size(), 1u) << "status queries of " << address;
    if (hs.empty()) return trace.size();
    if (previous < trace.size()) pauses.expect(trace[previous], trace[hs[0]], 90, "64 to 66");
    const auto a = static_cast<unsigned char>(address * 2);
    const auto b = static_cast<unsigned char>(address * 2 + 1);
    const std::size_t first = nextFrame(trace, hs[0]);
    previous = nextFrame(trace, first);
    if (previous >= trace.size()) return previous;
    EXPECT_EQ(trace[hs[0]].raw, (Bytes{0x53, a, 3, 'H', 'S', '_', 0x50}));
    EXPECT_EQ(trace[first].raw, (Bytes{0x53, b, 16, 0x50}));
    EXPECT_EQ(trace[previous].raw, (Bytes{0x53, b, 16, 0x50}));
    pauses.expect(trace[hs[0]], trace[first], 300, "HS_ to the first status read");
    pauses.expect(trace[first], trace[previous], 125, "first to second status read");
  }
  return previous;
}

// What pollTemperatures prints over the run, given the polls seen on the wire
// and the reply errors of the failing ones: after each poll a re-open while
// either counter is 1, a bridge reset while either is 2. `resetAfter` gets the
// polls followed by a reset; `abortAt` the poll that ends the run, or -1.
std::vector<std::string> escalation(const std::vector<Poll>& order,
                                    std::map<std::pair<int, int>, std::vector<std::string>> errors,
                                    const std::string& port, std::vector<std::size_t>& resetAfter,
                                    int& abortAt) {
  std::vector<std::string> messages;
  std::map<int, int> seqFaults = {{64, 0}, {66, 0}};
  abortAt = -1;
  for (std::size_t k = 0; k < order.size() && abortAt < 0; ++k) {
    const auto& lines = errors[{order[k].address, order[k].ordinal}];
    messages.insert(messages.end(), lines.begin(), lines.end());
    seqFaults[order[k].address] = lines.empty() ? 0 : seqFaults[order[k].address] + 1;
    if (seqFaults[64] == 1 || seqFaults[66] == 1) {
      messages.push_back("Communication failure 1: trying to close and re-open serial port " +
                         port + "!\n");
    }
    if (seqFaults[64] == 2 || seqFaults[66] == 2) {
      messages.push_back("Communication failure 2: trying to reset NXP I2C controller!\n");
      resetAfter.push_back(k);
    }
    if (seqFaults[64] > 2 || seqFaults[66] > 2) abortAt = static_cast<int>(k);
  }
  return messages;
}

// The console lines of the polls: reply errors and the escalation.
std::vector<std::string> pollMessages(const std::string& out) {
  std::vector<std::string> messages;
  for (std::size_t at = 0; at < out.size(); ++at) {
    for (const std::string part : {"Replyerror ", "Communication failure"}) {
      if (out.compare(at, part.size(), part) == 0) {
        messages.push_back(out.substr(at, out.find('\n', at) - at + 1));
      }
    }
  }
  return messages;
}

// Each reset: register 9 := 9, 25 ms, register 9 := 63, 35 ms before the next frame.
void expectResets(Pauses& pauses, const Trace& trace, const std::vector<Poll>& order,
                  const std::vector<std::size_t>& resetAfter) {
  std::vector<std::size_t> starts;
  for (std::size_t at : find(trace, "reg-write", 9)) {
    if (trace[at].value == 9) starts.push_back(at);
  }
  ASSERT_EQ(starts.size(), resetAfter.size());
  for (std::size_t r = 0; r < starts.size(); ++r) {
    const auto& poll = order[resetAfter[r]];
    EXPECT_GT(starts[r], poll.rwtRead) << "reset after poll " << resetAfter[r];
    if (resetAfter[r] + 1 < order.size()) {
      EXPECT_LT(starts[r], order[resetAfter[r] + 1].rct);
    }
    const std::size_t back = nextFrame(trace, starts[r]);
    const std::size_t after = nextFrame(trace, back);
    ASSERT_LT(after, trace.size());
    EXPECT_EQ(trace[starts[r]].raw, (Bytes{0x57, 9, 9, 0x50}));
    EXPECT_EQ(trace[back].raw, (Bytes{0x57, 9, 63, 0x50}));
    pauses.expect(trace[starts[r]], trace[back], 25, "register 9 := 9 to 63");
    EXPECT_GE(devices::millisBetween(trace[back], trace[after]), 35 - Pauses::kStampLagMs);
  }
}

const std::vector<std::string> kEmptyReplies64 = {
    "Replyerror 1: TC64 column temperature read only 0 bytes: [ ]\n",
    "Replyerror 2: TC64 column temperature sscanf error in string [ ]!\n",
    "Replyerror 3: TC64 warm temperature read only 0 bytes: [ ]\n",
    "Replyerror 4: TC64 warm temperature sscanf error in string [ ]!\n"};

TEST(TemperatureControllers, ReadInTurnWithReplyErrorsAndSingleFailures) {
  e2e::RunOptions options;
  options.scenario =
      "tc64.rct none at 2\n"
      "tc64.rwt none at 2\n"
      "tc66.rct text \"75.00\" at 4\n"
      "tc66.rct short 2 at 4\n"
      "tc64.rwt text \"xy\" at 6\n";
  options.args = e2e::standardArgs(26, 15, 1, 1);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_NE(result.out.find("Done.\n"), std::string::npos);
  const auto& trace = result.trace;
  const long start = e2e::cycleStart(trace);
  const long earliest = e2e::earliestCycleStart(trace);
  ASSERT_GT(start, 0);
  Pauses pauses;

  EXPECT_EQ(devices::count(result.out, "Expected: [STATUS HW:0***] Received: [STATUS HW:0***]\n"),
            2u);
  ASSERT_LT(expectStatusQueries(pauses, trace), trace.size());

  // The loop runs from about cycle second 1 to 17: a poll every second, the
  // controller chosen by the parity of the pass's clock reading. A pass that
  // read its clock late in a second (after powering the detector, say) writes
  // early in the next one.
  const auto order = polls(trace);
  ASSERT_GE(of(order, 64).size(), 7u);
  ASSERT_GE(of(order, 66).size(), 6u);
  std::map<int, int> late;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const double real = trace[order[k].rct].real;
    const long second = static_cast<long>(std::floor(real));
    if ((second % 2 == 0) != (order[k].address == 64)) {
      ++late[order[k].address];
      EXPECT_LT(real - static_cast<double>(second), 0.75) << "poll " << k << " in a wrong second";
    }
    if (k > 0) {
      EXPECT_GT(real, std::floor(trace[order[k - 1].rct].real) + 1) << "one poll a second";
    }
    expectPollFrames(pauses, trace, order[k]);
  }
  EXPECT_LE(late[64], 2);
  EXPECT_LE(late[66], 2);

  // A failure re-opens the port at its poll and, as the counter still reads 1,
  // at the other controller's next poll; the next good poll ends it.
  std::vector<std::size_t> resetAfter;
  int abortAt = 0;
  const auto expected = escalation(
      order,
      {{{64, 2}, kEmptyReplies64},
       {{66, 4}, {"Replyerror 1: TC66 column temperature read only 2 bytes: [7]\n"}},
       {{64, 6}, {"Replyerror 1: TC64 warm temperature sscanf error in string [xy]!\n"}}},
      result.port, resetAfter, abortAt);
  EXPECT_EQ(pollMessages(result.out), expected) << result.out;
  EXPECT_TRUE(resetAfter.empty());
  EXPECT_EQ(abortAt, -1);
  EXPECT_GE(devices::count(result.out, "Communication failure 1"), 3u);
  EXPECT_EQ(find(trace, "reg-write", 9).size(), 1u) << "only the bring-up writes register 9";

  // A good poll leaves one row: its start second and the temperatures as
  // sent. A failed one leaves none, not even for a good column reading.
  const auto checkLog = [&](int address, const std::vector<int>& failed) {
    const auto rows = devices::rows(
        devices::resultFile(result, "TC" + std::to_string(address) + "_"), devices::kDashes);
    const auto done = of(order, address);
    ASSERT_EQ(rows.size(), done.size() - failed.size()) << address;
    std::size_t row = 0;
    for (const auto& poll : done) {
      if (std::find(failed.begin(), failed.end(), poll.ordinal) != failed.end()) continue;
      const auto* column = e2e::replyTo(trace, poll.rctRead);
      const auto* warm = e2e::replyTo(trace, poll.rwtRead);
      ASSERT_TRUE(column && warm && column->text.size() > 1 && warm->text.size() > 1);
      const long second = e2e::cycleSecond(trace[poll.rct], start);
      const int time = std::atoi(rows[row].c_str());
      EXPECT_GE(e2e::cycleSecond(trace[poll.rct], earliest), time) << rows[row] << " at " << second;
      EXPECT_LE(second, time + 1) << rows[row];
      EXPECT_EQ(rows[row],
                format("%5i\t%5.1f\t%5.1f\n", time, std::strtod(column->text.c_str() + 1, nullptr),
                       std::strtod(warm->text.c_str() + 1, nullptr)));
      ++row;
    }
  };
  checkLog(64, {2, 6});
  checkLog(66, {4});
}

TEST(TemperatureControllers, ThreeFailedPollsInARowAbortTheRun) {
  e2e::RunOptions options;
  options.scenario = "tc64.rct none at 2-4\n";
  options.args = e2e::standardArgs(20, 5, 1, 1);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  EXPECT_EQ(result.exitStatus, 20) << result.out;
  EXPECT_NE(result.out.find("\nRun aborted.\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Workresult: 1\n"), std::string::npos) << result.out;
  const auto& trace = result.trace;
  Pauses pauses;

  const std::vector<std::string> failing = {kEmptyReplies64[0], kEmptyReplies64[1]};
  const auto order = polls(trace);
  std::vector<std::size_t> resetAfter;
  int abortAt = 0;
  const auto expected =
      escalation(order, {{{64, 2}, failing}, {{64, 3}, failing}, {{64, 4}, failing}}, result.port,
                 resetAfter, abortAt);
  EXPECT_EQ(pollMessages(result.out), expected) << result.out;
  // Re-open at the first failure, reset at the second (each again at 66's
  // poll in between), abort at the third.
  EXPECT_GE(devices::count(result.out, "Communication failure 1"), 1u);
  EXPECT_GE(devices::count(result.out, "Communication failure 2"), 1u);
  ASSERT_EQ(abortAt + 1, static_cast<int>(order.size())) << "no poll after the third failure";
  const auto& fourth = order.back();
  EXPECT_EQ(fourth.address, 64);
  EXPECT_EQ(fourth.ordinal, 4);
  ASSERT_LT(fourth.rwtRead, trace.size());
  expectResets(pauses, trace, order, resetAfter);

  devices::expectShutdown(pauses, trace, fourth.rwtRead, 1050);
  EXPECT_TRUE(devices::matchesEntry(
      result.readWorkFile("PanicLog"),
      "in [PANIC] state, re-set T-controllers.\n"
      "      T64 faults:   0  seq_faults:   3  retries:   0  T66 faults:   0  seq_faults:   0  "
      "retries:   0\n"
      "    Offending message reply: \n"))
      << result.readWorkFile("PanicLog");
  EXPECT_EQ(devices::rows(devices::resultFile(result, "TC64_"), devices::kDashes).size(), 1u);
}

TEST(TemperatureControllers, HardwareFaultOfSecondControllerStopsTheStartUp) {
  e2e::RunOptions options;
  // 64 does not answer the status query at all: that passes as status 0.
  options.scenario =
      "tc64.hs none\n"
      "tc66.hs status 5\n";
  options.args = e2e::standardArgs(12, 1, 1, 1);
  const auto result = e2e::run(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  EXPECT_EQ(result.exitStatus, 255) << result.out;
  const auto& trace = result.trace;
  Pauses pauses;

  const std::size_t last = expectStatusQueries(pauses, trace);
  ASSERT_LT(last, trace.size());
  EXPECT_EQ(find(trace, "i2c-silent", 64).size(), 2u) << "64 answered neither status read";

  const std::string messages =
      "Expected: [STATUS HW:0***] Received: []\n"
      "Expected: [STATUS HW:0***] Received: [STATUS HW:5***]\n"
      "T-controller Address 66 Hardware status =5. \nAbort.\n";
  EXPECT_NE(result.out.find(messages), std::string::npos) << result.out;
  devices::expectShutdown(pauses, trace, last, 1050);
  EXPECT_TRUE(find(trace, "i2c-write", 51, std::string("I")).empty()) << "no detector start";
  EXPECT_TRUE(find(trace, "i2c-write", 64, std::string("RCT")).empty()) << "no cycle";
  EXPECT_TRUE(devices::matchesEntry(result.readWorkFile("PanicLog"),
                                    "in [PANIC] state, re-set T-controllers.\n"
                                    "      T-controller 66 HWstatus = 5\n"
                                    "    Offending message reply: \n"))
      << result.readWorkFile("PanicLog");
  EXPECT_TRUE(result.rootFiles().empty());
}

}  // namespace
