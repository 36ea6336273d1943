#include "report.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

void report(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  // One write per line, so lines of a busy run do not interleave.
  std::fprintf(stderr, "tarvex-sim: %s\n", text);
  std::fflush(stderr);
}

}  // namespace sim
