#pragma once
// The resident memory of this process, as the kernel reports it.

#include <cstdlib>
#include <fstream>
#include <string>

namespace karvello::testing {

// VmRSS from /proc/self/status in KiB; -1 when it cannot be read.
inline long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

}  // namespace karvello::testing
