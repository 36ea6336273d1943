// Measures how many frame bytes a pty loses when every frame written to the
// slave is followed by tcflush(TCIOFLUSH), as the program does, while a reader
// on the master takes the bytes as fast as it can. Run it with and without the
// null-modem preload library to compare.
//
// Usage: flushLossProbe [frames [pause-microseconds]]; the pause between
// frames lets the reader wait idle, as it does between the program's frames.
// Prints one line: "frames <sent> bytes <sent> received <bytes> lost <bytes>".
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int pauseMicroseconds = argc > 2 ? std::atoi(argv[2]) : 0;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 2;
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (slave < 0) return 2;
  termios settings{};
  tcgetattr(slave, &settings);
  cfmakeraw(&settings);
  tcsetattr(slave, TCSANOW, &settings);

  std::atomic<bool> writing{true};
  std::atomic<long> received{0};
  std::thread reader([&] {
    char buffer[4096];
    // Reads until the writer is done and the line has been quiet for 200 ms.
    for (;;) {
      pollfd watch{master, POLLIN, 0};
      if (poll(&watch, 1, 200) <= 0) {
        if (!writing) return;
        continue;
      }
      const ssize_t count = read(master, buffer, sizeof buffer);
      if (count > 0) received += count;
    }
  });

  const std::string frame = "S\x80\x03RCTP";
  for (int i = 0; i < frames; ++i) {
    if (write(slave, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return 3;
    tcflush(slave, TCIOFLUSH);
    if (pauseMicroseconds > 0) usleep(static_cast<useconds_t>(pauseMicroseconds));
  }
  writing = false;
  reader.join();
  const long sent = static_cast<long>(frames) * static_cast<long>(frame.size());
  std::printf("frames %d bytes %ld received %ld lost %ld\n", frames, sent, received.load(),
              sent - received.load());
  return 0;
}
