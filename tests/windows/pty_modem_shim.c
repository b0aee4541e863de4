/* Test support for running the Windows build under Wine on a pseudo-terminal (LD_PRELOAD).
 *
 * A pseudo-terminal has no modem-status lines, so the kernel refuses TIOCMGET and its siblings
 * on it. Wine asks for them whenever a program waits for received bytes (WaitCommEvent), takes
 * the refusal as a failed wait and cancels it, so a Windows QSerialPort on a pseudo-terminal
 * never receives. Here a refused modem-line request on a terminal is answered the way a null-
 * modem cable to a ready peer answers it: CTS, DSR and CD up; setting lines succeeds. Every
 * other request, and every request the kernel accepts, goes through unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real_ioctl;
  if (real_ioctl == NULL) {
    void *symbol = dlsym(RTLD_NEXT, "ioctl");
    memcpy(&real_ioctl, &symbol, sizeof real_ioctl);
  }
  va_list args;
  va_start(args, request);
  void *arg = va_arg(args, void *);
  va_end(args);

  const int saved_errno = errno;
  const int result = real_ioctl(fd, request, arg);
  if (result != -1 || (errno != ENOTTY && errno != EINVAL) || !isatty(fd)) return result;
  switch (request) {
    case TIOCMGET:
      *(int *)arg = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
      break;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
      break;
    default:
      return result;
  }
  errno = saved_errno;
  return 0;
}
