// Soak: one full-length cycle of the real program against the simulator with
// faults injected at random (from a seed) at a rate that must not abort the
// run, then a check of everything that should hold after an hour:
// exit status, logs within their capacity, result files that agree with the
// wire, no descriptor leaked, resident memory flat.
//
//   tarvex_soak [--seconds N] [--seed S]      (defaults: 3599 s, seed 1)
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2eHarness.h"

namespace {

struct Sample {
  double atSeconds;
  int descriptors;
  long residentKiB;
};

int failures = 0;

void check(bool ok, const std::string& what) {
  printf("%s  %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

// The Tarvex child of this process, or 0 while there is none.
pid_t findTarvex() {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  pid_t found = 0;
  while (dirent* entry = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos || line.find("(Tarvex)") == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state;
    int parent;
    rest >> state >> parent;
    if (parent == getpid()) found = pid;
  }
  closedir(proc);
  return found;
}

Sample sampleOf(pid_t pid, double at) {
  Sample sample{at, 0, -1};
  if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* entry = readdir(fds)) {
      if (entry->d_name[0] != '.') ++sample.descriptors;
    }
    closedir(fds);
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) sample.residentKiB = atol(line.c_str() + 6);
  }
  return sample;
}

// Polls of one controller to fail, never two in a row, so that a fault
// escalates at most to a re-open of the port.
std::set<int> isolatedFailures(std::mt19937& random, int polls, int every) {
  std::set<int> chosen;
  std::uniform_int_distribution<int> pick(3, polls);
  for (int i = 0; i < polls / every; ++i) {
    int poll = pick(random);
    if (!chosen.count(poll - 1) && !chosen.count(poll + 1)) chosen.insert(poll);
  }
  return chosen;
}

std::string faultScenario(std::mt19937& random, int seconds, std::string* method) {
  std::ostringstream scenario;
  scenario << "reg10 none first 1\n";  // bridge silent until the port is re-opened
  const char* faults[] = {"none", "short 2", "unparseable", "text \"a\"", "long 20", "delay 80"};
  for (int address : {64, 66}) {
    for (int poll : isolatedFailures(random, seconds / 2 - 5, 40)) {
      const char* stream = random() % 2 ? "rct" : "rwt";
      scenario << "tc" << address << "." << stream << " " << faults[random() % 6] << " at " << poll
               << "\n";
    }
  }
  // Set points every 30 s; some acknowledged wrongly once, so they are resent.
  for (int t = 0, n = 0; t < seconds - 20; t += 30, ++n) {
    int address = n % 2 ? 66 : 64;
    char command[16];
    snprintf(command, sizeof command, "STC%03d", 40 + n % 100);
    *method += std::to_string(t) + "\t" + std::to_string(address) + "\t" + command + "\n";
    if (random() % 5 == 0) scenario << "tc" << address << ".ack:" << command << " wrong first 1\n";
    if (n % 10 == 0) *method += std::to_string(t) + "\t70\tNOBODY\n";  // never acknowledged
  }
  for (int i = 0; i < seconds / 60; ++i) {
    scenario << "fs1 none at " << 10 + random() % (seconds - 20) << "\n";
    scenario << "fs2 short 2 at " << 10 + random() % (seconds - 20) << "\n";
    scenario << "pid none at " << 2 + random() % (seconds - 100) << "\n";
    scenario << "pid voltage \"5.0\" at " << 2 + random() % (seconds - 100) << "\n";
    scenario << "pid long 20 at " << 2 + random() % (seconds - 100) << "\n";
  }
  return scenario.str();
}

int countLines(const std::string& text, const std::string& start) {
  int count = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) count += line.rfind(start, 0) == 0;
  return count;
}

// Rows of a temperature log: the lines after the dashes.
int temperatureRows(const std::string& text) {
  size_t dashes = text.find("----------------------------------\n");
  if (dashes == std::string::npos) return -1;
  std::string rows = text.substr(dashes + 35);
  return static_cast<int>(std::count(rows.begin(), rows.end(), '\n'));
}

int countOccurrences(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Temperature polls of one controller whose two replies came in time, whole
// and parseable: the polls that must have left a row.
int goodPolls(const std::vector<e2e::TraceEvent>& trace, int address) {
  int good = 0;
  std::string query;
  bool columnOk = false;
  for (size_t i = 0; i < trace.size(); ++i) {
    const e2e::TraceEvent& event = trace[i];
    if (event.address != address) continue;
    if (event.kind == "i2c-write") query = event.text;
    if (event.kind != "i2c-read" || (query != "RCT" && query != "RWT")) continue;
    const e2e::TraceEvent* reply = e2e::replyTo(trace, i);
    float value;
    // The program collects the reply 50 ms after asking; later ones are lost.
    bool ok = reply != nullptr && reply->kind == "i2c-reply" && reply->raw.size() > 2 &&
              reply->mono - event.mono < 0.045 &&
              sscanf(reply->text.c_str() + 1, "%f", &value) == 1;
    if (query == "RCT") columnOk = ok;
    if (query == "RWT" && columnOk && ok) ++good;
    query.clear();
  }
  return good;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 3599;
  unsigned seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--seconds") == 0) seconds = atoi(argv[i + 1]);
    if (strcmp(argv[i], "--seed") == 0) seed = static_cast<unsigned>(atoi(argv[i + 1]));
  }
  if (seconds < 120 || seconds > 3599) {
    fprintf(stderr, "usage: tarvex_soak [--seconds 120..3599] [--seed S]\n");
    return 2;
  }
  std::mt19937 random(seed);
  e2e::RunOptions options;
  std::string method = "# soak method\n";
  options.scenario = faultScenario(random, seconds, &method);
  options.method = method;
  options.flowSensors = "FS1: 0x48\t 500.0\nFS2: 0x49\t 100.0\nSAMPLING_STARTTIME: 10\n";
  const int pidDelay = 60;
  const int pidDuration = seconds - pidDelay - 10;
  options.args = e2e::standardArgs(seconds, pidDelay, pidDuration, 2);
  // 200 ccm/min of sample flow: the target is reached about half-way through.
  const int target = seconds * 200 / 60 / 2;
  for (const std::string& extra : {std::string("-samplevolume"), std::to_string(target),
                                   std::string("-silent"), std::string("-runtimedump")}) {
    options.args.push_back(extra);
  }
  options.timeoutSeconds = seconds + 120;
  e2e::RuntimeDumpFolder dumpFolder(e2e::RuntimeDumpFolder::Want::Present);
  if (!dumpFolder.ok()) {
    fprintf(stderr, "tarvex_soak: %s\n", dumpFolder.error().c_str());
    return 2;
  }

  printf("Soak: %d s cycle, seed %u, %zu scenario lines\n", seconds, seed,
         static_cast<size_t>(std::count(options.scenario.begin(), options.scenario.end(), '\n')));
  std::vector<Sample> samples;
  std::atomic<bool> running{true};
  std::thread monitor([&] {
    auto start = std::chrono::steady_clock::now();
    while (running) {
      std::this_thread::sleep_for(std::chrono::seconds(10));
      pid_t pid = findTarvex();
      double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (pid > 0) samples.push_back(sampleOf(pid, at));
    }
  });
  e2e::RunResult result = e2e::run(options);
  running = false;
  monitor.join();

  check(result.started && !result.timedOut, "Tarvex ran to its end " + result.error);
  check(result.exitStatus == 0, "exit status 0 (was " + std::to_string(result.exitStatus) + ")");
  check(result.err.empty(), "nothing on standard error");
  const std::string& out = result.out;
  printf("      re-opens %d, bridge resets %d, resent steps %d, incomplete acknowledges %d\n",
         countOccurrences(out, "Communication failure 1"),
         countOccurrences(out, "Communication failure 2"), countOccurrences(out, "retrying... "),
         countOccurrences(out, "Incomplete acknowledge!"));
  check(out.find("Done.\n\n") != std::string::npos, "the cycle ended with \"Done.\"");

  std::vector<std::string> files = result.rootFiles();
  check(files.size() == 4, "four result files (" + std::to_string(files.size()) + ")");
  for (const std::string& file : files) {
    std::string text = result.readRootFile(file);
    if (file.find("/TC64_") != std::string::npos || file.find("/TC66_") != std::string::npos) {
      int address = file.find("/TC64_") != std::string::npos ? 64 : 66;
      int rows = temperatureRows(text);
      // Every poll is one "RCT" on the wire; a failed one says so, once
      // numbered 1, on standard output.
      int polls = 0;
      for (const std::string& written : e2e::writtenTexts(result.trace, address)) {
        polls += written == "RCT";
      }
      int failed = countOccurrences(out, "Replyerror 1: TC" + std::to_string(address) + " ");
      check(rows > 0 && rows <= 1800, file + ": " + std::to_string(rows) + " rows, within 1800");
      check(rows == polls - failed, file + ": one row per poll that did not fail (" +
                                        std::to_string(polls) + " polls, " +
                                        std::to_string(failed) + " failed)");
      printf("      %d polls looked good on the wire\n", goodPolls(result.trace, address));
    } else if (file.find("/PID_") != std::string::npos) {
      int rows = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
      check(rows > 0 && rows <= 3600, file + ": " + std::to_string(rows) + " rows, within 3600");
      check(rows <= pidDuration && rows >= pidDuration - seconds / 60 * 3 - 5,
            file + ": about one row per window second");
    } else if (file.find("/Flow_") != std::string::npos) {
      int rows = countLines(text, "   ");
      check(rows >= seconds / 60 && rows <= 60, file + ": one row per minute");
      check(text.find("Target sample volume " + std::to_string(target) + " ccm reached") !=
                std::string::npos,
            file + ": target reached");
    }
  }

  if (samples.size() >= 3) {
    const Sample& first = samples[1];  // after start-up
    int maxFds = 0, minFds = 1 << 20;
    long maxRss = 0, minRss = 1L << 40;
    for (size_t i = 1; i < samples.size(); ++i) {
      maxFds = std::max(maxFds, samples[i].descriptors);
      minFds = std::min(minFds, samples[i].descriptors);
      maxRss = std::max(maxRss, samples[i].residentKiB);
      minRss = std::min(minRss, samples[i].residentKiB);
    }
    printf("      %zu samples: descriptors %d..%d, resident %ld..%ld KiB (first %ld KiB)\n",
           samples.size(), minFds, maxFds, minRss, maxRss, first.residentKiB);
    check(maxFds == minFds, "no descriptor leaked");
    check(maxRss - minRss <= 128, "resident memory flat (within 128 KiB)");
  } else {
    check(false, "Tarvex was sampled while it ran");
  }
  printf("%s: %d check(s) failed\n", failures ? "SOAK FAILED" : "SOAK PASSED", failures);
  return failures ? 1 : 0;
}
