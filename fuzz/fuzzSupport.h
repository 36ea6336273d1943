// Helpers shared by the fuzz targets: a file that holds the current input,
// and a check that stops the run the way a crash does.
#pragma once

#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken promise of the code under test counts as a finding: abort, so that
// libFuzzer keeps the input, just as for a sanitizer report. The message goes
// where the sanitizers report, which stays open when standard error is closed.
#define FUZZ_REQUIRE(condition)                                        \
  do {                                                                 \
    if (!(condition)) fuzzCheckFailed(__FILE__, __LINE__, #condition); \
  } while (0)

[[noreturn]] inline void fuzzCheckFailed(const char* file, int line, const char* condition) {
  char message[512];
  snprintf(message, sizeof message, "check failed at %s:%d: %s", file, line, condition);
  __sanitizer_report_error_summary(message);
  abort();
}

// The loaders take a path, so each input is written to an anonymous in-memory
// file and handed over as /proc/self/fd/N; opening that path gives a fresh
// reading position, as a real file would.
class InputFile {
 public:
  InputFile() {
    fd_ = memfd_create("tarvex-fuzz-input", 0);
    if (fd_ < 0) {
      perror("memfd_create");
      abort();
    }
    snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  void hold(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0 ||
        (size > 0 && pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size))) {
      perror("input file");
      abort();
    }
  }
  const char* path() const { return path_; }

 private:
  int fd_ = -1;
  char path_[64] = {};
};
