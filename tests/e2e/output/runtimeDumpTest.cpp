// The runtime dump of real cycles: the latest column temperatures, the
// detector trace from its 46th reading on, and nothing at all when it is off.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "outputTrace.h"

using namespace outputcheck;

namespace {

double wallClock() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// The column temperatures a dump row written for the detector reply at `reply`
// may show: the latest reading before it, or one taken later in the same pass.
std::vector<std::string> columnsAt(const std::vector<TcReading>& readings, std::size_t reply,
                                   std::size_t nextRequest) {
  std::vector<std::string> columns;
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const bool latestBefore =
        readings[i].done < reply && (i + 1 == readings.size() || readings[i + 1].done > reply);
    if (latestBefore || (readings[i].done > reply && readings[i].done < nextRequest)) {
      columns.push_back(format("%5.1f", static_cast<double>(readings[i].column)));
    }
  }
  return columns;
}

TEST(RuntimeDumpE2e, MirrorsTheRunningCycle) {
  e2e::RuntimeDumpFolder folder(e2e::RuntimeDumpFolder::Want::Present);
  if (folder.notPermitted()) GTEST_SKIP() << folder.error();
  ASSERT_TRUE(folder.ok()) << folder.error();
  const std::string dat = folder.path() + "/runtime.dat";
  const std::string stale = "left by an earlier run\n";
  ASSERT_TRUE(e2e::writeFile(dat, stale));

  // Each content runtime.dat is seen with, and the wall time it was first seen.
  std::atomic<bool> stop{false};
  std::vector<std::pair<double, std::string>> seen;
  std::thread watcher([&] {
    while (!stop) {
      const std::string now = e2e::fileExists(dat) ? e2e::readFile(dat) : "(missing)";
      if (seen.empty() || seen.back().second != now) seen.emplace_back(wallClock(), now);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  e2e::RunOptions options;
  options.method = "0\t64\tSTC060\n1\t66\tSTC045\n";
  options.args = e2e::standardArgs(59, 1, 48, 1);  // about 48 detector readings
  options.args.push_back("-runtimedump");
  const e2e::RunResult run = e2e::run(options);
  stop = true;
  watcher.join();
  ASSERT_TRUE(run.started) << run.error;
  ASSERT_EQ(run.exitStatus, 0) << run.out;

  const CycleClock clock = cycleClock(run.trace);
  const auto tc64 = tcReadings(run.trace, 64, clock);
  const auto tc66 = tcReadings(run.trace, 66, clock);
  ASSERT_FALSE(tc64.empty());
  ASSERT_FALSE(tc66.empty());
  EXPECT_EQ(e2e::readFile(folder.path() + "/PC.php"),
            format("%5.1f", static_cast<double>(tc64.back().column)));
  EXPECT_EQ(e2e::readFile(folder.path() + "/GC.php"),
            format("%5.1f", static_cast<double>(tc66.back().column)));

  // The detector file holds every reading; runtime.dat those from index 45 on.
  std::vector<PidReading> pid;
  for (const PidReading& r : pidReadings(run.trace, clock, 1)) {
    if (r.kept) pid.push_back(r);
  }
  ASSERT_GE(pid.size(), 46u);
  Lines pidLines;
  addPidRows(&pidLines, pid);
  std::string pidText;
  for (const std::string& name : run.rootFiles()) {
    if (name.find("/PID_") != std::string::npos) pidText = run.readRootFile(name);
  }
  ASSERT_EQ(pidText, resolve(pidText, pidLines));
  Lines dumpLines;
  std::size_t row = 0;
  for (std::size_t from = 0; row < pid.size(); ++row, from = pidText.find('\n', from) + 1) {
    if (row < 45) continue;
    const int time = std::atoi(pidText.c_str() + from);
    const std::size_t nextRequest = row + 1 < pid.size() ? pid[row + 1].reply : run.trace.size();
    std::vector<std::string> choices;
    for (const std::string& c64 : columnsAt(tc64, pid[row].reply, nextRequest)) {
      for (const std::string& c66 : columnsAt(tc66, pid[row].reply, nextRequest)) {
        choices.push_back(format("%3i, %8.5f, %s, %s\n", time,
                                 static_cast<double>(pid[row].volts) * 1000.0, c64.c_str(),
                                 c66.c_str()));
      }
    }
    ASSERT_FALSE(choices.empty());
    dumpLines.push_back(choices);
  }
  const std::string dump = e2e::readFile(dat);
  EXPECT_EQ(dump, resolve(dump, dumpLines));

  // The earlier run's content stays until the 31st reading empties the file
  // (seen well before the 36th), and the first row comes after the 46th.
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0].second, stale);
  EXPECT_EQ(seen[1].second, "");
  const std::string when =
      format("emptied %.3f, first row %.3f, replies 31, 36, 46 at %.3f %.3f %.3f", seen[1].first,
             seen[2].first, pid[30].real, pid[35].real, pid[45].real);
  EXPECT_GT(seen[1].first, pid[30].real) << when;
  EXPECT_LT(seen[1].first, pid[35].real) << when;
  EXPECT_GT(seen[2].first, pid[45].real) << when;
  EXPECT_EQ(seen[2].second.substr(0, 5), format("%3i, ", std::atoi(dump.c_str())));
}

TEST(RuntimeDumpE2e, OffTouchesNothing) {
  e2e::RuntimeDumpFolder folder(e2e::RuntimeDumpFolder::Want::Present);
  if (folder.notPermitted()) GTEST_SKIP() << folder.error();
  ASSERT_TRUE(folder.ok()) << folder.error();
  const std::vector<std::pair<std::string, std::string>> files = {
      {"GC.php", " 41.0"}, {"PC.php", " 42.0"}, {"runtime.dat", " 45,  1.00000,  42.0,  41.0\n"}};
  std::vector<struct timespec> modified;
  for (const auto& [name, text] : files) {
    ASSERT_TRUE(e2e::writeFile(folder.path() + "/" + name, text));
    struct stat status;
    ASSERT_EQ(stat((folder.path() + "/" + name).c_str(), &status), 0);
    modified.push_back(status.st_mtim);
  }
  e2e::RunOptions options;
  options.method = "0\t64\tSTC060\n";
  options.args = e2e::standardArgs(12, 1, 1, 1);
  const e2e::RunResult run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  ASSERT_FALSE(e2e::select(run.trace, "i2c-reply", 66).empty()) << "the controllers were read";
  EXPECT_EQ(e2e::listFiles(folder.path()),
            (std::vector<std::string>{"GC.php", "PC.php", "runtime.dat"}));
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string path = folder.path() + "/" + files[i].first;
    EXPECT_EQ(e2e::readFile(path), files[i].second) << path;
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, modified[i].tv_sec) << path;
    EXPECT_EQ(status.st_mtim.tv_nsec, modified[i].tv_nsec) << path;
  }
}

}  // namespace
