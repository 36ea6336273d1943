// The program's end of the simulator's port, for tests that talk to tarvex-sim
// directly: opens the published slave, configures it raw and writes frames
// without flushing (so no preload library is needed), and collects replies.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2eHarness.h"

class SimPort {
 public:
  // keepCrToNl leaves ICRNL on, as the program does; tests of exact bytes turn
  // it off so that a 0x0D arrives as sent.
  explicit SimPort(const std::string& path, bool keepCrToNl = false) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    if (keepCrToNl) settings.c_iflag |= ICRNL;
    tcsetattr(fd_, TCSANOW, &settings);
  }
  ~SimPort() {
    if (fd_ >= 0) close(fd_);
  }
  SimPort(const SimPort&) = delete;
  SimPort& operator=(const SimPort&) = delete;

  bool ok() const { return fd_ >= 0; }

  void send(const std::string& bytes) const {
    const ssize_t written = write(fd_, bytes.data(), bytes.size());
    (void)written;
  }

  // Collects bytes until `expected` came, then waits `settleMs` more for any
  // extra ones; gives up at the timeout.
  std::string receive(std::size_t expected, int timeoutMs = 1000, int settleMs = 30) const {
    std::string bytes;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      const int elapsed = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count());
      const int wait = bytes.size() >= expected ? settleMs : timeoutMs - elapsed;
      if (wait <= 0) return bytes;
      pollfd watch{fd_, POLLIN, 0};
      if (poll(&watch, 1, wait) <= 0) return bytes;
      char buffer[256];
      const ssize_t count = read(fd_, buffer, sizeof buffer);
      if (count > 0) bytes.append(buffer, static_cast<std::size_t>(count));
    }
  }

  // Sends a request and returns its reply of `expected` bytes.
  std::string ask(const std::string& request, std::size_t expected) const {
    send(request);
    return receive(expected);
  }

 private:
  int fd_ = -1;
};

// Frames written out byte by byte from the wire tables, as the program sends them.
inline std::string bytes(std::initializer_list<int> values) {
  std::string text;
  for (int value : values) text += static_cast<char>(value);
  return text;
}
inline std::string i2cWrite(int address, const std::string& data) {
  return bytes({'S', address * 2, static_cast<int>(data.size())}) + data + "P";
}
inline std::string i2cRead(int address, int count) {
  return bytes({'S', address * 2 + 1, count, 'P'});
}
inline std::string registerWrite(int reg, int value) {
  return bytes({'W', reg, value, 'P'});
}
inline std::string registerRead(int reg) {
  return bytes({'R', reg, 'P'});
}

// A simulator in its own temporary folder with a scenario, and a port to it.
struct SimulatorFixture {
  e2e::TempDir dir{"tarvex-simtest"};
  e2e::Simulator simulator;

  bool start(const std::string& scenario, const std::string& flowSensors = "",
             const std::vector<std::string>& extraArgs = {}) {
    std::string flowPath;
    if (!flowSensors.empty()) {
      flowPath = dir.path() + "/flowsensors.txt";
      e2e::writeFile(flowPath, flowSensors);
    }
    return simulator.start(dir.path(), scenario, flowPath, extraArgs);
  }
};
