/* What the LD_PRELOAD shims share: the ioctl they put in place. It takes the request's argument
 * (a pointer, or none, for every request a terminal gets) and hands the call to the shim's own
 * shim_ioctl with the ioctl that comes next (another shim's, or the C library's). */
#pragma once
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <string.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int shim_ioctl(int fd, unsigned long request, void *arg, ioctl_fn next_ioctl);

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn next_ioctl;
  if (next_ioctl == NULL) {
    void *symbol = dlsym(RTLD_NEXT, "ioctl");
    memcpy(&next_ioctl, &symbol, sizeof next_ioctl);
  }
  va_list args;
  va_start(args, request);
  void *arg = va_arg(args, void *);
  va_end(args);
  return shim_ioctl(fd, request, arg, next_ioctl);
}
