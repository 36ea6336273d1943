// Inputs found by fuzzing that the program mishandled, each kept as a test.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "devices/flow.h"
#include "link/bridge.h"
#include "run/gcRun.h"
#include "run/method.h"

namespace {

// A file holding text, removed at the end.
class TextFile {
 public:
  explicit TextFile(const std::string& text) {
    char pattern[] = "/tmp/tarvex-fuzz-finding-XXXXXX";
    int fd = mkstemp(pattern);
    path_ = pattern;
    if (fd >= 0) {
      EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
      close(fd);
    }
  }
  ~TextFile() { unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// A run whose serial port is one end of a socket pair: the frames it writes
// can be read back from the other end.
class WireRun {
 public:
  WireRun() : run_(std::make_unique<GcRun>()) {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends_), 0);
    run_->port.fd = ends_[0];
  }
  ~WireRun() {
    close(ends_[0]);
    close(ends_[1]);
  }
  GcRun* run() { return run_.get(); }
  std::vector<unsigned char> written() {
    unsigned char bytes[256];
    ssize_t count = read(ends_[1], bytes, sizeof bytes);
    return std::vector<unsigned char>(bytes, bytes + (count > 0 ? count : 0));
  }

 private:
  std::unique_ptr<GcRun> run_;
  int ends_[2] = {-1, -1};
};

// A method row may name any int as its address; the write frame carries the
// low 8 bits of twice the address. 0x40000020 doubled does not fit an int,
// so the frame must not compute it in int.
TEST(FuzzFindings, MethodStepToAnAddressBeyondIntHalfRange) {
  TextFile method("0\t1073741856\tA\n");
  auto loaded = std::make_unique<GcRun>();
  ASSERT_EQ(loadMethod(loaded.get(), method.path()), kMethodOk);
  ASSERT_EQ(loaded->steps[0].address, 0x40000020);

  WireRun wire;
  sendToDevice(wire.run(), loaded->steps[0].address, loaded->steps[0].command, 1);
  std::vector<unsigned char> expected = {'S', 0x40, 1, 'A', 'P'};
  EXPECT_EQ(wire.written(), expected);
}

// The same for a flow sensor address from flowsensors.txt, read with
// address * 2 + 1 in the read request.
TEST(FuzzFindings, FlowSensorAtAnAddressBeyondIntHalfRange) {
  TextFile sensors("FS1: 0x40000020\t 500.0\nFS2: 0x49\t 100.0\nSAMPLING_STARTTIME: 3\n");
  FlowSensorDefinition definition = {};
  ASSERT_EQ(readFlowSensorFile(sensors.path(), &definition), kFlowFileOk);
  ASSERT_EQ(definition.fs1Address, 0x40000020);

  WireRun wire;
  unsigned char reply[16] = {};
  readFromDevice(wire.run(), definition.fs1Address, reply, 3);
  std::vector<unsigned char> expected = {'S', 0x41, 3, 'P'};
  EXPECT_EQ(wire.written(), expected);
}

}  // namespace
