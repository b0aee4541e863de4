/* Test support for running the Windows build under Wine (LD_PRELOAD): a serial port whose open
 * blocks, as a Bluetooth virtual COM port's or a carrier-waiting device's does.
 *
 * Opening a COM port under Wine asks the device for its terminal settings (ioctl) before the
 * program's open returns. Here every such request on the one terminal named by
 * KARVELLO_BLOCKING_TTY (a pseudo-terminal the test made) blocks for good, in Karvello's programs
 * only (Wine's server, which looks at the device too, goes on), so that its COM port never opens;
 * every other call goes through unchanged. */
#include "ioctl_shim.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

/* Whether this process is one of Karvello's programs (Wine shows its Windows path first). */
static int in_karvello(void) {
  char command[512] = {0};
  FILE *file = fopen("/proc/self/cmdline", "r");
  if (file == NULL) return 0;
  const size_t n = fread(command, 1, sizeof command - 1, file);
  fclose(file);
  command[n] = '\0';
  return strstr(command, "karvello") != NULL;
}

static int shim_ioctl(int fd, unsigned long request, void *arg, ioctl_fn next_ioctl) {
  const char *blocking = getenv("KARVELLO_BLOCKING_TTY");
  struct stat device, named;
  if (blocking != NULL && fstat(fd, &device) == 0 && S_ISCHR(device.st_mode) &&
      stat(blocking, &named) == 0 && device.st_rdev == named.st_rdev && in_karvello()) {
    for (;;) pause();
  }
  return next_ioctl(fd, request, arg);
}
