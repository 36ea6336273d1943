// The flowsensors.txt reader on arbitrary file content, then what the start-up
// does with a definition it accepts: one read of both sensors, the sample
// sensor answering and the detector sensor silent.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "devices/flow.h"
#include "devices/replies.h"
#include "fuzz/fuzzSupport.h"
#include "run/gcRun.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The port's complaints are noise here; libFuzzer reports on standard error.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static InputFile file;
  file.hold(data, size);

  // The start-up clears the definition before reading, as here.
  FlowSensorDefinition definition;
  memset(&definition, 0, sizeof definition);
  int result = readFlowSensorFile(file.path(), &definition);
  FUZZ_REQUIRE(result == kFlowFileOk || result == kFlowFileMalformed);

  // A full scale from the file may be huge, infinite or not a number; the
  // conversion of the sensors' extreme readings must still be defined.
  const unsigned char extremes[3][2] = {{0x00, 0x00}, {0x40, 0x00}, {0xFF, 0xFF}};
  for (const auto& reply : extremes) {
    volatile float sample = flowFromReply(reply, definition.fs1FullScale);
    volatile float detector = flowFromReply(reply, definition.fs2FullScale);
    (void)sample;
    (void)detector;
  }
  if (result != kFlowFileOk) return 0;

  // The port is one end of a socket pair; the other end already holds the
  // sample sensor's three reply bytes (raw 16384: half the full scale).
  int ends[2];
  FUZZ_REQUIRE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) == 0);
  const unsigned char answer[3] = {0x40, 0x00, 0x00};
  FUZZ_REQUIRE(write(ends[1], answer, sizeof answer) == static_cast<ssize_t>(sizeof answer));
  static GcRun* run = new GcRun();
  run->port.fd = ends[0];
  run->fs1Address = definition.fs1Address;
  run->fs1FullScale = definition.fs1FullScale;
  run->fs2Address = definition.fs2Address;
  run->fs2FullScale = definition.fs2FullScale;
  run->samplingStart = definition.samplingStart;
  FUZZ_REQUIRE(readFlows(run) == -2);
  run->port.fd = -1;
  close(ends[0]);
  close(ends[1]);
  fflush(stdout);
  return 0;
}
