#pragma once
// Another process's figures, as the kernel reports them in /proc.

#include <sys/types.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

namespace karvello::bench {

// A field "Name:   1234 kB" of /proc/PID/status, in KiB; nullopt once the process is gone.
inline std::optional<long> StatusKiB(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::size_t length = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
      return std::atol(line.c_str() + length + 1);
    }
  }
  return std::nullopt;
}

}  // namespace karvello::bench
