#include "scenario.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

// Splits a line into words; a word in double quotes may hold blanks and the
// escapes \\ \" \n \r \t \0 and \xNN. A "#" outside quotes starts a comment.
bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& error) {
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    if (c == '#') break;
    std::string word;
    if (c != '"') {
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
        word += line[i++];
      words.push_back(word);
      continue;
    }
    ++i;
    bool closed = false;
    while (i < line.size()) {
      char d = line[i++];
      if (d == '"') {
        closed = true;
        break;
      }
      if (d != '\\') {
        word += d;
        continue;
      }
      if (i >= line.size()) break;
      d = line[i++];
      if (d == 'n') {
        word += '\n';
      } else if (d == 'r') {
        word += '\r';
      } else if (d == 't') {
        word += '\t';
      } else if (d == '0') {
        word += '\0';
      } else if (d == 'x' && i + 1 < line.size() &&
                 std::isxdigit(static_cast<unsigned char>(line[i])) &&
                 std::isxdigit(static_cast<unsigned char>(line[i + 1]))) {
        word += static_cast<char>(std::strtol(line.substr(i, 2).c_str(), nullptr, 16));
        i += 2;
      } else {
        word += d;
      }
    }
    if (!closed) {
      error = "unterminated quoted text";
      return false;
    }
    words.push_back(word);
  }
  return true;
}

// Whole-word integer in decimal or 0x hexadecimal.
bool toLong(const std::string& word, long& value) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(word.c_str(), &end, 0);
  return errno == 0 && *end == '\0';
}

bool toDouble(const std::string& word, double& value) {
  if (word.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(word.c_str(), &end);
  return errno == 0 && *end == '\0';
}

// "N", "N-M" or "N-" (open end).
bool toRange(const std::string& word, long& first, long& last) {
  const std::size_t dash = word.find('-', 1);
  if (dash == std::string::npos) {
    if (!toLong(word, first)) return false;
    last = first;
    return true;
  }
  if (!toLong(word.substr(0, dash), first)) return false;
  const std::string tail = word.substr(dash + 1);
  if (tail.empty()) {
    last = -1;
    return true;
  }
  return toLong(tail, last) && last >= first;
}

bool parseWhen(const std::vector<std::string>& words, std::size_t at, When& when,
               std::string& error) {
  if (at == words.size()) return true;
  const std::string& word = words[at];
  const std::size_t rest = words.size() - at;
  if (word == "always" && rest == 1) return true;
  if (rest != 2) {
    error = "expected always, at N[-M], first N, from N or seconds N[-M] after the action";
    return false;
  }
  long first = 0;
  long last = 0;
  if (word == "at" || word == "seconds") {
    if (!toRange(words[at + 1], first, last)) {
      error = "bad range '" + words[at + 1] + "'";
      return false;
    }
    when.kind = word == "at" ? When::Kind::Reads : When::Kind::Seconds;
  } else if (word == "first" || word == "from") {
    long n = 0;
    if (!toLong(words[at + 1], n) || n < 1) {
      error = "bad count '" + words[at + 1] + "'";
      return false;
    }
    when.kind = When::Kind::Reads;
    first = word == "first" ? 1 : n;
    last = word == "first" ? n : -1;
  } else {
    error = "unknown condition '" + word + "'";
    return false;
  }
  when.first = first;
  when.last = last;
  return true;
}

struct ActionName {
  const char* name;
  Action action;
  char argument;  // 'n' integer, 'r' real, 't' text, 'x' hex bytes, '-' none
};

const ActionName kActions[] = {
    {"value", Action::Value, 'n'},
    {"text", Action::Text, 't'},
    {"status", Action::Status, 't'},
    {"voltage", Action::Voltage, 't'},
    {"unparseable", Action::Unparseable, '-'},
    {"wrong", Action::Wrong, '-'},
    {"raw", Action::Raw, 'n'},
    {"flow", Action::Flow, 'r'},
    {"none", Action::None, '-'},
    {"short", Action::Short, 'n'},
    {"incomplete", Action::Incomplete, '-'},
    {"long", Action::Long, 'n'},
    {"bytes", Action::Bytes, 'x'},
    {"delay", Action::Delay, 'n'},
};

// Which streams take which actions; the shape actions fit every stream.
bool actionFits(const std::string& stream, Action action) {
  if (!isContentAction(action))
    return action != Action::Incomplete || stream.find(".ack") != std::string::npos;
  const std::size_t dot = stream.find('.');
  const std::string query = dot == std::string::npos ? "" : stream.substr(dot + 1, 3);
  if (stream.compare(0, 3, "reg") == 0) return action == Action::Value;
  if (stream == "pid") {
    return action == Action::Voltage || action == Action::Status || action == Action::Unparseable;
  }
  if (stream == "fs1" || stream == "fs2") return action == Action::Raw || action == Action::Flow;
  if (query == "rct" || query == "rwt")
    return action == Action::Text || action == Action::Unparseable;
  if (query == "hs") {
    return action == Action::Text || action == Action::Status || action == Action::Unparseable;
  }
  if (query == "ack") return action == Action::Text || action == Action::Wrong;
  return false;
}

bool knownStream(const std::string& stream) {
  if (stream == "reg2" || stream == "reg4" || stream == "reg9" || stream == "reg10") return true;
  if (stream == "pid" || stream == "fs1" || stream == "fs2") return true;
  if (stream.compare(0, 5, "tc64.") != 0 && stream.compare(0, 5, "tc66.") != 0) return false;
  const std::string query = stream.substr(5);
  if (query == "rct" || query == "rwt" || query == "hs" || query == "ack") return true;
  return query.compare(0, 4, "ack:") == 0 && query.size() > 4;
}

bool parseRule(const std::vector<std::string>& words, Rule& rule, std::string& error) {
  rule.stream = words[0];
  if (!knownStream(rule.stream)) {
    error = "unknown reply stream '" + rule.stream + "'";
    return false;
  }
  if (words.size() < 2) {
    error = "missing action";
    return false;
  }
  const ActionName* found = nullptr;
  for (const ActionName& entry : kActions) {
    if (words[1] == entry.name) found = &entry;
  }
  if (!found) {
    error = "unknown action '" + words[1] + "'";
    return false;
  }
  rule.action = found->action;
  if (!actionFits(rule.stream, rule.action)) {
    error = "action '" + words[1] + "' does not fit " + rule.stream;
    return false;
  }
  std::size_t next = 2;
  if (found->argument == 'x') {
    // Hex bytes run up to the condition word or the end of the line.
    while (next < words.size() && words[next] != "always" && words[next] != "at" &&
           words[next] != "first" && words[next] != "from" && words[next] != "seconds") {
      const std::string& word = words[next];
      const bool prefixed = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
      long value = 0;
      if (!toLong(prefixed ? word : "0x" + word, value) || value < 0 || value > 255) {
        error = "bad hex byte '" + words[next] + "'";
        return false;
      }
      rule.text += static_cast<char>(value);
      ++next;
    }
  } else if (found->argument != '-') {
    if (next >= words.size()) {
      error = "action '" + words[1] + "' needs a value";
      return false;
    }
    const std::string& argument = words[next++];
    bool good = true;
    if (found->argument == 'n' || (rule.action == Action::Status && rule.stream != "pid")) {
      good = toLong(argument, rule.number) && rule.number >= 0;
    } else if (found->argument == 'r') {
      good = toDouble(argument, rule.real);
    } else {
      rule.text = argument;
    }
    if (!good) {
      error = "bad value '" + argument + "' for " + words[1];
      return false;
    }
  }
  return parseWhen(words, next, rule.when, error);
}

bool parseSetting(const std::vector<std::string>& words, Scenario& scenario, bool& known,
                  std::string& error) {
  known = true;
  const std::string& key = words[0];
  const std::size_t count = words.size();
  long number = 0;
  bool good = false;
  if (key == "reply-delay") {
    good = count == 2 && toLong(words[1], number) && number >= 0;
    scenario.replyDelayMs = static_cast<int>(number);
  } else if (key == "lead-byte") {
    good = count == 2 && toLong(words[1], number) && number >= 0 && number <= 255;
    scenario.leadByte = static_cast<int>(number);
  } else if (key == "ambient") {
    good = count == 2 && toDouble(words[1], scenario.ambient);
  } else if (key == "heat-time") {
    good = count == 2 && toDouble(words[1], scenario.heatTime) && scenario.heatTime > 0;
  } else if (key == "pump") {
    good = count == 2 && (words[1] == "on" || words[1] == "off");
    scenario.pumpOn = words[1] == "on";
  } else if (key == "sample-flow") {
    good = count == 2 && toDouble(words[1], scenario.sampleFlow);
  } else if (key == "detector-flow") {
    good = count == 2 && toDouble(words[1], scenario.detectorFlow);
  } else if (key == "baseline") {
    good = count == 2 && toDouble(words[1], scenario.baseline);
  } else if (key == "drift") {
    double drift = 0;
    good = count == 2 && toDouble(words[1], drift);
    scenario.drift = drift;
  } else if (key == "noise") {
    double noise = 0;
    good = count == 2 && toDouble(words[1], noise) && noise >= 0;
    scenario.noise = noise;
  } else if (key == "peak") {
    Peak peak{0, 0, 0};
    good = count == 4 && toDouble(words[1], peak.time) && toDouble(words[2], peak.height) &&
           toDouble(words[3], peak.width) && peak.width > 0;
    if (good) scenario.peaks.push_back(peak);
  } else {
    known = false;
    return true;
  }
  if (!good) error = "bad setting '" + key + "'";
  return good;
}

}  // namespace

bool isContentAction(Action action) {
  switch (action) {
    case Action::Value:
    case Action::Text:
    case Action::Status:
    case Action::Voltage:
    case Action::Unparseable:
    case Action::Wrong:
    case Action::Raw:
    case Action::Flow:
      return true;
    default:
      return false;
  }
}

void completeDetector(Scenario& scenario) {
  if (scenario.peaks.empty()) {
    // Five aromatics, the third and fourth barely resolved, and a small
    // unknown late in the run.
    scenario.peaks = {{12.0, 0.35, 1.5}, {26.0, 0.80, 1.8}, {44.0, 0.45, 2.0},
                      {52.5, 0.60, 2.2}, {70.0, 0.30, 2.5}, {85.0, 0.10, 2.5}};
    if (!scenario.drift) scenario.drift = 0.00025;
    if (!scenario.noise) scenario.noise = 0.0015;
  }
  if (!scenario.drift) scenario.drift = 0.0;
  if (!scenario.noise) scenario.noise = 0.0;
}

bool parseScenario(const std::string& text, Scenario& scenario, std::string& error) {
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    std::vector<std::string> words;
    std::string problem;
    bool good = splitWords(line, words, problem);
    if (good && !words.empty()) {
      bool known = false;
      good = parseSetting(words, scenario, known, problem);
      if (good && !known) {
        Rule rule;
        rule.line = number;
        good = parseRule(words, rule, problem);
        if (good) scenario.rules.push_back(rule);
      }
    }
    if (!good) {
      error = "line " + std::to_string(number) + ": " + problem;
      return false;
    }
  }
  completeDetector(scenario);
  return true;
}

bool ruleApplies(const Rule& rule, long readCount, bool cycleStarted, long cycleSecond) {
  const When& when = rule.when;
  long value = readCount;
  if (when.kind == When::Kind::Always) return true;
  if (when.kind == When::Kind::Seconds) {
    if (!cycleStarted) return false;
    value = cycleSecond;
  }
  return value >= when.first && (when.last < 0 || value <= when.last);
}

}  // namespace sim
