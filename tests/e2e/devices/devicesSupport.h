// Helpers shared by the device end-to-end tests: finding frames in the
// simulator's trace, pauses between them, result files and console lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "e2eHarness.h"

namespace devices {

using Bytes = std::vector<unsigned char>;
using Trace = std::vector<e2e::TraceEvent>;

inline std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

// Indexes of the events of one kind (and address, and text), in trace order.
inline std::vector<std::size_t> find(const Trace& trace, const std::string& kind, int address = -1,
                                     const std::optional<std::string>& text = std::nullopt) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const auto& event = trace[i];
    if (event.kind != kind) continue;
    if (address >= 0 && event.address != address) continue;
    if (text && event.text != *text) continue;
    found.push_back(i);
  }
  return found;
}

// The first event that Tarvex wrote (a frame) after index `after`; trace.size() when none.
inline std::size_t nextFrame(const Trace& trace, std::size_t after) {
  for (std::size_t i = after + 1; i < trace.size(); ++i) {
    if (trace[i].dir == "rx") return i;
  }
  return trace.size();
}

inline double millisBetween(const e2e::TraceEvent& from, const e2e::TraceEvent& to) {
  return (to.mono - from.mono) * 1000.0;
}

// Pauses between frames, measured on the simulator's clock. It stamps a frame
// when it has read it, and a busy machine can delay that, so a gap may look
// shorter than the pause that the program made. A late stamp makes the gap
// before the frame longer by as much, so in a chain of gaps that excess
// excuses the next gap's shortfall; any other gap may fall short by
// kStampLagMs. Taken together the gaps must keep the pauses: their median
// excess stays within kMedianLagMs of 0. The machine may stretch any pause up
// to the slack.
class Pauses {
 public:
  static constexpr double kStampLagMs = 5;
  static constexpr double kMedianLagMs = 0.5;

  Pauses() = default;
  Pauses(const Pauses&) = delete;
  Pauses& operator=(const Pauses&) = delete;
  ~Pauses() {
    if (excess_.empty()) return;
    std::sort(excess_.begin(), excess_.end());
    const double median = excess_[excess_.size() / 2];
    EXPECT_GE(median, -kMedianLagMs) << "pauses cut short, over " << excess_.size() << " gaps";
  }

  void expect(const e2e::TraceEvent& from, const e2e::TraceEvent& to, double pauseMs,
              const std::string& what, double slackMs = 150) {
    const double gap = millisBetween(from, to);
    const double lag = kStampLagMs + (last_ == &from ? std::max(0.0, lastExcess_) : 0.0);
    EXPECT_GE(gap, pauseMs - lag) << what;
    EXPECT_LE(gap, pauseMs + slackMs) << what;
    excess_.push_back(gap - pauseMs);
    last_ = &to;
    lastExcess_ = gap - pauseMs;
  }

 private:
  std::vector<double> excess_;
  const e2e::TraceEvent* last_ = nullptr;
  double lastExcess_ = 0;
};

inline std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// Lines of the console output that contain `part`, each from its first
// character after a status-line redraw (they continue the current line).
inline std::vector<std::string> linesWith(const std::string& out, const std::string& part) {
  std::vector<std::string> lines;
  for (auto at = out.find(part); at != std::string::npos; at = out.find(part, at + 1)) {
    const auto end = out.find('\n', at);
    lines.push_back(out.substr(at, end == std::string::npos ? std::string::npos : end - at + 1));
  }
  return lines;
}

// The content of the result file whose name starts with `prefix` in the dated
// folder; empty when there is none.
inline std::string resultFile(const e2e::RunResult& result, const std::string& prefix) {
  for (const auto& name : result.rootFiles()) {
    const auto slash = name.rfind('/');
    if (name.compare(slash == std::string::npos ? 0 : slash + 1, prefix.size(), prefix) == 0) {
      return result.readRootFile(name);
    }
  }
  return "";
}

// The lines of a result file after the first `after` (all when empty),
// newlines included; a temperature log's rows follow its line of dashes.
inline std::vector<std::string> rows(const std::string& text, const std::string& after = "") {
  std::vector<std::string> found;
  auto at = text.find(after);
  for (at = at == std::string::npos ? text.size() : at + after.size(); at < text.size();) {
    const auto end = std::min(text.find('\n', at), text.size() - 1);
    if (end > at) found.push_back(text.substr(at, end - at + 1));
    at = end + 1;
  }
  return found;
}
const std::string kDashes = std::string(34, '-') + "\n";

// A PanicLog entry starts with the local time of writing.
inline bool matchesEntry(const std::string& log, const std::string& afterTime) {
  static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: )");
  return std::regex_search(log, stamp) && log.size() == 21 + afterTime.size() &&
         log.compare(21, std::string::npos, afterTime) == 0;
}

// What Tarvex wrote after the start-up or the run failed: the stop commands to
// both T-controllers, the detector off, the bridge GPIOs pulsed, with their pauses.
inline void expectShutdown(Pauses& pauses, const Trace& trace, std::size_t lastBefore,
                           double firstPauseMs) {
  const std::vector<std::pair<Bytes, double>> steps = {
      // frame, pause before it
      {{0x53, 0x80, 6, 'S', 'T', 'C', '0', '0', '0', 0x50}, firstPauseMs},
      {{0x53, 0x84, 6, 'S', 'T', 'C', '0', '0', '0', 0x50}, 110},
      {{0x53, 0x80, 4, 'F', '_', '_', '1', 0x50}, 110},
      {{0x53, 0x84, 4, 'F', '_', '_', '1', 0x50}, 110},
      {{0x53, 0x80, 4, 'P', '_', '_', '0', 0x50}, 110},
      {{0x53, 0x84, 4, 'P', '_', '_', '0', 0x50}, 110},
      {{0x53, 0x66, 1, '0', 0x50}, 110},
      {{0x57, 9, 63, 0x50}, 70},
      {{0x57, 4, 7, 0x50}, 540},
      {{0x57, 2, 63, 0x50}, 40},
      {{0x57, 4, 0, 0x50}, 40},
      {{0x57, 4, 7, 0x50}, 100},
  };
  std::size_t previous = lastBefore;
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const std::size_t at = nextFrame(trace, previous);
    ASSERT_LT(at, trace.size()) << "shutdown frame " << k << " missing";
    EXPECT_EQ(e2e::hex(trace[at].raw), e2e::hex(steps[k].first)) << "shutdown frame " << k;
    pauses.expect(trace[previous], trace[at], steps[k].second,
                  "before shutdown frame " + std::to_string(k), 200);
    previous = at;
  }
  EXPECT_EQ(nextFrame(trace, previous), trace.size()) << "nothing after the shutdown";
}

}  // namespace devices
