// A pseudo-terminal for the serial-link tests: the program side opens the
// slave by path, the test plays the bridge on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      slavePath_ = ptsname(master_);
      // Held open so that the slave survives the program closing its side.
      keeper_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    }
  }
  ~PtyPair() {
    if (keeper_ >= 0) close(keeper_);
    if (master_ >= 0) close(master_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  bool ok() const { return master_ >= 0 && keeper_ >= 0; }

  // Plays the bridge: sends bytes towards the program.
  void send(const std::vector<unsigned char>& bytes) const {
    ssize_t written = write(master_, bytes.data(), bytes.size());
    (void)written;
  }

  // Everything the program wrote, waiting until `expected` bytes came or the
  // time ran out.
  std::vector<unsigned char> receive(size_t expected, int timeoutMs = 1000) const {
    std::vector<unsigned char> bytes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (bytes.size() < expected) {
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now())
                                      .count());
      if (left <= 0) break;
      struct pollfd ready = {master_, POLLIN, 0};
      if (poll(&ready, 1, left) <= 0) break;
      unsigned char chunk[4096];
      ssize_t got = read(master_, chunk, sizeof chunk);
      if (got <= 0) break;
      bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
  }

 private:
  int master_ = -1;
  int keeper_ = -1;
  std::string slavePath_;
};

// Collects what the code under test prints on standard output.
class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    char name[] = "/tmp/tarvex-stdout-XXXXXX";
    file_ = mkstemp(name);
    unlink(name);
    saved_ = dup(1);
    dup2(file_, 1);
  }
  ~StdoutCapture() { restore(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string text() {
    restore();
    std::string collected;
    lseek(file_, 0, SEEK_SET);
    char chunk[4096];
    ssize_t got;
    while ((got = read(file_, chunk, sizeof chunk)) > 0) collected.append(chunk, got);
    return collected;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
  }
  int file_ = -1;
  int saved_ = -1;
};
