// The trace: one line per frame received, per reply sent or withheld and per
// run of skipped bytes, flushed at once so a reader sees it while we run.
//
// Line format (tab-separated, format described in sim/README.md):
//   MONO  REAL  DIR  KIND  ADDRESS  VALUE  HEX  TEXT
#pragma once

#include <cstdio>
#include <string>

#include "frames.h"
#include "instrument.h"

namespace sim {

class Trace {
 public:
  ~Trace();
  bool open(const std::string& path);
  void frame(const Frame& frame, const Stamp& at);
  void reply(const Frame& request, const std::string& bytes, const Stamp& at);
  void silence(const Frame& request, const Stamp& at);
  void junk(const std::string& bytes, const std::string& reason, const Stamp& at);

 private:
  void line(const Stamp& at, const char* direction, const char* kind, int address, int value,
            const std::string& bytes, const std::string& text);
  std::FILE* file_ = nullptr;
};

// Current time on both clocks.
Stamp now();

// Bytes as printable text: \\ for a backslash, \xNN for anything that is not
// printable ASCII.
std::string escaped(const std::string& bytes);
std::string hexBytes(const std::string& bytes);

}  // namespace sim
