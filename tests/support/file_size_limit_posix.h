#pragma once
// A write cut off midway by the disk: `write` runs with the process's limit on a file's size
// lowered to `bytes` (it binds root too) and SIGXFSZ ignored, so the write fails instead of
// ending the process; the limit and the handler are put back after.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

namespace karvello::testing {

// What `write` returned; true, and the test failed, where the limit could not be lowered.
template <typename Write>
bool UnderFileSizeLimit(rlim_t bytes, Write write) {
  rlimit before{};
  if (getrlimit(RLIMIT_FSIZE, &before) != 0) {
    ADD_FAILURE() << "getrlimit";
    return true;
  }
  rlimit small = before;
  small.rlim_cur = bytes;
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  if (setrlimit(RLIMIT_FSIZE, &small) != 0) {
    std::signal(SIGXFSZ, oldHandler);
    ADD_FAILURE() << "setrlimit";
    return true;
  }
  const bool written = write();
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, oldHandler);
  return written;
}

}  // namespace karvello::testing
