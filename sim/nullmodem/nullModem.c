/* Preload library that makes a pseudo-terminal slave behave like one end of a
 * tty0tty null-modem pair, for running the program without serial hardware.
 *
 * A pty differs from a tty0tty port in two ways that matter to the program:
 *  - TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC fail with ENOTTY: here they read and
 *    write a modem-control word kept per device;
 *  - an output flush on the slave also throws away bytes already handed to the
 *    master that it has not read yet: here output flushes do nothing, since on
 *    a null-modem line those bytes are already on their way. Input flushes are
 *    passed through.
 * glibc's tcflush calls ioctl internally, not through the PLT, so both entry
 * points are replaced. Every descriptor that is not a pty slave (character
 * device majors 136 to 143) is passed through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

typedef int (*IoctlFunction)(int, unsigned long, ...);
typedef int (*TcflushFunction)(int, int);

enum { kModemSlots = 64 };

struct ModemWord {
  dev_t device;
  int used;
  int lines;
};

static struct ModemWord modemWords[kModemSlots];

static IoctlFunction realIoctl(void) {
  static IoctlFunction function;
  if (!function) *(void**)&function = dlsym(RTLD_NEXT, "ioctl");
  return function;
}

static TcflushFunction realTcflush(void) {
  static TcflushFunction function;
  if (!function) *(void**)&function = dlsym(RTLD_NEXT, "tcflush");
  return function;
}

static int ptySlaveDevice(int fd, dev_t* device) {
  struct stat status;
  int savedErrno = errno;
  if (fstat(fd, &status) != 0) {
    errno = savedErrno;
    return 0;
  }
  if (!S_ISCHR(status.st_mode)) return 0;
  unsigned int majorNumber = major(status.st_rdev);
  if (majorNumber < 136 || majorNumber > 143) return 0;
  *device = status.st_rdev;
  return 1;
}

static int* modemLines(dev_t device) {
  int freeSlot = -1;
  for (int i = 0; i < kModemSlots; ++i) {
    if (modemWords[i].used && modemWords[i].device == device) return &modemWords[i].lines;
    if (!modemWords[i].used && freeSlot < 0) freeSlot = i;
  }
  if (freeSlot < 0) freeSlot = 0; /* more ptys than slots: reuse the first */
  modemWords[freeSlot].used = 1;
  modemWords[freeSlot].device = device;
  modemWords[freeSlot].lines = 0;
  return &modemWords[freeSlot].lines;
}

/* Flush as a null-modem port would: input as asked, output not at all. */
static int nullModemFlush(int fd, int queue) {
  if (queue == TCOFLUSH) return 0;
  if (queue == TCIOFLUSH) queue = TCIFLUSH;
  return realIoctl()(fd, TCFLSH, queue);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);

  dev_t device;
  switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
      if (ptySlaveDevice(fd, &device)) {
        int* lines = modemLines(device);
        int* value = (int*)argument;
        if (!value) {
          errno = EFAULT;
          return -1;
        }
        if (request == TIOCMGET) *value = *lines;
        if (request == TIOCMSET) *lines = *value;
        if (request == TIOCMBIS) *lines |= *value;
        if (request == TIOCMBIC) *lines &= ~*value;
        return 0;
      }
      break;
    case TCFLSH:
      if (ptySlaveDevice(fd, &device)) return nullModemFlush(fd, (int)(long)argument);
      break;
    default:
      break;
  }
  return realIoctl()(fd, request, argument);
}

int tcflush(int fd, int queue) {
  dev_t device;
  if (ptySlaveDevice(fd, &device)) return nullModemFlush(fd, queue);
  return realTcflush()(fd, queue);
}
