// The scenario: settings of the simulated instrument and the faults it shows
// on demand, read from a small line-based text (format in sim/README.md).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sim {

// What a rule does to a reply. Content actions change what the device says;
// shape actions change the bytes the bridge sends (see applyShape).
enum class Action {
  // content
  Value,        // register answer byte
  Text,         // T-controller reply text
  Status,       // hardware status number (T-controller) or status text (detector)
  Voltage,      // detector voltage text
  Unparseable,  // a text that holds no number
  Wrong,        // acknowledge with the command followed by "E" instead of "K"
  Raw,          // flow sensor raw value
  Flow,         // flow sensor flow, ccm/min
  // shape
  None,        // no answer at all
  Short,       // only the first n bytes
  Incomplete,  // acknowledge one byte shorter than the command
  Long,        // padded with zero bytes to n bytes
  Bytes,       // exactly these bytes
  Delay,       // answered n ms after the request
};

bool isContentAction(Action action);

// When a rule applies: always, at chosen reads of its reply stream (counted
// from 1), or in chosen cycle seconds. `last` is -1 for an open range.
struct When {
  enum class Kind { Always, Reads, Seconds };
  Kind kind = Kind::Always;
  long first = 0;
  long last = -1;
};

struct Rule {
  int line = 0;
  // The reply stream: "reg2", "reg10", "tc64.rct", "tc66.hs", "tc64.ack",
  // "tc64.ack:STC000", "pid", "fs1", ...
  std::string stream;
  Action action = Action::None;
  long number = 0;   // Value, Status (T-controller), Raw, Short, Long, Delay
  double real = 0;   // Flow
  std::string text;  // Text, Status (detector), Voltage, Bytes
  When when;
};

struct Peak {
  double time;    // seconds after the first reading since power-on
  double height;  // volts at gain 1
  double width;   // standard deviation, seconds
};

struct Scenario {
  int replyDelayMs = 5;
  int leadByte = '9';
  double ambient = 25.0;
  double heatTime = 8.0;  // time constant of the heaters, seconds
  bool pumpOn = true;
  double sampleFlow = 200.0;
  double detectorFlow = 30.0;
  double baseline = 0.1;
  // Baseline change in volts per second and standard deviation of the
  // detector noise in volts, both at gain 1; unset until a line sets them.
  std::optional<double> drift;
  std::optional<double> noise;
  std::vector<Peak> peaks;
  std::vector<Rule> rules;
};

// Without peaks of its own a scenario gets the demo chromatogram: its peaks
// and, unless the scenario set them, its noise and drift. A scenario that
// draws its own peaks gets exactly them: no noise or drift unless it asks.
void completeDetector(Scenario& scenario);

// Parses scenario text. On an error, `error` names the line and the problem.
bool parseScenario(const std::string& text, Scenario& scenario, std::string& error);

// Whether a rule applies to the given read of its stream; cycleSecond is
// meaningless (and never matches) while the cycle has not started.
bool ruleApplies(const Rule& rule, long readCount, bool cycleStarted, long cycleSecond);

}  // namespace sim
