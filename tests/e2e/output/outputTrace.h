// What the result files, the status line and the runtime dump should show,
// worked out from the simulator's trace of a run: the readings the program
// took, with the seconds it may have stamped them with.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "e2eHarness.h"

namespace outputcheck {

using Trace = std::vector<e2e::TraceEvent>;

// The program reads its clock just before the first "HS_" to 64, so its cycle
// start is that frame's second, or the one before when the frame came early in it.
struct CycleClock {
  long latest = -1;
  long earliest = -1;
};
CycleClock cycleClock(const Trace& trace);

// One complete, well-formed temperature reading (column and warm) of a T-controller.
struct TcReading {
  double began = 0;      // wall time of the "RCT" frame
  std::size_t done = 0;  // trace index of the warm reply
  float column = 0;
  float warm = 0;
  long firstTime = 0;  // the cycle seconds the log may give it
  long lastTime = 0;
};
std::vector<TcReading> tcReadings(const Trace& trace, int address, const CycleClock& clock);

// One detector reply and whether the program keeps it (0.03 V < v < 3.3 V).
struct PidReading {
  std::size_t reply = 0;  // trace index of the reply
  double real = 0;
  float volts = 0;
  int status = 0;
  bool kept = false;
  long firstTime = 0;  // seconds since the window opened, as the log may give it
  long lastTime = 0;
};
std::vector<PidReading> pidReadings(const Trace& trace, const CycleClock& clock, int pidDelay);

// Flow readings recorded during the cycle (both sensors answered).
struct FlowReading {
  float sample = 0;
  float detector = 0;
};
std::vector<FlowReading> flowReadings(const Trace& trace, int fs1, float fullScale1, int fs2,
                                      float fullScale2);

// Expected lines of a file: each line lists the texts it may have.
using Lines = std::vector<std::vector<std::string>>;
void addFixed(Lines* lines, const std::string& text);  // split at newlines, each kept
void addTcRows(Lines* lines, const std::vector<TcReading>& readings);
void addPidRows(Lines* lines, const std::vector<PidReading>& readings);
void addFlowRows(Lines* lines, const std::vector<FlowReading>& readings);
// The expected text, each line taken as the alternative the actual text has there
// (or the first one), so that a comparison shows every difference in place.
std::string resolve(const std::string& actual, const Lines& lines);

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string localDay(long when);    // YYYY-MM-DD
std::string localStamp(long when);  // YYYY-MM-DD_HH-MM-00

// A line of the console status line, cut at its end.
struct StatusLine {
  std::string text;
  int time = 0;
  std::string pcc, gcc, pcw, gcw;
  std::string millivolts;  // empty when idle
  std::string volume;      // empty when the column is absent
};
// Every redraw after a carriage return; `bad` gets the ones that match no format.
std::vector<StatusLine> statusLines(const std::string& out, std::vector<std::string>* bad);

}  // namespace outputcheck
