// The method loader on arbitrary file content: no sanitizer report, and the
// table it fills keeps its promises (one row per step line, in file order, each
// command one word of at most 17 characters, never more rows than it holds).
// Then every loaded step is played once against a silent port, as the cycle
// would: frame, acknowledge read, judgement, counters.
#include <fcntl.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzzSupport.h"
#include "run/gcRun.h"
#include "run/method.h"

namespace {
constexpr size_t kLineChunk = 255;  // the loader reads lines of at most this many bytes

// The number of step lines in the file, counted the way the loader reads it:
// pieces of at most 255 bytes ending after a newline, and a piece whose first
// byte is '#', '!', a space or the newline is no step line.
int stepLines(const uint8_t* data, size_t size) {
  int lines = 0;
  size_t at = 0;
  while (at < size) {
    size_t length = 0;
    while (at + length < size && length < kLineChunk) {
      ++length;
      if (data[at + length - 1] == '\n') break;
    }
    uint8_t first = data[at];
    if (first != '#' && first != '!' && first != ' ' && first != '\n') ++lines;
    at += length;
  }
  return lines;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // "Incomplete acknowledge!" and the port's complaints are noise here;
  // libFuzzer reports on standard error.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static InputFile file;
  file.hold(data, size);
  // One record for all inputs (it is large); the loader starts on an empty table.
  static GcRun* run = new GcRun();
  run->stepCount = 0;

  int result = loadMethod(run, file.path());

  // The file always opens, so only the two reading results can come back.
  FUZZ_REQUIRE(result == kMethodOk || result == kMethodUndecodable);
  FUZZ_REQUIRE(run->stepCount >= 0 && run->stepCount <= kMethodCapacity);
  int lines = stepLines(data, size);
  if (result == kMethodOk) {
    FUZZ_REQUIRE(run->stepCount == lines);
  } else {
    FUZZ_REQUIRE(run->stepCount < lines);
  }
  for (int i = 0; i < run->stepCount; ++i) {
    const char* command = run->steps[i].command;
    FUZZ_REQUIRE(memchr(command, '\0', kCommandSize) != nullptr);
    size_t length = strlen(command);
    FUZZ_REQUIRE(length >= 1 && length <= static_cast<size_t>(kCommandLength));
    for (size_t j = 0; j < length; ++j) {
      FUZZ_REQUIRE(!isspace(static_cast<unsigned char>(command[j])));
    }
  }

  // Nothing ever answers on /dev/null, so every acknowledge is incomplete: a
  // failure for a T-controller, done for any other device.
  static int silentPort = open("/dev/null", O_RDWR);
  FUZZ_REQUIRE(silentPort >= 0);
  run->port.fd = silentPort;
  run->tc1Faults = run->tc1Retries = run->tc2Faults = run->tc2Retries = 0;
  for (int i = 0; i < run->stepCount; ++i) {
    int address = run->steps[i].address;
    int played = sendMethodStep(run, i);
    bool controller = address == run->tc1Address || address == run->tc2Address;
    FUZZ_REQUIRE(played == (controller ? kAcknowledgeIncomplete : kAcknowledged));
  }
  FUZZ_REQUIRE(run->tc1Faults == run->tc1Retries && run->tc2Faults == run->tc2Retries);
  fflush(stdout);
  return 0;
}
