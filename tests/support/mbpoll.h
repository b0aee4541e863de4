#pragma once
// Runs mbpoll, a Modbus master written elsewhere, once; the target defines MBPOLL_EXECUTABLE.

#include <stdio.h>
#include <sys/wait.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace karvello::testing {

// Skips the test that needs mbpoll where the build found none (MBPOLL_EXECUTABLE empty).
#define KARVELLO_SKIP_WITHOUT_MBPOLL()                                                    \
  do {                                                                                     \
    if (std::string_view(MBPOLL_EXECUTABLE).empty()) GTEST_SKIP() << "mbpoll not found"; \
  } while (false)

struct MbpollRun {
  int status;
  std::string output;  // standard output and error together
};

// One mbpoll run with `arguments`, its output kept.
inline MbpollRun RunMbpoll(const std::string& arguments) {
  const std::string command = std::string(MBPOLL_EXECUTABLE) + " " + arguments + " 2>&1";
  MbpollRun run{-1, {}};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) run.output += buffer;
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// One mbpoll run on holding registers over the line at `path`, 9600 8N1, numbered from 0,
// polling once: `options` name the slave and the registers; with `values` it writes them instead
// of reading.
inline MbpollRun Mbpoll(const std::string& path, const std::string& options,
                        const std::string& values = "") {
  return RunMbpoll("-m rtu -b 9600 -d 8 -s 1 -P none -t 4 -0 -1 -o 1 " + options + " " + path +
                   " " + values);
}

// The same over Modbus TCP to 127.0.0.1:`port`, the slave (-a) as the unit id.
inline MbpollRun MbpollTcp(std::uint16_t port, const std::string& options,
                           const std::string& values = "") {
  return RunMbpoll("-m tcp -p " + std::to_string(port) + " -t 4 -0 -1 -o 1 " + options +
                   " 127.0.0.1 " + values);
}

}  // namespace karvello::testing
