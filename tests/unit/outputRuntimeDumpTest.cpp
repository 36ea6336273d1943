// Runtime dump: PC.php and GC.php, the two thresholds of runtime.dat, and a
// dump folder that cannot be written.
#include <gtest/gtest.h>

#include <string>

#include "output/runtimeDump.h"
#include "outputTestSupport.h"

using namespace outputtest;

namespace {

class RuntimeDump : public ::testing::Test {
 protected:
  void SetUp() override {
    setRuntimeDumpFolder(folder.path().c_str());
    run->runtimeDump = 1;
  }
  void TearDown() override { setRuntimeDumpFolder(kRuntimeDumpFolder); }

  // Passes of the scheduler in which one detector reading arrives each.
  void readingsUpTo(int count) {
    while (run->pidLog.count < count) {
      addPid(&run->pidLog, run->pidLog.count, 0.0015F, 0);
      dumpRuntime(run.get());
    }
  }
  std::string dat() { return readFile(folder / "runtime.dat"); }

  ScratchFolder folder;
  std::unique_ptr<GcRun> run = makeRun();
};

TEST(RuntimeDumpFolder, IsTheInstallationsFolder) {
  EXPECT_STREQ(kRuntimeDumpFolder, "/run/Tarvex_rt");
}

TEST_F(RuntimeDump, LatestColumnTemperaturesWithoutNewline) {
  addTc(&run->tc1Log, 2, 35.3F, 80.0F);
  addTc(&run->tc1Log, 4, 1234.56F, 80.0F);
  addTc(&run->tc2Log, 3, -3.24F, 60.0F);
  writeFile(folder / "PC.php", "a much longer earlier text");
  dumpRuntime(run.get());
  EXPECT_EQ(readFile(folder / "PC.php"), "1234.6");
  EXPECT_EQ(readFile(folder / "GC.php"), " -3.2");
  EXPECT_FALSE(exists(folder / "runtime.dat"));
}

TEST_F(RuntimeDump, OffTouchesNothing) {
  run->runtimeDump = 0;
  addTc(&run->tc1Log, 2, 35.3F, 80.0F);
  addTc(&run->tc2Log, 3, 36.0F, 60.0F);
  readingsUpTo(50);
  EXPECT_EQ(entryCount(folder.path()), 0);
  EXPECT_EQ(run->dumpedCount, 0);
}

TEST_F(RuntimeDump, EmptiedAtThe31stReadingRowsFromIndex45) {
  addTc(&run->tc1Log, 2, 35.3F, 80.0F);
  addTc(&run->tc2Log, 3, -3.2F, 60.0F);
  writeFile(folder / "runtime.dat", "earlier run\n");
  readingsUpTo(30);
  EXPECT_EQ(dat(), "earlier run\n");
  EXPECT_EQ(run->dumpedCount, 0);
  readingsUpTo(31);
  EXPECT_EQ(dat(), "");
  EXPECT_EQ(run->dumpedCount, 31);
  readingsUpTo(45);
  EXPECT_EQ(dat(), "");
  EXPECT_EQ(run->dumpedCount, 45);
  readingsUpTo(46);
  EXPECT_EQ(dat(), " 45,  1.50000,  35.3,  -3.2\n");
  // Each row takes the temperatures of the pass that writes it.
  addTc(&run->tc1Log, 4, 36.0F, 80.0F);
  addPid(&run->pidLog, 1000, -0.25F, 0);
  dumpRuntime(run.get());
  dumpRuntime(run.get());  // nothing new: no row
  EXPECT_EQ(dat(), " 45,  1.50000,  35.3,  -3.2\n1000, -250.00000,  36.0,  -3.2\n");
  EXPECT_EQ(run->dumpedCount, 47);
}

TEST_F(RuntimeDump, ReadingsPassedWhileOneControllerIsSilentAreSkippedForGood) {
  addTc(&run->tc1Log, 2, 35.3F, 80.0F);
  writeFile(folder / "GC.php", "kept");
  readingsUpTo(47);
  EXPECT_EQ(readFile(folder / "GC.php"), "kept");
  EXPECT_EQ(dat(), "");
  EXPECT_EQ(run->dumpedCount, 47);
  addTc(&run->tc2Log, 3, 40.0F, 60.0F);
  readingsUpTo(48);
  EXPECT_EQ(dat(), " 47,  1.50000,  35.3,  40.0\n");
}

TEST_F(RuntimeDump, UnwritableFolderIsSaidOncePerFileAndTheDumpGoesOn) {
  writeFile(folder / "plain", "");
  const std::string gone = folder / "plain";
  setRuntimeDumpFolder(gone.c_str());
  addTc(&run->tc1Log, 2, 35.3F, 80.0F);
  addTc(&run->tc2Log, 3, 40.0F, 60.0F);
  StdoutCapture out;
  readingsUpTo(50);
  EXPECT_EQ(out.text(), "Runtime dump file " + gone + "/PC.php not written: Not a directory\n" +
                            "Runtime dump file " + gone + "/GC.php not written: Not a directory\n" +
                            "Runtime dump file " + gone +
                            "/runtime.dat not written: Not a directory\n");
  EXPECT_EQ(run->dumpedCount, 50);
}

}  // namespace
