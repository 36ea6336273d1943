// The result files of real cycles against the simulator: the dated folder, the
// temperature logs, the detector file and the flow log, byte for byte against
// what the instrument sent; appending; and a date folder that cannot be used.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ostream>
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

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
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

// ---------------------------------------------------------------- incomplete result files

enum class Ending { Done, Aborted, Signalled };

struct IncompleteCase {
  const char* name;
  bool diskFull;  // else a file takes the date folder's place
  Ending ending;
  int status;
  std::vector<std::string> incomplete;  // in the order they are written
};

void PrintTo(const IncompleteCase& c, std::ostream* out) {
  *out << c.name;
}

// With the date folder taken nothing can be written. The full disk has room
// for one page: the first temperature log fits, any later file with a row not.
const IncompleteCase kIncompleteCases[] = {
    {"DateFolderTakenDone", false, Ending::Done, 21, {"TC64", "TC66", "Flow", "PID"}},
    {"DateFolderTakenAborted", false, Ending::Aborted, 20, {"TC64", "TC66", "PID"}},
    {"FullDone", true, Ending::Done, 21, {"TC66", "PID"}},
    {"FullAborted", true, Ending::Aborted, 20, {"TC66"}},  // the detector file stays empty
    {"FullSignalled", true, Ending::Signalled, 143, {"TC66", "PID"}},
};

struct Unmount {
  std::string path;
  ~Unmount() {
    if (!path.empty()) umount2(path.c_str(), MNT_DETACH);
  }
};

class IncompleteResultFiles : public ::testing::TestWithParam<IncompleteCase> {};

TEST_P(IncompleteResultFiles, EachFileIsNamedLoggedAndTheStatusTold) {
  const IncompleteCase& c = GetParam();
  const std::string day = localDay(std::time(nullptr));
  e2e::TempDir root("tarvex-e2e-root");
  Unmount unmount;
  if (c.diskFull) {
    if (e2e::privateRun().notPermitted) GTEST_SKIP() << e2e::privateRun().error;
    ASSERT_TRUE(e2e::privateRun().ok) << e2e::privateRun().error;
    ASSERT_EQ(mount("tmpfs", root.path().c_str(), "tmpfs", 0, "size=16k"), 0) << errno;
    unmount.path = root.path();
    e2e::writeFile(root.path() + "/filler", std::string(12288, 'x'));
  } else {
    e2e::writeFile(root.path() + "/" + day, "not a folder\n");
  }

  e2e::RunOptions options;
  options.flowSensors = kFlowSensors;
  options.method = kHeatingMethod;
  options.args = args(14, 2, 2, root.path(), {});
  if (!c.diskFull) options.args.insert(options.args.end(), {"-samplevolume", "10"});
  if (c.ending == Ending::Aborted) {
    options.scenario = kFailingScenario;
    options.method = kFailingMethod;
    options.args = args(25, 10, 5, root.path(), {"-samplevolume", "10"});
  } else if (c.ending == Ending::Signalled) {
    options.args = args(25, 2, 5, root.path(), {});
    options.wrapper = {"/bin/sh", "-c", "\"$@\" & sleep 6; kill -TERM $!; wait $!", "sh"};
  }
  const e2e::RunResult run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.exitStatus, c.status) << run.out;
  Names n{day, ""};
  const CycleClock clock = cycleClock(run.trace);
  for (long start : {clock.earliest, clock.latest}) {
    const Names candidate{localDay(start), localStamp(start)};
    if (run.out.find(candidate.path(root.path(), "TC66")) != std::string::npos) n = candidate;
  }
  if (n.stamp.empty() || n.day != day) GTEST_SKIP() << "the date changed during the run";

  // The date folder's own reason first; each file named as it fails, and
  // again at the very end, after the shutdown, and in PanicLog.
  const std::string reason = c.diskFull ? "No space left on device" : "Not a directory";
  if (!c.diskFull) {
    EXPECT_NE(run.out.find("Data folder " + root.path() + "/" + day +
                           " not created: Not a directory\nResult file "),
              std::string::npos)
        << run.out;
  }
  std::string summary, logged;
  for (const std::string& name : c.incomplete) {
    const std::string path = n.path(root.path(), name);
    const std::string said = "Result file " + path +
                             (c.diskFull ? " not completely written: " : " not written: ") + reason;
    EXPECT_NE(run.out.find(said + "\n"), std::string::npos) << said << "\n" << run.out;
    summary += "Incomplete result file " + path + ": " + reason + "\n";
    logged += (logged.empty() ? " " : ", ") + path + " (" + reason + ")";
  }
  const char* const before[] = {"Done.\n\n", "Workresult: 1\n", "T2retries: 0\n"};
  EXPECT_TRUE(endsWith(run.out, before[static_cast<int>(c.ending)] + summary)) << run.out;
  const std::string panicLog = run.readWorkFile("PanicLog");
  EXPECT_NE(
      panicLog.find(": in [PANIC] state, re-set T-controllers.\n      result files incomplete:" +
                    logged + "\n    Offending message reply: "),
      std::string::npos)
      << panicLog;
  if (c.ending != Ending::Done) {
    const auto texts = e2e::writtenTexts(run.trace, 66);
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(texts.end() - 3, texts.end()),
              (std::vector<std::string>{"STC000", "F__1", "P__0"}))
        << "shut down";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, IncompleteResultFiles, ::testing::ValuesIn(kIncompleteCases),
                         [](const ::testing::TestParamInfo<IncompleteCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
