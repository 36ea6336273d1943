// The serial port and the bridge frames, against a pseudo-terminal whose
// master plays the bridge. Runs with the null-modem preload library, except
// the BarePty cases.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "link/bridge.h"
#include "link/bridgeRecovery.h"
#include "link/serialPort.h"
#include "ptyPair.h"
#include "run/gcRun.h"

namespace {
using Bytes = std::vector<unsigned char>;

struct OpenLink : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    StdoutCapture quiet;
    ASSERT_EQ(openPort(run.get(), pty.slavePath().c_str()), 0) << quiet.text();
  }
  void TearDown() override {
    StdoutCapture quiet;
    closePort(run.get());
  }
  PtyPair pty;
  std::unique_ptr<GcRun> run = std::make_unique<GcRun>();
};

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

TEST(SerialPort, OpenFailureNamesPathAndReason) {
  auto run = std::make_unique<GcRun>();
  strcpy(run->port.devicePath, "unchanged");
  StdoutCapture out;
  EXPECT_EQ(openPort(run.get(), "/dev/tarvex-no-such-port"), -1);
  EXPECT_EQ(out.text(),
            "> ERROR: unable to open /dev/tarvex-no-such-port: No such file or directory.\n");
  EXPECT_EQ(run->port.fd, -1);
  EXPECT_STREQ(run->port.devicePath, "unchanged");
}

// The port is locked while open, also after the re-open of a recovery; a
// re-open that finds it taken fails like an open that failed.
TEST_F(OpenLink, LockedAgainstASecondOpenAcrossTheRecoveryReopen) {
  const std::string path = pty.slavePath();
  const std::string refused =
      "> ERROR: " + path + " is in use by another Tarvex (or another program).\n";
  auto other = std::make_unique<GcRun>();
  snprintf(run->portPath, sizeof run->portPath, "%s", path.c_str());
  StdoutCapture out;
  EXPECT_EQ(openPort(other.get(), path.c_str()), -1);
  EXPECT_EQ(other->port.fd, -1);
  reopenPort(run.get());
  EXPECT_GE(run->port.fd, 0);
  EXPECT_EQ(openPort(other.get(), path.c_str()), -1);
  closePort(run.get());
  run->port.fd = -1;  // closed, as after a failed re-open
  ASSERT_EQ(openPort(other.get(), path.c_str()), 0);
  reopenPort(run.get());
  EXPECT_EQ(run->port.fd, -1);
  closePort(other.get());
  reopenPort(run.get());
  const std::string notClosed = "PORT " + path + " NOT CLOSED: Bad file descriptor\n";
  EXPECT_EQ(out.text(), refused + refused + notClosed + refused + notClosed);
  EXPECT_GE(run->port.fd, 0);
}

TEST(BarePty, ModemControlStepFailsWithoutNullModem) {
  if (getenv("LD_PRELOAD") != nullptr) GTEST_SKIP() << "runs without the preload library";
  PtyPair pty;
  auto run = std::make_unique<GcRun>();
  StdoutCapture out;
  EXPECT_EQ(openPort(run.get(), pty.slavePath().c_str()), -1);
  EXPECT_EQ(out.text(), "error getting TIOCM\n");
  EXPECT_GE(run->port.fd, 0) << "the descriptor stays open after the modem-control step failed";
  EXPECT_STREQ(run->port.devicePath, "");
  close(run->port.fd);
}

TEST(SerialPort, OpenChangesOnlyTheLineSettingsItOwns) {
  PtyPair pty;
  int probe = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  struct termios before;
  ASSERT_EQ(tcgetattr(probe, &before), 0);
  // Switch on a few bits the port must clear, and some it must leave alone.
  before.c_iflag |= IXON | IXANY | ISTRIP | INLCR | IGNCR | ICRNL | BRKINT | IMAXBEL;
  before.c_lflag |= ICANON | ECHO | ISIG | ECHOE | IEXTEN;
  before.c_oflag |= OPOST | ONLCR;
  before.c_cflag |= PARENB | CSTOPB | CRTSCTS | HUPCL;
  cfsetispeed(&before, B38400);
  cfsetospeed(&before, B38400);
  ASSERT_EQ(tcsetattr(probe, TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(probe, &before), 0);

  auto run = std::make_unique<GcRun>();
  {
    StdoutCapture quiet;
    ASSERT_EQ(openPort(run.get(), pty.slavePath().c_str()), 0);
  }
  struct termios after;
  ASSERT_EQ(tcgetattr(probe, &after), 0);
  EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));

  tcflag_t iflagCleared = IXON | IXOFF | IXANY | INPCK | ISTRIP | INLCR | IGNCR;
  EXPECT_EQ(after.c_iflag, before.c_iflag & ~iflagCleared);
  EXPECT_EQ(after.c_lflag, before.c_lflag & ~static_cast<tcflag_t>(ICANON | ECHO | ISIG));
  EXPECT_EQ(after.c_oflag, before.c_oflag & ~static_cast<tcflag_t>(OPOST));
  tcflag_t cflagExpected = (before.c_cflag | CLOCAL | CREAD | CS8) & ~(PARENB | CSTOPB | CRTSCTS);
  EXPECT_EQ(after.c_cflag & ~static_cast<tcflag_t>(CBAUD),
            cflagExpected & ~static_cast<tcflag_t>(CBAUD));
  EXPECT_EQ(after.c_cc[VMIN], 0);
  EXPECT_EQ(after.c_cc[VTIME], 0);
  EXPECT_TRUE(after.c_iflag & ICRNL) << "carriage returns keep being translated";

  int lines = 0;
  ASSERT_EQ(ioctl(probe, TIOCMGET, &lines), 0);
  EXPECT_EQ(lines & (TIOCM_RTS | TIOCM_CTS | TIOCM_DTR), TIOCM_RTS | TIOCM_CTS);
  EXPECT_TRUE(fcntl(run->port.fd, F_GETFL) & O_NONBLOCK);
  EXPECT_STREQ(run->port.devicePath, pty.slavePath().c_str());
  close(probe);
  StdoutCapture quiet;
  closePort(run.get());
}

TEST_F(OpenLink, ReplyOfSixteenBytesComesWholeWithoutResidue) {
  Bytes reply = {1, 'S', 'T', 'A', 'T', 'U', 'S', ' ', 'H', 'W', ':', '0', '*', '*', '*', 0};
  pty.send(reply);
  usleep(20000);
  unsigned char buffer[kReplySize] = {};
  StdoutCapture out;
  EXPECT_EQ(readReply(run.get(), buffer), 16);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(Bytes(buffer, buffer + 16), reply);
}

TEST_F(OpenLink, LongReplyGivesSixteenAndReportsTheDrainedRest) {
  Bytes reply(20);
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<unsigned char>('a' + i);
  pty.send(reply);
  usleep(20000);
  unsigned char buffer[kReplySize] = {};
  StdoutCapture out;
  EXPECT_EQ(readReply(run.get(), buffer), 16);
  EXPECT_EQ(out.text(),
            "\n\n--------------------------\nThere were 4 residual bytes in serial "
            "buffer\n----------------------\n");
  EXPECT_EQ(Bytes(buffer, buffer + 16), Bytes(reply.begin(), reply.begin() + 16));
  StdoutCapture after;
  EXPECT_EQ(readReply(run.get(), buffer), 0) << "the rest was drained";
  EXPECT_EQ(after.text(), "SERIAL EAGAIN ERROR\n");
}

TEST_F(OpenLink, DrainTakesAtMost1024AndLeavesTheRestQueued) {
  pty.send(Bytes(1100, 'x'));
  usleep(50000);
  unsigned char buffer[kReplySize] = {};
  StdoutCapture out;
  EXPECT_EQ(readReply(run.get(), buffer), 16);
  EXPECT_NE(out.text().find("There were 1024 residual bytes"), std::string::npos);
  StdoutCapture rest;
  EXPECT_EQ(readReply(run.get(), buffer), 16);
  EXPECT_NE(rest.text().find("There were 44 residual bytes"), std::string::npos);
}

TEST_F(OpenLink, NothingWaitingIsTheEagainCase) {
  unsigned char buffer[kReplySize];
  memset(buffer, 0xA5, sizeof buffer);
  StdoutCapture out;
  EXPECT_EQ(readReply(run.get(), buffer), 0);
  EXPECT_EQ(out.text(), "SERIAL EAGAIN ERROR\n");
  for (unsigned char byte : buffer) EXPECT_EQ(byte, 0xA5);
}

TEST_F(OpenLink, CarriageReturnFromTheBridgeArrivesAsNewline) {
  pty.send({0x0D, 0x41});
  usleep(20000);
  unsigned char buffer[kReplySize] = {};
  StdoutCapture quiet;
  ASSERT_EQ(readReply(run.get(), buffer), 2);
  EXPECT_EQ(buffer[0], 0x0A);
}

TEST_F(OpenLink, WriteFlushesInputThatWasWaiting) {
  pty.send({'s', 't', 'a', 'l', 'e'});
  usleep(20000);
  const unsigned char frame[] = {'W', 4, 0, 'P'};
  EXPECT_EQ(writeBytes(run.get(), frame, 4), 4);
  EXPECT_EQ(pty.receive(4), Bytes({'W', 4, 0, 'P'}));
  unsigned char buffer[kReplySize];
  StdoutCapture out;
  EXPECT_EQ(readReply(run.get(), buffer), 0);
  EXPECT_EQ(out.text(), "SERIAL EAGAIN ERROR\n");
}

TEST(SerialPort, ClosedPortFailsEveryExchangeWithItsMessages) {
  auto run = std::make_unique<GcRun>();
  strcpy(run->port.devicePath, "/dev/ttyGONE");
  run->port.fd = -1;
  const unsigned char frame[] = {'R', 10, 'P'};
  unsigned char buffer[kReplySize];
  StdoutCapture out;
  EXPECT_EQ(writeBytes(run.get(), frame, 3), 0);
  EXPECT_EQ(readReply(run.get(), buffer), 0);
  EXPECT_EQ(closePort(run.get()), 0);
  EXPECT_EQ(out.text(),
            "Serial write failed\nSERIAL read error\nPORT /dev/ttyGONE NOT CLOSED: Bad file "
            "descriptor\n");
}

TEST_F(OpenLink, ReopenOnTheSamePathUsesTheNewDescriptor) {
  {
    StdoutCapture quiet;
    closePort(run.get());
    ASSERT_EQ(openPort(run.get(), pty.slavePath().c_str()), 0);
  }
  writeBridgeRegister(run.get(), 9, 63);
  EXPECT_EQ(pty.receive(4), Bytes({'W', 9, 63, 'P'}));
  EXPECT_STREQ(run->port.devicePath, pty.slavePath().c_str());
}

TEST_F(OpenLink, WriteFramesAreByteExact) {
  EXPECT_EQ(sendToDevice(run.get(), 64, "RCT", 3), 0);
  EXPECT_EQ(pty.receive(7), Bytes({0x53, 0x80, 0x03, 0x52, 0x43, 0x54, 0x50}));
  sendToDevice(run.get(), 66, "HS_", 3);
  EXPECT_EQ(pty.receive(7), Bytes({0x53, 0x84, 0x03, 'H', 'S', '_', 0x50}));
  sendToDevice(run.get(), 64, "", 0);
  EXPECT_EQ(pty.receive(4), Bytes({0x53, 0x80, 0x00, 0x50}));
  const char gain[] = {'G', 8, 0};
  sendToDevice(run.get(), 51, gain, 2);
  EXPECT_EQ(pty.receive(6), Bytes({0x53, 0x66, 0x02, 'G', 0x08, 0x50}));
}

TEST_F(OpenLink, RegisterFramesCarryZeroAndNewlineBytes) {
  writeBridgeRegister(run.get(), 4, 0);
  EXPECT_EQ(pty.receive(4), Bytes({0x57, 0x04, 0x00, 0x50}));
  readBridgeRegister(run.get(), 10);
  EXPECT_EQ(pty.receive(3), Bytes({0x52, 0x0A, 0x50}));
  EXPECT_EQ(pty.receive(1, 100), Bytes()) << "a register request reads nothing";
}

TEST_F(OpenLink, ReadRequestWaitsFiftyMillisecondsBeforeCollecting) {
  unsigned char buffer[kReplySize] = {};
  StdoutCapture out;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(readFromDevice(run.get(), 66, buffer, 15), 0);
  double elapsed = millisecondsSince(start);
  EXPECT_EQ(out.text(), "SERIAL EAGAIN ERROR\n");
  EXPECT_GE(elapsed, 50.0);
  EXPECT_LT(elapsed, 250.0);
  EXPECT_EQ(pty.receive(4), Bytes({0x53, 0x85, 0x0F, 0x50}));

  readFromDevice(run.get(), 51, buffer, 16);
  EXPECT_EQ(pty.receive(4), Bytes({0x53, 0x67, 0x10, 0x50}));
}

TEST_F(OpenLink, ReadRequestCollectsTheAnswerThatCameMeanwhile) {
  unsigned char buffer[kReplySize] = {};
  std::thread bridge([this] {
    pty.receive(4);
    usleep(5000);
    pty.send({0x01, '2', '3', '.', '5', 0});
  });
  int received = readFromDevice(run.get(), 64, buffer, 15);
  bridge.join();
  EXPECT_EQ(received, 6);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer + 1), "23.5");
}

TEST_F(OpenLink, CommandPausesSeventyMillisecondsAfterItsFrame) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sendCommand(run.get(), 64, "STC000", 6), 0);
  double elapsed = millisecondsSince(start);
  EXPECT_GE(elapsed, 70.0);
  EXPECT_LT(elapsed, 270.0);
  EXPECT_EQ(pty.receive(10), Bytes({0x53, 0x80, 6, 'S', 'T', 'C', '0', '0', '0', 0x50}));
}

TEST_F(OpenLink, TextTooLongForAFrameIsRefusedAndNothingSent) {
  const char* text = "ABCDEFGHIJKLMNOPQRSTUVWX";  // 24 characters
  StdoutCapture out;
  EXPECT_EQ(sendToDevice(run.get(), 64, text, 24), -1);
  EXPECT_EQ(out.text(), "Command of 24 bytes does not fit one I2C frame (at most 23), not sent\n");
  EXPECT_EQ(pty.receive(1, 100), Bytes());
  sendToDevice(run.get(), 64, "ABCDEFGHIJKLMNOPQRSTUVW", 23);
  EXPECT_EQ(pty.receive(27).size(), 27U);
}
}  // namespace
