#include "instrument.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "report.h"

namespace sim {

namespace {

constexpr int kI2cOk = 240;
constexpr int kTc1 = 64;
constexpr int kTc2 = 66;
constexpr int kDetector = 51;
constexpr double kDetectorCeiling = 4.096;  // the converter's full range, volts
// Detector reply bytes 12 and 15 are unused by the reader; digits on purpose,
// so a reader that forgets to cut them off parses a different number.
constexpr char kDetectorFiller = '8';
constexpr const char* kHardwareGood = "STATUS HW:0***";

// The bridge always hands over as many bytes as were asked for.
std::string fitToCount(std::string bytes, int count) {
  bytes.resize(static_cast<std::size_t>(count), '\0');
  return bytes;
}

// CRC-8 of the flow sensor (polynomial 0x31, start 0xFF) over the two value bytes.
unsigned char flowChecksum(unsigned char high, unsigned char low) {
  unsigned char crc = 0xFF;
  for (unsigned char byte : {high, low}) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x80) ? static_cast<unsigned char>((crc << 1) ^ 0x31)
                         : static_cast<unsigned char>(crc << 1);
    }
  }
  return crc;
}

// flow = fullScale * (raw / 16384 - 0.5), turned round.
long rawForFlow(double flow, double fullScale) {
  if (fullScale == 0) return 8192;
  const long raw = std::lround((flow / fullScale + 0.5) * 16384.0);
  return std::clamp(raw, 0L, 65535L);
}

// A set-point command: prefix followed by a number and nothing else.
bool setPointValue(const std::string& command, const char* prefix, double& value) {
  const std::string head(prefix);
  if (command.compare(0, head.size(), head) != 0 || command.size() == head.size()) return false;
  const std::string number = command.substr(head.size());
  char* end = nullptr;
  value = std::strtod(number.c_str(), &end);
  return *end == '\0';
}

// Temperatures go out with two decimals, as in "25.00".
std::string temperatureText(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

// Voltages go out as "1.23456E-01": 11 characters for 0 <= value < 10.
std::string voltageText(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.5E", value);
  return text;
}

}  // namespace

bool readFlowSensors(const std::string& path, FlowSensors& sensors, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (!file) {
    error = "cannot open " + path;
    return false;
  }
  unsigned int address1 = 0;
  unsigned int address2 = 0;
  float scale1 = 0;
  float scale2 = 0;
  int start = 0;
  const bool good = std::fscanf(file, "FS1: %x\t %f\n", &address1, &scale1) == 2 &&
                    std::fscanf(file, "FS2: %x\t %f\n", &address2, &scale2) == 2 &&
                    std::fscanf(file, "SAMPLING_STARTTIME: %d\n", &start) == 1;
  std::fclose(file);
  if (!good) {
    error = "cannot parse " + path;
    return false;
  }
  sensors.fs1Address = static_cast<int>(address1);
  sensors.fs1FullScale = scale1;
  sensors.fs2Address = static_cast<int>(address2);
  sensors.fs2FullScale = scale2;
  return true;
}

Instrument::Instrument(const Scenario& scenario, const FlowSensors& sensors)
    : scenario_(scenario), sensors_(sensors) {
  registers_[2] = 0;  // GPIOs not yet configured
  registers_[4] = 0;
  registers_[9] = 0;
  for (TController* tc : {&tc64_, &tc66_}) {
    tc->column.value = tc->column.setPoint = scenario.ambient;
    tc->warm.value = tc->warm.setPoint = scenario.ambient;
  }
  tc64_.address = kTc1;
  tc66_.address = kTc2;
  tc64_.pumpOn = scenario.pumpOn;
}

bool Instrument::handle(const Frame& frame, const Stamp& at, Reply& reply) {
  reply = Reply();
  reply.delayMs = scenario_.replyDelayMs;
  TController* tc = controllerAt(frame.address);
  switch (frame.kind) {
    case FrameKind::RegisterWrite:
      writeRegister(frame.address, frame.value);
      return false;
    case FrameKind::RegisterRead:
      return readRegister(frame.address, at, reply);
    case FrameKind::I2cWrite:
      if (tc) {
        writeController(*tc, frame.data, at);
      } else if (frame.address == kDetector) {
        writeDetector(frame.data);
      } else if (frame.address == sensors_.fs1Address || frame.address == sensors_.fs2Address) {
        report("flow sensor %d takes no commands, ignored", frame.address);
      } else {
        report("I2C write to address %d: no device there", frame.address);
      }
      return false;
    case FrameKind::I2cRead:
      if (tc) {
        readController(*tc, frame.value, at, reply);
      } else if (frame.address == kDetector) {
        readDetector(frame.value, at, reply);
      } else if (frame.address == sensors_.fs1Address) {
        readFlowSensor(1, frame.value, at, reply);
      } else if (frame.address == sensors_.fs2Address) {
        readFlowSensor(2, frame.value, at, reply);
      } else {
        report("I2C read from address %d: no device there, no answer", frame.address);
        reply.silent = true;
      }
      return true;
  }
  return false;
}

Instrument::TController* Instrument::controllerAt(int address) {
  if (address == kTc1) return &tc64_;
  if (address == kTc2) return &tc66_;
  return nullptr;
}

void Instrument::writeRegister(int reg, int value) {
  if (reg == 10) {
    report("register 10 (I2C status) is read-only, write of %d ignored", value);
    return;
  }
  if (!registers_.count(reg)) {
    report("write to unknown register %d ignored", reg);
    return;
  }
  registers_[reg] = value;
}

bool Instrument::readRegister(int reg, const Stamp& at, Reply& reply) {
  const std::string stream = "reg" + std::to_string(reg);
  int value = 0;
  if (reg == 10) {
    value = kI2cOk;
  } else if (registers_.count(reg)) {
    value = registers_[reg];
  } else {
    report("read of unknown register %d, no answer", reg);
    reply.silent = true;
    return true;
  }
  const std::vector<const Rule*> rules = applicable({stream}, at);
  for (const Rule* rule : rules) {
    if (rule->action == Action::Value) value = static_cast<int>(rule->number & 0xFF);
  }
  reply.bytes = std::string(1, static_cast<char>(value));
  shape(rules, reply, 0);
  return true;
}

void Instrument::writeController(TController& tc, const std::string& command, const Stamp& at) {
  tc.command = command;
  tc.hasCommand = true;
  if (command == "HS_" && tc.address == kTc1 && cycleStart_ < 0) {
    cycleStart_ = static_cast<long>(std::floor(at.real));
  }
  double value = 0;
  if (setPointValue(command, "STC", value)) {
    setPoint(tc.column, value, at.mono);
  } else if (setPointValue(command, "STW", value)) {
    setPoint(tc.warm, value, at.mono);
  } else if (command == "P__0" || command == "P__1") {
    tc.pumpOn = command == "P__1";
  }
}

void Instrument::readController(TController& tc, int count, const Stamp& at, Reply& reply) {
  const std::string name = "tc" + std::to_string(tc.address);
  const std::string& command = tc.command;
  std::vector<std::string> streams;
  std::string text;
  if (!tc.hasCommand) {
    text.clear();  // nothing asked yet: the leading byte and zeros
  } else if (command == "RCT" || command == "RWT") {
    streams.push_back(name + (command == "RCT" ? ".rct" : ".rwt"));
    Heater& heater = command == "RCT" ? tc.column : tc.warm;
    text = temperatureText(temperature(heater, at.mono));
  } else if (command == "HS_") {
    streams.push_back(name + ".hs");
    text = kHardwareGood;
  } else {
    streams.push_back(name + ".ack");
    streams.push_back(name + ".ack:" + command);
    text = command + "K";
  }
  const std::vector<const Rule*> rules = applicable(streams, at);
  for (const Rule* rule : rules) {
    if (rule->action == Action::Text) text = rule->text;
    if (rule->action == Action::Unparseable) text = command == "HS_" ? "STATUS HW:?***" : "ERR";
    if (rule->action == Action::Status) text = "STATUS HW:" + std::to_string(rule->number) + "***";
    if (rule->action == Action::Wrong) text = command + "E";
  }
  reply.bytes = fitToCount(std::string(1, static_cast<char>(scenario_.leadByte)) + text, count);
  shape(rules, reply, command.size());
}

void Instrument::writeDetector(const std::string& command) {
  if (command == "I") {
    detector_ = Detector();  // the start command resets the converter
  } else if (command == "1") {
    detector_.powered = true;
    detector_.firstRead = -1;
  } else if (command == "0") {
    detector_.powered = false;
  } else if (command == "DR") {
    // data rate: the simulated converter has only one
  } else if (command.size() == 2 && command[0] == 'G') {
    const int gain = static_cast<unsigned char>(command[1]);
    if (gain == 1 || gain == 2 || gain == 4 || gain == 8) {
      detector_.gain = gain;
    } else {
      report("detector gain byte %d is not 1, 2, 4 or 8, ignored", gain);
    }
  } else {
    report("unknown detector command of %zu bytes ignored", command.size());
  }
}

double Instrument::detectorSignal(double now) {
  if (detector_.firstRead < 0) detector_.firstRead = now;
  const double t = now - detector_.firstRead;
  double signal = scenario_.baseline + scenario_.drift.value_or(0.0) * t;
  for (const Peak& peak : scenario_.peaks) {
    const double x = (t - peak.time) / peak.width;
    signal += peak.height * std::exp(-0.5 * x * x);
  }
  const double noise = scenario_.noise.value_or(0.0);
  if (noise > 0) signal += std::normal_distribution<double>(0.0, noise)(noiseSource_);
  return signal;
}

void Instrument::readDetector(int count, const Stamp& at, Reply& reply) {
  // A converter that is off reads 0 V.
  double volts = detector_.powered ? detector_.gain * detectorSignal(at.mono) : 0.0;
  volts = std::clamp(volts, 0.0, kDetectorCeiling);
  std::string voltage = voltageText(volts);
  std::string status = volts >= kDetectorCeiling ? "01" : "00";
  const std::vector<const Rule*> rules = applicable({"pid"}, at);
  for (const Rule* rule : rules) {
    if (rule->action == Action::Voltage) voltage = rule->text;
    if (rule->action == Action::Unparseable) voltage = "ERR";
    if (rule->action == Action::Status) status = rule->text;
  }
  // Bytes 1..11 voltage, 12 filler, 13..14 status, 15 filler; blanks pad short texts.
  voltage.resize(11, ' ');
  status.resize(2, ' ');
  std::string bytes(1, static_cast<char>(scenario_.leadByte));
  bytes += voltage + kDetectorFiller + status + kDetectorFiller;
  reply.bytes = fitToCount(bytes, count);
  shape(rules, reply, 0);
}

void Instrument::readFlowSensor(int which, int count, const Stamp& at, Reply& reply) {
  const double fullScale = which == 1 ? sensors_.fs1FullScale : sensors_.fs2FullScale;
  const double flow =
      which == 1 ? (tc64_.pumpOn ? scenario_.sampleFlow : 0.0) : scenario_.detectorFlow;
  long raw = rawForFlow(flow, fullScale);
  // A byte 0x0D would reach the program as 0x0A (its port maps CR to NL), so
  // computed values step round it; a raw override is sent as given.
  if ((raw & 0xFF) == 0x0D) raw += 1;
  const std::vector<const Rule*> rules = applicable({which == 1 ? "fs1" : "fs2"}, at);
  for (const Rule* rule : rules) {
    if (rule->action == Action::Raw) raw = rule->number & 0xFFFF;
    if (rule->action == Action::Flow) raw = rawForFlow(rule->real, fullScale);
  }
  const auto high = static_cast<unsigned char>(raw >> 8);
  const auto low = static_cast<unsigned char>(raw & 0xFF);
  std::string bytes;
  bytes += static_cast<char>(high);
  bytes += static_cast<char>(low);
  bytes += static_cast<char>(flowChecksum(high, low));
  reply.bytes = fitToCount(bytes, count);
  shape(rules, reply, 0);
}

double Instrument::temperature(Heater& heater, double now) const {
  const double target = std::max(heater.setPoint, scenario_.ambient);
  const double elapsed = std::max(0.0, now - heater.since);
  heater.value = target + (heater.value - target) * std::exp(-elapsed / scenario_.heatTime);
  heater.since = now;
  return heater.value;
}

void Instrument::setPoint(Heater& heater, double value, double now) const {
  temperature(heater, now);  // bring the value up to now before the target moves
  heater.setPoint = value;
}

std::vector<const Rule*> Instrument::applicable(const std::vector<std::string>& streams,
                                                const Stamp& at) {
  for (const std::string& stream : streams) ++readCounts_[stream];
  const bool started = cycleStart_ >= 0;
  const long second = started ? static_cast<long>(std::floor(at.real)) - cycleStart_ : 0;
  std::vector<const Rule*> rules;
  for (const Rule& rule : scenario_.rules) {
    if (std::find(streams.begin(), streams.end(), rule.stream) == streams.end()) continue;
    if (ruleApplies(rule, readCounts_[rule.stream], started, second)) rules.push_back(&rule);
  }
  return rules;
}

void Instrument::shape(const std::vector<const Rule*>& rules, Reply& reply,
                       std::size_t commandLength) const {
  for (const Rule* rule : rules) {
    const auto n = static_cast<std::size_t>(rule->number);
    switch (rule->action) {
      case Action::None:
        reply.silent = true;
        break;
      case Action::Short:
        reply.bytes.resize(std::min(n, reply.bytes.size()));
        break;
      case Action::Incomplete:
        // The program wants at least as many bytes as the command has.
        reply.bytes.resize(std::min(reply.bytes.size(), commandLength > 0 ? commandLength - 1 : 0));
        break;
      case Action::Long:
        if (n > reply.bytes.size()) reply.bytes.resize(n, '\0');
        break;
      case Action::Bytes:
        reply.bytes = rule->text;
        break;
      case Action::Delay:
        reply.delayMs = static_cast<int>(rule->number);
        break;
      default:
        break;  // content actions were applied by the device
    }
  }
}

}  // namespace sim
