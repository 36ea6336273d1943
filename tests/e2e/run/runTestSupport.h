// Helpers shared by the run-control end-to-end tests: the frames as they must
// appear on the wire, and look-ups in the simulator's trace.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "e2eHarness.h"

namespace runtest {

using Bytes = std::vector<unsigned char>;

// The simulator stamps a frame when it has read it from the pty. On a loaded
// machine a frame can reach it late (seen: up to 100 ms, two frames then read
// together), which lengthens the gap before that frame and shortens the one
// after it by the same amount. So pauses are checked from the first frame of a
// sequence: each frame no earlier than the sum of the pauses since then, which
// a late frame in the middle cannot upset. Only a late first frame can, and
// for it this much is allowed, far less than any pause checked.
constexpr double kReadLatency = 0.010;
// A gap may exceed its pause by this much (a slow pass, or a late frame).
constexpr double kSlowGap = 0.25;

inline std::vector<std::string> cycleArgs(int cycle, int pidDelay = 1, int pidCycle = 1) {
  return e2e::standardArgs(cycle, pidDelay, pidCycle, 1);
}

inline Bytes i2cWrite(int address, const std::string& text) {
  Bytes frame = {'S', static_cast<unsigned char>(address * 2),
                 static_cast<unsigned char>(text.size())};
  // Byte by byte: GCC 12 warns falsely (array-bounds) about a range insert here.
  for (char byte : text) frame.push_back(static_cast<unsigned char>(byte));
  frame.push_back('P');
  return frame;
}

inline Bytes i2cRead(int address, int count) {
  return {'S', static_cast<unsigned char>(address * 2 + 1), static_cast<unsigned char>(count), 'P'};
}

inline Bytes regWrite(int reg, int value) {
  return {'W', static_cast<unsigned char>(reg), static_cast<unsigned char>(value), 'P'};
}

inline Bytes regRead(int reg) {
  return {'R', static_cast<unsigned char>(reg), 'P'};
}

// Only what the program wrote (frames the simulator received), in order.
inline std::vector<e2e::TraceEvent> frames(const std::vector<e2e::TraceEvent>& trace) {
  std::vector<e2e::TraceEvent> received;
  for (const auto& event : trace) {
    if (event.dir == "rx") received.push_back(event);
  }
  return received;
}

// Index of the first frame at or after `from` with exactly these bytes; -1 when none.
inline int findFrame(const std::vector<e2e::TraceEvent>& frameList, const Bytes& raw,
                     int from = 0) {
  for (int i = from; i < static_cast<int>(frameList.size()); ++i) {
    if (frameList[i].raw == raw) return i;
  }
  return -1;
}

inline int countFrames(const std::vector<e2e::TraceEvent>& frameList, const Bytes& raw) {
  int count = 0;
  for (const auto& event : frameList) count += event.raw == raw ? 1 : 0;
  return count;
}

// A frame of a paced sequence and the pause the program makes before it.
struct Paced {
  Bytes raw;
  double pause;  // not used for the first frame of a sequence
};

// The frames from `first` on are exactly `expected`, in order, with their pauses.
inline void expectPaced(const std::vector<e2e::TraceEvent>& frameList, std::size_t first,
                        const std::vector<Paced>& expected) {
  ASSERT_LE(first + expected.size(), frameList.size());
  double sum = 0;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    SCOPED_TRACE("frame " + std::to_string(k) + " of the sequence");
    const auto& frame = frameList[first + k];
    EXPECT_EQ(e2e::hex(frame.raw), e2e::hex(expected[k].raw));
    if (k == 0) continue;
    sum += expected[k].pause;
    EXPECT_GE(frame.mono - frameList[first].mono, sum - kReadLatency);
    EXPECT_LE(frame.mono - frameList[first + k - 1].mono, expected[k].pause + kSlowGap);
  }
}

// The middle value: robust against one frame that reached the simulator late.
inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

inline int countOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

inline bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Local time of a wall-clock second, as the program names its folders, files
// and PanicLog entries.
inline std::tm localTime(long seconds) {
  const std::time_t when = seconds;
  std::tm local{};
  localtime_r(&when, &local);
  return local;
}
inline std::string localDate(long seconds) {
  const std::tm local = localTime(seconds);
  char text[64];
  std::strftime(text, sizeof text, "%F", &local);
  return text;
}
inline std::string fileStamp(long seconds) {
  const std::tm local = localTime(seconds);
  char text[64];
  std::strftime(text, sizeof text, "%F_%H-%M-00", &local);
  return text;
}
inline std::string entryTime(long seconds) {
  const std::tm local = localTime(seconds);
  char text[64];
  std::strftime(text, sizeof text, "%F %H:%M:%S", &local);
  return text;
}

}  // namespace runtest
