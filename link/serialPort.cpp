#include "link/serialPort.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/gcRun.h"

// The line settings live here and nowhere else. Only the listed bits change:
// the rest (ICRNL among them) stays as the driver had it.
static void applyLineSettings(int fd) {
  struct termios settings;
  tcgetattr(fd, &settings);
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  settings.c_cflag |= (CLOCAL | CREAD | CS8);
  settings.c_cflag &= ~(PARENB | CSTOPB | CRTSCTS);
  settings.c_lflag &= ~(ICANON | ECHO | ISIG);
  settings.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | INLCR | IGNCR);
  settings.c_oflag &= ~OPOST;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &settings);
}

int openPort(GcRun* run, const char* path) {
  SerialPort& port = run->port;
  port.fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (port.fd == -1) {
    printf("> ERROR: unable to open %s: %s.\n", path, strerror(errno));
    return -1;
  }
  // One program per instrument: the lock comes before anything touches the
  // line, and goes with the descriptor.
  if (flock(port.fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      printf("> ERROR: %s is in use by another Tarvex (or another program).\n", path);
    } else {
      printf("> ERROR: unable to lock %s: %s.\n", path, strerror(errno));
    }
    close(port.fd);
    port.fd = -1;
    return -1;
  }
  fcntl(port.fd, F_SETFL, fcntl(port.fd, F_GETFL) | O_NONBLOCK);

  // RTS and CTS raised, the other modem lines left as they are.
  int modemLines = 0;
  if (ioctl(port.fd, TIOCMGET, &modemLines) != 0) {
    printf("error getting TIOCM\n");
    return -1;
  }
  modemLines |= TIOCM_RTS | TIOCM_CTS;
  if (ioctl(port.fd, TIOCMSET, &modemLines) != 0) {
    printf("error setting TIOCM\n");
    return -1;
  }

  applyLineSettings(port.fd);
  snprintf(port.devicePath, sizeof port.devicePath, "%s", path);
  return 0;
}

int closePort(GcRun* run) {
  if (close(run->port.fd) != 0) {
    printf("PORT %s NOT CLOSED: %s\n", run->port.devicePath, strerror(errno));
  }
  return 0;
}

int writeBytes(GcRun* run, const unsigned char* bytes, int count) {
  ssize_t written = write(run->port.fd, bytes, static_cast<size_t>(count));
  flushPort(run);
  if (written < count) {
    printf("Serial write failed\n");
    return 0;
  }
  return static_cast<int>(written);
}

int readReply(GcRun* run, unsigned char* buffer) {
  ssize_t received = read(run->port.fd, buffer, kReplySize);
  // A terminal with VMIN and VTIME at 0 reports "nothing waiting" as 0, not
  // as EAGAIN; both mean the same here.
  if (received == 0 || (received < 0 && errno == EAGAIN)) {
    printf("SERIAL EAGAIN ERROR\n");
    return 0;
  }
  if (received < 0) {
    printf("SERIAL read error\n");
    return 0;
  }

  unsigned char scratch[kDrainSize];
  ssize_t residual = read(run->port.fd, scratch, sizeof scratch);
  if (residual > 0) {
    printf(
        "\n\n--------------------------\nThere were %d residual bytes in serial "
        "buffer\n----------------------\n",
        static_cast<int>(residual));
  }
  return static_cast<int>(received);
}

void flushPort(GcRun* run) {
  if (run->port.fd != -1) tcflush(run->port.fd, TCIOFLUSH);
}
