// Tests of the null-modem preload library. This binary runs with the library
// in LD_PRELOAD (see CMakeLists.txt), as Tarvex does in the end-to-end tests.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "e2eHarness.h"

namespace {

// A pty whose slave is configured raw, like the program's port.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    path_ = ptsname(master_);
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings{};
    tcgetattr(slave_, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave_, TCSANOW, &settings);
  }
  ~Pty() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& path() const { return path_; }
  bool ok() const { return master_ >= 0 && slave_ >= 0; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// What the kernel itself says to an ioctl, past any preloaded library.
int rawIoctl(int fd, unsigned long request, void* argument, int& error) {
  errno = 0;
  const int result = static_cast<int>(syscall(SYS_ioctl, fd, request, argument));
  error = errno;
  return result;
}

// Bytes waiting on a descriptor within a short time.
std::string drain(int fd, int waitMs = 100) {
  std::string bytes;
  for (;;) {
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, waitMs) <= 0) return bytes;
    char buffer[256];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
}

TEST(NullModem, IsPreloadedIntoThisTest) {
  Dl_info info{};
  void* ioctlFunction = dlsym(RTLD_DEFAULT, "ioctl");
  ASSERT_NE(ioctlFunction, nullptr);
  ASSERT_NE(dladdr(ioctlFunction, &info), 0);
  EXPECT_NE(std::strstr(info.dli_fname, "tarvexnullmodem"), nullptr) << info.dli_fname;
}

TEST(NullModemModemWord, RoundTripsThroughGetSetBisBic) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  int lines = -1;
  ASSERT_EQ(ioctl(pty.slave(), TIOCMGET, &lines), 0);
  EXPECT_EQ(lines, 0);

  // The program's step: read, add RTS and CTS, write back.
  lines |= TIOCM_RTS | TIOCM_CTS;
  ASSERT_EQ(ioctl(pty.slave(), TIOCMSET, &lines), 0);
  int read = 0;
  ASSERT_EQ(ioctl(pty.slave(), TIOCMGET, &read), 0);
  EXPECT_EQ(read, TIOCM_RTS | TIOCM_CTS);

  int bits = TIOCM_DTR;
  ASSERT_EQ(ioctl(pty.slave(), TIOCMBIS, &bits), 0);
  ASSERT_EQ(ioctl(pty.slave(), TIOCMGET, &read), 0);
  EXPECT_EQ(read, TIOCM_RTS | TIOCM_CTS | TIOCM_DTR);

  bits = TIOCM_RTS;
  ASSERT_EQ(ioctl(pty.slave(), TIOCMBIC, &bits), 0);
  ASSERT_EQ(ioctl(pty.slave(), TIOCMGET, &read), 0);
  EXPECT_EQ(read, TIOCM_CTS | TIOCM_DTR);
}

TEST(NullModemModemWord, BelongsToTheDeviceAndOutlivesTheDescriptor) {
  Pty first;
  Pty second;
  ASSERT_TRUE(first.ok() && second.ok());
  int lines = TIOCM_RTS;
  ASSERT_EQ(ioctl(first.slave(), TIOCMSET, &lines), 0);

  int read = -1;
  ASSERT_EQ(ioctl(second.slave(), TIOCMGET, &read), 0);
  EXPECT_EQ(read, 0) << "another pty has its own word";

  // The program closes and re-opens its port on the same path.
  const int again = open(first.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(again, 0);
  ASSERT_EQ(ioctl(again, TIOCMGET, &read), 0);
  EXPECT_EQ(read, TIOCM_RTS);
  close(again);
}

TEST(NullModemModemWord, NullArgumentFailsWithEfault) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  errno = 0;
  EXPECT_EQ(ioctl(pty.slave(), TIOCMGET, nullptr), -1);
  EXPECT_EQ(errno, EFAULT);
}

TEST(NullModemFlush, ThousandWrittenAndFlushedFramesAllArrive) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  std::string received;
  std::thread reader([&] {
    // Reads like the simulator, while the writer goes on: stop after 7000
    // bytes or half a second of silence.
    while (received.size() < 7000) {
      const std::string piece = drain(pty.master(), 500);
      if (piece.empty()) return;
      received += piece;
    }
  });
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    // "S" 0x80 3 "RCT" "P" with the frame number in the data, to see the order.
    std::string frame = "S\x80\x03";
    frame += static_cast<char>('A' + i % 26);
    frame += static_cast<char>('a' + (i / 26) % 26);
    frame += static_cast<char>('0' + i % 10);
    frame += 'P';
    ASSERT_EQ(write(pty.slave(), frame.data(), frame.size()), 7);
    ASSERT_EQ(tcflush(pty.slave(), TCIOFLUSH), 0);
    expected += frame;
  }
  reader.join();
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected) << "bytes arrived changed or out of order";
}

TEST(NullModemFlush, OutputFlushThroughIoctlKeepsBytesToo) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(write(pty.slave(), "R\x0aP", 3), 3);
  EXPECT_EQ(ioctl(pty.slave(), TCFLSH, TCOFLUSH), 0);
  EXPECT_EQ(ioctl(pty.slave(), TCFLSH, TCIOFLUSH), 0);
  EXPECT_EQ(tcflush(pty.slave(), TCOFLUSH), 0);
  EXPECT_EQ(drain(pty.master()), std::string("R\x0aP", 3));
}

TEST(NullModemFlush, InputFlushStillDiscardsUnreadInput) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  struct Case {
    const char* name;
    int (*flush)(int);
  };
  const Case cases[] = {
      {"tcflush TCIFLUSH", [](int fd) { return tcflush(fd, TCIFLUSH); }},
      {"tcflush TCIOFLUSH", [](int fd) { return tcflush(fd, TCIOFLUSH); }},
      {"ioctl TCFLSH TCIFLUSH", [](int fd) { return ioctl(fd, TCFLSH, TCIFLUSH); }},
      {"ioctl TCFLSH TCIOFLUSH", [](int fd) { return ioctl(fd, TCFLSH, TCIOFLUSH); }},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(write(pty.master(), "stale", 5), 5);
    // Let the bytes reach the slave's input queue before the flush.
    pollfd watch{pty.slave(), POLLIN, 0};
    ASSERT_EQ(poll(&watch, 1, 1000), 1) << c.name;
    EXPECT_EQ(c.flush(pty.slave()), 0) << c.name;
    char byte = 0;
    errno = 0;
    EXPECT_EQ(read(pty.slave(), &byte, 1), -1) << c.name;
    EXPECT_EQ(errno, EAGAIN) << c.name;
  }
}

TEST(NullModemFlush, BadQueueSelectorFailsAsTheKernelSays) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  int kernelError = 0;
  const int kernel = rawIoctl(pty.slave(), TCFLSH, reinterpret_cast<void*>(7L), kernelError);
  errno = 0;
  EXPECT_EQ(tcflush(pty.slave(), 7), kernel);
  EXPECT_EQ(errno, kernelError);
  EXPECT_EQ(kernelError, EINVAL);
}

// Descriptors that are not pty slaves get exactly what the kernel gives.
TEST(NullModemPassThrough, OtherDescriptorsAreUntouched) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  char fileName[] = "/tmp/tarvex-nullmodem-XXXXXX";
  const int file = mkstemp(fileName);
  ASSERT_GE(file, 0);
  unlink(fileName);
  const int devNull = open("/dev/null", O_RDWR);
  ASSERT_GE(devNull, 0);

  struct Descriptor {
    const char* name;
    int fd;
  };
  const Descriptor descriptors[] = {
      {"pipe", pipeEnds[1]},        {"regular file", file},     {"/dev/null", devNull},
      {"pty master", pty.master()}, {"closed descriptor", 999},
  };
  for (const Descriptor& d : descriptors) {
    int kernelError = 0;
    const int kernel = rawIoctl(d.fd, TCFLSH, reinterpret_cast<void*>(TCIOFLUSH), kernelError);
    errno = 0;
    EXPECT_EQ(tcflush(d.fd, TCIOFLUSH), kernel) << d.name;
    EXPECT_EQ(errno, kernelError) << d.name;

    int kernelLines = 0;
    int lines = 0;
    const int kernelGet = rawIoctl(d.fd, TIOCMGET, &kernelLines, kernelError);
    errno = 0;
    EXPECT_EQ(ioctl(d.fd, TIOCMGET, &lines), kernelGet) << d.name;
    EXPECT_EQ(errno, kernelError) << d.name;
  }
  // The plain facts behind the comparison, as a reminder of what "untouched" means.
  int error = 0;
  EXPECT_EQ(rawIoctl(pipeEnds[1], TCFLSH, reinterpret_cast<void*>(TCIOFLUSH), error), -1);
  EXPECT_EQ(error, ENOTTY);
  close(pipeEnds[0]);
  close(pipeEnds[1]);
  close(file);
  close(devNull);
}

// Runs the probe with and without the library, frames back to back and with
// a 1 ms pause between them. Only the runs with the library must be lossless;
// the loss without it is printed for the record (it depends on how the two
// cores are scheduled).
TEST(NullModemFlush, FrameLossWithAndWithoutTheLibrary) {
  e2e::TempDir dir("tarvex-flushloss");
  ASSERT_FALSE(dir.path().empty());
  auto measure = [&](bool preload, const char* pauseMicroseconds) {
    std::vector<std::string> changes = {"LD_PRELOAD=", "ASAN_OPTIONS=verify_asan_link_order=0"};
    if (preload) changes[0] += e2e::nullModemLibrary();
    const std::string out = dir.path() + "/out.txt";
    const e2e::ChildResult child =
        e2e::runChild({FLUSH_LOSS_PROBE, "1000", pauseMicroseconds}, e2e::environmentWith(changes),
                      dir.path(), out, dir.path() + "/err.txt", 60);
    const std::string line = e2e::readFile(out);
    int frames = 0;
    long sent = 0;
    long received = 0;
    long lost = -1;
    EXPECT_EQ(child.exitStatus, 0) << line;
    EXPECT_EQ(std::sscanf(line.c_str(), "frames %d bytes %ld received %ld lost %ld", &frames, &sent,
                          &received, &lost),
              4)
        << line;
    EXPECT_EQ(frames, 1000);
    EXPECT_EQ(sent, 7000);
    std::printf("%s the null-modem library, pause %s us: %s", preload ? "with" : "without",
                pauseMicroseconds, line.c_str());
    RecordProperty(std::string(preload ? "lostBytesWith" : "lostBytesWithout") + "LibraryPause" +
                       pauseMicroseconds,
                   static_cast<int>(lost));
    return lost;
  };
  for (const char* pause : {"0", "1000"}) {
    EXPECT_EQ(measure(true, pause), 0) << "pause " << pause;
    measure(false, pause);
  }
}

}  // namespace
