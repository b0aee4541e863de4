/* Test support for running the Windows build under Wine on a pseudo-terminal (LD_PRELOAD).
 *
 * A pseudo-terminal has no modem-status lines, so the kernel refuses TIOCMGET and its siblings
 * on it. Wine asks for them whenever a program waits for received bytes (WaitCommEvent), takes
 * the refusal as a failed wait and cancels it, so a Windows QSerialPort on a pseudo-terminal
 * never receives. Here a refused modem-line request on a terminal is answered the way a null-
 * modem cable to a ready peer answers it: CTS, DSR and CD up; setting lines succeeds. Every
 * other request, and every request the kernel accepts, goes through unchanged. */
#include "ioctl_shim.h"

#include <errno.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static int shim_ioctl(int fd, unsigned long request, void *arg, ioctl_fn next_ioctl) {
  const int saved_errno = errno;
  const int result = next_ioctl(fd, request, arg);
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
