#include "outputTrace.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace outputcheck {
namespace {

long second(double real) {
  return static_cast<long>(std::floor(real));
}

// Slack for a clock read shortly before a frame reached the simulator.
const double kClockBeforeFrame = 0.1;

// A device reply's text: from its second byte up to the first zero byte.
std::string replyText(const e2e::TraceEvent& reply) {
  std::string text;
  for (std::size_t i = 1; i < reply.raw.size() && reply.raw[i] != 0; ++i) {
    text += static_cast<char>(reply.raw[i]);
  }
  return text;
}

// The reply to the next read request to `address` after `from`; null when none came.
const e2e::TraceEvent* nextReply(const Trace& trace, std::size_t from, int address,
                                 std::size_t* index) {
  for (std::size_t i = from + 1; i < trace.size(); ++i) {
    if (trace[i].kind == "i2c-read" && trace[i].address == address) {
      const e2e::TraceEvent* reply = e2e::replyTo(trace, i);
      if (reply == nullptr || reply->kind != "i2c-reply") return nullptr;
      *index = static_cast<std::size_t>(reply - trace.data());
      return reply;
    }
  }
  return nullptr;
}

bool temperature(const e2e::TraceEvent& reply, float* value) {
  const std::string text = replyText(reply);
  return reply.raw.size() > 2 && std::sscanf(text.c_str(), "%f", value) == 1;
}

}  // namespace

CycleClock cycleClock(const Trace& trace) {
  CycleClock clock;
  for (const e2e::TraceEvent& event : trace) {
    if (event.kind == "i2c-write" && event.address == 64 && event.text == "HS_") {
      clock.latest = second(event.real);
      clock.earliest = second(event.real - kClockBeforeFrame);
      break;
    }
  }
  return clock;
}

std::vector<TcReading> tcReadings(const Trace& trace, int address, const CycleClock& clock) {
  std::vector<TcReading> readings;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].kind != "i2c-write" || trace[i].address != address || trace[i].text != "RCT") {
      continue;
    }
    TcReading reading;
    std::size_t columnAt = 0;
    const e2e::TraceEvent* column = nextReply(trace, i, address, &columnAt);
    if (column == nullptr || !temperature(*column, &reading.column)) continue;
    std::size_t warmAsked = columnAt + 1;
    while (warmAsked < trace.size() &&
           !(trace[warmAsked].kind == "i2c-write" && trace[warmAsked].address == address)) {
      ++warmAsked;
    }
    if (warmAsked == trace.size() || trace[warmAsked].text != "RWT") continue;
    const e2e::TraceEvent* warm = nextReply(trace, warmAsked, address, &reading.done);
    if (warm == nullptr || !temperature(*warm, &reading.warm)) continue;
    reading.began = trace[i].real;
    reading.firstTime = second(trace[i].real - kClockBeforeFrame) - clock.latest;
    reading.lastTime = second(trace[i].real) - clock.earliest;
    readings.push_back(reading);
  }
  return readings;
}

std::vector<PidReading> pidReadings(const Trace& trace, const CycleClock& clock, int pidDelay) {
  std::vector<PidReading> readings;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].kind != "i2c-read" || trace[i].address != 51) continue;
    const e2e::TraceEvent* reply = e2e::replyTo(trace, i);
    if (reply == nullptr || reply->kind != "i2c-reply") continue;
    PidReading reading;
    reading.reply = static_cast<std::size_t>(reply - trace.data());
    reading.real = reply->real;
    std::string bytes(reply->raw.begin(), reply->raw.end());
    bytes.resize(16, 'X');
    const bool converted = std::sscanf(bytes.substr(1, 11).c_str(), "%E", &reading.volts) == 1;
    if (std::sscanf(bytes.substr(13, 2).c_str(), "%d", &reading.status) != 1 ||
        reading.status < 0) {
      reading.status = 0;
    }
    reading.kept = converted && reading.volts < 3.3 && reading.volts > 0.03;
    // The program stamps the reading after the reply and before its next frame.
    double stamped = reading.real + 1;
    for (std::size_t k = reading.reply + 1; k < trace.size(); ++k) {
      if (trace[k].dir == "rx") {
        stamped = trace[k].real;
        break;
      }
    }
    reading.firstTime = second(reading.real) - clock.latest - pidDelay;
    reading.lastTime = second(stamped) - clock.earliest - pidDelay;
    readings.push_back(reading);
  }
  return readings;
}

std::vector<FlowReading> flowReadings(const Trace& trace, int fs1, float fullScale1, int fs2,
                                      float fullScale2) {
  auto flow = [](const e2e::TraceEvent& reply, float fullScale) {
    const unsigned raw = reply.raw[0] * 256U + reply.raw[1];
    return static_cast<float>(fullScale * (raw / 16384.0 - 0.5));
  };
  std::vector<FlowReading> readings;
  bool started = false;  // readings before the cycle start are only tests of the sensors
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const e2e::TraceEvent& event = trace[i];
    if (event.kind == "i2c-write" && event.address == 64 && event.text == "HS_") started = true;
    if (!started || event.kind != "i2c-read" || event.address != fs1) continue;
    const e2e::TraceEvent* sample = e2e::replyTo(trace, i);
    if (sample == nullptr || sample->raw.size() < 3) continue;
    std::size_t at = 0;
    const e2e::TraceEvent* detector = nextReply(trace, i, fs2, &at);
    if (detector == nullptr || detector->raw.size() < 3) continue;
    readings.push_back({flow(*sample, fullScale1), flow(*detector, fullScale2)});
  }
  return readings;
}

void addFixed(Lines* lines, const std::string& text) {
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = text.find('\n', from);
    const std::size_t next = end == std::string::npos ? text.size() : end + 1;
    lines->push_back({text.substr(from, next - from)});
    from = next;
  }
}

void addTcRows(Lines* lines, const std::vector<TcReading>& readings) {
  for (const TcReading& r : readings) {
    std::vector<std::string> choices;
    for (long t = r.firstTime; t <= r.lastTime; ++t) {
      choices.push_back(format("%5i\t%5.1f\t%5.1f\n", static_cast<int>(t),
                               static_cast<double>(r.column), static_cast<double>(r.warm)));
    }
    lines->push_back(choices);
  }
}

void addPidRows(Lines* lines, const std::vector<PidReading>& readings) {
  for (const PidReading& r : readings) {
    if (!r.kept) continue;
    std::vector<std::string> choices;
    for (long t = r.firstTime; t <= r.lastTime; ++t) {
      choices.push_back(format("%6i\t%8.5f\t%2d\t%8.5f\n", static_cast<int>(t),
                               static_cast<double>(r.volts) * 1000.0, r.status, 0.0));
    }
    lines->push_back(choices);
  }
}

void addFlowRows(Lines* lines, const std::vector<FlowReading>& readings) {
  for (std::size_t group = 0; group * 60 < readings.size(); ++group) {
    float sample = 0;
    float detector = 0;
    int count = 0;
    for (std::size_t k = group * 60; k < readings.size() && k < group * 60 + 60; ++k, ++count) {
      sample += readings[k].sample;
      detector += readings[k].detector;
    }
    lines->push_back(
        {format("%5i\t%5.1f\t%5.1f\n", static_cast<int>(group), static_cast<double>(sample / count),
                static_cast<double>(detector / count))});
  }
}

std::string resolve(const std::string& actual, const Lines& lines) {
  std::vector<std::string> have;
  std::size_t from = 0;
  while (from < actual.size()) {
    const std::size_t end = actual.find('\n', from);
    const std::size_t next = end == std::string::npos ? actual.size() : end + 1;
    have.push_back(actual.substr(from, next - from));
    from = next;
  }
  std::string expected;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string chosen = lines[i].front();
    for (const std::string& choice : lines[i]) {
      if (i < have.size() && have[i] == choice) chosen = choice;
    }
    expected += chosen;
  }
  return expected;
}

std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

namespace {
struct tm localParts(long when) {
  const time_t t = when;
  struct tm parts;
  localtime_r(&t, &parts);
  return parts;
}
}  // namespace

std::string localDay(long when) {
  const struct tm parts = localParts(when);
  char text[64];
  std::strftime(text, sizeof text, "%F", &parts);
  return text;
}

std::string localStamp(long when) {
  const struct tm parts = localParts(when);
  char text[64];
  std::strftime(text, sizeof text, "%F_%H-%M-00", &parts);
  return text;
}

std::vector<StatusLine> statusLines(const std::string& out, std::vector<std::string>* bad) {
  std::vector<StatusLine> lines;
  for (std::size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1)) {
    const std::string segment = out.substr(at, out.find('\r', at + 1) - at);
    // Read the values loosely, then draw the line again and compare byte for byte.
    StatusLine line;
    char fields[4][16] = {};
    int used = 0;
    bool good = std::sscanf(segment.c_str(), "\r%ds %15s %15s %15s %15s%n", &line.time, fields[0],
                            fields[1], fields[2], fields[3], &used) == 5;
    if (good) {
      std::string* values[4] = {&line.pcc, &line.gcc, &line.pcw, &line.gcw};
      for (int k = 0; k < 4; ++k) *values[k] = format("%05.1f", std::atof(fields[k]));
      line.text = format("\r%4ds   %s  %s  %s  %s  ", line.time, line.pcc.c_str(), line.gcc.c_str(),
                         line.pcw.c_str(), line.gcw.c_str());
      const char* rest = segment.c_str() + used;
      char* end = nullptr;
      const double millivolts = std::strtod(rest, &end);
      if (end != rest && std::strncmp(end, "mV", 2) == 0) {
        line.millivolts = format("%8.4f", millivolts);
        line.text += line.millivolts + "mV    ";
      } else {
        line.text += "idle          ";
      }
      if (segment.compare(0, line.text.size(), line.text) == 0) {
        rest = segment.c_str() + line.text.size();
        const double volume = std::strtod(rest, &end);
        if (end != rest && std::strncmp(end, "ccm", 3) == 0) {
          line.volume = format("%06.1f", volume);
          line.text += line.volume + "ccm";
        }
      }
      good = segment.compare(0, line.text.size(), line.text) == 0;
    }
    if (good) {
      lines.push_back(line);
    } else if (bad != nullptr) {
      bad->push_back(segment);
    }
  }
  return lines;
}

}  // namespace outputcheck
