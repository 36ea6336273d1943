// Tests of the end-to-end harness parts that need no Tarvex program: child
// processes, environment, trace parsing and the private runtime dump folder.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include "e2eHarness.h"

namespace {

TEST(HarnessChild, ReportsExitStatusOutputAndWorkingDirectory) {
  e2e::TempDir dir("tarvex-harness");
  const std::string out = dir.path() + "/out.txt";
  const std::string err = dir.path() + "/err.txt";
  const auto child = e2e::runChild({"/bin/sh", "-c", "pwd; echo oops >&2; exit 3"},
                                   e2e::environmentWith({}), dir.path(), out, err, 10);
  EXPECT_TRUE(child.started);
  EXPECT_EQ(child.exitStatus, 3);
  EXPECT_FALSE(child.timedOut);
  EXPECT_EQ(e2e::readFile(out), dir.path() + "\n");
  EXPECT_EQ(e2e::readFile(err), "oops\n");
}

TEST(HarnessChild, KillsTheChildAndItsGroupAtTheTimeout) {
  e2e::TempDir dir("tarvex-harness");
  const std::string out = dir.path() + "/out.txt";
  // The shell starts a grandchild that would outlive a kill of the shell alone.
  const auto child = e2e::runChild({"/bin/sh", "-c", "sleep 30 & echo $!; wait"},
                                   e2e::environmentWith({}), dir.path(), out, out, 0.3);
  EXPECT_TRUE(child.timedOut);
  EXPECT_EQ(child.signal, SIGKILL);
  EXPECT_LT(child.elapsedSeconds, 5.0);
  const pid_t grandchild = std::atoi(e2e::readFile(out).c_str());
  ASSERT_GT(grandchild, 0);
  // Gone, or at most a zombie waiting for init to reap it.
  for (int i = 0; i < 100 && kill(grandchild, 0) == 0; ++i) {
    const std::string state = e2e::readFile("/proc/" + std::to_string(grandchild) + "/stat");
    if (state.find(") Z") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::string state = e2e::readFile("/proc/" + std::to_string(grandchild) + "/stat");
  EXPECT_TRUE(state.empty() || state.find(") Z") != std::string::npos) << state;
}

TEST(HarnessEnvironment, ReplacesAddsAndKeeps) {
  setenv("TARVEX_HARNESS_KEEP", "kept", 1);
  setenv("TARVEX_HARNESS_CHANGE", "old", 1);
  const auto env = e2e::environmentWith({"TARVEX_HARNESS_CHANGE=new", "TARVEX_HARNESS_ADD=1"});
  auto count = [&](const std::string& entry) { return std::count(env.begin(), env.end(), entry); };
  EXPECT_EQ(count("TARVEX_HARNESS_KEEP=kept"), 1);
  EXPECT_EQ(count("TARVEX_HARNESS_CHANGE=new"), 1);
  EXPECT_EQ(count("TARVEX_HARNESS_CHANGE=old"), 0);
  EXPECT_EQ(count("TARVEX_HARNESS_ADD=1"), 1);
}

TEST(HarnessEnvironment, AsanOptionsGainLinkOrderSwitch) {
  setenv("ASAN_OPTIONS", "detect_leaks=1", 1);
  EXPECT_EQ(e2e::asanOptionsForPreload(), "ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0");
  unsetenv("ASAN_OPTIONS");
  EXPECT_EQ(e2e::asanOptionsForPreload(), "ASAN_OPTIONS=verify_asan_link_order=0");
}

TEST(HarnessArgs, StandardArgumentsWithPlaceholders) {
  EXPECT_EQ(e2e::standardArgs(30, 5, 12, 1),
            (std::vector<std::string>{"-GCport", "{port}", "-method", "{method}", "-root", "{root}",
                                      "-cycle", "30", "-PIDdelay", "5", "-PIDcycle", "12",
                                      "-PIDgain", "1"}));
}

TEST(HarnessTrace, ParsesLinesAndSkipsComments) {
  const std::string text =
      "# tarvex-sim trace 1\n"
      "# mono\treal\tdir\tkind\taddress\tvalue\thex\ttext\n"
      "10.000100\t1700000000.250000\trx\ti2c-write\t64\t3\t53 80 03 48 53 5f 50\tHS_\n"
      "10.005000\t1700000000.255000\ttx\ti2c-reply\t64\t3\t39 5c 00\t9\\\\\\x00\n"
      "10.006000\t1700000001.000000\tbad\tjunk\t-\t1\t78\tnot a frame start\n";
  const auto trace = e2e::parseTrace(text);
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_DOUBLE_EQ(trace[0].mono, 10.0001);
  EXPECT_DOUBLE_EQ(trace[0].real, 1700000000.25);
  EXPECT_EQ(trace[0].dir, "rx");
  EXPECT_EQ(trace[0].address, 64);
  EXPECT_EQ(trace[0].value, 3);
  EXPECT_EQ(trace[0].text, "HS_");
  EXPECT_EQ(trace[1].text, std::string("9\\\0", 3));
  EXPECT_EQ(trace[1].raw, (std::vector<unsigned char>{0x39, 0x5c, 0x00}));
  EXPECT_EQ(trace[2].address, -1);
  EXPECT_EQ(trace[2].text, "not a frame start");
  EXPECT_EQ(e2e::cycleStart(trace), 1700000000);
  EXPECT_EQ(e2e::cycleSecond(trace[2], 1700000000), 1);
  EXPECT_EQ(e2e::select(trace, "i2c-reply", 64).size(), 1u);
  EXPECT_EQ(e2e::select(trace, "i2c-reply", 66).size(), 0u);
  EXPECT_EQ(e2e::replyTo(trace, 0), &trace[1]);
}

TEST(HarnessFolders, TempDirIsRemovedWithItsContents) {
  std::string path;
  {
    e2e::TempDir dir("tarvex-harness");
    path = dir.path();
    ASSERT_FALSE(path.empty());
    mkdir((path + "/sub").c_str(), 0755);
    e2e::writeFile(path + "/sub/file.txt", "x");
    EXPECT_EQ(e2e::listFiles(path), (std::vector<std::string>{"sub/file.txt"}));
  }
  if (!std::getenv("TARVEX_KEEP_TEST_DIRS")) {
    EXPECT_FALSE(e2e::fileExists(path));
  }
}

// What the machine's own /run/Tarvex_rt holds, seen from the namespace this
// test was started in (its parent's): "absent", or its files with contents.
std::string machineDumpFolder() {
  const std::string path = "/proc/" + std::to_string(getppid()) + "/root/run/Tarvex_rt";
  if (!e2e::fileExists(path)) return "absent";
  // Names as listed there: resolving them to canonical paths would leave that view.
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.insert(entry.path().filename().string());
  }
  std::string seen = "present:";
  for (const std::string& name : names) seen += " " + name + "=" + e2e::readFile(path + "/" + name);
  return seen;
}

TEST(HarnessRuntimeFolder, PrivateFreshAndMemoryBacked) {
  using Want = e2e::RuntimeDumpFolder::Want;
  const std::string machineBefore = machineDumpFolder();
  e2e::TempDir dir("tarvex-harness");
  const std::string out = dir.path() + "/out.txt";
  {
    e2e::RuntimeDumpFolder present(Want::Present);
    if (present.notPermitted()) GTEST_SKIP() << present.error();
    ASSERT_TRUE(present.ok()) << present.error();
    ASSERT_EQ(present.path(), "/run/Tarvex_rt");
    struct statfs run {};
    ASSERT_EQ(statfs("/run", &run), 0);
    EXPECT_EQ(run.f_type, static_cast<decltype(run.f_type)>(TMPFS_MAGIC));
    EXPECT_TRUE(e2e::listFiles(present.path()).empty());
    ASSERT_TRUE(e2e::writeFile(present.path() + "/PC.php", " 42.0"));
    // A child sees the same folder; the machine does not.
    const auto child = e2e::runChild({"/bin/cat", "/run/Tarvex_rt/PC.php"},
                                     e2e::environmentWith({}), dir.path(), out, out, 10);
    EXPECT_EQ(child.exitStatus, 0);
    EXPECT_EQ(e2e::readFile(out), " 42.0");
    EXPECT_EQ(machineDumpFolder(), machineBefore);
  }
  EXPECT_FALSE(e2e::fileExists("/run/Tarvex_rt"));

  ASSERT_EQ(mkdir("/run/Tarvex_rt", 0755), 0);  // in the private /run
  ASSERT_TRUE(e2e::writeFile("/run/Tarvex_rt/runtime.dat", "left by an earlier test"));
  {
    e2e::RuntimeDumpFolder fresh(Want::Present);
    ASSERT_TRUE(fresh.ok()) << fresh.error();
    EXPECT_TRUE(e2e::listFiles(fresh.path()).empty());
  }
  {
    e2e::RuntimeDumpFolder absent(Want::Absent);
    ASSERT_TRUE(absent.ok()) << absent.error();
    const auto child = e2e::runChild({"/bin/sh", "-c", "test -e /run/Tarvex_rt"},
                                     e2e::environmentWith({}), dir.path(), out, out, 10);
    EXPECT_EQ(child.exitStatus, 1);
  }
  EXPECT_EQ(machineDumpFolder(), machineBefore);
}

TEST(HarnessRuntimeFolder, RefusedNamespaceIsReportedAsNotPermitted) {
  // A child without privileges asks for a namespace of its own.
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) _exit(3);
    const e2e::PrivateRun refused = e2e::enterPrivateRun();
    const bool said = refused.error == "unshare(CLONE_NEWNS): Operation not permitted";
    _exit(!refused.ok && refused.notPermitted && said ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
