// PanicLog entries: warning and panic forms, the reply line, appending, and
// a log that cannot be opened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "output/panicLog.h"
#include "outputTestSupport.h"

using namespace outputtest;

namespace {

std::string localStamp(time_t when) {
  struct tm local;
  localtime_r(&when, &local);
  char text[64];
  strftime(text, sizeof text, "%F %H:%M:%S", &local);
  return text;
}

class PanicLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    useUtc();
    ASSERT_NE(getcwd(savedCwd, sizeof savedCwd), nullptr);
    ASSERT_EQ(chdir(folder.path().c_str()), 0);
    before = time(nullptr);
  }
  void TearDown() override { ASSERT_EQ(chdir(savedCwd), 0); }

  // The log with every time stamp written during the test replaced by <T>.
  std::string logText() {
    std::string text = readFile(folder / "PanicLog");
    for (time_t t = before; t <= time(nullptr); t++) {
      const std::string stamp = localStamp(t);
      for (size_t at; (at = text.find(stamp)) != std::string::npos;) text.replace(at, 19, "<T>");
    }
    return text;
  }

  ScratchFolder folder;
  char savedCwd[4096];
  time_t before = 0;
  std::unique_ptr<GcRun> run = makeRun();
};

TEST_F(PanicLogTest, WarningEntriesBeforeAnyFailedAcknowledge) {
  panicLog(run.get(), 0, "Sample flow sensor reading failed");
  panicLog(run.get(), -3, "");
  EXPECT_EQ(logText(),
            "<T>: [Warning]:     Sample flow sensor reading failed\n"
            "    Offending message reply: \n"
            "<T>: [Warning]:     \n"
            "    Offending message reply: \n");
}

TEST_F(PanicLogTest, PanicEntriesCarryTheLastReply) {
  snprintf(run->lastReply, sizeof run->lastReply, "Incomplete acknowledge!");
  panicLog(run.get(), 1, "  T-controller 64 HWstatus = 3");
  snprintf(run->lastReply, sizeof run->lastReply,
           "Command not acknowledged: [STC00] instead of [STC000K]\n");
  panicLog(run.get(), 7, "  T64 faults:   3");
  EXPECT_EQ(logText(),
            "<T>: in [PANIC] state, re-set T-controllers.\n"
            "      T-controller 64 HWstatus = 3\n"
            "    Offending message reply: Incomplete acknowledge!\n"
            "<T>: in [PANIC] state, re-set T-controllers.\n"
            "      T64 faults:   3\n"
            "    Offending message reply: Command not acknowledged: [STC00] instead of [STC000K]\n"
            "\n");
}

TEST_F(PanicLogTest, EntriesFollowWhatEarlierRunsLeft) {
  writeFile(folder / "PanicLog", "earlier run\n");
  panicLog(run.get(), 0, "No response from NXP, but re-opening serial port worked.");
  EXPECT_EQ(logText(),
            "earlier run\n"
            "<T>: [Warning]:     No response from NXP, but re-opening serial port worked.\n"
            "    Offending message reply: \n");
}

TEST_F(PanicLogTest, UnwritableLogIsSaidAndTheCallReturns) {
  ASSERT_EQ(mkdir((folder / "PanicLog").c_str(), 0777), 0);
  StdoutCapture out;
  panicLog(run.get(), 1, "  T-controller 66 HWstatus = 1");
  EXPECT_EQ(out.text(), "Could not write the panic log PanicLog: Is a directory\n");
}

}  // namespace
