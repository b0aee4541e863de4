#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "cli/console.h"

namespace karvello::cli {

Console::Console() {
  std::signal(SIGPIPE, SIG_IGN);
}

Console::~Console() = default;

bool StandardErrorIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

void EraseProgressLine() {
  std::fputs("\r\033[K", stderr);
}

}  // namespace karvello::cli
