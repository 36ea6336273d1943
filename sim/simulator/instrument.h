// The simulated instrument behind the bridge: the bridge's registers, the two
// T-controllers, the detector A/D converter and the two flow sensors, with
// just enough physics to look like a running chromatograph.
#pragma once

#include <map>
#include <random>
#include <string>
#include <vector>

#include "frames.h"
#include "scenario.h"

namespace sim {

// When a frame was received, on both clocks (seconds).
struct Stamp {
  double mono = 0;
  double real = 0;
};

struct Reply {
  bool silent = false;  // nothing is sent
  std::string bytes;
  int delayMs = 0;  // after the request's last byte
};

// Addresses and full-scale flows of the two flow sensors.
struct FlowSensors {
  int fs1Address = -1;
  double fs1FullScale = 0;
  int fs2Address = -1;
  double fs2FullScale = 0;
};

// Reads flowsensors.txt with the formats the program reads it with.
bool readFlowSensors(const std::string& path, FlowSensors& sensors, std::string& error);

class Instrument {
 public:
  Instrument(const Scenario& scenario, const FlowSensors& sensors);

  // Takes one received frame. Returns true for a read request, with its reply
  // (possibly silent) in `reply`.
  bool handle(const Frame& frame, const Stamp& at, Reply& reply);

 private:
  // A heater's temperature approaches its set point exponentially; it cannot
  // cool below ambient.
  struct Heater {
    double value = 0;
    double setPoint = 0;
    double since = 0;  // monotonic time at which value held
  };
  struct TController {
    int address = 0;
    Heater column;
    Heater warm;
    std::string command;  // the last command written decides what a read returns
    bool hasCommand = false;
    bool pumpOn = false;
  };
  struct Detector {
    bool powered = false;
    int gain = 1;
    double firstRead = -1;  // monotonic time of the first read since power-on
  };

  void writeRegister(int reg, int value);
  bool readRegister(int reg, const Stamp& at, Reply& reply);
  void writeController(TController& tc, const std::string& command, const Stamp& at);
  void readController(TController& tc, int count, const Stamp& at, Reply& reply);
  void writeDetector(const std::string& command);
  void readDetector(int count, const Stamp& at, Reply& reply);
  void readFlowSensor(int which, int count, const Stamp& at, Reply& reply);

  double temperature(Heater& heater, double now) const;
  void setPoint(Heater& heater, double value, double now) const;
  double detectorSignal(double now);

  std::vector<const Rule*> applicable(const std::vector<std::string>& streams, const Stamp& at);
  void shape(const std::vector<const Rule*>& rules, Reply& reply, std::size_t commandLength) const;
  TController* controllerAt(int address);

  Scenario scenario_;
  FlowSensors sensors_;
  std::map<int, int> registers_;
  TController tc64_;
  TController tc66_;
  Detector detector_;
  std::mt19937 noiseSource_{20261208};  // fixed seed: runs differ only by their timing
  std::map<std::string, long> readCounts_;
  long cycleStart_ = -1;  // wall second of the first "HS_" to 64
};

}  // namespace sim
