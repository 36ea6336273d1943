// The flowsensors.txt reader on arbitrary file content, then the flow
// conversion with whatever full-scale values it read.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "devices/flow.h"
#include "devices/replies.h"
#include "fuzz/fuzzSupport.h"

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
  return 0;
}
