// The result files of real cycles against the simulator: the dated folder, the
// temperature logs, the detector file and the flow log, byte for byte against
// what the instrument sent; appending; and a date folder that cannot be used.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "outputTrace.h"

using namespace outputcheck;

namespace {

const std::string kFlowSensors = "FS1: 0x48\t 500.0\nFS2: 0x49\t 100.0\nSAMPLING_STARTTIME: 3\n";
const int kFs1 = 0x48, kFs2 = 0x49;
const float kFullScale1 = 500.0F, kFullScale2 = 100.0F;
const std::string kHeatingMethod = "0\t64\tSTC060\n0\t64\tSTW080\n1\t66\tSTC045\n1\t66\tSTW050\n";
// The step at second 6 is never acknowledged right: its third try aborts the run
// long before the detector window at second 10.
const std::string kFailingMethod = "0\t64\tSTW080\n1\t66\tSTC045\n6\t64\tSTC060\n";
const std::string kFailingScenario = "tc64.ack:STC060 wrong\n";
const std::string kHeader = "\nTime\tColumnT\t WarmT\n----------------------------------\n";

std::string counterLine(int faults, int seqFaults, int retries) {
  return format("  faults: %3d    seq_faults: %3d     retries: %3d\n", faults, seqFaults, retries);
}

std::vector<std::string> args(int cycle, int pidDelay, int pidCycle, const std::string& root,
                              const std::vector<std::string>& more) {
  std::vector<std::string> all = e2e::standardArgs(cycle, pidDelay, pidCycle, 1);
  for (std::string& arg : all) {
    if (arg == "{root}" && !root.empty()) arg = root;
  }
  all.insert(all.end(), more.begin(), more.end());
  return all;
}

// The date folder and stamp of a run: those of whichever possible cycle start
// left a file (or, given the output, is named there), else those of the latest.
struct Names {
  std::string day, stamp;
  std::string path(const std::string& root, const std::string& name) const {
    return root + "/" + day + "/" + name + "_" + stamp + (name == "PID" ? ".dat" : ".TLog");
  }
};
Names names(const std::string& root, const CycleClock& clock, const std::string& out = "") {
  for (long start : {clock.earliest, clock.latest}) {
    Names candidate{localDay(start), localStamp(start)};
    const std::string path = candidate.path(root, "TC64");
    if (out.empty() ? e2e::fileExists(path) : out.find(path) != std::string::npos) {
      return candidate;
    }
  }
  return {localDay(clock.latest), localStamp(clock.latest)};
}

// Expected lines of both temperature logs for one run (the second log has one more newline).
void addTcLog(Lines* lines, const Trace& trace, const CycleClock& clock, int address, int faults,
              int retries) {
  addFixed(lines, counterLine(faults, 0, retries) + (address == 66 ? "\n" : "") + kHeader);
  addTcRows(lines, tcReadings(trace, address, clock));
}

mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

TEST(ResultFilesE2e, NominalCycleMatchesWhatTheInstrumentSent) {
  e2e::RunOptions options;
  options.method = kHeatingMethod;
  options.flowSensors = kFlowSensors;
  options.args = args(22, 4, 8, "", {"-samplevolume", "10"});
  const e2e::RunResult run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  const CycleClock clock = cycleClock(run.trace);
  ASSERT_GE(clock.latest, 0);
  const Names n = names(run.rootDir, clock);
  EXPECT_EQ(run.rootFiles(),
            (std::vector<std::string>{
                n.day + "/Flow_" + n.stamp + ".TLog", n.day + "/PID_" + n.stamp + ".dat",
                n.day + "/TC64_" + n.stamp + ".TLog", n.day + "/TC66_" + n.stamp + ".TLog"}));
  struct stat folder;
  ASSERT_EQ(stat((run.rootDir + "/" + n.day).c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0777 & ~currentUmask());

  for (int address : {64, 66}) {
    EXPECT_GE(tcReadings(run.trace, address, clock).size(), 4u) << address;
    Lines lines;
    addTcLog(&lines, run.trace, clock, address, 0, 0);
    const std::string text = e2e::readFile(n.path(run.rootDir, "TC" + std::to_string(address)));
    EXPECT_EQ(text, resolve(text, lines)) << "TC" << address;
  }

  const std::vector<PidReading> pid = pidReadings(run.trace, clock, 4);
  Lines pidLines;
  addPidRows(&pidLines, pid);
  EXPECT_GE(pidLines.size(), 6u);
  const std::string pidText = e2e::readFile(n.path(run.rootDir, "PID"));
  EXPECT_EQ(pidText, resolve(pidText, pidLines));

  // The target is reached about 6 s in; the stop command to 64 dates it.
  const std::string said = "\n-> sample volume reached at T=";
  const std::size_t saidAt = run.out.find(said);
  ASSERT_NE(saidAt, std::string::npos) << run.out;
  const long at = std::atol(run.out.c_str() + saidAt + said.size());
  const std::string message = said + format("%lds\n", at);
  EXPECT_EQ(run.out.substr(saidAt, message.size()), message);
  long stopped = -1;
  for (const e2e::TraceEvent& event : e2e::select(run.trace, "i2c-write", 64)) {
    if (event.text == "STC000" && stopped < 0) stopped = static_cast<long>(event.real);
  }
  EXPECT_GE(at, stopped - clock.latest - 1);
  EXPECT_LE(at, stopped - clock.earliest);
  Lines flowLines;
  const auto flows = flowReadings(run.trace, kFs1, kFullScale1, kFs2, kFullScale2);
  EXPECT_GE(flows.size(), 8u);
  EXPECT_LT(flows.size(), 60u);
  addFlowRows(&flowLines, flows);
  addFixed(&flowLines, format("\nTarget sample volume 10 ccm reached at cycle time T=%ld\n", at));
  const std::string flowText = e2e::readFile(n.path(run.rootDir, "Flow"));
  EXPECT_EQ(flowText, resolve(flowText, flowLines));
}

TEST(ResultFilesE2e, AbortBeforeTheDetectorWindowKeepsWhatWasRead) {
  e2e::RunOptions options;
  options.scenario = kFailingScenario;
  options.method = kFailingMethod;
  options.flowSensors = kFlowSensors;
  options.args = args(25, 10, 5, "", {"-samplevolume", "10"});
  const e2e::RunResult run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  ASSERT_EQ(run.exitStatus, 20) << run.out;
  const CycleClock clock = cycleClock(run.trace);
  ASSERT_TRUE(pidReadings(run.trace, clock, 10).empty()) << "aborted inside the window";
  const Names n = names(run.rootDir, clock);
  EXPECT_EQ(run.rootFiles(), (std::vector<std::string>{n.day + "/PID_" + n.stamp + ".dat",
                                                       n.day + "/TC64_" + n.stamp + ".TLog",
                                                       n.day + "/TC66_" + n.stamp + ".TLog"}))
      << "no flow log after an abort, even with a target volume";
  EXPECT_EQ(e2e::readFile(n.path(run.rootDir, "PID")), "");
  for (int address : {64, 66}) {
    EXPECT_GE(tcReadings(run.trace, address, clock).size(), 2u) << address;
    Lines lines;
    addTcLog(&lines, run.trace, clock, address, address == 64 ? 3 : 0, address == 64 ? 3 : 0);
    const std::string text = e2e::readFile(n.path(run.rootDir, "TC" + std::to_string(address)));
    EXPECT_EQ(text, resolve(text, lines)) << "TC" << address;
  }
}

// Two runs whose cycles start in the same minute share their files; the first
// finds its date folder already there, the second is silent and has no target.
TEST(ResultFilesE2e, RunsInOneMinuteAppendToAnExistingDateFolder) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    e2e::TempDir root("tarvex-e2e-root");
    const std::string day = localDay(std::time(nullptr));
    const std::string folder = root.path() + "/" + day;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
    ASSERT_TRUE(e2e::writeFile(folder + "/notes", "kept\n"));

    e2e::RunOptions options;
    options.scenario = "sample-flow 0\n";  // the sampled volume stays exactly 0
    options.method = kHeatingMethod;
    options.flowSensors = kFlowSensors;
    options.args = args(13, 1, 2, root.path(), {"-samplevolume", "10"});
    const e2e::RunResult first = e2e::run(options);
    options.args = args(13, 1, 2, root.path(), {"-silent"});
    const e2e::RunResult second = e2e::run(options);
    ASSERT_EQ(first.exitStatus, 0) << first.error << first.out;
    ASSERT_EQ(second.exitStatus, 0) << second.error << second.out;
    const CycleClock c1 = cycleClock(first.trace), c2 = cycleClock(second.trace);
    if (localStamp(c1.earliest) != localStamp(c2.latest) || localDay(c1.earliest) != day) {
      continue;  // a minute boundary fell between the two cycle starts
    }
    const Names n{day, localStamp(c1.latest)};

    struct stat status;
    ASSERT_EQ(stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_EQ(e2e::readFile(folder + "/notes"), "kept\n");
    EXPECT_EQ(e2e::listFiles(root.path()),
              (std::vector<std::string>{day + "/Flow_" + n.stamp + ".TLog",
                                        day + "/PID_" + n.stamp + ".dat",
                                        day + "/TC64_" + n.stamp + ".TLog",
                                        day + "/TC66_" + n.stamp + ".TLog", day + "/notes"}));
    for (int address : {64, 66}) {
      Lines lines;
      addTcLog(&lines, first.trace, c1, address, 0, 0);
      addTcLog(&lines, second.trace, c2, address, 0, 0);
      const std::string text = e2e::readFile(n.path(root.path(), "TC" + std::to_string(address)));
      EXPECT_EQ(text, resolve(text, lines)) << "TC" << address;
    }
    Lines pidLines;
    addPidRows(&pidLines, pidReadings(first.trace, c1, 1));
    addPidRows(&pidLines, pidReadings(second.trace, c2, 1));
    EXPECT_GE(pidLines.size(), 2u);
    const std::string pidText = e2e::readFile(n.path(root.path(), "PID"));
    EXPECT_EQ(pidText, resolve(pidText, pidLines));

    Lines flowLines;
    addFlowRows(&flowLines, flowReadings(first.trace, kFs1, kFullScale1, kFs2, kFullScale2));
    addFixed(&flowLines, "\nWARNING: target sample volume 10 ccm not reached!\n");
    const std::string flowText = e2e::readFile(n.path(root.path(), "Flow"));
    EXPECT_EQ(flowText, resolve(flowText, flowLines));

    // An untouched volume of 0 stays in the status line; silence drops the line and its header.
    const auto lines = statusLines(first.out, nullptr);
    ASSERT_FALSE(lines.empty()) << first.out;
    for (const StatusLine& line : lines) EXPECT_EQ(line.volume, "0000.0") << line.text;
    EXPECT_EQ(second.out.find("PCC"), std::string::npos) << second.out;
    EXPECT_EQ(second.out.find('\r'), std::string::npos) << second.out;
    EXPECT_GE(second.out.size(), 7u);
    EXPECT_EQ(second.out.substr(second.out.size() - 7), "Done.\n\n");
    return;
  }
  FAIL() << "both pairs of runs straddled a minute boundary";
}

// Runs a cycle whose date folder's path is taken by a regular file, so that no
// result file can be opened: each must be named with the reason, in order.
// Returns where the last one was said (0 when a check failed).
std::size_t runWithTheDateFolderTaken(bool aborting, const std::vector<std::string>& files,
                                      e2e::RunResult* run) {
  e2e::TempDir root("tarvex-e2e-root");
  const std::string day = localDay(std::time(nullptr));
  e2e::writeFile(root.path() + "/" + day, "not a folder\n");
  e2e::RunOptions options;
  options.scenario = aborting ? kFailingScenario : "";
  options.method = aborting ? kFailingMethod : kHeatingMethod;
  options.flowSensors = kFlowSensors;
  options.args = aborting ? args(25, 10, 5, root.path(), {"-samplevolume", "10"})
                          : args(12, 1, 1, root.path(), {"-samplevolume", "10"});
  *run = e2e::run(options);
  EXPECT_EQ(e2e::readFile(root.path() + "/" + day), "not a folder\n");
  EXPECT_EQ(e2e::listFiles(root.path()), std::vector<std::string>{day});
  const Names n = names(root.path(), cycleClock(run->trace), run->out);
  if (n.day != day) return 1;  // the date changed during the run: nothing to compare
  std::size_t last = 0;
  for (const std::string& name : files) {
    const std::string path = n.path(root.path(), name);
    const std::size_t at = run->out.find(path + " ");
    const bool single =
        at != std::string::npos && at > last && run->out.find(path, at + 1) == std::string::npos;
    if (!single || run->out.substr(at, run->out.find('\n', at) - at).find(std::strerror(ENOTDIR)) ==
                       std::string::npos) {
      ADD_FAILURE() << "no single line naming " << path << " and the reason\n" << run->out;
      return 0;
    }
    last = at;
  }
  return last;
}

TEST(ResultFilesE2e, DateFolderTakenByAFileAtTheEndOfACycle) {
  e2e::RunResult run;
  const std::size_t said = runWithTheDateFolderTaken(false, {"TC64", "TC66", "Flow", "PID"}, &run);
  EXPECT_EQ(run.exitStatus, 0) << run.error << run.out;
  EXPECT_NE(run.out.find("Done.\n\n", said), std::string::npos) << run.out;
}

TEST(ResultFilesE2e, DateFolderTakenByAFileOnAbortStillShutsDown) {
  e2e::RunResult run;
  const std::size_t said = runWithTheDateFolderTaken(true, {"TC64", "TC66", "PID"}, &run);
  ASSERT_EQ(run.exitStatus, 20) << run.error << run.out;
  EXPECT_EQ(run.out.find("/Flow_"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nRun aborted.\n", said), std::string::npos) << run.out;

  // Everything written after the last failed step, temperature queries aside.
  std::size_t failed = 0;
  for (std::size_t i = 0; i < run.trace.size(); ++i) {
    if (run.trace[i].kind == "i2c-write" && run.trace[i].text == "STC060") failed = i;
  }
  std::vector<std::string> writes;
  for (std::size_t i = failed + 1; i < run.trace.size(); ++i) {
    const e2e::TraceEvent& event = run.trace[i];
    if (event.kind == "i2c-write" && event.text != "RCT" && event.text != "RWT") {
      writes.push_back(std::to_string(event.address) + " " + event.text);
    } else if (event.kind == "reg-write") {
      writes.push_back(format("reg %d=%d", event.address, event.value));
    }
  }
  EXPECT_EQ(writes, (std::vector<std::string>{"64 STC000", "66 STC000", "64 F__1", "66 F__1",
                                              "64 P__0", "66 P__0", "51 0", "reg 9=63", "reg 4=7",
                                              "reg 2=63", "reg 4=0", "reg 4=7"}));
}

}  // namespace
