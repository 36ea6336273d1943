// Console status line: its four formats, the idle word, the volume column
// and the silence before both T-controllers have read.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "output/statusLine.h"
#include "outputTestSupport.h"

using namespace outputtest;

namespace {

class StatusLine : public ::testing::Test {
 protected:
  void SetUp() override {
    addTc(&run->tc1Log, 7, 35.3F, 80.0F);
    addTc(&run->tc1Log, 12, 36.44F, 81.0F);  // the latest readings are shown
    addTc(&run->tc2Log, 9, -3.2F, 1234.5F);
    addPid(&run->pidLog, 0, 0.5F, 0);
    addPid(&run->pidLog, 1, 0.0123456F, 0);
  }
  std::string line() {
    StdoutCapture out;
    printStatusLine(run.get());
    return out.text();
  }

  std::unique_ptr<GcRun> run = makeRun();
};

const std::string kTemps = "\r  12s   036.4  -03.2  081.0  1234.5  ";

TEST_F(StatusLine, FourFormats) {
  run->pidState = pidAcquiring;
  run->targetVolume = 40;
  run->sampledVolume = 12.34F;
  EXPECT_EQ(line(), kTemps + " 12.3456mV    0012.3ccm");
  run->pidState = pidPowered;
  EXPECT_EQ(line(), kTemps + "idle          0012.3ccm");
  run->pidState = pidAcquiring;
  run->sampledVolume = -1000.0F;
  EXPECT_EQ(line(), kTemps + " 12.3456mV    ");
  run->pidState = pidIdle;
  EXPECT_EQ(line(), kTemps + "idle          ");
}

TEST_F(StatusLine, DetectorIdleWithoutAnAcceptedReading) {
  run->pidState = pidAcquiring;
  run->pidLog.count = 0;
  EXPECT_EQ(line(), kTemps + "idle          ");
}

TEST_F(StatusLine, VolumeColumnRule) {
  run->targetVolume = 40;
  run->sampledVolume = 0.0F;
  EXPECT_EQ(line(), kTemps + "idle          0000.0ccm");
  run->sampledVolume = NAN;
  EXPECT_EQ(line(), kTemps + "idle          ");
  run->targetVolume = 0;
  run->sampledVolume = 5.0F;
  EXPECT_EQ(line(), kTemps + "idle          ");
}

TEST_F(StatusLine, NothingUntilBothControllersHaveReadAndNoFlush) {
  run->tc2Log.count = 0;
  StdoutCapture out;
  printf("pending");
  printStatusLine(run.get());
  EXPECT_EQ(out.text(false), "") << "printed or flushed";
  run->tc2Log.count = 1;
  run->tc1Log.count = 0;
  printStatusLine(run.get());
  EXPECT_EQ(out.text(false), "");
  run->tc1Log.count = 2;
  printStatusLine(run.get());
  EXPECT_EQ(out.text(false), "pending" + kTemps + "idle          ") << "not flushed";
}

TEST(StatusHeader, Text) {
  StdoutCapture out;
  printStatusHeader();
  EXPECT_EQ(out.text(), "\n Time    PCC    GCC    PCW    GCW    PID         SampleVolume\n");
}

}  // namespace
