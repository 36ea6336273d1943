// Result files: the dated folder, the four file formats byte for byte, and
// what happens when a file cannot be written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>

#include "output/resultFiles.h"
#include "outputTestSupport.h"

using namespace outputtest;

namespace {

const time_t kStart = 1709647662;  // 2024-03-05 14:07:42 UTC
const std::string kDay = "2024-03-05";
const std::string kStamp = "2024-03-05_14-07-00";
const std::string kHeader = "\nTime\tColumnT\t WarmT\n" + std::string(34, '-') + "\n";

class ResultFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    useUtc();
    setRoot(root.path());
    run->cycleStart = kStart;
  }
  void setRoot(const std::string& path) {
    snprintf(run->rootFolder, sizeof run->rootFolder, "%s", path.c_str());
  }
  std::string file(const std::string& name) const {
    return root.path() + "/" + kDay + "/" + name + "_" + kStamp +
           (name == "PID" ? ".dat" : ".TLog");
  }
  void writeAll() {
    prepareDataFolder(run.get());
    writeTemperatureLogs(run.get());
    writeFlowLog(run.get());
    writePidFile(run.get());
  }

  ScratchFolder root;
  std::unique_ptr<GcRun> run = makeRun();
};

TEST_F(ResultFiles, WritesEveryFileByteForByte) {
  run->tc1Faults = 1, run->tc1SeqFaults = 2, run->tc1Retries = 3;
  run->tc2Faults = 4, run->tc2SeqFaults = 5, run->tc2Retries = 106;
  addTc(&run->tc1Log, 2, 35.3F, 80.0F);
  addTc(&run->tc1Log, 1234, 120.06F, -3.24F);
  addTc(&run->tc2Log, 3, 40.0F, 60.5F);
  addPid(&run->pidLog, 0, 0.0012345F, 0);
  addPid(&run->pidLog, 1, -0.5F, 3);
  addPid(&run->pidLog, 12345, 0.25F, 12);
  // Group 0 sums in 32-bit floats: the 59 readings of 1 vanish against 2^24.
  addFlow(&run->flowLog, 16777216.0F, 10.0F);
  for (int k = 1; k < 60; k++) addFlow(&run->flowLog, 1.0F, 10.0F);
  addFlow(&run->flowLog, 7.3F, 3.0F);  // the 61st reading: group 1 alone
  run->targetVolume = 50;
  run->sampledVolume = -1000.0F;
  run->volumeReachedAt = 1234;

  StdoutCapture out;
  writeAll();
  out.restore();

  EXPECT_EQ(out.text(), "");
  EXPECT_STREQ(run->dateFolder, kDay.c_str());
  EXPECT_EQ(run->dayPath, root / kDay);
  EXPECT_STREQ(run->fileStamp, kStamp.c_str());
  struct stat status;
  ASSERT_EQ(stat(run->dayPath, &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));

  EXPECT_EQ(readFile(file("TC64")), "  faults:   1    seq_faults:   2     retries:   3\n" +
                                        kHeader +
                                        "    2\t 35.3\t 80.0\n"
                                        " 1234\t120.1\t -3.2\n");
  EXPECT_EQ(readFile(file("TC66")), "  faults:   4    seq_faults:   5     retries: 106\n\n" +
                                        kHeader + "    3\t 40.0\t 60.5\n");
  EXPECT_EQ(readFile(file("Flow")),
            "    0\t279620.3\t 10.0\n"
            "    1\t  7.3\t  3.0\n"
            "\nTarget sample volume 50 ccm reached at cycle time T=1234\n");
  EXPECT_EQ(readFile(file("PID")),
            "     0\t 1.23450\t 0\t 0.00000\n"
            "     1\t-500.00000\t 3\t 0.00000\n"
            " 12345\t250.00000\t12\t 0.00000\n");
}

TEST_F(ResultFiles, EmptyLogsGiveCountersHeaderAndAnEmptyDetectorFile) {
  prepareDataFolder(run.get());
  writeTemperatureLogs(run.get());
  writePidFile(run.get());
  const std::string counters = "  faults:   0    seq_faults:   0     retries:   0\n";
  EXPECT_EQ(readFile(file("TC64")), counters + kHeader);
  EXPECT_EQ(readFile(file("TC66")), counters + "\n" + kHeader);
  EXPECT_TRUE(exists(file("PID")));
  EXPECT_EQ(readFile(file("PID")), "");
  EXPECT_FALSE(exists(file("Flow")));
}

TEST_F(ResultFiles, FlowLogClosingLineFollowsTheSign) {
  run->targetVolume = 25;
  run->volumeReachedAt = 77;
  const float volumes[] = {0.0F, 12.5F, NAN, -0.001F, -1000.0F};
  const char* lines[] = {"not", "not", "not", "reached", "reached"};
  for (int i = 0; i < 5; i++) {
    run->sampledVolume = volumes[i];
    writeAll();
    const std::string expected = std::string(lines[i]) == "not"
                                     ? "\nWARNING: target sample volume 25 ccm not reached!\n"
                                     : "\nTarget sample volume 25 ccm reached at cycle time T=77\n";
    EXPECT_EQ(readFile(file("Flow")), expected) << "sampledVolume " << volumes[i];
    remove(file("Flow").c_str());
  }
}

TEST_F(ResultFiles, SecondRunInTheSameMinuteAppends) {
  run->tc1Faults = 7;
  addTc(&run->tc1Log, 5, 30.0F, 31.0F);
  addPid(&run->pidLog, 4, 0.001F, 1);
  writeAll();
  const std::string tc64 = readFile(file("TC64"));
  const std::string pid = readFile(file("PID"));
  run->cycleStart = kStart + 17;  // 14:07:59, the same stamp
  writeAll();
  EXPECT_EQ(readFile(file("TC64")), tc64 + tc64);
  EXPECT_EQ(readFile(file("PID")), pid + pid);
}

TEST_F(ResultFiles, ExistingDateFolderIsUsedUnchanged) {
  const std::string day = root / kDay;
  ASSERT_EQ(mkdir(day.c_str(), 0700), 0);
  writeFile(day + "/notes", "kept");
  writeAll();
  struct stat status;
  ASSERT_EQ(stat(day.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0700U);
  EXPECT_EQ(readFile(day + "/notes"), "kept");
  EXPECT_TRUE(exists(file("TC64")));
}

TEST_F(ResultFiles, UnusableRootSaysSoForEachFileAndGoesOn) {
  const std::string plain = root / "plain";
  writeFile(plain, "");
  setRoot(plain);
  run->targetVolume = 10;
  StdoutCapture out;
  writeAll();
  const std::string prefix = "Result file " + plain + "/" + kDay + "/";
  EXPECT_EQ(out.text(), "Data folder " + plain + "/" + kDay + " not created: Not a directory\n" +
                            prefix + "TC64_" + kStamp + ".TLog not written: Not a directory\n" +
                            prefix + "TC66_" + kStamp + ".TLog not written: Not a directory\n" +
                            prefix + "Flow_" + kStamp + ".TLog not written: Not a directory\n" +
                            prefix + "PID_" + kStamp + ".dat not written: Not a directory\n");
}

// Nested folders below the scratch folder, so that the root itself exists.
std::string deepFolder(const std::string& base, size_t length) {
  std::string path = base;
  while (path.size() < length) {
    path += "/" + std::string(std::min<size_t>(100, length - path.size() - 1), 'd');
    mkdir(path.c_str(), 0777);
  }
  return path;
}

TEST_F(ResultFiles, OverlongFilePathIsReportedNotCut) {
  const std::string deep = deepFolder(root.path(), 490);  // the date folder fits, the files not
  setRoot(deep);
  StdoutCapture out;
  prepareDataFolder(run.get());
  writePidFile(run.get());
  writeTemperatureLogs(run.get());
  EXPECT_EQ(out.text(), "Result file " + deep + "/" + kDay + "/PID_" + kStamp +
                            ".dat not written: path longer than 511 characters\n"
                            "Result file " +
                            deep + "/" + kDay + "/TC64_" + kStamp +
                            ".TLog not written: path longer than 511 characters\n"
                            "Result file " +
                            deep + "/" + kDay + "/TC66_" + kStamp +
                            ".TLog not written: path longer than 511 characters\n");
  EXPECT_EQ(entryCount(deep + "/" + kDay), 0) << "no file under a cut name";
}

TEST_F(ResultFiles, OverlongDateFolderIsNotCreatedUnderACutName) {
  const std::string deep = deepFolder(root.path(), 505);
  setRoot(deep);
  StdoutCapture out;
  prepareDataFolder(run.get());
  writePidFile(run.get());
  EXPECT_STREQ(run->dayPath, "");
  EXPECT_STREQ(run->fileStamp, kStamp.c_str());
  EXPECT_EQ(out.text(), "Data folder " + deep + "/" + kDay +
                            " not created: path longer than 511 characters\n"
                            "Result file " +
                            deep + "/" + kDay + "/PID_" + kStamp +
                            ".dat not written: path longer than 511 characters\n");
  EXPECT_EQ(entryCount(deep), 0) << "no folder under a cut name";
}

TEST_F(ResultFiles, RowsThatDoNotReachTheDiskAreReported) {
  prepareDataFolder(run.get());
  ASSERT_EQ(symlink("/dev/full", file("TC64").c_str()), 0);
  StdoutCapture out;
  writeTemperatureLogs(run.get());
  EXPECT_EQ(out.text(),
            "Result file " + file("TC64") + " not completely written: No space left on device\n");
  EXPECT_NE(readFile(file("TC66")), "");
  // Remembered once, however often it fails, for the end of the run.
  writeTemperatureLogs(run.get());
  ASSERT_EQ(run->lostFileCount, 1);
  EXPECT_EQ(run->lostFiles[0].path, file("TC64"));
  EXPECT_STREQ(run->lostFiles[0].reason, "No space left on device");
}

}  // namespace
