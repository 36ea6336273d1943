// Helpers shared by the output tests: a scratch folder, whole-file reads and
// capture of what the code under test prints on standard output.
#pragma once

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "run/gcRun.h"

namespace outputtest {

// A fresh folder below /tmp, removed with everything in it at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/tarvex_output_XXXXXX";
    path_ = mkdtemp(pattern) != nullptr ? pattern : "";
  }
  ~ScratchFolder() {
    if (!path_.empty()) {
      nftw(
          path_.c_str(),
          [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
          FTW_DEPTH | FTW_PHYS);
    }
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline bool exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// Names in a folder, without . and ..; -1 when it cannot be read.
inline int entryCount(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") count++;
  }
  closedir(dir);
  return count;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Sends file descriptor 1 into a file while alive. text() flushes first
// unless asked not to, so a test can tell what the code flushed itself.
class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    saved_ = dup(1);
    FILE* file = fopen((folder_ / "stdout").c_str(), "w");
    dup2(fileno(file), 1);
    fclose(file);
  }
  ~StdoutCapture() { restore(); }
  std::string text(bool flushFirst = true) {
    if (flushFirst) fflush(stdout);
    return readFile(folder_ / "stdout");
  }
  void restore() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
  }

 private:
  ScratchFolder folder_;
  int saved_ = -1;
};

inline std::unique_ptr<GcRun> makeRun() {
  return std::make_unique<GcRun>();
}

inline void addTc(TcLog* log, int time, float columnT, float warmT) {
  log->time[log->count] = time;
  log->columnT[log->count] = columnT;
  log->warmT[log->count] = warmT;
  log->count++;
}

inline void addPid(PidLog* log, int time, float voltage, int status) {
  log->time[log->count] = time;
  log->voltage[log->count] = voltage;
  log->status[log->count] = status;
  log->count++;
}

inline void addFlow(FlowLog* log, float sampleFlow, float detectorFlow) {
  log->time[log->count] = log->count;
  log->sampleFlow[log->count] = sampleFlow;
  log->detectorFlow[log->count] = detectorFlow;
  log->count++;
}

inline void useUtc() {
  setenv("TZ", "UTC", 1);
  tzset();
}

}  // namespace outputtest
